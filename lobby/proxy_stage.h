// Connections from the proxies the lobby trusts (L_PROXY), while they wait
// for their PROXY header. A connection from a trusted address must begin
// with one (version 1 or 2, net/proxy_header.h); the client it names is the
// connection's address for everything that counts by address, and
// Admission decides on it only once the header is whole. Bytes that came
// after the header in the same read are the client's first input.
//
//  - A header that cannot be one, or is not whole within
//    kProxyHeaderWaitMs, closes the connection without a byte: "bad proxy
//    header", a refusal by the proxy's address, counted toward no ban.
//  - A health check is the proxy itself: a version 2 LOCAL header, a
//    header whose client is a trusted proxy address (HAProxy's checks
//    under version 1), or a connection that closes before sending a byte.
//    It is closed, takes no slot, counts toward nothing, and goes to the
//    events' health_check, which folds a proxy's checks into a line a
//    minute.
//  - A header that cannot name its client (version 1 UNKNOWN, version 2
//    UNSPEC or a Unix socket) leaves the connection the proxy's address,
//    under every limit, but its drops earn the proxy no ban.
//
// Waiting takes no slot and never holds up the accept thread: at most
// kProxyWaiting connections wait at once, each in a fixed entry with room
// for the longest header, read without blocking when the accept thread's
// one readiness wait finds it readable. While the table is full the
// listener is left alone, and further connections wait in the listen
// queue. A header that comes whole while Admission holds a newcomer waits,
// unread, until the hold ends.
//
// Accept thread only; owned by the Server.
#ifndef LOBBY_PROXY_STAGE_H_
#define LOBBY_PROXY_STAGE_H_

#include <cstdint>

#include "config/settings.h"
#include "lobby/admission.h"
#include "lobby/clock.h"
#include "lobby/lobby_state.h"
#include "net/ip_address.h"
#include "net/proxy_header.h"
#include "net/socket_ops.h"

namespace lobby {

// Connections that may wait for their header at once.
constexpr int kProxyWaiting = 64;
// How long a trusted connection may take to send its whole header.
constexpr int64_t kProxyHeaderWaitMs = 3000;

class ProxyStage {
 public:
  // `lobby`, `admission` and `clock` must outlive it.
  ProxyStage(Lobby& lobby, Admission& admission, Clock& clock);
  ProxyStage(const ProxyStage&) = delete;
  ProxyStage& operator=(const ProxyStage&) = delete;

  // Takes L_PROXY as a reload left it; nothing to do while it has not
  // changed. Connections already waiting or placed keep what they had.
  void follow_settings();
  // Whether a connection from `peer` must begin with a header.
  bool trusts(const net::IpAddress& peer) const { return proxies_.covers(peer); }
  bool full() const { return waiting_ == kProxyWaiting; }
  int waiting() const { return waiting_; }

  // A new connection from the trusted `proxy`:`port`. Reads what has
  // arrived already; the rest of its header is waited for. REQUIRES:
  // !full().
  void take(int socket, const net::IpAddress& proxy, int32_t port);
  // Fills up to `room` readiness entries, one for each connection whose
  // header is awaited; their number.
  int add_poll_entries(net::PollEntry* entries, int room);
  // After the wait: hands on the headers that were whole while Admission
  // held a newcomer (when it no longer does), reads the connections that
  // `entries` (as add_poll_entries filled them, `count` of them) found
  // readable, and refuses those past their time.
  void serve(const net::PollEntry* entries, int count);
  // The clock time of the stage's next deadline (a header's time, or now
  // for a whole header that may be handed on); -1 for none.
  int64_t next_deadline_ms() const;
  // Closes every waiting connection: the accept thread ends.
  void close_all();

 private:
  // The state image carries the waiting connections.
  friend struct ImageAccess;
  struct Waiting {
    int socket = -1;  // -1: a free entry
    net::IpAddress proxy;
    int32_t port = 0;
    int64_t deadline_ms = 0;
    // Whole, and waiting for Admission to end its hold.
    bool whole = false;
    net::ProxyHeader header;
    int length = 0;
    uint8_t bytes[net::kProxyHeaderMaxBytes];
  };

  // One non-blocking read into the entry, then what its bytes make of it.
  void read_into(Waiting& entry);
  void whole_header(Waiting& entry);
  void hand_on(Waiting& entry);
  void refuse(Waiting& entry);
  // Closes a health check and reports it, `what` telling what made it one.
  void health_check(Waiting& entry, const char* what);
  void release(Waiting& entry);

  Lobby& lobby_;
  Admission& admission_;
  Clock& clock_;
  config::ProxyList proxies_;
  // The live settings' generation proxies_ was taken at.
  uint32_t settings_generation_ = 0;
  Waiting entries_[kProxyWaiting];
  int waiting_ = 0;
  // The entry of each readiness entry add_poll_entries made.
  int polled_[kProxyWaiting] = {};
};

}  // namespace lobby

#endif  // LOBBY_PROXY_STAGE_H_
