// The lobby_server executable as an operator or a service manager runs it:
// a child process in an empty directory, on its default port, watched
// through its standard output, a pseudo-terminal, its log file and its exit
// status.
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/tcp_client.h"
#include "tests/support/wire.h"

namespace {

using testing_support::ChildProcess;
using testing_support::ChildStdio;
using testing_support::TcpClient;
using testing_support::TempDir;

constexpr int kDefaultPort = 30009;
// Generous bounds for a loaded machine; each is only reached on failure.
constexpr int kOutputWaitMs = 10000;
constexpr int kListenWaitMs = 10000;
// The server must be gone this soon after a stop signal or a key.
constexpr int kExitWaitMs = 1000;

constexpr char kTitle[] = "LOBBYサーバ(Ver0.9.4)";

std::string describe(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "wait status " + std::to_string(status);
}

class LobbyProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty()) << "no temporary directory";
    ASSERT_EQ(0, access(LOBBY_SERVER_PATH, X_OK)) << "build the lobby_server target first";
    // A server left over from elsewhere would answer in place of ours.
    TcpClient probe;
    ASSERT_FALSE(probe.connect_to(kDefaultPort))
        << "port " << kDefaultPort << " is already in use on this machine";
  }

  void start(ChildStdio stdio = ChildStdio::kNullInput,
             std::vector<std::string> args = {LOBBY_SERVER_PATH}) {
    server = std::make_unique<ChildProcess>();
    ASSERT_TRUE(server->start(args, dir.path(), stdio));
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
    ASSERT_TRUE(server->wait_exit(kExitWaitMs, &status))
        << "still running " << kExitWaitMs << " ms later";
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

// SIGTERM: status 0 within a second, the log ends with its shutdown line,
// and connected clients see their connection end.
TEST_F(LobbyProcessTest, TermSignalStopsCleanly) {
  start();
  expect_status_lines("sample_lobby", 0, 4);
  TcpClient client;
  connect(&client);
  expect_next_line("USER_DATA: 1 / 32");

  ASSERT_TRUE(server->send_signal(SIGTERM));
  expect_exit(0);
  EXPECT_TRUE(client.wait_closed(kOutputWaitMs));

  std::string log;
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  EXPECT_NE(std::string::npos, log.find("start sample_lobby port 30009 rooms 4")) << log;
  const size_t shutdown = log.find("shutdown");
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
  // the log is looked at until it tells, within a bound.
  const std::string expected =
      "listen on port 30009 failed (-3): " + std::string(strerror(EADDRINUSE));
  std::string log;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kListenWaitMs);
  while (!(dir.read_file("L_log.txt", &log) && log.find("listen on port") != std::string::npos) &&
         std::chrono::steady_clock::now() < deadline) {
    poll(nullptr, 0, 5);
  }
  ASSERT_TRUE(server->send_signal(SIGTERM));
  expect_exit(0);
  close(holder);
  ASSERT_TRUE(dir.read_file("L_log.txt", &log));
  EXPECT_NE(std::string::npos, log.find(expected)) << log;
}

TEST_F(LobbyProcessTest, InterruptAndHangupAlsoStopWithStatusZero) {
  for (int signal_number : {SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal_number));
    start();
    expect_status_lines("sample_lobby", 0, 4);
    ASSERT_TRUE(server->send_signal(signal_number));
    expect_exit(0);
  }
}

TEST_F(LobbyProcessTest, SettingsFileSetsNameVersionAndRooms) {
  ASSERT_TRUE(dir.write_file("dorvik.txt", "ROOM 2\nL_NAME east_lobby\nVER 3\nL_PORT 30009\n"));
  start();
  expect_status_lines("east_lobby", 3, 2);
  TcpClient client;
  connect(&client);
  expect_next_line("USER_DATA: 1 / 16");
  ASSERT_TRUE(server->send_signal(SIGTERM));
  expect_exit(0);
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
  ASSERT_TRUE(server->send_signal(SIGTERM));
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
  ASSERT_TRUE(server->send_signal(SIGTERM));
  expect_exit(0);
}

TEST_F(LobbyProcessTest, VersionAndHelpExitWithoutStarting) {
  for (const char* option : {"--version", "--help"}) {
    SCOPED_TRACE(option);
    ChildProcess child;
    ASSERT_TRUE(child.start({LOBBY_SERVER_PATH, option}, dir.path(), ChildStdio::kNullInput));
    int status = 0;
    ASSERT_TRUE(child.wait_exit(kOutputWaitMs, &status));
    EXPECT_EQ("exit status 0", describe(status));
    std::string line;
    EXPECT_TRUE(child.next_line(&line, kOutputWaitMs));
    EXPECT_FALSE(line.empty());
    EXPECT_FALSE(dir.exists("L_log.txt"));
  }
}

// The upstream server named in the settings hears the lobby register. When
// it is restarted, the lobby connects again by itself about a second later
// and tells it the user still online. upstream_listen stamps each connection.
TEST_F(LobbyProcessTest, RegistersWithConfiguredUpstreamAndAgainAfterItRestarts) {
  ASSERT_EQ(0, access(UPSTREAM_LISTEN_PATH, X_OK)) << "build the upstream_listen target first";
  // A time stamp (a 9 stands for any digit), then the connection.
  const std::string connected = "9999-99-99 99:99:99.999 connected 127.0.0.1:";
  std::string upstream_port = "0";
  TcpClient client;
  for (int run = 0; run < 2; ++run) {
    ChildProcess upstream;
    ASSERT_TRUE(
        upstream.start({UPSTREAM_LISTEN_PATH, upstream_port}, dir.path(), ChildStdio::kNullInput));
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
      connect(&client);
      ASSERT_TRUE(client.send(test_wire::enter(7, "seven", 5)));
    }
    ASSERT_TRUE(upstream.next_line(&line, kOutputWaitMs));
    EXPECT_EQ("2N user=7", line);
    ASSERT_TRUE(upstream.send_signal(SIGTERM));
    int status = 0;
    ASSERT_TRUE(upstream.wait_exit(kOutputWaitMs, &status));
  }
  ASSERT_TRUE(server->send_signal(SIGTERM));
  expect_exit(0);
}

// On a terminal: a title, the lines redrawn in place, keys instead of lines.
class InteractiveProcessTest : public LobbyProcessTest {
 protected:
  void SetUp() override {
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
