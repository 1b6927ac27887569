// The operator's command line for running lobbies: sends one command on a
// lobby's admin channel, or on those of every lobby of the host, and
// prints the replies.
//
//   lobbyctl [-s SOCKET | -i NAME | --all [--yes]] [--base DIR] [--json] COMMAND [ARGS...]
//
// SOCKET defaults to ./lobby.sock; on Windows it names the lobby's pipe the
// way L_ADMIN does (\\.\pipe\lobby- and the file name). -i NAME is the
// instance NAME of the service unit, DIR/NAME/lobby.sock, and --all every
// instance of DIR in turn (DIR: --base, else $LOBBY_BASE_DIR, else
// /var/lib/lobby-server). status, users, rooms, bans and settings print as
// tables, other replies as a short line; --json prints each reply as it
// came. The commands are the lobby's command table (admin/command_table.h),
// which also says which ones --all runs only with --yes.
// Exit status: 0 done, 1 a lobby answered with an error (its text on
// standard error), 2 bad arguments (lobbyctl's own, or the lobby refused
// the command's), 3 no answer (nothing listening, a time-out, or a reply
// that is not JSON); with --all the worst of them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "admin/command_table.h"
#include "net/socket_ops.h"
#include "ops/admin_client.h"
#include "ops/admin_tables.h"
#include "platform/console_io.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr char kUsage[] =
    "usage: lobbyctl [-s SOCKET | -i NAME | --all [--yes]] [--base DIR] [--json] COMMAND "
    "[ARGS...]\n"
    "  -s SOCKET   the lobby's admin socket (default ./lobby.sock)\n"
    "  -i NAME     the lobby of the service instance NAME: DIR/NAME/lobby.sock\n"
    "  --all       every lobby under DIR in turn, in one table with a LOBBY column;\n"
    "              the commands marked * only with --yes\n"
    "  --yes       lets --all run the commands marked *\n"
    "  --base DIR  where the instances live (default $LOBBY_BASE_DIR, else\n"
    "              /var/lib/lobby-server)\n"
    "  --json      the replies as they came, one line each\n"
    "  -h, --help  this text\n";

// The usage, then every command of the lobby's command table (lobbyctl
// help asks a lobby for the same list, with what each does).
std::string usage_text() {
  std::string text = kUsage;
  text += "commands (lobbyctl help says what each does):\n";
  for (int i = 0; i < admin::kAdminCommandCount; ++i) {
    const admin::AdminCommand& command = admin::kAdminCommands[i];
    text += std::string(command.needs_yes ? "  * " : "    ") + admin::command_usage(command) + "\n";
  }
  return text;
}
constexpr char kDefaultBase[] = "/var/lib/lobby-server";
constexpr char kBaseVariable[] = "LOBBY_BASE_DIR";
constexpr char kSocketName[] = "lobby.sock";
constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoAnswer = 3;
constexpr int kReplyTimeoutMs = 5000;
// An upgrade answers once the new program serves, or once the lobby gave
// up on it: a new program has 10 s to say it is ready.
constexpr int kUpgradeReplyTimeoutMs = 30000;

int usage_error() {
  std::fputs(usage_text().c_str(), stderr);
  return kExitUsage;
}

void print_error(const std::string& text) {
  platform::print_text(stderr, "lobbyctl: " + text + "\n");
}

// What one lobby answered.
struct Answer {
  int status = kExitOk;
  std::string raw;  // the reply line, when there was one
  Json reply;       // parsed, when an object without an error
  std::string error;
};

Answer ask(const std::string& socket, const std::string& line) {
  Answer answer;
  const int timeout_ms = line.rfind("upgrade", 0) == 0 ? kUpgradeReplyTimeoutMs : kReplyTimeoutMs;
  if (!ops::ask_lobby(socket, line, &answer.raw, timeout_ms, &answer.error)) {
    answer.status = kExitNoAnswer;
    answer.raw.clear();
    return answer;
  }
  const Json parsed = Json::parse(answer.raw, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    answer.status = kExitNoAnswer;
    answer.error = "not a reply of the admin channel: " + ops::printable(answer.raw);
    answer.raw.clear();
    return answer;
  }
  if (parsed.contains("error")) {
    const auto& text = parsed["error"];
    // The lobby refused the command's arguments: a usage error, as lobbyctl
    // itself reports one.
    const bool usage = parsed.contains("bad_arguments") && parsed["bad_arguments"] == true;
    answer.status = usage ? kExitUsage : kExitError;
    answer.error = ops::printable(text.is_string() ? text.get<std::string>() : answer.raw);
    return answer;
  }
  answer.reply = parsed;
  return answer;
}

// The instances under `base` that have a socket, by name.
std::vector<std::string> instances(const std::string& base) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(base, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code status_error;
    if (!it->is_directory(status_error)) continue;
    if (std::filesystem::exists(it->path() / kSocketName, status_error)) {
      names.push_back(it->path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string socket_of(const std::string& base, const std::string& name) {
  return base + "/" + name + "/" + kSocketName;
}

int run_one(const std::string& socket, const std::string& command, const std::string& line,
            bool raw) {
  const Answer answer = ask(socket, line);
  if (answer.status != kExitOk) print_error(answer.error);
  if (raw && !answer.raw.empty()) platform::print_text(stdout, answer.raw + "\n");
  if (answer.status == kExitOk && !raw) {
    platform::print_text(stdout, ops::format_admin_reply(command, answer.reply));
  }
  return answer.status;
}

// Every instance in turn; one that fails does not stop the others.
int run_all(const std::string& base, const std::string& command, const std::string& line,
            bool raw) {
  const std::vector<std::string> names = instances(base);
  if (names.empty()) {
    print_error("no lobby under " + base + " (no " + base + "/*/" + kSocketName + ")");
    return kExitNoAnswer;
  }
  int worst = kExitOk;
  ops::FleetTable table(command);
  for (const std::string& name : names) {
    const Answer answer = ask(socket_of(base, name), line);
    worst = std::max(worst, answer.status);
    if (answer.status != kExitOk) print_error(ops::printable(name) + ": " + answer.error);
    if (raw) {
      Json entry = Json::object();
      entry["lobby"] = name;
      if (!answer.raw.empty()) {
        entry["reply"] = Json::parse(answer.raw, nullptr, false);
      } else {
        entry["error"] = answer.error;
      }
      platform::print_text(stdout,
                           entry.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n");
    } else if (answer.status == kExitOk) {
      table.add(name, answer.reply);
    }
  }
  if (!raw) platform::print_text(stdout, table.text());
  return worst;
}

}  // namespace

int main(int argc, char** argv_in) {
  net::start_sockets();
  // Arguments in UTF-8 on every system: say's text goes to the lobby so.
  const std::vector<std::string> arguments = platform::utf8_arguments(argc, argv_in);
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  const char* const* argv = pointers.data();
  argc = static_cast<int>(pointers.size());
  std::string socket_path = "./lobby.sock";
  std::string instance;
  const char* base_variable = std::getenv(kBaseVariable);
  std::string base =
      base_variable != nullptr && *base_variable != '\0' ? base_variable : kDefaultBase;
  bool raw = false;
  bool all = false;
  bool yes = false;
  bool by_instance = false;
  int targets = 0;  // -s, -i and --all: at most one
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string option = argv[i];
    if (option == "-s" && i + 1 < argc) {
      socket_path = argv[++i];
      ++targets;
    } else if (option == "-i" && i + 1 < argc) {
      instance = argv[++i];
      by_instance = true;
      ++targets;
    } else if (option == "--all") {
      all = true;
      ++targets;
    } else if (option == "--yes") {
      yes = true;
    } else if (option == "--base" && i + 1 < argc) {
      base = argv[++i];
    } else if (option == "--json") {
      raw = true;
    } else if (option == "-h" || option == "--help") {
      std::fputs(usage_text().c_str(), stdout);
      return kExitOk;
    } else {
      return usage_error();
    }
  }
  if (i == argc || targets > 1) return usage_error();
  if (by_instance) {
    // An instance is one directory of the base, never a path elsewhere.
    if (instance.empty() || instance == "." || instance == ".." ||
        instance.find_first_of("/\\") != std::string::npos) {
      print_error("not an instance name: " + ops::printable(instance));
      return kExitUsage;
    }
    socket_path = socket_of(base, instance);
  }
  const std::string command = argv[i];
  std::string line = command;
  for (++i; i < argc; ++i) {
    // --json may also follow the command ("lobbyctl users --json").
    if (std::strcmp(argv[i], "--json") == 0) {
      raw = true;
      continue;
    }
    line += std::string(" ") + argv[i];
  }
  if (line.find('\n') != std::string::npos) {
    print_error("a command is one line");
    return kExitUsage;
  }
  if (!all) return run_one(socket_path, command, line, raw);
  // What acts on players is not done to a whole host by a slip of the
  // fingers.
  const admin::AdminCommand* row = admin::find_command(command);
  if (row != nullptr && row->needs_yes && !yes) {
    print_error("--all " + command + " acts on every lobby of the host: add --yes to do so");
    return kExitUsage;
  }
  return run_all(base, command, line, raw);
}
