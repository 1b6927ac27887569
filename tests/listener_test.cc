// The client listener over loopback TCP: one accept per call, the peer's
// address, the bounded wait when nobody connects, and a port that is taken.
#include "net/listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "net/socket_ops.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 2000;

int elapsed_ms(Clock::time_point since) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class ListenerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int fd : clients_) close(fd);
    for (int fd : accepted_) close(fd);
    listener_.close();
    other_.close();
  }

  int start_on_free_port() {
    EXPECT_EQ(listener_.start_listening(0), net::kListenOk);
    int port = listener_.bound_port();
    EXPECT_GT(port, 0);
    return port;
  }

  // A client connects to 127.0.0.1:`port`; the test keeps its socket.
  int connect_client(int port) {
    int fd = net::tcp_socket();
    EXPECT_GE(fd, 0);
    uint32_t addr = 0;
    EXPECT_EQ(net::parse_ipv4("127.0.0.1", &addr), 0);
    EXPECT_EQ(net::connect_ipv4(fd, addr, port, kWaitMs), 0);
    clients_.push_back(fd);
    return fd;
  }

  // Calls accept_pending until it accepts, for at most kWaitMs. Returns the
  // result of the last call; on success the socket is kept for closing.
  int accept_one() {
    int rc = net::kAcceptNothing;
    auto start = Clock::now();
    while (rc == net::kAcceptNothing && elapsed_ms(start) < kWaitMs) {
      rc = listener_.accept_pending();
    }
    // The test closes the accepted sockets itself.
    if (rc == net::kListenOk) accepted_.push_back(listener_.take_accepted());
    return rc;
  }

  void expect_peer_is_loopback() {
    EXPECT_EQ(listener_.accepted_ip()[0], 127);
    EXPECT_EQ(listener_.accepted_ip()[1], 0);
    EXPECT_EQ(listener_.accepted_ip()[2], 0);
    EXPECT_EQ(listener_.accepted_ip()[3], 1);
  }

  // A byte sent by `client` comes out of the socket the listener accepted.
  void expect_linked(int client, int accepted) {
    uint8_t out = 0x5a;
    ASSERT_EQ(send(client, &out, 1, MSG_NOSIGNAL), 1);
    ASSERT_EQ(net::poll_fd(accepted, net::kPollIn, kWaitMs), net::kPollIn);
    uint8_t in = 0;
    ASSERT_EQ(recv(accepted, &in, 1, MSG_DONTWAIT), 1);
    EXPECT_EQ(in, out);
  }

  net::Listener listener_;
  net::Listener other_;
  std::vector<int> clients_;
  std::vector<int> accepted_;
};

TEST_F(ListenerTest, AcceptsOneWaitingConnectionPerCall) {
  int port = start_on_free_port();
  int first = connect_client(port);
  int second = connect_client(port);
  int third = connect_client(port);

  ASSERT_EQ(accept_one(), net::kListenOk);
  expect_peer_is_loopback();
  ASSERT_EQ(accept_one(), net::kListenOk);
  expect_peer_is_loopback();
  ASSERT_EQ(accept_one(), net::kListenOk);
  expect_peer_is_loopback();
  EXPECT_EQ(listener_.accept_pending(), net::kAcceptNothing);

  // Three distinct sockets, each the server end of one client, in order.
  expect_linked(first, accepted_[0]);
  expect_linked(second, accepted_[1]);
  expect_linked(third, accepted_[2]);
}

// A socket bound to a port nobody listens on and connected to that same
// port meets itself; a client of a real listener does not.
TEST_F(ListenerTest, ASocketConnectedToItselfIsTold) {
  const int client = connect_client(start_on_free_port());
  EXPECT_FALSE(net::connected_to_itself(client));
  const int fd = net::tcp_socket();
  ASSERT_GE(fd, 0);
  clients_.push_back(fd);
  uint32_t addr = 0;
  ASSERT_EQ(net::parse_ipv4("127.0.0.1", &addr), 0);
  ASSERT_EQ(net::bind_ipv4(fd, ntohl(addr), 0), 0);
  ASSERT_EQ(net::connect_ipv4(fd, addr, net::local_port(fd), kWaitMs), 0);
  EXPECT_TRUE(net::connected_to_itself(fd));
}

TEST_F(ListenerTest, NothingWaitingGivesUpAfterTenMilliseconds) {
  start_on_free_port();
  auto start = Clock::now();
  EXPECT_EQ(listener_.accept_pending(), net::kAcceptNothing);
  int waited = elapsed_ms(start);
  EXPECT_GE(waited, 9);
  EXPECT_LT(waited, 500);
}

TEST_F(ListenerTest, AcceptWithoutAListeningSocketIsRefused) {
  EXPECT_EQ(listener_.bound_port(), -1);
  EXPECT_EQ(listener_.accept_pending(), net::kNoListenSocket);
}

TEST_F(ListenerTest, SecondListenerOnTheSamePortCannotBind) {
  int port = start_on_free_port();
  EXPECT_EQ(other_.start_listening(port), net::kBindFailed);
  // The reason is the bind's, not that of giving up the socket after it.
  EXPECT_EQ(EADDRINUSE, other_.last_error());
  // The failed one holds no socket that would report itself ready and fail
  // every accept at once (an accept thread would spin on it).
  EXPECT_EQ(other_.bound_port(), -1);
  EXPECT_EQ(other_.accept_pending(), net::kNoListenSocket);

  // The first listener is untouched.
  int client = connect_client(port);
  ASSERT_EQ(accept_one(), net::kListenOk);
  expect_linked(client, accepted_[0]);
}

TEST_F(ListenerTest, PortIsReusableAtOnceAfterAClose) {
  int port = start_on_free_port();
  int client = connect_client(port);
  ASSERT_EQ(accept_one(), net::kListenOk);
  // The server end closes first, so its side of the connection lingers in
  // TIME_WAIT on the listening port once the client closes too.
  close(accepted_.back());
  accepted_.pop_back();
  listener_.close();
  uint8_t byte;
  ASSERT_EQ(net::poll_fd(client, net::kPollIn, kWaitMs), net::kPollIn);
  EXPECT_EQ(recv(client, &byte, 1, MSG_DONTWAIT), 0);
  close(client);
  clients_.clear();

  EXPECT_EQ(other_.start_listening(port), net::kListenOk);
  EXPECT_EQ(other_.bound_port(), port);
}

}  // namespace
