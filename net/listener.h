// The listening socket for game clients. Accept thread only.
#ifndef NET_LISTENER_H_
#define NET_LISTENER_H_

#include "net/connection.h"
#include "net/ip_address.h"

namespace net {

// Results of start_listening and accept_pending.
constexpr int kListenOk = 0;
constexpr int kAcceptNothing = -1;   // nothing arrived within the wait
constexpr int kNoListenSocket = -2;  // no listening socket
constexpr int kBindFailed = -3;      // start_listening: the port is taken
constexpr int kListenFailed = -4;    // listen failed, or the readiness wait did
constexpr int kAcceptFailed = -5;    // accept failed; the next call tries again

// Connections the kernel completes and queues before the accept thread
// takes them. With only a handful, a burst (a crowd of clones) makes the
// kernel drop handshakes, and honest clients arriving with it wait a second
// or more for its retries; this many take any burst the 32 slots can meet.
constexpr int kListenBacklog = 128;

class Listener : public Connection {
 public:
  // Opens the port (low 16 bits of `port`; 0 picks a free one).
  int start_listening(int port);
  // Accepts at most one waiting connection, waiting up to `wait_ms`. On 0
  // the socket waits to be taken (take_accepted) and the peer's address
  // and port are in accepted_ip() and accepted_port().
  int accept_pending(int wait_ms = kReadyWaitMs);
  // Hands the socket accept_pending took to the caller; the listener
  // keeps no hold on it.
  int take_accepted() {
    const int fd = socket;
    socket = -1;
    return fd;
  }
  // The last accepted peer's address, four parts in dotted order.
  const int32_t* accepted_ip() const { return peer_ip; }
  int32_t accepted_port() const { return peer_port; }
  // The address of accepted_ip(), as an IpAddress.
  IpAddress peer_address() const;
  // The listening socket, -1 when none.
  int listening_socket() const { return listen_socket; }
  // The last start_listening bound the port but could not listen on it.
  bool listen_failed() const { return listen_state == -1; }
  // The port actually bound, or -1.
  int bound_port() const;
  // Error code (errno, or Winsock's) of the last failed socket, bind,
  // listen or accept, for the event log.
  int last_error() const { return last_error_; }

 private:
  int last_error_ = 0;
};

}  // namespace net

#endif  // NET_LISTENER_H_
