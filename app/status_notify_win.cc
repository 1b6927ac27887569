// The Windows twin of status_notify.cc: server threads record the change
// and post it to the main thread, never touching the window themselves.
#include "app/status_notify_win.h"

#include <atomic>

#include "app/status_notify.h"

namespace app {
namespace {

std::atomic<bool> status_changed{false};
std::atomic<bool> shutdown_wanted{false};
std::atomic<HWND> status_window{nullptr};
std::atomic<HANDLE> status_event{nullptr};

}  // namespace

void refresh_status() {
  const bool pending = status_changed.exchange(true, std::memory_order_acq_rel);
  HANDLE event = status_event.load(std::memory_order_acquire);
  if (event != nullptr) SetEvent(event);
  // One message in the window's queue is enough until the window has taken
  // the change: a burst of changes cannot fill the queue.
  HWND window = status_window.load(std::memory_order_acquire);
  if (window != nullptr && !pending) PostMessageW(window, kStatusChangedMessage, 0, 0);
}

void set_status_wake_fd(int) {}

void set_status_target(HWND window, HANDLE event) {
  status_window.store(window, std::memory_order_release);
  status_event.store(event, std::memory_order_release);
}

bool take_status_change() { return status_changed.exchange(false, std::memory_order_acq_rel); }

// A finished drain asks for it: the console loop is woken, and the window
// is told through its queue, as for a change of counts.
void request_shutdown() {
  shutdown_wanted.store(true, std::memory_order_release);
  HANDLE event = status_event.load(std::memory_order_acquire);
  if (event != nullptr) SetEvent(event);
  HWND window = status_window.load(std::memory_order_acquire);
  if (window != nullptr) PostMessageW(window, kStatusChangedMessage, 0, 0);
}

bool shutdown_requested() { return shutdown_wanted.load(std::memory_order_acquire); }

namespace {
std::atomic<const char*> noted_cause{nullptr};
}  // namespace

void note_stop_cause(const char* cause) {
  const char* none = nullptr;
  noted_cause.compare_exchange_strong(none, cause, std::memory_order_acq_rel);
}

const char* stop_cause() { return noted_cause.load(std::memory_order_acquire); }

}  // namespace app
