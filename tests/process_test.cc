// The lobby_server executable as an operator or a service manager runs it:
// a child process in an empty directory, on its default port, watched
// through its standard output, a pseudo-terminal, its log file and its exit
// status.
//
// The same tests run against the Windows build under Wine: the server, the
// upstream stand-in and lobbyctl are then started with the commands in
// LOBBY_SERVER_COMMAND, UPSTREAM_LISTEN_COMMAND and LOBBYCTL_COMMAND (words
// separated by blanks, e.g. "wine build-win/lobby_server.exe --console"). Wine turns
// SIGINT into Ctrl-C but SIGTERM and SIGHUP into nothing a Windows program
// sees, so such a server is stopped with SIGINT, and the tests of the
// terminal display and of the other signals are Linux-only.
#include <errno.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "config/setting_keys.h"
#include "net/socket_ops.h"
#include "ops/admin_client.h"
#include "tests/support/child_process.h"
#include "tests/support/message_reader.h"
#include "tests/support/notify_socket.h"
#include "tests/support/tcp_client.h"
#include "tests/support/wire.h"

namespace {

using testing_support::ChildProcess;
using testing_support::ChildStdio;
using testing_support::FakeNotifySocket;
using testing_support::ScopedEnv;
using testing_support::TcpClient;
using testing_support::TempDir;

constexpr int kDefaultPort = 30009;
// Generous bounds for a loaded machine; each is only reached on failure.
constexpr int kOutputWaitMs = 10000;
constexpr int kListenWaitMs = 10000;
// The server must be gone this soon after a stop signal or a key; Wine
// takes longer to tear a process down.
constexpr int kExitWaitMs = 1000;
constexpr int kWineExitWaitMs = 5000;

constexpr char kTitle[] = "LOBBYサーバ(Ver0.9.4)";

namespace w = test_wire;

// The words of the command in `variable`, or `fallback` alone.
std::vector<std::string> command_from(const char* variable, const char* fallback) {
  const char* text = std::getenv(variable);
  if (text == nullptr || *text == '\0') return {fallback};
  std::vector<std::string> words;
  std::string word;
  for (const char* c = text;; ++c) {
    if (*c == ' ' || *c == '\0') {
      if (!word.empty()) words.push_back(word);
      word.clear();
      if (*c == '\0') break;
    } else {
      word += *c;
    }
  }
  // The child is started without a search of PATH: the program's own path.
  if (!words.empty() && words[0].find('/') == std::string::npos) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t begin = 0;
    while (begin <= dirs.size()) {
      size_t end = dirs.find(':', begin);
      if (end == std::string::npos) end = dirs.size();
      const std::string candidate = dirs.substr(begin, end - begin) + "/" + words[0];
      if (access(candidate.c_str(), X_OK) == 0) {
        words[0] = candidate;
        break;
      }
      begin = end + 1;
    }
  }
  return words;
}

std::vector<std::string> server_command() {
  return command_from("LOBBY_SERVER_COMMAND", LOBBY_SERVER_PATH);
}

// True when the server is the Windows build run by Wine.
bool under_wine() {
  const std::string first = server_command()[0];
  return first == "wine" || (first.size() > 5 && first.substr(first.size() - 5) == "/wine");
}

// The signal that stops a server with exit status 0: SIGTERM, as a service
// manager sends it, or Ctrl-C's SIGINT under Wine.
int stop_signal() { return under_wine() ? SIGINT : SIGTERM; }
// What the shutdown line names for it: the signal, or the console's event
// that Wine makes of it.
std::string stop_cause() { return under_wine() ? "Ctrl-C" : "SIGTERM"; }

std::string describe(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "wait status " + std::to_string(status);
}

class LobbyProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty()) << "no temporary directory";
    if (server_command()[0] == LOBBY_SERVER_PATH) {
      ASSERT_EQ(0, access(LOBBY_SERVER_PATH, X_OK)) << "build the lobby_server target first";
    }
    // A server left over from elsewhere would answer in place of ours.
    // Under Wine the previous test's server may still be letting its port
    // go for a moment.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(under_wine() ? kWineExitWaitMs : 0);
    TcpClient probe;
    while (probe.connect_to(kDefaultPort) && std::chrono::steady_clock::now() < deadline) {
      probe.close();
      poll(nullptr, 0, 20);
    }
    ASSERT_FALSE(probe.connect_to(kDefaultPort))
        << "port " << kDefaultPort << " is already in use on this machine";
  }

  // A Wine process killed outright lets its sockets go only when Wine
  // notices; one stopped as an operator would closes them itself.
  void TearDown() override {
    if (!under_wine() || server == nullptr || !server->running()) return;
    server->send_signal(SIGINT);
    int status = 0;
    server->wait_exit(kWineExitWaitMs, &status);
  }

  void start(ChildStdio stdio = ChildStdio::kNullInput) {
    server = std::make_unique<ChildProcess>();
    ASSERT_TRUE(server->start(server_command(), dir.path(), stdio));
  }

  // The server as the tests of the game protocol need it: started, its
  // lines shown, listening.
  void start_listening() {
    start();
    expect_status_lines("sample_lobby", 0, 4);
    TcpClient probe;
    connect(&probe);
  }

  void expect_next_line(const std::string& expected) {
    std::string line;
    ASSERT_TRUE(server->next_line(&line, kOutputWaitMs))
        << "no line \"" << expected << "\"; output so far:\n"
        << server->output();
    EXPECT_EQ(expected, line);
  }

  void expect_status_lines(const std::string& name, int version, int rooms) {
    expect_next_line("■【 " + name + " 】■");
    expect_next_line("GAME_DATA  Ver( " + std::to_string(version) + " )");
    expect_next_line("USER_DATA: 0 / " + std::to_string(rooms * 8));
    expect_next_line("ROOM_DATA: 0 / " + std::to_string(rooms));
  }

  // The listener may come up a moment after the first output; tries again
  // until the bound runs out or the server has ended.
  void connect(TcpClient* client) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kListenWaitMs);
    while (!client->connect_to(kDefaultPort)) {
      int status;
      ASSERT_FALSE(server->wait_exit(20, &status)) << "server ended: " << describe(status);
      ASSERT_LT(std::chrono::steady_clock::now(), deadline)
          << "nothing listens on 127.0.0.1:" << kDefaultPort;
    }
  }

  void expect_exit(int expected_status) {
    int status = 0;
    const int wait_ms = under_wine() ? kWineExitWaitMs : kExitWaitMs;
    ASSERT_TRUE(server->wait_exit(wait_ms, &status)) << "still running " << wait_ms << " ms later";
    EXPECT_EQ("exit status " + std::to_string(expected_status), describe(status));
  }

  void expect_terminal_restored() {
    termios after;
    ASSERT_TRUE(server->terminal_settings(&after));
    EXPECT_NE(0u, after.c_lflag & ICANON);
    EXPECT_NE(0u, after.c_lflag & ECHO);
  }

  TempDir dir;
  std::unique_ptr<ChildProcess> server;
};

// Without a settings file: the default lines, the default port, the log, and
// a line for every change of the user count.
TEST_F(LobbyProcessTest, DefaultsShowLinesListenLogAndCountUsers) {
  start();
  expect_status_lines("sample_lobby", 0, 4);
  EXPECT_TRUE(dir.exists("L_log.txt"));

  TcpClient first;
  connect(&first);
  expect_next_line("USER_DATA: 1 / 32");
  TcpClient second;
  connect(&second);
  expect_next_line("USER_DATA: 2 / 32");
  first.close();
  expect_next_line("USER_DATA: 1 / 32");
  second.close();
  expect_next_line("USER_DATA: 0 / 32");
}

// A client that logs in and opens a room moves the room count; when it
// leaves, both counts fall back.
TEST_F(LobbyProcessTest, OpenRoomCountsInRoomLine) {
  start();
  expect_status_lines("sample_lobby", 0, 4);
  TcpClient client;
  connect(&client);
  expect_next_line("USER_DATA: 1 / 32");
  ASSERT_TRUE(client.send(test_wire::enter(40, "zed", 9) + test_wire::room_op(-1)));
  expect_next_line("ROOM_DATA: 1 / 4");

  client.close();
  // The two counts change in separate passes or in one (then in display
  // order); either way each falls back exactly once.
  std::string first;
  std::string second;
  ASSERT_TRUE(server->next_line(&first, kOutputWaitMs)) << server->output();
  ASSERT_TRUE(server->next_line(&second, kOutputWaitMs)) << server->output();
  std::vector<std::string> seen = {first, second};
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ((std::vector<std::string>{"ROOM_DATA: 0 / 4", "USER_DATA: 0 / 32"}), seen);
}

// Run as a service manager runs it: READY=1 once the port listens, then
// the counts as they change, WATCHDOG=1 at half of WATCHDOG_USEC (100 ms
// here) from start to stop, and STOPPING=1 at the stop. The socket name is
// an abstract one ("@..."), as service managers may hand out.
TEST_F(LobbyProcessTest, TellsTheServiceManagerReadyCountsWatchdogAndStop) {
  if (under_wine()) GTEST_SKIP() << "no service manager speaks this protocol on Windows";
  FakeNotifySocket notify;
  ASSERT_TRUE(notify.bind_to("@lobby-notify-test-" + std::to_string(getpid())));
  {
    ScopedEnv env({{"NOTIFY_SOCKET", notify.address().c_str()},
                   {"WATCHDOG_USEC", "1000000"},
                   {"WATCHDOG_PID", nullptr}});
    start();
  }
  std::string notice;
  ASSERT_TRUE(notify.next_notice(&notice, kListenWaitMs)) << server->output();
  EXPECT_EQ("READY=1", notice);
  // Ready means listening: the first attempt connects.
  TcpClient client;
  ASSERT_TRUE(client.connect_to(kDefaultPort));
  ASSERT_TRUE(notify.next_notice(&notice, kOutputWaitMs));
  EXPECT_EQ("STATUS=0 users, 0 rooms", notice);
  ASSERT_TRUE(notify.next_notice(&notice, kOutputWaitMs));
  EXPECT_EQ("STATUS=1 users, 0 rooms", notice);
  ASSERT_TRUE(client.send(test_wire::enter(40, "zed", 9) + test_wire::room_op(-1)));
  ASSERT_TRUE(notify.next_notice(&notice, kOutputWaitMs));
  EXPECT_EQ("STATUS=1 users, 1 rooms", notice);

  // 6 expected in 3 s; the bounds leave room for a loaded machine, and a
  // watchdog fed on every pass (or only once a second) falls outside them.
  // The interval is long enough that a slow pass under a sanitizer is not
  // taken for a stuck worker.
  const int watchdogs = notify.count_watchdogs(3000);
  EXPECT_GE(watchdogs, 4);
  EXPECT_LE(watchdogs, 8);

  ASSERT_TRUE(server->send_signal(SIGTERM));
  expect_exit(0);
  ASSERT_TRUE(notify.next_notice(&notice, kOutputWaitMs));
  EXPECT_EQ("STOPPING=1", notice);
  EXPECT_FALSE(notify.next_notice(&notice, 0)) << notice;
  std::string log;
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  EXPECT_NE(std::string::npos, log.find("service manager: watchdog every 500 ms")) << log;
}

// A full lobby of 32 players who each close and at once reconnect, 30 times
// over: first all together, then each as soon as its own login is answered,
// out of step with the others (so that drops and placements interleave,
// and a newcomer's socket may take the number its own last one had). Every
// reconnect gets a slot and none is told the lobby is full (2A), though
// each finds the slot its own last connection held not yet given back.
// Every player from 127.0.0.1 and as fast as it can: nothing but the 32
// slots limits them.
TEST_F(LobbyProcessTest, ImmediateReconnectsToAFullLobbyAreNeverRefused) {
  ASSERT_TRUE(
      dir.write_file("dorvik.txt", "L_PER_IP 0\nL_PER_NET 0\nL_CONN_RATE 0\nL_AUTOBAN 0\n"));
  start_listening();
  constexpr int kPlayers = 32;
  constexpr int kRounds = 15;
  std::vector<TcpClient> players(kPlayers);
  int refused = 0;
  auto come_back = [&](int i) {
    players[i].close();
    return players[i].connect_to(kDefaultPort) &&
           players[i].send(w::enter(i + 1, "p" + std::to_string(i), i + 1));
  };
  auto answered = [&](const std::string& first) {
    if (first == w::full()) ++refused;
    return first == w::full() || first == w::list_end();
  };
  for (int round = 0; round < kRounds; ++round) {
    for (TcpClient& player : players) player.close();
    for (int i = 0; i < kPlayers; ++i) ASSERT_TRUE(come_back(i)) << "round " << round;
    for (int i = 0; i < kPlayers; ++i) {
      const std::string first = players[i].read_exact(2, kOutputWaitMs);
      ASSERT_TRUE(answered(first))
          << "round " << round << ", player " << i << ": " << w::hex(first);
    }
  }
  // Out of step: whoever is answered goes and comes back at once.
  std::vector<int> cycles(kPlayers, 0);
  std::vector<std::string> got(kPlayers);
  for (int i = 0; i < kPlayers; ++i) ASSERT_TRUE(come_back(i));
  int left = kPlayers * kRounds;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (left > 0 && std::chrono::steady_clock::now() < deadline) {
    pollfd fds[kPlayers];
    for (int i = 0; i < kPlayers; ++i) {
      fds[i] = {cycles[i] < kRounds ? players[i].fd() : -1, POLLIN, 0};
    }
    ASSERT_GE(poll(fds, kPlayers, kOutputWaitMs), 0);
    for (int i = 0; i < kPlayers; ++i) {
      if (fds[i].revents == 0) continue;
      got[i] += players[i].read_available();
      if (got[i].size() < 2) continue;
      ASSERT_TRUE(answered(got[i].substr(0, 2))) << "player " << i << ": " << w::hex(got[i]);
      got[i].clear();
      --left;
      if (++cycles[i] < kRounds) {
        ASSERT_TRUE(come_back(i));
      }
    }
  }
  EXPECT_EQ(0, left) << "logins left unanswered";
  EXPECT_EQ(0, refused);
}

// SIGTERM (Ctrl-C under Wine): status 0 within a second, the log ends with
// its shutdown line, and connected clients see their connection end.
TEST_F(LobbyProcessTest, StopSignalStopsCleanly) {
  start();
  expect_status_lines("sample_lobby", 0, 4);
  TcpClient client;
  connect(&client);
  expect_next_line("USER_DATA: 1 / 32");

  ASSERT_TRUE(server->send_signal(stop_signal()));
  expect_exit(0);
  EXPECT_TRUE(client.wait_closed(kOutputWaitMs));

  std::string log;
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  EXPECT_NE(std::string::npos, log.find("start sample_lobby port 30009 rooms 4")) << log;
  const size_t shutdown = log.find("shutdown (" + stop_cause() + "; ");
  ASSERT_NE(std::string::npos, shutdown) << log;
  // Nothing is written after the shutdown line: the log was closed first.
  EXPECT_EQ(log.size() - 1, log.find('\n', shutdown)) << log;
}

// A port held by another program: the server still shows its lines and
// stops cleanly, and the log names the real cause.
TEST_F(LobbyProcessTest, TakenPortIsLoggedWithItsCause) {
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  // Earlier tests' connections may still wait out their close on the port.
  int on = 1;
  ASSERT_EQ(0, setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kDefaultPort);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(holder, 1));
  start();
  expect_status_lines("sample_lobby", 0, 4);
  // The accept thread tries the port after the lines may have been shown:
  // the log is looked at until it tells, within a bound. Windows names the
  // cause in its own words and ends the line with its code.
  const std::string expected =
      under_wine() ? std::string("(10048)\r\n")
                   : "listen on port 30009 failed (-3): " + std::string(strerror(EADDRINUSE));
  std::string log;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kListenWaitMs);
  while (!(dir.read_file("L_log.txt", &log) && log.find("listen on port") != std::string::npos) &&
         std::chrono::steady_clock::now() < deadline) {
    poll(nullptr, 0, 5);
  }
  ASSERT_TRUE(server->send_signal(stop_signal()));
  expect_exit(0);
  close(holder);
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  EXPECT_NE(std::string::npos, log.find("listen on port 30009 failed (-3): ")) << log;
  EXPECT_NE(std::string::npos, log.find(expected)) << log;
}

// A port held by another program is tried again every 5 s: meanwhile the
// service manager hears "not listening" and no READY=1, and status says
// "listening":false; once the port is free the lobby listens within about
// 5 s (the tolerance: 2 s more for a loaded machine), sends READY=1 only
// then, and logs the attempts. Its drain shows in STATUS= while it runs.
TEST_F(LobbyProcessTest, TakenPortIsTriedAgainAndReadyComesOnlyOnceItListens) {
  if (under_wine()) GTEST_SKIP() << "no service manager speaks this protocol on Windows";
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  int on = 1;
  ASSERT_EQ(0, setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kDefaultPort);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(holder, 1));
  FakeNotifySocket notify;
  ASSERT_TRUE(notify.bind_to("@lobby-retry-test-" + std::to_string(getpid())));
  {
    ScopedEnv env({{"NOTIFY_SOCKET", notify.address().c_str()},
                   {"WATCHDOG_USEC", nullptr},
                   {"WATCHDOG_PID", nullptr}});
    start();
  }
  std::string notice;
  ASSERT_TRUE(notify.next_notice(&notice, kListenWaitMs)) << server->output();
  EXPECT_EQ("STATUS=not listening: port 30009: " + std::string(strerror(EADDRINUSE)), notice);
  std::string reply;
  std::string error;
  const std::string socket_path = dir.file("lobby.sock");
  ASSERT_TRUE(ops::ask_lobby(socket_path, "status", &reply, kOutputWaitMs, &error)) << error;
  EXPECT_NE(std::string::npos, reply.find("\"listening\":false,")) << reply;
  // A retry while the port is still held changes nothing.
  EXPECT_FALSE(notify.next_notice(&notice, 6000)) << notice;

  close(holder);
  const auto freed = std::chrono::steady_clock::now();
  ASSERT_TRUE(notify.next_notice(&notice, 10000)) << server->output();
  const auto took_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - freed)
                           .count();
  EXPECT_EQ("READY=1", notice);
  EXPECT_LE(took_ms, 5000 + 2000);
  TcpClient client;
  ASSERT_TRUE(client.connect_to(kDefaultPort));
  ASSERT_TRUE(notify.next_notice(&notice, kOutputWaitMs));
  EXPECT_EQ("STATUS=0 users, 0 rooms", notice);
  ASSERT_TRUE(notify.next_notice(&notice, kOutputWaitMs));
  EXPECT_EQ("STATUS=1 users, 0 rooms", notice);
  ASSERT_TRUE(ops::ask_lobby(socket_path, "status", &reply, kOutputWaitMs, &error)) << error;
  EXPECT_NE(std::string::npos, reply.find("\"listening\":true,")) << reply;

  // The drain's status names its end in local time, then gives way to the
  // counts again when it is cancelled.
  const std::time_t asked = std::time(nullptr);
  ASSERT_TRUE(ops::ask_lobby(socket_path, "drain 600", &reply, kOutputWaitMs, &error)) << error;
  ASSERT_TRUE(notify.next_notice(&notice, kOutputWaitMs));
  std::vector<std::string> ends;
  for (std::time_t t = asked + 600; t <= asked + 601; ++t) {
    std::tm local{};
    localtime_r(&t, &local);
    char text[80];
    std::snprintf(text, sizeof text, "STATUS=draining: 1 users left, ends at %02d:%02d:%02d",
                  local.tm_hour, local.tm_min, local.tm_sec);
    ends.push_back(text);
  }
  EXPECT_TRUE(notice == ends[0] || notice == ends[1]) << notice;
  ASSERT_TRUE(ops::ask_lobby(socket_path, "drain cancel", &reply, kOutputWaitMs, &error)) << error;
  EXPECT_EQ("{\"draining\":false}", reply);
  ASSERT_TRUE(notify.next_notice(&notice, kOutputWaitMs));
  EXPECT_EQ("STATUS=1 users, 0 rooms", notice);

  ASSERT_TRUE(server->send_signal(SIGTERM));
  expect_exit(0);
  std::string log;
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  EXPECT_NE(std::string::npos, log.find("listen on port 30009 failed (-3): ")) << log;
  // Two or three attempts, as the retries fell around the port's release.
  const size_t listened = log.find("listening on port 30009 after ");
  ASSERT_NE(std::string::npos, listened) << log;
  EXPECT_NE(std::string::npos, log.find(" attempts\n", listened)) << log;
  EXPECT_EQ(log.find("listen on port 30009 failed"), log.rfind("listen on port 30009 failed"))
      << log;
}

TEST_F(LobbyProcessTest, InterruptAndHangupAlsoStopWithStatusZero) {
  const std::vector<int> signals =
      under_wine() ? std::vector<int>{SIGINT} : std::vector<int>{SIGINT, SIGHUP};
  for (int signal_number : signals) {
    SCOPED_TRACE(strsignal(signal_number));
    start();
    expect_status_lines("sample_lobby", 0, 4);
    ASSERT_TRUE(server->send_signal(signal_number));
    expect_exit(0);
    std::string log;
    ASSERT_TRUE(dir.read_file("L_log.txt", &log));
    const std::string cause = under_wine()              ? "Ctrl-C"
                              : signal_number == SIGINT ? "SIGINT"
                                                        : "SIGHUP";
    EXPECT_NE(std::string::npos, log.find("shutdown (" + cause + "; ")) << log;
  }
}

// A settings file too big, or no regular file at all (a pipe nobody
// writes, which would hold an open for reading), is refused at the start:
// the lobby runs on its defaults and its log says why.
TEST_F(LobbyProcessTest, ASettingsFileTooBigOrOfAnotherKindLeavesEveryDefault) {
  const std::vector<std::string> kinds =
      under_wine() ? std::vector<std::string>{"big"} : std::vector<std::string>{"big", "pipe"};
  for (const std::string& kind : kinds) {
    SCOPED_TRACE(kind);
    std::remove(dir.file("dorvik.txt").c_str());
    if (kind == "big") {
      ASSERT_TRUE(dir.write_file("dorvik.txt", "L_NAME big\n" + std::string(1024 * 1024, ';')));
    } else {
      ASSERT_EQ(0, mkfifo(dir.file("dorvik.txt").c_str(), 0600));
    }
    start();
    expect_status_lines("sample_lobby", 0, 4);
    ASSERT_TRUE(server->send_signal(stop_signal()));
    expect_exit(0);
    std::string log;
    ASSERT_TRUE(dir.read_file("L_log.txt", &log));
    const std::string why = kind == "big" ? "too big, over 1 MiB" : "not a regular file";
    EXPECT_NE(std::string::npos,
              log.find(" dorvik.txt: " + why + "; every setting keeps its default"))
        << log;
  }
  std::remove(dir.file("dorvik.txt").c_str());
}

TEST_F(LobbyProcessTest, SettingsFileSetsNameVersionAndRooms) {
  ASSERT_TRUE(dir.write_file("dorvik.txt", "ROOM 2\nL_NAME east_lobby\nVER 3\nL_PORT 30009\n"));
  start();
  expect_status_lines("east_lobby", 3, 2);
  TcpClient client;
  connect(&client);
  expect_next_line("USER_DATA: 1 / 16");
  ASSERT_TRUE(server->send_signal(stop_signal()));
  expect_exit(0);
}

// The protections read from the working directory: clamped settings and
// bad deny lines are logged once the log is open, a denied address is
// closed without a byte, and the shutdown line carries every count.
TEST_F(LobbyProcessTest, ProtectionSettingsAndDenyFileAreReadAndLogged) {
  ASSERT_TRUE(dir.write_file("dorvik.txt", "L_PER_IP 40\nL_FLOOD_BURST 0\n"));
  ASSERT_TRUE(dir.write_file("deny.txt", "127.0.0.2\nnot an address\n"));
  start();
  expect_status_lines("sample_lobby", 0, 4);
  TcpClient client;
  connect(&client);
  expect_next_line("USER_DATA: 1 / 32");
  TcpClient denied;
  ASSERT_TRUE(denied.connect_from("127.0.0.2", kDefaultPort));
  std::string before;
  EXPECT_TRUE(denied.wait_closed(3000, &before));
  EXPECT_EQ("", before);
  ASSERT_TRUE(server->send_signal(stop_signal()));
  expect_exit(0);
  std::string log;
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  // The Windows build ends its lines as Windows does.
  const std::string end = under_wine() ? "\r\n" : "\n";
  for (const std::string& line : std::vector<std::string>{
           "setting L_PER_IP 40 is outside 0 or 1..32: 32 used",
           "setting L_FLOOD_BURST 0 is outside 1..10000: 1 used",
           "deny list deny.txt line 2 ignored: not an address",
           "deny list deny.txt: 1 entries",
           "refused 127.0.0.2: denied",
           "shutdown (" + stop_cause() +
               "; drops: peer closed 0, bad framing 0, idle 0, not reading 0, "
               "no login 0, displaced 0, flooding 0, kicked 0, banned 0; refused full 0, "
               "per-address limit 0, denied 1, draining 0, per-network limit 0, connecting too "
               "fast 0)",
       }) {
    EXPECT_NE(std::string::npos, log.find(" " + line + end)) << line << "\nin:\n" << log;
  }
}

// A negative room count serves nobody and is shown as written.
TEST_F(LobbyProcessTest, NegativeRoomCountRefusesEveryClient) {
  ASSERT_TRUE(dir.write_file("dorvik.txt", "ROOM -2\n"));
  start();
  expect_status_lines("sample_lobby", 0, -2);
  TcpClient client;
  connect(&client);
  std::string before;
  EXPECT_TRUE(client.wait_closed(kOutputWaitMs, &before));
  EXPECT_EQ(test_wire::hex(test_wire::full()), test_wire::hex(before));
  ASSERT_TRUE(server->send_signal(stop_signal()));
  expect_exit(0);
}

// Lines on a pipe mean no operator: a line feed on standard input is not
// the Enter key, and the server keeps running.
TEST_F(LobbyProcessTest, PipedInputIsNotRead) {
  start(ChildStdio::kPipeInput);
  expect_status_lines("sample_lobby", 0, 4);
  ASSERT_TRUE(server->send_input("\n\r\x1b"));
  TcpClient client;
  connect(&client);
  expect_next_line("USER_DATA: 1 / 32");
  ASSERT_TRUE(server->send_signal(stop_signal()));
  expect_exit(0);
}

TEST_F(LobbyProcessTest, VersionAndHelpExitWithoutStarting) {
  for (const char* option : {"--version", "--help"}) {
    SCOPED_TRACE(option);
    ChildProcess child;
    std::vector<std::string> command = server_command();
    command.push_back(option);
    ASSERT_TRUE(child.start(command, dir.path(), ChildStdio::kNullInput));
    int status = 0;
    ASSERT_TRUE(child.wait_exit(kOutputWaitMs, &status));
    EXPECT_EQ("exit status 0", describe(status));
    std::string line;
    EXPECT_TRUE(child.next_line(&line, kOutputWaitMs));
    EXPECT_FALSE(line.empty());
    EXPECT_FALSE(dir.exists("L_log.txt"));
  }
}

// A reader of the status lines that stops reading (its pipe full) delays
// the lines, never the server or its stop: clients are served throughout,
// and a stop signal still ends it at once with its log closed.
TEST_F(LobbyProcessTest, AReaderThatStopsReadingNeverHoldsTheServer) {
  // Two pages: a pipe reports room for more only while a page is free.
  constexpr int kPipeBytes = 8192;
  constexpr int kPageBytes = 4096;
  // Hundreds of room operations as fast as they are answered: paced at 25
  // a second they would take longer than the point of the test.
  ASSERT_TRUE(dir.write_file("dorvik.txt", "L_FLOOD_RATE 0\n"));
  start();
  expect_status_lines("sample_lobby", 0, 4);
  ASSERT_TRUE(server->set_output_buffer(kPipeBytes));
  TcpClient client;
  connect(&client);
  ASSERT_TRUE(client.send(w::enter(1, "fill", 5)));
  ASSERT_EQ(w::hex(w::list_end() + w::group_count(1)), w::hex(client.read_exact(8, kOutputWaitMs)));
  // Each room made or left changes the room line; each state is kept until
  // its line is out, until no more lines come out.
  const std::string made = w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "fill");
  const std::string left = w::room_result(0) + w::member_count(0, 0);
  auto line_came = [this](int before) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    while (server->unread_output() == before && std::chrono::steady_clock::now() < deadline) {
      poll(nullptr, 0, 1);
    }
    return server->unread_output() != before;
  };
  // A line slower than the second line_came waits (a loaded machine, or
  // Wine) is not taken for a full pipe: the pipe is full only once a page
  // waits unread, which the lines reach within a bounded time.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (bool more = true; more;) {
    int before = server->unread_output();
    ASSERT_TRUE(client.send(w::room_op(-1)));
    ASSERT_EQ(w::hex(made), w::hex(client.read_exact(made.size(), kOutputWaitMs)));
    more = line_came(before);
    before = server->unread_output();
    ASSERT_TRUE(client.send(w::room_op(-2)));
    ASSERT_EQ(w::hex(left), w::hex(client.read_exact(left.size(), kOutputWaitMs)));
    more = more && line_came(before);
    if (!more && server->unread_output() < kPageBytes) {
      more = std::chrono::steady_clock::now() < give_up;
    }
  }
  // The lines stopped because the pipe filled, and the lobby still serves.
  ASSERT_GE(server->unread_output(), kPageBytes);
  ASSERT_TRUE(client.send(w::room_op(-1)));
  EXPECT_EQ(w::hex(made), w::hex(client.read_exact(made.size(), kOutputWaitMs)));

  ASSERT_TRUE(server->send_signal(stop_signal()));
  expect_exit(0);
  EXPECT_TRUE(client.wait_closed(kOutputWaitMs));
  std::string log;
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  EXPECT_NE(std::string::npos, log.find("shutdown (" + stop_cause() + ";")) << log;
}

// A flooder is held back by pacing and dropped after 10 s of hold; a stop
// of the process meanwhile (SIGSTOP, then SIGCONT, as Ctrl-Z and fg) is not
// the flooder's: the drop comes that much later. Real clock: held from its
// first moment, stopped for 3 s after 1 s, it goes after 13 s, within
// -1 s and +1.5 s.
TEST_F(LobbyProcessTest, AFloodHoldDoesNotCountTheTimeTheProcessWasStopped) {
  if (under_wine()) GTEST_SKIP() << "the Windows build is not stopped by SIGSTOP";
  constexpr int kStoppedMs = 3000;
  ASSERT_TRUE(dir.write_file("dorvik.txt", "L_FLOOD_RATE 10\nL_FLOOD_BURST 10\n"));
  start_listening();
  TcpClient flooder;
  connect(&flooder);
  // 500 keep-alives: 50 s of messages at 10 a second, so the hold never
  // has a break.
  std::string flood = w::enter(1, "flood", 5);
  for (int i = 0; i < 500; ++i) flood += w::keep_alive();
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(flooder.send(flood));
  ASSERT_EQ(w::hex(w::list_end() + w::group_count(1)),
            w::hex(flooder.read_exact(8, kOutputWaitMs)));
  poll(nullptr, 0, 1000);
  ASSERT_TRUE(server->send_signal(SIGSTOP));
  poll(nullptr, 0, kStoppedMs);
  ASSERT_TRUE(server->send_signal(SIGCONT));
  ASSERT_TRUE(flooder.wait_closed(20000));
  const auto held_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent)
          .count();
  EXPECT_GE(held_ms, 10000 + kStoppedMs - 1000);
  EXPECT_LE(held_ms, 10000 + kStoppedMs + 1500);
  std::string log;
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  EXPECT_NE(std::string::npos, log.find("user 1: flooding")) << log;
}

// The upstream server named in the settings hears the lobby register, then
// one notice for each accepted login (a refused one is not reported). When
// it is restarted, the lobby connects again by itself about a second later
// and tells it the user still online; the user's departure is reported
// too. upstream_listen stamps each connection.
TEST_F(LobbyProcessTest, RegistersWithConfiguredUpstreamAndAgainAfterItRestarts) {
  const std::vector<std::string> upstream_command =
      command_from("UPSTREAM_LISTEN_COMMAND", UPSTREAM_LISTEN_PATH);
  if (upstream_command[0] == UPSTREAM_LISTEN_PATH) {
    ASSERT_EQ(0, access(UPSTREAM_LISTEN_PATH, X_OK)) << "build the upstream_listen target first";
  }
  // A time stamp (a 9 stands for any digit), then the connection.
  const std::string connected = "9999-99-99 99:99:99.999 connected 127.0.0.1:";
  std::string upstream_port = "0";
  TcpClient client;
  for (int run = 0; run < 2; ++run) {
    ChildProcess upstream;
    std::vector<std::string> command = upstream_command;
    command.push_back(upstream_port);
    ASSERT_TRUE(upstream.start(command, dir.path(), ChildStdio::kNullInput));
    std::string line;
    ASSERT_TRUE(upstream.next_line(&line, kOutputWaitMs));
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(0u, line.rfind(prefix, 0)) << line;
    upstream_port = line.substr(prefix.size());
    if (run == 0) {
      ASSERT_TRUE(dir.write_file(
          "dorvik.txt", "L_IP 192.168.0.10\nN_IP 127.0.0.1\nN_PORT " + upstream_port + "\n"));
      start();
      expect_status_lines("sample_lobby", 0, 4);
    }
    ASSERT_TRUE(upstream.next_line(&line, kOutputWaitMs));
    bool shaped = line.size() > connected.size() && line.ends_with(" (connection 1)");
    for (size_t i = 0; shaped && i < connected.size(); ++i) {
      shaped = connected[i] == '9' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                   : line[i] == connected[i];
    }
    EXPECT_TRUE(shaped) << line;
    ASSERT_TRUE(upstream.next_line(&line, kOutputWaitMs));
    EXPECT_EQ("2I port=30009 zero=0 ip=192.168.0.10", line);
    if (run == 0) {
      TcpClient refused;
      connect(&refused);
      ASSERT_TRUE(refused.send(w::name(41, "nope") + w::validation(1) + w::login(41, 0, 8, 8)));
      EXPECT_EQ(w::hex(w::refused()), w::hex(refused.read_exact(2, kOutputWaitMs)));
      connect(&client);
      ASSERT_TRUE(client.send(w::enter(7, "seven", 5)));
      EXPECT_EQ(w::hex(w::list_end() + w::group_count(1)),
                w::hex(client.read_exact(8, kOutputWaitMs)));
    }
    ASSERT_TRUE(upstream.next_line(&line, kOutputWaitMs));
    EXPECT_EQ("2N user=7", line);
    if (run == 1) {
      client.close();
      ASSERT_TRUE(upstream.next_line(&line, kOutputWaitMs));
      EXPECT_EQ("2F user=7", line);
    }
    ASSERT_TRUE(upstream.send_signal(stop_signal()));
    int status = 0;
    ASSERT_TRUE(upstream.wait_exit(kOutputWaitMs, &status));
    EXPECT_EQ("exit status 0", describe(status));
  }
  ASSERT_TRUE(server->send_signal(stop_signal()));
  expect_exit(0);
}

// The game protocol through the real executable, byte for byte: the same
// cases hold for the Linux build and for the Windows build under Wine.
class WireProcessTest : public LobbyProcessTest {
 protected:
  void SetUp() override {
    LobbyProcessTest::SetUp();
    // Every client here comes from 127.0.0.1, as players behind one
    // address on a LAN do: that address may host every room.
    if (HasFatalFailure()) return;
    ASSERT_TRUE(dir.write_file("dorvik.txt", "L_ROOMS_PER_IP 0\n"));
    start_listening();
  }

  // Connects and logs in; the room list and group count are left unread.
  TcpClient enter(int32_t id, const std::string& name, int32_t key, int32_t seats = 8,
                  int32_t start_size = 8) {
    TcpClient client;
    connect(&client);
    EXPECT_TRUE(client.send(w::enter(id, name, key, seats, start_size)));
    return client;
  }

  static void expect_bytes(TcpClient& client, const std::string& expected) {
    EXPECT_EQ(w::hex(expected), w::hex(client.read_exact(expected.size(), kOutputWaitMs)));
  }

  // Reads messages until `expected` arrives.
  static void skip_until(TcpClient& client, const std::string& expected) {
    std::string message;
    while ((message = testing_support::next_message(client, kOutputWaitMs)) != expected) {
      ASSERT_FALSE(message.empty()) << "never came: " << w::hex(expected);
    }
  }
};

// The example of the protocol's description: room 1 of group 5 holds two
// members under the title bob, three clients of group 5 are connected, and
// alice logs in.
TEST_F(WireProcessTest, WorkedExampleByteForByte) {
  // Another group's room takes room 0.
  TcpClient carol = enter(3, "carol", 9);
  expect_bytes(carol, w::list_end() + w::group_count(1));
  ASSERT_TRUE(carol.send(w::room_op(-1)));
  expect_bytes(carol, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "carol"));

  TcpClient bob = enter(1, "bob", 5);
  expect_bytes(bob, w::list_end() + w::group_count(1));
  ASSERT_TRUE(bob.send(w::room_op(-1)));
  expect_bytes(bob, w::room_made(1) + w::room_result(1) + w::room_entry(1, 1, "bob"));
  TcpClient dave = enter(2, "dave", 5);
  expect_bytes(dave, w::room_entry(1, 1, "bob") + w::list_end() + w::group_count(2));
  ASSERT_TRUE(dave.send(w::room_op(1)));
  expect_bytes(dave, w::member_count(1, 2));

  TcpClient alice;
  connect(&alice);
  const char sent[] =
      "\x32\x4E\x07\x00\x00\x00\x61\x6C\x69\x63\x65\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
      "\x32\x56\x01\x00\x00\x00"
      "\x32\x47\x07\x00\x00\x00\x05\x00\x00\x00\x04\x00\x02\x00";
  ASSERT_TRUE(alice.send(std::string(sent, sizeof sent - 1)));
  const char received[] =
      "\x32\x52\x01\x00\x02\x00\x62\x6F\x62\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
      "\x32\x4F"
      "\x32\x48\x03\x00\x00\x00";
  expect_bytes(alice, std::string(received, sizeof received - 1));
}

// A login goes through only right after a validation of 1 and with a group
// key above 0; each refusal is 2V, and the connection stays for a retry. A
// key of 0 or below changes nothing; an unvalidated login still enters its
// group, which then counts the client (2H).
TEST_F(WireProcessTest, LoginRefusals) {
  TcpClient client;
  connect(&client);
  ASSERT_TRUE(client.send(w::name(7, "eve") + w::validation(1) + w::login(7, 0, 8, 8)));
  expect_bytes(client, w::refused());
  ASSERT_TRUE(client.send(w::validation(1) + w::login(7, -3, 8, 8)));
  expect_bytes(client, w::refused());
  ASSERT_TRUE(client.send(w::name(7, "eve") + w::login(7, 5, 8, 8)));
  expect_bytes(client, w::refused() + w::group_count(1));
  ASSERT_TRUE(client.send(w::validation(0) + w::login(7, 5, 8, 8)));
  expect_bytes(client, w::refused() + w::group_count(1));
  ASSERT_TRUE(client.send(w::validation(1) + w::login(7, 5, 8, 8)));
  expect_bytes(client, w::list_end() + w::group_count(1));
}

// A room made, joined up to its start size, and started: every player gets
// the seat list with its own seat flagged and the start; a latecomer of the
// group sees only the counts and cannot join a started room.
TEST_F(WireProcessTest, RoomsFillAndTheGameStarts) {
  TcpClient host = enter(1, "host", 5, 4, 3);
  expect_bytes(host, w::list_end() + w::group_count(1));
  // Each count is read before the next login: a member that falls behind is
  // sent only the latest count.
  TcpClient b = enter(2, "bee", 5, 4);
  expect_bytes(b, w::list_end() + w::group_count(2));
  expect_bytes(host, w::group_count(2));
  TcpClient c = enter(3, "cee", 5, 4);
  expect_bytes(c, w::list_end() + w::group_count(3));
  for (TcpClient* x : {&host, &b}) expect_bytes(*x, w::group_count(3));
  TcpClient late = enter(4, "late", 5, 4);
  expect_bytes(late, w::list_end() + w::group_count(4));
  for (TcpClient* x : {&host, &b, &c}) expect_bytes(*x, w::group_count(4));

  ASSERT_TRUE(host.send(w::room_op(-1)));
  expect_bytes(host, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "host"));
  for (TcpClient* x : {&b, &c, &late}) expect_bytes(*x, w::room_entry(0, 1, "host"));
  ASSERT_TRUE(b.send(w::room_op(0)));
  for (TcpClient* x : {&host, &b, &c, &late}) expect_bytes(*x, w::member_count(0, 2));
  ASSERT_TRUE(c.send(w::room_op(0)));
  TcpClient* players[] = {&host, &b, &c};
  for (int self = 0; self < 3; ++self) {
    expect_bytes(*players[self],
                 w::seat_entry(0, self == 0, "host") + w::seat_entry(1, self == 1, "bee") +
                     w::seat_entry(2, self == 2, "cee") + w::seat_entry(3, false, "") +
                     w::status(2) + w::member_count(0, 3));
  }
  expect_bytes(late, w::member_count(0, 3));
  ASSERT_TRUE(late.send(w::room_op(0)));
  expect_bytes(late, w::status(21));
}

// Outside games a chat line reaches the sender's group, sender included,
// and no other group; inside a game it reaches that game's players only.
TEST_F(WireProcessTest, ChatReachesTheGroupOrTheGame) {
  TcpClient a = enter(1, "a", 5, 8, 2);
  expect_bytes(a, w::list_end() + w::group_count(1));
  TcpClient b = enter(2, "b", 5);
  expect_bytes(b, w::list_end() + w::group_count(2));
  expect_bytes(a, w::group_count(2));
  TcpClient other = enter(3, "o", 6);
  expect_bytes(other, w::list_end() + w::group_count(1));

  const std::string hello = w::chat(11, "hello group");
  ASSERT_TRUE(a.send(hello));
  expect_bytes(a, hello);
  expect_bytes(b, hello);
  // The other group's first line is its own: nothing of group 5 came before.
  const std::string own = w::chat(12, "own group");
  ASSERT_TRUE(other.send(own));
  expect_bytes(other, own);

  // a and a third member of group 5 start a game of two.
  TcpClient c = enter(4, "c", 5);
  expect_bytes(c, w::list_end() + w::group_count(3));
  expect_bytes(a, w::group_count(3));
  expect_bytes(b, w::group_count(3));
  ASSERT_TRUE(a.send(w::room_op(-1)));
  expect_bytes(a, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "a"));
  expect_bytes(b, w::room_entry(0, 1, "a"));
  ASSERT_TRUE(c.send(w::room_op(0)));
  expect_bytes(c, w::room_entry(0, 1, "a"));
  // A player's lines go to its game once it has been told that the game
  // started (the seat list ends with 2S 2).
  for (TcpClient* player : {&a, &c}) skip_until(*player, w::status(2));
  const std::string in_game = w::chat(13, "in game");
  ASSERT_TRUE(c.send(in_game));
  // Whatever else the players were sent, the line reaches both of them.
  for (TcpClient* player : {&a, &c}) skip_until(*player, in_game);
  // b, in the lobby, sees the room fill and then b's own next line, never
  // the game's.
  expect_bytes(b, w::member_count(0, 2));
  const std::string lobby_line = w::chat(14, "lobby");
  ASSERT_TRUE(b.send(lobby_line));
  expect_bytes(b, lobby_line);
}

// With ROOM 1 the lobby serves eight clients; the ninth gets 2A and is
// closed, and a freed slot serves the next one.
TEST_F(LobbyProcessTest, FullLobbyAnswersTwoAAndFreedSlotsServeAgain) {
  ASSERT_TRUE(dir.write_file("dorvik.txt", "ROOM 1\n"));
  start();
  expect_status_lines("sample_lobby", 0, 1);
  std::vector<std::unique_ptr<TcpClient>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<TcpClient>());
    connect(clients.back().get());
    expect_next_line("USER_DATA: " + std::to_string(i + 1) + " / 8");
  }
  TcpClient ninth;
  connect(&ninth);
  std::string before;
  EXPECT_TRUE(ninth.wait_closed(kOutputWaitMs, &before));
  EXPECT_EQ(w::hex(w::full()), w::hex(before));
  clients[3]->close();
  expect_next_line("USER_DATA: 7 / 8");
  TcpClient tenth;
  connect(&tenth);
  expect_next_line("USER_DATA: 8 / 8");
  ASSERT_TRUE(tenth.send(w::enter(10, "ten", 5)));
  EXPECT_EQ(w::hex(w::list_end() + w::group_count(1)), w::hex(tenth.read_exact(8, kOutputWaitMs)));
  ASSERT_TRUE(server->send_signal(stop_signal()));
  expect_exit(0);
}

// The status window of the Windows build, looked at from outside by
// status_probe.exe under Wine on a virtual screen (scripts/test-windows.sh
// sets that up). Skipped unless LOBBY_STATUS_PROBE_COMMAND names the probe.
class WindowProcessTest : public LobbyProcessTest {
 protected:
  void SetUp() override {
    const char* probe = std::getenv("LOBBY_STATUS_PROBE_COMMAND");
    if (probe == nullptr || *probe == '\0') GTEST_SKIP() << "no status window to look at";
    LobbyProcessTest::SetUp();
  }

  void start_window() {
    server = std::make_unique<ChildProcess>();
    ASSERT_TRUE(server->start(command_from("LOBBY_SERVER_WINDOW_COMMAND", LOBBY_SERVER_PATH),
                              dir.path(), ChildStdio::kNullInput));
  }

  // Runs the probe with `args`: its exit status, and its lines in `*lines`.
  int probe(const std::vector<std::string>& args, std::vector<std::string>* lines) {
    std::vector<std::string> command = command_from("LOBBY_STATUS_PROBE_COMMAND", "");
    command.insert(command.end(), args.begin(), args.end());
    ChildProcess child;
    if (!child.start(command, dir.path(), ChildStdio::kNullInput)) return -1;
    int status = 0;
    if (!child.wait_exit(kOutputWaitMs * 2, &status)) return -1;
    lines->clear();
    std::string line;
    while (child.next_line(&line, kOutputWaitMs)) lines->push_back(line);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

// The title, the top-left corner, a close box and no buttons, the four
// lines by control id, a count that moves; Enter ends it with 1, the close
// box and Escape with 0, each after the shutdown line of the log.
TEST_F(WindowProcessTest, ShowsTheFourLinesAndEndsWithEnterCloseBoxOrEscape) {
  start_window();
  std::vector<std::string> lines;
  ASSERT_EQ(0, probe({"--wait", "20000"}, &lines));
  EXPECT_EQ((std::vector<std::string>{std::string("title ") + kTitle, "position 0 0",
                                      "frame caption=1 close=1 minimize=0 maximize=0 buttons=0",
                                      "1002 ■【 sample_lobby 】■", "1001 GAME_DATA  Ver( 0 )",
                                      "1003 USER_DATA: 0 / 32", "1000 ROOM_DATA: 0 / 4"}),
            lines);
  TcpClient client;
  connect(&client);
  ASSERT_EQ(0, probe({"--expect", "1003", "USER_DATA: 1 / 32", "--enter"}, &lines));
  expect_exit(1);
  EXPECT_TRUE(client.wait_closed(kOutputWaitMs));
  std::string log;
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  EXPECT_NE(std::string::npos, log.find("shutdown (OK;")) << log;

  for (const char* action : {"--close", "--escape"}) {
    SCOPED_TRACE(action);
    start_window();
    ASSERT_EQ(0, probe({"--wait", "20000", action}, &lines));
    expect_exit(0);
    ASSERT_TRUE(dir.read_file("L_log.txt", &log));
    EXPECT_NE(std::string::npos, log.find("shutdown (Cancel;")) << log;
  }
}

// Without a display to show the window on, the window build prints the
// lines as --console does, and Ctrl-C ends it with status 0.
TEST_F(WindowProcessTest, WithoutADisplayTheLinesGoToStandardOutput) {
  std::vector<std::string> command = {"/usr/bin/env", "-u", "DISPLAY"};
  for (const std::string& word : command_from("LOBBY_SERVER_WINDOW_COMMAND", LOBBY_SERVER_PATH)) {
    command.push_back(word);
  }
  server = std::make_unique<ChildProcess>();
  ASSERT_TRUE(server->start(command, dir.path(), ChildStdio::kNullInput));
  expect_status_lines("sample_lobby", 0, 4);
  TcpClient client;
  connect(&client);
  expect_next_line("USER_DATA: 1 / 32");
  ASSERT_TRUE(server->send_signal(SIGINT));
  expect_exit(0);
}

// Runs lobbyctl (the build's own: LOBBYCTL_COMMAND, e.g. "wine
// build-win/lobbyctl.exe", or the Linux one) in `dir` with `args`: its exit
// status, and the lines of its standard output and error together in
// `*lines`.
// Runs `words` in `dir` and takes its standard output and error, line by
// line: its exit status, or -1 when it did not end by itself.
int run_program(const std::string& dir, const std::vector<std::string>& words,
                std::vector<std::string>* lines) {
  std::vector<std::string> command = {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh"};
  command.insert(command.end(), words.begin(), words.end());
  ChildProcess child;
  if (!child.start(command, dir, ChildStdio::kNullInput)) return -1;
  int status = 0;
  if (!child.wait_exit(kOutputWaitMs, &status)) return -1;
  lines->clear();
  std::string line;
  while (child.next_line(&line, kOutputWaitMs)) lines->push_back(line);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run_lobbyctl(const std::string& dir, const std::vector<std::string>& args,
                 std::vector<std::string>* lines) {
  std::vector<std::string> command = command_from("LOBBYCTL_COMMAND", LOBBYCTL_PATH);
  command.insert(command.end(), args.begin(), args.end());
  return run_program(dir, command, lines);
}

// The user the tests run as, whom the lobby's log names for lobbyctl's
// commands.
std::string operator_name() {
  const passwd* user = getpwuid(getuid());
  return user != nullptr ? user->pw_name : "";
}

// The admin channel's address in the log: the socket file on Linux, the
// named pipe made after it under Wine.
std::string admin_address() {
  return under_wine() ? "\\\\.\\pipe\\lobby-lobby.sock" : "lobby.sock";
}

// The one JSON reply lobbyctl --json printed.
nlohmann::json json_reply(const std::vector<std::string>& lines) {
  if (lines.size() != 1) return nlohmann::json::value_t::discarded;
  return nlohmann::json::parse(lines[0], nullptr, false);
}

// The admin channel of the real process, driven by the build's own
// lobbyctl (lobbyctl.exe through the named pipe under Wine): the channel is
// open before anybody is served, lobbyctl reopens the event log after it
// was moved away, and a drain whose time runs out with a player still
// connected ends the process with status 0, the shutdown logged and the
// socket file removed.
TEST_F(LobbyProcessTest, AdminReopenAndDrainEndTheProcessCleanly) {
  ASSERT_TRUE(dir.write_file("dorvik.txt", "L_CHAT_LOG L_chat.txt\n"));
  start();
  expect_status_lines("sample_lobby", 0, 4);
  TcpClient player;
  connect(&player);
  expect_next_line("USER_DATA: 1 / 32");
  // The moderation log takes each chat line as it is relayed, and goes on
  // in a new file after a reopen.
  ASSERT_TRUE(player.send(w::enter(7, "al\"ice", 5)));
  const std::string welcome = w::list_end() + w::group_count(1);
  EXPECT_EQ(w::hex(welcome), w::hex(player.read_exact(welcome.size(), kOutputWaitMs)));
  ASSERT_TRUE(player.send(w::chat(0, "before\x1b")));
  const std::string before_line = w::chat(0, "before\x1b");
  EXPECT_EQ(w::hex(before_line), w::hex(player.read_exact(before_line.size(), kOutputWaitMs)));
  ASSERT_EQ(0, rename(dir.file("L_chat.txt").c_str(), dir.file("L_chat.txt.1").c_str()));
  const std::string end = under_wine() ? "\r\n" : "\n";
  std::string log;
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  EXPECT_NE(std::string::npos, log.find(" admin channel on " + admin_address() + end)) << log;
  // A pipe leaves no file behind.
  EXPECT_EQ(!under_wine(), dir.exists("lobby.sock"));
  std::vector<std::string> lines;

  ASSERT_EQ(0, rename(dir.file("L_log.txt").c_str(), dir.file("L_log.txt.1").c_str()));
  // A reopen that fails keeps writing the old file.
  ASSERT_EQ(0, mkdir(dir.file("L_log.txt").c_str(), 0700));
  EXPECT_EQ(1, run_lobbyctl(dir.path(), {"reopen"}, &lines));
  ASSERT_EQ(0, rmdir(dir.file("L_log.txt").c_str()));
  EXPECT_EQ(0, run_lobbyctl(dir.path(), {"reopen"}, &lines));
  EXPECT_EQ(std::vector<std::string>{"event log reopened"}, lines);
  ASSERT_TRUE(player.send(w::chat(0, "after")));
  EXPECT_EQ(w::hex(w::chat(0, "after")), w::hex(player.read_exact(9 + 3, kOutputWaitMs)));
  EXPECT_EQ(0, run_lobbyctl(dir.path(), {"--json", "drain", "1"}, &lines));
  EXPECT_EQ(
      std::vector<std::string>{"{\"draining\":true,\"seconds\":1,\"users\":1,\"in_games\":0}"},
      lines);
  TcpClient late;
  connect(&late);
  std::string before;
  EXPECT_TRUE(late.wait_closed(kOutputWaitMs, &before));
  EXPECT_EQ(test_wire::hex(test_wire::full()), test_wire::hex(before));

  // The drain's second runs out; the player is still there.
  int status = 0;
  ASSERT_TRUE(server->wait_exit(kListenWaitMs, &status));
  EXPECT_EQ("exit status 0", describe(status));
  EXPECT_TRUE(player.wait_closed(kOutputWaitMs));
  EXPECT_FALSE(dir.exists("lobby.sock"));
  std::string rotated;
  ASSERT_TRUE(dir.read_file("L_log.txt.1", &rotated));
  EXPECT_EQ(std::string::npos, rotated.find("reopened")) << rotated;
  // The C library's text for a directory opened as a file: Windows has
  // its own.
  const std::string cause = under_wine() ? "" : "Is a directory";
  const size_t failed = rotated.find("admin: cannot reopen the event log: " + cause);
  EXPECT_NE(std::string::npos, failed) << rotated;
  EXPECT_NE(std::string::npos, rotated.find("; still writing the old one" + end, failed))
      << rotated;
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  EXPECT_EQ(0u, log.find(log.substr(0, 20) + "admin: event log reopened" + end)) << log;
  EXPECT_NE(std::string::npos, log.find("admin: drain for at most 1 s with 1 clients connected"))
      << log;
  EXPECT_NE(std::string::npos, log.find("refused 127.0.0.1: draining")) << log;
  EXPECT_NE(std::string::npos, log.find("drain finished: time is up with 1 clients left")) << log;
  EXPECT_NE(std::string::npos, log.find("shutdown (drained; ")) << log;
  // Each chat line once, in the file it was relayed before or after the
  // reopen; the time in UTC, the name's quote and the text's escape
  // written out.
  const std::string said = " from=#1 user=7 name=\"al\\\"ice\" addr=127.0.0.1 to=group:5 text=";
  std::string chat;
  ASSERT_TRUE(dir.read_file("L_chat.txt.1", &chat));
  EXPECT_EQ(20u, chat.find(said + "\"before\\x1B\"" + end)) << chat;
  EXPECT_EQ('Z', chat[19]) << chat;
  EXPECT_EQ(std::string::npos, chat.find("after")) << chat;
  ASSERT_TRUE(dir.read_file("L_chat.txt", &chat));
  EXPECT_EQ(20u, chat.find(said + "\"after\"" + end)) << chat;
  EXPECT_EQ(chat.size(), chat.find(end) + end.size()) << chat;
  if (!under_wine()) {
    // Only the lobby's own user and group read either log.
    struct stat info;
    ASSERT_EQ(0, stat(dir.file("L_log.txt").c_str(), &info));
    EXPECT_EQ(0u, info.st_mode & 0027);
    ASSERT_EQ(0, stat(dir.file("L_chat.txt").c_str(), &info));
    EXPECT_EQ(0u, info.st_mode & 0027);
  }
}

// What `command` prints on its standard output, trimmed of its last line
// end; empty when it fails.
std::string shell_output(const std::string& command) {
  std::string text;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return text;
  char buffer[256];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  if (pclose(pipe) != 0) return std::string();
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// --version names the program's version and the commit of the sources it
// was built from, "-dirty" when they had changes not committed yet, or
// "unknown" outside git.
TEST_F(LobbyProcessTest, VersionNamesTheCommitOfItsSources) {
  const std::string git = "git -C '" LOBBY_SOURCE_DIR "' ";
  std::string commit = shell_output(git + "rev-parse --short=12 HEAD 2>/dev/null");
  if (commit.empty()) {
    commit = "unknown";
  } else if (!shell_output(git + "status --porcelain --untracked-files=no").empty()) {
    commit += "-dirty";
  }
  ChildProcess child;
  std::vector<std::string> command = server_command();
  command.push_back("--version");
  ASSERT_TRUE(child.start(command, dir.path(), ChildStdio::kNullInput));
  int status = 0;
  ASSERT_TRUE(child.wait_exit(kOutputWaitMs, &status));
  EXPECT_EQ("exit status 0", describe(status));
  std::vector<std::string> lines;
  std::string line;
  while (child.next_line(&line, kOutputWaitMs)) lines.push_back(line);
  EXPECT_EQ((std::vector<std::string>{"lobby_server " LOBBY_VERSION, "commit " + commit}), lines);
}

// The service unit gives the admin socket to a group through the
// environment variable L_ADMIN_GROUP: the socket is made mode 0660 and the
// group's, and the log says so. A line of dorvik.txt wins over the
// variable, "-" keeping the socket its owner's alone.
TEST_F(LobbyProcessTest, AdminGroupFromTheEnvironmentUnlessTheSettingsSayOtherwise) {
  if (under_wine()) GTEST_SKIP() << "groups and AF_UNIX sockets are the Linux build's";
  const group* own = getgrgid(getegid());
  ASSERT_NE(nullptr, own);
  const std::string name = own->gr_name;
  ScopedEnv env(std::map<std::string, const char*>{{"L_ADMIN_GROUP", name.c_str()}});
  for (const bool file_says_none : {false, true}) {
    SCOPED_TRACE(file_says_none ? "L_ADMIN_GROUP - in dorvik.txt" : "the environment alone");
    if (file_says_none) {
      ASSERT_TRUE(dir.write_file("dorvik.txt", "L_ADMIN_GROUP -\n"));
    }
    start();
    expect_status_lines("sample_lobby", 0, 4);
    TcpClient probe;
    connect(&probe);
    std::string log;
    ASSERT_TRUE(dir.read_file("L_log.txt", &log));
    struct stat st;
    ASSERT_EQ(0, stat(dir.file("lobby.sock").c_str(), &st));
    if (file_says_none) {
      EXPECT_NE(std::string::npos, log.find(" admin channel on lobby.sock\n")) << log;
      EXPECT_EQ(0600u, st.st_mode & 07777);
    } else {
      EXPECT_NE(std::string::npos, log.find(" admin channel on lobby.sock, group " + name + "\n"))
          << log;
      EXPECT_EQ(0660u, st.st_mode & 07777);
      EXPECT_EQ(own->gr_gid, st.st_gid);
    }
    ASSERT_TRUE(server->send_signal(stop_signal()));
    expect_exit(0);
  }
}

// An operator's session with lobbyctl against the real process (lobbyctl.exe
// through the named pipe under Wine): status and users, as JSON and as
// tables, a kick, a ban that turns a connection away and is written to the
// deny file, an upgrade in place that the player still connected goes
// through unnoticed (the Windows build answers that it offers the drain
// instead), and a drain that ends the process once the last player leaves.
TEST_F(LobbyProcessTest, LobbyctlDrivesStatusUsersKickBanAndDrain) {
  ASSERT_TRUE(dir.write_file("dorvik.txt", "L_PER_IP 40\nL_LURK 2m\nL_SAY_ID 77\nVER 3 x\n"));
  start();
  expect_status_lines("sample_lobby", 3, 4);
  TcpClient alice;
  connect(&alice);
  expect_next_line("USER_DATA: 1 / 32");
  ASSERT_TRUE(alice.send(w::enter(7, "alice", 5)));
  const std::string welcome = w::list_end() + w::group_count(1);
  EXPECT_EQ(w::hex(welcome), w::hex(alice.read_exact(welcome.size(), kOutputWaitMs)));
  TcpClient bob;
  connect(&bob);
  expect_next_line("USER_DATA: 2 / 32");
  const std::string alice_address = "127.0.0.1:" + std::to_string(net::local_port(alice.fd()));
  const std::string bob_address = "127.0.0.1:" + std::to_string(net::local_port(bob.fd()));
  std::vector<std::string> lines;

  ASSERT_EQ(0, run_lobbyctl(dir.path(), {"--json", "status"}, &lines));
  const nlohmann::json status = json_reply(lines);
  ASSERT_TRUE(status.is_object()) << lines[0];
  EXPECT_EQ("sample_lobby", status["name"]);
  EXPECT_EQ(kDefaultPort, status["port"]);
  EXPECT_EQ(2, status["users"]);
  EXPECT_EQ(32, status["slots"]);
  EXPECT_EQ(false, status["draining"]);
  ASSERT_EQ(0, run_lobbyctl(dir.path(), {"status"}, &lines));
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "users      2 / 32"))
      << testing::PrintToString(lines);

  ASSERT_EQ(0, run_lobbyctl(dir.path(), {"--json", "users"}, &lines));
  const nlohmann::json users = json_reply(lines);
  ASSERT_TRUE(users.is_object() && users["users"].size() == 2u) << lines[0];
  int bob_slot = -1;
  for (const nlohmann::json& user : users["users"]) {
    if (user["address"] == alice_address) {
      EXPECT_EQ(7, user["user_id"]);
      EXPECT_EQ("alice", user["name"]);
      EXPECT_EQ(true, user["logged_in"]);
    } else {
      EXPECT_EQ(bob_address, user["address"]);
      EXPECT_EQ(false, user["logged_in"]);
      bob_slot = user["slot"];
    }
  }
  ASSERT_GE(bob_slot, 0) << lines[0];
  ASSERT_EQ(0, run_lobbyctl(dir.path(), {"users"}, &lines));
  ASSERT_EQ(3u, lines.size()) << testing::PrintToString(lines);
  EXPECT_EQ(0u, lines[0].find("SLOT  ID  ADDRESS")) << lines[0];

  const std::string slot = std::to_string(bob_slot);
  ASSERT_EQ(0, run_lobbyctl(dir.path(), {"kick", slot}, &lines));
  EXPECT_EQ(std::vector<std::string>{"kicked slot " + slot + " (user -, " + bob_address + ")"},
            lines);
  EXPECT_TRUE(bob.wait_closed(kOutputWaitMs));
  expect_next_line("USER_DATA: 1 / 32");
  EXPECT_EQ(1, run_lobbyctl(dir.path(), {"kick", slot}, &lines));
  EXPECT_EQ(std::vector<std::string>{"lobbyctl: slot " + slot + " is free"}, lines);

  ASSERT_EQ(0, run_lobbyctl(dir.path(), {"--json", "ban", "127.0.0.2", "600", "spamming"}, &lines));
  const nlohmann::json banned = json_reply(lines);
  ASSERT_TRUE(banned.is_object()) << lines[0];
  EXPECT_EQ("127.0.0.2", banned["banned"]);
  ASSERT_TRUE(banned["expires"].is_string()) << lines[0];
  const std::string expires = banned["expires"];
  TcpClient turned_away;
  ASSERT_TRUE(turned_away.connect_from("127.0.0.2", kDefaultPort));
  std::string before;
  EXPECT_TRUE(turned_away.wait_closed(kOutputWaitMs, &before));
  EXPECT_EQ("", before);
  std::string deny;
  ASSERT_TRUE(dir.read_file("deny.txt", &deny));
  EXPECT_NE(std::string::npos, deny.find("127.0.0.2 until " + expires)) << deny;
  ASSERT_EQ(0, run_lobbyctl(dir.path(), {"bans"}, &lines));
  ASSERT_EQ(2u, lines.size()) << testing::PrintToString(lines);
  EXPECT_EQ(0u, lines[1].find("127.0.0.2 ")) << lines[1];
  // With its reason, who banned (the operator the socket names) and since
  // when.
  EXPECT_NE(std::string::npos, lines[1].find(" " + expires + "  spamming  " +
                                             banned["by"].get<std::string>() + "  20"))
      << lines[1];
  EXPECT_FALSE(banned["by"].get<std::string>().empty());

  // say, in UTF-8 from the command line, to alice in code page 932, with
  // L_SAY_ID in bytes 2-5; logged with the operator's name.
  ASSERT_EQ(0, run_lobbyctl(dir.path(), {"say", "テスト  ok"}, &lines));
  EXPECT_EQ(std::vector<std::string>{"said to everyone outside games (1 clients): テスト  ok"},
            lines);
  const std::string said = w::chat(77, "\x83\x65\x83\x58\x83\x67  ok");
  EXPECT_EQ(w::hex(said), w::hex(alice.read_exact(said.size(), kOutputWaitMs)));
  EXPECT_EQ(2, run_lobbyctl(dir.path(), {"say", std::string(74, 'x')}, &lines));
  EXPECT_EQ(std::vector<std::string>{"lobbyctl: TEXT is 74 bytes in CP932; a chat line holds at "
                                     "most 73"},
            lines);

  // settings lists what lobby_server --check lists for the same file.
  ASSERT_EQ(0, run_lobbyctl(dir.path(), {"settings"}, &lines));
  std::vector<std::string> check;
  std::vector<std::string> check_command = server_command();
  check_command.push_back("--check");
  EXPECT_EQ(1, run_program(dir.path(), check_command, &check));
  ASSERT_LT(config::kSettingKeyCount + 2u, check.size());
  // The table under its header, the bad line and the two notes.
  ASSERT_EQ(config::kSettingKeyCount + 4u, lines.size()) << testing::PrintToString(lines);
  EXPECT_EQ(std::vector<std::string>(check.begin(), check.begin() + lines.size()), lines);
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "bad line 2: L_LURK 2m"));

  // An upgrade in place: alice stays, served by the new process. The
  // Windows build offers the drain instead.
  const int status_before = under_wine() ? 1 : 0;
  ASSERT_EQ(status_before, run_lobbyctl(dir.path(), {"upgrade"}, &lines))
      << testing::PrintToString(lines);
  ASSERT_EQ(1u, lines.size());
  if (under_wine()) {
    EXPECT_EQ("lobbyctl: upgrade is not supported on Windows; use drain", lines[0]);
  } else {
    const std::string old_pid = std::to_string(server->pid());
    int new_pid = 0;
    int pause_ms = -1;
    ASSERT_EQ(2, std::sscanf(lines[0].c_str(),
                             ("upgraded: pid " + old_pid +
                              " handed over to pid %d after a pause "
                              "of %d ms (upgrade 1); now ")
                                 .c_str(),
                             &new_pid, &pause_ms))
        << lines[0];
    int old_status = -1;
    ASSERT_TRUE(server->follow(new_pid, kExitWaitMs, &old_status));
    EXPECT_EQ("exit status 0", describe(old_status));
    ASSERT_EQ(0, run_lobbyctl(dir.path(), {"--json", "status"}, &lines));
    EXPECT_EQ(new_pid, json_reply(lines)["pid"]);
    EXPECT_EQ(1, json_reply(lines)["upgrades"]);
  }
  ASSERT_TRUE(alice.send(w::room_op(-1)));
  const std::string made = w::room_made(0) + w::room_result(1);
  EXPECT_EQ(w::hex(made), w::hex(alice.read_exact(made.size(), kOutputWaitMs)));

  ASSERT_EQ(0, run_lobbyctl(dir.path(), {"--json", "drain", "30"}, &lines));
  EXPECT_EQ(
      std::vector<std::string>{"{\"draining\":true,\"seconds\":30,\"users\":1,\"in_games\":0}"},
      lines);
  TcpClient late;
  connect(&late);
  EXPECT_TRUE(late.wait_closed(kOutputWaitMs, &before));
  EXPECT_EQ(w::hex(w::full()), w::hex(before));
  // The last player leaves: the process ends at once, well before its 30 s.
  alice.close();
  int exit_status = 0;
  ASSERT_TRUE(server->wait_exit(kListenWaitMs, &exit_status));
  EXPECT_EQ("exit status 0", describe(exit_status));
  std::string log;
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  for (const std::string& line : std::vector<std::string>{
           "admin: kick slot " + slot + " user -1 from " + bob_address,
           "drop slot " + slot + " user -1: kicked",
           "admin: ban 127.0.0.2 until " + expires + "; 0 connections closed",
           "refused 127.0.0.2: denied",
           "admin: drain for at most 30 s with 1 clients connected",
           "admin: say to everyone outside games (1 clients) by " + operator_name() +
               ": テスト  ok",
           "setting: bad line 2: L_LURK 2m; that key keeps its default",
           "setting L_PER_IP 40 is outside 0 or 1..32: 32 used",
           "setting VER on line 4: \"x\" after the value ignored",
           "drain finished: no client left",
       }) {
    EXPECT_NE(std::string::npos, log.find(" " + line)) << line << "\nin:\n" << log;
  }
}

// Admin connections left open and forgotten: eight of them hold every
// place of the channel, and each is closed a minute after its connect or
// its last command on the real clock (a part of a line is no command), so
// that lobbyctl is served again. The connections are admin_probe's (the
// Windows one through the named pipe under Wine), which time what they
// see. Tolerance: a close comes no earlier than 60 s after the probe's
// connect or last line feed, less 0.5 s for the two clocks' granularity,
// and no later than 2.5 s after, for a loaded machine. On an ephemeral
// port, beside the other tests.
TEST(AdminIdleProcessTest, ConnectionsLeftOpenAreClosedAfterAMinuteAndFreeTheirPlaces) {
  constexpr int kIdleMs = 60000;
  constexpr int kEarlyMs = 500;
  constexpr int kLateMs = 2500;
  constexpr int kProbes = 8;
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  ASSERT_TRUE(dir.write_file("dorvik.txt", "L_PORT 0\nL_ADMIN idle.sock\n"));
  ChildProcess server;
  ASSERT_TRUE(server.start(server_command(), dir.path(), ChildStdio::kNullInput));
  std::string log;
  const auto listening =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kListenWaitMs);
  while (!dir.read_file("L_log.txt", &log) || log.find(" admin channel on ") == std::string::npos) {
    int status = 0;
    ASSERT_FALSE(server.wait_exit(20, &status)) << describe(status);
    ASSERT_LT(std::chrono::steady_clock::now(), listening) << log;
  }

  std::unique_ptr<ChildProcess> probes[kProbes];
  auto start_probe = [&](int i, const std::vector<std::string>& texts) {
    std::vector<std::string> command = command_from("ADMIN_PROBE_COMMAND", ADMIN_PROBE_PATH);
    command.push_back("idle.sock");
    command.insert(command.end(), texts.begin(), texts.end());
    probes[i] = std::make_unique<ChildProcess>();
    ASSERT_TRUE(probes[i]->start(command, dir.path(), ChildStdio::kNullInput));
    std::string line;
    ASSERT_TRUE(probes[i]->next_line(&line, kOutputWaitMs)) << i;
    ASSERT_EQ("connected", line) << i;
  };
  auto expect_closed = [&](int i) {
    std::string line;
    ASSERT_TRUE(probes[i]->next_line(&line, kIdleMs + 15000)) << i;
    ASSERT_EQ(0u, line.find("closed after ")) << i << ": " << line;
    const int held_ms = std::atoi(line.c_str() + 13);
    EXPECT_GE(held_ms, kIdleMs - kEarlyMs) << i;
    EXPECT_LE(held_ms, kIdleMs + kLateMs) << i;
    int status = 0;
    ASSERT_TRUE(probes[i]->wait_exit(kOutputWaitMs, &status)) << i;
    EXPECT_EQ("exit status 0", describe(status)) << i;
  };
  // Seven that say nothing, or part of a command, then one that ends its
  // command 5 s after it connected.
  for (int i = 0; i < kProbes - 1; ++i) {
    start_probe(i, i == 0 ? std::vector<std::string>{"stat"} : std::vector<std::string>{});
  }
  start_probe(kProbes - 1, {"sta", "+5000", "tus\\n"});
  std::vector<std::string> lines;
  EXPECT_EQ(1, run_lobbyctl(dir.path(), {"-s", "idle.sock", "status"}, &lines));
  EXPECT_EQ(std::vector<std::string>{"lobbyctl: too many admin connections"}, lines);
  std::string reply;
  ASSERT_TRUE(probes[kProbes - 1]->next_line(&reply, kOutputWaitMs + 5000));
  EXPECT_EQ(0u, reply.find("{\"name\":\"sample_lobby\",")) << reply;

  for (int i = 0; i < kProbes - 1; ++i) expect_closed(i);
  // Their places are free again; the last probe's minute has not passed.
  EXPECT_EQ(0, run_lobbyctl(dir.path(), {"-s", "idle.sock", "--json", "status"}, &lines));
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(0u, lines[0].find("{\"name\":\"sample_lobby\",")) << lines[0];
  std::string early;
  EXPECT_FALSE(probes[kProbes - 1]->next_line(&early, 0)) << early;
  expect_closed(kProbes - 1);

  ASSERT_TRUE(server.send_signal(stop_signal()));
  int status = 0;
  ASSERT_TRUE(server.wait_exit(kWineExitWaitMs, &status));
  EXPECT_EQ("exit status 0", describe(status));
}

// On a terminal: a title, the lines redrawn in place, keys instead of lines.
class InteractiveProcessTest : public LobbyProcessTest {
 protected:
  void SetUp() override {
    if (under_wine()) GTEST_SKIP() << "the terminal display is the Linux build's";
    LobbyProcessTest::SetUp();
    if (HasFatalFailure()) return;
    start(ChildStdio::kTerminal);
    ASSERT_TRUE(server->wait_for_text(kTitle, kOutputWaitMs)) << server->output();
    // Drawn after the terminal was switched: keys from now on are single.
    ASSERT_TRUE(server->wait_for_text("ROOM_DATA: 0 / 4", kOutputWaitMs)) << server->output();
  }
};

TEST_F(InteractiveProcessTest, EnterEndsWithOkAfterRedrawsAndIgnoredKeys) {
  termios during;
  ASSERT_TRUE(server->terminal_settings(&during));
  EXPECT_EQ(0u, during.c_lflag & ICANON);
  EXPECT_EQ(0u, during.c_lflag & ECHO);
  EXPECT_NE(0u, during.c_lflag & ISIG);

  // Arrow keys, a function key and a letter do not end the display.
  ASSERT_TRUE(server->send_input("\x1b[A"));
  ASSERT_TRUE(server->send_input("\x1bOP"));
  ASSERT_TRUE(server->send_input("\x1b[15~x"));
  TcpClient client;
  connect(&client);
  // Redrawn in place: back to the first line, each line cleared and written.
  ASSERT_TRUE(server->wait_for_text("\x1b[4A", kOutputWaitMs)) << server->output();
  ASSERT_TRUE(server->wait_for_text("\r\x1b[K■【 sample_lobby 】■", kOutputWaitMs));
  ASSERT_TRUE(server->wait_for_text("\r\x1b[KUSER_DATA: 1 / 32", kOutputWaitMs))
      << server->output();
  EXPECT_TRUE(server->running());

  ASSERT_TRUE(server->send_input("\r"));
  expect_exit(1);
  expect_terminal_restored();
  EXPECT_TRUE(client.wait_closed(kOutputWaitMs));
}

TEST_F(InteractiveProcessTest, EscapeEndsWithCancel) {
  ASSERT_TRUE(server->send_input("\x1b"));
  expect_exit(0);
  expect_terminal_restored();
}

// Continued after a stop, the display takes the terminal back from whatever
// mode the shell left it in and draws everything again below the shell's
// text; a lone Escape still ends it.
TEST_F(InteractiveProcessTest, ContinuedDisplayTakesTheTerminalAgainAndRedraws) {
  ASSERT_TRUE(server->send_signal(SIGSTOP));
  termios shell;
  ASSERT_TRUE(server->terminal_settings(&shell));
  shell.c_lflag |= ICANON | ECHO;
  ASSERT_TRUE(server->set_terminal_settings(shell));
  ASSERT_TRUE(server->send_signal(SIGCONT));
  ASSERT_TRUE(server->wait_for_text(std::string(kTitle) + "\r\n\r\x1b[K■【 sample_lobby 】■",
                                    kOutputWaitMs))
      << server->output();
  ASSERT_TRUE(server->wait_for_text("\r\x1b[KROOM_DATA: 0 / 4", kOutputWaitMs)) << server->output();
  termios during;
  ASSERT_TRUE(server->terminal_settings(&during));
  EXPECT_EQ(0u, during.c_lflag & ICANON);
  EXPECT_EQ(0u, during.c_lflag & ECHO);
  ASSERT_TRUE(server->send_input("\x1b"));
  expect_exit(0);
  expect_terminal_restored();
}

// Ctrl-Z where no shell could continue the process (its own session here):
// the process is not stopped, and the display keeps its single keys.
TEST_F(InteractiveProcessTest, SuspendKeyWithoutAShellKeepsTheDisplayRunning) {
  ASSERT_TRUE(server->send_input("\x1a"));
  TcpClient client;
  connect(&client);
  ASSERT_TRUE(server->wait_for_text("\r\x1b[KUSER_DATA: 1 / 32", kOutputWaitMs))
      << server->output();
  // A lone Escape reaches the display only in single-key mode.
  ASSERT_TRUE(server->send_input("\x1b"));
  expect_exit(0);
  expect_terminal_restored();
}

// Ctrl-C stays a signal key and ends the display like Escape.
TEST_F(InteractiveProcessTest, InterruptKeyEndsWithCancel) {
  ASSERT_TRUE(server->send_input("\x03"));
  expect_exit(0);
  expect_terminal_restored();
}

}  // namespace
