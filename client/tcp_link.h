// A client's TCP connection that never blocks after connecting: sends go
// out as far as the kernel takes them and the rest waits in an outbox that
// flush() writes when the socket can take more.
#ifndef CLIENT_TCP_LINK_H_
#define CLIENT_TCP_LINK_H_

#include <cstdint>
#include <string>

namespace client {

// Results of TcpLink calls.
constexpr int kLinkOk = 0;
constexpr int kLinkNoHost = -1;         // the host name did not resolve
constexpr int kLinkConnectFailed = -2;  // refused, unreachable or timed out
constexpr int kLinkClosed = -3;         // the peer closed or the socket failed

class TcpLink {
 public:
  TcpLink() = default;
  ~TcpLink();
  TcpLink(const TcpLink&) = delete;
  TcpLink& operator=(const TcpLink&) = delete;

  // Connects to host:port (a dotted address or a name), giving up after
  // `timeout_ms`, from the local address `source` when one is given (so
  // that one machine can act as several clients' addresses on loopback).
  // Small messages go out at once (no coalescing delay).
  int connect_to(const std::string& host, int port, int timeout_ms, const std::string& source = "");
  // Queues `bytes` and writes what the kernel takes now.
  int send(const std::string& bytes);
  // Writes what waits in the outbox as far as the kernel takes it.
  int flush();
  bool wants_write() const { return !outbox_.empty(); }
  // Bytes queued that the kernel has not taken yet.
  size_t unsent() const { return outbox_.size(); }
  // Appends whatever is readable now to `*into`: kLinkOk (perhaps having
  // read nothing) or kLinkClosed once the stream ended.
  int receive(std::string* into);
  void close();

  int fd() const { return fd_; }
  bool open() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string outbox_;
};

// A TCP port free on every local address at the time of the call, or -1.
int pick_free_port();

}  // namespace client

#endif  // CLIENT_TCP_LINK_H_
