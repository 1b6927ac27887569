// Tells a service manager how the lobby is doing, when it asked to be told.
// NOTIFY_SOCKET names a Unix datagram socket (a path, or "@name" in the
// abstract namespace) that takes one "KEY=value" text per datagram:
// READY=1 once the lobby listens (never before: a port that cannot be had
// is tried again, and STATUS= says "not listening: REASON" meanwhile),
// STATUS=... whenever the user or room count changes (while a drain runs,
// "draining: N users left, ends at HH:MM:SS" in their place), WATCHDOG=1 at half the interval
// WATCHDOG_USEC gives (when WATCHDOG_PID is unset or names this process), STOPPING=1 at the stop.
// Sends never block: a notice the socket cannot take now is dropped, and a
// dropped status is sent again on the keeper's next pass.
//
// MAINPID= names the process that takes the lobby over in an upgrade,
// followed by a BARRIER=1 that the service manager answers once it has
// taken it in.
//
// WATCHDOG=1 vouches for every server thread. The accept thread sends it,
// so it stops when that thread stops passing; and it is withheld while a
// worker has been in one pass for longer than half the interval (a
// handler stuck for good), with a STATUS= that names the worker, so that
// the service manager restarts the lobby. Once every worker passes again
// the pings resume and the counts are shown again.
#ifndef APP_SERVICE_NOTIFY_H_
#define APP_SERVICE_NOTIFY_H_

#include <cstdint>

#include "lobby/clock.h"
#include "lobby/lobby_state.h"
#include "platform/annotated_mutex.h"

namespace app {

class ServiceNotifier {
 public:
  // Room for one STATUS= text with its terminating zero.
  static constexpr int kStatusBytes = 192;

  ServiceNotifier() = default;
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Results of setup().
  static constexpr int kOn = 0;
  static constexpr int kNotAsked = 1;      // no NOTIFY_SOCKET: stays silent
  static constexpr int kUnreachable = -1;  // NOTIFY_SOCKET names nothing usable

  // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID. Main thread,
  // before the server threads start.
  int setup();
  // The watchdog's period in ms (half of WATCHDOG_USEC), 0 when off.
  int64_t watchdog_period_ms() const { return watchdog_period_ms_; }

  // Any thread. ready() sends READY=1 and the status; listen_failed()
  // shows `reason` as the status until ready() is called.
  void ready();
  void listen_failed(const char* reason);
  void stopping();
  // The lobby is handed over to the process `pid`, which will say READY=1
  // itself: MAINPID= names it, and this returns once the service manager
  // has taken that in (at most a second or two), so that this process may
  // end without the manager taking its end for the service's.
  void hand_over(int pid);
  // Whether this process feeds the service manager's watchdog (its
  // WATCHDOG_PID, if any, names this process).
  bool feeds_watchdog() const { return watchdog_period_ms_ > 0; }
  // The lobby whose counts go into STATUS=, and the clock of its drain's
  // deadline (null for the system's monotonic clock). Main thread, before
  // the server threads start; both must outlive them.
  void watch(const lobby::Lobby* lobby, lobby::Clock* clock = nullptr) {
    lobby_ = lobby;
    if (clock != nullptr) clock_ = clock;
  }
  // Sends the lobby's status (its counts, or its drain) when it differs
  // from the last one sent. It is read under lock_, so the last of two
  // racing calls sends the newest.
  void counts_changed() EXCLUDES(lock_);

  // The accept thread, on each of its passes: sends WATCHDOG=1 when it is
  // due and every worker is well, and READY=1 or a status that could not
  // be sent before. How many ms may pass before the next call is due; -1
  // for no bound.
  int keeper_pass(int64_t now_ms) EXCLUDES(lock_);

 private:
  // True when the socket took the whole text.
  bool send_text(const char* text);
  void send_status_locked() REQUIRES(lock_);
  // The STATUS= text that stands now.
  void format_status_locked(char* out, int size) const REQUIRES(lock_);

  const lobby::Lobby* lobby_ = nullptr;  // set before the threads start
  lobby::SteadyClock own_clock_;
  lobby::Clock* clock_ = &own_clock_;  // set before the threads start
  int fd_ = -1;                        // set by setup(), then only read
  int64_t watchdog_period_ms_ = 0;     // set by setup(), then only read
  int64_t next_watchdog_ms_ = -1;      // keeper thread only; -1 before the first
  // A leaf lock, taken under lock_rooms (counts_changed).
  platform::Mutex lock_;
  // The status last sent or tried.
  char status_sent_[kStatusBytes] GUARDED_BY(lock_) = "";
  bool status_pending_ GUARDED_BY(lock_) = false;  // the status is not sent yet
  // Why the lobby does not listen; empty once it does.
  char not_listening_[kStatusBytes] GUARDED_BY(lock_) = "";
  bool ready_pending_ GUARDED_BY(lock_) = false;  // READY=1 is not sent yet
  // The worker the pings are withheld for, kNone while every worker is
  // well. Its STATUS= stands in place of the counts.
  int stuck_worker_ GUARDED_BY(lock_) = lobby::kNone;
};

// The STATUS= text for `users` and `rooms`: "12 users, 2 rooms".
void format_service_status(int users, int rooms, char* out, int size);
// The STATUS= text of a drain: "draining: 3 users left, ends at 14:05:09",
// the end in local time.
void format_drain_status(int users, int64_t ends_unix_s, char* out, int size);

}  // namespace app

#endif  // APP_SERVICE_NOTIFY_H_
