#include "net/transport.h"

namespace net {
namespace {

class SocketTransport : public Transport {
 public:
  int recv(int socket, uint8_t* buffer, int size) override { return recv_nb(socket, buffer, size); }
  int sendv(int socket, const IoSlice* slices, int count) override {
    return sendv_nb(socket, slices, count);
  }
  void send_batch(SendJob* jobs, int count) override { sendv_batch(jobs, count); }
  void close(int socket) override {
    shutdown_fd(socket);
    close_fd(socket);
  }
  void abort(int socket) override { abort_fd(socket); }
  int unsent(int socket) override { return unsent_bytes(socket); }
  bool peer_shut(int socket) override { return net::peer_shut(socket); }
};

}  // namespace

Transport* socket_transport() {
  static SocketTransport transport;
  return &transport;
}

}  // namespace net
