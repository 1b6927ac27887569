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

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/log_queue.h"
#include "bench/server_process.h"
#include "client/tcp_link.h"
#include "tests/support/child_process.h"
#include "tests/support/message_reader.h"
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
  EXPECT_TRUE(app::log_enabled());
  // Far more than the pipe and the queue hold; each call returns at once.
  constexpr int kLines = 6000;
  const auto start = Clock::now();
  for (int i = 0; i < kLines; ++i) app::log_number("line", i);
  EXPECT_LT(ms_since(start), 5000) << "logging waited for the file";

  std::string log;
  std::thread drain([&] { EXPECT_TRUE(read_to_end(reader, &log, 10000)); });
  app::close_log("the last line");
  drain.join();
  close(reader);
  EXPECT_FALSE(app::log_enabled());
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

// The moderation log: each record a line of its own queue, so that a
// file that stalls costs chat lines (counted, and told where they went
// missing) but neither the event log's lines nor a wait of whoever logs.
TEST(EventLogTest, TheModerationLogHasItsOwnQueueAndWriterAndNeverMakesALoggerWait) {
  TempDir dir;
  const std::string path = dir.file("chat.fifo");
  ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
  const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_GE(fcntl(reader, F_SETPIPE_SZ, kPipeBytes), kPipeBytes);
  ASSERT_EQ(0, app::open_log(dir.file("log.txt").c_str()));
  ASSERT_EQ(0, app::open_chat_log(path.c_str(), "CP932"));
  EXPECT_TRUE(app::chat_log_on());
  const uint8_t name[16] = {'a', 'l', '"', 0x83, 0x65};
  const uint8_t text[] = {'h', 'i', 0, 0x1b, 0x83, 0x58};
  lobby::ChatRecord player;
  player.connection_id = 12;
  player.user_id = 7;
  player.addr = net::IpAddress::from_v4(0xCB007109);
  player.name = name;
  player.to = lobby::ChatRecord::kGame;
  player.to_value = 2;
  player.text = text;
  player.length = sizeof text;
  lobby::ChatRecord said;
  said.by = "root";
  said.to = lobby::ChatRecord::kEveryone;
  said.text = text;
  said.length = 2;
  constexpr int kRecords = 3000;
  const auto start = Clock::now();
  for (int i = 0; i < kRecords; ++i) {
    app::log_chat(i % 2 == 0 ? player : said);
    app::log_number("event", i);
  }
  EXPECT_LT(ms_since(start), 5000) << "logging waited for the file";
  std::string chat;
  std::thread drain([&] { EXPECT_TRUE(read_to_end(reader, &chat, 10000)); });
  ASSERT_EQ(0, app::open_chat_log("", "CP932"));
  EXPECT_FALSE(app::chat_log_on());
  drain.join();
  close(reader);
  app::close_log();

  int records = 0;
  int64_t dropped = 0;
  size_t at = 0;
  for (size_t end; (end = chat.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = chat.substr(at, end - at);
    ASSERT_EQ('Z', line[19]) << line;
    long long n = 0;
    if (std::sscanf(line.c_str() + 21, "chat lines dropped %lld", &n) == 1) {
      dropped += n;
      continue;
    }
    const std::string from_player =
        " from=#12 user=7 name=\"al\\\"テ\" addr=203.0.113.9 to=game:2 text=\"hi\\x00\\x1Bス\"";
    const std::string from_operator =
        " from=operator user=- name=\"root\" addr=- to=everyone text=\"hi\"";
    EXPECT_TRUE(line.substr(20) == from_player || line.substr(20) == from_operator) << line;
    ++records;
  }
  EXPECT_EQ(chat.size(), at);
  EXPECT_EQ(kRecords, records + dropped);
  EXPECT_GT(dropped, 0) << "the file never stalled";
  // The event log's lines, each written or counted, took no part in it.
  FILE* file = std::fopen(dir.file("log.txt").c_str(), "r");
  ASSERT_NE(nullptr, file);
  char buffer[256];
  int64_t events = 0;
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
    long long n = 0;
    if (std::strlen(buffer) > 20 && std::sscanf(buffer + 20, "log lines dropped %lld", &n) == 1) {
      events += n;
    }
    events += std::string(buffer).find(" event ") != std::string::npos;
  }
  std::fclose(file);
  EXPECT_EQ(kRecords, events);
}

// A reader of the lobby's chat: what arrived, cut into messages.
struct ChatPeer {
  TcpClient client;
  std::string pending;
  std::vector<std::string> chat;  // every 2C received, in order

  void take() {
    pending += client.read_available();
    for (;;) {
      const int length = testing_support::lobby_message_length(pending);
      if (length < 0 || static_cast<int>(pending.size()) < length) return;
      if (length == 0) {
        chat.push_back("UNKNOWN " + w::hex(pending));
        pending.clear();
        return;
      }
      if (pending[1] == 'C') chat.push_back(pending.substr(0, static_cast<size_t>(length)));
      pending.erase(0, static_cast<size_t>(length));
    }
  }
};

// The real server with its log on a pipe that is opened but never read:
// once the pipe and the log's queue are full, room operations (each one a
// log line) go on being answered, and 8 clients chatting for 10 s lose
// nothing. When the pipe is read again the log tells how many lines it
// could not keep, and a stop still ends with the shutdown line.
TEST(EventLogProcessTest, AStalledLogStallsNoClient) {
  TempDir dir;
  ASSERT_EQ(0, mkfifo(dir.file("L_log.txt").c_str(), 0600));
  const int reader = open(dir.file("L_log.txt").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_GE(fcntl(reader, F_SETPIPE_SZ, kPipeBytes), kPipeBytes);
  const int port = client::pick_free_port();
  ASSERT_GT(port, 0);
  // Room operations as fast as they are answered, and every client (and
  // every chat line) from 127.0.0.1.
  ASSERT_TRUE(dir.write_file("dorvik.txt", "L_PORT " + std::to_string(port) +
                                               "\nL_FLOOD_RATE 0\nL_PER_IP 0\nL_CHAT_RATE 0\n"));
  ChildProcess server;
  ASSERT_TRUE(server.start({bench::executable_dir() + "/lobby_server"}, dir.path(),
                           ChildStdio::kNullInput));
  TcpClient host;
  for (const auto start = Clock::now(); !host.connect_to(port);) {
    ASSERT_LT(ms_since(start), 10000) << "nothing listens on port " << port;
    poll(nullptr, 0, 10);
  }
  ASSERT_TRUE(host.send(w::enter(100, "host", 9)));
  ASSERT_EQ(w::hex(w::list_end() + w::group_count(1)), w::hex(host.read_exact(8, 5000)));
  // Each made and left room is two lines of about 60 bytes.
  const std::string made = w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "host");
  const std::string left = w::room_result(0) + w::member_count(0, 0);
  auto room_cycle = [&] {
    host.send(w::room_op(-1));
    EXPECT_EQ(w::hex(made), w::hex(host.read_exact(made.size(), 5000)));
    host.send(w::room_op(-2));
    EXPECT_EQ(w::hex(left), w::hex(host.read_exact(left.size(), 5000)));
  };
  // Four times what the pipe, the queue and a file buffer hold.
  for (int i = 0; i < 2500 && !testing::Test::HasFailure(); ++i) room_cycle();
  ASSERT_FALSE(testing::Test::HasFailure()) << "the lobby stalled with its log";

  constexpr int kPeers = 8;
  constexpr int kChatMs = 10000;
  constexpr int kEveryMs = 100;
  std::vector<ChatPeer> peers(kPeers);
  for (int p = 0; p < kPeers; ++p) {
    ASSERT_TRUE(peers[p].client.connect_to(port));
    ASSERT_TRUE(peers[p].client.send(w::enter(p + 1, "p" + std::to_string(p), 5)));
    ASSERT_EQ(w::hex(w::list_end()), w::hex(peers[p].client.read_exact(2, 5000)));
  }
  // Each peer says a line every 100 ms; the host goes on making rooms, so
  // log lines keep coming all along.
  std::vector<std::string> said[kPeers];
  const auto chat_start = Clock::now();
  for (int tick = 0; ms_since(chat_start) < kChatMs; ++tick) {
    for (int p = 0; p < kPeers; ++p) {
      said[p].push_back(w::chat(p, "peer " + std::to_string(p) + " line " + std::to_string(tick)));
      ASSERT_TRUE(peers[p].client.send(said[p].back()));
    }
    for (const auto tick_start = Clock::now(); ms_since(tick_start) < kEveryMs;) {
      room_cycle();
      for (ChatPeer& peer : peers) peer.take();
    }
  }
  ASSERT_FALSE(testing::Test::HasFailure()) << "the lobby stalled with its log";
  const size_t total = said[0].size() * kPeers;
  for (const auto start = Clock::now(); ms_since(start) < 5000;) {
    bool all = true;
    for (ChatPeer& peer : peers) {
      peer.take();
      all = all && peer.chat.size() >= total;
    }
    if (all) break;
    poll(nullptr, 0, 5);
  }
  // Every reader got every line, byte for byte, each peer's in its order.
  for (int r = 0; r < kPeers; ++r) {
    std::map<int, std::vector<std::string>> by_sender;
    for (const std::string& m : peers[r].chat) by_sender[m.size() > 2 ? m[2] : -1].push_back(m);
    for (int p = 0; p < kPeers; ++p) {
      EXPECT_EQ(said[p], by_sender[p]) << "reader " << r << ", lines of peer " << p;
    }
    EXPECT_EQ(total, peers[r].chat.size()) << "reader " << r;
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
  EXPECT_EQ(0u, texts.back().find("shutdown (SIGTERM; ")) << texts.back();
  int dropped_lines = 0;
  for (const std::string& text : texts) {
    EXPECT_EQ(std::string::npos, text.find("BAD LINE")) << text;
    long long n = 0;
    if (std::sscanf(text.c_str(), "log lines dropped %lld", &n) == 1 && n > 0) ++dropped_lines;
  }
  EXPECT_GE(dropped_lines, 1) << "the log never filled";
}

}  // namespace
