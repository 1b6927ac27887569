// Chat lines and direct messages over TCP: who receives what, byte for byte.
#include <gtest/gtest.h>

#include <map>

#include "tests/support/lobby_server_fixture.h"
#include "tests/support/message_reader.h"

namespace {

using testing_support::LobbyServerTest;
using testing_support::TcpClient;
namespace w = test_wire;

class ChatTest : public LobbyServerTest {
 protected:
  void SetUp() override { start(); }

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

  // Settles and throws away whatever the client was sent so far.
  void drain(TcpClient& c) {
    settle();
    c.read_available();
  }

  // host creates room 0, the others join in order: a room of `members`
  // clients in group 5 whose game starts when the last one joins.
  std::vector<TcpClient> game(int members, int32_t seats = 8) {
    std::vector<TcpClient> players;
    for (int i = 0; i < members; ++i) {
      players.push_back(member(100 + i, "p" + std::to_string(i), 5, seats, members));
    }
    players[0].send(w::room_op(-1));
    settle();
    for (int i = 1; i < members; ++i) {
      players[i].send(w::room_op(0));
      settle();
    }
    for (TcpClient& p : players) drain(p);
    return players;
  }

  std::map<int32_t, int> group_sizes_;
};

TEST_F(ChatTest, LinesOutsideGamesReachTheGroupSenderIncluded) {
  TcpClient a = member(1, "a", 5);
  TcpClient b = member(2, "b", 5);
  TcpClient other = member(3, "o", 6);
  drain(a);
  // Bytes 2-5 travel unchanged; an empty line is 7 bytes and relayed too.
  std::string line = w::msg('C') + std::string("\xDE\xAD\xBE\xEF", 4) + "\x05hello";
  std::string empty = w::chat(-7, "");
  a.send(line);
  expect_bytes(a, line);
  expect_bytes(b, line);
  b.send(empty);
  expect_bytes(a, empty);
  expect_bytes(b, empty);
  expect_silent(other);
}

TEST_F(ChatTest, ALineWhoseTailArrivesLaterIsRelayedOnce) {
  TcpClient a = member(1, "a", 5);
  std::string line = w::chat(1, "split line");
  a.send(line.substr(0, 9));
  expect_silent(a);
  a.send(line.substr(9));
  expect_bytes(a, line);
  expect_silent(a);
}

TEST_F(ChatTest, OverlongLinesAndLinesFromOutsideEveryGroupAreDropped) {
  TcpClient a = member(1, "a", 5);
  std::string longest = w::chat(1, std::string(73, 'x'));  // 80 bytes: relayed
  std::string too_long = w::chat(2, std::string(74, 'y'));
  a.send(too_long + longest);
  expect_bytes(a, longest);
  expect_silent(a);
  // Not logged in: its target would be the game of room 1. Nobody gets it,
  // not even the players of that game.
  TcpClient anon = connect_client();
  anon.send(w::chat(3, "anon"));
  expect_silent(anon);
  expect_silent(a);
  EXPECT_EQ(2, lobby().connected_count.load());
}

TEST_F(ChatTest, GameChatReachesItsPlayersOnly) {
  std::vector<TcpClient> players = game(2);
  TcpClient outside = member(9, "out", 5);
  drain(players[0]);
  drain(players[1]);
  std::string in_game = w::chat(1, "gg");
  players[1].send(in_game);
  expect_bytes(players[0], in_game);
  expect_bytes(players[1], in_game);
  expect_silent(outside);
  // Group lines do not reach players in a game.
  std::string lobby_line = w::chat(2, "anyone?");
  outside.send(lobby_line);
  expect_bytes(outside, lobby_line);
  expect_silent(players[0]);
  expect_silent(players[1]);
}

TEST_F(ChatTest, DirectMessagesCarryTheSenderCode) {
  std::vector<TcpClient> p = game(4);
  // To the host from seat 3: the complement of 3.
  p[3].send(w::direct(0xffff, 77));
  expect_bytes(p[0], w::direct_from(0xfffc, 77));
  // To seat 3 from the host: code 0.
  p[0].send(w::direct(3, -5));
  expect_bytes(p[3], w::direct_from(0, -5));
  // A host writing to the host reaches itself with code -1.
  p[0].send(w::direct(0xffff, 1));
  expect_bytes(p[0], w::direct_from(0xffff, 1));
  for (TcpClient& c : p) expect_silent(c);
}

TEST_F(ChatTest, DirectMessagesToNoSeatAreDroppedAndPartialOnesWait) {
  std::vector<TcpClient> p = game(2, 4);
  for (int32_t target : {8, 9, 100, 0xfffe, 2, 3}) p[0].send(w::direct(target, 1));
  for (TcpClient& c : p) expect_silent(c);
  std::string m = w::direct(1, 42);
  p[0].send(m.substr(0, 6));
  expect_silent(p[1]);
  p[0].send(m.substr(6, 1));
  expect_silent(p[1]);
  p[0].send(m.substr(7));
  expect_bytes(p[1], w::direct_from(0, 42));
}

TEST_F(ChatTest, AConnectionPlacedAfter1500LinesReceivesNoneOfThem) {
  TcpClient talker = member(1, "talk", 5);
  std::string burst;
  for (int i = 0; i < 1500; ++i) burst += w::chat(i, "x");
  talker.send(burst);
  // 12 KB at most 1023 bytes a pass: the server has read it all by now.
  settle(30);
  TcpClient late = member(2, "late", 5);
  expect_silent(late);
}

// Rooms freed under their members stay isolated for chat and direct
// messages: a member left behind reaches nobody in the room made anew.
TEST_F(ChatTest, MembersLeftBehindReachNothingOfTheNewRoom) {
  std::vector<TcpClient> old_game = game(2);  // slots 0, 1 in room 0's game
  old_game[0].send(w::room_op(-3));           // the host leaves: room 0 freed
  drain(old_game[0]);
  drain(old_game[1]);
  TcpClient next = member(10, "next", 5, 8, 2);
  TcpClient joiner = member(11, "join", 5, 8, 2);
  next.send(w::room_op(-1));
  settle();
  joiner.send(w::room_op(0));
  settle();
  drain(next);
  drain(joiner);
  drain(old_game[1]);
  // The member left behind still thinks it plays in room 0's game.
  // Its line reaches only the players of that old game, itself.
  std::string stale = w::chat(1, "stale");
  old_game[1].send(stale + w::direct(0xffff, 9) + w::direct(0, 9));
  expect_bytes(old_game[1], stale);
  expect_silent(next);
  expect_silent(joiner);
  // And the new game's lines do not reach it.
  std::string line = w::chat(2, "fresh");
  next.send(line);
  expect_bytes(next, line);
  expect_bytes(joiner, line);
  expect_silent(old_game[1]);
}

// Twelve clients in three groups and four rooms: every client receives
// exactly what its group, room and game entitle it to.
TEST_F(ChatTest, ScenarioEveryClientReceivesExactlyItsShare) {
  std::vector<TcpClient> c;
  const int32_t keys[12] = {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};
  for (int i = 0; i < 12; ++i) {
    c.push_back(member(i, "c" + std::to_string(i), keys[i], 4, 2));
  }
  // Rooms: 0 = {0,1} (group 1), 1 = {4,5} (group 2), 2 = {8} (group 3,
  // not started), 3 = {9,10} (group 3). Games start at two members.
  auto make = [&](int host) {
    c[host].send(w::room_op(-1));
    settle();
  };
  auto join = [&](int who, int room) {
    c[who].send(w::room_op(room));
    settle();
  };
  make(0);
  join(1, 0);
  make(4);
  join(5, 1);
  make(8);
  make(9);
  join(10, 3);
  for (TcpClient& x : c) drain(x);

  // Each client says one line and sends a direct message to its host.
  for (int i = 0; i < 12; ++i) {
    c[i].send(w::chat(i, "from" + std::to_string(i)));
    settle(2);
  }
  c[1].send(w::direct(0xffff, 101));
  c[5].send(w::direct(0xffff, 105));
  c[10].send(w::direct(0, 110));
  c[2].send(w::direct(0xffff, 102));  // outside any room: dropped
  settle(10);

  // Who must hear whom: players hear their game; others their group's
  // clients outside games (clients in a room that has not started count as
  // outside games).
  const int game_of[12] = {0, 0, -1, -1, 1, 1, -1, -1, -1, 3, 3, -1};
  for (int r = 0; r < 12; ++r) {
    std::string want;
    for (int s = 0; s < 12; ++s) {
      bool hears =
          game_of[r] >= 0 ? game_of[s] == game_of[r] : game_of[s] < 0 && keys[s] == keys[r];
      if (hears) want += w::chat(s, "from" + std::to_string(s));
    }
    if (r == 0) want += w::direct_from(~1 & 0xffff, 101);
    if (r == 4) want += w::direct_from(~1 & 0xffff, 105);
    if (r == 9) want += w::direct_from(1, 110);
    std::string got;
    while (got.size() < want.size()) {
      std::string m = testing_support::next_message(c[r]);
      if (m.empty()) break;
      got += m;
    }
    EXPECT_EQ(w::hex(want), w::hex(got)) << "client " << r;
    expect_silent(c[r]);
  }
}

}  // namespace
