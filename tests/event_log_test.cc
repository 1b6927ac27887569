// The event log's queue and writer: lines in order across the ring's wrap,
// lines that find it full counted and told where they went missing, the
// last line last; and the real server with a log file that takes nothing
// (a pipe nobody reads), which must go on serving every chat line.
#include "app/event_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/log_queue.h"
#include "bench/server_process.h"
#include "client/tcp_link.h"
#include "tests/support/child_process.h"
#include "tests/support/message_reader.h"
#include "tests/support/notify_socket.h"
#include "tests/support/tcp_client.h"
#include "tests/support/wire.h"

namespace {

using testing_support::ChildProcess;
using testing_support::ChildStdio;
using testing_support::TcpClient;
using testing_support::TempDir;
namespace w = test_wire;
using Clock = std::chrono::steady_clock;

// The smallest pipe the kernel gives: a writer soon finds it full.
constexpr int kPipeBytes = 4096;

int64_t ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Reads the FIFO's read end `fd` until every writer has closed it, at most
// `timeout_ms`. False on time-out.
bool read_to_end(int fd, std::string* text, int timeout_ms) {
  const auto start = Clock::now();
  char buffer[4096];
  while (ms_since(start) < timeout_ms) {
    pollfd entry{fd, POLLIN, 0};
    poll(&entry, 1, 50);
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n > 0) text->append(buffer, static_cast<size_t>(n));
  }
  return false;
}

// The lines of a log without their time stamps ("2026-12-09 07:40:03 ").
std::vector<std::string> log_texts(const std::string& log) {
  std::vector<std::string> texts;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    texts.push_back(line.size() > 20 && line[4] == '-' && line[19] == ' ' ? line.substr(20)
                                                                          : "BAD LINE: " + line);
    start = end + 1;
  }
  return texts;
}

TEST(LogQueueTest, KeepsWholeLinesInOrderAcrossTheWrapAndCountsWhatDidNotFit) {
  app::LogQueue queue;
  app::LogLine line;
  // Lines of every length up to the longest, many times round the ring.
  int next_in = 0;
  int next_out = 0;
  auto text_of = [](int i) {
    return std::to_string(i) + ":" + std::string(static_cast<size_t>(i * 37 % 1000), 'a' + i % 26);
  };
  for (int round = 0; round < 40; ++round) {
    while (queue.push(round, text_of(next_in).data(), static_cast<int>(text_of(next_in).size()))) {
      ++next_in;
    }
    // Full: the refused line is counted, and a second refusal too.
    EXPECT_FALSE(
        queue.push(round, text_of(next_in).data(), static_cast<int>(text_of(next_in).size())));
    // Half of it out, in order and whole.
    const int out_to = next_out + (next_in - next_out) / 2;
    for (; next_out < out_to; ++next_out) {
      ASSERT_TRUE(queue.pop(&line));
      ASSERT_EQ(text_of(next_out), std::string(line.text, static_cast<size_t>(line.length)));
      EXPECT_EQ('\0', line.text[line.length]);
    }
    // The next line that fits carries the count of the two refused ones.
    const std::string text = text_of(next_in);
    ASSERT_TRUE(queue.push(round, text.data(), static_cast<int>(text.size())));
    ++next_in;
    const int carried_by = next_in - 1;
    for (; next_out < next_in; ++next_out) {
      ASSERT_TRUE(queue.pop(&line));
      EXPECT_EQ(next_out == carried_by ? 2 : 0, line.dropped_before) << next_out;
      EXPECT_EQ(round, line.time);
      ASSERT_EQ(text_of(next_out), std::string(line.text, static_cast<size_t>(line.length)));
    }
    EXPECT_TRUE(queue.empty());
  }
  EXPECT_EQ(static_cast<uint64_t>(next_in), queue.pushed());
  EXPECT_EQ(static_cast<uint64_t>(next_out), queue.popped());
  // A line too long is cut; a refusal with no line after it waits to be taken.
  const std::string longest(3000, 'z');
  ASSERT_TRUE(queue.push(1, longest.data(), static_cast<int>(longest.size())));
  ASSERT_TRUE(queue.pop(&line));
  EXPECT_EQ(app::kLogLineBytes - 1, line.length);
  while (queue.push(2, longest.data(), static_cast<int>(longest.size()))) {
  }
  EXPECT_EQ(1, queue.take_dropped());
  EXPECT_EQ(0, queue.take_dropped());
}

// A log on a pipe that nobody reads: the writer stalls, logging threads do
// not. Every line is then written in order or counted where it went
// missing, exactly, and the last line comes last.
TEST(EventLogTest, AStalledFileCostsLinesThatAreCountedExactlyAndTheLastLineComesLast) {
  TempDir dir;
  const std::string path = dir.file("log.fifo");
  ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
  const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_GE(fcntl(reader, F_SETPIPE_SZ, kPipeBytes), kPipeBytes);
  ASSERT_EQ(0, app::open_log(path.c_str()));
  // Far more than the pipe and the queue hold; each call returns at once.
  constexpr int kLines = 6000;
  const auto start = Clock::now();
  for (int i = 0; i < kLines; ++i) app::log_format("line %d", i);
  EXPECT_LT(ms_since(start), 5000) << "logging waited for the file";

  std::string log;
  std::thread drain([&] { EXPECT_TRUE(read_to_end(reader, &log, 10000)); });
  app::close_log("the last line");
  drain.join();
  close(reader);
  app::log_text("after the close");

  const std::vector<std::string> texts = log_texts(log);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ("the last line", texts.back());
  int next = 0;
  int64_t dropped = 0;
  for (size_t i = 0; i + 1 < texts.size(); ++i) {
    long long n = 0;
    if (std::sscanf(texts[i].c_str(), "log lines dropped %lld", &n) == 1) {
      dropped += n;
      next += static_cast<int>(n);
    } else {
      ASSERT_EQ("line " + std::to_string(next), texts[i]);
      ++next;
    }
  }
  EXPECT_EQ(kLines, next);
  EXPECT_GT(dropped, 0) << "the file never stalled";
}

// A client of the lobby's chat or rooms: what arrived, cut into messages.
struct Peer {
  TcpClient client;
  std::string pending;

  // Appends the whole messages that have arrived to `*out`.
  void take(std::vector<std::string>* out) {
    pending += client.read_available();
    for (;;) {
      const int length = testing_support::lobby_message_length(pending);
      if (length < 0 || static_cast<int>(pending.size()) < length) return;
      if (length == 0) {
        out->push_back("UNKNOWN " + w::hex(pending));
        pending.clear();
        return;
      }
      out->push_back(pending.substr(0, static_cast<size_t>(length)));
      pending.erase(0, static_cast<size_t>(length));
    }
  }

  // Reads until a message with `letter` arrives, at most 5 s; its bytes,
  // or empty. Others on the way are skipped.
  std::string wait_for(char letter) {
    const auto start = Clock::now();
    std::vector<std::string> messages;
    while (ms_since(start) < 5000) {
      pollfd entry{client.fd(), POLLIN, 0};
      poll(&entry, 1, 50);
      messages.clear();
      take(&messages);
      for (const std::string& m : messages) {
        if (m[1] == letter) return m;
      }
    }
    return "";
  }
};

// The real server with its log on a pipe that is opened but never read, and
// a service manager's socket that never reads its notices: while 4 clients
// create, join and leave rooms as fast as they are answered (each operation
// a log line, and each room count a notice), 4 others chat, a line every
// 20 ms each, for 10 s. The log and the notice socket fill early on, and
// from then on nothing the lobby writes there is taken. No chat line is
// lost, none takes more than 20 ms to reach its readers (a thread that
// waited for the log, as one did for up to 100 ms with lock_rooms held,
// would show as a gap: every reader's pump takes lock_rooms for the room
// notices it steps through, and a relay takes a fraction of a millisecond),
// and the room operations are answered all along. When the pipe is read
// again the log tells how many lines it could not keep, and a stop still
// ends with the shutdown line.
TEST(EventLogProcessTest, AStalledLogAndNoticeSocketStallNoClient) {
  TempDir dir;
  ASSERT_EQ(0, mkfifo(dir.file("L_log.txt").c_str(), 0600));
  const int reader = open(dir.file("L_log.txt").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_GE(fcntl(reader, F_SETPIPE_SZ, kPipeBytes), kPipeBytes);
  testing_support::FakeNotifySocket notify;
  ASSERT_TRUE(notify.bind_to(dir.file("notify.sock")));
  testing_support::ScopedEnv env({{"NOTIFY_SOCKET", notify.address().c_str()},
                                  {"WATCHDOG_USEC", nullptr},
                                  {"WATCHDOG_PID", nullptr}});
  const int port = client::pick_free_port();
  ASSERT_GT(port, 0);
  // Room operations as fast as they are answered, and every client (and
  // every chat line) from 127.0.0.1.
  ASSERT_TRUE(dir.write_file("dorvik.txt", "L_PORT " + std::to_string(port) +
                                               "\nL_FLOOD_RATE 0\nL_PER_IP 0\nL_CHAT_RATE 0\n"
                                               "L_ROOMS_PER_IP 0\nL_ADMIN -\n"));
  ChildProcess server;
  ASSERT_TRUE(server.start({bench::executable_dir() + "/lobby_server"}, dir.path(),
                           ChildStdio::kNullInput));
  constexpr int kRoomPeers = 4;
  constexpr int kChatPeers = 4;
  std::vector<Peer> rooms(kRoomPeers);
  std::vector<Peer> chatters(kChatPeers);
  for (const auto start = Clock::now(); !rooms[0].client.connect_to(port);) {
    ASSERT_LT(ms_since(start), 10000) << "nothing listens on port " << port;
    poll(nullptr, 0, 10);
  }
  // The room clients in two pairs, each pair a group of its own; the chat
  // clients in a third.
  for (int i = 0; i < kRoomPeers; ++i) {
    if (i > 0) {
      ASSERT_TRUE(rooms[i].client.connect_to(port));
    }
    ASSERT_TRUE(rooms[i].client.send(w::enter(100 + i, "r" + std::to_string(i), 11 + i / 2)));
    ASSERT_FALSE(rooms[i].wait_for('O').empty());
  }
  for (int i = 0; i < kChatPeers; ++i) {
    ASSERT_TRUE(chatters[i].client.connect_to(port));
    ASSERT_TRUE(chatters[i].client.send(w::enter(i, "c" + std::to_string(i), 5)));
    ASSERT_FALSE(chatters[i].wait_for('O').empty());
  }

  // A pair's cycle: the first creates a room, the second joins and leaves
  // it, the first leaves it; every answer awaited.
  std::atomic<bool> stop{false};
  std::atomic<int> cycles{0};
  std::string room_failure;
  std::thread room_ops([&] {
    while (!stop.load() && room_failure.empty()) {
      for (int pair = 0; pair < kRoomPeers / 2 && room_failure.empty(); ++pair) {
        Peer& host = rooms[2 * pair];
        Peer& guest = rooms[2 * pair + 1];
        host.client.send(w::room_op(-1));
        const std::string made = host.wait_for('M');
        if (made.size() != 6) {
          room_failure = "no room made";
          break;
        }
        guest.client.send(w::room_op(static_cast<unsigned char>(made[2])));
        // A join is answered by the room's new member count, to the group.
        const std::string joined = guest.wait_for('Q');
        host.client.send(w::room_op(-2));
        const std::string host_left = host.wait_for('J');
        guest.client.send(w::room_op(-2));
        if (joined.empty() || host_left.empty()) {
          room_failure = std::string("a room operation went unanswered: ") +
                         (joined.empty() ? "the join" : "the host's leave");
        }
      }
      cycles.fetch_add(1);
    }
  });

  // Every line's send time, by sender and number; every reader's lines.
  constexpr int kChatMs = 10000;
  constexpr int kEveryMs = 20;
  constexpr int kLines = kChatMs / kEveryMs;
  std::vector<std::vector<Clock::time_point>> sent_at(kChatPeers,
                                                      std::vector<Clock::time_point>(kLines));
  std::vector<std::vector<std::string>> said(kChatPeers);
  std::vector<std::vector<std::string>> heard(kChatPeers);
  std::atomic<int> sent_lines{0};
  int64_t slowest_us = 0;
  std::thread readers([&] {
    std::vector<std::string> messages;
    std::vector<pollfd> entries;
    const auto end = Clock::now() + std::chrono::milliseconds(kChatMs + 5000);
    size_t total = 0;
    while (Clock::now() < end && total < static_cast<size_t>(kLines * kChatPeers * kChatPeers)) {
      entries.clear();
      for (Peer& peer : chatters) entries.push_back(pollfd{peer.client.fd(), POLLIN, 0});
      poll(entries.data(), entries.size(), 50);
      const auto now = Clock::now();
      for (int r = 0; r < kChatPeers; ++r) {
        messages.clear();
        chatters[r].take(&messages);
        for (const std::string& m : messages) {
          if (m[1] != 'C') continue;
          heard[r].push_back(m);
          ++total;
          int from = -1;
          int number = -1;
          if (std::sscanf(m.c_str() + 7, "p%d %d", &from, &number) != 2 || from < 0 ||
              from >= kChatPeers || number < 0 || number >= sent_lines.load()) {
            continue;
          }
          const int64_t us =
              std::chrono::duration_cast<std::chrono::microseconds>(now - sent_at[from][number])
                  .count();
          if (us > slowest_us) slowest_us = us;
        }
      }
    }
  });
  const auto chat_start = Clock::now();
  for (int line = 0; line < kLines; ++line) {
    const auto due = chat_start + std::chrono::milliseconds(line * kEveryMs);
    std::this_thread::sleep_until(due);
    for (int p = 0; p < kChatPeers; ++p) {
      said[p].push_back(w::chat(p, "p" + std::to_string(p) + " " + std::to_string(line)));
      sent_at[p][line] = Clock::now();
    }
    sent_lines.store(line + 1);
    for (int p = 0; p < kChatPeers; ++p) ASSERT_TRUE(chatters[p].client.send(said[p].back()));
  }
  readers.join();
  stop.store(true);
  room_ops.join();
  EXPECT_EQ("", room_failure) << "the lobby stalled with its log";
  EXPECT_GT(cycles.load(), 100) << "the room operations were slow";
  EXPECT_LE(slowest_us, 20000) << "a chat line took " << slowest_us << " us to arrive";
  // Every reader got every line, its own too, byte for byte, each peer's
  // in order.
  for (int r = 0; r < kChatPeers; ++r) {
    std::map<int, std::vector<std::string>> by_sender;
    for (const std::string& m : heard[r]) by_sender[m.size() > 2 ? m[2] : -1].push_back(m);
    for (int p = 0; p < kChatPeers; ++p) {
      EXPECT_EQ(said[p], by_sender[p]) << "reader " << r << ", lines of peer " << p;
    }
    EXPECT_EQ(static_cast<size_t>(kLines * kChatPeers), heard[r].size()) << "reader " << r;
  }

  // The pipe is read again, and the server stopped.
  std::string log;
  std::thread drain([&] { EXPECT_TRUE(read_to_end(reader, &log, 20000)); });
  ASSERT_TRUE(server.send_signal(SIGTERM));
  int status = 0;
  EXPECT_TRUE(server.wait_exit(20000, &status));
  drain.join();
  close(reader);
  const std::vector<std::string> texts = log_texts(log);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(0u, texts.back().find("shutdown (Cancel; ")) << texts.back();
  int dropped_lines = 0;
  for (const std::string& text : texts) {
    EXPECT_EQ(std::string::npos, text.find("BAD LINE")) << text;
    long long n = 0;
    if (std::sscanf(text.c_str(), "log lines dropped %lld", &n) == 1 && n > 0) ++dropped_lines;
  }
  EXPECT_GE(dropped_lines, 1) << "the log never filled";
}

}  // namespace
