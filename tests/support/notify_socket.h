// A stand-in for a service manager's notify socket: a Unix datagram socket
// the test binds, and the environment that points a child process at it.
#ifndef TESTS_SUPPORT_NOTIFY_SOCKET_H_
#define TESTS_SUPPORT_NOTIFY_SOCKET_H_

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

class FakeNotifySocket {
 public:
  FakeNotifySocket() = default;
  ~FakeNotifySocket();
  FakeNotifySocket(const FakeNotifySocket&) = delete;
  FakeNotifySocket& operator=(const FakeNotifySocket&) = delete;

  // Binds `address`: a path, or "@name" in the abstract namespace.
  bool bind_to(const std::string& address);
  const std::string& address() const { return address_; }

  // The next notice other than WATCHDOG=1, waiting at most `timeout_ms`;
  // the WATCHDOG=1 notices met on the way are counted. False on time-out.
  bool next_notice(std::string* text, int timeout_ms);
  // Receives for `window_ms` and returns the WATCHDOG=1 notices among
  // what came, counting none from before; other notices are kept for
  // next_notice. The steady clock's milliseconds at which each arrived go
  // to `arrivals_ms` when given.
  int count_watchdogs(int window_ms, std::vector<int64_t>* arrivals_ms = nullptr);
  int watchdogs() const { return watchdogs_; }

 private:
  // One datagram within `timeout_ms`, or false.
  bool receive(std::string* text, int timeout_ms);

  int fd_ = -1;
  std::string address_;
  std::string path_;  // removed on destruction when not abstract
  int watchdogs_ = 0;
  std::deque<std::string> kept_;  // notices received while counting, in order
};

// Sets environment variables for the lifetime of the guard (a value of
// nullptr unsets one) and restores what was there before.
class ScopedEnv {
 public:
  explicit ScopedEnv(const std::map<std::string, const char*>& values);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::map<std::string, std::string> saved_;  // name -> old value
  std::map<std::string, bool> had_;           // name -> was set
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_NOTIFY_SOCKET_H_
