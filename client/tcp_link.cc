#include "client/tcp_link.h"

#include "net/socket_ops.h"

namespace client {
namespace {

constexpr int kReadChunk = 4096;

// An address in host order, from the network-order form parse_ipv4 gives:
// its bytes as they lie in memory, first dotted number first.
uint32_t host_order(uint32_t addr_be) {
  const auto* b = reinterpret_cast<const uint8_t*>(&addr_be);
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | uint32_t{b[3]};
}

}  // namespace

TcpLink::~TcpLink() { close(); }

int TcpLink::connect_to(const std::string& host, int port, int timeout_ms,
                        const std::string& source) {
  close();
  uint32_t addr = 0;
  if (net::parse_ipv4(host.c_str(), &addr) != 0 && net::resolve_ipv4(host.c_str(), &addr) != 0) {
    return kLinkNoHost;
  }
  uint32_t local = 0;
  if (!source.empty() && net::parse_ipv4(source.c_str(), &local) != 0) return kLinkNoHost;
  const int fd = net::tcp_socket();
  if (fd < 0) return kLinkConnectFailed;
  if (!source.empty() && net::bind_ipv4(fd, host_order(local), 0) != 0) {
    net::close_fd(fd);
    return kLinkConnectFailed;
  }
  // connect_ipv4 leaves the socket non-blocking, which is what we want.
  if (net::connect_ipv4(fd, addr, port, timeout_ms) != 0) {
    net::close_fd(fd);
    return kLinkConnectFailed;
  }
  // Without this, a message sent while an earlier one is unacknowledged
  // could wait for the acknowledgement and distort every latency we see.
  net::set_no_delay(fd);
  fd_ = fd;
  return kLinkOk;
}

int TcpLink::send(const std::string& bytes) {
  if (fd_ < 0) return kLinkClosed;
  outbox_ += bytes;
  return flush();
}

int TcpLink::flush() {
  if (fd_ < 0) return kLinkClosed;
  size_t sent = 0;
  while (sent < outbox_.size()) {
    const int n = net::send_nb(fd_, reinterpret_cast<const uint8_t*>(outbox_.data()) + sent,
                               static_cast<int>(outbox_.size() - sent));
    if (n == net::kIoWouldBlock) break;
    if (n < 0) {
      outbox_.clear();
      return kLinkClosed;
    }
    sent += static_cast<size_t>(n);
  }
  outbox_.erase(0, sent);
  return kLinkOk;
}

int TcpLink::receive(std::string* into) {
  if (fd_ < 0) return kLinkClosed;
  uint8_t buffer[kReadChunk];
  for (;;) {
    const int n = net::recv_nb(fd_, buffer, sizeof buffer);
    if (n == net::kIoWouldBlock) return kLinkOk;
    if (n <= 0) return kLinkClosed;
    into->append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    if (n < static_cast<int>(sizeof buffer)) return kLinkOk;
  }
}

void TcpLink::close() {
  if (fd_ >= 0) net::close_fd(fd_);
  fd_ = -1;
  outbox_.clear();
}

int pick_free_port() {
  const int fd = net::tcp_socket();
  if (fd < 0) return -1;
  int port = -1;
  // Any address, as a lobby binds: a port that some connection from
  // another loopback address still holds (say in TIME_WAIT after a burst of
  // connections) is free on 127.0.0.1 but not for the lobby.
  if (net::bind_ipv4(fd, 0, 0) == 0) port = net::local_port(fd);
  net::close_fd(fd);
  return port;
}

}  // namespace client
