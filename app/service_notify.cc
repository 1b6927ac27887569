#include "app/service_notify.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "net/socket_ops.h"
#include "net/unix_datagram.h"
#include "platform/local_time.h"

namespace app {
namespace {

// Reads a whole decimal number; false for anything else.
bool parse_whole(const char* text, long long* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  *value = std::strtoll(text, &end, 10);
  return *end == '\0';
}

}  // namespace

void format_service_status(int users, int rooms, char* out, int size) {
  std::snprintf(out, static_cast<size_t>(size), "STATUS=%d users, %d rooms", users, rooms);
}

void format_drain_status(int users, int64_t ends_unix_s, char* out, int size) {
  std::tm local{};
  platform::local_time(static_cast<std::time_t>(ends_unix_s), &local);
  std::snprintf(out, static_cast<size_t>(size),
                "STATUS=draining: %d users left, ends at %02d:%02d:%02d", users, local.tm_hour,
                local.tm_min, local.tm_sec);
}

ServiceNotifier::~ServiceNotifier() { net::close_fd(fd_); }

int ServiceNotifier::setup() {
  const char* address = std::getenv("NOTIFY_SOCKET");
  if (address == nullptr || *address == '\0') return kNotAsked;
  fd_ = net::unix_datagram_to(address);
  if (fd_ < 0) return kUnreachable;
  long long usec = 0;
  long long pid = 0;
  const char* watchdog_pid = std::getenv("WATCHDOG_PID");
  // A watchdog meant for another process (our parent, say) is not ours to
  // feed.
  const bool ours = watchdog_pid == nullptr ||
                    (parse_whole(watchdog_pid, &pid) && pid == static_cast<long long>(getpid()));
  if (ours && parse_whole(std::getenv("WATCHDOG_USEC"), &usec) && usec > 0) {
    // Half the interval, so that one late pass never misses it; at least
    // one millisecond.
    watchdog_period_ms_ = usec / 2000 > 0 ? usec / 2000 : 1;
  }
  return kOn;
}

bool ServiceNotifier::send_text(const char* text) {
  if (fd_ < 0) return false;
  const int length = static_cast<int>(std::strlen(text));
  return net::send_nb(fd_, reinterpret_cast<const uint8_t*>(text), length) == length;
}

void ServiceNotifier::ready() {
  platform::MutexLock guard(lock_);
  not_listening_[0] = '\0';
  // A full queue at the receiver must not lose it: without READY=1 the
  // service manager would kill the lobby at its start time-out.
  ready_pending_ = !send_text("READY=1");
  if (lobby_ != nullptr) send_status_locked();
}

void ServiceNotifier::listen_failed(const char* reason) {
  platform::MutexLock guard(lock_);
  std::snprintf(not_listening_, sizeof not_listening_, "STATUS=not listening: %s", reason);
  status_pending_ = true;
  if (lobby_ != nullptr) send_status_locked();
}

void ServiceNotifier::stopping() { send_text("STOPPING=1"); }

void ServiceNotifier::hand_over(int pid) {
  if (fd_ < 0) return;
  char text[48];
  std::snprintf(text, sizeof text, "MAINPID=%d", pid);
  // Not dropped like a status: without it the manager would take this
  // process's end for the service's. A full queue is given a moment.
  for (int i = 0; i < 100 && !send_text(text); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // A manager that handled the exit of this process before the notice
  // would stop the service: the barrier waits until the notice is in.
  constexpr int kBarrierWaitMs = 2000;
  net::unix_datagram_barrier(fd_, "BARRIER=1", kBarrierWaitMs);
}

void ServiceNotifier::counts_changed() {
  if (fd_ < 0 || lobby_ == nullptr) return;
  platform::MutexLock guard(lock_);
  send_status_locked();
}

void ServiceNotifier::send_status_locked() {
  // The stuck worker's status stays until it passes again.
  if (stuck_worker_ != lobby::kNone) {
    status_pending_ = true;
    return;
  }
  char text[kStatusBytes];
  format_status_locked(text, sizeof text);
  if (std::strcmp(text, status_sent_) == 0 && !status_pending_) return;
  std::memcpy(status_sent_, text, sizeof status_sent_);
  status_pending_ = !send_text(text);
}

void ServiceNotifier::format_status_locked(char* out, int size) const {
  if (not_listening_[0] != '\0') {
    std::snprintf(out, static_cast<size_t>(size), "%s", not_listening_);
    return;
  }
  const int users = lobby_->connected_count.load(std::memory_order_acquire);
  const int64_t deadline_ms = lobby_->drain_deadline_ms.load(std::memory_order_acquire);
  if (deadline_ms >= 0) {
    // The drain ends on the steady clock; the time of day it is shown as
    // is read now, so that it follows the wall clock if that is set.
    const int64_t left_ms = deadline_ms - clock_->now_ms();
    const int64_t ends_s =
        static_cast<int64_t>(std::time(nullptr)) + (left_ms > 0 ? (left_ms + 999) / 1000 : 0);
    format_drain_status(users, ends_s, out, size);
    return;
  }
  format_service_status(users, lobby_->rooms_in_use.load(std::memory_order_acquire), out, size);
}

int ServiceNotifier::keeper_pass(int64_t now_ms) {
  if (fd_ < 0) return -1;
  {
    platform::MutexLock guard(lock_);
    if (ready_pending_) ready_pending_ = !send_text("READY=1");
    if (lobby_ != nullptr && status_pending_) send_status_locked();
  }
  if (watchdog_period_ms_ <= 0) return -1;
  if (next_watchdog_ms_ >= 0 && now_ms < next_watchdog_ms_) {
    return static_cast<int>(next_watchdog_ms_ - now_ms);
  }
  // The period is half the manager's interval: a worker in one pass for
  // longer than that has missed at least one ping of its own.
  int64_t stuck_ms = 0;
  const int stuck = lobby_ != nullptr ? lobby_->stuck_worker(now_ms, watchdog_period_ms_, &stuck_ms)
                                      : lobby::kNone;
  // The event lines are written after lock_ is released.
  char stuck_text[128] = "";
  int resumed = lobby::kNone;
  {
    platform::MutexLock guard(lock_);
    if (stuck != lobby::kNone && stuck != stuck_worker_) {
      stuck_worker_ = stuck;
      const int first = stuck * lobby::kSlotsPerWorker;
      std::snprintf(stuck_text, sizeof stuck_text,
                    "worker %d (slots %d-%d) stuck in one pass for %lld ms; watchdog withheld",
                    stuck, first, first + lobby::kSlotsPerWorker - 1,
                    static_cast<long long>(stuck_ms));
      char status[160];
      std::snprintf(status, sizeof status, "STATUS=%s", stuck_text);
      send_text(status);
    } else if (stuck == lobby::kNone && stuck_worker_ != lobby::kNone) {
      resumed = stuck_worker_;
      stuck_worker_ = lobby::kNone;
      status_pending_ = true;
      send_status_locked();
    }
  }
  if (stuck_text[0] != '\0') lobby::report_event(lobby_->events, "%s", stuck_text);
  if (resumed != lobby::kNone) {
    lobby::report_event(lobby_->events, "watchdog resumed: worker %d passes again", resumed);
  }
  if (stuck == lobby::kNone) send_text("WATCHDOG=1");
  // On a fixed grid, so that a late wake-up of this thread (a loaded
  // machine) does not stretch every later period; one that missed a whole
  // period starts the grid again from now rather than sending a burst.
  next_watchdog_ms_ += watchdog_period_ms_;
  if (next_watchdog_ms_ <= now_ms) next_watchdog_ms_ = now_ms + watchdog_period_ms_;
  return static_cast<int>(next_watchdog_ms_ - now_ms);
}

}  // namespace app
