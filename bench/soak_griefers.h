// The griefers' lobby of the soak: a lobby with its shipped protections
// (only the lurk time lowered to its least, 30 s, to show within the run)
// in which 8 honest players chat in two rooms while griefers try what
// costs a lobby on the open internet its games, each from loopback
// addresses of its own:
//
//   garbage   127.0.13.1-3  8 each: log in, send bytes that frame nothing,
//                           reconnect; the whole run
//   cyclers   127.0.12.1-3  8 each: silent, closed and reopened every
//                           1.5 s; the whole run
//   partial   127.0.14.1    logs in, sends the first 7 bytes of a chat line
//                           and nothing more
//   looper    127.0.15.1    on the deny list, reconnecting in a tight loop
//   admin     8 connections to the admin socket that never ask anything
//   spammers  127.0.5.1-8   one each, in the honest group, 25 lines a
//                           second, reconnecting every 4 s; 3 s to 12 s
//   burst     127.0.6.1-3   10 clients of another group, 50 lines each at
//                           once every 2 s; 3 s to 12 s
//   squatters 127.0.8.1     4 clients each creating a room; from 12 s
//   joiners   127.0.9.1     8 clients joining the room an honest host made
//                           once the squatters had theirs; to 22 s
//   lurkers   127.0.10.1-2, 127.0.11.1  8 each, logged in and silent from
//                           22 s, filling the lobby; each one displaced or
//                           refused comes back 2 s later
//
// An honest newcomer (a fresh address in 127.0.2.0/24) arrives every 2 s,
// logs in, says one line and leaves a second later; it must be in within
// 1 s. While the lurkers are fresher than the lurk time (22 s to 54 s) no
// newcomer comes: a lobby full of players who only just logged in has
// nobody to give way, and must not make one. After that, every newcomer
// finds the lobby full and displaces a lurker.
//
// What the phase checks (failed() is true when any does not hold): the
// honest players lose no line and hear no other group's; every newcomer is
// in within 1 s; the spam each honest player hears stays within the chat
// pace of the spammers' addresses; of the squatters' creates exactly one
// succeeds and the honest host's create then succeeds within 1 s; the
// joiners fill the host's room and start its game; the partial message's
// sender is closed within 63 s of its last complete message; the garbage
// senders are stopped after a few drops each; the idle admin connections
// are closed after 60 s and a new one is answered; and the event log grows
// by less than 2 KB/s.
#ifndef BENCH_SOAK_GRIEFERS_H_
#define BENCH_SOAK_GRIEFERS_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/soak_ledger.h"

namespace soak {

// The lobby's settings for the phase (lines of dorvik.txt), and its deny
// list.
extern const char kGriefSettings[];
extern const char kGriefDenied[];

struct GriefFigures {
  // Honest players and newcomers.
  int64_t honest_dropped = 0;
  int64_t newcomers = 0;
  int64_t newcomers_late = 0;            // in, but after more than 1 s
  int64_t newcomers_refused = 0;         // never in
  std::vector<int64_t> newcomer_logins;  // ns from connect to end of room list
  int64_t newcomers_after_lurkers = 0;   // arrived once the lurkers were due
  int64_t other_group_lines = 0;         // the burst group's lines heard by honest players
  // Chat attackers.
  int64_t spam_written = 0;
  int64_t spam_sessions = 0;
  int64_t spam_most_heard = 0;  // by any one honest player
  int64_t spam_allowed = 0;     // what the spammers' chat pace lets through
  int64_t burst_written = 0;
  // Rooms.
  int squatter_rooms = 0;
  int squatter_refused = 0;
  int64_t host_room_ns = -1;  // the honest host's create, or -1
  int joiners_seated = 0;
  int joiners_refused = 0;
  int host_roster = 0;  // names in the start the host heard
  // The door.
  int64_t lurker_logins = 0;
  int64_t lurker_refused = 0;                        // 2A
  std::map<std::string, int64_t> lurkers_displaced;  // by /24
  int64_t cycler_opened = 0;
  int64_t cycler_ended = 0;  // by the lobby, without a byte
  int64_t cycler_refused = 0;
  int64_t cycler_wrong = 0;  // any other byte
  int64_t garbage_logins = 0;
  int64_t garbage_dropped = 0;
  int64_t garbage_shut = 0;        // closed without a byte: too fast, or banned
  int64_t partial_closed_ms = -1;  // after its login
  int64_t loop_tries = 0;
  int admin_held = 0;
  int admin_closed = 0;
  bool admin_answered = false;
  int64_t attacker_wrong = 0;  // a reply no attacker may get
};

class GriefRun;

class GriefPhase {
 public:
  // The lobby at host:port, whose admin socket is at `admin_path`.
  GriefPhase(const std::string& host, int port, const std::string& admin_path);
  ~GriefPhase();
  GriefPhase(const GriefPhase&) = delete;
  GriefPhase& operator=(const GriefPhase&) = delete;

  // Logs the honest players in and seats them; false when the lobby could
  // not be reached or did not seat them in time.
  bool start();
  // The griefers' run, about 74 s, then the honest players' drain.
  void run();

  const GriefFigures& figures() const;
  const Figures& honest() const;
  // Prints the figures; true when a check failed.
  bool report() const;

 private:
  std::unique_ptr<GriefRun> run_;
};

}  // namespace soak

#endif  // BENCH_SOAK_GRIEFERS_H_
