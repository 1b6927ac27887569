#include "app/status_notify.h"

#include <unistd.h>

#include <atomic>

namespace app {
namespace {

std::atomic<bool> status_changed{false};
std::atomic<bool> stop_wanted{false};
std::atomic<int> wake_fd{-1};

void wake_display() {
  int fd = wake_fd.load(std::memory_order_acquire);
  if (fd >= 0) {
    const char byte = 1;
    // A full pipe already holds a wake-up; the write may fail harmlessly.
    ssize_t ignored = write(fd, &byte, 1);
    (void)ignored;
  }
}

}  // namespace

void refresh_status() {
  // One wake-up until the display has taken the change: the changes of a
  // crowd cost it no more than the first.
  if (!status_changed.exchange(true, std::memory_order_acq_rel)) wake_display();
}

void request_shutdown() {
  stop_wanted.store(true, std::memory_order_release);
  wake_display();
}

bool shutdown_requested() { return stop_wanted.load(std::memory_order_acquire); }

namespace {
std::atomic<const char*> noted_cause{nullptr};
}  // namespace

void note_stop_cause(const char* cause) {
  const char* none = nullptr;
  noted_cause.compare_exchange_strong(none, cause, std::memory_order_acq_rel);
}

const char* stop_cause() { return noted_cause.load(std::memory_order_acquire); }

void set_status_wake_fd(int fd) { wake_fd.store(fd, std::memory_order_release); }

bool take_status_change() { return status_changed.exchange(false, std::memory_order_acq_rel); }

}  // namespace app
