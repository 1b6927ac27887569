#include "ops/admin_client.h"

#include <chrono>
#include <cstring>

#include "net/local_stream.h"

namespace ops {
namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

AdminClient::~AdminClient() { close(); }

bool AdminClient::connect_to(const std::string& path, std::string* error) {
  close();
  int failed = 0;
  fd_ = net::local_connect(path.c_str(), &failed);
  if (fd_ < 0) {
    *error =
        "cannot connect to " + net::local_address(path.c_str()) + ": " + net::error_text(failed);
    return false;
  }
  return true;
}

bool AdminClient::send_line(const std::string& line, int timeout_ms, std::string* error) {
  const std::string bytes = line + "\n";
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = net::local_send(fd_, reinterpret_cast<const uint8_t*>(bytes.data() + sent),
                                  static_cast<int>(bytes.size() - sent));
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n != net::kIoWouldBlock) {
      *error = "the lobby closed the connection";
      return false;
    }
    const int left = ms_left(deadline);
    net::PollEntry writable = {fd_, net::kPollOut, 0};
    if (left == 0 || net::local_poll(&writable, 1, left) < 0) {
      *error = "the lobby does not take the request";
      return false;
    }
  }
  return true;
}

bool AdminClient::read_line(std::string* line, int timeout_ms, std::string* error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const size_t end = received_.find('\n');
    if (end != std::string::npos) {
      *line = received_.substr(0, end);
      received_.erase(0, end + 1);
      return true;
    }
    uint8_t buffer[4096];
    const int n = net::local_recv(fd_, buffer, sizeof buffer);
    if (n > 0) {
      received_.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || n == net::kIoError) {
      *error = "the lobby closed the connection";
      return false;
    }
    const int left = ms_left(deadline);
    if (left == 0) {
      *error = "no reply from the lobby";
      return false;
    }
    net::PollEntry readable = {fd_, net::kPollIn, 0};
    net::local_poll(&readable, 1, left);
  }
}

bool AdminClient::request(const std::string& line, std::string* reply, int timeout_ms,
                          std::string* error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  if (!send_line(line, timeout_ms, error)) {
    // A lobby that turns a connection away (too many of them) writes why
    // and closes it, which can come before the request is sent: the
    // reason is there to read all the same.
    std::string ignored;
    return read_line(reply, 0, &ignored);
  }
  return read_line(reply, ms_left(deadline), error);
}

void AdminClient::close() {
  net::local_close(fd_);
  fd_ = -1;
  received_.clear();
}

bool ask_lobby(const std::string& path, const std::string& line, std::string* reply, int timeout_ms,
               std::string* error) {
  AdminClient client;
  return client.connect_to(path, error) && client.request(line, reply, timeout_ms, error);
}

}  // namespace ops
