// An interactive game client for operators: connects to a lobby, reads
// commands line by line (type help for the list) and prints every message
// the lobby sends, decoded, one line each.
//
//   lobby_client [--help] [--script FILE] HOST PORT
//
// With --script the commands come from FILE instead of standard input; the
// whole file is checked before connecting. Exit status: 0 when done, 1 when
// the connection failed, 2 for bad arguments or script lines, 3 when the
// lobby closed the connection, 4 when an expect in a script was not met.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/command_parser.h"
#include "net/socket_ops.h"
#include "platform/console_io.h"
#include "try/client_session.h"

namespace {

constexpr char kUsage[] = "usage: lobby_client [--help] [--script FILE] HOST PORT\n";

void print_out(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void print_err(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

bool read_file(const char* path, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream contents;
  contents << file.rdbuf();
  *text = contents.str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* script_path = nullptr;
  std::vector<const char*> positional;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      std::fputs(client::help_text(), stdout);
      return client::kExitOk;
    }
    if (std::strcmp(argv[i], "--script") == 0 && i + 1 < argc) {
      script_path = argv[++i];
    } else if (argv[i][0] == '-') {
      // An option it does not know: never taken for a host name.
      print_err(std::string("error: unknown option ") + argv[i]);
      std::fputs(kUsage, stderr);
      return client::kExitUsage;
    } else {
      positional.push_back(argv[i]);
    }
  }
  int64_t port = 0;
  std::string why;
  if (positional.size() != 2 ||
      client::parse_number(positional[1], 1, 65535, "PORT", &port, &why) != client::kParseOk) {
    if (!why.empty()) print_err("error: " + why);
    std::fputs(kUsage, stderr);
    return client::kExitUsage;
  }

  std::vector<client::ScriptLine> script;
  if (script_path != nullptr) {
    std::string text;
    if (!read_file(script_path, &text)) {
      print_err(std::string("error: cannot read script ") + script_path);
      return client::kExitUsage;
    }
    std::vector<std::string> errors;
    if (client::parse_script(text, &script, &errors) != client::kParseOk) {
      for (const std::string& error : errors) print_err(std::string(script_path) + ": " + error);
      return client::kExitUsage;
    }
  }

  net::start_sockets();
  client::ClientSession session(print_out, print_err);
  const int rc = session.connect(positional[0], static_cast<int>(port));
  if (rc != client::kExitOk) return rc;
  if (script_path != nullptr) return session.run_script(script);
  if (platform::input_is_terminal()) print_err("type help for the commands");
  const int input = platform::open_input();
  if (input < 0) {
    print_err("error: cannot read standard input");
    return client::kExitUsage;
  }
  return session.run_interactive(input);
}
