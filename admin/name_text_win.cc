// The Windows twin of name_text.cc: no iconv there, so the character set's
// name is looked up in a table of the Windows code pages, and the bytes go
// through MultiByteToWideChar one character at a time, so that a byte that
// does not decode becomes U+FFFD and decoding goes on with the next byte,
// exactly as the POSIX decoder does.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "admin/name_text.h"

namespace admin {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
// A name or title is at most 20 bytes, a chat line's text at most 255;
// see name_text.cc.
constexpr int kMaxInput = 256;
// No character of these code pages takes more bytes (UTF-8 takes four).
constexpr int kMaxCharBytes = 4;
// Shift_JIS as Windows has it: the clients' own code page, and the one an
// unknown name is taken for.
constexpr UINT kCodePage932 = 932;

struct CodePageName {
  const char* name;  // as iconv names it, compared without regard to case
  UINT code_page;
};

// The names iconv accepts that have a Windows code page; every one of
// these pages can report an invalid sequence (MB_ERR_INVALID_CHARS).
constexpr CodePageName kCodePages[] = {
    {"CP932", 932},     {"MS932", 932},         {"WINDOWS-31J", 932},  {"SHIFT_JIS", 932},
    {"SHIFT-JIS", 932}, {"SJIS", 932},          {"MS_KANJI", 932},     {"CSSHIFTJIS", 932},
    {"UTF-8", 65001},   {"UTF8", 65001},        {"EUC-JP", 20932},     {"EUCJP", 20932},
    {"CP936", 936},     {"GBK", 936},           {"CP949", 949},        {"UHC", 949},
    {"EUC-KR", 949},    {"CP950", 950},         {"BIG5", 950},         {"BIG-5", 950},
    {"CP1250", 1250},   {"WINDOWS-1250", 1250}, {"CP1251", 1251},      {"WINDOWS-1251", 1251},
    {"CP1252", 1252},   {"WINDOWS-1252", 1252}, {"ISO-8859-1", 28591}, {"LATIN1", 28591},
    {"KOI8-R", 20866},  {"CP437", 437},         {"US-ASCII", 20127},   {"ASCII", 20127},
};

// The code page of `charset`; 0 when none is known.
UINT code_page_of(const char* charset) {
  for (const CodePageName& entry : kCodePages) {
    if (_stricmp(entry.name, charset) == 0) return entry.code_page;
  }
  return 0;
}

// Code page 932 gives a few single bytes that Shift_JIS leaves undefined
// (0x80, 0xA0, 0xFD to 0xFF) characters of their own, for round trips;
// the POSIX decoder, and the clients, take them for no character.
bool undefined_in_932(uint8_t byte) { return byte == 0x80 || byte == 0xA0 || byte >= 0xFD; }

// Appends the UTF-8 of `count` UTF-16 units.
void append_utf8(const wchar_t* wide, int count, std::string* text) {
  char utf8[kMaxCharBytes * 2];
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, count, utf8, sizeof utf8, nullptr, nullptr);
  if (n > 0) {
    text->append(utf8, static_cast<size_t>(n));
  } else {
    *text += kReplacement;
  }
}

}  // namespace

NameText::NameText(const char* charset) { std::snprintf(charset_, sizeof charset_, "%s", charset); }

NameText::~NameText() = default;

bool NameText::known_charset() {
  if (!opened_) {
    opened_ = true;
    const UINT code_page = code_page_of(charset_);
    if (code_page != 0 && IsValidCodePage(code_page)) converter_ = code_page;
  }
  return converter_ != kNoConverter;
}

std::string NameText::decode(const uint8_t* bytes, int length) {
  if (length > kMaxInput) length = kMaxInput;
  int used = 0;
  while (used < length && bytes[used] != 0) ++used;
  const UINT code_page = known_charset() ? static_cast<UINT>(converter_) : kCodePage932;
  std::string text;
  int i = 0;
  while (i < used) {
    // The shortest run of bytes from here that is one character.
    int taken = 0;
    wchar_t wide[2];
    int units = 0;
    const bool undefined = code_page == kCodePage932 && undefined_in_932(bytes[i]);
    for (int size = 1; !undefined && size <= kMaxCharBytes && i + size <= used; ++size) {
      units = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS,
                                  reinterpret_cast<const char*>(bytes + i), size, wide, 2);
      if (units > 0) {
        taken = size;
        break;
      }
    }
    if (taken == 0) {
      // Starts no character, alone or with what follows: one byte is given up.
      text += kReplacement;
      ++i;
      continue;
    }
    append_utf8(wide, units, &text);
    i += taken;
  }
  return text;
}

bool NameText::encode(const std::string& utf8, std::string* out) {
  if (!known_charset()) return false;
  const UINT code_page = static_cast<UINT>(converter_);
  const int length = static_cast<int>(utf8.size());
  if (length == 0) {
    out->clear();
    return true;
  }
  const int units =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
  if (units <= 0) return false;
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, wide.data(), units);
  if (code_page == CP_UTF8) {
    *out = utf8;
    return true;
  }
  // A character the code page has no exact byte for refuses the whole
  // text: no best fit, no default character.
  BOOL defaulted = FALSE;
  const int n = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), units, nullptr, 0,
                                    nullptr, &defaulted);
  if (n <= 0 || defaulted) return false;
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), units, bytes.data(), n, nullptr,
                      &defaulted);
  if (defaulted) return false;
  *out = std::move(bytes);
  return true;
}

// An unknown name was reported at start by charset_note.
std::string NameText::take_note() { return std::string(); }

std::string charset_note(const char* charset) {
  NameText names(charset);
  if (names.known_charset()) return std::string();
  return std::string("L_CHARSET ") + charset + " has no code page here: names are decoded as " +
         std::to_string(kCodePage932);
}

}  // namespace admin
