// A lobby server run as a child process for the benchmark: in a fresh
// temporary directory holding its settings file, with standard input and
// output on /dev/null, stopped with SIGTERM and every wait bounded.
#ifndef BENCH_SERVER_PROCESS_H_
#define BENCH_SERVER_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace bench {

class ServerProcess {
 public:
  ServerProcess() = default;
  // Stops a server still running and removes its directory.
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts the executable at `path` listening on `port`, with
  // `extra_settings` (lines of dorvik.txt) after the usual ones and, when
  // `deny_text` is not empty, a deny.txt holding it. 0, or -1 with `*error`
  // set. Whether it listens shows only when a client connects.
  int start(const std::string& path, int port, std::string* error,
            const std::string& extra_settings = "", const std::string& deny_text = "");
  // SIGTERM, then SIGKILL when it has not ended after `timeout_ms`. The
  // exit status, or -1 when it died of a signal or was not running.
  int stop(int timeout_ms);
  // False once the child has ended (it is then reaped).
  bool running();

  // Upgrades the server in place (`upgrade` on its admin socket, waiting at
  // most `timeout_ms` for the reply) and follows the new process from then
  // on. 0 with the new process's pause in `*pause_ms`, or -1 with `*error`
  // (the lobby's reply when it refused, or why it could not be asked). The
  // new process is a child of the old one; this process is made a
  // subreaper at start(), so that it becomes this one's to wait for.
  // Not at the same time as the other calls.
  int upgrade(int timeout_ms, int64_t* pause_ms, std::string* error);

  pid_t pid() const { return pid_; }
  const std::string& dir() const { return dir_; }

 private:
  void remove_dir();

  pid_t pid_ = -1;
  std::string dir_;
};

// The directory of the running executable (from /proc/self/exe), without
// its trailing slash; empty when it cannot be read.
std::string executable_dir();

}  // namespace bench

#endif  // BENCH_SERVER_PROCESS_H_
