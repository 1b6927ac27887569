// Login, presence, framing and the idle clock, driven over TCP against the
// real server threads.
#include <gtest/gtest.h>

#include <mutex>

#include "lobby/dispatcher.h"
#include "tests/support/lobby_server_fixture.h"
#include "tests/support/message_reader.h"

namespace {

using testing_support::LobbyServerTest;
using testing_support::next_message_skipping_counts;
using testing_support::TcpClient;
namespace w = test_wire;

std::string unhex(const char* text) {
  std::string out;
  int nibble = -1;
  for (const char* p = text; *p != '\0'; ++p) {
    int v;
    if (*p >= '0' && *p <= '9')
      v = *p - '0';
    else if (*p >= 'A' && *p <= 'F')
      v = *p - 'A' + 10;
    else
      continue;
    if (nibble < 0) {
      nibble = v;
    } else {
      out += static_cast<char>(nibble * 16 + v);
      nibble = -1;
    }
  }
  return out;
}

class LoginTest : public LobbyServerTest {
 protected:
  void SetUp() override { start(); }
};

// The byte-level example of a client's life, with three clients of group 5
// and a room of another group in room 0.
TEST_F(LoginTest, WorkedExampleInFull) {
  TcpClient zed = enter(40, "zed", 9);
  expect_bytes(zed, w::list_end() + w::group_count(1));
  zed.send(w::room_op(-1));
  expect_bytes(zed, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "zed"));

  TcpClient bob = enter(1, "bob", 5);
  expect_bytes(bob, w::list_end() + w::group_count(1));
  bob.send(w::room_op(-1));
  expect_bytes(bob, w::room_made(1) + w::room_result(1) + w::room_entry(1, 1, "bob"));

  TcpClient carol = enter(2, "carol", 5);
  expect_bytes(carol, w::room_entry(1, 1, "bob") + w::list_end() + w::group_count(2));
  expect_bytes(bob, w::group_count(2));
  carol.send(w::room_op(1));
  expect_bytes(carol, w::member_count(1, 2));
  expect_bytes(bob, w::member_count(1, 2));

  // alice's name, validation and login, in one write.
  TcpClient alice = connect_client();
  alice.send(
      unhex("32 4E 07 00 00 00 61 6C 69 63 65 00 00 00 00 00 00 00 00 00 00 00"
            "32 56 01 00 00 00"
            "32 47 07 00 00 00 05 00 00 00 04 00 02 00"));
  expect_bytes(alice, unhex("32 52 01 00 02 00 62 6F 62 00 00 00 00 00 00 00 00 00 00 00 00 00"
                            "32 4F"
                            "32 48 03 00 00 00"));
  expect_bytes(bob, w::group_count(3));
  expect_bytes(carol, w::group_count(3));

  // alice takes seat 2 and writes to the host.
  alice.send(w::room_op(1));
  for (TcpClient* c : {&alice, &bob, &carol}) expect_bytes(*c, w::member_count(1, 3));
  alice.send(unhex("32 44 FF FF 2C 01 00 00"));
  expect_bytes(bob, unhex("32 44 FD FF 2C 01 00 00"));

  // Room 0 freed by its host; alice's create takes it.
  zed.send(w::room_op(-2));
  expect_bytes(zed, w::room_result(0) + w::member_count(0, 0));
  alice.send(unhex("32 4C FF FF FF FF"));
  std::string made = alice.read_exact(9);
  EXPECT_EQ(w::hex(unhex("32 4D 00 00 00 00 32 4A 01")), w::hex(made));
}

TEST_F(LoginTest, MessagesSplitAcrossWritesAreHandledWhenComplete) {
  TcpClient c = connect_client();
  std::string bytes = w::enter(3, "dan", 6);
  c.send(bytes.substr(0, 5));
  expect_silent(c);
  c.send(bytes.substr(5, 20));
  expect_silent(c);
  c.send(bytes.substr(25));
  expect_bytes(c, w::list_end() + w::group_count(1));
  std::string op = w::room_op(-1);
  c.send(op.substr(0, 3));
  expect_silent(c);
  c.send(op.substr(3));
  expect_bytes(c, w::room_made(0) + w::room_result(1));
}

// A framing error drops the client in that pass: what came before it was
// handled (the group sees the room made and then emptied), nothing after it
// was, and nothing queued in that pass reaches the client.
class FramingTest : public LoginTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(FramingTest, BadBytesDropAfterEarlierMessages) {
  TcpClient watcher = enter(1, "watch", 5);
  expect_bytes(watcher, w::list_end() + w::group_count(1));
  TcpClient c = connect_client();
  c.send(w::enter(2, "bad", 5) + w::room_op(-1) + GetParam() + w::room_op(-1));
  std::string before;
  EXPECT_TRUE(c.wait_closed(3000, &before));
  EXPECT_EQ("", w::hex(before));
  EXPECT_EQ(w::hex(w::room_entry(0, 1, "bad")), w::hex(next_message_skipping_counts(watcher)));
  EXPECT_EQ(w::hex(w::member_count(0, 0)), w::hex(next_message_skipping_counts(watcher)));
  settle();
  std::string rest = watcher.read_available();
  EXPECT_EQ(std::string::npos, rest.find('R')) << "a second room was made: " << w::hex(rest);
  EXPECT_EQ(0, lobby().rooms_in_use.load());
}

INSTANTIATE_TEST_SUITE_P(Letters, FramingTest,
                         ::testing::Values(std::string("2Z"), std::string("2c"), std::string("22"),
                                           std::string("X2"), std::string("\0\0", 2)));

TEST_F(LoginTest, SingleStrayByteWaitsForASecond) {
  TcpClient c = connect_client();
  c.send("X");
  expect_silent(c);
  EXPECT_EQ(1, lobby().connected_count.load());
  c.send("Y");
  EXPECT_TRUE(c.wait_closed());
}

TEST_F(LoginTest, LoggedInSilentClientIsDroppedOnceMoreThan60SecondsPassed) {
  TcpClient c = enter(1, "idle", 5);
  expect_bytes(c, w::list_end() + w::group_count(1));
  tick_seconds(60);
  expect_silent(c);
  EXPECT_EQ(1, lobby().connected_count.load());
  tick_seconds(1);
  EXPECT_TRUE(c.wait_closed());
}

TEST_F(LoginTest, KeepAliveAndEveryMessageResetTheIdleCount) {
  TcpClient c = enter(1, "busy", 5);
  expect_bytes(c, w::list_end() + w::group_count(1));
  tick_seconds(50);
  c.send(w::keep_alive());
  expect_silent(c);
  tick_seconds(50);
  c.send(w::validation(3));
  expect_silent(c);
  tick_seconds(60);
  expect_silent(c);
  tick_seconds(1);
  EXPECT_TRUE(c.wait_closed());
}

TEST_F(LoginTest, ClientWithoutLoginAccruesNoIdleTime) {
  TcpClient c = connect_client();
  c.send(w::name(1, "anon") + w::validation(1));
  tick_seconds(70);
  expect_silent(c);
  EXPECT_EQ(-1, lobby::idle_deadline_ms(lobby(), lobby().slots[0]));
  EXPECT_EQ(1, lobby().connected_count.load());
}

// Only whole messages count as signs of life: part of one, even a chat
// line's whole head, neither restarts the idle time nor holds off the
// drop, so a client cannot keep its slot for good with a few bytes.
TEST_F(LoginTest, PartOfAMessageNeitherRestartsNorHoldsOffTheIdleDrop) {
  TcpClient c = enter(1, "slow", 5);
  expect_bytes(c, w::list_end() + w::group_count(1));
  tick_seconds(30);
  c.send(w::room_op(-1).substr(0, 4));
  tick_seconds(30);
  expect_silent(c);
  EXPECT_EQ(1, lobby().connected_count.load());
  tick_seconds(1);
  EXPECT_TRUE(c.wait_closed());

  TcpClient d = enter(2, "head", 5);
  expect_bytes(d, w::list_end() + w::group_count(1));
  tick_seconds(50);
  d.send(w::chat(1, "a line cut after its head").substr(0, 7));
  tick_seconds(10);
  expect_silent(d);
  tick_seconds(1);
  EXPECT_TRUE(d.wait_closed());
  EXPECT_EQ(2, lobby().drops[lobby::kDropIdle].load());
}

// Each case: what the client sends, and that the login is refused with 2V
// while the client still counts in its group.
class RefusalTest : public LoginTest, public ::testing::WithParamInterface<int> {};

TEST_P(RefusalTest, LoginWithoutCurrentValidationIsRefused) {
  std::string sequences[] = {
      w::name(1, "a") + w::login(1, 5, 8, 8),
      w::validation(1) + w::name(1, "a") + w::login(1, 5, 8, 8),
      w::name(1, "a") + w::validation(2) + w::login(1, 5, 8, 8),
      w::name(1, "a") + w::validation(1) + w::validation(0) + w::login(1, 5, 8, 8),
  };
  TcpClient c = connect_client();
  c.send(sequences[GetParam()]);
  expect_bytes(c, w::refused() + w::group_count(1));
  expect_silent(c);
}

INSTANTIATE_TEST_SUITE_P(Sequences, RefusalTest, ::testing::Range(0, 4));

TEST_F(LoginTest, NonPositiveKeyIsRefusedAndChangesNothing) {
  TcpClient c = connect_client();
  c.send(w::enter(1, "zero", 0));
  expect_bytes(c, w::refused());
  expect_silent(c);
  // Still not logged in: no idle time, no rooms.
  tick_seconds(70);
  c.send(w::room_op(-1) + w::room_op(0));
  expect_bytes(c, w::room_result(0) + w::status(21));

  // A logged-in client keeps its login through a refused one.
  TcpClient d = enter(2, "five", 5);
  expect_bytes(d, w::list_end() + w::group_count(1));
  d.send(w::validation(1) + w::login(2, -1, 8, 8));
  expect_bytes(d, w::refused());
  d.send(w::room_op(-1));
  expect_bytes(d, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "five"));
  EXPECT_EQ(1, lobby().groups[0].count.load());
}

TEST_F(LoginTest, RepeatedLoginKeepsGroupCountsExact) {
  TcpClient a = enter(1, "a", 5);
  expect_bytes(a, w::list_end() + w::group_count(1));
  TcpClient b = enter(2, "b", 5);
  expect_bytes(b, w::list_end() + w::group_count(2));
  expect_bytes(a, w::group_count(2));
  // b logs in again under key 6: group 5 falls back to 1.
  b.send(w::validation(1) + w::login(2, 6, 8, 8));
  expect_bytes(b, w::list_end() + w::group_count(1));
  expect_bytes(a, w::group_count(1));
  // And again under 6: still one.
  b.send(w::validation(1) + w::login(2, 6, 8, 8));
  expect_bytes(b, w::list_end() + w::group_count(1));
  expect_silent(a);
}

TEST_F(LoginTest, GroupCountFollowsLoginsAndDrops) {
  TcpClient a = enter(1, "a", 5);
  expect_bytes(a, w::list_end() + w::group_count(1));
  TcpClient b = enter(2, "b", 5);
  expect_bytes(b, w::list_end() + w::group_count(2));
  TcpClient c = enter(3, "c", 5);
  expect_bytes(c, w::list_end() + w::group_count(3));
  expect_bytes(a, w::group_count(2) + w::group_count(3));
  expect_bytes(b, w::group_count(3));
  TcpClient other = enter(4, "other", 7);
  expect_bytes(other, w::list_end() + w::group_count(1));
  c.close();
  expect_bytes(a, w::group_count(2));
  expect_bytes(b, w::group_count(2));
  expect_silent(other);
}

TEST_F(LoginTest, FullGroupTableLeavesTheNextKeyWithoutCount) {
  {
    platform::MutexLock guard(lobby().lock_groups);
    for (int i = 0; i < lobby::kGroupEntries; ++i) {
      lobby().groups[i].key = 1000 + i;
      lobby().groups[i].count.store(1);
    }
  }
  TcpClient c = enter(1, "late", 5);
  expect_bytes(c, w::list_end());
  expect_silent(c);
  // Otherwise logged in: it can make a room.
  c.send(w::room_op(-1));
  expect_bytes(c, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "late"));
}

TEST_F(LoginTest, NoClientInheritsItsPredecessorsValidation) {
  TcpClient first = connect_client();
  first.send(w::name(1, "first") + w::validation(1));
  settle();
  first.close();
  settle();
  TcpClient second = connect_client();
  second.send(w::login(2, 5, 8, 8));
  expect_bytes(second, w::refused() + w::group_count(1));
}

}  // namespace
