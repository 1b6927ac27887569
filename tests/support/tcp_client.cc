#include "tests/support/tcp_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace testing_support {
namespace {

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - std::chrono::steady_clock::now())
                  .count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

TcpClient::~TcpClient() { close(); }

TcpClient::TcpClient(TcpClient&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

TcpClient& TcpClient::operator=(TcpClient&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool TcpClient::connect_to(int port, int recv_buffer) {
  return open_and_connect(nullptr, port, recv_buffer);
}

bool TcpClient::connect_from(const std::string& source, int port, int recv_buffer) {
  return open_and_connect(source.c_str(), port, recv_buffer);
}

bool TcpClient::open_and_connect(const char* source, int port, int recv_buffer) {
  close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  if (recv_buffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &recv_buffer, sizeof recv_buffer);
  if (source != nullptr) {
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close();
      return false;
    }
  }
  // Each write leaves at once, as a game client's would.
  int on = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close();
    return false;
  }
  return true;
}

bool TcpClient::send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string TcpClient::read_exact(size_t n, int timeout_ms) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buffer[4096];
  while (out.size() < n) {
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, remaining_ms(deadline));
    if (ready <= 0) break;
    size_t want = n - out.size();
    ssize_t got = ::recv(fd_, buffer, want < sizeof buffer ? want : sizeof buffer, 0);
    if (got <= 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  return out;
}

std::string TcpClient::read_available() {
  std::string out;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got <= 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  return out;
}

bool TcpClient::wait_closed(int timeout_ms, std::string* before) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buffer[4096];
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, remaining_ms(deadline));
    if (ready <= 0) return false;
    ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got == 0) return true;
    if (got < 0) return errno == ECONNRESET || errno == EPIPE;
    if (before != nullptr) before->append(buffer, static_cast<size_t>(got));
  }
}

void TcpClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TcpClient::reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close();
}

}  // namespace testing_support
