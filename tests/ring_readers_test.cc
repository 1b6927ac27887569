// The chat ring and the room-notice ring never lap a reader, over real TCP
// with the server's clock driven by hand: a writer that would overwrite an
// entry some reader has not looked at waits, with the rest of its input,
// until the reader moves on; a reader that does not move for 1 s of clock
// time while a writer waits, or whose socket and queue are full, is dropped
// as "not reading", and the writer goes on. A worker stalled by a test hook
// stands in for a reader that never moves.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/lobby_server_fixture.h"
#include "tests/support/message_reader.h"

namespace {

using testing_support::TcpClient;
namespace w = test_wire;

// The worker a test stalls at the start of its passes (-1: none), and
// whether it is held there now.
std::atomic<int> stalled_worker{-1};
std::atomic<bool> in_stall{false};

void stall_hook(int worker) {
  while (stalled_worker.load() == worker) {
    in_stall.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  in_stall.store(false);
}

// Everything one client received, cut into messages.
struct Inbox {
  TcpClient tcp;
  std::string pending;
  std::vector<std::string> messages;
  bool closed = false;

  void take() {
    std::string got = tcp.read_available();
    if (got.empty() && !closed && peer_closed()) closed = true;
    pending += got;
    for (;;) {
      const int length = testing_support::lobby_message_length(pending);
      if (length <= 0 || pending.size() < static_cast<size_t>(length)) break;
      messages.push_back(pending.substr(0, static_cast<size_t>(length)));
      pending.erase(0, static_cast<size_t>(length));
    }
  }
  bool peer_closed() {
    pollfd p{tcp.fd(), POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    char byte;
    return ::recv(tcp.fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }
  // The values of the chat lines received, in order.
  std::vector<int32_t> chat_values() const {
    std::vector<int32_t> values;
    for (const std::string& m : messages) {
      if (m[1] != 'C') continue;
      values.push_back(static_cast<int32_t>(
          static_cast<uint8_t>(m[2]) | static_cast<uint8_t>(m[3]) << 8 |
          static_cast<uint8_t>(m[4]) << 16 | static_cast<uint8_t>(m[5]) << 24));
    }
    return values;
  }
  int count(char letter) const {
    int n = 0;
    for (const std::string& m : messages) n += m[1] == letter ? 1 : 0;
    return n;
  }
};

// Chat line values: the sender's number times kLinesEach plus the line's.
constexpr int32_t kLinesEach = 1000;

class RingReadersTest : public testing_support::LobbyServerTest {
 protected:
  RingReadersTest() { lobby::set_worker_pass_hook(stall_hook); }
  ~RingReadersTest() override { lobby::set_worker_pass_hook(nullptr); }
  void TearDown() override {
    stalled_worker.store(-1);
    LobbyServerTest::TearDown();
  }

  // Connects from `source` (a loopback address), logs in and reads the
  // reply up to the first group count. A receive buffer above 0 is set.
  Inbox* join(int32_t id, int32_t key, const std::string& source = "127.0.0.1",
              int recv_buffer = 0) {
    inboxes.push_back(std::make_unique<Inbox>());
    Inbox* in = inboxes.back().get();
    const bool connected = in->tcp.connect_from(source, port, recv_buffer);
    EXPECT_TRUE(connected) << source;
    settle(2);
    in->tcp.send(w::enter(id, "u" + std::to_string(id), key));
    settle(2);
    in->take();
    in->messages.clear();
    return in;
  }

  // Stalls worker `k` at the start of its next pass and waits until it is.
  void stall(int k) {
    stalled_worker.store(k);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!in_stall.load()) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "worker " << k << " never stalled";
      server->poke();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  void release() { stalled_worker.store(-1); }

  // Lets every thread but the stalled worker make a few passes, then takes
  // what arrived for every client.
  void settle_others() {
    for (int round = 0; round < 3; ++round) {
      const int64_t accept = server->accept_passes();
      int64_t start[lobby::kMaxRooms] = {};
      for (int k = 0; k < lobby().room_limit(); ++k) start[k] = server->worker_passes(k);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      for (;;) {
        bool done = server->accept_passes() > accept;
        for (int k = 0; k < lobby().room_limit(); ++k) {
          if (k != stalled_worker.load()) done = done && server->worker_passes(k) > start[k];
        }
        if (done) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "server made no progress";
        server->poke();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      take_all();
    }
  }

  void take_all() {
    for (auto& in : inboxes) in->take();
  }

  // Takes input for everyone until `done` holds; false after 60 s (a bound
  // for sanitizer builds on a busy machine, not a timing).
  template <typename Done>
  bool collect_until(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::vector<pollfd> fds;
      for (auto& in : inboxes) {
        if (!in->closed) fds.push_back({in->tcp.fd(), POLLIN, 0});
      }
      ::poll(fds.data(), fds.size(), 5);
      take_all();
    }
    return true;
  }

  // `count` lines of sender `n` in one write: values n * kLinesEach + i,
  // each `text_bytes` long.
  static std::string burst(int n, int count, int text_bytes = 8) {
    std::string lines;
    for (int i = 0; i < count; ++i) {
      lines += w::chat(n * kLinesEach + i, std::string(static_cast<size_t>(text_bytes), 'x'));
    }
    return lines;
  }
  static std::vector<int32_t> values(int n, int count) {
    std::vector<int32_t> v;
    for (int i = 0; i < count; ++i) v.push_back(n * kLinesEach + i);
    return v;
  }

  std::vector<std::unique_ptr<Inbox>> inboxes;
};

// A reader whose worker is stalled keeps a chat writer of another worker
// waiting once the ring is full for it: 1,023 lines pass, then nothing,
// for 999 ms of clock time; at 1,000 ms the reader is given up and the
// rest follow at once, every line to every reader, in order. The stalled
// reader is dropped as not reading when its worker goes on.
TEST_F(RingReadersTest, AReaderThatDoesNotMoveForOneSecondIsDroppedAndTheWriterGoesOn) {
  settings.ROOM = 2;
  start();
  std::vector<Inbox*> readers;
  for (int i = 0; i < lobby::kSlotsPerWorker; ++i) readers.push_back(join(i + 1, 5));
  Inbox* stuck = join(50, 9);  // slot 8: worker 1
  ASSERT_TRUE(lobby().slots[8].is_open());
  ASSERT_NO_FATAL_FAILURE(stall(1));

  constexpr int kLines = 1100;
  constexpr int kRoom = lobby::kChatRingSize - 1;
  readers[0]->tcp.send(burst(0, kLines) + w::room_op(7));
  ASSERT_TRUE(collect_until([&] { return readers[7]->count('C') == kRoom; }));
  settle_others();
  clock.advance_ms(999);
  settle_others();
  for (Inbox* r : readers) EXPECT_EQ(kRoom, r->count('C'));
  // The writer's other messages wait behind its line.
  EXPECT_EQ(0, readers[0]->count('S'));
  EXPECT_EQ(0, drops(lobby::kDropNotReading));

  clock.advance_ms(1);
  ASSERT_TRUE(collect_until([&] {
    for (Inbox* r : readers) {
      if (r->count('C') < kLines) return false;
    }
    return readers[0]->count('S') == 1;
  }));
  for (Inbox* r : readers) EXPECT_EQ(values(0, kLines), r->chat_values());
  EXPECT_FALSE(stuck->closed);

  release();
  ASSERT_TRUE(collect_until([&] { return stuck->closed; }));
  EXPECT_EQ(0, stuck->count('C'));
  EXPECT_EQ(1, drops(lobby::kDropNotReading));
  EXPECT_EQ(1u, events.starting("drop slot 8 user 50: not reading").size());
  settle();
  take_all();
  for (Inbox* r : readers) EXPECT_FALSE(r->closed);
}

// The same for room operations and the notice ring, whose last 32 entries
// are kept for the drops: a hopper of group 6 making and leaving rooms
// gets 495 rooms made (990 notices) past a stalled reader, then waits, and
// so does a member of group 5 who makes a room meanwhile; at 1 s the
// reader is given up and everything follows, each notice to its group.
TEST_F(RingReadersTest, RoomOperationsWaitForAStalledReaderForOneSecond) {
  settings.ROOM = 2;
  start();
  Inbox* hopper = join(1, 6);
  Inbox* host = join(2, 5);
  Inbox* watcher = join(3, 5);
  for (int i = 3; i < lobby::kSlotsPerWorker; ++i) join(10 + i, 7);
  Inbox* stuck = join(50, 9);  // slot 8: worker 1
  ASSERT_NO_FATAL_FAILURE(stall(1));

  // In rounds of 15, each answered before the next: more at once would
  // overflow the hopper's own queue with replies.
  constexpr int kRound = 15;
  constexpr int kRounds = 40;
  constexpr int kHops = kRound * kRounds;
  constexpr int kHopsBeforeWait = 495;
  std::string hops;
  for (int i = 0; i < kRound; ++i) hops += w::room_op(-1) + w::room_op(-2);
  for (int made = 0; made < kHopsBeforeWait; made += kRound) {
    hopper->tcp.send(hops);
    ASSERT_TRUE(collect_until([&] { return hopper->count('M') == made + kRound; }))
        << hopper->count('M');
  }
  hopper->tcp.send(hops);
  host->tcp.send(w::room_op(-1));
  settle_others();
  clock.advance_ms(999);
  settle_others();
  EXPECT_EQ(kHopsBeforeWait, hopper->count('M'));
  EXPECT_EQ(0, host->count('M'));
  EXPECT_EQ(0, watcher->count('R'));

  clock.advance_ms(1);
  for (int made = kHopsBeforeWait + kRound; made <= kHops; made += kRound) {
    ASSERT_TRUE(collect_until([&] { return hopper->count('M') == made; })) << hopper->count('M');
    if (made < kHops) hopper->tcp.send(hops);
  }
  ASSERT_TRUE(collect_until([&] { return host->count('M') == 1; }));
  settle_others();
  // Each group hears its own rooms only: the hopper every room it made and
  // left (made in room 0 or 1, whichever the host does not hold), the host
  // and the watcher the host's room.
  EXPECT_EQ(kHops, hopper->count('R'));
  EXPECT_EQ(kHops, hopper->count('Q'));
  for (Inbox* in : {host, watcher}) {
    EXPECT_EQ(1, in->count('R'));
    EXPECT_EQ(0, in->count('Q'));
  }
  EXPECT_EQ(0, drops(lobby::kDropNotReading));
  release();
  ASSERT_TRUE(collect_until([&] { return stuck->closed; }));
  EXPECT_EQ(1, drops(lobby::kDropNotReading));
}

// 22 clients of group 8 from three addresses, each bursting 100 lines at
// once (2,200 lines, twice the ring), while group 5 chats on workers
// the bursts do not wake (slots 22 to 27): every line of both groups
// reaches every member, in order, and nobody is dropped. A client of group
// 8 that never reads sits among the bursters with a small receive buffer:
// it is the one dropped, as not reading, and nobody waits a second for it
// (the clock does not move).
TEST_F(RingReadersTest, OtherGroupsBurstsPastTheRingCostNoReaderALine) {
  // The non-reader's socket buffers, 4 KiB each way, soon fill.
  settings.test_send_buffer = 4096;
  settings.test_send_buffer_from = 0x7f000009;  // 127.0.0.9
  start();
  constexpr int kBursters = 22;
  constexpr int kBurst = 100;
  constexpr int kHonest = 6;
  std::vector<Inbox*> bursters;
  for (int i = 0; i < kBursters; ++i) {
    bursters.push_back(join(100 + i, 8, "127.0.0." + std::to_string(2 + i % 3)));
  }
  std::vector<Inbox*> honest;
  for (int i = 0; i < kHonest; ++i) honest.push_back(join(200 + i, 5));
  Inbox* never = join(300, 8, "127.0.0.9", 4096);
  ASSERT_TRUE(lobby().slots[28].is_open());

  // The bursts, with a line of group 5 after every third burster.
  int honest_lines = 0;
  for (int i = 0; i < kBursters; ++i) {
    bursters[static_cast<size_t>(i)]->tcp.send(burst(i, kBurst, wire::kMaxChatText));
    if (i % 3 == 2) {
      honest[static_cast<size_t>(honest_lines % kHonest)]->tcp.send(
          w::chat(kBursters * kLinesEach + honest_lines, "honest"));
      ++honest_lines;
    }
  }
  ASSERT_TRUE(collect_until([&] {
    for (Inbox* b : bursters) {
      if (b->count('C') < kBursters * kBurst) return false;
    }
    for (Inbox* h : honest) {
      if (h->count('C') < honest_lines) return false;
    }
    return never->closed;
  })) << "honest lines "
      << honest[kHonest - 1]->count('C') << " of " << honest_lines << ", burster lines "
      << bursters[0]->count('C') << ", non-reader closed " << never->closed << ", drops "
      << drops(lobby::kDropNotReading);
  // The honest senders are served by different workers: their lines reach
  // everyone in the one order the ring has them.
  std::vector<int32_t> sorted = honest[0]->chat_values();
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(values(kBursters, honest_lines), sorted);
  for (Inbox* h : honest) EXPECT_EQ(honest[0]->chat_values(), h->chat_values());
  for (Inbox* b : bursters) {
    // Each burster's lines in the order sent, all of them.
    std::vector<int> next(kBursters, 0);
    for (int32_t v : b->chat_values()) {
      const int n = v / kLinesEach;
      ASSERT_TRUE(n >= 0 && n < kBursters) << v;
      ASSERT_EQ(n * kLinesEach + next[static_cast<size_t>(n)], v);
      ++next[static_cast<size_t>(n)];
    }
    for (int n : next) EXPECT_EQ(kBurst, n);
  }
  EXPECT_EQ(1, drops(lobby::kDropNotReading));
  EXPECT_EQ(1u, events.starting("drop slot 28 user 300: not reading").size());
  for (int reason = 0; reason < lobby::kDropReasons; ++reason) {
    if (reason == lobby::kDropNotReading) continue;
    EXPECT_EQ(0, drops(reason)) << reason;
  }
  EXPECT_EQ(0, clock.now_ms());
}

}  // namespace
