// A plain mutex, its scoped lock and a condition variable that Clang's
// thread-safety analysis can follow, and the attributes that tie data and
// functions to a lock. With Clang's -Wthread-safety the compiler checks
// that every GUARDED_BY field is touched only with its lock held and every
// REQUIRES function is called only with its locks held; other compilers
// build the same code with the attributes left out.
//
// Locks are taken only through MutexLock. A function that needs a lock its
// caller holds says REQUIRES(lock); one that takes a lock itself and must
// not be entered with it held says EXCLUDES(lock).
#ifndef PLATFORM_ANNOTATED_MUTEX_H_
#define PLATFORM_ANNOTATED_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define LOBBY_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define LOBBY_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) LOBBY_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY LOBBY_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) LOBBY_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) LOBBY_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) LOBBY_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) LOBBY_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) LOBBY_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) LOBBY_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) LOBBY_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define RELEASE(...) LOBBY_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define EXCLUDES(...) LOBBY_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) LOBBY_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS LOBBY_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace platform {

class CondVar;

// Not recursive: a thread that takes it twice deadlocks.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  // True when it took the lock, which a MutexLock made with
  // std::adopt_lock then holds.
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds `mutex` from its construction to its end. unlock() and lock() let
// it go for a stretch (a write to a file, say) and take it back; the end of
// the scope releases it only while it is held.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  // Takes over a lock the thread already holds (after try_lock).
  MutexLock(Mutex& mutex, std::adopt_lock_t) REQUIRES(mutex) : mutex_(mutex) {}
  ~MutexLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RELEASE() {
    mutex_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

 private:
  Mutex& mutex_;
  bool held_ = true;
};

// Waits for a change made under `mutex` by another thread. The mutex is
// let go while the thread sleeps and held again when it returns.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> hold(mutex.mutex_, std::adopt_lock);
    condition_.wait(hold);
    hold.release();
  }
  // False when `deadline` passed first (the caller looks again at what it
  // waits for: it may have come at the last moment).
  bool wait_until(Mutex& mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex) {
    std::unique_lock<std::mutex> hold(mutex.mutex_, std::adopt_lock);
    const bool woken = condition_.wait_until(hold, deadline) == std::cv_status::no_timeout;
    hold.release();
    return woken;
  }
  void notify_one() { condition_.notify_one(); }
  void notify_all() { condition_.notify_all(); }

 private:
  std::condition_variable condition_;
};

}  // namespace platform

#endif  // PLATFORM_ANNOTATED_MUTEX_H_
