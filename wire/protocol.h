// The wire format shared by the client link and the upstream link: every
// message is "2", an upper-case letter, then fixed little-endian fields.
// Only the chat line has a length of its own (7 + the byte at offset 6).
// The letters, lengths, field helpers and composers; the table of which
// letter means what in which direction is wire/message_table.h.
#ifndef WIRE_PROTOCOL_H_
#define WIRE_PROTOCOL_H_

#include <cstdint>
#include <cstring>

namespace wire {

constexpr uint8_t kMsgMark = '2';

// Client to lobby.
constexpr uint8_t kCmdName = 'N';        // 2N: user id, 16-byte name
constexpr uint8_t kCmdValidation = 'V';  // 2V: validation value
constexpr uint8_t kCmdLogin = 'G';       // 2G: user id, key, seats, start size
constexpr uint8_t kCmdKeepAlive = 'P';   // 2P
constexpr uint8_t kCmdRoom = 'L';        // 2L: room operation
constexpr uint8_t kCmdChat = 'C';        // 2C: chat line
constexpr uint8_t kCmdDirect = 'D';      // 2D: direct message

// Lobby to client.
constexpr uint8_t kMsgFull = 'A';         // 2A
constexpr uint8_t kMsgRoomEntry = 'R';    // 2R: room, members, title
constexpr uint8_t kMsgListEnd = 'O';      // 2O
constexpr uint8_t kMsgRefused = 'V';      // 2V
constexpr uint8_t kMsgRoomMade = 'M';     // 2M: room (4 bytes)
constexpr uint8_t kMsgRoomResult = 'J';   // 2J: one byte
constexpr uint8_t kMsgStatus = 'S';       // 2S: code
constexpr uint8_t kMsgSeatEntry = 'N';    // 2N: seat, self flag, name
constexpr uint8_t kMsgDirect = 'D';       // 2D: sender code, value
constexpr uint8_t kMsgSeatVacated = 'F';  // 2F: seat, zero
constexpr uint8_t kMsgMemberCount = 'Q';  // 2Q: room, members
constexpr uint8_t kMsgGroupCount = 'H';   // 2H: count
constexpr uint8_t kMsgChat = 'C';         // 2C: relayed as received

// Lobby to upstream server.
constexpr uint8_t kUpRegistration = 'I';  // 2I: port, zero, address bytes
constexpr uint8_t kUpLogin = 'N';         // 2N: user id
constexpr uint8_t kUpLogout = 'F';        // 2F: user id

constexpr int kNameLen = 16;

// Message lengths, from the "2" on. wire/message_table.h says which letter
// has which, per direction.
constexpr int kLenHeader = 2;
constexpr int kLenName = kLenHeader + 4 + kNameLen;           // 22
constexpr int kLenValidation = kLenHeader + 4;                // 6
constexpr int kLenLogin = kLenHeader + 4 + 4 + 2 + 2;         // 14
constexpr int kLenKeepAlive = kLenHeader;                     // 2
constexpr int kLenRoomOp = kLenHeader + 4;                    // 6
constexpr int kLenChatHead = kLenHeader + 4 + 1;              // 7, then n text bytes
constexpr int kLenDirect = kLenHeader + 2 + 4;                // 8
constexpr int kLenFull = kLenHeader;                          // 2
constexpr int kLenRoomEntry = kLenHeader + 2 + 2 + kNameLen;  // 22
constexpr int kLenListEnd = kLenHeader;                       // 2
constexpr int kLenRefused = kLenHeader;                       // 2
constexpr int kLenRoomMade = kLenHeader + 4;                  // 6
constexpr int kLenRoomResult = kLenHeader + 1;                // 3
constexpr int kLenStatus = kLenHeader + 4;                    // 6
constexpr int kLenSeatEntry = kLenHeader + 2 + 2 + kNameLen;  // 22
constexpr int kLenSeatVacated = kLenHeader + 2 + 4;           // 8
constexpr int kLenMemberCount = kLenHeader + 2 + 2;           // 6
constexpr int kLenGroupCount = kLenHeader + 4;                // 6
constexpr int kLenRegistration = kLenHeader + 4 + 4 + 4;      // 14
constexpr int kLenUserNotice = kLenHeader + 4;                // 6
// A chat line that fits one send slot: 7 + 73 = 80 bytes.
constexpr int kMaxChatText = 73;
constexpr int kMaxChatLen = kLenChatHead + kMaxChatText;

// Room operation values of 2L; 0 and above join that room.
constexpr int32_t kOpCreate = -1;
constexpr int32_t kOpLeaveRoom = -2;
constexpr int32_t kOpLeaveGame = -3;

// 2S codes and 2J results.
constexpr int32_t kStatusJoinRefused = 21;
constexpr int32_t kStatusGameStarts = 2;
constexpr uint8_t kResultCreated = 1;
constexpr uint8_t kResultNone = 0;

// 2D target meaning "the room's host".
constexpr int kTargetHost = 0xffff;

// Little-endian field helpers.
inline void put_u16(uint8_t* p, int32_t v) {
  p[0] = static_cast<uint8_t>(v & 0xff);
  p[1] = static_cast<uint8_t>((v >> 8) & 0xff);
}
inline void put_i32(uint8_t* p, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  p[0] = static_cast<uint8_t>(u & 0xff);
  p[1] = static_cast<uint8_t>((u >> 8) & 0xff);
  p[2] = static_cast<uint8_t>((u >> 16) & 0xff);
  p[3] = static_cast<uint8_t>((u >> 24) & 0xff);
}
inline int32_t get_u16(const uint8_t* p) { return p[0] | (p[1] << 8); }
inline int32_t get_i32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16) |
                              (static_cast<uint32_t>(p[3]) << 24));
}

inline void put_header(uint8_t* p, uint8_t letter) {
  p[0] = kMsgMark;
  p[1] = letter;
}

// Copies a 16-byte name up to and including its first zero byte and zeroes
// the rest, so that no bytes of an earlier name survive behind it.
inline void copy_name(uint8_t* dst, const uint8_t* src) {
  int i = 0;
  for (; i < kNameLen && src[i] != 0; ++i) dst[i] = src[i];
  for (; i < kNameLen; ++i) dst[i] = 0;
}

// Composers. Each writes one whole message into `p` and returns its length.
inline int compose_header_only(uint8_t* p, uint8_t letter) {
  put_header(p, letter);
  return kLenHeader;
}
inline int compose_i32(uint8_t* p, uint8_t letter, int32_t value) {
  put_header(p, letter);
  put_i32(p + 2, value);
  return kLenHeader + 4;
}
inline int compose_room_entry(uint8_t* p, int32_t room, int32_t members, const uint8_t* title) {
  put_header(p, kMsgRoomEntry);
  put_u16(p + 2, room);
  put_u16(p + 4, members);
  copy_name(p + 6, title);
  return kLenRoomEntry;
}
inline int compose_room_result(uint8_t* p, uint8_t result) {
  put_header(p, kMsgRoomResult);
  p[2] = result;
  return kLenRoomResult;
}
inline int compose_seat_entry(uint8_t* p, int32_t seat, bool self, const uint8_t* name) {
  put_header(p, kMsgSeatEntry);
  put_u16(p + 2, seat);
  put_u16(p + 4, self ? 1 : 0);
  std::memcpy(p + 6, name, kNameLen);
  return kLenSeatEntry;
}
inline int compose_direct(uint8_t* p, int32_t sender_code, int32_t value) {
  put_header(p, kMsgDirect);
  put_u16(p + 2, sender_code);
  put_i32(p + 4, value);
  return kLenDirect;
}
inline int compose_seat_vacated(uint8_t* p, int32_t seat) {
  put_header(p, kMsgSeatVacated);
  put_u16(p + 2, seat);
  put_i32(p + 4, 0);
  return kLenSeatVacated;
}
inline int compose_member_count(uint8_t* p, int32_t room, int32_t members) {
  put_header(p, kMsgMemberCount);
  put_u16(p + 2, room);
  put_u16(p + 4, members);
  return kLenMemberCount;
}
inline int compose_registration(uint8_t* p, int32_t port, int32_t zero, const int32_t ip[4]) {
  put_header(p, kUpRegistration);
  put_i32(p + 2, port);
  put_i32(p + 6, zero);
  for (int i = 0; i < 4; ++i) p[10 + i] = static_cast<uint8_t>(ip[i] & 0xff);
  return kLenRegistration;
}

}  // namespace wire

#endif  // WIRE_PROTOCOL_H_
