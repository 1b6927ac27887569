// The lobby's door seen from outside: clients that connect from chosen
// loopback addresses, and helpers that say whether the server let each one
// in, turned it away with "full", or closed it without a byte.
#ifndef TESTS_SUPPORT_DOOR_FIXTURE_H_
#define TESTS_SUPPORT_DOOR_FIXTURE_H_

#include <gtest/gtest.h>

#include <string>

#include "tests/support/lobby_server_fixture.h"
#include "tests/support/tcp_client.h"
#include "tests/support/wire.h"

namespace testing_support {

class DoorTest : public LobbyServerTest {
 protected:
  // Connects from `source` and waits until the accept thread has dealt with
  // the connection.
  TcpClient connect_from(const std::string& source) {
    TcpClient c;
    EXPECT_TRUE(c.connect_from(source, port)) << source;
    settle(2);
    return c;
  }

  // Logs in and reads the room list's end and the first group count.
  void log_in(TcpClient& c, int32_t id, int32_t key) {
    c.send(test_wire::enter(id, "u" + std::to_string(id), key));
    expect_bytes(c, test_wire::list_end() + test_wire::group_count(1));
  }

  // Connects from `source` and logs in (the test gives the client a group
  // of its own).
  TcpClient enter_from(const std::string& source, int32_t id, int32_t key) {
    TcpClient c = connect_from(source);
    log_in(c, id, key);
    return c;
  }

  // Closed by the server without one byte; with `settle_after_close`, also
  // one more pass of every thread.
  void expect_closed_silently(TcpClient& c) {
    std::string before;
    EXPECT_TRUE(c.wait_closed(3000, &before));
    EXPECT_EQ("", test_wire::hex(before));
    if (settle_after_close) settle(1);
  }

  void expect_refused(TcpClient& c) {
    std::string before;
    EXPECT_TRUE(c.wait_closed(3000, &before));
    EXPECT_EQ(test_wire::hex(test_wire::full()), test_wire::hex(before));
  }

  // Still served: a join of a missing room is answered, and only that.
  void expect_served(TcpClient& c) {
    c.send(test_wire::room_op(3));
    expect_bytes(c, test_wire::status(21));
    expect_silent(c);
  }

  // The worker frees a closed client's slot a moment after the socket
  // closes. A test that judges the next connection by the slots left sets
  // this, so that the freeing pass has ended first.
  bool settle_after_close = false;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_DOOR_FIXTURE_H_
