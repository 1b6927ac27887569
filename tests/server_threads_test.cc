// The accept thread and the worker threads: slots, refusals, the connected
// count, and the upstream link as the lobby drives it.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/short_slice.h"
#include "tests/support/lobby_server_fixture.h"
#include "tests/support/message_reader.h"
#include "tests/support/upstream_peer.h"

namespace {

using testing_support::LobbyServerTest;
using testing_support::TcpClient;
namespace w = test_wire;

TEST_F(LobbyServerTest, TwoRoomsServeSixteenAndTheSeventeenthIsTurnedAway) {
  settings.ROOM = 2;
  start();
  std::vector<TcpClient> clients;
  for (int i = 0; i < 16; ++i) clients.push_back(connect_client());
  EXPECT_EQ(16, lobby().connected_count.load());
  TcpClient extra = connect_client();
  std::string before;
  EXPECT_TRUE(extra.wait_closed(3000, &before));
  EXPECT_EQ(w::hex(w::full()), w::hex(before));
  EXPECT_EQ(1, lobby().refusals[lobby::kRefusedFull].load());
  // Those served are still served.
  clients[15].send(w::enter(1, "last", 5));
  expect_bytes(clients[15], w::list_end() + w::group_count(1));
}

TEST_F(LobbyServerTest, NoRoomsRefuseEveryClient) {
  settings.ROOM = 0;
  start();
  for (int i = 0; i < 3; ++i) {
    TcpClient c = connect_client();
    std::string before;
    EXPECT_TRUE(c.wait_closed(3000, &before));
    EXPECT_EQ(w::hex(w::full()), w::hex(before));
  }
  EXPECT_EQ(0, lobby().connected_count.load());
}

// The slice a task's scheduler line reports, or -1 where the kernel shows none.
long long slice_of(const std::string& sched_file) {
  std::ifstream in(sched_file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("se.slice", 0) == 0) return std::atoll(line.substr(line.find(':') + 1).c_str());
  }
  return -1;
}

// The relay threads ask for short slices, so that a receiver they wake does
// not preempt them; whoever asks keeps its nice value, and a thread an
// operator put under another policy is left there.
TEST_F(LobbyServerTest, TheServersThreadsAskForShortSlicesAndKeepTheirNiceValue) {
  bool slices_known = false;
  std::thread([&] {
    ASSERT_EQ(0, setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 3));
    EXPECT_EQ(0, platform::request_short_slice());
    EXPECT_EQ(3, getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())));
    slices_known =
        slice_of("/proc/thread-self/sched") == static_cast<long long>(platform::kShortSliceNs);
    const sched_param none{};
    ASSERT_EQ(0, sched_setscheduler(0, SCHED_BATCH, &none));
    EXPECT_EQ(-1, platform::request_short_slice());
    EXPECT_EQ(SCHED_BATCH, sched_getscheduler(0));
  }).join();
  if (!slices_known) GTEST_SKIP() << "this kernel keeps no slice per thread";

  settings.ROOM = 3;
  start();
  settle();  // every thread has made its passes, so has asked
  int short_sliced = 0;
  DIR* tasks = opendir("/proc/self/task");
  ASSERT_NE(nullptr, tasks);
  while (dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    const std::string file = std::string("/proc/self/task/") + task->d_name + "/sched";
    if (slice_of(file) == static_cast<long long>(platform::kShortSliceNs)) ++short_sliced;
  }
  closedir(tasks);
  EXPECT_EQ(3 + 1, short_sliced);  // the workers and the accept thread
}

TEST_F(LobbyServerTest, ANewClientTakesTheLowestFreeSlot) {
  start();
  TcpClient a = connect_client(), b = connect_client(), c = connect_client();
  TcpClient d = connect_client();
  EXPECT_EQ(4, lobby().connected_count.load());
  a.close();
  c.close();
  settle();
  EXPECT_EQ(2, lobby().connected_count.load());
  TcpClient e = connect_client();
  // e sits in slot 0: its login shows in slot 0's records.
  e.send(w::enter(42, "e", 5));
  expect_bytes(e, w::list_end() + w::group_count(1));
  EXPECT_EQ(3, lobby().connected_count.load());
  server->stop();  // the slot's fields belong to its worker until then
  EXPECT_EQ(42, lobby().slots[0].user_id.load());
}

TEST_F(LobbyServerTest, StopEndsEveryConnectionWithoutSendingMore) {
  start();
  TcpClient a = enter(1, "a", 5);
  expect_bytes(a, w::list_end() + w::group_count(1));
  TcpClient b = enter(2, "b", 5);
  expect_bytes(b, w::list_end() + w::group_count(2));
  server->stop();
  std::string before;
  EXPECT_TRUE(a.wait_closed(1000, &before));
  // a's 2H 2 may or may not have left before the stop; nothing else did.
  EXPECT_TRUE(before.empty() || before == w::group_count(2)) << w::hex(before);
  EXPECT_TRUE(b.wait_closed(1000));
}

class UpstreamTest : public LobbyServerTest {
 protected:
  void start_with_peer(int peer_recv_buffer = 0) {
    ASSERT_EQ(0, peer.start(peer_recv_buffer));
    settings.N_PORT = peer.port();
    settings.L_PORT = 0;
    settings.L_IP[0] = 192;
    settings.L_IP[1] = 168;
    settings.L_IP[2] = 0;
    settings.L_IP[3] = 10;
    start();
    ASSERT_TRUE(peer.accept_within(3000));
  }
  test_support::UpstreamPeer peer;
};

TEST_F(UpstreamTest, RegistersFirstThenReportsLoginsAndDepartures) {
  start_with_peer();
  ASSERT_TRUE(peer.wait_for_lines(1, 3000));
  EXPECT_EQ("2I port=0 zero=0 ip=192.168.0.10", peer.lines()[0]);
  // Name 7, login 9: both notices carry 9.
  TcpClient a = connect_client();
  a.send(w::name(7, "a") + w::validation(1) + w::login(9, 5, 8, 8));
  expect_bytes(a, w::list_end() + w::group_count(1));
  // A refused login is not reported; its departure is.
  TcpClient b = connect_client();
  b.send(w::name(11, "b") + w::login(11, 5, 8, 8));
  expect_bytes(b, w::refused() + w::group_count(2));
  // Only a name, then gone: a logout notice all the same.
  TcpClient c = connect_client();
  c.send(w::name(12, "c"));
  settle();
  // Nothing at all: no notice.
  TcpClient d = connect_client();
  a.close();
  b.close();
  c.close();
  d.close();
  ASSERT_TRUE(peer.wait_for_lines(5, 3000));
  std::vector<std::string> want = {"2I port=0 zero=0 ip=192.168.0.10", "2N user=9", "2F user=9",
                                   "2F user=11", "2F user=12"};
  std::vector<std::string> got = peer.lines();
  // The three departures happen in one pass or several; their order is the
  // slots' order within a pass.
  EXPECT_EQ(want, got);
  EXPECT_TRUE(peer.stays_quiet(100));
}

// The socket of this process whose peer is 127.0.0.1:`peer_port`, found
// through the process's own descriptors rather than the server's fields,
// which its threads may rewrite at any time.
int socket_connected_to(int peer_port) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int found = -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    int fd = atoi(entry->d_name);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) continue;
    if (peer.sin_family == AF_INET && ntohs(peer.sin_port) == peer_port &&
        peer.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
      found = fd;
    }
  }
  closedir(dir);
  return found;
}

int local_port(int fd) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return -1;
  return ntohs(local.sin_port);
}

bool no_delay(int fd) {
  int on = 0;
  socklen_t len = sizeof on;
  return getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len) == 0 && on != 0;
}

// Small messages must leave at once: held back for the peer's delayed
// acknowledgement, a reply would wait up to 40 ms.
TEST_F(UpstreamTest, ClientAndUpstreamSocketsSendSmallWritesAtOnce) {
  start_with_peer();
  TcpClient a = connect_client();
  const int client_side = socket_connected_to(local_port(a.fd()));
  const int upstream_side = socket_connected_to(peer.port());
  ASSERT_GE(client_side, 0);
  ASSERT_GE(upstream_side, 0);
  EXPECT_TRUE(no_delay(client_side));
  EXPECT_TRUE(no_delay(upstream_side));
}

TEST_F(UpstreamTest, BytesFromUpstreamChangeNothing) {
  start_with_peer();
  std::vector<uint8_t> junk(100000, '2');
  size_t sent = 0;
  for (int i = 0; i < 1000 && sent < junk.size(); ++i) {
    int n = peer.send_bytes(junk.data() + sent, static_cast<int>(junk.size() - sent));
    if (n > 0) sent += static_cast<size_t>(n);
    settle(1);
  }
  EXPECT_EQ(junk.size(), sent);
  TcpClient a = enter(3, "a", 5);
  expect_bytes(a, w::list_end() + w::group_count(1));
  ASSERT_TRUE(peer.wait_for_lines(2, 3000));
  EXPECT_EQ("2N user=3", peer.lines()[1]);
}

// An upstream server that stops reading fills the link's buffers; the
// lobby goes on accepting and serving clients, and drops the link rather
// than block or lose notices one by one.
TEST_F(UpstreamTest, AnUpstreamThatNeverReadsHoldsNobody) {
  settings.test_send_buffer = 4096;
  start_with_peer(4096);
  peer.set_reading(false);
  // Every accepted login queues a notice, a repeated one too: 8 clients
  // logging in again and again queue thousands, far more than the shrunken
  // buffers and the 256-message queue hold.
  std::vector<TcpClient> clients;
  for (int i = 0; i < 8; ++i) clients.push_back(connect_client());
  std::string relogins;
  for (int i = 0; i < 10; ++i) relogins += w::validation(1) + w::login(i, 5, 8, 8);
  for (int round = 0; round < 40; ++round) {
    for (TcpClient& c : clients) c.send(relogins);
    settle(2);
    for (TcpClient& c : clients) c.read_available();
  }
  for (TcpClient& c : clients) {
    c.send(w::room_op(7));
    settle(2);
    std::string tail = c.read_available();
    // Group counts of the last logins may come before or after it.
    EXPECT_NE(std::string::npos, tail.find(w::status(21))) << w::hex(tail);
  }
  // The buffers really filled: the queue would have overflowed.
  EXPECT_EQ(1, lobby().upstream.losses());
  TcpClient last = enter(999, "last", 5);
  expect_bytes(last, w::list_end() + w::group_count(9));
  last.send(w::room_op(-1));
  expect_bytes(last, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "last"));
  // When the peer reads again it finds the start of the stream whole and in
  // order. (The rest went with the dropped connection.)
  peer.set_reading(true);
  ASSERT_TRUE(peer.wait_for_lines(2, 3000));
  EXPECT_EQ("2I port=0 zero=0 ip=192.168.0.10", peer.lines()[0]);
  EXPECT_EQ("2N user=0", peer.lines()[1]);
}

TEST_F(UpstreamTest, NobodyListeningLeavesTheLobbyRunning) {
  settings.N_PORT = 1;  // a port nobody listens on
  start();
  TcpClient a = enter(1, "a", 5);
  expect_bytes(a, w::list_end() + w::group_count(1));
  // The link waits for its next attempt with nothing queued.
  EXPECT_EQ(static_cast<int>(upstream::LinkState::kDown),
            static_cast<int>(lobby().upstream.link_state()));
  EXPECT_EQ(0, lobby().upstream.send_pending());
}

}  // namespace
