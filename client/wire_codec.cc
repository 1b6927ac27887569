#include "client/wire_codec.h"

#include <cstdio>

#include "wire/message_table.h"
#include "wire/protocol.h"

namespace client {
namespace {

std::string header(uint8_t letter) {
  return std::string{static_cast<char>(wire::kMsgMark), static_cast<char>(letter)};
}

void append_u16(std::string* out, int32_t value) {
  uint8_t bytes[2];
  wire::put_u16(bytes, value);
  out->append(reinterpret_cast<const char*>(bytes), 2);
}

void append_i32(std::string* out, int32_t value) {
  uint8_t bytes[4];
  wire::put_i32(bytes, value);
  out->append(reinterpret_cast<const char*>(bytes), 4);
}

// The name field is always 16 bytes; a shorter name is padded with zeros.
void append_name(std::string* out, const std::string& name) {
  std::string field = name.substr(0, kNameBytes);
  field.resize(kNameBytes, '\0');
  out->append(field);
}

// A 16-byte field up to its first zero byte.
std::string name_field(const uint8_t* p) {
  size_t n = 0;
  while (n < static_cast<size_t>(kNameBytes) && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

LobbyMessage decode_known(const uint8_t* m, int length) {
  LobbyMessage message;
  message.letter = m[1];
  message.raw.assign(reinterpret_cast<const char*>(m), static_cast<size_t>(length));
  switch (m[1]) {
    case wire::kMsgRoomEntry:
    case wire::kMsgSeatEntry:
      message.first = wire::get_u16(m + 2);
      message.second = wire::get_u16(m + 4);
      message.text = name_field(m + 6);
      break;
    case wire::kMsgRoomMade:
    case wire::kMsgStatus:
    case wire::kMsgGroupCount:
      message.first = wire::get_i32(m + 2);
      break;
    case wire::kMsgRoomResult:
      message.first = m[2];
      break;
    case wire::kMsgDirect:
    case wire::kMsgSeatVacated:
      message.first = wire::get_u16(m + 2);
      message.second = wire::get_i32(m + 4);
      break;
    case wire::kMsgMemberCount:
      message.first = wire::get_u16(m + 2);
      message.second = wire::get_u16(m + 4);
      break;
    case wire::kMsgChat:
      message.first = wire::get_i32(m + 2);
      message.text.assign(reinterpret_cast<const char*>(m + wire::kLenChatHead),
                          static_cast<size_t>(length - wire::kLenChatHead));
      break;
    default:  // 2A, 2O, 2V carry no fields
      break;
  }
  return message;
}

// Unknown bytes as messages of letter 0, at most kJunkBytesPerLine each.
void emit_junk(const std::string& junk, std::vector<LobbyMessage>* out) {
  for (size_t start = 0; start < junk.size(); start += kJunkBytesPerLine) {
    LobbyMessage message;
    message.raw = junk.substr(start, kJunkBytesPerLine);
    out->push_back(std::move(message));
  }
}

std::string hex_bytes(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02x", c);
    text += hex;
  }
  return text;
}

}  // namespace

std::string encode_name(int32_t user_id, const std::string& name) {
  std::string out = header(wire::kCmdName);
  append_i32(&out, user_id);
  append_name(&out, name);
  return out;
}

std::string encode_validation(int32_t value) {
  std::string out = header(wire::kCmdValidation);
  append_i32(&out, value);
  return out;
}

std::string encode_login(int32_t user_id, int32_t key, int32_t seats, int32_t start_size) {
  std::string out = header(wire::kCmdLogin);
  append_i32(&out, user_id);
  append_i32(&out, key);
  append_u16(&out, seats);
  append_u16(&out, start_size);
  return out;
}

std::string encode_keep_alive() { return header(wire::kCmdKeepAlive); }

std::string encode_room_op(int32_t op) {
  std::string out = header(wire::kCmdRoom);
  append_i32(&out, op);
  return out;
}

std::string encode_chat(int32_t value, const std::string& text) {
  const std::string body = text.substr(0, 255);
  std::string out = header(wire::kCmdChat);
  append_i32(&out, value);
  out += static_cast<char>(body.size());
  out += body;
  return out;
}

std::string encode_direct(int32_t target, int32_t value) {
  std::string out = header(wire::kCmdDirect);
  append_u16(&out, target);
  append_i32(&out, value);
  return out;
}

void LobbyDecoder::feed(const uint8_t* bytes, size_t length, std::vector<LobbyMessage>* out) {
  held_.append(reinterpret_cast<const char*>(bytes), length);
  const uint8_t* data = reinterpret_cast<const uint8_t*>(held_.data());
  const size_t size = held_.size();
  std::string junk;
  size_t pos = 0;
  while (pos < size) {
    if (data[pos] != wire::kMsgMark) {
      junk += static_cast<char>(data[pos++]);
      continue;
    }
    const int need = wire::message_length(wire::Direction::kLobbyToClient, data + pos, size - pos);
    if (need == wire::kLengthPending) break;  // the rest of the head is on its way
    if (need == wire::kLengthUnknown) {
      // Only the mark is skipped: the next byte may itself start a message.
      junk += static_cast<char>(data[pos++]);
      continue;
    }
    if (pos + static_cast<size_t>(need) > size) break;
    emit_junk(junk, out);
    junk.clear();
    out->push_back(decode_known(data + pos, need));
    pos += static_cast<size_t>(need);
  }
  emit_junk(junk, out);
  held_.erase(0, pos);
}

void LobbyDecoder::finish(std::vector<LobbyMessage>* out) {
  emit_junk(held_, out);
  held_.clear();
}

std::string escape_text(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      text += hex;
    }
  }
  return text;
}

std::string format_message(const LobbyMessage& m) {
  char line[160];
  const std::string text = escape_text(m.text);
  switch (m.letter) {
    case wire::kMsgFull:
      return "2A lobby full";
    case wire::kMsgListEnd:
      return "2O end of list";
    case wire::kMsgRefused:
      return "2V login refused";
    case wire::kMsgRoomEntry:
      std::snprintf(line, sizeof line, "2R room=%d members=%d title=", m.first, m.second);
      return line + text;
    case wire::kMsgRoomMade:
      std::snprintf(line, sizeof line, "2M room=%d", m.first);
      return line;
    case wire::kMsgRoomResult:
      std::snprintf(line, sizeof line, "2J result=%d", m.first);
      return line;
    case wire::kMsgStatus:
      std::snprintf(line, sizeof line, "2S code=%d%s", m.first,
                    m.first == wire::kStatusJoinRefused  ? " (join refused)"
                    : m.first == wire::kStatusGameStarts ? " (game starts)"
                                                         : "");
      return line;
    case wire::kMsgSeatEntry:
      std::snprintf(line, sizeof line, "2N seat=%d self=%d name=", m.first, m.second);
      return line + text;
    case wire::kMsgDirect:
      std::snprintf(line, sizeof line, "2D from=0x%04x value=%d", static_cast<unsigned>(m.first),
                    m.second);
      return line;
    case wire::kMsgSeatVacated:
      std::snprintf(line, sizeof line, "2F seat=%d value=%d", m.first, m.second);
      return line;
    case wire::kMsgMemberCount:
      std::snprintf(line, sizeof line, "2Q room=%d members=%d", m.first, m.second);
      return line;
    case wire::kMsgGroupCount:
      std::snprintf(line, sizeof line, "2H count=%d", m.first);
      return line;
    case wire::kMsgChat:
      std::snprintf(line, sizeof line, "2C value=%d text=", m.first);
      return line + text;
    default:
      return "??" + hex_bytes(m.raw);
  }
}

}  // namespace client
