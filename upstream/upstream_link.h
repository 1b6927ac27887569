// The one outbound link to the upstream server: a registration at start,
// then a notice per accepted login and per departure of a known user.
// Whatever the upstream server sends is read and thrown away.
//
// Threading: before the server threads run, the accept thread opens the
// link and queues the registration; afterwards every operation runs under
// lock_groups (logins and drops on worker threads, the service pass on the
// accept thread).
#ifndef UPSTREAM_UPSTREAM_LINK_H_
#define UPSTREAM_UPSTREAM_LINK_H_

#include <cstdint>

#include "net/connection.h"

namespace upstream {

class UpstreamLink : public net::Connection {
 public:
  // Writes remote_host from the four address parts ("%d.%d.%d.%d"; the
  // parts are 0..255, so the text always fits) and records the port.
  void set_remote(const int32_t ip[4], int32_t port);
  // Connects once; the result of connect_remote. A send buffer size other
  // than 0 is applied first (test seam).
  int open(int send_buffer_bytes);
  // Queues 2I: the lobby's port, zero, and the low byte of each address part.
  void send_registration(int32_t port, int32_t zero, const int32_t ip[4]);
  void send_login_notice(int32_t user_id);
  void send_logout_notice(int32_t user_id);
  // Queue the notice for a user id of 0 or more; nothing for a negative id.
  void report_login(int32_t user_id);
  void report_logout(int32_t user_id);
  // Reads and discards what the upstream server sent, then sends up to 20
  // queued messages. Nothing while the link is closed.
  void service_upstream();

  // True once the upstream server closed its end; it is not read again.
  bool peer_closed() const { return peer_closed_; }

  // Wake-up descriptor of the thread that services the link, which sleeps
  // until something happens: each queued message wakes it. -1 for none.
  // Set before the server threads start.
  int service_wake = -1;

 private:
  // While the link is closed nothing would ever send a notice: refuse it at
  // once rather than let it sit in the queue.
  void queue_if_open(const uint8_t* bytes, int length);

  bool peer_closed_ = false;
};

}  // namespace upstream

#endif  // UPSTREAM_UPSTREAM_LINK_H_
