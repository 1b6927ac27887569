#include "ops/request_gate.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>

#include "net/socket_ops.h"
#include "platform/wake_up.h"

namespace ops {
namespace {

static_assert(1 + RequestGate::kMaxWaiting <= net::kMaxPollEntries, "one readiness wait");

// Sockets admitted but not yet taken by the gate thread; beyond them a
// newcomer is closed at once.
constexpr size_t kMaxAdmitted = 64;

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

int RequestGate::request_state(const std::string& bytes) {
  size_t end = bytes.find("\r\n\r\n");
  size_t head = end == std::string::npos ? std::string::npos : end + 4;
  if (head == std::string::npos) {
    end = bytes.find("\n\n");
    head = end == std::string::npos ? std::string::npos : end + 2;
  }
  if (head == std::string::npos) return bytes.size() >= kMaxRequestBytes ? -1 : 0;
  const std::string headers = lower(bytes.substr(0, head));
  // Only GET and HEAD are served: a body is taken when its length is
  // given, never in chunks of unknown number.
  if (headers.find("\ntransfer-encoding:") != std::string::npos) return -1;
  size_t body = 0;
  const size_t length = headers.find("\ncontent-length:");
  if (length != std::string::npos) {
    const char* digits = headers.c_str() + length + 16;
    while (*digits == ' ' || *digits == '\t') ++digits;
    char* after = nullptr;
    const unsigned long long n = std::strtoull(digits, &after, 10);
    if (after == digits || n > kMaxRequestBytes) return -1;
    body = static_cast<size_t>(n);
  }
  if (head + body > kMaxRequestBytes) return -1;
  return bytes.size() >= head + body ? 1 : 0;
}

RequestGate::RequestGate(Serve serve) : serve_(std::move(serve)) {
  wake_fd_ = platform::make_wake_fd();
  admitted_.reserve(kMaxAdmitted);
  for (Waiting& waiting : waiting_) waiting.bytes.reserve(kMaxRequestBytes);
  thread_ = std::thread([this] { run(); });
}

RequestGate::~RequestGate() { stop(); }

void RequestGate::stop() {
  running_.store(false, std::memory_order_release);
  platform::wake(wake_fd_);
  if (thread_.joinable()) thread_.join();
  for (Waiting& waiting : waiting_) drop(waiting);
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& admitted : admitted_) net::close_fd(admitted.first);
  admitted_.clear();
  platform::close_wake_fd(wake_fd_);
  wake_fd_ = -1;
}

void RequestGate::admit(int fd) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (running_.load(std::memory_order_acquire) && admitted_.size() < kMaxAdmitted) {
      admitted_.emplace_back(fd, now_ms());
      fd = -1;
    }
  }
  if (fd >= 0) {
    net::close_fd(fd);
    return;
  }
  platform::wake(wake_fd_);
}

void RequestGate::drop(Waiting& waiting) {
  if (waiting.fd < 0) return;
  net::close_fd(waiting.fd);
  waiting.fd = -1;
  waiting.bytes.clear();
}

void RequestGate::take_admitted(int64_t now) {
  std::vector<std::pair<int, int64_t>> taken;
  {
    std::lock_guard<std::mutex> guard(lock_);
    taken.swap(admitted_);
    admitted_.reserve(kMaxAdmitted);
  }
  for (const auto& [fd, accepted_ms] : taken) {
    net::set_nonblocking(fd);
    Waiting* place = nullptr;
    for (Waiting& waiting : waiting_) {
      if (waiting.fd < 0) {
        place = &waiting;
        break;
      }
    }
    if (place == nullptr) {
      // Full: the connection that has waited longest gives way. An honest
      // request is all there within a round trip, so it is never that one.
      place = &*std::min_element(
          waiting_.begin(), waiting_.end(),
          [](const Waiting& a, const Waiting& b) { return a.accepted_ms < b.accepted_ms; });
      drop(*place);
    }
    place->fd = fd;
    place->accepted_ms = accepted_ms;
    place->first_byte_ms = -1;
    place->bytes.clear();
    read_some(*place, now);
  }
}

void RequestGate::read_some(Waiting& waiting, int64_t now) {
  char buffer[4096];
  for (;;) {
    const int n = net::recv_nb(waiting.fd, reinterpret_cast<uint8_t*>(buffer), sizeof buffer);
    if (n == net::kIoWouldBlock) break;
    if (n <= 0) {
      drop(waiting);  // closed or failed before its request was whole
      return;
    }
    if (waiting.first_byte_ms < 0) waiting.first_byte_ms = now;
    waiting.bytes.append(buffer, static_cast<size_t>(n));
    if (waiting.bytes.size() > kMaxRequestBytes) break;
  }
  const int state = request_state(waiting.bytes);
  if (state < 0) {
    drop(waiting);
    return;
  }
  if (state == 0) return;
  const int fd = waiting.fd;
  std::string request;
  request.swap(waiting.bytes);
  waiting.fd = -1;
  waiting.bytes.reserve(kMaxRequestBytes);
  serve_(fd, std::move(request));
}

void RequestGate::run() {
  while (running_.load(std::memory_order_acquire)) {
    const int64_t now = now_ms();
    // Each connection's time runs from its first byte, or from its accept
    // while none came.
    int64_t next_due = -1;
    for (Waiting& waiting : waiting_) {
      if (waiting.fd < 0) continue;
      const int64_t from = waiting.first_byte_ms >= 0 ? waiting.first_byte_ms : waiting.accepted_ms;
      const int64_t due = from + kRequestWaitMs;
      if (due <= now) {
        drop(waiting);
      } else if (next_due < 0 || due < next_due) {
        next_due = due;
      }
    }
    net::PollEntry entries[1 + kMaxWaiting];
    Waiting* owner[1 + kMaxWaiting] = {};
    int count = 0;
    entries[count++] = {wake_fd_, net::kPollIn, 0};
    for (Waiting& waiting : waiting_) {
      if (waiting.fd < 0) continue;
      owner[count] = &waiting;
      entries[count++] = {waiting.fd, net::kPollIn, 0};
    }
    const int timeout = next_due < 0 ? -1 : static_cast<int>(next_due - now);
    if (net::poll_many(entries, count, timeout) < 0) continue;
    const int64_t after = now_ms();
    for (int e = 1; e < count; ++e) {
      if ((entries[e].ready & net::kPollIn) != 0 && owner[e]->fd >= 0) {
        read_some(*owner[e], after);
      }
    }
    if ((entries[0].ready & net::kPollIn) != 0) {
      platform::drain_wake(wake_fd_);
      take_admitted(after);
    }
  }
}

}  // namespace ops
