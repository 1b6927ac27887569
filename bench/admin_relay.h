// Stands between the clients of a lobby's admin socket and the socket
// itself, passing bytes both ways and counting what the lobby is asked:
// connections and command lines. It shows how often an exporter asks each
// lobby, without a change to the lobby. Its own thread after start(); the
// counts may be read from any thread.
#ifndef BENCH_ADMIN_RELAY_H_
#define BENCH_ADMIN_RELAY_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "net/socket_ops.h"

namespace bench {

class AdminRelay {
 public:
  AdminRelay() = default;
  // Stops the relay.
  ~AdminRelay();
  AdminRelay(const AdminRelay&) = delete;
  AdminRelay& operator=(const AdminRelay&) = delete;

  // Listens at `path` and passes each connection on to the socket at
  // `target`. 0, or -1 with `*error` set.
  int start(const std::string& path, const std::string& target, std::string* error);
  // Ends the thread, closes every connection and removes the socket file.
  void stop();

  // Connections passed on to the lobby, and command lines sent to it.
  int64_t connections() const { return connections_.load(std::memory_order_acquire); }
  int64_t commands() const { return commands_.load(std::memory_order_acquire); }

 private:
  struct Pair {
    int client = -1;
    int lobby = -1;
    std::string to_lobby;
    std::string to_client;
  };
  // The wake-up and listening descriptors, then two per pair.
  static constexpr int kMaxPairs = (net::kMaxPollEntries - 2) / 2;

  void run();
  void accept_one();
  // Moves what `from` sends into `*pending` and on to `to`; false once
  // either side has closed or failed.
  bool pass(int from, int to, std::string* pending, bool count_lines);
  static bool flush(int to, std::string* pending);
  static void close_pair(Pair& pair);

  std::string path_;
  std::string target_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::atomic<bool> running_{false};
  std::thread thread_;
  Pair pairs_[kMaxPairs];  // the relay thread's alone
  // Atomic: written by the relay thread, read by any.
  std::atomic<int64_t> connections_{0};
  std::atomic<int64_t> commands_{0};
};

}  // namespace bench

#endif  // BENCH_ADMIN_RELAY_H_
