// The calls a Connection makes on its connected socket: receive, send,
// close. A running server uses the socket layer's; a test puts an in-memory
// transport in its place to drive the server's own serving loop without a
// network. A test seam only, one level deep.
#ifndef NET_TRANSPORT_H_
#define NET_TRANSPORT_H_

#include <cstdint>

#include "net/send_batch.h"
#include "net/socket_ops.h"

namespace net {

class Transport {
 public:
  virtual ~Transport() = default;
  // One receive that never waits, as recv_nb: bytes received, 0 when the
  // peer closed, kIoWouldBlock when nothing is there, kIoError.
  virtual int recv(int socket, uint8_t* buffer, int size) = 0;
  // One gathered send that never waits, as sendv_nb: bytes taken,
  // kIoWouldBlock when nothing is taken now, kIoError.
  virtual int sendv(int socket, const IoSlice* slices, int count) = 0;
  // Several sockets' gathered sends, each as sendv; the socket layer makes
  // them in one system call where it can (send_batch.h).
  virtual void send_batch(SendJob* jobs, int count) {
    for (int i = 0; i < count; ++i)
      jobs[i].result = sendv(jobs[i].fd, jobs[i].slices, jobs[i].count);
  }
  // Shuts the socket down both ways and closes it.
  virtual void close(int socket) = 0;
  // Closes it with a reset, throwing away what the kernel still holds to
  // send (abort_fd). A transport without a kernel simply closes.
  virtual void abort(int socket) { close(socket); }
  // Bytes still held to send, as unsent_bytes; -1 when unknown.
  virtual int unsent(int /*socket*/) { return -1; }
  // True once the peer has closed its end, whatever still waits unread.
  virtual bool peer_shut(int /*socket*/) { return false; }
};

// The socket layer's transport. Any thread; it keeps no state.
Transport* socket_transport();

}  // namespace net

#endif  // NET_TRANSPORT_H_
