#include "tests/support/upstream_peer.h"

#include <chrono>

#include "net/socket_ops.h"

namespace test_support {
namespace {

constexpr uint32_t kLoopback = 0x7f000001;
constexpr int kReadBytes = 4096;

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Runs `step` (which may wait up to the given ms) until `done` holds or the
// deadline passes; then reports `done`.
template <typename Done, typename Step>
bool until(int timeout_ms, Done done, Step step) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (done()) return true;
    int left = remaining_ms(deadline);
    if (left == 0) return done();
    step(left);
  }
}

}  // namespace

UpstreamPeer::~UpstreamPeer() { stop(); }

int UpstreamPeer::start(int recv_buffer_bytes, int port) {
  stop();
  int fd = net::tcp_socket();
  if (fd < 0) return -1;
  if ((recv_buffer_bytes > 0 && net::set_recv_buffer(fd, recv_buffer_bytes) != 0) ||
      net::set_reuse_addr(fd) != 0 || net::bind_ipv4(fd, kLoopback, port) != 0 ||
      net::listen_fd(fd, 8) != 0 || net::set_nonblocking(fd) != 0) {
    net::close_fd(fd);
    return -1;
  }
  listen_fd_ = fd;
  port_ = net::local_port(fd);
  return port_ > 0 ? 0 : -1;
}

bool UpstreamPeer::accept_within(int timeout_ms) {
  if (listen_fd_ < 0) return false;
  close_connection();
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int32_t ip[4];
    int32_t peer_port = 0;
    int error = 0;
    int fd = net::accept_ipv4(listen_fd_, ip, &peer_port, &error);
    if (fd >= 0) {
      conn_fd_ = fd;
      return true;
    }
    if (fd != net::kIoWouldBlock) return false;
    int left = remaining_ms(deadline);
    if (left == 0) return false;
    net::poll_fd(listen_fd_, net::kPollIn, left);
  }
}

void UpstreamPeer::read_for(int wait_ms) {
  if (conn_fd_ < 0 || remote_closed_ || !reading_) {
    // Nothing can arrive: let the time pass in one bounded wait.
    net::poll_fd(-1, 0, wait_ms);
    return;
  }
  if (net::poll_fd(conn_fd_, net::kPollIn, wait_ms) <= 0) return;
  read_available();
}

void UpstreamPeer::read_available() {
  if (conn_fd_ < 0 || remote_closed_ || !reading_) return;
  uint8_t buffer[kReadBytes];
  for (;;) {
    int n = net::recv_nb(conn_fd_, buffer, sizeof buffer);
    if (n == net::kIoWouldBlock) return;
    if (n <= 0) {
      remote_closed_ = true;
      decoder_.finish(&lines_);
      return;
    }
    bytes_.insert(bytes_.end(), buffer, buffer + n);
    decoder_.feed(buffer, n, &lines_);
  }
}

bool UpstreamPeer::wait_for_bytes(size_t count, int timeout_ms) {
  return until(
      timeout_ms, [&] { return bytes_.size() >= count; }, [&](int left) { read_for(left); });
}

bool UpstreamPeer::wait_for_lines(size_t count, int timeout_ms) {
  return until(
      timeout_ms, [&] { return lines_.size() >= count; }, [&](int left) { read_for(left); });
}

bool UpstreamPeer::wait_for_close(int timeout_ms) {
  return until(
      timeout_ms, [&] { return remote_closed_; }, [&](int left) { read_for(left); });
}

bool UpstreamPeer::stays_quiet(int quiet_ms) {
  size_t before = bytes_.size();
  bool closed_before = remote_closed_;
  until(
      quiet_ms, [&] { return bytes_.size() != before || remote_closed_ != closed_before; },
      [&](int left) { read_for(left); });
  return bytes_.size() == before && remote_closed_ == closed_before;
}

int UpstreamPeer::send_bytes(const uint8_t* bytes, int length) {
  if (conn_fd_ < 0) return -1;
  int n = net::send_nb(conn_fd_, bytes, length);
  if (n == net::kIoWouldBlock) return 0;
  return n < 0 ? -1 : n;
}

void UpstreamPeer::close_connection() {
  if (conn_fd_ >= 0) net::close_fd(conn_fd_);
  conn_fd_ = -1;
  remote_closed_ = false;
  decoder_ = upstream::UpstreamDecoder();
  bytes_.clear();
  lines_.clear();
}

void UpstreamPeer::stop() {
  close_connection();
  if (listen_fd_ >= 0) net::close_fd(listen_fd_);
  listen_fd_ = -1;
  port_ = -1;
}

}  // namespace test_support
