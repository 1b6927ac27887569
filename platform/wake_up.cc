#include "platform/wake_up.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

int make_wake_fd() { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

void wake(int fd) {
  if (fd < 0) return;
  uint64_t one = 1;
  ssize_t ignored = ::write(fd, &one, sizeof one);
  (void)ignored;
}

void drain_wake(int fd) {
  if (fd < 0) return;
  uint64_t count;
  ssize_t ignored = ::read(fd, &count, sizeof count);
  (void)ignored;
}

void close_wake_fd(int fd) {
  if (fd >= 0) ::close(fd);
}

bool WakeUp::open() {
  if (fd_ < 0) fd_ = make_wake_fd();
  return fd_ >= 0;
}

}  // namespace platform
