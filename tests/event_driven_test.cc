// Worker passes are driven by events: whatever one client posts for another
// wakes the other's worker, and a reader with a backlog catches up at pass
// speed. A worker's wait has no time-out of its own (the test clock names no
// deadline); here it is given one of a minute, so that a wait that runs out
// is counted: a delivery that needed one would miss every bound below, and
// the count of waits that ran out is checked as well.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/lobby_server_fixture.h"
#include "tests/support/message_reader.h"

namespace {

using testing_support::TcpClient;
namespace w = test_wire;

class EventDrivenTest : public testing_support::LobbyServerTest {
 protected:
  void SetUp() override {
    settings.test_worker_wait_ms = 60000;
    start();
  }

  // Connects and waits until the accept thread has counted the connection
  // (worker passes cannot be counted on: idle workers sleep a minute).
  TcpClient connect_counted() {
    const int32_t before = lobby().connected_count.load();
    TcpClient c;
    EXPECT_TRUE(c.connect_to(port));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (lobby().connected_count.load() == before) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "connection not placed";
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return c;
  }

  int64_t timeouts() {
    int64_t sum = 0;
    for (int k = 0; k < lobby().room_limit(); ++k) sum += server->worker_timeouts(k);
    return sum;
  }

  void expect_next(TcpClient& c, const std::string& message) {
    EXPECT_EQ(w::hex(message), w::hex(testing_support::next_message(c, 3000)));
  }
};

TEST_F(EventDrivenTest, DeliveriesWakeTheWorkersOfTheSameAndOtherSlots) {
  // Slots 0 and 1 belong to worker 0, slot 8 to worker 1.
  std::vector<TcpClient> c;
  for (int i = 0; i < 9; ++i) c.push_back(connect_counted());
  c[0].send(w::enter(1, "a", 5));
  expect_next(c[0], w::list_end());
  expect_next(c[0], w::group_count(1));
  c[1].send(w::enter(2, "b", 5));
  expect_next(c[1], w::list_end());
  expect_next(c[1], w::group_count(2));
  expect_next(c[0], w::group_count(2));
  c[8].send(w::enter(3, "c", 5));
  expect_next(c[8], w::list_end());
  expect_next(c[8], w::group_count(3));
  expect_next(c[0], w::group_count(3));
  expect_next(c[1], w::group_count(3));

  std::string line = w::chat(7, "wake up");
  c[0].send(line);
  for (int i : {0, 1, 8}) expect_next(c[i], line);

  c[0].send(w::room_op(-1));
  expect_next(c[0], w::room_made(0));
  expect_next(c[0], w::room_result(1));
  for (int i : {0, 1, 8}) {
    SCOPED_TRACE(i);
    expect_next(c[i], w::room_entry(0, 1, "a"));
  }
  c[8].send(w::room_op(0));
  for (int i : {0, 1, 8}) expect_next(c[i], w::member_count(0, 2));
  c[8].send(w::direct(0xffff, 300));
  expect_next(c[0], w::direct_from(0xfffe, 300));
  c[0].send(w::direct(1, -1));
  expect_next(c[8], w::direct_from(0, -1));
  // A departure's seat-vacated message crosses workers too.
  c[1].send(w::room_op(0));
  for (int i : {0, 1, 8}) expect_next(c[i], w::member_count(0, 3));
  c[8].send(w::room_op(-2));
  expect_next(c[8], w::room_result(0));
  expect_next(c[0], w::seat_vacated(1));
  expect_next(c[1], w::seat_vacated(1));
  EXPECT_EQ(0, timeouts());
}

TEST_F(EventDrivenTest, AReaderWithABacklogCatchesUpWithoutWaiting) {
  std::vector<TcpClient> c;
  for (int i = 0; i < 9; ++i) c.push_back(connect_counted());
  c[8].send(w::enter(2, "reader", 5));
  expect_next(c[8], w::list_end());
  expect_next(c[8], w::group_count(1));
  c[0].send(w::enter(1, "writer", 5));
  expect_next(c[0], w::list_end());
  expect_next(c[0], w::group_count(2));
  expect_next(c[8], w::group_count(2));
  // 500 lines in one write land in the ring within a few passes; the reader
  // takes one per pass and must not wait between them.
  std::string burst;
  for (int i = 0; i < 500; ++i) burst += w::chat(i, "backlog");
  c[0].send(burst);
  for (int i = 0; i < 500; ++i) {
    std::string m = testing_support::next_message(c[8], 3000);
    ASSERT_EQ(w::hex(w::chat(i, "backlog")), w::hex(m)) << "line " << i;
  }
  EXPECT_EQ(0, timeouts());
}

}  // namespace
