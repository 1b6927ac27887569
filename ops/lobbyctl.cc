// The operator's command line for a running lobby: sends one command on its
// admin channel and prints the reply.
//
//   lobbyctl [-s SOCKET] [--json] COMMAND [ARGS...]
//
// SOCKET defaults to ./lobby.sock; on Windows it names the lobby's pipe the
// way L_ADMIN does (\\.\pipe\lobby- and the file name). status, users,
// rooms and bans print as tables, other replies as a short line; --json
// prints the reply as it came. Exit status: 0 done, 1 the lobby answered
// with an error (its text on standard error), 2 bad arguments, 3 no answer
// (nothing listening, a time-out, or a reply that is not JSON).
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "net/socket_ops.h"
#include "ops/admin_client.h"
#include "ops/admin_tables.h"
#include "platform/console_io.h"

namespace {

constexpr char kUsage[] =
    "usage: lobbyctl [-s SOCKET] [--json] COMMAND [ARGS...]\n"
    "SOCKET defaults to ./lobby.sock; lobbyctl help lists the commands.\n";
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoAnswer = 3;
constexpr int kReplyTimeoutMs = 5000;

}  // namespace

int main(int argc, char** argv) {
  net::start_sockets();
  std::string socket_path = "./lobby.sock";
  bool raw = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "-s") == 0 && i + 1 < argc) {
      socket_path = argv[++i];
    } else if (std::strcmp(argv[i], "--json") == 0) {
      raw = true;
    } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fputs(kUsage, stderr);
      return kExitUsage;
    }
  }
  if (i == argc) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
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
    std::fputs("lobbyctl: a command is one line\n", stderr);
    return kExitUsage;
  }

  std::string reply;
  std::string error;
  if (!ops::ask_lobby(socket_path, line, &reply, kReplyTimeoutMs, &error)) {
    platform::print_text(stderr, "lobbyctl: " + error + "\n");
    return kExitNoAnswer;
  }
  const nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(reply, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    platform::print_text(
        stderr, "lobbyctl: not a reply of the admin channel: " + ops::printable(reply) + "\n");
    return kExitNoAnswer;
  }
  if (parsed.contains("error")) {
    const auto& text = parsed["error"];
    platform::print_text(
        stderr,
        "lobbyctl: " + ops::printable(text.is_string() ? text.get<std::string>() : reply) + "\n");
    if (raw) platform::print_text(stdout, reply + "\n");
    return kExitError;
  }
  platform::print_text(stdout, raw ? reply + "\n" : ops::format_admin_reply(command, parsed));
  return 0;
}
