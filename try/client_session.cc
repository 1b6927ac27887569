#include "try/client_session.h"

#include <algorithm>

#include "net/socket_ops.h"
#include "platform/console_io.h"

namespace client {

using platform::read_input;
namespace {

constexpr size_t kInputChunk = 4096;

int ms_until(ClientSession::Clock::time_point when) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(when - ClientSession::Clock::now());
  // Rounded up, so that a wait never ends just before its deadline and
  // turns into a busy loop.
  return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

}  // namespace

int parse_script(const std::string& text, std::vector<ScriptLine>* lines,
                 std::vector<std::string>* errors) {
  size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++number;
    ScriptLine line;
    line.number = number;
    std::string why;
    if (parse_command(text.substr(start, end - start), &line.command, &why) != kParseOk) {
      errors->push_back("line " + std::to_string(number) + ": " + why);
    } else if (line.command.kind != CommandKind::kEmpty) {
      lines->push_back(line);
    }
    start = end + 1;
  }
  return errors->empty() ? kParseOk : kParseError;
}

ClientSession::ClientSession(LineSink out, LineSink err)
    : out_(std::move(out)), err_(std::move(err)), last_send_(Clock::now()) {}

int ClientSession::connect(const std::string& host, int port) {
  const int rc = link_.connect_to(host, port, kConnectTimeoutMs);
  if (rc == kLinkNoHost) {
    err_("error: cannot resolve host '" + host + "'");
    return kExitConnectFailed;
  }
  if (rc != kLinkOk) {
    err_("error: cannot connect to " + host + ":" + std::to_string(port));
    return kExitConnectFailed;
  }
  last_send_ = Clock::now();
  out_("connected to " + host + ":" + std::to_string(port));
  return kExitOk;
}

int ClientSession::run_script(const std::vector<ScriptLine>& lines) {
  for (const ScriptLine& line : lines) {
    const int rc = execute(line.command);
    if (rc == kExitExpectFailed)
      err_("error: script stopped at line " + std::to_string(line.number));
    if (rc != kContinue) return rc;
  }
  return finish();
}

int ClientSession::run_interactive(int input_fd) {
  std::string pending;
  for (;;) {
    bool input_ready = false;
    int rc = poll_once(keep_alive_ms_, input_fd, &input_ready);
    if (rc != kContinue) return rc;
    if (!input_ready) continue;
    char buffer[kInputChunk];
    const int n = read_input(input_fd, buffer, static_cast<int>(sizeof buffer));
    if (n == platform::kInputWouldBlock) continue;
    if (n <= 0) {
      // End of input: a last line without its line end still counts.
      if (!pending.empty()) {
        rc = handle_input_line(pending);
        if (rc != kContinue) return rc;
      }
      return finish();
    }
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      rc = handle_input_line(line);
      if (rc != kContinue) return rc;
    }
  }
}

int ClientSession::handle_input_line(const std::string& line) {
  Command command;
  std::string why;
  if (parse_command(line, &command, &why) != kParseOk) {
    err_("error: " + why);
    return kContinue;
  }
  const int rc = execute(command);
  // At the prompt a missing line is worth a message, not the end.
  return rc == kExitExpectFailed ? kContinue : rc;
}

int ClientSession::execute(const Command& command) {
  switch (command.kind) {
    case CommandKind::kEmpty:
      return kContinue;
    case CommandKind::kHelp: {
      const std::string help = help_text();
      size_t start = 0;
      size_t end;
      while ((end = help.find('\n', start)) != std::string::npos) {
        out_(help.substr(start, end - start));
        start = end + 1;
      }
      return kContinue;
    }
    case CommandKind::kQuit: {
      // What was typed before quit still goes out, within a bounded wait.
      const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kFinalDrainMs);
      while (link_.wants_write() && Clock::now() < deadline) {
        bool unused = false;
        if (poll_once(ms_until(deadline), -1, &unused) != kContinue) return kExitClosed;
      }
      link_.close();
      return kExitOk;
    }
    case CommandKind::kList:
      // The lobby sends its room list only in answer to a login.
      if (!logged_in_) {
        err_("error: list: no login yet (use login or enter first)");
        return kContinue;
      }
      return send(encode_validation(1) + encode_login(last_login_.id, last_login_.key,
                                                      last_login_.seats, last_login_.start_size));
    case CommandKind::kWait:
      return receive_until(Clock::now() + std::chrono::milliseconds(command.wait_ms), nullptr,
                           nullptr);
    case CommandKind::kExpect: {
      if (take_expected(command.text)) return kContinue;
      bool matched = false;
      const int rc = receive_until(Clock::now() + std::chrono::milliseconds(command.wait_ms),
                                   &command.text, &matched);
      if (rc != kContinue) return rc;
      if (matched) return kContinue;
      err_("error: expect: no line containing '" + command.text + "' within " +
           std::to_string(command.wait_ms) + " ms");
      return kExitExpectFailed;
    }
    case CommandKind::kLogin:
    case CommandKind::kEnter:
      logged_in_ = true;
      last_login_ = command;
      return send(command_bytes(command));
    default:
      return send(command_bytes(command));
  }
}

int ClientSession::send(const std::string& bytes) {
  last_send_ = Clock::now();
  if (link_.send(bytes) != kLinkOk) return connection_closed();
  return kContinue;
}

int ClientSession::receive_until(Clock::time_point deadline, const std::string* expect,
                                 bool* matched) {
  for (;;) {
    if (expect != nullptr && take_expected(*expect)) {
      *matched = true;
      return kContinue;
    }
    const int left = ms_until(deadline);
    if (Clock::now() >= deadline) return kContinue;
    bool unused = false;
    const int rc = poll_once(left, -1, &unused);
    if (rc != kContinue) return rc;
  }
}

int ClientSession::poll_once(int timeout_ms, int input_fd, bool* input_ready) {
  if (!link_.open()) return kExitClosed;
  const Clock::time_point keep_alive_due = last_send_ + std::chrono::milliseconds(keep_alive_ms_);
  if (Clock::now() >= keep_alive_due) {
    const int rc = send(encode_keep_alive());
    if (rc != kContinue) return rc;
  }
  timeout_ms =
      std::min(timeout_ms, ms_until(last_send_ + std::chrono::milliseconds(keep_alive_ms_)));
  net::PollEntry waits[2];
  waits[0] = {link_.fd(), net::kPollIn | (link_.wants_write() ? net::kPollOut : 0), 0};
  int count = 1;
  if (input_fd >= 0) waits[count++] = {input_fd, net::kPollIn, 0};
  const int n = net::poll_many(waits, count, timeout_ms);
  if (n <= 0) return kContinue;  // time-out, or a signal: the caller waits again
  if ((waits[0].ready & net::kPollOut) != 0 && link_.flush() != kLinkOk) {
    return connection_closed();
  }
  // Hang-up and error count as readable, so the receive reports them.
  if ((waits[0].ready & net::kPollIn) != 0) {
    const int rc = read_socket();
    if (rc != kContinue) return rc;
  }
  if (input_fd >= 0 && (waits[1].ready & net::kPollIn) != 0) *input_ready = true;
  return kContinue;
}

int ClientSession::read_socket() {
  std::string bytes;
  const int rc = link_.receive(&bytes);
  std::vector<LobbyMessage> messages;
  decoder_.feed(bytes, &messages);
  print_messages(messages);
  return rc == kLinkOk ? kContinue : connection_closed();
}

void ClientSession::print_messages(const std::vector<LobbyMessage>& messages) {
  for (const LobbyMessage& message : messages) {
    std::string line = format_message(message);
    out_(line);
    unmatched_.push_back(std::move(line));
    if (unmatched_.size() > kMaxUnmatchedLines) unmatched_.pop_front();
  }
}

bool ClientSession::take_expected(const std::string& text) {
  for (size_t i = 0; i < unmatched_.size(); ++i) {
    if (unmatched_[i].find(text) == std::string::npos) continue;
    // Later expects look only at what came after this line.
    unmatched_.erase(unmatched_.begin(), unmatched_.begin() + static_cast<std::ptrdiff_t>(i + 1));
    return true;
  }
  return false;
}

int ClientSession::connection_closed() {
  std::vector<LobbyMessage> rest;
  decoder_.finish(&rest);
  print_messages(rest);
  link_.close();
  out_("connection closed");
  return kExitClosed;
}

int ClientSession::finish() {
  const int rc =
      receive_until(Clock::now() + std::chrono::milliseconds(kFinalDrainMs), nullptr, nullptr);
  return rc == kContinue ? kExitOk : rc;
}

}  // namespace client
