#include "admin/json_line.h"

#include <cstdio>

namespace admin {

int utf8_char_length(const unsigned char* p, const unsigned char* end) {
  const unsigned c = *p;
  if (c < 0x80) return 1;
  int more;
  unsigned code;
  if (c >= 0xC2 && c <= 0xDF) {
    more = 1;
    code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    more = 2;
    code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    more = 3;
    code = c & 0x07;
  } else {
    return 0;
  }
  if (end - p <= more) return 0;
  for (int i = 1; i <= more; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    code = code << 6 | (p[i] & 0x3F);
  }
  if ((more == 2 && code < 0x800) || (more == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return more + 1;
}

bool valid_utf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const int length = utf8_char_length(p, end);
    if (length == 0) return false;
    p += length;
  }
  return true;
}

void JsonLine::separate() {
  if (!first_) text_ += ',';
  first_ = false;
}

JsonLine& JsonLine::open_object() {
  separate();
  text_ += '{';
  first_ = true;
  return *this;
}

JsonLine& JsonLine::close_object() {
  text_ += '}';
  first_ = false;
  return *this;
}

JsonLine& JsonLine::open_array() {
  separate();
  text_ += '[';
  first_ = true;
  return *this;
}

JsonLine& JsonLine::close_array() {
  text_ += ']';
  first_ = false;
  return *this;
}

JsonLine& JsonLine::name(const char* key) {
  separate();
  quote(key);
  text_ += ':';
  // The value that follows belongs to this name: no comma before it.
  first_ = true;
  return *this;
}

JsonLine& JsonLine::value(const std::string& text) {
  separate();
  quote(text);
  return *this;
}

JsonLine& JsonLine::value(int64_t number) {
  separate();
  text_ += std::to_string(number);
  return *this;
}

JsonLine& JsonLine::value(bool flag) {
  separate();
  text_ += flag ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::null() {
  separate();
  text_ += "null";
  return *this;
}

void JsonLine::quote(const std::string& text) {
  text_ += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c >= 0x80) {
      const int length = utf8_char_length(p, end);
      if (length == 0) {
        // A broken sequence: its lead byte and the continuation bytes that
        // follow it become one replacement character.
        text_ += "\xEF\xBF\xBD";
        ++p;
        while (p < end && (*p & 0xC0) == 0x80) ++p;
        continue;
      }
      text_.append(reinterpret_cast<const char*>(p), static_cast<size_t>(length));
      p += length;
      continue;
    }
    ++p;
    switch (c) {
      case '"':
        text_ += "\\\"";
        break;
      case '\\':
        text_ += "\\\\";
        break;
      case '\b':
        text_ += "\\b";
        break;
      case '\f':
        text_ += "\\f";
        break;
      case '\n':
        text_ += "\\n";
        break;
      case '\r':
        text_ += "\\r";
        break;
      case '\t':
        text_ += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          text_ += escaped;
        } else {
          text_ += static_cast<char>(c);
        }
    }
  }
  text_ += '"';
}

}  // namespace admin
