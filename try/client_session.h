// The interactive client's connection and command loop, kept apart from
// the process entry so that tests can drive it: it executes parsed
// commands, prints every message the lobby sends as one line, keeps the
// connection alive and reports how the session ended.
#ifndef TRY_CLIENT_SESSION_H_
#define TRY_CLIENT_SESSION_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "client/command_parser.h"
#include "client/tcp_link.h"
#include "client/wire_codec.h"

namespace client {

// Exit statuses of the client.
constexpr int kExitOk = 0;
constexpr int kExitConnectFailed = 1;
constexpr int kExitUsage = 2;   // bad arguments or a script with bad lines
constexpr int kExitClosed = 3;  // the lobby ended the connection
constexpr int kExitExpectFailed = 4;

// A keep-alive goes out after this long without any other message.
constexpr int kKeepAliveMs = 30000;
// After the last command of a script (or the end of standard input), what
// arrives within this long is still printed.
constexpr int kFinalDrainMs = 200;
constexpr int kConnectTimeoutMs = 3000;
// Received lines kept for `expect`; older ones are forgotten.
constexpr size_t kMaxUnmatchedLines = 10000;

struct ScriptLine {
  int number = 0;  // 1-based line number in the file
  Command command;
};

// Parses a whole script. Every bad line adds "line N: why" to `*errors`;
// kParseOk only when there are none. Blank lines and comments are left out.
int parse_script(const std::string& text, std::vector<ScriptLine>* lines,
                 std::vector<std::string>* errors);

class ClientSession {
 public:
  using LineSink = std::function<void(const std::string&)>;
  using Clock = std::chrono::steady_clock;

  // `out` takes received messages and connection events, `err` errors.
  ClientSession(LineSink out, LineSink err);

  // How long the session may stay silent before it sends a keep-alive
  // (kKeepAliveMs unless changed, e.g. by tests that cannot wait 30 s).
  void set_keep_alive_ms(int ms) { keep_alive_ms_ = ms; }

  // kExitOk, or kExitConnectFailed after printing why.
  int connect(const std::string& host, int port);
  // Runs the commands in order; the exit status.
  int run_script(const std::vector<ScriptLine>& lines);
  // Reads command lines from `input_fd` (a descriptor of open_input(), or
  // any other that read_input can read) while printing what arrives, until
  // quit, the end of the input or the end of the connection; the exit
  // status.
  int run_interactive(int input_fd);

 private:
  // What execute() returns when the session goes on.
  static constexpr int kContinue = -1;

  // kContinue or an exit status.
  int execute(const Command& command);
  int send(const std::string& bytes);
  // Receives and prints until `deadline`, or (with `expect` set) until a
  // line containing `*expect` arrives, which sets `*matched`. kContinue, or
  // kExitClosed once the connection ended.
  int receive_until(Clock::time_point deadline, const std::string* expect, bool* matched);
  // One wait on the socket and, when `input_fd` >= 0, on the input. Returns
  // kContinue or kExitClosed; `*input_ready` tells whether the input can be
  // read.
  int poll_once(int timeout_ms, int input_fd, bool* input_ready);
  int read_socket();
  void print_messages(const std::vector<LobbyMessage>& messages);
  bool take_expected(const std::string& text);
  int connection_closed();
  // Sends what is queued, then prints what arrives for kFinalDrainMs.
  int finish();
  int handle_input_line(const std::string& line);

  LineSink out_;
  LineSink err_;
  TcpLink link_;
  LobbyDecoder decoder_;
  Clock::time_point last_send_;
  int keep_alive_ms_ = kKeepAliveMs;
  // Received lines not yet passed by an `expect`.
  std::deque<std::string> unmatched_;
  bool logged_in_ = false;
  Command last_login_;
};

}  // namespace client

#endif  // TRY_CLIENT_SESSION_H_
