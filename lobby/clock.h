// The server's sense of time, behind one seam so that tests can drive it.
//
// The thread that keeps the idle clock (the accept thread) sleeps until the
// seconds field can next change, or until a deadline of its own; no other
// thread looks at the time on its own account. A clock that changes only
// when a test advances it says so (ms_to_next_second -1) and wakes the
// keeper through the waker the server registers.
#ifndef LOBBY_CLOCK_H_
#define LOBBY_CLOCK_H_

#include <cstdint>
#include <functional>
#include <mutex>

namespace lobby {

class Clock {
 public:
  virtual ~Clock() = default;
  // Any value that changes once a second: the wall-clock seconds field.
  virtual int seconds_field() = 0;
  // Milliseconds after which seconds_field may have changed; -1 when only
  // a call of the waker announces a change.
  virtual int ms_to_next_second() = 0;
  // A monotonic time in milliseconds, for deadlines.
  virtual int64_t now_ms() = 0;
  // Milliseconds a thread may sleep before now_ms() reaches `deadline_ms`:
  // 0 once it has; -1 when only a call of the waker can bring it nearer.
  virtual int ms_until(int64_t deadline_ms) = 0;

  // Registered by the server before its threads start and cleared after
  // they stop; called by a clock that is advanced by hand.
  void set_waker(std::function<void()> waker) {
    std::lock_guard<std::mutex> guard(waker_lock_);
    waker_ = std::move(waker);
  }

 protected:
  void wake_keeper() {
    std::lock_guard<std::mutex> guard(waker_lock_);
    if (waker_) waker_();
  }

 private:
  std::mutex waker_lock_;
  std::function<void()> waker_;  // Guarded by waker_lock_.
};

// Local wall-clock seconds and the steady clock.
class WallClock : public Clock {
 public:
  int seconds_field() override;
  int ms_to_next_second() override;
  int64_t now_ms() override;
  int ms_until(int64_t deadline_ms) override;
};

}  // namespace lobby

#endif  // LOBBY_CLOCK_H_
