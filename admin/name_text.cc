#include "admin/name_text.h"

#include <errno.h>
#include <iconv.h>

#include <cstdio>

namespace admin {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
// A name or title is at most 20 bytes, a chat line's text at most 255;
// each byte yields at most one character of at most four bytes in UTF-8.
constexpr int kMaxInput = 256;

iconv_t as_iconv(intptr_t handle) { return reinterpret_cast<iconv_t>(handle); }

}  // namespace

NameText::NameText(const char* charset) { std::snprintf(charset_, sizeof charset_, "%s", charset); }

NameText::~NameText() {
  if (converter_ != kNoConverter) iconv_close(as_iconv(converter_));
  if (encoder_ != kNoConverter) iconv_close(as_iconv(encoder_));
}

bool NameText::encode(const std::string& utf8, std::string* out) {
  if (encoder_ == kNoConverter) {
    const iconv_t cd = iconv_open(charset_, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    encoder_ = reinterpret_cast<intptr_t>(cd);
  }
  const iconv_t cd = as_iconv(encoder_);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string in = utf8;
  char* in_ptr = in.data();
  size_t in_left = in.size();
  // No character set here takes more than four bytes for one of UTF-8's.
  std::string bytes(in.size() * 4 + 16, '\0');
  char* out_ptr = bytes.data();
  size_t out_left = bytes.size();
  // Anything iconv cannot write exactly (EILSEQ), or a cut sequence
  // (EINVAL), refuses the whole text.
  if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1)) return false;
  if (iconv(cd, nullptr, nullptr, &out_ptr, &out_left) == static_cast<size_t>(-1)) return false;
  bytes.resize(bytes.size() - out_left);
  *out = std::move(bytes);
  return true;
}

bool NameText::known_charset() {
  if (!opened_) {
    opened_ = true;
    const iconv_t cd = iconv_open("UTF-8", charset_);
    if (cd != reinterpret_cast<iconv_t>(-1)) converter_ = reinterpret_cast<intptr_t>(cd);
  }
  return converter_ != kNoConverter;
}

std::string NameText::decode(const uint8_t* bytes, int length) {
  if (length > kMaxInput) length = kMaxInput;
  int used = 0;
  while (used < length && bytes[used] != 0) ++used;
  std::string text;
  if (!known_charset()) {
    for (int i = 0; i < used; ++i) {
      if (bytes[i] < 0x80) {
        text += static_cast<char>(bytes[i]);
      } else {
        text += kReplacement;
      }
    }
    return text;
  }
  const iconv_t cd = as_iconv(converter_);
  char in[kMaxInput];
  for (int i = 0; i < used; ++i) in[i] = static_cast<char>(bytes[i]);
  char* in_ptr = in;
  size_t in_left = static_cast<size_t>(used);
  char out[kMaxInput * 4];
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // initial shift state
  while (in_left > 0) {
    char* out_ptr = out;
    size_t out_left = sizeof out;
    const size_t rc = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    text.append(out, static_cast<size_t>(out_ptr - out));
    if (rc != static_cast<size_t>(-1)) break;
    // EILSEQ: a byte that starts no character; EINVAL: a sequence cut off
    // by the end of the field. Either way one byte is given up.
    if (errno != EILSEQ && errno != EINVAL) break;
    text += kReplacement;
    ++in_ptr;
    --in_left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  // Flushes any shift state back to the initial one.
  char* out_ptr = out;
  size_t out_left = sizeof out;
  iconv(cd, nullptr, nullptr, &out_ptr, &out_left);
  text.append(out, static_cast<size_t>(out_ptr - out));
  return text;
}

std::string NameText::take_note() {
  if (!opened_ || converter_ != kNoConverter || noted_) return std::string();
  noted_ = true;
  return std::string("L_CHARSET ") + charset_ +
         " is not known here: names show their ASCII, and U+FFFD for other bytes";
}

// An unknown character set is not replaced here: its names show their
// ASCII and U+FFFD for the rest, which the header says.
std::string charset_note(const char*) { return std::string(); }

}  // namespace admin
