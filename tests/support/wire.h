// Message bytes as a game client writes and reads them, built by hand in
// the tests (independently of the server's own composers).
#ifndef TESTS_SUPPORT_WIRE_H_
#define TESTS_SUPPORT_WIRE_H_

#include <cstdint>
#include <string>

namespace test_wire {

inline std::string le16(int32_t v) {
  std::string s(2, '\0');
  s[0] = static_cast<char>(v & 0xff);
  s[1] = static_cast<char>((v >> 8) & 0xff);
  return s;
}
inline std::string le32(int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((u >> (8 * i)) & 0xff);
  return s;
}
inline std::string name16(const std::string& name) {
  std::string s = name.substr(0, 16);
  s.resize(16, '\0');
  return s;
}
inline std::string msg(char letter) { return std::string("2") + letter; }

// Client to lobby.
inline std::string name(int32_t id, const std::string& n) {
  return msg('N') + le32(id) + name16(n);
}
inline std::string validation(int32_t v) { return msg('V') + le32(v); }
inline std::string login(int32_t id, int32_t key, int32_t seats, int32_t start) {
  return msg('G') + le32(id) + le32(key) + le16(seats) + le16(start);
}
inline std::string enter(int32_t id, const std::string& n, int32_t key, int32_t seats = 8,
                         int32_t start = 8) {
  return name(id, n) + validation(1) + login(id, key, seats, start);
}
inline std::string keep_alive() { return msg('P'); }
inline std::string room_op(int32_t op) { return msg('L') + le32(op); }
inline std::string chat(int32_t value, const std::string& text) {
  return msg('C') + le32(value) + std::string(1, static_cast<char>(text.size())) + text;
}
inline std::string direct(int32_t target, int32_t value) {
  return msg('D') + le16(target) + le32(value);
}

// Lobby to client.
inline std::string full() { return msg('A'); }
inline std::string room_entry(int32_t room, int32_t members, const std::string& title) {
  return msg('R') + le16(room) + le16(members) + name16(title);
}
inline std::string list_end() { return msg('O'); }
inline std::string refused() { return msg('V'); }
inline std::string room_made(int32_t room) { return msg('M') + le32(room); }
inline std::string room_result(int result) {
  return msg('J') + std::string(1, static_cast<char>(result));
}
inline std::string status(int32_t code) { return msg('S') + le32(code); }
inline std::string seat_entry(int32_t seat, bool self, const std::string& n) {
  return msg('N') + le16(seat) + le16(self ? 1 : 0) + name16(n);
}
inline std::string direct_from(int32_t code, int32_t value) {
  return msg('D') + le16(code) + le32(value);
}
inline std::string seat_vacated(int32_t seat) { return msg('F') + le16(seat) + le32(0); }
inline std::string member_count(int32_t room, int32_t members) {
  return msg('Q') + le16(room) + le16(members);
}
inline std::string group_count(int32_t n) { return msg('H') + le32(n); }

// Readable hex for failure messages.
inline std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace test_wire

#endif  // TESTS_SUPPORT_WIRE_H_
