// Repeated refusals and drops of one address folded into one line a
// minute: the folder's rules on a clock of the test's, and the real server
// on the real clock.
#include "app/repeat_folder.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/server_process.h"
#include "client/tcp_link.h"
#include "tests/support/child_process.h"
#include "tests/support/tcp_client.h"
#include "tests/support/wire.h"

namespace {

using testing_support::ChildProcess;
using testing_support::ChildStdio;
using testing_support::TcpClient;
using testing_support::TempDir;
namespace w = test_wire;
using SteadyClock = std::chrono::steady_clock;

constexpr char kTimes[] = "\xC3\x97";  // the multiplication sign in UTF-8

int64_t ms_since(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

class RepeatFolderTest : public ::testing::Test {
 protected:
  // Every line handed on since the last call.
  std::vector<std::string> take() {
    std::vector<std::string> taken;
    taken.swap(lines);
    return taken;
  }
  void refused(uint32_t addr, const char* reason, int64_t now_ms, int number = 2) {
    folder.report(app::RepeatFolder::kRefused, addr, number, reason,
                  ("line " + std::to_string(addr) + " " + reason).c_str(), now_ms);
  }

  std::vector<std::string> lines;
  app::RepeatFolder folder{[this](const char* line) { lines.push_back(line); }};
};

constexpr uint32_t kAddr = 0xCB007109;  // 203.0.113.9

TEST_F(RepeatFolderTest, TheFirstIsWrittenTheRestCountedAndToldWhenTheMinuteEnds) {
  EXPECT_EQ(-1, folder.tell_ended(0));
  refused(kAddr, "denied", 1000);
  for (int i = 0; i < 5; ++i) refused(kAddr, "denied", 1000 + i * 10000);
  // Another reason, another kind and another address each open their own.
  refused(kAddr, "full", 2000, 0);
  folder.report(app::RepeatFolder::kDropped, kAddr, 1, "bad framing", "drop line", 3000);
  folder.report(app::RepeatFolder::kDropped, kAddr, 1, "bad framing", "drop line", 4000);
  refused(kAddr + 1, "denied", 5000);
  EXPECT_EQ((std::vector<std::string>{"line 3405803785 denied", "line 3405803785 full", "drop line",
                                      "line 3405803786 denied"}),
            take())
      << "first lines";
  // Not a millisecond early.
  EXPECT_EQ(1, folder.tell_ended(60999));
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(1000, folder.tell_ended(61000));
  EXPECT_EQ(std::vector<std::string>{"refused 203.0.113.9: denied " + std::string(kTimes) +
                                     "5 in the last 60 s"},
            take());
  // A window with nothing after its first closes without a line; a
  // window told late counts only its own minute.
  EXPECT_EQ(1000, folder.tell_ended(62000));
  EXPECT_TRUE(take().empty());
  refused(kAddr, "denied", 62500);
  EXPECT_EQ(std::vector<std::string>{"line 3405803785 denied"}, take()) << "a new minute";
  EXPECT_EQ(1000, folder.tell_ended(64000));
  EXPECT_EQ(std::vector<std::string>{"dropped 203.0.113.9: bad framing " + std::string(kTimes) +
                                     "1 in the last 60 s"},
            take());
  // An event after a window's end tells that window before its own line,
  // even when the keeper has not come by.
  refused(kAddr, "denied", 70000);
  refused(kAddr, "denied", 122500);
  EXPECT_EQ((std::vector<std::string>{
                "refused 203.0.113.9: denied " + std::string(kTimes) + "1 in the last 60 s",
                "line 3405803785 denied"}),
            take());
  // At the end every open window is told with the time it was open.
  refused(kAddr, "denied", 123000);
  refused(kAddr, "denied", 124000);
  folder.tell_all(125001);
  EXPECT_EQ(std::vector<std::string>{"refused 203.0.113.9: denied " + std::string(kTimes) +
                                     "2 in the last 3 s"},
            take());
  EXPECT_EQ(-1, folder.tell_ended(200000));
}

TEST_F(RepeatFolderTest, BeyondTheTableAddressesAreFoldedByReasonAndEndedWindowsGiveWay) {
  for (int i = 0; i < app::kRepeatEntries; ++i) refused(0x0A000000u + i, "denied", 0);
  EXPECT_EQ(static_cast<size_t>(app::kRepeatEntries), take().size());
  // The table is full: further addresses share one window per reason.
  refused(0x0B000001u, "denied", 100);
  refused(0x0B000002u, "denied", 200);
  refused(0x0B000003u, "denied", 300);
  refused(0x0B000004u, "full", 400, 0);
  refused(0x0B000005u, "huge reason", 500, app::kRepeatReasons);
  refused(0x0B000005u, "huge reason", 600, app::kRepeatReasons);
  EXPECT_EQ((std::vector<std::string>{"line 184549377 denied", "line 184549380 full",
                                      "line 184549381 huge reason", "line 184549381 huge reason"}),
            take());
  // Once the table's windows have ended, a new address gets an entry of
  // its own again, and the ended ones are told first.
  refused(0x0A000000u, "denied", 1000);
  refused(0x0C000001u, "denied", 60000);
  EXPECT_EQ((std::vector<std::string>{
                "refused 10.0.0.0: denied " + std::string(kTimes) + "1 in the last 60 s",
                "line 201326593 denied"}),
            take());
  folder.tell_all(60100);
  EXPECT_EQ(std::vector<std::string>{"refused other addresses: denied " + std::string(kTimes) +
                                     "2 in the last 60 s"},
            take());
}

// Lines of the log without their time stamps, those that start with one
// of `prefixes`.
std::vector<std::string> log_lines(const std::string& log,
                                   const std::vector<std::string>& prefixes) {
  std::vector<std::string> found;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string text = end - start > 20 ? log.substr(start + 20, end - start - 20) : "";
    for (const std::string& prefix : prefixes) {
      if (text.rfind(prefix, 0) == 0) {
        found.push_back(text);
        break;
      }
    }
    start = end + 1;
  }
  return found;
}

// Waits until the file `name` in `dir` holds `text`, at most `timeout_ms`.
bool wait_for_log(const TempDir& dir, const std::string& name, const std::string& text,
                  int timeout_ms) {
  const auto start = SteadyClock::now();
  std::string log;
  while (!(dir.read_file(name, &log) && log.find(text) != std::string::npos)) {
    if (ms_since(start) > timeout_ms) return false;
    poll(nullptr, 0, 20);
  }
  return true;
}

// A denied connection: closed without a byte.
void connect_denied(int port, const char* source) {
  TcpClient c;
  ASSERT_TRUE(c.connect_from(source, port));
  std::string before;
  EXPECT_TRUE(c.wait_closed(5000, &before));
  EXPECT_EQ("", w::hex(before));
}

// Logs in and sends two bytes no message starts with: dropped for bad
// framing.
void connect_garbage(int port, const char* source, int32_t id) {
  TcpClient c;
  ASSERT_TRUE(c.connect_from(source, port));
  ASSERT_TRUE(c.send(w::enter(id, "junk", 5) + "XX"));
  EXPECT_TRUE(c.wait_closed(5000));
}

// The real server on the real clock: an address refused again and again,
// and one dropped again and again, each get one line at once and one line
// when their minute ends. Tolerance: the line comes between 60 s after
// the first refusal and 2 s after that.
TEST(RepeatFoldingProcessTest, TheFoldedLineComesAtTheEndOfTheMinute) {
  constexpr int kLateMs = 2000;
  constexpr int kDenied = 30;
  constexpr int kGarbage = 10;
  TempDir dir;
  const int port = client::pick_free_port();
  ASSERT_GT(port, 0);
  ASSERT_TRUE(dir.write_file("dorvik.txt", "L_PORT " + std::to_string(port) + "\n"));
  ASSERT_TRUE(dir.write_file("deny.txt", "127.0.0.2\n"));
  ChildProcess server;
  ASSERT_TRUE(server.start({bench::executable_dir() + "/lobby_server"}, dir.path(),
                           ChildStdio::kNullInput));
  for (const auto start = SteadyClock::now();;) {
    TcpClient probe;
    if (probe.connect_to(port)) break;
    ASSERT_LT(ms_since(start), 10000) << "nothing listens on port " << port;
    poll(nullptr, 0, 10);
  }

  const auto first_tried = SteadyClock::now();
  connect_denied(port, "127.0.0.2");
  const auto first_closed = SteadyClock::now();
  for (int i = 1; i < kDenied; ++i) connect_denied(port, "127.0.0.2");
  for (int i = 0; i < kGarbage; ++i) connect_garbage(port, "127.0.0.3", 7);
  const std::string refused_line = "refused 127.0.0.2: denied " + std::string(kTimes) +
                                   std::to_string(kDenied - 1) + " in the last 60 s";
  ASSERT_TRUE(wait_for_log(dir, "L_log.txt", refused_line, 60000 + 10 * kLateMs));
  const int64_t seen_ms = ms_since(first_tried);
  const int64_t late_ms = ms_since(first_closed) - 60000;
  EXPECT_GE(seen_ms, 60000 - 5) << "told before the minute ended";
  EXPECT_LE(late_ms, kLateMs) << "told too late";
  const std::string dropped_line = "dropped 127.0.0.3: bad framing " + std::string(kTimes) +
                                   std::to_string(kGarbage - 1) + " in the last 60 s";
  EXPECT_TRUE(wait_for_log(dir, "L_log.txt", dropped_line, kLateMs));
  // The next refusal opens a new minute, written at once.
  connect_denied(port, "127.0.0.2");

  ASSERT_TRUE(server.send_signal(SIGTERM));
  int status = 0;
  ASSERT_TRUE(server.wait_exit(10000, &status));
  std::string log;
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  // The probe that found the port open is no part of it.
  std::vector<std::string> folded = log_lines(log, {"refused ", "dropped ", "drop slot "});
  std::erase_if(folded, [](const std::string& line) {
    return line.find(": peer closed (") != std::string::npos;
  });
  ASSERT_EQ(5u, folded.size()) << log;
  EXPECT_EQ(0u, folded[1].find("drop slot ")) << folded[1];
  folded[1] = "drop";
  EXPECT_EQ((std::vector<std::string>{"refused 127.0.0.2: denied", "drop", refused_line,
                                      dropped_line, "refused 127.0.0.2: denied"}),
            folded);
  EXPECT_NE(std::string::npos, log.find("bad framing " + std::to_string(kGarbage) + ", ")) << log;
  const std::string denied = "denied " + std::to_string(kDenied + 1);
  EXPECT_TRUE(log.find(denied + ",") != std::string::npos ||
              log.find(denied + ")") != std::string::npos)
      << log;
}

}  // namespace
