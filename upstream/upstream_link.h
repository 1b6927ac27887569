// The one outbound link to the upstream server. Each time it connects, the
// lobby registers (2I) and announces every user it holds (a 2N each); while
// it stays up, a notice follows per accepted login (2N) and per departure
// of a known user (2F). Whatever the upstream server sends is read and
// thrown away.
//
// A link is lost when the peer closes or resets it, a send fails, or its
// queue would overflow because the peer does not read. It is then closed,
// its queue dropped, and connected again after a Backoff wait; the
// announcement of the next connection replaces whatever was lost. Nothing ever waits for the
// upstream server: the first attempt at start is the only connect that blocks (up to 3 s, before
// the lobby listens); later ones run in the accept thread's readiness wait.
//
// Threading: the composition buffer and the filling of the send queue are used under
// lock_groups (notices from the worker threads; the announcement on the
// accept thread). The connection machinery (socket, deadlines, backoff,
// the figures of the log lines) is the accept thread's, which runs it
// under lock_groups as well, except the socket's reads and sends
// (exchange), which hold no lobby lock. link_state() and the counts may be
// read by any thread.
#ifndef UPSTREAM_UPSTREAM_LINK_H_
#define UPSTREAM_UPSTREAM_LINK_H_

#include <atomic>
#include <cstdint>

#include "net/connection.h"
#include "platform/wake_up.h"
#include "upstream/backoff.h"

namespace lobby {
struct ImageAccess;
}  // namespace lobby

namespace upstream {

enum class LinkState : int32_t {
  kOff = 0,     // no upstream server configured, or the server stopped
  kConnecting,  // a connect is under way
  kConnected,   // up: notices are queued and sent
  kDown,        // waiting for the next attempt; nothing is queued
};
const char* link_state_text(LinkState state);

// Why a link was lost.
enum LossReason : int {
  kLossNone = 0,
  kLossPeerClosed,
  kLossReset,
  kLossSendFailed,
  kLossNotReading,
};
const char* loss_reason_text(int reason);

// What a pass did that the caller reports. kLinkConnected obliges the
// caller to queue the announcement before it releases lock_groups.
enum LinkEvent : int {
  kLinkQuiet = 0,
  kLinkConnected,
  kLinkLost,           // see last_loss()
  kLinkAttemptFailed,  // and its log line is due: see failure_text()
};

// Failed attempts are logged at most this often, with a count.
constexpr int64_t kFailureReportMs = 60000;

class UpstreamLink : public net::Connection {
 public:
  // Writes remote_host from the four address parts ("%d.%d.%d.%d"; the
  // parts are 0..255, so the text always fits) and records the port.
  void set_remote(const int32_t ip[4], int32_t port);
  // The upstream server's dotted address and its port (low 16 bits used),
  // as set_remote recorded them.
  const char* host() const { return remote_host.data(); }
  int32_t port() const { return remote_port; }
  // A send buffer size other than 0 is applied to every connection (test
  // seam); the seed fixes the jitter of the backoff. Before any attempt.
  void set_tuning(int send_buffer_bytes, uint32_t jitter_seed);

  // The first attempt, waiting up to 3 s for the connect. kLinkConnected,
  // or kLinkAttemptFailed with the link down until its next attempt.
  // Before the lobby listens: no other thread uses the link yet. The clock
  // time the attempt ended (later by the wait, when it timed out) goes to
  // `*finished_ms` when given.
  int open(int64_t now_ms, int64_t* finished_ms = nullptr);
  // The socket's part of a pass, on a link that is up: reads and discards
  // what arrived and sends up to 20 queued messages, without waiting. The
  // loss it found, kLossNone for none. Accept thread, holding no lobby
  // lock: the socket is that thread's alone, and the queue has its own
  // lock, so a send the kernel is slow to take holds up no login or drop.
  int exchange();
  // The rest of the pass, under lock_groups: on a link that is up, acts on
  // the loss `found` by exchange() or on a queue found full; on one that
  // is not, starts or finishes an attempt when it is due.
  int service_upstream(int64_t now_ms, int found);
  // The link's part of the accept thread's readiness wait: the events to
  // wait for on `*fd` (0 for none), and whether queued messages could
  // leave at once. Accept thread, under lock_groups.
  int wait_events(int* fd, bool* send_now) const;
  // When the next pass is due whatever happens on the socket (the end of a
  // connect's 3 s, or the next attempt); -1 for none. Accept thread.
  int64_t deadline_ms() const { return deadline_ms_; }
  // Closes whatever socket the link holds; it stays off. After the threads
  // have stopped.
  void shut();
  // Points a running link at another server: a connection that is up or
  // under way is closed and its queue dropped (the new server hears the
  // announcement instead), and with a port other than 0 an attempt starts
  // at once, without a wait; with 0 the link is off. Accept thread, under
  // lock_groups. The event, as service_upstream gives it.
  int retarget(const int32_t ip[4], int32_t port, int64_t now_ms);

  // Queues 2I: the lobby's port, zero, and the low byte of each address part.
  void send_registration(int32_t port, int32_t zero, const int32_t ip[4]);
  void send_login_notice(int32_t user_id);
  void send_logout_notice(int32_t user_id);
  // Queue the notice for a user id of 0 or more; nothing for a negative id.
  void report_login(int32_t user_id);
  void report_logout(int32_t user_id);

  // Any thread.
  LinkState link_state() const { return link_state_.load(std::memory_order_acquire); }
  // Connections made after the first attempt at start.
  int64_t reconnects() const { return reconnects_.load(std::memory_order_acquire); }
  int64_t losses() const { return losses_.load(std::memory_order_acquire); }
  int64_t failed_attempts() const { return failed_attempts_.load(std::memory_order_acquire); }

  // For the log line of the event a pass reported. Accept thread.
  int last_loss() const { return last_loss_; }
  const char* failure_text() const { return failure_text_; }
  // Failed attempts the due log line counts: those since the previous
  // line, this one included.
  int64_t reported_failures() const { return reported_failures_; }
  // Failed attempts between the last loss (or the start) and this connection.
  int64_t failures_before_connect() const { return failures_before_connect_; }

  // The wake-up of the thread that services the link, which sleeps until
  // something happens: each queued message wakes it. Null for none. Set
  // before the server threads start.
  platform::WakeUp* service_wake = nullptr;

 private:
  // The state image carries the link, its socket and queue included,
  // across a hand-over.
  friend struct lobby::ImageAccess;

  // Starts an attempt; finishes it at once when the connect is immediate.
  int begin_attempt(int64_t now_ms);
  // Result of connect_check on the attempt under way.
  int finish_attempt(int check, int error, int64_t now_ms);
  int connected(int64_t now_ms);
  int attempt_failed(const char* why, int64_t now_ms);
  int lose(int reason, int64_t now_ms);
  void wait_for_next_attempt(int64_t now_ms);
  // Queues while the link is up and not marked lost. A message the full
  // queue refuses marks the link lost (the peer does not read): the next
  // connection's announcement replaces every notice from then on.
  void queue_if_open(const uint8_t* bytes, int length);

  // Atomic: written by the accept thread under lock_groups.
  std::atomic<LinkState> link_state_{LinkState::kOff};
  std::atomic<int64_t> reconnects_{0};
  std::atomic<int64_t> losses_{0};
  std::atomic<int64_t> failed_attempts_{0};
  // Guarded by lock_groups: set by whoever found the queue full, acted on
  // by the accept thread's next pass.
  int pending_loss_ = kLossNone;

  // Accept thread only.
  Backoff backoff_{0};
  int send_buffer_bytes_ = 0;
  bool started_ = false;  // the first attempt has been made
  int64_t deadline_ms_ = -1;
  int64_t connected_ms_ = 0;
  int last_loss_ = kLossNone;
  const char* failure_text_ = "";
  int64_t unreported_failures_ = 0;
  int64_t reported_failures_ = 0;
  int64_t failures_before_connect_ = 0;
  int64_t failures_since_up_ = 0;
  int64_t last_failure_report_ms_ = -1;
};

}  // namespace upstream

#endif  // UPSTREAM_UPSTREAM_LINK_H_
