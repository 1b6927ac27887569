// The lobby behind a real HAProxy (Debian's haproxy), once with
// send-proxy-v2 and once with send-proxy (version 1), each on the real
// clock: the test starts its own HAProxy in the foreground, in tcp mode
// with a health check every 100 ms, in front of its own lobby_server, and
// players connect to HAProxy from several loopback addresses (never
// 127.0.0.1, HAProxy's own, the one L_PROXY trusts). Every protection must
// see each player's own address and none the proxy's: the per-address
// limit, the operator's list of users, the automatic ban; and ten seconds
// of health checks must take no slot and leave a line or two in the log.
// Skipped, with a message, where haproxy is not installed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/tcp_link.h"
#include "ops/admin_client.h"
#include "tests/support/child_process.h"
#include "tests/support/tcp_client.h"
#include "tests/support/wire.h"

namespace {

using testing_support::ChildProcess;
using testing_support::ChildStdio;
using testing_support::TcpClient;
using testing_support::TempDir;
namespace w = test_wire;

constexpr int kWaitMs = 10000;
// How long HAProxy checks the lobby while the test watches.
constexpr int kChecksMs = 10000;

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The haproxy program, or "" where it is not installed.
std::string haproxy_path() {
  for (const char* path : {"/usr/sbin/haproxy", "/usr/bin/haproxy", "/usr/local/sbin/haproxy"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class HaproxyTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    haproxy_ = haproxy_path();
    if (haproxy_.empty()) GTEST_SKIP() << "haproxy is not installed (apt-get install haproxy)";
    ASSERT_FALSE(dir.path().empty());
    ASSERT_TRUE(dir.write_file("dorvik.txt", "L_PORT 0\nL_PROXY 127.0.0.1\n"));
    ASSERT_TRUE(lobby.start({LOBBY_SERVER_PATH}, dir.path(), ChildStdio::kNullInput));
    int lobby_port = 0;
    for (const int64_t deadline = now_ms() + kWaitMs; lobby_port <= 0;) {
      std::string reply;
      std::string error;
      if (ops::ask_lobby(dir.file("lobby.sock"), "status", &reply, 1000, &error)) {
        const size_t at = reply.find("\"port\":");
        if (at != std::string::npos) lobby_port = std::atoi(reply.c_str() + at + 7);
      }
      ASSERT_LT(now_ms(), deadline) << "the lobby never answered on its admin socket";
      if (lobby_port <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    port = client::pick_free_port();
    ASSERT_GT(port, 0);
    const std::string send_proxy = GetParam() == 2 ? "send-proxy-v2" : "send-proxy";
    ASSERT_TRUE(dir.write_file("haproxy.cfg",
                               "global\n  maxconn 256\n"
                               "defaults\n  mode tcp\n  timeout connect 2s\n  timeout client 60s\n"
                               "  timeout server 60s\n"
                               "listen lobby\n  bind 127.0.0.1:" +
                                   std::to_string(port) +
                                   "\n  server lobby 127.0.0.1:" + std::to_string(lobby_port) +
                                   " " + send_proxy + " check inter 100ms\n"));
    ASSERT_TRUE(haproxy.start({haproxy_, "-db", "-f", dir.file("haproxy.cfg")}, dir.path(),
                              ChildStdio::kNullInput));
    haproxy_started_ms = now_ms();
    // Up once it takes a connection and carries a player to the lobby.
    for (const int64_t deadline = now_ms() + kWaitMs;;) {
      probe = TcpClient();
      if (probe.connect_from("127.0.9.9", port)) {
        probe.send(w::enter(9999, "probe", 9999));
        if (probe.read_exact(2, 1000) == w::list_end()) break;
      }
      ASSERT_LT(now_ms(), deadline) << "haproxy never carried a player to the lobby";
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string status = ask("status");
    users_before = counter(status, "users");
    accepted_before = counter(status, "connections_accepted");
  }
  void TearDown() override {
    // Both stopped by their process ids; the lobby's stop writes the health
    // checks' count still open.
    int status = 0;
    if (haproxy.running()) {
      haproxy.send_signal(SIGTERM);
      haproxy.wait_exit(kWaitMs, &status);
    }
    if (lobby.running()) {
      lobby.send_signal(SIGTERM);
      EXPECT_TRUE(lobby.wait_exit(kWaitMs, &status));
    }
  }

  // Connects to HAProxy from `source` and logs in with a group of its own;
  // true when the room list's end and the group count came back.
  bool enter(TcpClient* c, const std::string& source, int32_t id) {
    if (!c->connect_from(source, port)) return false;
    c->send(w::enter(id, "p" + std::to_string(id), id));
    return c->read_exact(8, 5000) == w::list_end() + w::group_count(1);
  }
  std::string ask(const std::string& command) {
    std::string reply;
    std::string error;
    EXPECT_TRUE(ops::ask_lobby(dir.file("lobby.sock"), command, &reply, 5000, &error)) << error;
    return reply;
  }
  // The number after "name": in a status reply; -1 when it has none.
  static int counter(const std::string& status, const std::string& name) {
    const size_t at = status.find("\"" + name + "\":");
    return at == std::string::npos ? -1 : std::atoi(status.c_str() + at + name.size() + 3);
  }
  std::string lobbyctl_json_users() {
    ChildProcess ctl;
    EXPECT_TRUE(ctl.start({LOBBYCTL_PATH, "-s", dir.file("lobby.sock"), "--json", "users"},
                          dir.path(), ChildStdio::kNullInput));
    int status = 0;
    EXPECT_TRUE(ctl.wait_exit(kWaitMs, &status));
    std::string line;
    while (ctl.next_line(&line, 0)) {
    }
    return ctl.output();
  }
  std::string log() {
    std::string text;
    dir.read_file("L_log.txt", &text);
    return text;
  }

  std::string haproxy_;
  TempDir dir;
  ChildProcess lobby;
  ChildProcess haproxy;
  int64_t haproxy_started_ms = 0;
  int port = 0;
  // The player that showed HAProxy up; the users and connections before
  // the test's own.
  TcpClient probe;
  int users_before = 0;
  int accepted_before = 0;
};

TEST_P(HaproxyTest, EveryProtectionSeesEachPlayersOwnAddress) {
  // The per-address limit (8) is each player's: the ninth from one address
  // gets 2A, while other addresses behind the same proxy get in.
  std::vector<TcpClient> crowd(8);
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(enter(&crowd[i], "127.0.1.1", 1 + i)) << i;
  TcpClient ninth;
  ASSERT_TRUE(ninth.connect_from("127.0.1.1", port));
  std::string before;
  EXPECT_TRUE(ninth.wait_closed(5000, &before));
  EXPECT_EQ(w::hex(w::full()), w::hex(before));
  TcpClient other;
  TcpClient another;
  ASSERT_TRUE(enter(&other, "127.0.1.2", 20));
  ASSERT_TRUE(enter(&another, "127.0.2.1", 21));

  // The operator sees the players' addresses, never the proxy's.
  const std::string users = lobbyctl_json_users();
  EXPECT_EQ(8u, occurrences(users, "\"address\":\"127.0.1.1:")) << users;
  EXPECT_EQ(1u, occurrences(users, "\"address\":\"127.0.1.2:")) << users;
  EXPECT_EQ(1u, occurrences(users, "\"address\":\"127.0.2.1:")) << users;
  EXPECT_EQ(0u, occurrences(users, "\"address\":\"127.0.0.1:")) << users;

  // Garbage after a login, five times from one address, bans that address
  // and not the proxy: players of other addresses still get in.
  for (int i = 0; i < 5; ++i) {
    TcpClient griefer;
    ASSERT_TRUE(enter(&griefer, "127.0.3.1", 30 + i)) << i;
    griefer.send("2Z");
    EXPECT_TRUE(griefer.wait_closed(5000)) << i;
  }
  for (const int64_t deadline = now_ms() + kWaitMs;
       ask("bans").find("127.0.3.1") == std::string::npos;) {
    ASSERT_LT(now_ms(), deadline) << "no ban of 127.0.3.1: " << log();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(std::string::npos, ask("bans").find("127.0.0.1"));
  TcpClient banned;
  ASSERT_TRUE(banned.connect_from("127.0.3.1", port));
  std::string banned_got;
  EXPECT_TRUE(banned.wait_closed(5000, &banned_got));
  EXPECT_EQ("", w::hex(banned_got));
  TcpClient neighbour;
  EXPECT_TRUE(enter(&neighbour, "127.0.3.2", 40));

  // Ten seconds of health checks every 100 ms: no slot taken, nothing
  // counted, one line in the log (and its count at the stop).
  const int64_t checked_until = haproxy_started_ms + kChecksMs;
  if (now_ms() < checked_until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(checked_until - now_ms()));
  }
  const std::string status = ask("status");
  // The crowd, the two others and the neighbour stay; the griefers came
  // and went; the ninth and the banned one never had a slot.
  EXPECT_EQ(users_before + 11, counter(status, "users")) << status;
  EXPECT_EQ(accepted_before + 16, counter(status, "connections_accepted")) << status;
  EXPECT_EQ(0, counter(status, "bad proxy header")) << status;
  int status_code = 0;
  haproxy.send_signal(SIGTERM);
  EXPECT_TRUE(haproxy.wait_exit(kWaitMs, &status_code));
  lobby.send_signal(SIGTERM);
  ASSERT_TRUE(lobby.wait_exit(kWaitMs, &status_code));
  const std::string text = log();
  const std::string first = GetParam() == 2 ? "proxy 127.0.0.1: health check (LOCAL)"
                                            : "proxy 127.0.0.1: health check (a header naming a "
                                              "trusted proxy)";
  EXPECT_EQ(1u, occurrences(text, first)) << text;
  EXPECT_LE(occurrences(text, "127.0.0.1"), 3u) << text;
  const size_t told = text.find("proxy 127.0.0.1: health checks \xC3\x97");
  ASSERT_NE(std::string::npos, told) << text;
  // A check every 100 ms for at least 10 s: HAProxy spreads its checks a
  // little, and the first ones came while the lobby started.
  EXPECT_GE(std::atoi(text.c_str() + told + 33), 50) << text.substr(told, 80);
}

INSTANTIATE_TEST_SUITE_P(ProxyVersion, HaproxyTest, ::testing::Values(2, 1),
                         [](const ::testing::TestParamInfo<int>& version) {
                           return version.param == 2 ? std::string("SendProxyV2")
                                                     : std::string("SendProxyV1");
                         });

}  // namespace
