// Reading the configuration file: defaults, each key's number and address
// rules, comments, blank lines, long lines read in pieces, and CRLF files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/deny_list.h"
#include "config/settings.h"
#include "net/ip_address.h"

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/config_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }

  void TearDown() override {
    if (!saved_cwd_.empty()) {
      EXPECT_EQ(chdir(saved_cwd_.c_str()), 0);
    }
    for (const std::string& path : written_) std::remove(path.c_str());
    rmdir(dir_.c_str());
  }

  std::string write_file(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (file == nullptr) return path;
    EXPECT_EQ(std::fwrite(content.data(), 1, content.size(), file), content.size());
    std::fclose(file);
    written_.push_back(path);
    return path;
  }

  // Loads `content` as a whole file into the settings under test.
  void load_text(const std::string& content) {
    ASSERT_EQ(config::load_config_file(write_file("settings.txt", content).c_str(), &settings_), 0);
  }

  void apply(const char* line) { config::apply_config_line(line, &settings_); }

  void enter_temp_dir() {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    saved_cwd_ = cwd;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }

  void expect_defaults() {
    EXPECT_EQ(settings_.VER, 0);
    EXPECT_EQ(settings_.ROOM, 4);
    EXPECT_STREQ(settings_.L_NAME, "sample_lobby");
    expect_address(settings_.L_IP, 0, 0, 0, 0);
    EXPECT_EQ(settings_.L_PORT, 30009);
    expect_address(settings_.N_IP, 127, 0, 0, 1);
    EXPECT_EQ(settings_.N_PORT, 0);
    EXPECT_STREQ(settings_.L_ADMIN, "lobby.sock");
    EXPECT_STREQ(settings_.L_CHARSET, "CP932");
  }

  static void expect_address(const int32_t parts[4], int a, int b, int c, int d) {
    EXPECT_EQ(parts[0], a);
    EXPECT_EQ(parts[1], b);
    EXPECT_EQ(parts[2], c);
    EXPECT_EQ(parts[3], d);
  }

  config::Settings settings_;
  std::string dir_;
  std::string saved_cwd_;
  std::vector<std::string> written_;
};

TEST_F(ConfigTest, MissingFileKeepsEveryDefault) {
  EXPECT_EQ(config::load_config_file((dir_ + "/absent.txt").c_str(), &settings_), -1);
  expect_defaults();

  enter_temp_dir();
  config::Settings fresh;
  settings_ = fresh;
  EXPECT_EQ(config::load_config(&settings_), -1);
  expect_defaults();
}

TEST_F(ConfigTest, LoadConfigReadsTheFileInTheWorkingDirectory) {
  write_file(config::kConfigFileName,
             "VER 3\nROOM 2\nL_NAME north\nL_IP 10.0.0.5\nL_PORT 4000\n"
             "N_IP 192.168.1.20\nN_PORT 5000\n");
  enter_temp_dir();
  EXPECT_EQ(config::load_config(&settings_), 0);
  EXPECT_EQ(settings_.VER, 3);
  EXPECT_EQ(settings_.ROOM, 2);
  EXPECT_STREQ(settings_.L_NAME, "north");
  expect_address(settings_.L_IP, 10, 0, 0, 5);
  EXPECT_EQ(settings_.L_PORT, 4000);
  expect_address(settings_.N_IP, 192, 168, 1, 20);
  EXPECT_EQ(settings_.N_PORT, 5000);
}

TEST_F(ConfigTest, RoomIsLoweredToFourButNeverRaised) {
  apply("ROOM 9");
  EXPECT_EQ(settings_.ROOM, 4);
  apply("ROOM 2");
  EXPECT_EQ(settings_.ROOM, 2);
  apply("ROOM 0");
  EXPECT_EQ(settings_.ROOM, 0);
  apply("ROOM -3");
  EXPECT_EQ(settings_.ROOM, -3);
}

TEST_F(ConfigTest, KeysAreExactUpperCaseWordsFollowedByWhiteSpace) {
  apply("room 2");
  EXPECT_EQ(settings_.ROOM, 4);
  apply("ROOM=2");
  EXPECT_EQ(settings_.ROOM, 4);
  apply("ROOMS 2");
  EXPECT_EQ(settings_.ROOM, 4);
  apply("\tROOM\t3");
  EXPECT_EQ(settings_.ROOM, 3);
}

TEST_F(ConfigTest, NumbersTakeTheLeadingDigitsOnly) {
  apply("VER 7x");
  EXPECT_EQ(settings_.VER, 7);
  apply("VER 0x75");
  EXPECT_EQ(settings_.VER, 0);
  apply("VER 5");
  apply("VER");
  EXPECT_EQ(settings_.VER, 5);
  apply("VER x7");
  EXPECT_EQ(settings_.VER, 5);
  apply("L_PORT +31000");
  EXPECT_EQ(settings_.L_PORT, 31000);
  apply("N_PORT -1");
  EXPECT_EQ(settings_.N_PORT, -1);
}

TEST_F(ConfigTest, AddressStopsAtTheFirstPartThatIsMissing) {
  apply("N_IP 10.1.2");
  expect_address(settings_.N_IP, 10, 1, 2, 1);
  apply("N_IP 172.16");
  expect_address(settings_.N_IP, 172, 16, 2, 1);
  apply("N_IP 9 .8.7.6");  // the dot must follow the number at once
  expect_address(settings_.N_IP, 9, 16, 2, 1);
  apply("L_IP 192.168.0.10");
  expect_address(settings_.L_IP, 192, 168, 0, 10);
}

TEST_F(ConfigTest, UpstreamAddressPartOutsideByteRangeKeepsItsValue) {
  apply("N_IP 10.300.2.3");
  expect_address(settings_.N_IP, 10, 0, 2, 3);
  apply("N_IP -1.20.256.40");
  expect_address(settings_.N_IP, 10, 20, 2, 40);
  apply("N_IP 255.0.0.0");
  expect_address(settings_.N_IP, 255, 0, 0, 0);
}

TEST_F(ConfigTest, NameIsTheFirstWordCutToSixtyThreeCharacters) {
  apply("L_NAME a b");
  EXPECT_STREQ(settings_.L_NAME, "a");
  apply("L_NAME");
  EXPECT_STREQ(settings_.L_NAME, "a");
  std::string line = "L_NAME " + std::string(100, 'n');
  apply(line.c_str());
  EXPECT_EQ(std::string(settings_.L_NAME), std::string(63, 'n'));
}

// A path or character set that does not fit its field is refused whole.
TEST_F(ConfigTest, AdminSocketDenyFileAndCharsetAreWholeWords) {
  apply("L_ADMIN /run/lobby/east.sock trailing");
  EXPECT_STREQ(settings_.L_ADMIN, "/run/lobby/east.sock");
  apply("L_ADMIN -");
  EXPECT_STREQ(settings_.L_ADMIN, "-");
  apply(("L_ADMIN /" + std::string(255, 'p')).c_str());
  EXPECT_STREQ(settings_.L_ADMIN, "-");
  apply(("L_DENY /" + std::string(255, 'p')).c_str());
  EXPECT_STREQ(settings_.L_DENY, "deny.txt");
  apply("L_CHARSET EUC-JP");
  EXPECT_STREQ(settings_.L_CHARSET, "EUC-JP");
  apply(("L_CHARSET " + std::string(32, 'c')).c_str());
  apply("L_CHARSET");
  EXPECT_STREQ(settings_.L_CHARSET, "EUC-JP");
}

TEST_F(ConfigTest, SemicolonWordStartsAComment) {
  apply("   ; ROOM 2");
  EXPECT_EQ(settings_.ROOM, 4);
  apply(";ROOM 2");
  EXPECT_EQ(settings_.ROOM, 4);
  apply("VER 12 ; note");
  EXPECT_EQ(settings_.VER, 12);
}

TEST_F(ConfigTest, BlankAndWhiteSpaceLinesAreSkippedAnywhere) {
  load_text("\n   \nVER 3\n\t\n\nROOM 1\n  \t  \nL_PORT 900\n\n");
  EXPECT_EQ(settings_.VER, 3);
  EXPECT_EQ(settings_.ROOM, 1);
  EXPECT_EQ(settings_.L_PORT, 900);
}

TEST_F(ConfigTest, LaterLineWins) {
  load_text("L_PORT 700\nL_PORT 800\n");
  EXPECT_EQ(settings_.L_PORT, 800);
}

TEST_F(ConfigTest, LastLineNeedsNoLineFeed) {
  load_text("VER 1\nN_PORT 6000");
  EXPECT_EQ(settings_.VER, 1);
  EXPECT_EQ(settings_.N_PORT, 6000);
}

TEST_F(ConfigTest, LongLineIsReadInPiecesOf319Characters) {
  // 319 characters of comment, then an 81-character piece that starts with
  // a key: the second piece is read as a line of its own.
  std::string first = ";" + std::string(318, 'c');
  std::string second = "ROOM 2" + std::string(75, ' ');
  ASSERT_EQ(first.size() + second.size(), 400u);
  load_text(first + second + "\nVER 6\n");
  EXPECT_EQ(settings_.ROOM, 2);
  EXPECT_EQ(settings_.VER, 6);
}

TEST_F(ConfigTest, LongLineSplitOneCharacterLaterHidesTheKey) {
  // Shifted by one character, the second piece starts with "xROOM".
  std::string first = ";" + std::string(318, 'c') + "x";
  load_text(first + "ROOM 2\n");
  EXPECT_EQ(settings_.ROOM, 4);
}

TEST_F(ConfigTest, CrlfLineEndingsReadLikeLineFeeds) {
  load_text("VER 4\r\nL_NAME east\r\n\r\nN_IP 10.1.2.3\r\nL_PORT 555\r\n");
  EXPECT_EQ(settings_.VER, 4);
  EXPECT_STREQ(settings_.L_NAME, "east");
  expect_address(settings_.N_IP, 10, 1, 2, 3);
  EXPECT_EQ(settings_.L_PORT, 555);
}

// The example settings file that the package ships names every key, each
// commented out with its default. Taken in with the "; " removed, it must
// leave every setting as the code's defaults have it.
TEST_F(ConfigTest, ShippedExampleNamesEveryKeyWithItsDefault) {
  std::FILE* file = std::fopen(LOBBY_SOURCE_DIR "/packaging/dorvik.txt.example", "r");
  ASSERT_NE(nullptr, file);
  std::string uncommented;
  std::vector<std::string> keys;
  char line[256];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    const std::string text(line);
    // "; KEY value": a key is upper case, digits and underscores.
    const size_t end = text.find(' ', 2);
    if (text.rfind("; ", 0) != 0 || end == std::string::npos || end == 2) continue;
    const std::string key = text.substr(2, end - 2);
    if (key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") != std::string::npos) continue;
    keys.push_back(key);
    uncommented += text.substr(2);
  }
  std::fclose(file);
  for (const char* key :
       {"VER",           "ROOM",        "L_NAME",         "L_IP",      "L_PORT",
        "N_IP",          "N_PORT",      "L_LOGIN_WAIT",   "L_PER_IP",  "L_FLOOD_RATE",
        "L_FLOOD_BURST", "L_CHAT_RATE", "L_CHAT_BURST",   "L_DENY",    "L_PER_NET",
        "L_CONN_RATE",   "L_LURK",      "L_ROOMS_PER_IP", "L_AUTOBAN", "L_AUTOBAN_S",
        "L_SEND_BUFFER", "L_ADMIN",     "L_ADMIN_GROUP",  "L_CHARSET"}) {
    EXPECT_EQ(1, std::count(keys.begin(), keys.end(), key)) << key;
  }
  load_text(uncommented);
  const config::Settings defaults;
  EXPECT_EQ(defaults.VER, settings_.VER);
  EXPECT_EQ(defaults.ROOM, settings_.ROOM);
  EXPECT_STREQ(defaults.L_NAME, settings_.L_NAME);
  expect_address(settings_.L_IP, defaults.L_IP[0], defaults.L_IP[1], defaults.L_IP[2],
                 defaults.L_IP[3]);
  EXPECT_EQ(defaults.L_PORT, settings_.L_PORT);
  expect_address(settings_.N_IP, defaults.N_IP[0], defaults.N_IP[1], defaults.N_IP[2],
                 defaults.N_IP[3]);
  EXPECT_EQ(defaults.N_PORT, settings_.N_PORT);
  EXPECT_EQ(defaults.L_LOGIN_WAIT, settings_.L_LOGIN_WAIT);
  EXPECT_EQ(defaults.L_PER_IP, settings_.L_PER_IP);
  EXPECT_EQ(defaults.L_FLOOD_RATE, settings_.L_FLOOD_RATE);
  EXPECT_EQ(defaults.L_FLOOD_BURST, settings_.L_FLOOD_BURST);
  EXPECT_EQ(defaults.L_CHAT_RATE, settings_.L_CHAT_RATE);
  EXPECT_EQ(defaults.L_CHAT_BURST, settings_.L_CHAT_BURST);
  EXPECT_STREQ(defaults.L_DENY, settings_.L_DENY);
  EXPECT_EQ(defaults.L_PER_NET, settings_.L_PER_NET);
  EXPECT_EQ(defaults.L_CONN_RATE, settings_.L_CONN_RATE);
  EXPECT_EQ(defaults.L_LURK, settings_.L_LURK);
  EXPECT_EQ(defaults.L_ROOMS_PER_IP, settings_.L_ROOMS_PER_IP);
  EXPECT_EQ(defaults.L_AUTOBAN, settings_.L_AUTOBAN);
  EXPECT_EQ(defaults.L_AUTOBAN_S, settings_.L_AUTOBAN_S);
  EXPECT_EQ(defaults.L_SEND_BUFFER, settings_.L_SEND_BUFFER);
  EXPECT_STREQ(defaults.L_ADMIN, settings_.L_ADMIN);
  EXPECT_STREQ(defaults.L_CHARSET, settings_.L_CHARSET);
  EXPECT_STREQ(defaults.L_ADMIN_GROUP, settings_.L_ADMIN_GROUP);
  EXPECT_EQ(0, settings_.note_count) << settings_.notes[0];
}

// L_ADMIN_GROUP: from the environment first, then the file, whose "-"
// stands for none; a name that does not fit is refused whole.
TEST_F(ConfigTest, AdminGroupComesFromTheEnvironmentAndTheFileWins) {
  EXPECT_STREQ("", settings_.L_ADMIN_GROUP);
  ASSERT_EQ(0, setenv(config::kAdminGroupVariable, "lobby-admin", 1));
  config::apply_environment(&settings_);
  EXPECT_STREQ("lobby-admin", settings_.L_ADMIN_GROUP);
  apply("L_ADMIN_GROUP ops trailing");
  EXPECT_STREQ("ops", settings_.L_ADMIN_GROUP);
  apply(("L_ADMIN_GROUP " + std::string(64, 'g')).c_str());
  EXPECT_STREQ("ops", settings_.L_ADMIN_GROUP);
  apply("L_ADMIN_GROUP -");
  EXPECT_STREQ("", settings_.L_ADMIN_GROUP);
  for (const char* none : {"", "-"}) {
    ASSERT_EQ(0, setenv(config::kAdminGroupVariable, none, 1));
    std::snprintf(settings_.L_ADMIN_GROUP, sizeof settings_.L_ADMIN_GROUP, "ops");
    config::apply_environment(&settings_);
    EXPECT_STREQ("", settings_.L_ADMIN_GROUP) << none;
  }
  ASSERT_EQ(0, unsetenv(config::kAdminGroupVariable));
  std::snprintf(settings_.L_ADMIN_GROUP, sizeof settings_.L_ADMIN_GROUP, "ops");
  config::apply_environment(&settings_);
  EXPECT_STREQ("ops", settings_.L_ADMIN_GROUP);
}

}  // namespace

TEST_F(ConfigTest, ProtectionKeysAreReadAndClampedIntoRangeWithANote) {
  EXPECT_EQ(30, settings_.L_LOGIN_WAIT);
  EXPECT_EQ(8, settings_.L_PER_IP);
  EXPECT_EQ(25, settings_.L_FLOOD_RATE);
  EXPECT_EQ(50, settings_.L_FLOOD_BURST);
  EXPECT_STREQ("deny.txt", settings_.L_DENY);
  load_text(
      "L_LOGIN_WAIT 0\nL_PER_IP 40\nL_FLOOD_RATE -3\nL_FLOOD_BURST 0\nL_DENY lists/deny.txt\n");
  EXPECT_EQ(0, settings_.L_LOGIN_WAIT);
  EXPECT_EQ(32, settings_.L_PER_IP);
  EXPECT_EQ(1, settings_.L_FLOOD_RATE);
  EXPECT_EQ(1, settings_.L_FLOOD_BURST);
  EXPECT_STREQ("lists/deny.txt", settings_.L_DENY);
  apply("L_LOGIN_WAIT 4000");
  EXPECT_EQ(3600, settings_.L_LOGIN_WAIT);
  apply("L_PER_IP 1");
  EXPECT_EQ(1, settings_.L_PER_IP);
  // Numbers past 32 bits are clamped, never wrapped into small ones.
  apply("L_FLOOD_RATE 2147483648");
  EXPECT_EQ(10000, settings_.L_FLOOD_RATE);
  apply("L_LOGIN_WAIT 4294967295");
  EXPECT_EQ(3600, settings_.L_LOGIN_WAIT);
  apply("L_PER_IP 99999999999999999999999");
  EXPECT_EQ(32, settings_.L_PER_IP);
  ASSERT_EQ(7, settings_.note_count);
  EXPECT_STREQ("L_FLOOD_RATE 2147483648 is outside 0 or 1..10000: 10000 used", settings_.notes[4]);
  EXPECT_STREQ("L_PER_IP 40 is outside 0 or 1..32: 32 used", settings_.notes[0]);
  EXPECT_STREQ("L_FLOOD_RATE -3 is outside 0 or 1..10000: 1 used", settings_.notes[1]);
  EXPECT_STREQ("L_FLOOD_BURST 0 is outside 1..10000: 1 used", settings_.notes[2]);
  EXPECT_STREQ("L_LOGIN_WAIT 4000 is outside 0 or 1..3600: 3600 used", settings_.notes[3]);
  config::turn_off_protections(&settings_);
  EXPECT_EQ(0, settings_.L_LOGIN_WAIT + settings_.L_PER_IP + settings_.L_FLOOD_RATE);
  EXPECT_STREQ("", settings_.L_DENY);
}

TEST_F(ConfigTest, ChatPaceKeysAreReadAndClampedLikeTheOthers) {
  EXPECT_EQ(2, settings_.L_CHAT_RATE);
  EXPECT_EQ(10, settings_.L_CHAT_BURST);
  load_text("L_CHAT_RATE 0\nL_CHAT_BURST 0\n");
  EXPECT_EQ(0, settings_.L_CHAT_RATE);
  EXPECT_EQ(1, settings_.L_CHAT_BURST);
  apply("L_CHAT_RATE 20000");
  EXPECT_EQ(10000, settings_.L_CHAT_RATE);
  apply("L_CHAT_BURST 30");
  EXPECT_EQ(30, settings_.L_CHAT_BURST);
  ASSERT_EQ(2, settings_.note_count);
  EXPECT_STREQ("L_CHAT_BURST 0 is outside 1..10000: 1 used", settings_.notes[0]);
  EXPECT_STREQ("L_CHAT_RATE 20000 is outside 0 or 1..10000: 10000 used", settings_.notes[1]);
  config::turn_off_protections(&settings_);
  EXPECT_EQ(0, settings_.L_CHAT_RATE);
}

// The keys of the lobby's door: their defaults, 0 for off, and the clamp
// into each range with its note (L_LURK's starts at 30, L_AUTOBAN_S has no
// off). turn_off_protections turns every one of them off.
TEST_F(ConfigTest, DoorKeysAreReadAndClampedIntoRangeWithANote) {
  EXPECT_EQ(16, settings_.L_PER_NET);
  EXPECT_EQ(20, settings_.L_CONN_RATE);
  EXPECT_EQ(300, settings_.L_LURK);
  EXPECT_EQ(1, settings_.L_ROOMS_PER_IP);
  EXPECT_EQ(5, settings_.L_AUTOBAN);
  EXPECT_EQ(600, settings_.L_AUTOBAN_S);
  EXPECT_EQ(65536, settings_.L_SEND_BUFFER);
  load_text(
      "L_PER_NET 0\nL_CONN_RATE 0\nL_LURK 0\nL_ROOMS_PER_IP 0\nL_AUTOBAN 0\nL_AUTOBAN_S 60\n"
      "L_SEND_BUFFER 0\n");
  EXPECT_EQ(0, settings_.L_PER_NET + settings_.L_CONN_RATE + settings_.L_LURK +
                   settings_.L_ROOMS_PER_IP + settings_.L_AUTOBAN + settings_.L_SEND_BUFFER);
  EXPECT_EQ(60, settings_.L_AUTOBAN_S);
  EXPECT_EQ(0, settings_.note_count);
  load_text("L_SEND_BUFFER 16384\n");
  EXPECT_EQ(16384, settings_.L_SEND_BUFFER);
  load_text(
      "L_PER_NET 33\nL_CONN_RATE 99999999999\nL_LURK 10\nL_ROOMS_PER_IP 9\nL_AUTOBAN 40\n"
      "L_AUTOBAN_S 0\nL_LURK 4000\nL_SEND_BUFFER 1024\n");
  EXPECT_EQ(32, settings_.L_PER_NET);
  EXPECT_EQ(6000, settings_.L_CONN_RATE);
  EXPECT_EQ(3600, settings_.L_LURK);
  EXPECT_EQ(4, settings_.L_ROOMS_PER_IP);
  EXPECT_EQ(32, settings_.L_AUTOBAN);
  EXPECT_EQ(1, settings_.L_AUTOBAN_S);
  ASSERT_EQ(8, settings_.note_count);
  EXPECT_STREQ("L_PER_NET 33 is outside 0 or 1..32: 32 used", settings_.notes[0]);
  EXPECT_STREQ("L_CONN_RATE 99999999999 is outside 0 or 1..6000: 6000 used", settings_.notes[1]);
  EXPECT_STREQ("L_LURK 10 is outside 0 or 30..3600: 30 used", settings_.notes[2]);
  EXPECT_STREQ("L_ROOMS_PER_IP 9 is outside 0 or 1..4: 4 used", settings_.notes[3]);
  EXPECT_STREQ("L_AUTOBAN 40 is outside 0 or 1..32: 32 used", settings_.notes[4]);
  EXPECT_STREQ("L_AUTOBAN_S 0 is outside 1..2592000: 1 used", settings_.notes[5]);
  EXPECT_STREQ("L_LURK 4000 is outside 0 or 30..3600: 3600 used", settings_.notes[6]);
  EXPECT_STREQ("L_SEND_BUFFER 1024 is outside 0 or 8192..4194304: 8192 used", settings_.notes[7]);
  EXPECT_EQ(8192, settings_.L_SEND_BUFFER);
  load_text("L_SEND_BUFFER 99999999\n");
  EXPECT_EQ(4194304, settings_.L_SEND_BUFFER);
  config::turn_off_protections(&settings_);
  EXPECT_EQ(0, settings_.L_PER_NET + settings_.L_CONN_RATE + settings_.L_LURK +
                   settings_.L_ROOMS_PER_IP + settings_.L_AUTOBAN + settings_.L_SEND_BUFFER);
}

TEST_F(ConfigTest, DenyEntriesAreAddressesOrPrefixes) {
  config::DenyEntry e;
  ASSERT_EQ(0, config::parse_deny_entry("203.0.113.7", &e));
  EXPECT_EQ(net::IpAddress::from_v4(0xCB007107u), e.prefix.address);
  EXPECT_EQ(32, e.prefix.bits);
  ASSERT_EQ(0, config::parse_deny_entry("203.0.113.77/24", &e));
  EXPECT_EQ(net::IpAddress::from_v4(0xCB007100u), e.prefix.address);
  EXPECT_EQ(24, e.prefix.bits);
  ASSERT_EQ(0, config::parse_deny_entry("0.0.0.0/0", &e));
  EXPECT_EQ(0, e.prefix.bits);
  for (const char* bad : {"10.1.2", "10.1.2.3/33", "1.2.3.4.5", "256.1.1.1", "1.2.3.4/", "-1.2.3.4",
                          "1.2.3.4x", "0001.2.3.4", "", "2001:db8::/129", "2001:db8::1::"}) {
    EXPECT_EQ(-1, config::parse_deny_entry(bad, &e)) << bad;
  }
  // IPv6 entries, printed in the standard form, match IPv6 clients only.
  ASSERT_EQ(0, config::parse_deny_entry("2001:DB8:0:0:1::ff/32", &e));
  char text[config::kDenyTextBytes];
  config::format_deny_entry(e, text);
  EXPECT_STREQ("2001:db8::/32", text);
  net::IpAddress inside, outside;
  ASSERT_EQ(0, net::parse_ip_address("2001:db8:ffff::1", &inside));
  ASSERT_EQ(0, net::parse_ip_address("2001:db9::1", &outside));
  EXPECT_TRUE(e.prefix.contains(inside));
  EXPECT_FALSE(e.prefix.contains(outside));
  ASSERT_EQ(0, config::parse_deny_entry("::/0", &e));
  EXPECT_FALSE(e.prefix.contains(net::IpAddress::from_v4(0x7f000001)));
}

TEST_F(ConfigTest, DenyListKeepsTheFirst1024EntriesAndNoticesRemoval) {
  std::string text;
  for (int i = 0; i < 1030; ++i) {
    text += "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "\n";
  }
  const std::string path = write_file("deny.txt", text);
  std::vector<std::string> notes;
  config::DenyList list;
  list.set_file(path.c_str(), [&notes](const char* line) { notes.push_back(line); });
  EXPECT_TRUE(list.reload_if_changed());
  EXPECT_FALSE(list.reload_if_changed());
  EXPECT_EQ(1024, list.entry_count());
  EXPECT_TRUE(list.denies(net::IpAddress::from_v4(0x0A0003FFu)));   // 10.0.3.255, the 1024th
  EXPECT_FALSE(list.denies(net::IpAddress::from_v4(0x0A000400u)));  // 10.0.4.0, beyond
  ASSERT_EQ(2u, notes.size());
  EXPECT_EQ("deny list " + path + ": 6 entries beyond the first 1024 ignored", notes[0]);
  EXPECT_EQ("deny list " + path + ": 1024 entries", notes[1]);
  std::remove(path.c_str());
  EXPECT_TRUE(list.reload_if_changed());
  EXPECT_EQ(0, list.entry_count());
  EXPECT_EQ("deny list " + path + ": removed, nothing denied", notes.back());
}

// A deny file that is there but cannot be opened (here a link to itself)
// is never taken for an empty one: a ban fails and leaves it as it is.
TEST_F(ConfigTest, ABanNeverReplacesADenyFileThatCannotBeRead) {
  const std::string path = write_file("deny.txt", "");
  ASSERT_EQ(0, std::remove(path.c_str()));
  ASSERT_EQ(0, symlink("deny.txt", path.c_str()));
  config::DenyList list;
  list.set_file(path.c_str(), nullptr);
  config::DenyEntry entry;
  ASSERT_EQ(0, config::parse_deny_entry("198.51.100.7", &entry));
  int error = 0;
  EXPECT_EQ(config::kDenyWriteFailed, list.add(entry, &error));
  EXPECT_EQ(ELOOP, error);
  char target[16] = {};
  EXPECT_EQ(8, readlink(path.c_str(), target, sizeof target - 1));
}

TEST_F(ConfigTest, DenyEntriesMayEndAtATimeWrittenOnTheirLine) {
  int64_t until = 0;
  ASSERT_EQ(0, config::parse_until("2027-01-15T08:01:00Z", &until));
  EXPECT_EQ(1800000060, until);
  char text[config::kUntilTextBytes];
  config::format_until(until, text);
  EXPECT_STREQ("2027-01-15T08:01:00Z", text);
  for (const char* bad : {"2027-02-30T00:00:00Z", "2027-01-15T08:01:00", "2027-01-15 08:01:00Z",
                          "2027-1-15T08:01:00Z", "2027-01-15T08:01:00Z+", "tomorrow", ""}) {
    EXPECT_EQ(-1, config::parse_until(bad, &until)) << bad;
  }

  const std::string path =
      write_file("deny.txt",
                 "10.0.0.1 until 2027-01-15T08:01:00Z ; ends\n10.0.0.2 until 2027-02-30T00:00:00Z\n"
                 "10.0.0.3 until\n10.0.0.4 after 2027-01-15T08:01:00Z\n10.0.0.5\n");
  std::vector<std::string> notes;
  int64_t now = 1800000059;
  config::DenyList list;
  list.set_file(path.c_str(), [&notes](const char* line) { notes.push_back(line); });
  list.set_clock([&now] { return now; });
  ASSERT_TRUE(list.reload_if_changed());
  ASSERT_EQ(4u, notes.size());
  EXPECT_EQ("deny list " + path + " line 2 ignored: 10.0.0.2 until 2027-02-30T00:00:00Z", notes[0]);
  EXPECT_EQ("deny list " + path + " line 4 ignored: 10.0.0.4 after 2027-01-15T08:01:00Z", notes[2]);
  EXPECT_TRUE(list.denies(net::IpAddress::from_v4(0x0A000001u)));
  config::DenyEntry in_force[4];
  EXPECT_EQ(2, list.entries_in_force(in_force, 4));
  now += 1;
  EXPECT_FALSE(list.denies(net::IpAddress::from_v4(0x0A000001u)));
  EXPECT_TRUE(list.denies(net::IpAddress::from_v4(0x0A000005u)));
  EXPECT_EQ(1, list.entries_in_force(in_force, 4));
  EXPECT_EQ(net::IpAddress::from_v4(0x0A000005u), in_force[0].prefix.address);
}
