// How the lobby reports what happens in it without knowing who listens: the
// process hands it a sink that writes the event log and wakes the status
// display; tests hand it one that records, or none at all. Any thread: an
// implementation takes each line whole. The lobby never calls it with one
// of its locks held (what it says under a lock waits in an AfterLock), so
// a call may wait a little: refused() and dropped() wait, at most 100 ms
// and only while the event log keeps up, until their line is in the file,
// since the connection closes next.
#ifndef LOBBY_LOBBY_EVENTS_H_
#define LOBBY_LOBBY_EVENTS_H_

#include <cstdint>

#include "net/ip_address.h"

namespace lobby {

// Longest event line, with its terminating zero; a longer one is cut.
constexpr int kEventLineBytes = 384;

// One chat line for the moderation log, as the lobby relayed it: who sent
// it and to whom, with its text as on the wire (in L_CHARSET). A line of
// the operator's names the operator instead of a connection.
struct ChatRecord {
  enum To : uint8_t { kGroup, kGame, kEveryone, kConnection };
  int64_t connection_id = 0;  // the sender's; 0 for the operator
  int32_t user_id = -1;
  net::IpAddress addr;
  const uint8_t* name = nullptr;  // 16 bytes as sent; null for the operator
  const char* by = nullptr;       // the operator's user name, for the operator's lines
  To to = kGroup;
  int64_t to_value = 0;  // the group key, the room, or the receiver's connection id
  const uint8_t* text = nullptr;
  int length = 0;
};

class LobbyEvents {
 public:
  virtual ~LobbyEvents() = default;
  // One line for the event log, without time stamp or line end.
  virtual void event(const char* line) = 0;
  // A new connection from `addr` refused for `reason` (a RefusalReason), or
  // a client that came from it dropped for `reason` (a DropReason); `line`
  // tells it. An address that reconnects in a loop causes thousands of
  // these a second, so a sink may fold the repeats of one address and
  // reason into a count. The default writes every line.
  virtual void refused(const net::IpAddress& /*addr*/, int /*reason*/, const char* line) {
    event(line);
  }
  virtual void dropped(const net::IpAddress& /*addr*/, int /*reason*/, const char* line) {
    event(line);
  }
  // A trusted proxy at `proxy` checked the lobby (a health check: it took
  // no slot); `line` tells it. A proxy checks several times a second, so a
  // sink may fold them into a count a minute as it folds refusals. The
  // default writes every line.
  virtual void health_check(const net::IpAddress& /*proxy*/, const char* line) { event(line); }
  // A login refused for `reason` (a LoginRefusal) on a connection from
  // `addr` that has no accepted login: as many as connections, so a sink
  // may fold them as it folds refusals.
  virtual void login_refused(const net::IpAddress& /*addr*/, int /*reason*/, const char* line) {
    event(line);
  }
  // An automatic ban of `addr` was put in force; `line` tells it. A crowd
  // of addresses can earn hundreds a minute, so a sink may fold them.
  virtual void banned(const net::IpAddress& /*addr*/, const char* line) { event(line); }
  // The user count or the room count changed.
  virtual void counts_changed() = 0;
  // A drain has ended (no client left, or its time ran out): the process
  // should stop as a stop signal stops it. Called once, by the accept
  // thread. A lobby with no process around it ignores it.
  virtual void drain_finished() {}
  // The accept thread listens on `port`, or could not listen (-1, with
  // `reason`, such as "port 30009: Address already in use"). After the
  // start; a failure is followed by a later call with the port once a
  // retry works.
  virtual void listening(int /*port*/, const char* /*reason*/) {}
  // Whether chat lines are wanted for a moderation log; a cheap look,
  // taken for every line relayed.
  virtual bool chat_log_on() const { return false; }
  // One chat line relayed. Called with no lobby lock held, by the thread
  // that wrote the line into the ring, after it let the ring's lock go;
  // it must not block.
  virtual void chat_line(const ChatRecord& /*record*/) {}
  // The accept thread calls this on each of its passes, with the clock's
  // now_ms, for work of the sink's own that is due at times (a service
  // manager's watchdog, the end of a folded minute). How many ms that
  // thread may sleep before the next call is due; -1 for no bound. It must
  // not block.
  virtual int keeper_pass(int64_t /*now_ms*/) { return -1; }
};

// A sink that ignores everything: the lobby's default.
LobbyEvents* quiet_events();

// Formats one event line and hands it to `events`.
void report_event(LobbyEvents* events, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// The same for a refusal, a drop, a refused login and an automatic ban: the
// line goes to events->refused, dropped, login_refused or banned with the
// address (and the reason).
void report_refused(LobbyEvents* events, const net::IpAddress& addr, int reason, const char* format,
                    ...) __attribute__((format(printf, 4, 5)));
void report_dropped(LobbyEvents* events, const net::IpAddress& addr, int reason, const char* format,
                    ...) __attribute__((format(printf, 4, 5)));
// The same for a proxy's health check, to events->health_check.
void report_health_check(LobbyEvents* events, const net::IpAddress& proxy, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void report_login_refused(LobbyEvents* events, const net::IpAddress& addr, int reason,
                          const char* format, ...) __attribute__((format(printf, 4, 5)));
void report_banned(LobbyEvents* events, const net::IpAddress& addr, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace lobby

#endif  // LOBBY_LOBBY_EVENTS_H_
