// A raw game client for tests: a blocking-free TCP socket on 127.0.0.1 with
// bounded reads.
#ifndef TESTS_SUPPORT_TCP_CLIENT_H_
#define TESTS_SUPPORT_TCP_CLIENT_H_

#include <string>

namespace testing_support {

class TcpClient {
 public:
  TcpClient() = default;
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;
  TcpClient(TcpClient&& other) noexcept;
  TcpClient& operator=(TcpClient&& other) noexcept;

  // Connects to 127.0.0.1:port; false on failure. A receive buffer size
  // above 0 is set before connecting.
  bool connect_to(int port, int recv_buffer = 0);
  // Connects to 127.0.0.1:port from the loopback address `source` (such as
  // "127.0.0.2"), so that the server sees another peer address.
  bool connect_from(const std::string& source, int port, int recv_buffer = 0);
  bool send(const std::string& bytes);
  // Reads exactly n bytes, waiting at most timeout_ms in all. Returns what
  // arrived (shorter on time-out or end of stream).
  std::string read_exact(size_t n, int timeout_ms = 3000);
  // Whatever is readable right now, without waiting.
  std::string read_available();
  // True when the stream ends (EOF or reset) within timeout_ms; bytes that
  // arrive before the end are collected into *before when given.
  bool wait_closed(int timeout_ms = 3000, std::string* before = nullptr);
  void close();
  // Closes with a reset instead of an orderly end.
  void reset();
  int fd() const { return fd_; }

 private:
  bool open_and_connect(const char* source, int port, int recv_buffer);

  int fd_ = -1;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_TCP_CLIENT_H_
