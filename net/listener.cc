#include "net/listener.h"

#include "net/socket_ops.h"

namespace net {

int Listener::start_listening(int port) {
  close_sockets();
  int fd = tcp_socket();
  if (fd < 0) {
    last_error_ = net::last_error();
    return kNoListenSocket;
  }
  listen_socket = fd;
  listen_state = 1;
  // A restarted server must be able to listen again at once, while the
  // previous run's connections sit in TIME_WAIT.
  set_reuse_addr(fd);
  // Non-blocking, so that a connection reset between the readiness wait and
  // accept cannot hold the accept thread.
  set_nonblocking(fd);
  if (bind_ipv4(fd, 0, port) != 0) {
    // Taken first: giving up the socket below sets the error again.
    last_error_ = net::last_error();
    // An unbound socket would report itself ready at once and make every
    // accept fail: give it up, so that the accept thread keeps its pace.
    close_sockets();
    return kBindFailed;
  }
  if (listen_fd(fd, kListenBacklog) != 0) {
    // Bound but not listening (another server listened first on the shared
    // address): such a socket reports a hang-up at once, which would keep
    // the accept thread from ever sleeping. It is given up as well.
    last_error_ = net::last_error();
    close_sockets();
    listen_state = -1;
  }
  return kListenOk;
}

int Listener::accept_pending(int wait_ms) {
  if (listen_socket == -1) return kNoListenSocket;
  if (listen_state == -1) return kListenFailed;
  int ready = poll_fd(listen_socket, kPollIn, wait_ms);
  if (ready == 0) return kAcceptNothing;
  if (ready < 0) return kListenFailed;
  listen_state = 0;
  int fd = accept_ipv4(listen_socket, peer_ip, &peer_port, &last_error_);
  // A failed accept (a connection reset before it was taken, a momentary
  // descriptor limit) keeps the listening socket: the next pass tries again.
  if (fd == kIoWouldBlock) return kAcceptNothing;
  if (fd < 0) return kAcceptFailed;
  socket = fd;
  return kListenOk;
}

IpAddress Listener::peer_address() const {
  uint32_t host_order = 0;
  for (int32_t part : peer_ip) host_order = host_order << 8 | (static_cast<uint32_t>(part) & 0xff);
  return IpAddress::from_v4(host_order);
}

int Listener::bound_port() const { return listen_socket < 0 ? -1 : local_port(listen_socket); }

}  // namespace net
