// Waking a thread that sleeps in a readiness wait. A wake-up descriptor is
// one more entry of that wait, which any other thread makes readable: on
// POSIX a non-blocking eventfd; on Windows, where WSAPoll waits on sockets
// only, a loopback UDP socket connected to itself, which a wake sends one
// byte. A full counter or buffer already means "wake up", so a wake that
// cannot be written is harmless, and any number of threads may wake at
// once.
#ifndef PLATFORM_WAKE_UP_H_
#define PLATFORM_WAKE_UP_H_

#include <atomic>

namespace platform {

// A wake-up descriptor, or -1 when none can be made.
int make_wake_fd();
// Any thread; nothing for -1.
void wake(int fd);
// The waiting thread, once the wait found the descriptor readable.
void drain_wake(int fd);
void close_wake_fd(int fd);

// A thread's wake-up descriptor with what the thread is doing, so that a
// wake costs a system call (and the thread a wake-up) only while it sleeps
// or is about to. A wake that comes while the thread runs makes its next
// wait a look without sleep, so that the thread passes once more over
// whatever it serves before it sleeps: nothing posted for it is slept
// through, whenever it came.
//
// The owner thread calls may_sleep() before each wait and woke() after it;
// wake() may be called from any thread, before or after open().
class WakeUp {
 public:
  WakeUp() = default;
  ~WakeUp() { close_wake_fd(fd_); }
  WakeUp(const WakeUp&) = delete;
  WakeUp& operator=(const WakeUp&) = delete;

  // Makes the descriptor: before any other thread can use it. False when
  // none can be made; the owner then waits on its time-outs alone.
  bool open();
  // The descriptor for the owner's wait; -1 before open().
  int fd() const { return fd_; }

  // Any thread, after it has published whatever the owner is to find.
  void wake() {
    if (state_.exchange(kWoken, std::memory_order_acq_rel) == kSleeping) platform::wake(fd_);
  }
  // The owner, before its wait, after nothing else: false when a wake came
  // since its last woke(), so that the wait must not sleep. Either way a
  // wake from now on writes the descriptor.
  bool may_sleep() { return state_.exchange(kSleeping, std::memory_order_acq_rel) != kWoken; }
  // The owner, after its wait; `readable`: the wait found the descriptor
  // readable, which is drained.
  void woke(bool readable) {
    state_.store(kRunning, std::memory_order_release);
    if (readable) drain_wake(fd_);
  }

 private:
  static constexpr int kRunning = 0;
  static constexpr int kWoken = 1;     // woken while running: pass again
  static constexpr int kSleeping = 2;  // in its wait, or about to be
  // Atomic: exchanged by wakers and the owner; the exchanges order every
  // waker's posts before the owner's looks that follow them.
  std::atomic<int> state_{kRunning};
  int fd_ = -1;  // set by open(), before other threads use it
};

}  // namespace platform

#endif  // PLATFORM_WAKE_UP_H_
