// Who gets in and who must make room, over real TCP from several loopback
// addresses with the server's clock driven by hand: the per-network limit,
// the pace of new connections per address, lurkers giving way to newcomers,
// the rooms one address may host, and the automatic timed bans. Each test
// turns on only what it tests and checks the exact bytes every client got,
// who was closed and why, and the counts and lines the lobby reports.
#include "lobby/admission.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "admin/replies.h"
#include "lobby/snapshot.h"
#include "tests/support/child_process.h"
#include "tests/support/door_fixture.h"

namespace {

using testing_support::TcpClient;
namespace w = test_wire;

class AdmissionTest : public testing_support::DoorTest {
 protected:
  // The tests here judge the next connection by the slots left, so a
  // silent close also waits for the pass that frees the slot.
  AdmissionTest() { settle_after_close = true; }

  // Moves the clock on by `seconds`, 50 s at a time, each step followed by
  // a keep-alive from every client in `alive`, so that none is idle.
  void pass_time(int seconds, const std::vector<TcpClient*>& alive) {
    while (seconds > 0) {
      const int step = seconds < 50 ? seconds : 50;
      clock.advance_ms(step * 1000);
      settle(1);
      for (TcpClient* c : alive) c->send(w::keep_alive());
      settle(1);
      seconds -= step;
    }
  }
};

// L_PER_NET 3: a fourth connection from 127.0.0.0/24 gets 2A, whatever its
// own address; another /24 is not touched, and a slot given back makes
// room again. The per-address limit is judged first.
TEST_F(AdmissionTest, APrefixAtItsLimitIsRefusedAndOtherPrefixesAreNot) {
  settings.L_PER_NET = 3;
  settings.L_PER_IP = 2;
  start();
  TcpClient a = enter_from("127.0.0.2", 1, 1);
  TcpClient b = enter_from("127.0.0.2", 2, 2);
  TcpClient by_address = connect_from("127.0.0.2");
  expect_refused(by_address);
  TcpClient c = enter_from("127.0.0.3", 3, 3);
  TcpClient by_network = connect_from("127.0.0.4");
  expect_refused(by_network);
  TcpClient other = enter_from("127.0.1.4", 4, 4);
  TcpClient other2 = enter_from("127.0.1.5", 5, 5);
  b.close();
  settle();
  TcpClient again = enter_from("127.0.0.4", 6, 6);
  TcpClient full_again = connect_from("127.0.0.5");
  expect_refused(full_again);
  for (TcpClient* s : {&a, &c, &other, &other2, &again}) expect_served(*s);
  EXPECT_EQ(1, refusals(lobby::kRefusedPerAddress));
  EXPECT_EQ(2, refusals(lobby::kRefusedPerNetwork));
  EXPECT_EQ(0, refusals(lobby::kRefusedFull));
  EXPECT_EQ(1u, logged("refused 127.0.0.4: per-network limit"));
  EXPECT_EQ(1u, logged("refused 127.0.0.5: per-network limit"));
}

// L_CONN_RATE 3: an address may open three connections at once, then one
// every 20 s; one more is closed without a byte ("connecting too fast")
// and takes nothing from its bucket, so a client that waits 20 s between
// tries always gets in. Other addresses are not touched.
TEST_F(AdmissionTest, AnAddressThatConnectsTooFastIsClosedWithoutAByte) {
  settings.L_CONN_RATE = 3;
  start();
  std::vector<TcpClient> in;
  in.reserve(6);
  for (int i = 0; i < 3; ++i) in.push_back(enter_from("127.0.0.2", 1 + i, 1 + i));
  // Closing gives no connection back: the pace counts connections opened.
  in[0].close();
  settle();
  TcpClient fourth = connect_from("127.0.0.2");
  expect_closed_silently(fourth);
  TcpClient neighbour = enter_from("127.0.0.3", 10, 10);

  clock.advance_ms(19999);
  settle();
  TcpClient early = connect_from("127.0.0.2");
  expect_closed_silently(early);
  clock.advance_ms(1);
  settle();
  TcpClient on_time = enter_from("127.0.0.2", 4, 4);
  TcpClient right_after = connect_from("127.0.0.2");
  expect_closed_silently(right_after);
  // A full bucket again after a quiet minute: three at once.
  std::vector<TcpClient*> alive = {&in[1], &in[2], &on_time, &neighbour};
  for (TcpClient* c : alive) c->send(w::keep_alive());
  pass_time(60, alive);
  for (int i = 0; i < 3; ++i) in.push_back(enter_from("127.0.0.2", 5 + i, 5 + i));
  TcpClient past = connect_from("127.0.0.2");
  expect_closed_silently(past);

  for (size_t i = 1; i < in.size(); ++i) expect_served(in[i]);
  expect_served(on_time);
  expect_served(neighbour);
  EXPECT_EQ(4, refusals(lobby::kRefusedTooFast));
  EXPECT_EQ(4u, logged("refused 127.0.0.2: connecting too fast"));
}

// Eight slots, every one taken. A newcomer takes first the slot of the
// connection without a login that is at least 1 s old, then a lurker's: a
// logged-in client outside every room that has sent only keep-alives for
// L_LURK seconds, or L_LURK / k for one of k lurkers of an address or /24.
// Of several lurkers, the one whose /24 holds the most slots goes first,
// then the one that has lurked longest. Members of a
// room, and clients that chatted or sent a direct message lately, never
// go. With L_AUTOBAN 1, the displaced connection that never logged in
// gets its address banned, with no deny file at all; the lurkers'
// addresses do not.
TEST_F(AdmissionTest, LurkersGiveWayToNewcomersBusiestNetworkFirst) {
  settings.L_DENY[0] = '\0';  // automatic bans need no deny file
  settings.ROOM = 1;          // 8 slots
  settings.L_LOGIN_WAIT = 30;
  settings.L_LURK = 300;
  settings.L_AUTOBAN = 1;
  start();
  // t = 0: a hosts a room that b joins; c and g will be active; d lurks
  // alone in 127.0.1.0/24.
  TcpClient a = enter_from("127.0.0.2", 1, 1);
  a.send(w::room_op(-1));
  expect_bytes(a, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "u1"));
  TcpClient b = connect_from("127.0.0.3");
  b.send(w::enter(2, "u2", 1));
  expect_bytes(b, w::room_entry(0, 1, "u1") + w::list_end() + w::group_count(2));
  b.send(w::room_op(0));
  expect_bytes(b, w::member_count(0, 2));
  expect_bytes(a, w::group_count(2) + w::member_count(0, 2));
  TcpClient c = enter_from("127.0.0.4", 3, 3);
  TcpClient d = enter_from("127.0.1.5", 4, 4);
  TcpClient g = enter_from("127.0.0.8", 7, 7);
  // e and f lurk in 127.0.2.0/24, from 10 s and 20 s.
  pass_time(10, {&a, &b, &c, &d, &g});
  TcpClient e = enter_from("127.0.2.6", 5, 5);
  pass_time(10, {&a, &b, &c, &d, &e, &g});
  TcpClient f = enter_from("127.0.2.7", 6, 6);
  std::vector<TcpClient*> alive = {&a, &b, &c, &d, &e, &f, &g};
  pass_time(180, alive);  // t = 200
  c.send(w::chat(1, "hi"));
  expect_bytes(c, w::chat(1, "hi"));
  pass_time(50, alive);                     // t = 250
  g.send(w::direct(0, 5));                  // to a room it is not in: sent, all the same
  pass_time(68, alive);                     // t = 318
  TcpClient h = connect_from("127.0.0.9");  // never logs in
  pass_time(1, alive);
  clock.advance_ms(500);  // t = 319.5: h is 1.5 s old; every lurker is due
  settle();

  TcpClient n0 = connect_from("127.0.3.1");
  expect_closed_silently(h);
  n0.send(w::enter(10, "n0", 10));
  expect_bytes(n0, w::list_end() + w::group_count(1));
  TcpClient n1 = enter_from("127.0.3.2", 11, 11);
  expect_closed_silently(e);  // 127.0.2.0/24 holds two slots
  TcpClient n2 = enter_from("127.0.3.3", 12, 12);
  expect_closed_silently(d);  // both /24s hold one now: d has lurked longest
  TcpClient n3 = enter_from("127.0.3.4", 13, 13);
  expect_closed_silently(f);  // due after 150 s as one of two, and due still
  // Left: two room members, two clients active within L_LURK, newcomers.
  TcpClient n4 = connect_from("127.0.3.5");
  expect_refused(n4);
  clock.advance_ms(1000);
  settle();
  TcpClient n5 = connect_from("127.0.3.6");
  expect_refused(n5);

  for (TcpClient* s : {&a, &b, &c, &g, &n0, &n1, &n2, &n3}) expect_served(*s);
  EXPECT_EQ(4, drops(lobby::kDropDisplaced));
  EXPECT_EQ(2, refusals(lobby::kRefusedFull));
  EXPECT_EQ(1u, logged("drop slot 5 user 5: displaced (drops: "));
  EXPECT_EQ(1u, logged("drop slot 3 user 4: displaced (drops: "));
  lobby::AutoBanRecord bans[4];
  ASSERT_EQ(1, lobby().auto_ban_table.list(clock.now_ms(), bans, 4));
  char text[net::kIpPrefixTextBytes];
  bans[0].prefix.format(text);
  EXPECT_STREQ("127.0.0.9", text);
  EXPECT_EQ(0, lobby().deny_list.entry_count());
}

// Three addresses on three /24s each log in 8 clients that only keep alive,
// beside 7 players in a room and a lone idle client of another address:
// every slot taken. A lurker of an address with k lurkers is due after
// L_LURK / k, 37.5 s here, and stays due as its crowd thins: no newcomer
// gets in at 37 s, and from 38 s on each one takes a lurker's slot. No
// player, nor the lone client (due only after the whole L_LURK), gives way.
TEST_F(AdmissionTest, ACrowdOfLurkersGivesWayByItsNumbers) {
  settings.L_LURK = 300;
  start();
  std::vector<TcpClient> players;
  for (int i = 0; i < 7; ++i) {
    players.push_back(connect_from("127.0.5." + std::to_string(1 + i)));
    players.back().send(w::enter(1 + i, "p", 50) + w::room_op(i == 0 ? -1 : 0));
    settle();
  }
  for (TcpClient& c : players) c.read_available();
  ASSERT_EQ(7, room_members(0));
  TcpClient lone = enter_from("127.0.20.1", 20, 20);
  std::vector<TcpClient> lurkers;
  for (int a = 0; a < 3; ++a) {
    for (int i = 0; i < 8; ++i) {
      const int32_t id = 100 + 8 * a + i;
      lurkers.push_back(enter_from("127.0.1" + std::to_string(a) + ".1", id, id));
    }
  }
  std::vector<TcpClient*> alive = {&lone};
  for (TcpClient& c : players) alive.push_back(&c);
  for (TcpClient& c : lurkers) alive.push_back(&c);
  pass_time(37, alive);
  TcpClient early = connect_from("127.0.30.1");
  expect_refused(early);
  clock.advance_ms(1000);
  settle();
  std::vector<TcpClient> newcomers;
  for (int i = 0; i < 24; ++i) {
    newcomers.push_back(enter_from("127.0." + std::to_string(31 + i) + ".1", 200 + i, 200 + i));
  }
  for (TcpClient& c : lurkers) EXPECT_TRUE(c.wait_closed(3000));
  TcpClient more = connect_from("127.0.60.1");
  expect_refused(more);
  for (TcpClient& c : players) EXPECT_FALSE(c.wait_closed(10));
  EXPECT_EQ(7, room_members(0));
  expect_served(lone);
  for (TcpClient& c : newcomers) expect_served(c);
  EXPECT_EQ(24, drops(lobby::kDropDisplaced));
  EXPECT_EQ(2, refusals(lobby::kRefusedFull));
}

// L_ROOMS_PER_IP 1: while a client from an address hosts a room, a create
// from another client of that address is answered 2J 0, exactly as when no
// room is free, and nothing else happens; joining is not limited, another
// address creates freely, and the host may make a new room in place of its
// own. Once the host's room is gone the address may host again.
TEST_F(AdmissionTest, AnAddressHostsOneRoomAndJoinsAnyNumber) {
  settings.L_ROOMS_PER_IP = 1;
  start();
  TcpClient x = enter_from("127.0.0.2", 1, 5);
  TcpClient y = connect_from("127.0.0.2");
  y.send(w::enter(2, "u2", 5));
  expect_bytes(y, w::list_end() + w::group_count(2));
  expect_bytes(x, w::group_count(2));
  TcpClient z = enter_from("127.0.0.3", 3, 6);

  x.send(w::room_op(-1));
  expect_bytes(x, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "u1"));
  expect_bytes(y, w::room_entry(0, 1, "u1"));
  y.send(w::room_op(-1));
  expect_bytes(y, w::room_result(0));
  expect_silent(y);
  expect_silent(x);
  z.send(w::room_op(-1));
  expect_bytes(z, w::room_made(1) + w::room_result(1) + w::room_entry(1, 1, "u3"));
  y.send(w::room_op(0));
  expect_bytes(y, w::member_count(0, 2));
  expect_bytes(x, w::member_count(0, 2));
  // The host leaves its room for a new one: still one room for the address.
  x.send(w::room_op(-1));
  expect_bytes(
      x, w::room_made(2) + w::room_result(1) + w::member_count(0, 0) + w::room_entry(2, 1, "u1"));
  expect_bytes(y, w::member_count(0, 0) + w::room_entry(2, 1, "u1"));
  x.send(w::room_op(-2));
  expect_bytes(x, w::room_result(0) + w::member_count(2, 0));
  expect_bytes(y, w::member_count(2, 0));
  y.send(w::room_op(-1));
  expect_bytes(
      y, w::room_made(0) + w::room_result(1) + w::member_count(0, 0) + w::room_entry(0, 1, "u2"));
  expect_bytes(x, w::member_count(0, 0) + w::room_entry(0, 1, "u2"));
  expect_silent(z);
  EXPECT_EQ(0, lobby().drops[lobby::kDropBadFraming].load());
}

// L_AUTOBAN 3: an address dropped three times within 10 minutes for what
// attackers do is banned for L_AUTOBAN_S in the lobby's own table, never in
// the operator's deny file. Its connections without a login close; a
// player of the address in good standing (logged in, and a whole message
// within the last minute or a seat in a room) stays, and its lines keep
// arriving; one that has been silent longer goes. The address is denied
// until the ban's time is up or an unban lifts it. Strikes older than 10
// minutes and refusals never count. No deny file is needed.
TEST_F(AdmissionTest, AnAddressDroppedOftenIsBannedForAWhileAndItsGoodPlayersStay) {
  testing_support::TempDir dir;
  ASSERT_TRUE(dir.write_file("deny.txt", "; the operator's own\n203.0.113.0/24\n"));
  const std::string path = dir.file("deny.txt");
  std::snprintf(settings.L_DENY, sizeof settings.L_DENY, "%s", path.c_str());
  settings.L_AUTOBAN = 3;
  settings.L_AUTOBAN_S = 600;
  settings.L_LOGIN_WAIT = 5;
  settings.L_PER_IP = 6;
  start();
  // A strike, then more than 10 minutes of quiet: it no longer counts.
  TcpClient old_strike = connect_from("127.0.0.2");
  old_strike.send("XX");
  expect_closed_silently(old_strike);
  clock.advance_ms(600001);
  settle();
  // Refusals of 127.0.0.3 at its per-address limit: never a strike.
  std::vector<TcpClient> full_house;
  for (int i = 0; i < 6; ++i) full_house.push_back(enter_from("127.0.0.3", 31 + i, 31 + i));
  for (int i = 0; i < 5; ++i) {
    TcpClient refused = connect_from("127.0.0.3");
    expect_refused(refused);
  }
  // Players of 127.0.0.2: one that will chat, one in a room, one that has
  // only logged in (every logged-in client has sent a whole message within
  // the idle limit, or it would be gone).
  TcpClient chatter = enter_from("127.0.0.2", 1, 7);
  TcpClient seated = enter_from("127.0.0.2", 2, 8);
  seated.send(w::room_op(-1));
  expect_bytes(seated, w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "u2"));
  TcpClient quiet = enter_from("127.0.0.2", 3, 9);
  TcpClient listener = connect_from("127.0.0.4");
  listener.send(w::enter(4, "u4", 7));
  expect_bytes(listener, w::list_end() + w::group_count(2));
  expect_bytes(chatter, w::group_count(2));
  // Two bad framings: two strikes.
  for (int i = 0; i < 2; ++i) {
    TcpClient garbage = connect_from("127.0.0.2");
    garbage.send("2Z");
    expect_closed_silently(garbage);
  }
  chatter.send(w::chat(1, "still here"));
  expect_bytes(listener, w::chat(1, "still here"));
  expect_bytes(chatter, w::chat(1, "still here"));
  // A connection that never logs in: the third strike within 10 minutes.
  TcpClient silent = connect_from("127.0.0.2");
  const int64_t before_s = std::time(nullptr);
  clock.advance_ms(5000);
  settle();
  expect_closed_silently(silent);
  settle();
  TcpClient denied = connect_from("127.0.0.2");
  expect_closed_silently(denied);
  // The players in good standing play on.
  chatter.send(w::chat(2, "and now"));
  expect_bytes(listener, w::chat(2, "and now"));
  expect_bytes(chatter, w::chat(2, "and now"));
  expect_served(seated);
  expect_served(quiet);

  // The operator's file is left as it was; the ban is the table's.
  std::string text;
  ASSERT_TRUE(dir.read_file("deny.txt", &text));
  EXPECT_EQ("; the operator's own\n203.0.113.0/24\n", text);
  lobby::AutoBanRecord bans[2];
  ASSERT_EQ(1, lobby().auto_ban_table.list(clock.now_ms(), bans, 2));
  char until[config::kUntilTextBytes];
  config::format_until(bans[0].until_utc_s, until);
  EXPECT_GE(bans[0].until_utc_s, before_s + 600);
  EXPECT_LE(bans[0].until_utc_s, std::time(nullptr) + 600);
  // The silent connection's strike comes before its close, so the ban's
  // sweep may find it still open (and count it closed) or gone.
  const std::string line = std::string("automatic ban 127.0.0.2 until ") + until +
                           ": dropped 3 times in 10 minutes (bad framing 2, no login 1); ";
  const std::string kept = " connections closed; 3 logged in and in good standing kept";
  EXPECT_EQ(1u, logged(line + "0" + kept) + logged(line + "1" + kept));
  EXPECT_EQ(0, drops(lobby::kDropBanned));
  EXPECT_EQ(1, refusals(lobby::kRefusedDenied));
  for (TcpClient& c : full_house) expect_served(c);
  EXPECT_FALSE(lobby().auto_ban_table.bans(net::IpAddress::from_v4(0x7f000003), clock.now_ms()));
  // The admin channel's list shows both, the automatic one marked.
  const std::string listed = admin::bans_reply(nullptr, nullptr, 0, bans, 1);
  const std::string head = std::string("{\"bans\":[{\"address\":\"127.0.0.2\",\"expires\":\"") +
                           until + "\",\"by\":\"auto\",\"since\":\"";
  EXPECT_EQ(head, listed.substr(0, head.size())) << listed;
  EXPECT_NE(
      std::string::npos,
      listed.find("\"reason\":\"dropped 3 times in 10 minutes (bad framing 2, no login 1)\"}]}"))
      << listed;

  // Lifted as the operator's unban lifts any ban; strikes start afresh.
  ASSERT_TRUE(
      lobby().auto_ban_table.remove(net::IpPrefix::of(net::IpAddress::from_v4(0x7f000002), 32)));
  TcpClient back = enter_from("127.0.0.2", 5, 5);
  TcpClient garbage = connect_from("127.0.0.2");
  garbage.send("2Z");
  expect_closed_silently(garbage);
  settle();
  expect_served(back);
  EXPECT_EQ(0, lobby().auto_ban_table.count());

  // Its time up, a ban denies nothing: 600 s on the server's clock.
  for (int i = 0; i < 2; ++i) {
    TcpClient again = connect_from("127.0.0.2");
    again.send("2Z");
    expect_closed_silently(again);
  }
  settle();
  EXPECT_EQ(1, lobby().auto_ban_table.count());
  TcpClient refused_again = connect_from("127.0.0.2");
  expect_closed_silently(refused_again);
  clock.advance_ms(600000);
  settle();
  TcpClient after = connect_from("127.0.0.2");
  after.send(w::enter(6, "u6", 6));
  expect_bytes(after, w::list_end() + w::group_count(1));
}

}  // namespace

// An address whose lurker gave way cannot take another lurker's slot for
// L_LURK: a lurker that comes straight back finds the lobby full instead of
// trading a lurker that has waited long enough for a fresh one. Newcomers
// from elsewhere still displace the ones left.
TEST_F(AdmissionTest, AnAddressThatLostALurkerDisplacesNoneForALurkTime) {
  settings.ROOM = 1;  // 8 slots
  settings.L_LURK = 30;
  start();
  std::vector<TcpClient> lurkers;
  for (int i = 0; i < 8; ++i) {
    lurkers.push_back(enter_from(i < 4 ? "127.0.1.1" : "127.0.2.1", i + 1, i + 1));
    clock.advance_ms(100);  // the first ones have lurked longest
  }
  std::vector<TcpClient*> alive;
  for (TcpClient& c : lurkers) alive.push_back(&c);
  pass_time(31, alive);

  TcpClient n1 = enter_from("127.0.3.1", 20, 20);
  expect_closed_silently(lurkers[0]);  // both /24s hold four: the longest lurking
  TcpClient back = connect_from("127.0.1.1");
  expect_refused(back);
  TcpClient n2 = enter_from("127.0.4.1", 21, 21);
  expect_closed_silently(lurkers[4]);  // 127.0.2.0/24 now holds more
  alive = {&lurkers[1], &lurkers[2], &lurkers[3], &lurkers[5], &lurkers[6], &lurkers[7], &n1, &n2};
  pass_time(30, alive);
  // A lurk time later the address may displace again (the /24s hold three
  // each: the longest lurking goes).
  TcpClient later = enter_from("127.0.1.1", 30, 30);
  expect_closed_silently(lurkers[1]);
  EXPECT_EQ(3, drops(lobby::kDropDisplaced));
  EXPECT_EQ(1, refusals(lobby::kRefusedFull));
  expect_served(later);
}

// IPv6 clients, as a proxy will report them, put straight to the lobby's
// Admission over socket pairs (the game port itself is IPv4 only): each is
// counted by its /64 for the per-address limits and the pace of new
// connections, by its /48 for the per-network limit, never as an IPv4
// address whose bits it shares; the deny list and an automatic ban cover
// its prefix, and the log and the snapshot show it in the standard form.
class AdmissionByAddressTest : public ::testing::Test {
 protected:
  AdmissionByAddressTest() {
    config::turn_off_protections(&settings_);
    settings_.L_PER_IP = 2;
    settings_.L_PER_NET = 3;
    settings_.L_CONN_RATE = 3;
    settings_.L_AUTOBAN = 2;
    std::snprintf(settings_.L_DENY, sizeof settings_.L_DENY, "%s", dir_.file("deny.txt").c_str());
    EXPECT_TRUE(dir_.write_file("deny.txt", "2001:db8:bad::/48\n"));
    lobby_ = std::make_unique<lobby::Lobby>(settings_, &events_);
    lobby_->deny_list.reload_if_changed();
    admission_ = std::make_unique<lobby::Admission>(*lobby_, clock_);
  }
  ~AdmissionByAddressTest() override {
    for (lobby::ClientSlot& client : lobby_->slots) {
      if (client.is_open()) client.close();
    }
    for (int fd : clients_) ::close(fd);
  }

  // A connection from `text`; the client's end of it.
  int arrive(const char* text) {
    net::IpAddress address;
    EXPECT_EQ(0, net::parse_ip_address(text, &address)) << text;
    int fds[2];
    EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    clients_.push_back(fds[1]);
    admission_->place_or_refuse(fds[0], address, 40000);
    clock_.advance_ms(1);
    return fds[1];
  }
  // What the client's end holds: the bytes sent, then "|closed" once the
  // lobby closed its end; "" while it is open and silent.
  static std::string seen(int fd) {
    std::string bytes;
    char buffer[16];
    for (;;) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        bytes.append(buffer, static_cast<size_t>(n));
        continue;
      }
      return n == 0 ? bytes + "|closed" : bytes;
    }
  }

  testing_support::TempDir dir_;
  config::Settings settings_;
  testing_support::ManualClock clock_;
  testing_support::RecordedEvents events_;
  std::unique_ptr<lobby::Lobby> lobby_;
  std::unique_ptr<lobby::Admission> admission_;
  std::vector<int> clients_;
};

TEST_F(AdmissionByAddressTest, AnIPv6ClientCountsByItsSlash64AndSlash48) {
  const std::string full = w::full() + "|closed";
  EXPECT_EQ("", seen(arrive("2001:db8:1:1::1")));
  EXPECT_EQ("", seen(arrive("2001:db8:1:1::2")));
  EXPECT_EQ(full, seen(arrive("2001:db8:1:1:ffff::3")));  // the /64 holds 2
  EXPECT_EQ("|closed", seen(arrive("2001:db8:1:1::4")));  // its 4th in a minute
  EXPECT_EQ("", seen(arrive("2001:db8:1:2::1")));         // the /48's 3rd
  EXPECT_EQ(full, seen(arrive("2001:db8:1:3::1")));
  EXPECT_EQ("", seen(arrive("2001:db8:2::1")));
  EXPECT_EQ("|closed", seen(arrive("2001:db8:bad:1::1")));  // denied
  // An IPv4 address and the IPv6 addresses that spell its bits are apart.
  EXPECT_EQ("", seen(arrive("127.0.0.1")));
  EXPECT_EQ("", seen(arrive("::ffff:127.0.0.1")));  // the same IPv4 client
  EXPECT_EQ("", seen(arrive("::7f00:1")));
  EXPECT_EQ(full, seen(arrive("127.0.0.1")));
  EXPECT_EQ(2, lobby_->refusals[lobby::kRefusedPerAddress].load());
  EXPECT_EQ(1, lobby_->refusals[lobby::kRefusedPerNetwork].load());
  EXPECT_EQ(1, lobby_->refusals[lobby::kRefusedTooFast].load());
  EXPECT_EQ(1, lobby_->refusals[lobby::kRefusedDenied].load());
  // A connection placed has no line until it logs in.
  EXPECT_EQ(std::vector<std::string>{}, events_.starting("accepted"));
  EXPECT_EQ((std::vector<std::string>{"refused 2001:db8:1:1:ffff::3: per-address limit",
                                      "refused 2001:db8:1:1::4: connecting too fast",
                                      "refused 2001:db8:1:3::1: per-network limit",
                                      "refused 2001:db8:bad:1::1: denied",
                                      "refused 127.0.0.1: per-address limit"}),
            events_.starting("refused"));
  lobby::LobbySnapshot snapshot;
  lobby::take_snapshot(*lobby_, clock_.now_ms(), &snapshot);
  EXPECT_EQ("[2001:db8:1:1::1]:40000", admin::address_text(snapshot.slots[0].addr, 40000));
  EXPECT_EQ("127.0.0.1:40000", admin::address_text(snapshot.slots[4].addr, 40000));

  // Two strikes from one /64 ban the /64: its open connections are asked
  // to go, and a newcomer from it is denied.
  lobby_->auto_bans.strike(lobby_->slots[0].peer_address.load(), lobby::kDropNoLogin, 2, 10);
  lobby_->auto_bans.strike(lobby_->slots[1].peer_address.load(), lobby::kDropNoLogin, 2, 20);
  EXPECT_EQ("|closed", seen(arrive("2001:db8:1:1:abcd::9")));
  EXPECT_EQ(2, lobby_->refusals[lobby::kRefusedDenied].load());
  EXPECT_TRUE(lobby_->slots[0].drop_request.pending());
  EXPECT_TRUE(lobby_->slots[1].drop_request.pending());
  EXPECT_FALSE(lobby_->slots[2].drop_request.pending());
  const std::vector<std::string> bans = events_.starting("automatic ban 2001:db8:1:1::/64 until ");
  ASSERT_EQ(1u, bans.size());
  EXPECT_NE(std::string::npos,
            bans[0].find(": dropped 2 times in 10 minutes (no login 2); 2 connections closed"))
      << bans[0];
  lobby::AutoBanRecord ban;
  ASSERT_EQ(1, lobby_->auto_ban_table.list(clock_.now_ms(), &ban, 1));
  char text[net::kIpPrefixTextBytes];
  ban.prefix.format(text);
  EXPECT_STREQ("2001:db8:1:1::/64", text);
  std::string file;
  ASSERT_TRUE(dir_.read_file("deny.txt", &file));
  EXPECT_EQ("2001:db8:bad::/48\n", file);
}
