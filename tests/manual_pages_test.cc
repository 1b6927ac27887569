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

#include "admin/replies.h"
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
    const std::set<std::string> in_help = options_in(help_of(program.path));
    EXPECT_FALSE(in_help.empty());
    EXPECT_EQ(in_help, options_in(synopsis_and_options(text)));
  }
}

// lobbyctl's page lists, in its COMMANDS section, exactly the commands the
// lobby's help gives, with the same usage.
TEST(ManualPagesTest, LobbyctlPageListsTheCommandsOfTheLobbysHelp) {
  std::ifstream file(std::string(LOBBY_SOURCE_DIR) + "/packaging/man/lobbyctl.1");
  ASSERT_TRUE(file) << "no manual page";
  std::vector<std::string> in_page;
  bool in_commands = false;
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(".SH ", 0) == 0) in_commands = line == ".SH COMMANDS";
    if (in_commands && line.rfind(".B ", 0) == 0) in_page.push_back(line.substr(3));
  }
  std::vector<std::string> in_help;
  const auto help = nlohmann::json::parse(admin::help_reply());
  for (const auto& command : help["commands"]) in_help.push_back(command["usage"]);
  EXPECT_EQ(in_help, in_page);
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
