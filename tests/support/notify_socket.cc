#include "tests/support/notify_socket.h"

#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace testing_support {

FakeNotifySocket::~FakeNotifySocket() {
  if (fd_ >= 0) close(fd_);
  if (!path_.empty()) unlink(path_.c_str());
}

bool FakeNotifySocket::bind_to(const std::string& address) {
  sockaddr_un local;
  std::memset(&local, 0, sizeof local);
  local.sun_family = AF_UNIX;
  if (address.size() < 2 || address.size() >= sizeof local.sun_path) return false;
  std::memcpy(local.sun_path, address.data(), address.size());
  const bool abstract = address[0] == '@';
  if (abstract) local.sun_path[0] = '\0';
  const socklen_t size =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() + (abstract ? 0 : 1));
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&local), size) != 0) return false;
  address_ = address;
  if (!abstract) path_ = address;
  return true;
}

bool FakeNotifySocket::receive(std::string* text, int timeout_ms) {
  pollfd wait{fd_, POLLIN, 0};
  if (poll(&wait, 1, timeout_ms) <= 0) return false;
  char buffer[512];
  const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n < 0) return false;
  text->assign(buffer, static_cast<size_t>(n));
  return true;
}

bool FakeNotifySocket::next_notice(std::string* text, int timeout_ms) {
  if (!kept_.empty()) {
    *text = kept_.front();
    kept_.pop_front();
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left < 0 || !receive(text, static_cast<int>(left))) return false;
    if (*text != "WATCHDOG=1") return true;
    ++watchdogs_;
  }
}

int FakeNotifySocket::count_watchdogs(int window_ms, std::vector<int64_t>* arrivals_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(window_ms);
  int counted = 0;
  std::string text;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || !receive(&text, static_cast<int>(left))) break;
    if (text == "WATCHDOG=1") {
      ++counted;
      ++watchdogs_;
      if (arrivals_ms != nullptr) {
        arrivals_ms->push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
      }
    } else {
      kept_.push_back(text);
    }
  }
  return counted;
}

ScopedEnv::ScopedEnv(const std::map<std::string, const char*>& values) {
  for (const auto& [name, value] : values) {
    const char* old = std::getenv(name.c_str());
    had_[name] = old != nullptr;
    if (old != nullptr) saved_[name] = old;
    if (value != nullptr) {
      setenv(name.c_str(), value, 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, had] : had_) {
    if (had) {
      setenv(name.c_str(), saved_[name].c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

}  // namespace testing_support
