// The upstream link as the running lobby keeps it: lost, tried again on the
// backoff schedule of the server's clock (advanced by hand here), and told
// on each new connection exactly who is online, while clients are served
// throughout.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/lobby_server_fixture.h"
#include "tests/support/upstream_peer.h"
#include "upstream/backoff.h"

namespace {

using testing_support::TcpClient;
using upstream::LinkState;
using Lines = std::vector<std::string>;
namespace w = test_wire;

constexpr uint32_t kSeed = 11;
constexpr int kWaitMs = 3000;

class UpstreamReconnectTest : public testing_support::LobbyServerTest {
 protected:
  UpstreamReconnectTest() { settings.test_upstream_seed = kSeed; }

  void start_with_peer(int peer_recv_buffer = 0) {
    ASSERT_EQ(0, peer.start(peer_recv_buffer));
    settings.N_PORT = peer.port();
    start();
    ASSERT_TRUE(peer.accept_within(kWaitMs));
  }

  upstream::UpstreamLink& link() { return lobby().upstream; }
  int64_t attempts() { return link().failed_attempts() + link().reconnects(); }

  // Lets the server make passes until `done` holds (bounded).
  template <typename Done>
  void settle_until(Done done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!done() && std::chrono::steady_clock::now() < deadline) settle(1);
  }

  // Runs the clock through the link's next backoff wait: a millisecond
  // short of it nothing is tried; at it, one attempt is made.
  void run_to_next_attempt() {
    const int64_t before = attempts();
    clock.advance_ms(schedule.next_wait_ms() - 1);
    settle();
    ASSERT_EQ(before, attempts());
    clock.advance_ms(1);
    settle_until([&] { return attempts() > before; });
    ASSERT_EQ(before + 1, attempts());
  }

  // Lets `ms` of clock time pass in steps of at most half the idle limit,
  // each followed by a keep-alive from every client in `alive`, so that a
  // long wait on the link's schedule drops none of them as idle.
  void pass_time(int64_t ms, const std::vector<TcpClient*>& alive) {
    while (ms > 0) {
      const int64_t step = ms < lobby::kIdleLimitMs / 2 ? ms : lobby::kIdleLimitMs / 2;
      clock.advance_ms(step);
      ms -= step;
      for (TcpClient* c : alive) c->send(w::keep_alive());
      settle();
    }
  }

  // A validated login, answered at once.
  TcpClient login(int32_t id) {
    TcpClient c = enter(id, "u", 5);
    expect_bytes(c, w::list_end());
    EXPECT_EQ("2H", c.read_exact(6).substr(0, 2));
    return c;
  }

  // What a new connection hears: 2I, then a 2N per user id, and no more.
  void expect_announcement(const std::vector<int32_t>& ids) {
    ASSERT_TRUE(peer.accept_within(kWaitMs));
    Lines want = {"2I port=0 zero=0 ip=0.0.0.0"};
    for (int32_t id : ids) want.push_back("2N user=" + std::to_string(id));
    ASSERT_TRUE(peer.wait_for_lines(want.size(), kWaitMs));
    EXPECT_TRUE(peer.stays_quiet(50));
    EXPECT_EQ(want, peer.lines());
  }

  test_support::UpstreamPeer peer;
  upstream::Backoff schedule{kSeed};  // the link's own, drawn again
};

// In slot order, not login order: every accepted login with an id of 0 or
// more, none that left or was refused. Lost again at once, the link waits a
// step longer; lost after a minute up, it starts the schedule over.
TEST_F(UpstreamReconnectTest, AClosedUpstreamIsReconnectedAndToldExactlyWhoIsOnline) {
  start_with_peer();
  TcpClient x = login(30), y = login(31);  // slots 0, 1
  TcpClient refused = connect_client();    // slot 2
  refused.send(w::name(12, "r") + w::login(12, 5, 8, 8));
  expect_bytes(refused, w::refused() + w::group_count(3));
  TcpClient named = connect_client();  // slot 3
  named.send(w::name(13, "n"));
  TcpClient z = login(0);  // slot 4
  x.close();
  settle();
  TcpClient later = login(5);  // slot 0 again
  ASSERT_TRUE(peer.wait_for_lines(6, kWaitMs));

  upstream::Backoff expected(kSeed);
  Lines lost;
  TcpClient online;
  for (int64_t up_ms : {int64_t{0}, int64_t{0}, upstream::kStableLinkMs}) {
    pass_time(up_ms, {&later, &z, &online});
    peer.close_connection();
    settle_until([&] { return link().link_state() == LinkState::kDown; });
    if (up_ms > 0) {
      expected.reset();
      schedule.reset();
    }
    lost.push_back("upstream lost (peer closed); next attempt in " +
                   std::to_string(expected.next_wait_ms()) + " ms; state down, reconnects " +
                   std::to_string(lost.size()));
    if (lost.size() == 1) {
      // While down, logins are answered at once and nothing is queued.
      online = login(40);  // slot 5
      y.close();
      settle();
      EXPECT_EQ(0, link().send_pending());
      run_to_next_attempt();
      expect_announcement({5, 0, 40});
      // Up again, notices go as before: the refused client's departure too.
      refused.close();
      ASSERT_TRUE(peer.wait_for_lines(5, kWaitMs));
      EXPECT_EQ("2F user=12", peer.lines()[4]);
      continue;
    }
    run_to_next_attempt();
    expect_announcement({5, 0, 40});
  }
  EXPECT_EQ(lost, events.starting("upstream lost"));
  EXPECT_EQ(3, link().reconnects());
  EXPECT_EQ("upstream connected to 127.0.0.1:" + std::to_string(peer.port()) +
                "; announced 3 users after 0 failed attempts; state connected, reconnects 1",
            events.starting("upstream connected").at(1));
}

// Tried on the schedule; failures are logged at once, then once a minute
// with their count; when it comes up, it is told who is online.
TEST_F(UpstreamReconnectTest, AnUpstreamDownAtStartIsTriedOnTheScheduleUntilItComesUp) {
  ASSERT_EQ(0, peer.start());
  const int upstream_port = peer.port();
  peer.stop();  // nothing listens there for now
  settings.N_PORT = upstream_port;
  start();
  TcpClient a = login(7);
  while (clock.now_ms() < upstream::kFailureReportMs) {
    a.send(w::keep_alive());
    settle();
    run_to_next_attempt();
  }
  const std::string failed =
      "upstream connect to 127.0.0.1:" + std::to_string(upstream_port) +
      " failed (Connection refused); failed attempts since the last report: ";
  const Lines failures = events.starting("upstream connect to");
  ASSERT_EQ(2u, failures.size());
  EXPECT_EQ(0u, failures[0].rfind(failed + "1; ", 0)) << failures[0];
  const std::string count = std::to_string(link().failed_attempts() - 1);
  EXPECT_EQ(0u, failures[1].rfind(failed + count + "; ", 0)) << failures[1];

  ASSERT_EQ(0, peer.start(0, upstream_port));
  TcpClient b = login(8);
  run_to_next_attempt();
  expect_announcement({7, 8});
}

// With shrunken buffers, eight clients log in again and again under new
// ids until the link's queue would overflow; the lobby drops the link, and
// a new client is served after every round. The next connection is told
// each slot's latest id.
TEST_F(UpstreamReconnectTest, AnUpstreamThatStopsReadingIsReplacedAndTheNewOneToldExactly) {
  settings.test_send_buffer = 4096;
  start_with_peer(4096);
  peer.set_reading(false);
  std::vector<TcpClient> regulars;
  for (int i = 0; i < 8; ++i) regulars.push_back(login(i));
  int32_t round = 0;
  auto relogin_round = [&] {
    ++round;
    for (int i = 0; i < 8; ++i) {
      std::string relogins;
      for (int j = 0; j < 40; ++j)
        relogins += w::validation(1) + w::login(100 * round + i, 5, 8, 8);
      ASSERT_TRUE(regulars[i].send(relogins));
    }
    settle(2);
    for (TcpClient& c : regulars) c.read_available();
    login(99);  // and gone
  };
  while (link().losses() == 0 && round < 40) relogin_round();
  ASSERT_EQ(1, link().losses()) << "after " << round << " rounds";
  relogin_round();  // while the link is down
  settle_until([&] { return lobby().connected_count.load() == 8; });
  EXPECT_EQ(1u, events.starting("upstream lost (not reading)").size());

  peer.set_reading(true);
  run_to_next_attempt();
  std::vector<int32_t> latest;
  for (int i = 0; i < 8; ++i) latest.push_back(100 * round + i);
  expect_announcement(latest);
}

}  // namespace
