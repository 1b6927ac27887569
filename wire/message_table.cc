#include "wire/message_table.h"

namespace wire {
namespace {

constexpr MessageKind kClientMessages[] = {
    {kCmdName, kLenName, false, kHandleName},
    {kCmdValidation, kLenValidation, false, kHandleValidation},
    {kCmdLogin, kLenLogin, false, kHandleLogin},
    {kCmdKeepAlive, kLenKeepAlive, false, kHandleKeepAlive},
    {kCmdRoom, kLenRoomOp, false, kHandleRoomOp},
    {kCmdChat, kLenChatHead, true, kHandleChat},
    {kCmdDirect, kLenDirect, false, kHandleDirect},
};

constexpr MessageKind kLobbyMessages[] = {
    {kMsgFull, kLenFull, false, kNoHandler},
    {kMsgRoomEntry, kLenRoomEntry, false, kNoHandler},
    {kMsgListEnd, kLenListEnd, false, kNoHandler},
    {kMsgRefused, kLenRefused, false, kNoHandler},
    {kMsgRoomMade, kLenRoomMade, false, kNoHandler},
    {kMsgRoomResult, kLenRoomResult, false, kNoHandler},
    {kMsgStatus, kLenStatus, false, kNoHandler},
    {kMsgSeatEntry, kLenSeatEntry, false, kNoHandler},
    {kMsgDirect, kLenDirect, false, kNoHandler},
    {kMsgSeatVacated, kLenSeatVacated, false, kNoHandler},
    {kMsgMemberCount, kLenMemberCount, false, kNoHandler},
    {kMsgGroupCount, kLenGroupCount, false, kNoHandler},
    {kMsgChat, kLenChatHead, true, kNoHandler},
};

constexpr MessageKind kUpstreamMessages[] = {
    {kUpRegistration, kLenRegistration, false, kNoHandler},
    {kUpLogin, kLenUserNotice, false, kNoHandler},
    {kUpLogout, kLenUserNotice, false, kNoHandler},
};

// Each client message has its own handler, in handler order.
constexpr bool handlers_in_order() {
  int i = 0;
  for (const MessageKind& kind : kClientMessages) {
    if (kind.handler != i++) return false;
  }
  return i == kClientHandlers;
}
static_assert(handlers_in_order(), "one client message per handler, in handler order");

template <size_t N>
const MessageKind* find_in(const MessageKind (&table)[N], uint8_t letter) {
  for (const MessageKind& kind : table) {
    if (kind.letter == letter) return &kind;
  }
  return nullptr;
}

}  // namespace

const MessageKind* find_message(Direction direction, uint8_t letter) {
  switch (direction) {
    case Direction::kClientToLobby:
      return find_in(kClientMessages, letter);
    case Direction::kLobbyToClient:
      return find_in(kLobbyMessages, letter);
    case Direction::kLobbyToUpstream:
      return find_in(kUpstreamMessages, letter);
  }
  return nullptr;
}

int message_length(Direction direction, const uint8_t* bytes, size_t size) {
  if (size < 1) return kLengthPending;
  if (bytes[0] != kMsgMark) return kLengthUnknown;
  if (size < static_cast<size_t>(kLenHeader)) return kLengthPending;
  const MessageKind* kind = find_message(direction, bytes[1]);
  if (kind == nullptr) return kLengthUnknown;
  const int head = known_after(*kind);
  if (size < static_cast<size_t>(head)) return kLengthPending;
  return whole_length(*kind, bytes[head - 1]);
}

}  // namespace wire
