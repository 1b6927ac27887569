// A stand-in upstream server for tests: listens on 127.0.0.1 on a free
// port, accepts one lobby connection at a time, and keeps every byte the
// lobby sent along with the decoded message lines. It reads only inside its
// own calls, and only while reading is on, so a test can play a server that
// stops reading and let the kernel buffers fill. Every wait is bounded.
#ifndef TESTS_SUPPORT_UPSTREAM_PEER_H_
#define TESTS_SUPPORT_UPSTREAM_PEER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "upstream/upstream_decoder.h"

namespace test_support {

class UpstreamPeer {
 public:
  UpstreamPeer() = default;
  ~UpstreamPeer();
  UpstreamPeer(const UpstreamPeer&) = delete;
  UpstreamPeer& operator=(const UpstreamPeer&) = delete;

  // Starts listening, on `port` (0 for a free one). A `recv_buffer_bytes`
  // above 0 shrinks the receive buffer of the connections it accepts (set
  // before listening, so the advertised window is small from the handshake
  // on). 0 or -1.
  int start(int recv_buffer_bytes = 0, int port = 0);
  int port() const { return port_; }

  // Waits up to `timeout_ms` for a lobby to connect. A previous connection
  // is closed and its bytes and lines are forgotten.
  bool accept_within(int timeout_ms);
  bool connected() const { return conn_fd_ >= 0; }

  // Reading is on from the start. Turned off, nothing is read and the
  // lobby's bytes stay in the kernel buffers.
  void set_reading(bool on) { reading_ = on; }

  // Reads what has arrived, without waiting (nothing while reading is off).
  void read_available();
  // Read until the condition holds or `timeout_ms` passes; the result tells
  // whether it holds.
  bool wait_for_bytes(size_t count, int timeout_ms);
  bool wait_for_lines(size_t count, int timeout_ms);
  // Until the lobby closed its end.
  bool wait_for_close(int timeout_ms);
  // Reads for `quiet_ms` and tells whether nothing new arrived meanwhile.
  bool stays_quiet(int quiet_ms);

  // Sends without blocking; the number of bytes the kernel took (0 when it
  // took none), or -1 when the connection failed.
  int send_bytes(const uint8_t* bytes, int length);

  // Everything read from the current connection, and its decoded lines.
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  const std::vector<std::string>& lines() const { return lines_; }
  bool remote_closed() const { return remote_closed_; }

  void close_connection();
  void stop();

 private:
  // Reads for up to `wait_ms`; returns once something was read, or at once
  // when the connection is gone.
  void read_for(int wait_ms);

  int listen_fd_ = -1;
  int conn_fd_ = -1;
  int port_ = -1;
  bool reading_ = true;
  bool remote_closed_ = false;
  upstream::UpstreamDecoder decoder_;
  std::vector<uint8_t> bytes_;
  std::vector<std::string> lines_;
};

}  // namespace test_support

#endif  // TESTS_SUPPORT_UPSTREAM_PEER_H_
