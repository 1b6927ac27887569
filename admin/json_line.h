// One line of JSON, written in order: the admin channel's replies are
// small, written once and never parsed by the lobby, so a writer is all the
// server needs (the operator tools parse them with a JSON library). Names
// and values are written as given, without spaces, like a compact dump.
// Strings that are not UTF-8 (a lobby name from the settings file, say)
// keep their valid characters; each broken sequence becomes U+FFFD.
// One thread (the admin thread).
#ifndef ADMIN_JSON_LINE_H_
#define ADMIN_JSON_LINE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace admin {

// The length of the well-formed UTF-8 character at `p` (shortest form, no
// surrogates, at most U+10FFFF), or 0 when the bytes from `p` to `end` do
// not start with one.
int utf8_char_length(const unsigned char* p, const unsigned char* end);
bool valid_utf8(const std::string& text);

class JsonLine {
 public:
  // Containers. A name goes before every value inside an object.
  JsonLine& open_object();
  JsonLine& close_object();
  JsonLine& open_array();
  JsonLine& close_array();
  JsonLine& name(const char* key);

  JsonLine& value(const std::string& text);
  JsonLine& value(const char* text) { return value(std::string(text)); }
  JsonLine& value(int64_t number);
  JsonLine& value(int32_t number) { return value(static_cast<int64_t>(number)); }
  JsonLine& value(bool flag);
  JsonLine& null();

  // Shorthands for one member of an object.
  template <typename T>
  JsonLine& member(const char* key, T v) {
    return name(key).value(v);
  }

  const std::string& text() const { return text_; }

 private:
  // A comma before every element but the first of its container.
  void separate();
  void quote(const std::string& text);

  std::string text_;
  bool first_ = true;  // nothing written yet in the open container
};

}  // namespace admin

#endif  // ADMIN_JSON_LINE_H_
