#include "net/socket_ops.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

namespace net {

void ignore_sigpipe() { signal(SIGPIPE, SIG_IGN); }

int start_sockets() {
  ignore_sigpipe();
  return 0;
}

int last_error() { return errno; }

int tcp_socket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int set_reuse_addr(int fd) {
  int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return -1;
  return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int set_no_delay(int fd) {
  int on = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int set_send_buffer(int fd, int bytes) {
  return setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

int set_recv_buffer(int fd, int bytes) {
  return setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

int bind_ipv4(int fd, uint32_t ip, int port) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(ip == 0 ? INADDR_ANY : ip);
  addr.sin_port = htons(static_cast<uint16_t>(port & 0xffff));
  return ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

int listen_fd(int fd, int backlog) { return ::listen(fd, backlog); }

int local_port(int fd) {
  sockaddr_in addr;
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  return ntohs(addr.sin_port);
}

bool connected_to_itself(int fd) {
  sockaddr_in local;
  sockaddr_in peer;
  socklen_t local_len = sizeof local;
  socklen_t peer_len = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) != 0) return false;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) return false;
  return local.sin_addr.s_addr == peer.sin_addr.s_addr && local.sin_port == peer.sin_port;
}

int poll_fd(int fd, int events, int timeout_ms) {
  pollfd p;
  p.fd = fd;
  p.events =
      static_cast<short>(((events & kPollIn) ? POLLIN : 0) | ((events & kPollOut) ? POLLOUT : 0));
  p.revents = 0;
  int n = ::poll(&p, 1, timeout_ms);
  if (n < 0) return errno == EINTR ? 0 : -1;
  if (n == 0) return 0;
  int ready = 0;
  if (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) ready |= kPollIn;
  if (p.revents & POLLOUT) ready |= kPollOut;
  return ready;
}

bool peer_shut(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  // A descriptor closed meanwhile (POLLNVAL) has no peer left either.
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int poll_many(PollEntry* entries, int count, int timeout_ms) {
  pollfd fds[kMaxPollEntries];
  if (count > kMaxPollEntries) count = kMaxPollEntries;
  for (int i = 0; i < count; ++i) {
    fds[i].fd = entries[i].fd;
    fds[i].events = static_cast<short>(((entries[i].events & kPollIn) ? POLLIN : 0) |
                                       ((entries[i].events & kPollOut) ? POLLOUT : 0));
    fds[i].revents = 0;
    entries[i].ready = 0;
  }
  int n = ::poll(fds, static_cast<nfds_t>(count), timeout_ms);
  if (n < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < count; ++i) {
    if (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) entries[i].ready |= kPollIn;
    if (fds[i].revents & POLLOUT) entries[i].ready |= kPollOut;
  }
  return n;
}

int accept_ipv4(int listen, int32_t peer_ip[4], int32_t* peer_port, int* error) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  socklen_t len = sizeof addr;
  int fd = ::accept4(listen, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? kIoWouldBlock : -1;
  }
  uint32_t host = ntohl(addr.sin_addr.s_addr);
  peer_ip[0] = static_cast<int32_t>((host >> 24) & 0xff);
  peer_ip[1] = static_cast<int32_t>((host >> 16) & 0xff);
  peer_ip[2] = static_cast<int32_t>((host >> 8) & 0xff);
  peer_ip[3] = static_cast<int32_t>(host & 0xff);
  *peer_port = ntohs(addr.sin_port);
  return fd;
}

int recv_nb(int fd, uint8_t* buffer, int size) {
  ssize_t n = ::recv(fd, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kIoWouldBlock;
  return kIoError;
}

int send_nb(int fd, const uint8_t* bytes, int length) {
  ssize_t n = ::send(fd, bytes, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kIoWouldBlock;
  return kIoError;
}

int sendv_nb(int fd, const IoSlice* slices, int count) {
  iovec iov[kMaxSendSlices];
  if (count > kMaxSendSlices) count = kMaxSendSlices;
  for (int i = 0; i < count; ++i) {
    iov[i].iov_base = const_cast<uint8_t*>(slices[i].data);
    iov[i].iov_len = static_cast<size_t>(slices[i].length);
  }
  msghdr msg;
  std::memset(&msg, 0, sizeof msg);
  msg.msg_iov = iov;
  msg.msg_iovlen = static_cast<size_t>(count);
  ssize_t n = ::sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kIoWouldBlock;
  return kIoError;
}

int parse_ipv4(const char* text, uint32_t* addr_be) {
  in_addr addr;
  if (inet_pton(AF_INET, text, &addr) != 1) return -1;
  *addr_be = addr.s_addr;
  return 0;
}

int resolve_ipv4(const char* host, uint32_t* addr_be) {
  // Names under the reserved "invalid" domain never resolve; answering at
  // once spares a wait on a resolver that may not be reachable.
  size_t len = std::strlen(host);
  constexpr char kInvalid[] = ".invalid";
  constexpr size_t kInvalidLen = sizeof kInvalid - 1;
  if (len >= kInvalidLen && strcasecmp(host + len - kInvalidLen, kInvalid) == 0) return -1;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr) return -1;
  *addr_be = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(result);
  return 0;
}

int connect_ipv4(int fd, uint32_t addr_be, int port, int timeout_ms) {
  // A non-blocking connect bounded by poll, so that an address that swallows
  // packets cannot hold the caller for the kernel's minutes-long retry.
  int error = 0;
  int rc = connect_start_ipv4(fd, addr_be, port, &error);
  if (rc == kConnectPending) rc = connect_finish(fd, timeout_ms, &error);
  return rc == 0 ? 0 : -1;
}

int connect_finish(int fd, int timeout_ms, int* error) {
  pollfd p;
  p.fd = fd;
  p.events = POLLOUT;
  p.revents = 0;
  int n;
  do {
    n = ::poll(&p, 1, timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *error = errno;
    return -1;
  }
  if (n == 0) return kConnectPending;
  return connect_check(fd, error);
}

int connect_start_ipv4(int fd, uint32_t addr_be, int port, int* error) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = addr_be;
  addr.sin_port = htons(static_cast<uint16_t>(port & 0xffff));
  if (set_nonblocking(fd) != 0) {
    *error = errno;
    return -1;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return 0;
  if (errno == EINPROGRESS || errno == EINTR) return kConnectPending;
  *error = errno;
  return -1;
}

int connect_check(int fd, int* error) {
  pollfd p;
  p.fd = fd;
  p.events = POLLOUT;
  p.revents = 0;
  int n = ::poll(&p, 1, 0);
  if (n < 0 && errno != EINTR) {
    *error = errno;
    return -1;
  }
  if (n <= 0) return kConnectPending;
  int pending = 0;
  socklen_t len = sizeof pending;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) {
    *error = errno;
    return -1;
  }
  if (pending != 0) {
    *error = pending;
    return -1;
  }
  return 0;
}

void shutdown_fd(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void close_fd(int fd) {
  if (fd >= 0) ::close(fd);
}

void abort_fd(int fd) {
  if (fd < 0) return;
  // No shutdown first: a FIN queued behind the unsent bytes would only be
  // thrown away with them.
  linger off = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
  ::close(fd);
}

int unsent_bytes(int fd) {
  int bytes = 0;
  return ioctl(fd, SIOCOUTQ, &bytes) == 0 ? bytes : -1;
}

const char* error_text(int error) { return strerror(error); }

}  // namespace net
