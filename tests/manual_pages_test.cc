// The manual pages the package ships, held against the programs they
// describe: the options a page gives in its SYNOPSIS and OPTIONS are
// exactly those the program's --help names, so that neither can gain or
// lose one without the other.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "admin/command_table.h"
#include "admin/replies.h"
#include "config/setting_keys.h"
#include "tests/support/child_process.h"

namespace {

using testing_support::ChildProcess;
using testing_support::ChildStdio;
using testing_support::TempDir;

constexpr int kWaitMs = 10000;

bool option_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

// Every word of `text` that is an option: one or two dashes and a letter,
// at the start of a word (after a blank, a bracket, a bar or a comma).
std::set<std::string> options_in(const std::string& text) {
  std::set<std::string> found;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '-') continue;
    if (i > 0 && std::string(" \t\n[(|,").find(text[i - 1]) == std::string::npos) continue;
    const size_t start = i;
    size_t at = text.compare(i, 2, "--") == 0 ? i + 2 : i + 1;
    const bool letter = at < text.size() && ((text[at] >= 'a' && text[at] <= 'z') ||
                                             (text[at] >= 'A' && text[at] <= 'Z'));
    if (!letter) continue;
    while (at < text.size() && option_char(text[at])) ++at;
    found.insert(text.substr(start, at - start));
    i = at;
  }
  return found;
}

// The text of a page's SYNOPSIS and OPTIONS sections, with the escapes
// that matter here undone (\- is a dash, \f. changes the font).
std::string synopsis_and_options(const std::string& page) {
  std::string text;
  bool keep = false;
  std::istringstream lines(page);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(".SH ", 0) == 0) {
      keep = line == ".SH SYNOPSIS" || line == ".SH OPTIONS";
      continue;
    }
    if (!keep) continue;
    // Macros such as .B and .RB name fonts, not options.
    if (!line.empty() && line[0] == '.') {
      const size_t space = line.find(' ');
      line = space == std::string::npos ? "" : line.substr(space + 1);
    }
    std::string plain;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '-') {
        plain += '-';
        ++i;
      } else if (line[i] == '\\' && i + 2 < line.size() && line[i + 1] == 'f') {
        plain += ' ';
        i += 2;
      } else if (line[i] == '"') {
        plain += ' ';
      } else {
        plain += line[i];
      }
    }
    text += plain + "\n";
  }
  return text;
}

struct Program {
  const char* name;
  const char* path;
};

// What `path --help` prints on standard output; it must end with status 0.
std::string help_of(const char* path) {
  TempDir dir;
  ChildProcess child;
  EXPECT_TRUE(child.start({path, "--help"}, dir.path(), ChildStdio::kNullInput));
  int status = -1;
  EXPECT_TRUE(child.wait_exit(kWaitMs, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << path << " --help: " << status;
  std::string line;
  while (child.next_line(&line, 0)) {
  }
  return child.output();
}

TEST(ManualPagesTest, EachPageNamesExactlyTheOptionsOfItsProgram) {
  const Program programs[] = {
      {"lobby_server", LOBBY_SERVER_PATH},       {"lobbyctl", LOBBYCTL_PATH},
      {"lobby_exporter", LOBBY_EXPORTER_PATH},   {"lobby_client", LOBBY_CLIENT_PATH},
      {"upstream_listen", UPSTREAM_LISTEN_PATH},
  };
  for (const Program& program : programs) {
    SCOPED_TRACE(program.name);
    std::ifstream file(std::string(LOBBY_SOURCE_DIR) + "/packaging/man/" + program.name + ".1");
    ASSERT_TRUE(file) << "no manual page";
    std::ostringstream page;
    page << file.rdbuf();
    const std::string text = page.str();
    for (const char* section : {".SH NAME\n", ".SH SYNOPSIS\n", ".SH DESCRIPTION\n",
                                ".SH OPTIONS\n", ".SH EXIT STATUS\n"}) {
      EXPECT_NE(std::string::npos, text.find(section)) << section;
    }
    std::string title = program.name;
    for (char& c : title) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(0u, text.find(".TH " + title + " 1 "));
    // lobbyctl's help ends with the lobby's commands, whose own options
    // are arguments of a command, not of the program.
    std::string help = help_of(program.path);
    help = help.substr(0, help.find("\ncommands ("));
    const std::set<std::string> in_help = options_in(help);
    EXPECT_FALSE(in_help.empty());
    EXPECT_EQ(in_help, options_in(synopsis_and_options(text)));
  }
}

// Every shipped program refuses an option it does not know: its usage on
// standard error, exit status 2, and nothing opened or made (the lobby
// neither logs nor listens nor makes its socket).
TEST(ManualPagesTest, EveryProgramRefusesAnUnknownOptionWithItsUsageAndStatusTwo) {
  const Program programs[] = {
      {"lobby_server", LOBBY_SERVER_PATH},       {"lobbyctl", LOBBYCTL_PATH},
      {"lobby_exporter", LOBBY_EXPORTER_PATH},   {"lobby_client", LOBBY_CLIENT_PATH},
      {"upstream_listen", UPSTREAM_LISTEN_PATH},
  };
  for (const Program& program : programs) {
    for (const std::string& arguments : {std::string("--bogus"), std::string("--bogus 1 2")}) {
      SCOPED_TRACE(std::string(program.name) + " " + arguments);
      TempDir dir;
      ChildProcess child;
      ASSERT_TRUE(child.start(
          {"/bin/sh", "-c", std::string("exec ") + program.path + " " + arguments + " 2>&1"},
          dir.path(), ChildStdio::kNullInput));
      int status = -1;
      ASSERT_TRUE(child.wait_exit(kWaitMs, &status));
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
      std::string line;
      while (child.next_line(&line, 0)) {
      }
      std::string lower = child.output();
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      EXPECT_NE(std::string::npos, lower.find("usage: " + std::string(program.name)))
          << child.output();
      EXPECT_FALSE(dir.exists("L_log.txt"));
      EXPECT_FALSE(dir.exists("lobby.sock"));
    }
  }
}

// `text` as troff writes it: a dash is \-, a backslash \e.
std::string troff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '-') {
      out += "\\-";
    } else if (c == '\\') {
      out += "\\e";
    } else {
      out += c;
    }
  }
  return out;
}

// A line of help as a page writes it: a capital first, a full stop last.
std::string sentence(const std::string& help) {
  std::string text = help;
  text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return troff(text) + ".";
}

std::string read_page(const char* name) {
  std::ifstream file(std::string(LOBBY_SOURCE_DIR) + "/packaging/man/" + name);
  std::ostringstream page;
  page << file.rdbuf();
  return page.str();
}

// lobbyctl's page lists, in its COMMANDS section, exactly the rows of the
// command table, each with its usage and its help.
TEST(ManualPagesTest, LobbyctlPageListsTheCommandsOfTheCommandTable) {
  const std::string page = read_page("lobbyctl.1");
  const size_t start = page.find(".SH COMMANDS\n");
  ASSERT_NE(std::string::npos, start);
  std::string commands = page.substr(start, page.find("\n.SH ", start + 1) - start + 1);
  std::string expected = ".SH COMMANDS\n";
  for (int i = 0; i < admin::kAdminCommandCount; ++i) {
    const admin::AdminCommand& command = admin::kAdminCommands[i];
    expected +=
        ".TP\n.B " + troff(admin::command_usage(command)) + "\n" + sentence(command.help) + "\n";
  }
  EXPECT_EQ(expected, commands);
  // The lobby's help gives the same commands.
  std::vector<std::string> in_help;
  const auto help = nlohmann::json::parse(admin::help_reply());
  for (const auto& command : help["commands"]) in_help.push_back(command["usage"]);
  ASSERT_EQ(static_cast<size_t>(admin::kAdminCommandCount), in_help.size());
  for (int i = 0; i < admin::kAdminCommandCount; ++i) {
    EXPECT_EQ(admin::command_usage(admin::kAdminCommands[i]), in_help[i]);
  }
}

// lobby_server's page gives, in its SETTINGS section, every key of the key
// table with its default, its help, its range and when it takes effect.
TEST(ManualPagesTest, ServerPageListsEveryKeyOfTheKeyTable) {
  const std::string page = read_page("lobby_server.1");
  size_t at = page.find(".SH SETTINGS\n");
  ASSERT_NE(std::string::npos, at);
  const std::string settings = page.substr(at, page.find("\n.SH ", at + 1) - at + 1);
  at = 0;
  for (const config::SettingKey& key : config::kSettingKeys) {
    SCOPED_TRACE(key.name);
    std::string range;
    if (key.kind == config::ValueKind::kLimit && key.least > config::kInt32Least) {
      range = " (" + std::to_string(key.least) + ".." + std::to_string(key.most) +
              (key.zero_off ? "; 0: off)" : ")");
    }
    const std::string entry =
        ".TP\n\\fB" + std::string(key.name) + "\\fR " + troff(key.default_value) + "\n" +
        sentence(key.help).substr(0, sentence(key.help).size() - 1) + range +
        (key.takes == config::Takes::kAtOnce ? "; a reload applies it at once."
                                             : "; it needs a restart.") +
        "\n";
    const size_t found = settings.find(entry, at);
    ASSERT_NE(std::string::npos, found) << entry;
    at = found + entry.size();
  }
  EXPECT_EQ(std::string::npos, settings.find(".TP", at));
}

// The reader above finds options where a page or a help text has them,
// and nothing that only looks like one.
TEST(ManualPagesTest, OptionsAreFoundInBothForms) {
  EXPECT_EQ((std::set<std::string>{"-s", "--all", "--timeout-ms", "-h", "--help"}),
            options_in("usage: x [-s SOCKET | --all] [--timeout-ms MS]\n  -h, --help  2L -1, a-b"));
  EXPECT_EQ((std::set<std::string>{"--listen", "-i", "--base"}),
            options_in(synopsis_and_options(".SH SYNOPSIS\n.RB [ \\-\\-listen\n.BI \\-i \" NAME\"\n"
                                            ".SH OPTIONS\n.TP\n\\fB\\-\\-base\\fR DIR\n"
                                            ".SH DESCRIPTION\n\\-\\-not\\-this\n")));
}

}  // namespace
