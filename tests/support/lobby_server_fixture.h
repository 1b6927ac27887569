// A real server, in process, on an ephemeral 127.0.0.1 port, with a clock
// the test advances by hand and helpers that wait for the server's own
// passes instead of for time.
#ifndef TESTS_SUPPORT_LOBBY_SERVER_FIXTURE_H_
#define TESTS_SUPPORT_LOBBY_SERVER_FIXTURE_H_

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "lobby/server.h"
#include "tests/support/tcp_client.h"
#include "tests/support/wire.h"

namespace testing_support {

// A clock that moves only when the test says so; each move wakes every
// server thread, which then finds whatever deadline it passed.
class ManualClock : public lobby::Clock {
 public:
  int64_t now_ms() override { return ms_.load(); }
  int ms_until(int64_t deadline_ms) override { return deadline_ms <= ms_.load() ? 0 : -1; }
  void advance() { advance_ms(1000); }
  void advance_ms(int64_t ms) {
    ms_.fetch_add(ms);
    wake_threads();
  }

 private:
  std::atomic<int64_t> ms_{0};
};

// Keeps every event line the server reports. Any thread.
class RecordedEvents : public lobby::LobbyEvents {
 public:
  void event(const char* line) override {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back(line);
  }
  void counts_changed() override {}
  // The lines that start with `prefix`, in the order reported.
  std::vector<std::string> starting(const std::string& prefix) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> found;
    for (const std::string& line : lines_) {
      if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> lines_;  // Guarded by lock_.
};

class LobbyServerTest : public ::testing::Test {
 protected:
  // The protections are off unless a test turns one on.
  LobbyServerTest() {
    settings.L_PORT = 0;
    config::turn_off_protections(&settings);
  }
  void TearDown() override {
    if (server) server->stop();
  }

  void start() {
    server = std::make_unique<lobby::Server>(settings, &clock, &events);
    server->start();
    port = server->wait_listening(10000);
    ASSERT_GT(port, 0);
  }

  lobby::Lobby& lobby() { return server->lobby(); }

  // Room fields, read under the lock that guards them.
  int32_t room_members(int room) {
    platform::MutexLock guard(lobby().lock_rooms);
    return lobby().rooms[room].member_count;
  }
  int32_t seat_slot(int room, int seat) {
    platform::MutexLock guard(lobby().lock_rooms);
    return lobby().rooms[room].seat_slot[seat];
  }

  // The lobby's counts of drops and refusals by reason.
  int64_t drops(int reason) { return lobby().drops[reason].load(); }
  int64_t refusals(int reason) { return lobby().refusals[reason].load(); }
  // Event lines that start with `prefix`.
  size_t logged(const std::string& prefix) { return events.starting(prefix).size(); }

  // Waits until every worker and the accept thread have made `passes` more
  // passes: whatever the server had to say by now has been flushed. Threads
  // sleep until something happens, so each round wakes them.
  void settle(int passes = 3) {
    int64_t accept_start = server->accept_passes();
    int64_t start[lobby::kMaxRooms] = {};
    int workers = lobby().room_limit();
    for (int k = 0; k < workers; ++k) start[k] = server->worker_passes(k);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      bool done = server->accept_passes() >= accept_start + passes;
      for (int k = 0; k < workers; ++k)
        done = done && server->worker_passes(k) >= start[k] + passes;
      if (done) return;
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "server made no progress";
      server->poke();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // Connects and waits until the accept thread has placed the connection.
  TcpClient connect_client() {
    TcpClient client;
    EXPECT_TRUE(client.connect_to(port));
    settle(2);
    return client;
  }

  // Connects, sends name, validation 1 and login, and reads the room list
  // reply up to its end and the group count that follows.
  TcpClient enter(int32_t id, const std::string& name, int32_t key, int32_t seats = 8,
                  int32_t start_size = 8) {
    TcpClient client = connect_client();
    client.send(test_wire::enter(id, name, key, seats, start_size));
    return client;
  }

  // Moves the clock on by `n` seconds, one at a time, and lets every
  // thread see each of them.
  void tick_seconds(int n) {
    for (int i = 0; i < n; ++i) {
      clock.advance();
      settle(1);
    }
  }

  void expect_bytes(TcpClient& client, const std::string& expected) {
    std::string got = client.read_exact(expected.size());
    EXPECT_EQ(test_wire::hex(expected), test_wire::hex(got));
  }

  // After the server's passes, nothing more is waiting for the client.
  void expect_silent(TcpClient& client) {
    settle(3);
    EXPECT_EQ("", test_wire::hex(client.read_available()));
  }

  config::Settings settings;
  ManualClock clock;
  RecordedEvents events;
  std::unique_ptr<lobby::Server> server;
  int port = 0;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_LOBBY_SERVER_FIXTURE_H_
