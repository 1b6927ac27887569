#include "bench/admin_relay.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "net/unix_socket.h"
#include "platform/wake_up.h"

namespace bench {
namespace {

constexpr int kBacklog = 64;
constexpr int kChunkBytes = 16384;
constexpr int kPollMs = 1000;

}  // namespace

AdminRelay::~AdminRelay() { stop(); }

int AdminRelay::start(const std::string& path, const std::string& target, std::string* error) {
  int code = 0;
  listen_fd_ = net::unix_listen(path.c_str(), kBacklog, &code);
  if (listen_fd_ < 0) {
    *error = "cannot listen at " + path + ": " + net::error_text(code);
    return -1;
  }
  wake_fd_ = platform::make_wake_fd();
  if (wake_fd_ < 0) {
    *error = "cannot make a wake-up descriptor";
    net::close_fd(listen_fd_);
    listen_fd_ = -1;
    return -1;
  }
  path_ = path;
  target_ = target;
  running_.store(true, std::memory_order_release);
  thread_ = std::thread([this] { run(); });
  return 0;
}

void AdminRelay::stop() {
  if (!thread_.joinable()) return;
  running_.store(false, std::memory_order_release);
  platform::wake(wake_fd_);
  thread_.join();
  for (Pair& pair : pairs_) close_pair(pair);
  net::close_fd(listen_fd_);
  platform::close_wake_fd(wake_fd_);
  listen_fd_ = wake_fd_ = -1;
  unlink(path_.c_str());
}

void AdminRelay::run() {
  while (running_.load(std::memory_order_acquire)) {
    net::PollEntry entries[net::kMaxPollEntries];
    int count = 0;
    entries[count++] = {wake_fd_, net::kPollIn, 0};
    // A full relay leaves newcomers in the listen queue until a pair ends.
    const bool room = std::any_of(std::begin(pairs_), std::end(pairs_),
                                  [](const Pair& pair) { return pair.client < 0; });
    const int listen_entry = room ? count : -1;
    if (room) entries[count++] = {listen_fd_, net::kPollIn, 0};
    int first_of[kMaxPairs];
    for (int i = 0; i < kMaxPairs; ++i) {
      const Pair& pair = pairs_[i];
      first_of[i] = -1;
      if (pair.client < 0) continue;
      first_of[i] = count;
      entries[count++] = {pair.client, net::kPollIn | (pair.to_client.empty() ? 0 : net::kPollOut),
                          0};
      entries[count++] = {pair.lobby, net::kPollIn | (pair.to_lobby.empty() ? 0 : net::kPollOut),
                          0};
    }
    if (net::poll_many(entries, count, kPollMs) <= 0) continue;
    if (entries[0].ready != 0) platform::drain_wake(wake_fd_);
    for (int i = 0; i < kMaxPairs; ++i) {
      if (first_of[i] < 0) continue;
      Pair& pair = pairs_[i];
      const net::PollEntry& client = entries[first_of[i]];
      const net::PollEntry& lobby = entries[first_of[i] + 1];
      bool open = true;
      if (client.ready & net::kPollIn) open = pass(pair.client, pair.lobby, &pair.to_lobby, true);
      if (open && (lobby.ready & net::kPollIn)) {
        open = pass(pair.lobby, pair.client, &pair.to_client, false);
      }
      if (open && (client.ready & net::kPollOut)) open = flush(pair.client, &pair.to_client);
      if (open && (lobby.ready & net::kPollOut)) open = flush(pair.lobby, &pair.to_lobby);
      if (!open) close_pair(pair);
    }
    if (listen_entry >= 0 && entries[listen_entry].ready != 0) accept_one();
  }
}

void AdminRelay::accept_one() {
  const int client = net::unix_accept(listen_fd_);
  if (client < 0) return;
  const int lobby = net::unix_connect(target_.c_str());
  if (lobby < 0) {
    // The lobby does not answer: neither does the relay.
    net::close_fd(client);
    return;
  }
  for (Pair& pair : pairs_) {
    if (pair.client >= 0) continue;
    pair.client = client;
    pair.lobby = lobby;
    connections_.fetch_add(1, std::memory_order_release);
    return;
  }
}

bool AdminRelay::pass(int from, int to, std::string* pending, bool count_lines) {
  uint8_t buffer[kChunkBytes];
  const int received = net::recv_nb(from, buffer, sizeof buffer);
  if (received == net::kIoWouldBlock) return true;
  if (received <= 0) return false;
  if (count_lines) {
    commands_.fetch_add(std::count(buffer, buffer + received, '\n'), std::memory_order_release);
  }
  pending->append(reinterpret_cast<const char*>(buffer), received);
  return flush(to, pending);
}

bool AdminRelay::flush(int to, std::string* pending) {
  while (!pending->empty()) {
    const int sent = net::send_nb(to, reinterpret_cast<const uint8_t*>(pending->data()),
                                  static_cast<int>(pending->size()));
    if (sent == net::kIoWouldBlock) return true;
    if (sent < 0) return false;
    pending->erase(0, sent);
  }
  return true;
}

void AdminRelay::close_pair(Pair& pair) {
  if (pair.client < 0) return;
  net::close_fd(pair.client);
  net::close_fd(pair.lobby);
  pair = Pair{};
}

}  // namespace bench
