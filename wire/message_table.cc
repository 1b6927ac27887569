#include "wire/message_table.h"

namespace wire {
namespace {

#define WIRE_CLIENT_MESSAGE_KIND(letter, length, counted, handler) {letter, length, counted},
constexpr MessageKind kClientMessages[] = {WIRE_CLIENT_MESSAGES(WIRE_CLIENT_MESSAGE_KIND)};
#undef WIRE_CLIENT_MESSAGE_KIND

constexpr MessageKind kLobbyMessages[] = {
    {kMsgFull, kLenFull, false},
    {kMsgRoomEntry, kLenRoomEntry, false},
    {kMsgListEnd, kLenListEnd, false},
    {kMsgRefused, kLenRefused, false},
    {kMsgRoomMade, kLenRoomMade, false},
    {kMsgRoomResult, kLenRoomResult, false},
    {kMsgStatus, kLenStatus, false},
    {kMsgSeatEntry, kLenSeatEntry, false},
    {kMsgDirect, kLenDirect, false},
    {kMsgSeatVacated, kLenSeatVacated, false},
    {kMsgMemberCount, kLenMemberCount, false},
    {kMsgGroupCount, kLenGroupCount, false},
    {kMsgChat, kLenChatHead, true},
};

constexpr MessageKind kUpstreamMessages[] = {
    {kUpRegistration, kLenRegistration, false},
    {kUpLogin, kLenUserNotice, false},
    {kUpLogout, kLenUserNotice, false},
};

// Each letter names one message of its direction.
template <size_t N>
constexpr bool letters_unique(const MessageKind (&table)[N]) {
  for (size_t i = 0; i < N; ++i) {
    for (size_t j = i + 1; j < N; ++j) {
      if (table[i].letter == table[j].letter) return false;
    }
  }
  return true;
}
static_assert(letters_unique(kClientMessages) && letters_unique(kLobbyMessages) &&
                  letters_unique(kUpstreamMessages),
              "a letter names one message of its direction");

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
