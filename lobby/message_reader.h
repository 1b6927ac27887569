// Reading one message in place in a slot's receive ring, for the handlers.
// Offsets count from the message's "2"; the ring's read position stands on
// the letter.
#ifndef LOBBY_MESSAGE_READER_H_
#define LOBBY_MESSAGE_READER_H_

#include <cstdint>

#include "lobby/handlers.h"
#include "net/connection.h"

namespace lobby {

inline uint8_t msg_byte(const net::Connection& c, int offset) { return c.ring_byte(offset - 1); }

inline int32_t msg_u16(const net::Connection& c, int offset) {
  return msg_byte(c, offset) | (msg_byte(c, offset + 1) << 8);
}

inline int32_t msg_i32(const net::Connection& c, int offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | msg_byte(c, offset + i);
  return static_cast<int32_t>(v);
}

inline void msg_copy(const net::Connection& c, int offset, uint8_t* out, int length) {
  for (int i = 0; i < length; ++i) out[i] = msg_byte(c, offset + i);
}

// True when the whole message of `length` bytes is there. Otherwise puts
// the read position back on the "2", as the handler contract asks.
inline bool message_complete(net::Connection& c, int length) {
  if (c.received() >= length) return true;
  c.rewind_read(1);
  return false;
}

// Consumes the message, from its "2" on.
inline void consume_message(net::Connection& c, int length) {
  c.rewind_read(1);
  c.consume(length);
}

inline void reply(net::Connection& c, const uint8_t* bytes, int length) {
  c.enqueue(bytes, length);
}

}  // namespace lobby

#endif  // LOBBY_MESSAGE_READER_H_
