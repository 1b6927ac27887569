#include "upstream/upstream_link.h"

#include <cstdio>

#include "net/socket_ops.h"
#include "wire/protocol.h"

namespace upstream {

void UpstreamLink::set_remote(const int32_t ip[4], int32_t port) {
  std::snprintf(remote_host.data(), remote_host.size(), "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
  remote_port = port;
}

int UpstreamLink::open(int send_buffer_bytes) {
  peer_closed_ = false;
  int rc = connect_remote();
  if (rc != net::kConnectOk) return rc;
  net::set_no_delay(socket);
  if (send_buffer_bytes > 0) net::set_send_buffer(socket, send_buffer_bytes);
  return rc;
}

void UpstreamLink::queue_if_open(const uint8_t* bytes, int length) {
  if (state.load(std::memory_order_acquire) == net::kStateClosed) return;
  enqueue(bytes, length);
  net::wake(service_wake);
}

void UpstreamLink::send_registration(int32_t port, int32_t zero, const int32_t ip[4]) {
  int n = wire::compose_registration(out_buf.data(), port, zero, ip);
  queue_if_open(out_buf.data(), n);
}

void UpstreamLink::send_login_notice(int32_t user_id) {
  int n = wire::compose_i32(out_buf.data(), wire::kUpLogin, user_id);
  queue_if_open(out_buf.data(), n);
}

void UpstreamLink::send_logout_notice(int32_t user_id) {
  int n = wire::compose_i32(out_buf.data(), wire::kUpLogout, user_id);
  queue_if_open(out_buf.data(), n);
}

void UpstreamLink::report_login(int32_t user_id) {
  if (user_id >= 0) send_login_notice(user_id);
}

void UpstreamLink::report_logout(int32_t user_id) {
  if (user_id >= 0) send_logout_notice(user_id);
}

void UpstreamLink::service_upstream() {
  if (state.load(std::memory_order_acquire) == net::kStateClosed) return;
  // No wait: this runs under lock_groups, which logins and drops on the
  // worker threads need, and what arrives is thrown away anyway.
  if (!peer_closed_ && receive(0) == 1) peer_closed_ = true;
  recv_read = recv_write;
  recv_count = 0;
  flush();
}

}  // namespace upstream
