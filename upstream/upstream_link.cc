#include "upstream/upstream_link.h"

#include <cstdio>

#include "net/socket_ops.h"
#include "wire/protocol.h"

namespace upstream {

const char* link_state_text(LinkState state) {
  switch (state) {
    case LinkState::kOff:
      return "off";
    case LinkState::kConnecting:
      return "connecting";
    case LinkState::kConnected:
      return "connected";
    case LinkState::kDown:
      return "down";
  }
  return "unknown";
}

const char* loss_reason_text(int reason) {
  switch (reason) {
    case kLossPeerClosed:
      return "peer closed";
    case kLossReset:
      return "reset";
    case kLossSendFailed:
      return "send failed";
    case kLossNotReading:
      return "not reading";
    default:
      return "none";
  }
}

void UpstreamLink::set_remote(const int32_t ip[4], int32_t port) {
  std::snprintf(remote_host.data(), remote_host.size(), "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
  remote_port = port;
}

void UpstreamLink::set_tuning(int send_buffer_bytes, uint32_t jitter_seed) {
  send_buffer_bytes_ = send_buffer_bytes;
  backoff_ = Backoff(jitter_seed);
}

int UpstreamLink::open(int64_t now_ms, int64_t* finished_ms) {
  int event = begin_attempt(now_ms);
  int64_t finished = now_ms;
  if (link_state() == LinkState::kConnecting) {
    // The one wait for the upstream server, made before the lobby listens.
    net::poll_fd(socket, net::kPollOut, net::kConnectTimeoutMs);
    int error = 0;
    const int check = net::connect_check(socket, &error);
    if (check == net::kConnectPending) {
      finished = now_ms + net::kConnectTimeoutMs;
      event = attempt_failed("timed out", finished);
    } else {
      event = finish_attempt(check, error, now_ms);
    }
  }
  if (finished_ms != nullptr) *finished_ms = finished;
  started_ = true;
  return event;
}

int UpstreamLink::exchange() {
  if (link_state() != LinkState::kConnected) return kLossNone;
  // What arrives is thrown away; the end of the stream, or a failure,
  // means the peer is gone. Not into the composition buffer, which notices
  // are composed in under lock_groups.
  uint8_t discard[net::kOutBufSize];
  const int n = net::recv_nb(socket, discard, net::kOutBufSize);
  if (n == 0) return kLossPeerClosed;
  if (n == net::kIoError) return kLossReset;
  flush();
  return send_failed() ? kLossSendFailed : kLossNone;
}

int UpstreamLink::service_upstream(int64_t now_ms, int found) {
  switch (link_state()) {
    case LinkState::kOff:
      return kLinkQuiet;
    case LinkState::kDown:
      return now_ms >= deadline_ms_ ? begin_attempt(now_ms) : kLinkQuiet;
    case LinkState::kConnecting: {
      int error = 0;
      const int check = net::connect_check(socket, &error);
      if (check != net::kConnectPending) return finish_attempt(check, error, now_ms);
      return now_ms >= deadline_ms_ ? attempt_failed("timed out", now_ms) : kLinkQuiet;
    }
    case LinkState::kConnected:
      break;
  }
  if (pending_loss_ != kLossNone) return lose(pending_loss_, now_ms);
  if (found != kLossNone) return lose(found, now_ms);
  return kLinkQuiet;
}

int UpstreamLink::wait_events(int* fd, bool* send_now) const {
  *fd = socket;
  *send_now = false;
  switch (link_state()) {
    case LinkState::kConnecting:
      return net::kPollOut;
    case LinkState::kConnected:
      break;
    default:
      *fd = -1;
      return 0;
  }
  // A link marked lost, or queued messages the kernel would take now, mean
  // a pass at once; blocked sends wait for writability.
  if (pending_loss_ != kLossNone) {
    *send_now = true;
  } else if (send_pending() > 0) {
    if (send_blocked()) return net::kPollIn | net::kPollOut;
    *send_now = true;
  }
  return net::kPollIn;
}

void UpstreamLink::shut() {
  close();
  reset_queues();
  deadline_ms_ = -1;
  link_state_.store(LinkState::kOff, std::memory_order_release);
}

int UpstreamLink::retarget(const int32_t ip[4], int32_t port, int64_t now_ms) {
  close();
  reset_queues();
  pending_loss_ = kLossNone;
  set_remote(ip, port);
  backoff_.reset();
  failures_since_up_ = 0;
  unreported_failures_ = 0;
  last_failure_report_ms_ = -1;
  if (port == 0) {
    deadline_ms_ = -1;
    link_state_.store(LinkState::kOff, std::memory_order_release);
    return kLinkQuiet;
  }
  // The first connection to the new server is no reconnect.
  started_ = false;
  const int event = begin_attempt(now_ms);
  started_ = true;
  return event;
}

int UpstreamLink::begin_attempt(int64_t now_ms) {
  // remote_host is the dotted text set_remote wrote, so no name is looked
  // up here: a lookup could block.
  uint32_t addr = 0;
  if (net::parse_ipv4(remote_host.data(), &addr) != 0) return attempt_failed("no address", now_ms);
  socket = net::tcp_socket();
  if (socket < 0) return attempt_failed("no socket", now_ms);
  int error = 0;
  const int rc = net::connect_start_ipv4(socket, addr, remote_port, &error);
  if (rc != net::kConnectPending) return finish_attempt(rc, error, now_ms);
  deadline_ms_ = now_ms + net::kConnectTimeoutMs;
  link_state_.store(LinkState::kConnecting, std::memory_order_release);
  return kLinkQuiet;
}

int UpstreamLink::finish_attempt(int check, int error, int64_t now_ms) {
  if (check != 0) return attempt_failed(net::error_text(error), now_ms);
  // With nothing listening on a local upstream port in the ephemeral
  // range, a retried connect can pick that very port and meet itself; the
  // lobby would then announce to itself and never reach the upstream.
  if (net::connected_to_itself(socket)) return attempt_failed("connected to itself", now_ms);
  return connected(now_ms);
}

int UpstreamLink::connected(int64_t now_ms) {
  net::set_no_delay(socket);
  if (send_buffer_bytes_ > 0) net::set_send_buffer(socket, send_buffer_bytes_);
  reset_queues();
  pending_loss_ = kLossNone;
  deadline_ms_ = -1;
  connected_ms_ = now_ms;
  failures_before_connect_ = failures_since_up_;
  failures_since_up_ = 0;
  unreported_failures_ = 0;
  if (started_) reconnects_.fetch_add(1, std::memory_order_release);
  // Open only now: notices are queued from here on, after the caller's
  // announcement, which it queues in the same hold of lock_groups.
  mark_open();
  link_state_.store(LinkState::kConnected, std::memory_order_release);
  return kLinkConnected;
}

int UpstreamLink::attempt_failed(const char* why, int64_t now_ms) {
  close_sockets();
  failure_text_ = why;
  failed_attempts_.fetch_add(1, std::memory_order_release);
  ++failures_since_up_;
  ++unreported_failures_;
  wait_for_next_attempt(now_ms);
  if (last_failure_report_ms_ >= 0 && now_ms - last_failure_report_ms_ < kFailureReportMs) {
    return kLinkQuiet;
  }
  last_failure_report_ms_ = now_ms;
  reported_failures_ = unreported_failures_;
  unreported_failures_ = 0;
  return kLinkAttemptFailed;
}

int UpstreamLink::lose(int reason, int64_t now_ms) {
  // The queue goes with the socket: the next connection's announcement
  // tells the upstream server everything again.
  close();
  reset_queues();
  pending_loss_ = kLossNone;
  last_loss_ = reason;
  losses_.fetch_add(1, std::memory_order_release);
  if (now_ms - connected_ms_ >= kStableLinkMs) backoff_.reset();
  wait_for_next_attempt(now_ms);
  return kLinkLost;
}

void UpstreamLink::wait_for_next_attempt(int64_t now_ms) {
  deadline_ms_ = now_ms + backoff_.next_wait_ms();
  link_state_.store(LinkState::kDown, std::memory_order_release);
}

void UpstreamLink::queue_if_open(const uint8_t* bytes, int length) {
  if (!is_open()) return;
  if (pending_loss_ != kLossNone) return;
  if (enqueue(bytes, length) == net::kEnqueueFull) pending_loss_ = kLossNotReading;
  if (service_wake != nullptr) service_wake->wake();
}

void UpstreamLink::send_registration(int32_t port, int32_t zero, const int32_t ip[4]) {
  int n = wire::compose_registration(compose_buffer(), port, zero, ip);
  queue_if_open(compose_buffer(), n);
}

void UpstreamLink::send_login_notice(int32_t user_id) {
  int n = wire::compose_i32(compose_buffer(), wire::kUpLogin, user_id);
  queue_if_open(compose_buffer(), n);
}

void UpstreamLink::send_logout_notice(int32_t user_id) {
  int n = wire::compose_i32(compose_buffer(), wire::kUpLogout, user_id);
  queue_if_open(compose_buffer(), n);
}

void UpstreamLink::report_login(int32_t user_id) {
  if (user_id >= 0) send_login_notice(user_id);
}

void UpstreamLink::report_logout(int32_t user_id) {
  if (user_id >= 0) send_logout_notice(user_id);
}

}  // namespace upstream
