// The server's one clock, behind a seam so that tests can drive it. Every
// deadline of the lobby is a time on it: the idle limit, the login wait,
// flood pacing, the upstream link's waits, a drain's limit, the watchdog
// and the rate of accept-error lines. Times are read, never counted, so a
// pass that comes late (a slow machine, a stopped process) finds every
// deadline that passed meanwhile and loses nothing.
//
// A clock that moves only when a test advances it gives no bound for a
// wait (ms_until -1) and wakes the server's threads through the waker the
// server registers.
#ifndef LOBBY_CLOCK_H_
#define LOBBY_CLOCK_H_

#include <cstdint>
#include <functional>

#include "platform/annotated_mutex.h"

namespace lobby {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic milliseconds.
  virtual int64_t now_ms() = 0;
  // Milliseconds a thread may sleep before now_ms() reaches `deadline_ms`:
  // 0 once it has; -1 when only a call of the waker can bring it nearer.
  virtual int ms_until(int64_t deadline_ms) = 0;

  // Registered by the server before its threads start and cleared after
  // they stop; called by a clock that is advanced by hand.
  void set_waker(std::function<void()> waker) EXCLUDES(waker_lock_) {
    platform::MutexLock guard(waker_lock_);
    waker_ = std::move(waker);
  }

 protected:
  void wake_threads() EXCLUDES(waker_lock_) {
    platform::MutexLock guard(waker_lock_);
    if (waker_) waker_();
  }

 private:
  platform::Mutex waker_lock_;
  std::function<void()> waker_ GUARDED_BY(waker_lock_);
};

// The system's monotonic clock: it never jumps with the wall clock's
// setting and keeps counting while the process is stopped.
class SteadyClock : public Clock {
 public:
  int64_t now_ms() override;
  int ms_until(int64_t deadline_ms) override;
};

}  // namespace lobby

#endif  // LOBBY_CLOCK_H_
