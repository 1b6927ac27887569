// Faults a lobby in service meets: clients that stop reading, a flood of
// connections beyond its slots, peers that vanish or send garbage, and an
// upstream server that stops reading and then goes away. Each test checks
// that the clients in good standing are served exactly as before, and that
// whatever the fault held (a slot, a group entry, a descriptor) is given
// back.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/lobby_server_fixture.h"
#include "tests/support/message_reader.h"
#include "tests/support/upstream_peer.h"

namespace {

using testing_support::ChildProcess;
using testing_support::ChildStdio;
using testing_support::LobbyServerTest;
using testing_support::TcpClient;
using testing_support::TempDir;
namespace w = test_wire;
using SteadyClock = std::chrono::steady_clock;

int64_t ms_since(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

// A chat line's text: sender and sequence number, padded to the longest
// text a line may carry (80 bytes in all), so that lines fill buffers fast.
std::string line_text(int sender, int seq) {
  char head[32];
  std::snprintf(head, sizeof head, "from %d line %03d ", sender, seq);
  std::string text(head);
  text.resize(73, '.');
  return text;
}

// A client whose stream the test cuts into whole messages as it arrives.
class Inbox {
 public:
  explicit Inbox(TcpClient c) : client(std::move(c)) {}

  // Takes whatever has arrived, without waiting.
  void collect() { take(client.read_available()); }
  void take(const std::string& bytes) {
    pending_ += bytes;
    for (;;) {
      const int length = testing_support::lobby_message_length(pending_);
      if (length == 0) {  // not a message: kept whole, so that the test shows it
        messages_.push_back(pending_);
        pending_.clear();
        return;
      }
      if (length < 0 || pending_.size() < static_cast<size_t>(length)) return;
      messages_.push_back(pending_.substr(0, static_cast<size_t>(length)));
      pending_.erase(0, static_cast<size_t>(length));
    }
  }
  void forget() { messages_.clear(); }

  // The texts of the chat lines received, in order.
  std::vector<std::string> chat_texts() const {
    std::vector<std::string> texts;
    for (const std::string& m : messages_) {
      if (m[1] == 'C') texts.push_back(m.substr(7));
    }
    return texts;
  }
  // Every message that is neither a chat line nor a group count, in hex.
  std::vector<std::string> others() const {
    std::vector<std::string> rest;
    for (const std::string& m : messages_) {
      if (m[1] != 'C' && m[1] != 'H') rest.push_back(w::hex(m));
    }
    return rest;
  }

  TcpClient client;

 private:
  std::string pending_;
  std::vector<std::string> messages_;
};

class FaultTest : public LobbyServerTest {
 protected:
  // Connects (with a receive buffer of `recv_buffer` bytes when above 0),
  // waits until the accept thread has placed the connection, and logs in.
  TcpClient join(int32_t id, int32_t key, int recv_buffer = 0) {
    TcpClient c;
    EXPECT_TRUE(c.connect_to(port, recv_buffer));
    settle(2);
    c.send(w::enter(id, "u" + std::to_string(id), key));
    return c;
  }

  // A client alone in group `key`: its login is answered in full.
  TcpClient member_alone(int32_t id, int32_t key) {
    TcpClient c = join(id, key);
    expect_bytes(c, w::list_end() + w::group_count(1));
    return c;
  }

  // Waits, pass by pass, until the accept thread counts `n` open slots.
  void wait_connected(int n) {
    for (int pass = 0; pass < 1000 && lobby().connected_count.load() != n; ++pass) settle(1);
    EXPECT_EQ(n, lobby().connected_count.load());
  }

  void wait_drops(int reason, int64_t n) {
    for (int pass = 0; pass < 1000 && lobby().drops[reason].load() < n; ++pass) settle(1);
    EXPECT_EQ(n, lobby().drops[reason].load()) << lobby::drop_reason_text(reason);
  }

  void expect_drops(int64_t peer_closed, int64_t bad_framing, int64_t idle, int64_t not_reading) {
    EXPECT_EQ(peer_closed, lobby().drops[lobby::kDropPeerClosed].load());
    EXPECT_EQ(bad_framing, lobby().drops[lobby::kDropBadFraming].load());
    EXPECT_EQ(idle, lobby().drops[lobby::kDropIdle].load());
    EXPECT_EQ(not_reading, lobby().drops[lobby::kDropNotReading].load());
  }

  // A bystander that saw nothing of the fault is still answered: a join
  // into a room out of range gets 2S 21.
  void expect_still_answered(TcpClient& bystander) {
    bystander.send(w::room_op(7));
    expect_bytes(bystander, w::status(21));
  }

  // The server lives on: a new client logs in to group `key`, finds itself
  // alone there (whoever was in it before is gone), and makes a room. It
  // leaves again, and its slot is freed.
  void expect_new_client_served(int32_t id, int32_t key) {
    const int before = lobby().connected_count.load();
    {
      TcpClient c = member_alone(id, key);
      c.send(w::room_op(-1));
      expect_bytes(
          c, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "u" + std::to_string(id)));
    }
    wait_connected(before);
  }

  // Sends each client batches of requests, each answered with 2S 21,
  // without reading the answers, until the server holds answers for it that
  // the kernel would not take. A batch is 150 answers, and the queue is
  // checked only after the passes needed to send a whole batch (20 messages
  // a pass), so it never comes near the 256 that would get the client
  // dropped as not reading.
  void fill_until_queued(std::vector<TcpClient*> clients, std::vector<int> slots) {
    std::string batch;
    for (int i = 0; i < 150; ++i) batch += w::room_op(7);
    std::vector<bool> full(clients.size(), false);
    for (int round = 0; round < 200; ++round) {
      for (size_t i = 0; i < clients.size(); ++i) {
        if (full[i]) continue;
        ASSERT_TRUE(clients[i]->send(batch));
      }
      settle(9);
      bool all = true;
      for (size_t i = 0; i < clients.size(); ++i) {
        full[i] = full[i] || lobby().slots[slots[i]].send_pending() > 0;
        all = all && full[i];
      }
      if (all) return;
    }
    FAIL() << "the kernel took every answer";
  }
};

// ---------------------------------------------------------------------------
// Slow readers.

// One worker's eight slots: five clients chatting, and three with 4 KiB
// receive buffers that read badly. The chat goes through a ring of which
// each client takes one line a pass of its worker, whoever it is for; a
// reader 1,024 lines behind would lose a lap. The five chat 10 lines a
// second each until both non-readers have been dropped and a second more:
// some 400 lines of 80 bytes fill a non-reader's kernel buffers and its
// 256-message queue, and the chat stops at 600 lines in any case, far from
// a lap. The pauser stops reading for 4 s, 200 lines: more than the kernel
// buffers take, so lines back up in the server for it, but fewer than its
// queue holds.
class FaultSlowReaderTest : public FaultTest {
 protected:
  static constexpr int kChatters = 5;
  static constexpr int kMaxLinesEach = 120;
  static constexpr int kLineIntervalMs = 100;
  static constexpr int kPauseMs = 4000;
  static constexpr int kTrickleIntervalMs = 500;
  static constexpr int kKey = 1;
  static constexpr int kPauserSlot = 7;

  void SetUp() override {
    settings.test_send_buffer = 4096;
    start();
    // Slots 0-4 chat; 5 never reads, 6 reads a byte every 500 ms, 7 pauses,
    // then reads everything.
    for (int i = 0; i < kChatters; ++i) readers.emplace_back(join(i, kKey));
    never = join(5, kKey, 4096);
    trickler = join(6, kKey, 4096);
    readers.emplace_back(join(kPauserSlot, kKey, 4096));
    // Logins answered and group counts settled: the chat starts clean.
    settle(5);
    for (Inbox& r : readers) {
      r.collect();
      ASSERT_TRUE(r.others().size() == 1 && r.others()[0] == w::hex(w::list_end()))
          << testing::PrintToString(r.others());
      r.forget();
    }
  }

  Inbox& pauser() { return readers.back(); }

  bool all_lines_in(size_t lines) {
    for (const Inbox& r : readers) {
      if (r.chat_texts().size() < lines) return false;
    }
    return true;
  }

  // The lines a reader got, checked against every chatter's sequence: each
  // line once, each chatter's in the order sent, none missing.
  void expect_every_line_in_order(const std::vector<std::string>& got, const int sent[],
                                  const std::string& who) {
    int next[kChatters] = {};
    for (const std::string& text : got) {
      int sender = -1;
      int seq = -1;
      ASSERT_EQ(2, std::sscanf(text.c_str(), "from %d line %d", &sender, &seq))
          << who << ": " << text;
      ASSERT_TRUE(sender >= 0 && sender < kChatters) << who << ": " << text;
      ASSERT_EQ(line_text(sender, next[sender]), text)
          << who << " after line " << next[sender] - 1 << " of " << sender;
      ++next[sender];
    }
    for (int s = 0; s < kChatters; ++s) EXPECT_EQ(sent[s], next[s]) << who << ", lines of " << s;
  }

  std::vector<Inbox> readers;  // the five chatters, then the pauser
  TcpClient never;
  TcpClient trickler;
};

TEST_F(FaultSlowReaderTest, ReadersKeepEveryLineAndOnlyTheNonReadersAreDropped) {
  const auto start_time = SteadyClock::now();
  int sent[kChatters] = {};
  int total_sent = 0;
  int64_t chat_end_ms = -1;  // a second after both non-readers were dropped
  int64_t next_trickle_ms = kTrickleIntervalMs;
  bool trickler_ended = false;
  int pauser_backlog = -1;
  // Bounded: at most 12 s of chat, then at most 5 s to catch up.
  const int64_t deadline_ms = kMaxLinesEach * kLineIntervalMs + 5000;
  while (ms_since(start_time) < deadline_ms) {
    const int64_t now = ms_since(start_time);
    if (chat_end_ms < 0 && lobby().drops[lobby::kDropNotReading].load() >= 2) {
      chat_end_ms = now + 1000;
    }
    bool chatting = false;
    for (int i = 0; i < kChatters; ++i) {
      // Chatter i's line n is due at n * 100 ms, the five 20 ms apart.
      if (sent[i] == kMaxLinesEach || (chat_end_ms >= 0 && now >= chat_end_ms)) continue;
      chatting = true;
      if (now >= sent[i] * kLineIntervalMs + i * 20) {
        ASSERT_TRUE(readers[i].client.send(w::chat(sent[i], line_text(i, sent[i]))));
        ++sent[i];
        ++total_sent;
      }
    }
    if (!trickler_ended && now >= next_trickle_ms) {
      // One byte, if there is one; an ended stream stops the trickle.
      pollfd p{trickler.fd(), POLLIN, 0};
      char byte;
      if (poll(&p, 1, 0) == 1 && recv(trickler.fd(), &byte, 1, 0) <= 0) trickler_ended = true;
      next_trickle_ms += kTrickleIntervalMs;
    }
    if (pauser_backlog < 0 && now >= kPauseMs) {
      pauser_backlog = lobby().slots[kPauserSlot].send_pending();
    }
    for (Inbox& r : readers) {
      if (&r != &pauser() || now >= kPauseMs) r.collect();
    }
    if (!chatting && all_lines_in(static_cast<size_t>(total_sent))) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  // Both non-readers were dropped for it, and nobody else for anything.
  wait_drops(lobby::kDropNotReading, 2);
  expect_drops(0, 0, 0, 2);
  EXPECT_TRUE(never.wait_closed(5000));
  EXPECT_TRUE(trickler.wait_closed(5000));
  wait_connected(kChatters + 1);
  // The pause really backed lines up in the server, and the pauser was kept.
  EXPECT_GT(pauser_backlog, 0);
  settle(3);
  for (Inbox& r : readers) r.collect();

  // Every reader, the pauser too, got every line: the same lines in the
  // same order, each chatter's in the order sent, and besides them only
  // group counts.
  const std::vector<std::string> first = readers[0].chat_texts();
  expect_every_line_in_order(first, sent, "chatter 0");
  for (size_t r = 0; r < readers.size(); ++r) {
    const std::string who = r < kChatters ? "chatter " + std::to_string(r) : "pauser";
    EXPECT_EQ(first, readers[r].chat_texts()) << who;
    EXPECT_EQ(std::vector<std::string>{}, readers[r].others()) << who;
  }
}

// ---------------------------------------------------------------------------
// Peers that vanish, and garbage.

// Clients reset while the server holds answers for them, or while their
// requests are still arriving: each is dropped as closed by its peer, its
// slot and group entry are freed, and a bystander notices nothing.
TEST_F(FaultTest, PeersThatResetWithAnswersQueuedAreDroppedAndFreed) {
  settings.test_send_buffer = 4096;
  start();
  TcpClient bystander = member_alone(1, 7);

  TcpClient queued_a;
  ASSERT_TRUE(queued_a.connect_to(port, 4096));
  settle(2);
  queued_a.send(w::enter(2, "a", 8));  // slot 1
  TcpClient queued_b;
  ASSERT_TRUE(queued_b.connect_to(port, 4096));
  settle(2);
  queued_b.send(w::enter(3, "b", 8));  // slot 2
  fill_until_queued({&queued_a, &queued_b}, {1, 2});
  EXPECT_EQ(3, lobby().connected_count.load());
  queued_a.reset();
  queued_b.reset();

  // 200 requests, reset at once: the server reads them or the reset first.
  TcpClient mid_flood = join(4, 9);
  std::string requests;
  for (int i = 0; i < 200; ++i) requests += w::room_op(7);
  mid_flood.send(requests);
  mid_flood.reset();

  wait_drops(lobby::kDropPeerClosed, 3);
  wait_connected(1);
  expect_drops(3, 0, 0, 0);
  expect_silent(bystander);
  expect_still_answered(bystander);
  expect_new_client_served(10, 8);
  expect_new_client_served(11, 9);
}

// A connection that ends in the middle of a message, with an orderly close
// or a reset: the part is never acted on, the client is dropped as closed by
// its peer, and its slot and group entry are freed.
TEST_F(FaultTest, PeersThatCloseMidMessageLeaveNoTrace) {
  start();
  TcpClient bystander = member_alone(1, 7);
  struct Cut {
    std::string part;
    bool reset;
  };
  const std::string line = w::chat(1, "never whole");
  const std::vector<Cut> cuts = {
      {line.substr(0, 9), false},                    // in a chat line's text
      {line.substr(0, 5), true},                     // in its head
      {"2", false},                                  // after the mark
      {w::direct(0xffff, 5).substr(0, 7), true},     // one byte short
      {w::login(20, 7, 8, 8).substr(0, 13), false},  // a second login, one byte short
  };
  int64_t dropped = 0;
  for (const Cut& cut : cuts) {
    // A client of the bystander's group, cut off once its part has arrived.
    TcpClient c = join(static_cast<int32_t>(10 + dropped), 7);
    expect_bytes(bystander, w::group_count(2));
    c.send(cut.part);
    settle(3);
    if (cut.reset) {
      c.reset();
    } else {
      c.close();
    }
    wait_drops(lobby::kDropPeerClosed, ++dropped);
    // The group shrinks back, and no line reaches it.
    expect_bytes(bystander, w::group_count(1));
    expect_silent(bystander);
  }
  wait_connected(1);
  expect_drops(dropped, 0, 0, 0);
  expect_still_answered(bystander);
  expect_new_client_served(30, 8);
}

// 1 MiB of random bytes from a logged-in client: it is dropped for bad
// framing, its slot and group entry are freed while it still sends, and the
// server goes on.
TEST_F(FaultTest, OneMebibyteOfRandomBytesCostsOnlyItsSender) {
  start();
  TcpClient bystander = member_alone(1, 7);
  TcpClient noisy = member_alone(2, 8);
  std::mt19937 random(20240611);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random() & 0xff);
  // The send ends when the server resets the connection; the time-out
  // bounds it should the server stop reading without closing.
  timeval limit{10, 0};
  ASSERT_EQ(0, setsockopt(noisy.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit));
  noisy.send(noise);
  wait_drops(lobby::kDropBadFraming, 1);
  EXPECT_TRUE(noisy.wait_closed(5000));
  wait_connected(1);
  expect_drops(0, 1, 0, 0);
  expect_silent(bystander);
  expect_still_answered(bystander);
  expect_new_client_served(3, 8);
}

// A member that hops between two rooms as fast as it can send: every hop
// vacates its seat in one room, and the host there is told, faster than a
// pass can send. Both hosts read all the time and must be neither dropped
// nor sent anything but whole messages.
TEST_F(FaultTest, AMemberHoppingBetweenRoomsCannotGetReadingHostsDropped) {
  start();
  Inbox host_a(join(1, 5));
  Inbox host_c(join(3, 5));
  Inbox hopper(join(2, 5));
  settle();
  host_a.client.send(w::room_op(-1));
  settle();
  host_c.client.send(w::room_op(-1));
  settle();
  hopper.client.send(w::room_op(0));
  settle();
  std::string hops;
  for (int i = 0; i < 42; ++i) hops += w::room_op(1) + w::room_op(0);
  for (int round = 0; round < 200; ++round) {
    hopper.client.send(hops);
    host_a.collect();
    host_c.collect();
    hopper.collect();
  }
  // What the hosts are owed drains 20 messages a pass: read until the
  // server holds nothing more for them (slots 0 and 1).
  for (int pass = 0; pass < 1000; ++pass) {
    settle(1);
    host_a.collect();
    host_c.collect();
    hopper.collect();
    bool owed = false;
    for (int slot : {0, 1}) {
      owed = owed || lobby().slots[slot].send_pending() > 0 ||
             lobby().users[slot].vacated_seats.load() != 0;
    }
    if (!owed) break;
  }
  expect_drops(0, 0, 0, 0);
  EXPECT_EQ(3, lobby().connected_count.load());
  // Each host is still answered, among whatever room notices are still on
  // their way (a pass takes one notice of the ring).
  for (Inbox* host : {&host_a, &host_c}) {
    host->client.send(w::room_op(7));
    const std::string refused = w::hex(w::status(21));
    auto answered = [&] {
      const std::vector<std::string> others = host->others();
      return std::count(others.begin(), others.end(), refused);
    };
    const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
    while (answered() == 0 && SteadyClock::now() < deadline) {
      std::string bytes = host->client.read_exact(1, 1000);
      bytes += host->client.read_available();
      host->take(bytes);
    }
    EXPECT_EQ(1, answered());
    for (const std::string& m : host->others()) {
      // Seat 1 vacated, a room notice, an answer of the setup, or the answer.
      EXPECT_TRUE(m == w::hex(w::seat_vacated(1)) || m.rfind("32 51", 0) == 0 ||
                  m.rfind("32 52", 0) == 0 || m.rfind("32 4F", 0) == 0 ||
                  m.rfind("32 4D", 0) == 0 || m.rfind("32 4A", 0) == 0 || m == refused)
          << m;
    }
  }
}

// ---------------------------------------------------------------------------
// An upstream server that stops reading, then closes.

class FaultUpstreamTest : public FaultTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, peer.start(4096));
    settings.N_PORT = peer.port();
    settings.test_send_buffer = 4096;
    start();
    ASSERT_TRUE(peer.accept_within(3000));
  }

  // Eight clients log in again and again: each accepted login queues a
  // notice for the upstream server. Their answers are read and thrown away.
  void relogin_round() {
    std::string relogins;
    for (int i = 0; i < 40; ++i) relogins += w::validation(1) + w::login(100 + i, 3, 8, 8);
    for (TcpClient& c : regulars) ASSERT_TRUE(c.send(relogins));
    settle(2);
    for (TcpClient& c : regulars) c.read_available();
  }

  test_support::UpstreamPeer peer;
  std::vector<TcpClient> regulars;
};

TEST_F(FaultUpstreamTest, AnUpstreamThatStopsReadingThenClosesHoldsNoClient) {
  peer.set_reading(false);
  for (int i = 0; i < 8; ++i) regulars.push_back(join(100 + i, 3));
  // Until the link's queue would overflow and the lobby drops the link, a
  // new client is served after every round.
  int32_t fresh = 1000;
  int rounds = 0;
  while (lobby().upstream.losses() == 0 && rounds < 40) {
    relogin_round();
    expect_new_client_served(fresh, fresh);
    ++fresh;
    ++rounds;
  }
  ASSERT_EQ(1, lobby().upstream.losses()) << "after " << rounds << " rounds";

  // It goes away with the lobby's notices unread.
  peer.close_connection();
  for (int round = 0; round < 3; ++round) {
    relogin_round();
    expect_new_client_served(fresh, fresh);
    ++fresh;
  }
  for (TcpClient& c : regulars) {
    c.send(w::room_op(7));
    settle(2);
    std::string tail = c.read_available();
    ASSERT_GE(tail.size(), 6u);
    EXPECT_EQ(w::hex(w::status(21)), w::hex(tail.substr(tail.size() - 6)));
  }
  EXPECT_EQ(8, lobby().connected_count.load());
  expect_drops(fresh - 1000, 0, 0, 0);
  // The link waits for its next attempt (the test's clock stands still).
  EXPECT_EQ(static_cast<int>(upstream::LinkState::kDown),
            static_cast<int>(lobby().upstream.link_state()));
  EXPECT_EQ(1, lobby().upstream.losses());
}

// ---------------------------------------------------------------------------
// A flood of connections against the real executable.

// The lobby_server executable beside this test's own.
std::string lobby_server_path() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "lobby_server";
}

// A port nobody listens on right now, free on every address as the server
// binds it: one that a connection from another loopback address still holds
// (in TIME_WAIT after another test) would keep the server from listening.
int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = 0;
  socklen_t size = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

int count_descriptors(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

int count_lines_with(const std::string& text, const std::string& what) {
  int count = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (text.substr(start, end - start).find(what) != std::string::npos) ++count;
    start = end + 1;
  }
  return count;
}

// One extra connection of the flood, connected and read without blocking
// and within bounds.
class FloodConnection {
 public:
  FloodConnection() = default;
  ~FloodConnection() { close_now(); }
  FloodConnection(FloodConnection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FloodConnection& operator=(FloodConnection&&) = delete;
  FloodConnection(const FloodConnection&) = delete;
  FloodConnection& operator=(const FloodConnection&) = delete;

  bool connect_within(int port, int timeout_ms) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
    if (errno != EINPROGRESS) return false;
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, timeout_ms) != 1) return false;
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  }

  // Everything the server sent until it closed; false when it did not close
  // within `timeout_ms`.
  bool read_until_closed(int timeout_ms, std::string* got) {
    const auto start = SteadyClock::now();
    char buffer[256];
    for (;;) {
      const int64_t left = timeout_ms - ms_since(start);
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) != 1) continue;
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0) return true;
      if (n < 0) return errno != EAGAIN && errno != EINTR;
      got->append(buffer, static_cast<size_t>(n));
    }
  }

  void close_now() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

class FaultFloodTest : public ::testing::Test {
 protected:
  static constexpr int kServedSlots = 32;
  static constexpr int kExtra = 1000;
  // The kernel drops the SYN of a connection that finds the listen queue
  // full, to be retried only a second later. The flood keeps at most 4
  // connections at a time that the server has not yet answered, well
  // inside the server's queue: as fast as it accepts them.
  static constexpr size_t kUnanswered = 4;

  void SetUp() override {
    ASSERT_FALSE(dir.path().empty()) << "no temporary directory";
    const std::string path = lobby_server_path();
    ASSERT_EQ(0, access(path.c_str(), X_OK)) << "build the lobby_server target first: " << path;
    port = free_port();
    ASSERT_GT(port, 0);
    // All 32 served clients come from 127.0.0.1, and so do the thousand.
    ASSERT_TRUE(dir.write_file("dorvik.txt", "L_PORT " + std::to_string(port) +
                                                 "\nL_PER_IP 0\nL_PER_NET 0\nL_CONN_RATE 0\n"));
    ASSERT_TRUE(server.start({path}, dir.path(), ChildStdio::kNullInput));
  }

  void TearDown() override {
    if (server.running()) {
      server.send_signal(SIGTERM);
      int status = 0;
      server.wait_exit(5000, &status);
    }
  }

  // Connects client i and logs it in to a group of its own. The first
  // connection is tried until the server listens.
  void connect_served(int i) {
    TcpClient c;
    const auto start = SteadyClock::now();
    while (!c.connect_to(port)) {
      ASSERT_TRUE(server.running()) << "the server ended";
      ASSERT_LT(ms_since(start), 10000) << "nothing listens on port " << port;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    c.send(w::enter(i + 1, "s" + std::to_string(i), i + 1));
    EXPECT_EQ(w::hex(w::list_end() + w::group_count(1)), w::hex(c.read_exact(8))) << "client " << i;
    served.push_back(std::move(c));
  }

  std::string log() {
    std::string text;
    dir.read_file("L_log.txt", &text);
    return text;
  }

  TempDir dir;
  ChildProcess server;
  int port = 0;
  std::vector<TcpClient> served;
};

TEST_F(FaultFloodTest, AThousandExtraConnectionsGetFullAndCostTheServedNothing) {
  for (int i = 0; i < kServedSlots; ++i) ASSERT_NO_FATAL_FAILURE(connect_served(i));
  const int descriptors_before = count_descriptors(server.pid());
  ASSERT_GT(descriptors_before, kServedSlots);

  // Bounded: the first wrong answer ends the flood, and so does its time.
  std::deque<FloodConnection> waiting;
  int made = 0;
  int answered_full = 0;
  std::string first_wrong;
  const auto flood_start = SteadyClock::now();
  while ((made < kExtra || !waiting.empty()) && first_wrong.empty()) {
    ASSERT_LT(ms_since(flood_start), 15000) << answered_full << " answered";
    if (made < kExtra && waiting.size() < kUnanswered) {
      FloodConnection c;
      ASSERT_TRUE(c.connect_within(port, 5000)) << "connect " << made;
      waiting.push_back(std::move(c));
      ++made;
      continue;
    }
    std::string got;
    const bool closed = waiting.front().read_until_closed(3000, &got);
    if (closed && got == w::full()) {
      ++answered_full;
    } else {
      first_wrong = "connection " + std::to_string(answered_full) + " got \"" + w::hex(got) +
                    (closed ? "\", closed" : "\", still open");
    }
    waiting.pop_front();
  }
  EXPECT_EQ(kExtra, answered_full) << "first wrong answer: " << first_wrong;

  // Every served client is still served: a room operation answered, and
  // nothing else sent to it meanwhile.
  for (int i = 0; i < kServedSlots; ++i) {
    ASSERT_TRUE(served[i].send(w::room_op(7)));
    EXPECT_EQ(w::hex(w::status(21)), w::hex(served[i].read_exact(6))) << "client " << i;
    EXPECT_EQ("", w::hex(served[i].read_available())) << "client " << i;
  }
  // The server closed every refused connection: its descriptors are back
  // where they were.
  int descriptors_after = -1;
  for (const auto start = SteadyClock::now(); ms_since(start) < 5000;) {
    descriptors_after = count_descriptors(server.pid());
    if (descriptors_after == descriptors_before) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(descriptors_before, descriptors_after);
  // The log holds the first refusal, and the count of the others once the
  // server stops: one address refused again and again cannot fill it.
  ASSERT_TRUE(server.send_signal(SIGTERM));
  int status = 0;
  ASSERT_TRUE(server.wait_exit(5000, &status));
  const std::string text = log();
  EXPECT_EQ(2, count_lines_with(text, "refused 127.0.0.1: full"));
  EXPECT_EQ(1, count_lines_with(text, "refused 127.0.0.1: full \xC3\x97" +
                                          std::to_string(kExtra - 1) + " in the last "))
      << text.substr(0, 2000);
  EXPECT_EQ(1, count_lines_with(text, "; refused full " + std::to_string(kExtra) + ","));
  EXPECT_EQ(0, count_lines_with(text, "drop slot")) << text.substr(0, 2000);
}

}  // namespace
