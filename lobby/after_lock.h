// What a thread owes others for what it did under a lobby lock, kept until
// it has let the lock go: lines for the event log (or for any other sink of
// whole lines), the news that a count changed, and the workers to wake. A
// sink may wait (the event log for its file, the service manager's socket
// for room) and waking a worker is a system call; none of that may hold up
// the threads that wait for lock_rooms, lock_chat or lock_groups.
//
// Declared before the lock's guard in the same scope, an AfterLock outlives
// the guard and hands everything on as it ends, in the order it was told:
//
//   AfterLock later(lobby);
//   platform::MutexLock guard(lobby.lock_rooms);
//   ... later.event("room %d created", n); ...
//
// One thread's; never shared. Fixed room: kAfterLockLines lines of at most
// kEventLineBytes. No path holds a lock over more lines than that; one past
// it is counted and its loss told with the others.
#ifndef LOBBY_AFTER_LOCK_H_
#define LOBBY_AFTER_LOCK_H_

#include <cstdint>

#include "lobby/lobby_events.h"

namespace lobby {

class Lobby;

constexpr int kAfterLockLines = 8;

// Where a held line goes once the lock is let go: `events` is the lobby's
// sink, `line` the text without time stamp or line end.
using LineSink = void (*)(LobbyEvents* events, const char* line);

class AfterLock {
 public:
  // `own_worker`: the worker thread this runs on, -1 for another thread.
  explicit AfterLock(const Lobby& lobby, int own_worker = -1);
  // Hands on whatever is still held.
  ~AfterLock() { hand_on(); }
  AfterLock(const AfterLock&) = delete;
  AfterLock& operator=(const AfterLock&) = delete;

  // One line for the event log.
  void event(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // One line for `sink`, which receives it as given.
  void line(LineSink sink, const char* text);
  // The user or room count changed: the sink hears it once, however often
  // it is said.
  void counts_changed() { counts_changed_ = true; }
  // Worker `k` has work it must not sleep through, which it would not find
  // by itself (a game start): own_worker too, which then passes once more.
  void wake_worker(int k) { workers_ |= 1u << k; }
  // Every worker that serves an open slot logged in under `key` has work
  // (a room notice, a group count, a seat vacated), except own_worker,
  // which looks for such work before it sleeps again.
  void wake_group(int32_t key);

  // Hands everything on now, in order: the lines, the count change, then
  // the wake-ups. The caller holds no lobby lock.
  void hand_on();

 private:
  struct Held {
    LineSink sink;
    char text[kEventLineBytes];
  };

  const Lobby& lobby_;
  const int own_worker_;
  Held held_[kAfterLockLines];
  int count_ = 0;
  int lost_ = 0;
  bool counts_changed_ = false;
  uint32_t workers_ = 0;
  // Keys whose members' workers are woken; a path touches two at most (a
  // room's group and, after a new login, the leaver's own).
  static constexpr int kGroupKeys = 4;
  int32_t keys_[kGroupKeys] = {};
  int key_count_ = 0;
};

}  // namespace lobby

#endif  // LOBBY_AFTER_LOCK_H_
