#include "app/chat_entry.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "admin/json_line.h"
#include "platform/local_time.h"

namespace app {
namespace {

// `text` (UTF-8) in double quotes, with ", \ and control characters (C0,
// DEL, C1) escaped, so that a line of the log is always one line, and no
// player can drive a terminal that shows it.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    int length = admin::utf8_char_length(p, end);
    if (length == 0) length = 1;  // the decoder's output is UTF-8; defensive only
    uint32_t code = *p;
    if (length == 2) code = ((p[0] & 0x1fu) << 6) | (p[1] & 0x3fu);
    if (code < 0x20 || code == 0x7f || (length == 2 && code >= 0x80 && code <= 0x9f)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(code));
      out += escaped;
    } else if (code == '"' || code == '\\') {
      out += '\\';
      out += static_cast<char>(code);
    } else {
      out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(length));
    }
    p += length;
  }
  return out + "\"";
}

std::string address_text(const net::IpAddress& addr) {
  char text[net::kIpTextBytes];
  addr.format(text);
  return text;
}

// All `length` bytes of `bytes` as UTF-8: the decoder stops at a zero byte,
// which chat text may hold, so each zero is kept as U+0000 for quoted()
// to escape.
std::string decode_all(admin::NameText* names, const uint8_t* bytes, int length) {
  std::string text;
  int start = 0;
  for (int i = 0; i <= length; ++i) {
    if (i < length && bytes[i] != 0) continue;
    text += names->decode(bytes + start, i - start);
    if (i < length) text += '\0';
    start = i + 1;
  }
  return text;
}

}  // namespace

ChatEntry make_chat_entry(const lobby::ChatRecord& record) {
  ChatEntry entry;
  entry.connection_id = record.connection_id;
  entry.to_value = record.to_value;
  entry.user_id = record.user_id;
  entry.addr = record.addr;
  entry.to = record.to;
  if (record.name != nullptr) {
    entry.has_name = 1;
    std::memcpy(entry.name, record.name, sizeof entry.name);
  }
  if (record.by != nullptr) std::snprintf(entry.by, sizeof entry.by, "%s", record.by);
  entry.length = record.length < 0                ? 0
                 : record.length > kChatTextBytes ? kChatTextBytes
                                                  : record.length;
  std::memcpy(entry.text, record.text, static_cast<size_t>(entry.length));
  return entry;
}

int format_chat_entry(const ChatEntry& entry, int64_t unix_s, admin::NameText* names, char* out,
                      int size) {
  char stamp[32] = "";
  const std::time_t t = static_cast<std::time_t>(unix_s);
  std::tm utc{};
  if (platform::utc_time(t, &utc) == 0)
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string from;
  std::string name;
  if (entry.has_name != 0) {
    from = "#" + std::to_string(entry.connection_id);
    name = names->decode(entry.name, wire::kNameLen);
  } else {
    from = "operator";
    name = entry.by;
  }
  std::string to;
  switch (entry.to) {
    case lobby::ChatRecord::kGroup:
      to = "group:" + std::to_string(entry.to_value);
      break;
    case lobby::ChatRecord::kGame:
      to = "game:" + std::to_string(entry.to_value);
      break;
    case lobby::ChatRecord::kEveryone:
      to = "everyone";
      break;
    default:
      to = "#" + std::to_string(entry.to_value);
      break;
  }
  const std::string text = decode_all(names, entry.text, entry.length);
  const std::string user = entry.has_name != 0 ? std::to_string(entry.user_id) : "-";
  const std::string addr = entry.has_name != 0 ? address_text(entry.addr) : "-";
  const int n = std::snprintf(out, static_cast<size_t>(size),
                              "%s from=%s user=%s name=%s addr=%s to=%s text=%s", stamp,
                              from.c_str(), user.c_str(), quoted(name).c_str(), addr.c_str(),
                              to.c_str(), quoted(text).c_str());
  return n < 0 ? 0 : n >= size ? size - 1 : n;
}

}  // namespace app
