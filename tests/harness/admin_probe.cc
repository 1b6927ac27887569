// A test program on both systems: one connection to a lobby's admin
// channel, held open the way a client that was left open and forgotten
// holds it. It connects, sends its TEXT arguments in order ("\n" in one
// stands for a line feed; "+MS" waits MS milliseconds instead), and prints
//
//   connected
//   <each line the lobby sends>
//   closed after N ms
//
// the last once the lobby ends the connection, N counted from the connect
// or, when a line feed was sent, from the last one sent: the time the lobby
// let it sit without a command.
//
//   admin_probe PATH [TEXT | +MS]...
//
// Exit status: 0 once the lobby closed the connection, 2 for bad
// arguments, 3 when it cannot connect or send.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/local_stream.h"
#include "platform/console_io.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitClosed = 0;
constexpr int kExitUsage = 2;
constexpr int kExitFailed = 3;
constexpr int kSendWaitMs = 5000;

void print(const std::string& text) {
  platform::print_text(stdout, text);
  std::fflush(stdout);
}

std::string unescape(const char* text) {
  std::string bytes;
  for (const char* c = text; *c != '\0'; ++c) {
    if (c[0] == '\\' && c[1] == 'n') {
      bytes += '\n';
      ++c;
    } else {
      bytes += *c;
    }
  }
  return bytes;
}

class Probe {
 public:
  explicit Probe(int handle) : handle_(handle), since_(Clock::now()) {}

  bool send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const int n = net::local_send(handle_, reinterpret_cast<const uint8_t*>(bytes.data() + sent),
                                    static_cast<int>(bytes.size() - sent));
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      net::PollEntry writable = {handle_, net::kPollOut, 0};
      if (n != net::kIoWouldBlock || net::local_poll(&writable, 1, kSendWaitMs) <= 0) return false;
    }
    if (bytes.find('\n') != std::string::npos) since_ = Clock::now();
    return true;
  }

  // Prints what arrives for `ms` milliseconds, or until the end when `ms`
  // is negative. False once the connection has ended.
  bool receive(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int wait_ms = -1;
      if (ms >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return true;
        wait_ms = static_cast<int>(left);
      }
      net::PollEntry readable = {handle_, net::kPollIn, 0};
      if (net::local_poll(&readable, 1, wait_ms) < 0) return ended();
      if (readable.ready == 0) continue;
      uint8_t buffer[4096];
      const int n = net::local_recv(handle_, buffer, sizeof buffer);
      if (n == net::kIoWouldBlock) continue;
      if (n <= 0) return ended();
      pending_.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
      for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        print(pending_.substr(0, end + 1));
        pending_.erase(0, end + 1);
      }
    }
  }

 private:
  bool ended() {
    const auto held =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since_).count();
    print("closed after " + std::to_string(held) + " ms\n");
    return false;
  }

  const int handle_;
  Clock::time_point since_;  // the connect, or the last line feed sent
  std::string pending_;      // a line not yet whole
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: admin_probe PATH [TEXT | +MS]...\n", stderr);
    return kExitUsage;
  }
  net::start_sockets();
  int error = 0;
  const int handle = net::local_connect(argv[1], &error);
  if (handle < 0) {
    print("cannot connect: " + std::string(net::error_text(error)) + "\n");
    return kExitFailed;
  }
  Probe probe(handle);
  print("connected\n");
  for (int i = 2; i < argc; ++i) {
    if (argv[i][0] == '+') {
      if (!probe.receive(std::atoi(argv[i] + 1))) return kExitClosed;
    } else if (!probe.send(unescape(argv[i]))) {
      print("cannot send\n");
      return kExitFailed;
    }
  }
  probe.receive(-1);
  net::local_close(handle);
  return kExitClosed;
}
