// Reading the configuration file: defaults, each key's number and address
// rules, comments, blank lines, long lines read in pieces, and CRLF files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "config/deny_list.h"
#include "config/setting_keys.h"
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

// The example settings file that the package ships names every key of the
// key table once, commented out with its default; taken in with the "; "
// removed, it leaves every setting as a fresh Settings has it.
TEST_F(ConfigTest, ShippedExampleNamesEveryKeyWithItsDefault) {
  std::FILE* file = std::fopen(LOBBY_SOURCE_DIR "/packaging/dorvik.txt.example", "r");
  ASSERT_NE(nullptr, file);
  std::string uncommented;
  std::vector<std::string> keys;
  char line[256];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    const std::string text(line);
    // "; KEY value", KEY a key of the table.
    const size_t end = text.find(' ', 2);
    if (text.rfind("; ", 0) != 0 || end == std::string::npos || end == 2) continue;
    const std::string key = text.substr(2, end - 2);
    const int index = config::setting_index(key.c_str());
    if (index < 0) continue;  // prose
    keys.push_back(key);
    uncommented += text.substr(2);
    EXPECT_EQ(std::string(config::kSettingKeys[index].default_value) + "\n", text.substr(end + 1))
        << key;
  }
  std::fclose(file);
  for (const config::SettingKey& key : config::kSettingKeys) {
    EXPECT_EQ(1, std::count(keys.begin(), keys.end(), key.name)) << key.name;
  }
  config::ConfigReading reading;
  ASSERT_EQ(0, config::read_config_file(write_file("example.txt", uncommented).c_str(), &settings_,
                                        &reading));
  std::vector<std::string> live;
  std::vector<std::string> restart;
  config::differing_keys(config::Settings(), settings_, &live, &restart);
  EXPECT_TRUE(live.empty() && restart.empty()) << (live.empty() ? restart[0] : live[0]);
  EXPECT_EQ(0, reading.bad_count + reading.note_count);
}

// The README's settings table has a row for every key, in the table's
// order, with its default, whether a reload applies it, and its range.
TEST_F(ConfigTest, ReadmeListsEveryKeyWithItsDefaultRangeAndReload) {
  std::ifstream readme(LOBBY_SOURCE_DIR "/README.md");
  ASSERT_TRUE(readme);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  bool in_table = false;
  while (std::getline(readme, line)) {
    if (line.rfind("| Key | Default | Reload | Meaning |", 0) == 0) {
      in_table = true;
      continue;
    }
    if (!in_table) continue;
    if (line.rfind("|", 0) != 0) break;
    if (line.rfind("|---", 0) == 0) continue;
    std::vector<std::string> cells;
    size_t at = 1;
    for (size_t bar; (bar = line.find(" | ", at)) != std::string::npos || at < line.size();) {
      if (bar == std::string::npos) bar = line.size() - 2;
      std::string cell = line.substr(at, bar - at);
      cell.erase(0, cell.find_first_not_of(' '));
      while (!cell.empty() && cell.back() == ' ') cell.pop_back();
      cells.push_back(cell);
      at = bar + 3;
      if (bar == line.size() - 2) break;
    }
    rows.push_back(cells);
  }
  ASSERT_EQ(static_cast<size_t>(config::kSettingKeyCount), rows.size());
  for (int i = 0; i < config::kSettingKeyCount; ++i) {
    const config::SettingKey& key = config::kSettingKeys[i];
    SCOPED_TRACE(key.name);
    ASSERT_EQ(4u, rows[i].size());
    EXPECT_EQ(std::string("`") + key.name + "`", rows[i][0]);
    EXPECT_EQ(key.default_value, rows[i][1]);
    EXPECT_EQ(key.takes == config::Takes::kAtOnce ? "at once" : "restart", rows[i][2]);
    if (key.kind == config::ValueKind::kLimit && key.least > config::kInt32Least) {
      const std::string range = "(" + std::to_string(key.least) + ".." + std::to_string(key.most) +
                                (key.zero_off ? "; 0: off)" : ")");
      EXPECT_NE(std::string::npos, rows[i][3].find(range)) << range;
    }
  }
}

// Every key read strictly: its value, then nothing but blanks or a
// comment. Numbers are clamped into their range with a note, 0 kept where
// it turns the key off; a bad line leaves the key as it was.
TEST_F(ConfigTest, StrictKeysTakeTheirValueAloneAndNumbersAreClampedWithANote) {
  for (const config::SettingKey& key : config::kSettingKeys) {
    if (key.kind != config::ValueKind::kLimit) continue;
    SCOPED_TRACE(key.name);
    config::Settings fresh;
    const int32_t start = fresh.*key.number;
    EXPECT_EQ(std::to_string(start), key.default_value);
    const std::string name = key.name;
    // One value within the range, written with a comment; then every bad
    // form, each of which keeps it; then the clamps.
    const int64_t inside = key.most > key.least ? key.least + 1 : key.least;
    std::string text = name + " " + std::to_string(inside) + " ; a note\n";
    for (const char* bad : {" 4 junk", " 0.5", " 1e3", " 2m", " 7x", "", " -", " 0x10"}) {
      text += name + bad + "\n";
    }
    config::ConfigReading reading;
    config::Settings settings;
    ASSERT_EQ(
        0, config::read_config_file(write_file("strict.txt", text).c_str(), &settings, &reading));
    EXPECT_EQ(inside, settings.*key.number);
    EXPECT_EQ(8, reading.bad_count);
    EXPECT_EQ("line 2: " + name + " 4 junk", std::string(reading.bad[0].text));
    EXPECT_EQ(1, reading.sources[&key - config::kSettingKeys].line);
    EXPECT_EQ(9, reading.sources[&key - config::kSettingKeys].bad_line);
    if (key.least == config::kInt32Least) continue;  // nothing lies outside
    // Below the range (0 itself where 0 turns the key off), past 32 bits
    // (clamped, never wrapped into a small number), then 0.
    const std::string below = std::to_string(static_cast<int64_t>(key.least) - 1);
    const std::string range = std::string(key.zero_off ? "0 or " : "") + std::to_string(key.least) +
                              ".." + std::to_string(key.most);
    ASSERT_EQ(0, config::read_config_file(
                     write_file("clamp.txt", name + " " + below + "\n" + name +
                                                 " 99999999999999999999\n" + name + " 0\n")
                         .c_str(),
                     &settings, &reading));
    EXPECT_EQ(key.zero_off ? 0 : key.least, settings.*key.number);
    const bool below_is_off = key.zero_off && key.least == 1;
    ASSERT_EQ(below_is_off ? 1 : key.zero_off ? 2 : 3, reading.note_count);
    if (!below_is_off) {
      EXPECT_EQ(
          name + " " + below + " is outside " + range + ": " + std::to_string(key.least) + " used",
          reading.notes[0].text);
    }
    EXPECT_EQ(name + " 99999999999999999999 is outside " + range + ": " + std::to_string(key.most) +
                  " used",
              reading.notes[below_is_off ? 0 : 1].text);
    EXPECT_EQ(!key.zero_off, reading.sources[&key - config::kSettingKeys].clamped);
  }
  // Words: one that fits, alone, or the key keeps its value; "-" is none
  // where a key may have none.
  apply("L_ADMIN /run/lobby/east.sock trailing");
  EXPECT_STREQ(settings_.L_ADMIN, "lobby.sock");
  apply("L_ADMIN /run/lobby/east.sock ;ok");
  EXPECT_STREQ(settings_.L_ADMIN, "/run/lobby/east.sock");
  apply("L_DENY -");
  EXPECT_STREQ(settings_.L_DENY, "");
  apply("L_CHAT_LOG chat.txt");
  EXPECT_STREQ(settings_.L_CHAT_LOG, "chat.txt");
  config::turn_off_protections(&settings_);
  for (const config::SettingKey& key : config::kSettingKeys) {
    if (key.kind == config::ValueKind::kLimit && key.zero_off) {
      EXPECT_EQ(0, settings_.*key.number) << key.name;
    }
  }
  EXPECT_STREQ("", settings_.L_DENY);
}

// L_PROXY: IPv4 addresses and prefixes, by blanks or commas, added up over
// lines to at most 64; "-" empties the list. A line with anything else, or
// one too many, adds nothing and is a bad line with a note that says why; a
// reload reports the change as one that takes effect at once.
TEST_F(ConfigTest, ProxyListsAddUpToSixtyFourIPv4AddressesOrPrefixes) {
  auto listed = [this] {
    char text[64 * 24];
    settings_.L_PROXY.format(text, sizeof text);
    return std::string(text);
  };
  load_text("L_PROXY 10.0.0.1, 192.168.0.0/16,172.16.0.1 ; the shields\nL_PROXY 10.0.0.9\n");
  EXPECT_EQ("10.0.0.1, 192.168.0.0/16, 172.16.0.1, 10.0.0.9", listed());
  EXPECT_EQ("10.0.0.1, 192.168.0.0/16, 172.16.0.1, 10.0.0.9",
            config::setting_text(settings_, config::setting_index("L_PROXY")));
  net::IpAddress a;
  for (const char* text : {"10.0.0.9", "192.168.77.1", "172.16.0.1"}) {
    ASSERT_EQ(0, net::parse_ip_address(text, &a));
    EXPECT_TRUE(settings_.L_PROXY.covers(a)) << text;
  }
  for (const char* text : {"10.0.0.2", "172.16.0.2", "::ffff:10.0.0.3", "2001:db8::1"}) {
    ASSERT_EQ(0, net::parse_ip_address(text, &a));
    EXPECT_FALSE(settings_.L_PROXY.covers(a)) << text;
  }
  const config::Settings before = settings_;
  config::ConfigReading reading;
  const std::string bad = write_file(
      "bad.txt", "L_PROXY 10.0.0.3 2001:db8::/32\nL_PROXY 10.0.0.3,,nonsense\nL_PROXY\n");
  ASSERT_EQ(0, config::read_config_file(bad.c_str(), &settings_, &reading));
  EXPECT_EQ("10.0.0.1, 192.168.0.0/16, 172.16.0.1, 10.0.0.9", listed());
  EXPECT_EQ(3, reading.bad_count);
  ASSERT_EQ(2, reading.note_count);
  EXPECT_STREQ("L_PROXY 2001:db8::/32: not an IPv4 address or prefix; the line is ignored",
               reading.notes[0].text);
  EXPECT_STREQ("L_PROXY nonsense: not an IPv4 address or prefix; the line is ignored",
               reading.notes[1].text);
  std::vector<std::string> live, restart;
  config::differing_keys(before, settings_, &live, &restart);
  EXPECT_TRUE(live.empty());
  apply("L_PROXY -");
  EXPECT_EQ("", listed());
  EXPECT_EQ("-", config::setting_text(settings_, config::setting_index("L_PROXY")));
  config::differing_keys(before, settings_, &live, &restart);
  EXPECT_EQ(std::vector<std::string>{"L_PROXY"}, live);
  EXPECT_TRUE(restart.empty());

  std::string sixty_four;
  for (int i = 0; i < 64; ++i) {
    sixty_four += (i % 16 == 0 ? "\nL_PROXY " : " ") + ("10.0." + std::to_string(i) + ".0/24");
  }
  settings_ = config::Settings();
  reading = config::ConfigReading();
  const std::string many = write_file("many.txt", sixty_four + "\nL_PROXY 10.1.0.1\n");
  ASSERT_EQ(0, config::read_config_file(many.c_str(), &settings_, &reading));
  EXPECT_EQ(64, settings_.L_PROXY.count);
  ASSERT_EQ(1, reading.note_count);
  EXPECT_STREQ("L_PROXY 10.1.0.1: past the 64 entries it holds; the line is ignored",
               reading.notes[0].text);
}

// The seven keys the file first had keep their lenient reading; text after
// the value is named in a note, and a comment is no such text.
TEST_F(ConfigTest, FirstKeysIgnoreTextAfterTheValueWithANote) {
  config::ConfigReading reading;
  ASSERT_EQ(0, config::read_config_file(
                   write_file("lenient.txt",
                              "VER 7x\nROOM 2 rooms\nL_NAME east west\nL_PORT 4000 ;port\n"
                              "N_IP 10.1.2.3junk\nL_IP 1.2.3.4 \n")
                       .c_str(),
                   &settings_, &reading));
  EXPECT_EQ(7, settings_.VER);
  EXPECT_EQ(2, settings_.ROOM);
  EXPECT_STREQ("east", settings_.L_NAME);
  EXPECT_EQ(4000, settings_.L_PORT);
  expect_address(settings_.N_IP, 10, 1, 2, 3);
  EXPECT_EQ(0, reading.bad_count);
  ASSERT_EQ(4, reading.note_count);
  EXPECT_STREQ("VER on line 1: \"x\" after the value ignored", reading.notes[0].text);
  EXPECT_STREQ("ROOM on line 2: \"rooms\" after the value ignored", reading.notes[1].text);
  EXPECT_STREQ("L_NAME on line 3: \"west\" after the value ignored", reading.notes[2].text);
  EXPECT_STREQ("N_IP on line 5: \"junk\" after the value ignored", reading.notes[3].text);
}

// A file of any size or kind: over 1 MiB, or anything but a regular file,
// is refused whole before it is read; lines past 4 KiB are cut; the bad
// lines kept are bounded, and all of them counted.
TEST_F(ConfigTest, FilesOfAnySizeOrKindAreReadWithinBoundsOrRefusedWhole) {
  config::ConfigReading reading;
  settings_.VER = 9;
  std::string big(config::kMaxConfigBytes + 1, ';');
  EXPECT_EQ(-1, config::read_config_file(write_file("big.txt", "VER 1\n" + big).c_str(), &settings_,
                                         &reading));
  EXPECT_EQ(config::FileResult::kTooBig, reading.result);
  EXPECT_EQ(9, settings_.VER);
  EXPECT_EQ("big.txt: too big, over 1 MiB", config::file_problem("big.txt", reading));
  const std::string zero = dir_ + "/zero.txt";
  ASSERT_EQ(0, symlink("/dev/zero", zero.c_str()));
  written_.push_back(zero);
  EXPECT_EQ(-1, config::read_config_file(zero.c_str(), &settings_, &reading));
  EXPECT_EQ(config::FileResult::kNotRegular, reading.result);
  // A pipe nobody writes to would block an open for reading.
  const std::string fifo = dir_ + "/fifo.txt";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  written_.push_back(fifo);
  EXPECT_EQ(-1, config::read_config_file(fifo.c_str(), &settings_, &reading));
  EXPECT_EQ("fifo.txt: not a regular file", config::file_problem("fifo.txt", reading));
  EXPECT_EQ(-1, config::read_config_file(dir_.c_str(), &settings_, &reading));
  EXPECT_EQ(config::FileResult::kNotRegular, reading.result);

  // 1 MiB of bad lines; a line of 5000 bytes whose key is cut off.
  std::string lines;
  while (lines.size() < static_cast<size_t>(config::kMaxConfigBytes) - 6000) lines += "FOO 1\n";
  const int bad = static_cast<int>(lines.size() / 6);
  lines += "VER 3 " + std::string(5000, 'v') + "\nVER 4";
  ASSERT_EQ(0,
            config::read_config_file(write_file("many.txt", lines).c_str(), &settings_, &reading));
  EXPECT_EQ(4, settings_.VER);
  // Of the long line, the pieces within 4096 bytes are read (the first
  // sets VER 3, the next eleven have no key), the rest is one bad line.
  EXPECT_EQ(bad + 11 + 1, reading.bad_count);
  EXPECT_EQ(1, reading.note_count);
  EXPECT_STREQ("line 1: FOO 1", reading.bad[0].text);
  EXPECT_STREQ("line 32: FOO 1", reading.bad[config::kMaxReported - 1].text);
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

  // A file that never ends (a link to /dev/zero) is neither read whole for
  // a ban nor line by line for the list of bans: both answer at once.
  ASSERT_EQ(0, std::remove(path.c_str()));
  ASSERT_EQ(0, symlink("/dev/zero", path.c_str()));
  EXPECT_EQ(config::kDenyNotAFile, list.add(entry, &error));
  EXPECT_EQ(config::kDenyNotAFile, list.remove(entry, &error));
  config::DenyEntry entries[2];
  config::BanNote notes[2];
  EXPECT_EQ(0, list.entries_with_notes(entries, notes, 2));
  EXPECT_EQ(9, readlink(path.c_str(), target, sizeof target - 1));
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

// Who banned, since when and why live in each line's comment. Lines
// written without them (by hand, or before bans kept them) load as they
// did, their comment then the reason alone.
TEST_F(ConfigTest, BansKeepTheirReasonAuthorAndTimeInTheirComment) {
  config::BanNote note;
  note.by = "uid 1001";  // a name with a blank, as a user without a passwd entry has
  note.since_s = 1800000000;
  note.reason = "cheating; twice";
  const std::string comment = config::format_ban_comment(note);
  EXPECT_EQ("by uid 1001 since 2027-01-15T08:00:00Z: cheating; twice", comment);
  note.by = "a\nb";
  note.reason = "";
  EXPECT_EQ("by a?b since 2027-01-15T08:00:00Z", config::format_ban_comment(note));
  note.by = "auto";
  note.reason = "dropped 3 times";
  EXPECT_EQ("automatic ban since 2027-01-15T08:00:00Z: dropped 3 times",
            config::format_ban_comment(note));

  const std::string path = write_file(
      "deny.txt",
      "; notes\n10.0.0.1 ; a pest\n10.0.0.2 until 2027-01-15T09:00:00Z ; automatic ban: dropped "
      "3 times\nnot an entry ; by x since 2027-01-15T08:00:00Z\n10.0.0.3 ; " +
          comment +
          "\n10.0.0.4 ; by alice since tomorrow\n10.0.0.5 until 2027-01-15T07:00:00Z ; by "
          "bob since 2027-01-15T06:00:00Z: gone\n10.0.0.6 ; by bob since 2027-01-15T06:00:00Z: "
          "x\r\n10.0.0.7\n");
  int64_t now = 1800000000;
  config::DenyList list;
  list.set_file(path.c_str(), [](const char*) {});
  list.set_clock([&now] { return now; });
  ASSERT_TRUE(list.reload_if_changed());
  config::DenyEntry entries[8];
  config::BanNote notes[8];
  ASSERT_EQ(6, list.entries_with_notes(entries, notes, 8));
  const char* expected[6][4] = {{"10.0.0.1", "a pest", "", ""},
                                {"10.0.0.2", "dropped 3 times", "auto", ""},
                                {"10.0.0.3", "cheating; twice", "uid 1001", "2027-01-15T08:00:00Z"},
                                {"10.0.0.4", "by alice since tomorrow", "", ""},
                                {"10.0.0.6", "x", "bob", "2027-01-15T06:00:00Z"},
                                {"10.0.0.7", "", "", ""}};
  for (int i = 0; i < 6; ++i) {
    char address[config::kDenyTextBytes];
    config::format_deny_entry(entries[i], address);
    EXPECT_STREQ(expected[i][0], address);
    EXPECT_EQ(expected[i][1], notes[i].reason) << address;
    EXPECT_EQ(expected[i][2], notes[i].by) << address;
    char since[config::kUntilTextBytes] = "";
    if (notes[i].since_s != 0) config::format_until(notes[i].since_s, since);
    EXPECT_STREQ(expected[i][3], since) << address;
  }
  // The same entries the lobby denies, and no more than asked for.
  EXPECT_EQ(6, list.entries_in_force(entries, 8));
  EXPECT_EQ(2, list.entries_with_notes(entries, notes, 2));
}

}  // namespace
