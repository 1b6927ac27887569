// Names, titles and chat text: the raw bytes of the wire, in the clients'
// character set (L_CHARSET), turned into UTF-8 for the admin channel's
// replies and the moderation log, and the operator's UTF-8 turned into
// the wire's bytes. On POSIX (name_text.cc) one iconv descriptor, opened once, by
// the first decode: loading the character set's tables costs memory that
// a lobby nobody asks about names never spends. Windows has no iconv
// (name_text_win.cc): the name is looked up in a table of the Windows code
// pages that have one, and the bytes go through MultiByteToWideChar; an
// unknown name is decoded as code page 932. One thread at a time (the
// admin thread's, the log writer's own).
#ifndef ADMIN_NAME_TEXT_H_
#define ADMIN_NAME_TEXT_H_

#include <cstdint>
#include <string>

namespace admin {

class NameText {
 public:
  // Converts from `charset` to UTF-8. When the character set is unknown,
  // every byte above 0x7f decodes as U+FFFD on POSIX; on Windows the bytes
  // decode as code page 932.
  explicit NameText(const char* charset);
  ~NameText();
  NameText(const NameText&) = delete;
  NameText& operator=(const NameText&) = delete;

  bool known_charset();

  // The text of `bytes`, cut at the first zero byte and after `length`
  // bytes. A byte that does not decode (alone, or as the start of a
  // sequence) becomes U+FFFD and decoding goes on with the next byte.
  std::string decode(const uint8_t* bytes, int length);
  // `utf8` in the character set, for text the lobby sends to clients (the
  // operator's chat lines). False when `utf8` is not UTF-8, or holds a
  // character the character set cannot write (then nothing is put in
  // `*out`), or the character set is unknown.
  bool encode(const std::string& utf8, std::string* out);
  // The event log's line, once, after a decode found the character set
  // unknown where nothing was said at start (POSIX, where saying it would
  // have loaded the tables); empty otherwise.
  std::string take_note();

 private:
  static constexpr intptr_t kNoConverter = -1;
  static constexpr int kCharsetBytes = 32;
  char charset_[kCharsetBytes] = {};
  bool opened_ = false;
  bool noted_ = false;
  intptr_t converter_ = kNoConverter;  // an iconv_t, or a Windows code page
  intptr_t encoder_ = kNoConverter;    // POSIX: the iconv_t from UTF-8, opened by encode
};

// The event log's line when names will not be decoded from `charset`
// itself but from another character set in its place (Windows, for a name
// it has no code page for); empty otherwise. Loads no tables.
std::string charset_note(const char* charset);

}  // namespace admin

#endif  // ADMIN_NAME_TEXT_H_
