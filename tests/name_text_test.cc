// Names as text: the clients' bytes in L_CHARSET decoded to UTF-8, with
// the same results from iconv on Linux and from the Windows code pages
// (this file also builds into the Windows unit tests, run under Wine).
#include "admin/name_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

class NameTextTest : public ::testing::Test {
 protected:
  static std::string decode(const char* charset, const std::string& bytes) {
    admin::NameText names(charset);
    return names.decode(reinterpret_cast<const uint8_t*>(bytes.data()),
                        static_cast<int>(bytes.size()));
  }
};

TEST_F(NameTextTest, DecodesTheClientsCharsetWithReplacementsAndStopsAtZero) {
  admin::NameText cp932("CP932");
  ASSERT_TRUE(cp932.known_charset());
  const std::string r = kReplacement;
  EXPECT_EQ("テスト", decode("CP932", "\x83\x65\x83\x58\x83\x67"));
  EXPECT_EQ("ｱｲ", decode("CP932", "\xb1\xb2"));  // half-width katakana, one byte each
  EXPECT_EQ("a" + r + "b", decode("CP932",
                                  "a\xff"
                                  "b"));
  EXPECT_EQ("ab", decode("CP932", std::string("ab\0cd", 5)));
  // A lead byte cut off by the end of the field.
  EXPECT_EQ("x" + r, decode("CP932", "x\x83"));
  EXPECT_EQ("", decode("CP932", ""));
  // A lead byte before a byte that cannot follow it: only the lead byte is
  // given up.
  EXPECT_EQ(r + " z", decode("CP932", "\x81 z"));
  // Single bytes that code page 932 leaves undefined; the backslash is
  // itself, and the NEC row decodes.
  EXPECT_EQ(r + r + r + r + r, decode("CP932", "\x80\xa0\xfd\xfe\xff"));
  EXPECT_EQ("\\①", decode("CP932", "\x5c\x87\x40"));
  // The field is read no further than its length.
  admin::NameText names("CP932");
  EXPECT_EQ("テ", names.decode(reinterpret_cast<const uint8_t*>("\x83\x65\x83\x58"), 2));
}

// Other names of the clients' character set, and others an operator may
// set, decode alike on both systems.
TEST_F(NameTextTest, OtherCharsetNamesDecodeAlike) {
  const std::string r = kReplacement;
  for (const char* charset : {"SHIFT_JIS", "shift_jis", "SJIS", "WINDOWS-31J", "cp932"}) {
    SCOPED_TRACE(charset);
    EXPECT_TRUE(admin::NameText(charset).known_charset());
    EXPECT_EQ("テスト" + r, decode(charset, "\x83\x65\x83\x58\x83\x67\xff"));
  }
  EXPECT_EQ("テ🎮é", decode("UTF-8", "\xE3\x83\x86\xF0\x9F\x8E\xAE\xC3\xA9"));
  EXPECT_EQ("a" + r + r, decode("utf-8", "a\xE3\x83"));
  EXPECT_EQ("a" + r + "b", decode("UTF-8",
                                  "a\xC0"
                                  "b"));
  EXPECT_EQ("テスト", decode("EUC-JP", "\xA5\xC6\xA5\xB9\xA5\xC8"));
  EXPECT_EQ("€é", decode("CP1252", "\x80\xE9"));
  EXPECT_EQ("é", decode("ISO-8859-1", "\xE9"));
  for (const char* known : {"CP932", "UTF-8", "EUC-JP", "CP1252"}) {
    EXPECT_EQ("", admin::charset_note(known)) << known;
  }
}

// An unknown name: Linux shows the ASCII and U+FFFD for the rest; Windows
// decodes as code page 932 and says so once in the log.
TEST_F(NameTextTest, UnknownCharsetHasItsFallback) {
  admin::NameText unknown("NO-SUCH-CHARSET");
  EXPECT_FALSE(unknown.known_charset());
  const std::string bytes = "ok\x83\x65";
#ifdef _WIN32
  EXPECT_EQ("okテ", unknown.decode(reinterpret_cast<const uint8_t*>(bytes.data()), 4));
  EXPECT_EQ("L_CHARSET NO-SUCH-CHARSET has no code page here: names are decoded as 932",
            admin::charset_note("NO-SUCH-CHARSET"));
#else
  EXPECT_EQ("ok\xEF\xBF\xBD\x65",
            unknown.decode(reinterpret_cast<const uint8_t*>(bytes.data()), 4));
  EXPECT_EQ("", admin::charset_note("NO-SUCH-CHARSET"));
  // Said once, when a decode has found it out.
  EXPECT_EQ(
      "L_CHARSET NO-SUCH-CHARSET is not known here: names show their ASCII, and U+FFFD for other "
      "bytes",
      unknown.take_note());
#endif
  EXPECT_EQ("", unknown.take_note());
}

}  // namespace
