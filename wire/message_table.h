// The messages of each direction of the wire, one table each: every letter
// with its length rule and, for what clients send, the lobby's handler that
// takes it. Whatever cuts a stream into messages (the dispatcher, flood
// pacing, the fuzz checks, the client tools' decoder, the upstream stand-in)
// asks these tables; the lengths are the constants of wire/protocol.h.
// Read-only data: any thread.
#ifndef WIRE_MESSAGE_TABLE_H_
#define WIRE_MESSAGE_TABLE_H_

#include <cstddef>
#include <cstdint>

#include "wire/protocol.h"

namespace wire {

enum class Direction : uint8_t {
  kClientToLobby,
  kLobbyToClient,
  kLobbyToUpstream,
};

// What clients send, one row per message: its letter, its length, whether
// it is counted, and the lobby's handler for it. The handler is only named
// here, never called: the lobby declares every handler this list names
// (lobby/handlers.h) and dispatches by it (lobby/dispatcher.cc), so that a
// new client message is its row here, its handler and its test, and a row
// whose handler is missing does not link. A row's letter and length may be
// written in the row itself or as constants of wire/protocol.h, named with
// wire:: since the list is expanded in other namespaces too.
#define WIRE_CLIENT_MESSAGES(X)                                           \
  X(wire::kCmdName, wire::kLenName, false, handle_name)                   \
  X(wire::kCmdValidation, wire::kLenValidation, false, handle_validation) \
  X(wire::kCmdLogin, wire::kLenLogin, false, handle_login)                \
  X(wire::kCmdKeepAlive, wire::kLenKeepAlive, false, handle_keep_alive)   \
  X(wire::kCmdRoom, wire::kLenRoomOp, false, handle_room_op)              \
  X(wire::kCmdChat, wire::kLenChatHead, true, handle_chat)                \
  X(wire::kCmdDirect, wire::kLenDirect, false, handle_direct)

// One kind of message. A fixed-length message is `length` bytes long. A
// counted one (the chat line) has a head of `length` bytes whose last byte
// counts the bytes that follow it.
struct MessageKind {
  uint8_t letter;
  int length;
  bool counted;
};

// The kind that `letter` names in `direction`, or null when it names none.
const MessageKind* find_message(Direction direction, uint8_t letter);

// Bytes from the "2" on that must be there before the whole length is known.
constexpr int known_after(const MessageKind& kind) {
  return kind.counted ? kind.length : kLenHeader;
}
// The whole length; `count` is the message's byte at known_after() - 1,
// read only for a counted message.
constexpr int whole_length(const MessageKind& kind, uint8_t count) {
  return kind.counted ? kind.length + count : kind.length;
}

// Results of message_length besides a length.
constexpr int kLengthUnknown = 0;   // no mark, or a letter that names nothing
constexpr int kLengthPending = -1;  // more bytes are needed to tell

// The whole length of the message at `bytes` (`size` of them there, from
// its "2" on), kLengthUnknown or kLengthPending.
int message_length(Direction direction, const uint8_t* bytes, size_t size);

}  // namespace wire

#endif  // WIRE_MESSAGE_TABLE_H_
