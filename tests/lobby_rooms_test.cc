// Rooms over TCP: creating, joining, leaving, the start of a game, and the
// isolation of rooms from each other and across their lives.
#include <gtest/gtest.h>

#include <map>

#include "tests/support/lobby_server_fixture.h"
#include "tests/support/message_reader.h"

namespace {

using testing_support::LobbyServerTest;
using testing_support::TcpClient;
namespace w = test_wire;

class RoomsTest : public LobbyServerTest {
 protected:
  void SetUp() override { start(); }

  // Logs a client in and reads its room list and first group count.
  TcpClient member(int32_t id, const std::string& name, int32_t key, int32_t seats = 8,
                   int32_t start_size = 8) {
    TcpClient c = enter(id, name, key, seats, start_size);
    std::string m;
    do {
      m = testing_support::next_message(c);
    } while (!m.empty() && m[1] != 'O');
    EXPECT_EQ(w::hex(w::group_count(++group_sizes_[key])),
              w::hex(testing_support::next_message(c)));
    return c;
  }

  // Reads and discards group counts that other logins caused.
  void drain_counts(TcpClient& c) {
    settle();
    std::string rest = c.read_available();
    for (size_t i = 0; i < rest.size(); i += 6) {
      ASSERT_EQ('H', rest[i + 1]) << w::hex(rest);
    }
  }

  std::map<int32_t, int> group_sizes_;
};

TEST_F(RoomsTest, CreateTakesTheLowestFreeRoomAndAllRoomsInUseGiveNone) {
  TcpClient a = member(1, "a", 5);
  TcpClient b = member(2, "b", 6);
  TcpClient c = member(3, "c", 7);
  TcpClient d = member(4, "d", 8);
  TcpClient e = member(5, "e", 9);
  a.send(w::room_op(-1));
  expect_bytes(a, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "a"));
  b.send(w::room_op(-1));
  expect_bytes(b, w::room_made(1) + w::room_result(1) + w::room_entry(1, 1, "b"));
  c.send(w::room_op(-1));
  expect_bytes(c, w::room_made(2) + w::room_result(1) + w::room_entry(2, 1, "c"));
  d.send(w::room_op(-1));
  expect_bytes(d, w::room_made(3) + w::room_result(1) + w::room_entry(3, 1, "d"));
  EXPECT_EQ(4, lobby().rooms_in_use.load());
  e.send(w::room_op(-1));
  expect_bytes(e, w::room_result(0));
  expect_silent(e);
  // Room 0 freed while room 1 is in use: the next create takes room 0.
  a.send(w::room_op(-2));
  expect_bytes(a, w::room_result(0) + w::member_count(0, 0));
  e.send(w::room_op(-1));
  expect_bytes(e, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "e"));
}

TEST_F(RoomsTest, JoinRefusals) {
  TcpClient host = member(1, "host", 5, 8, 8);
  TcpClient stranger = member(2, "str", 6);
  TcpClient small = member(3, "small", 5, 1);
  drain_counts(host);
  host.send(w::room_op(-1));
  expect_bytes(host, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "host"));
  expect_bytes(small, w::room_entry(0, 1, "host"));
  // Another group's room, a room that does not exist, any index below -3,
  // and a room already holding as many members as the joiner's seat count.
  for (int32_t room : {0, 1, 3, 4, 100, -4, -100}) {
    stranger.send(w::room_op(room));
    expect_bytes(stranger, w::status(21));
  }
  small.send(w::room_op(0));
  expect_bytes(small, w::status(21));
  // A client that is not logged in can take no room.
  TcpClient anon = connect_client();
  anon.send(w::name(9, "anon") + w::validation(1) + w::room_op(0) + w::room_op(-1));
  expect_bytes(anon, w::status(21) + w::room_result(0));
  expect_silent(host);
  EXPECT_EQ(1, room_members(0));
}

TEST_F(RoomsTest, GameStartsAtStartSizeWithTheSeatList) {
  TcpClient host = member(1, "host", 5, 4, 3);
  TcpClient b = member(2, "bee", 5, 4);
  TcpClient c = member(3, "cee", 5, 4);
  TcpClient late = member(4, "late", 5, 4);
  for (TcpClient* x : {&host, &b, &c}) drain_counts(*x);
  host.send(w::room_op(-1));
  expect_bytes(host, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "host"));
  for (TcpClient* x : {&b, &c, &late}) expect_bytes(*x, w::room_entry(0, 1, "host"));
  b.send(w::room_op(0));
  for (TcpClient* x : {&host, &b, &c, &late}) expect_bytes(*x, w::member_count(0, 2));
  c.send(w::room_op(0));
  // Each player gets the seat list (seat count 4: the empty fourth seat
  // carries zeros) with its own seat flagged, then the start, once; the
  // member count of the same pass follows them.
  std::string list[3];
  for (int self = 0; self < 3; ++self) {
    list[self] = w::seat_entry(0, self == 0, "host") + w::seat_entry(1, self == 1, "bee") +
                 w::seat_entry(2, self == 2, "cee") + w::seat_entry(3, false, "") + w::status(2);
  }
  expect_bytes(host, list[0] + w::member_count(0, 3));
  expect_bytes(b, list[1] + w::member_count(0, 3));
  expect_bytes(c, list[2] + w::member_count(0, 3));
  expect_bytes(late, w::member_count(0, 3));
  expect_silent(host);
  expect_silent(late);
  // A started room takes no one else, and -2 does nothing there.
  late.send(w::room_op(0));
  expect_bytes(late, w::status(21));
  b.send(w::room_op(-2));
  expect_silent(b);
  // -3 takes the player out: 2J 0, the others are told seat 1 is free.
  b.send(w::room_op(-3));
  expect_bytes(b, w::room_result(0) + w::member_count(0, 2));
  expect_bytes(host, w::seat_vacated(1) + w::member_count(0, 2));
  expect_bytes(c, w::seat_vacated(1) + w::member_count(0, 2));
}

TEST_F(RoomsTest, HostDepartureFreesTheRoomAtOnce) {
  TcpClient host = member(1, "host", 5);
  TcpClient b = member(2, "bee", 5);
  drain_counts(host);
  host.send(w::room_op(-1));
  expect_bytes(host, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "host"));
  expect_bytes(b, w::room_entry(0, 1, "host"));
  b.send(w::room_op(0));
  for (TcpClient* x : {&host, &b}) expect_bytes(*x, w::member_count(0, 2));
  host.close();
  // No 2F: the group hears the room is empty, then that host is gone.
  expect_bytes(b, w::member_count(0, 0) + w::group_count(1));
  EXPECT_EQ(0, lobby().rooms_in_use.load());
}

TEST_F(RoomsTest, NonHostDepartureTellsTheOthers) {
  TcpClient host = member(1, "host", 5);
  TcpClient b = member(2, "bee", 5);
  TcpClient c = member(3, "cee", 5);
  for (TcpClient* x : {&host, &b}) drain_counts(*x);
  host.send(w::room_op(-1));
  expect_bytes(host, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "host"));
  for (TcpClient* x : {&b, &c}) expect_bytes(*x, w::room_entry(0, 1, "host"));
  b.send(w::room_op(0));
  for (TcpClient* x : {&host, &b, &c}) expect_bytes(*x, w::member_count(0, 2));
  c.send(w::room_op(0));
  for (TcpClient* x : {&host, &b, &c}) expect_bytes(*x, w::member_count(0, 3));
  b.send(w::room_op(-2));
  expect_bytes(b, w::room_result(0) + w::member_count(0, 2));
  expect_bytes(host, w::seat_vacated(1) + w::member_count(0, 2));
  expect_bytes(c, w::seat_vacated(1) + w::member_count(0, 2));
  // The emptied seat is taken again by the next joiner.
  b.send(w::room_op(0));
  for (TcpClient* x : {&host, &b, &c}) expect_bytes(*x, w::member_count(0, 3));
  EXPECT_EQ(seat_slot(0, 1), 1);
}

TEST_F(RoomsTest, LeaveGameWithoutARoomIsSilentAndLeaveRoomOutsideOneToo) {
  TcpClient a = member(1, "a", 5);
  a.send(w::room_op(-3) + w::room_op(-2));
  expect_silent(a);
}

TEST_F(RoomsTest, AClientIsInOneRoomAtMost) {
  TcpClient host = member(1, "host", 5);
  TcpClient b = member(2, "bee", 5);
  TcpClient c = member(3, "cee", 5);
  for (TcpClient* x : {&host, &b}) drain_counts(*x);
  host.send(w::room_op(-1));
  expect_bytes(host, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "host"));
  for (TcpClient* x : {&b, &c}) expect_bytes(*x, w::room_entry(0, 1, "host"));
  b.send(w::room_op(0));
  for (TcpClient* x : {&host, &b, &c}) expect_bytes(*x, w::member_count(0, 2));
  // Joining the room it sits in is refused.
  b.send(w::room_op(0));
  expect_bytes(b, w::status(21));
  // Creating a room: b leaves room 0 first (the host hears of it), with no
  // 2J 0 for that leave.
  b.send(w::room_op(-1));
  expect_bytes(
      b, w::room_made(1) + w::room_result(1) + w::member_count(0, 1) + w::room_entry(1, 1, "bee"));
  expect_bytes(host, w::seat_vacated(1) + w::member_count(0, 1) + w::room_entry(1, 1, "bee"));
  expect_bytes(c, w::member_count(0, 1) + w::room_entry(1, 1, "bee"));
  // c joins room 1, then moves to room 0: room 1 hears it leave.
  c.send(w::room_op(1));
  for (TcpClient* x : {&host, &b, &c}) expect_bytes(*x, w::member_count(1, 2));
  c.send(w::room_op(0));
  for (TcpClient* x : {&host, &b, &c}) {
    std::string got = x->read_exact(x == &b ? 20 : 12);
    std::string want = w::member_count(1, 1) + w::member_count(0, 2);
    if (x == &b) want = w::seat_vacated(1) + want;
    EXPECT_EQ(w::hex(want), w::hex(got));
  }
  EXPECT_EQ(2, room_members(0));
  EXPECT_EQ(1, room_members(1));
}

// A member left behind by a departing host keeps its record of the freed
// room, but nothing it does reaches the room later made at that index.
TEST_F(RoomsTest, FreedRoomsStayIsolatedFromTheirSuccessors) {
  TcpClient host = member(1, "host", 5);
  TcpClient b = member(2, "bee", 5);
  TcpClient next = member(3, "next", 5, 8, 2);
  TcpClient d = member(4, "dee", 5);
  for (TcpClient* x : {&host, &b, &next}) drain_counts(*x);
  host.send(w::room_op(-1));
  expect_bytes(host, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "host"));
  for (TcpClient* x : {&b, &next, &d}) expect_bytes(*x, w::room_entry(0, 1, "host"));
  b.send(w::room_op(0));
  for (TcpClient* x : {&host, &b, &next, &d}) expect_bytes(*x, w::member_count(0, 2));
  host.send(w::room_op(-2));
  expect_bytes(host, w::room_result(0) + w::member_count(0, 0));
  for (TcpClient* x : {&b, &next, &d}) expect_bytes(*x, w::member_count(0, 0));
  // Room 0 made anew with start size 2; d joins and the game starts.
  next.send(w::room_op(-1));
  expect_bytes(next, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "next"));
  for (TcpClient* x : {&host, &b, &d}) expect_bytes(*x, w::room_entry(0, 1, "next"));
  d.send(w::room_op(0));
  for (TcpClient* x : {&host, &b}) expect_bytes(*x, w::member_count(0, 2));
  std::string empty_seats;
  for (int seat = 2; seat < 8; ++seat) empty_seats += w::seat_entry(seat, false, "");
  expect_bytes(next, w::seat_entry(0, true, "next") + w::seat_entry(1, false, "dee") + empty_seats +
                         w::status(2) + w::member_count(0, 2));
  expect_bytes(d, w::seat_entry(0, false, "next") + w::seat_entry(1, true, "dee") + empty_seats +
                      w::status(2) + w::member_count(0, 2));
  // b, left behind in the old room 0, never sees that game start.
  expect_silent(b);
  // Its leave clears only its own record: 2J 0, no notice (room 0 is in use
  // again), and the new room keeps its count and seats.
  b.send(w::room_op(-2));
  expect_bytes(b, w::room_result(0));
  expect_silent(b);
  expect_silent(next);
  EXPECT_EQ(2, room_members(0));
  EXPECT_EQ(2, seat_slot(0, 0));
  EXPECT_EQ(3, seat_slot(0, 1));
}

}  // namespace
