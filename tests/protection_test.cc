// The protections of a lobby open to anyone, each over real TCP with the
// server's clock driven by hand: the login deadline, silent connections
// giving way when every slot is taken, the per-address limit, the deny
// list and flood pacing. Each test turns on only what it tests and checks
// who is closed, what bytes they got, and that the honest clients lost
// nothing.
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "lobby/dispatcher.h"
#include "tests/support/child_process.h"
#include "tests/support/door_fixture.h"
#include "tests/support/message_reader.h"

namespace {

using testing_support::TcpClient;
namespace w = test_wire;

using ProtectionTest = testing_support::DoorTest;

TEST_F(ProtectionTest, ConnectionsWithoutAnAcceptedLoginAreDroppedAtTheDeadline) {
  settings.L_LOGIN_WAIT = 5;
  start();
  TcpClient silent = connect_client();
  TcpClient refused = connect_client();
  refused.send(w::name(2, "r") + w::validation(0) + w::login(2, 9, 8, 8));
  // Refused, it still counts in its group, as before.
  expect_bytes(refused, w::refused() + w::group_count(1));
  TcpClient partial = connect_client();
  partial.send(w::name(3, "p").substr(0, 9));
  TcpClient honest = connect_client();
  log_in(honest, 4, 5);
  // A refused login after an accepted one does not take the login back.
  honest.send(w::validation(0) + w::login(4, 5, 8, 8));
  expect_bytes(honest, w::refused() + w::group_count(1));
  tick_seconds(3);
  // Logged in after three seconds of its five: in time.
  TcpClient late = connect_client();
  tick_seconds(1);
  log_in(late, 5, 6);
  settle();
  EXPECT_EQ(0, drops(lobby::kDropNoLogin));

  tick_seconds(1);
  expect_closed_silently(silent);
  expect_closed_silently(refused);
  expect_closed_silently(partial);
  EXPECT_EQ(3, drops(lobby::kDropNoLogin));
  tick_seconds(10);
  expect_served(honest);
  expect_served(late);
  EXPECT_EQ(3, drops(lobby::kDropNoLogin));
  EXPECT_EQ(1u, logged("drop slot 0 user -1: no login (drops: "));
}

TEST_F(ProtectionTest, WhenFullASilentConnectionOpenOneSecondGivesWayToANewcomer) {
  settings.ROOM = 1;  // 8 slots
  settings.L_LOGIN_WAIT = 30;
  start();
  std::vector<TcpClient> members;
  for (int i = 0; i < 6; ++i) {
    members.push_back(connect_client());
    log_in(members.back(), 10 + i, 10 + i);
  }
  TcpClient older = connect_client();  // slot 6, placed at 0 ms
  clock.advance_ms(500);
  TcpClient newer = connect_client();  // slot 7, placed at 500 ms
  clock.advance_ms(250);
  // Nobody has been silent for a second yet.
  TcpClient early = connect_client();
  expect_refused(early);

  clock.advance_ms(500);
  TcpClient first = connect_client();
  expect_closed_silently(older);
  first.send(w::enter(20, "first", 20));
  expect_bytes(first, w::list_end() + w::group_count(1));
  EXPECT_TRUE(lobby().slots[6].login_accepted.load());
  // The newer silent one has 0.75 s: not yet.
  TcpClient second = connect_client();
  expect_refused(second);

  clock.advance_ms(500);
  TcpClient third = connect_client();
  expect_closed_silently(newer);
  log_in(third, 21, 21);
  // Every slot holds a logged-in client: nobody gives way.
  clock.advance_ms(5000);
  TcpClient fourth = connect_client();
  expect_refused(fourth);

  for (TcpClient& m : members) expect_served(m);
  EXPECT_EQ(2, drops(lobby::kDropDisplaced));
  EXPECT_EQ(3, refusals(lobby::kRefusedFull));
  EXPECT_EQ(1u, logged("drop slot 6 user -1: displaced (drops: "));
  EXPECT_EQ(1u, logged("drop slot 7 user -1: displaced (drops: "));
}

TEST_F(ProtectionTest, AnAddressAtItsLimitIsRefusedAndOthersAreNot) {
  settings.L_PER_IP = 2;
  start();
  TcpClient a = connect_from("127.0.0.2");
  log_in(a, 1, 1);
  TcpClient b = connect_from("127.0.0.2");
  log_in(b, 2, 2);
  TcpClient c = connect_from("127.0.0.2");
  expect_refused(c);
  TcpClient d = connect_from("127.0.0.3");
  log_in(d, 4, 4);
  // A slot given back makes room for the address again.
  a.close();
  settle();
  TcpClient e = connect_from("127.0.0.2");
  log_in(e, 5, 5);
  expect_served(b);
  expect_served(d);
  EXPECT_EQ(1, refusals(lobby::kRefusedPerAddress));
  EXPECT_EQ(0, refusals(lobby::kRefusedFull));
  EXPECT_EQ(1u, logged("refused 127.0.0.2: per-address limit"));
}

TEST_F(ProtectionTest, DeniedAddressesAreClosedAtOnceAndTheFileIsReadAgainWhenItChanges) {
  testing_support::TempDir dir;
  ASSERT_TRUE(dir.write_file("deny.txt",
                             "; blocked\n127.0.0.5\n  10.0.0.0/8 ; a whole network\nbogus line\n"
                             "127.0.0.64/26\n127.0.0.300\n"));
  const std::string path = dir.file("deny.txt");
  std::snprintf(settings.L_DENY, sizeof settings.L_DENY, "%s", path.c_str());
  start();
  TcpClient listed = connect_from("127.0.0.5");
  expect_closed_silently(listed);
  TcpClient in_prefix = connect_from("127.0.0.70");
  expect_closed_silently(in_prefix);
  TcpClient other = connect_from("127.0.0.6");
  log_in(other, 6, 6);
  EXPECT_EQ(2, refusals(lobby::kRefusedDenied));
  EXPECT_EQ(1u, logged("deny list " + path + " line 4 ignored: bogus line"));
  EXPECT_EQ(1u, logged("deny list " + path + " line 6 ignored: 127.0.0.300"));
  EXPECT_EQ(1u, logged("deny list " + path + ": 3 entries"));
  EXPECT_EQ(1u, logged("refused 127.0.0.5: denied"));

  // The next second's look at the file finds the change. A connection
  // already open is not cut. A byte order mark does not hide line 1, and a
  // bad line noted before is not noted again.
  ASSERT_TRUE(dir.write_file("deny.txt",
                             "\xEF\xBB\xBF"
                             "127.0.0.6\n\n\nbogus line\n"));
  tick_seconds(1);
  settle();
  TcpClient now_listed = connect_from("127.0.0.6");
  expect_closed_silently(now_listed);
  TcpClient now_free = connect_from("127.0.0.5");
  log_in(now_free, 5, 5);
  expect_served(other);
  EXPECT_EQ(3, refusals(lobby::kRefusedDenied));
  EXPECT_EQ(1u, logged("deny list " + path + ": 1 entries"));
  EXPECT_EQ(1u, logged("deny list " + path + " line 4 ignored: bogus line"));
}

// The chat lines one reader got: the flooder's by number (its lines carry
// their index as value) and the honest member's in the order they came.
struct ReaderLines {
  std::vector<int32_t> flood;
  std::vector<int32_t> honest;
};

constexpr int32_t kHonestBase = 100000;

// Reads chat lines until the reader holds `flood` of the flooder's and
// `honest` of the honest member's (other messages are passed over).
void read_lines(TcpClient& c, size_t flood, size_t honest, ReaderLines* got) {
  while (got->flood.size() < flood || got->honest.size() < honest) {
    const std::string m = testing_support::next_message(c, 3000);
    ASSERT_FALSE(m.empty()) << "flood " << got->flood.size() << ", honest " << got->honest.size();
    if (m[1] != 'C') continue;
    const int32_t value =
        static_cast<int32_t>(static_cast<uint8_t>(m[2]) | static_cast<uint8_t>(m[3]) << 8 |
                             static_cast<uint8_t>(m[4]) << 16);
    (value >= kHonestBase ? got->honest : got->flood).push_back(value);
  }
}

TEST_F(ProtectionTest, AFlooderIsPacedAndDroppedWhileOthersLoseNothing) {
  settings.L_FLOOD_RATE = 25;
  settings.L_FLOOD_BURST = 50;
  start();
  TcpClient flooder = enter(1, "flood", 5);
  TcpClient honest = enter(2, "honest", 5);
  TcpClient reader1 = enter(3, "r1", 5);
  TcpClient reader2 = enter(4, "r2", 5);
  settle();
  for (TcpClient* c : {&flooder, &honest, &reader1, &reader2}) c->read_available();

  // As fast as TCP takes it: 1000 lines in one write.
  std::string flood;
  for (int i = 0; i < 1000; ++i) flood += w::chat(i, "f");
  ASSERT_TRUE(flooder.send(flood));
  settle();
  std::string lines;
  for (int i = 0; i < 5; ++i) lines += w::chat(kHonestBase + i, "honest");
  ASSERT_TRUE(honest.send(lines));

  // The burst less the three login messages; then 25 a second of clock
  // time. The honest lines all arrive at once, with no clock time passing.
  TcpClient* readers[] = {&honest, &reader1, &reader2};
  ReaderLines got[3];
  for (int second = 0; second <= 10; ++second) {
    SCOPED_TRACE(second);
    if (second > 0) tick_seconds(1);
    const size_t flood_due = 47 + 25 * static_cast<size_t>(second);
    for (int r = 0; r < 3; ++r) {
      ASSERT_NO_FATAL_FAILURE(read_lines(*readers[r], flood_due, 5, &got[r]));
    }
    settle();
    for (int r = 0; r < 3; ++r) {
      // The flooder's drop, in the last second, tells the others their
      // group is smaller, after its last lines.
      const std::string rest = readers[r]->read_available();
      if (second < 10 || !rest.empty()) {
        EXPECT_EQ(w::hex(second < 10 ? "" : w::group_count(3)), w::hex(rest)) << "reader " << r;
      }
      ASSERT_EQ(flood_due, got[r].flood.size()) << "reader " << r;
    }
    if (second < 10) {
      EXPECT_EQ(0, drops(lobby::kDropFlooding));
    }
  }
  for (int r = 0; r < 3; ++r) {
    for (size_t i = 0; i < got[r].flood.size(); ++i) {
      ASSERT_EQ(static_cast<int32_t>(i), got[r].flood[i]) << "reader " << r;
    }
    EXPECT_EQ((std::vector<int32_t>{kHonestBase, kHonestBase + 1, kHonestBase + 2, kHonestBase + 3,
                                    kHonestBase + 4}),
              got[r].honest)
        << "reader " << r;
  }
  // Held back for ten seconds without a break.
  EXPECT_TRUE(flooder.wait_closed(3000));
  EXPECT_EQ(1, drops(lobby::kDropFlooding));
  expect_served(reader1);
}

// A client that waits for each answer before it sends again is slowed to
// the pace, but has a break after every answer: never dropped as flooding.
TEST_F(ProtectionTest, AClientThatWaitsForEachAnswerIsSlowedButNeverDropped) {
  settings.L_FLOOD_RATE = 25;
  settings.L_FLOOD_BURST = 50;
  start();
  TcpClient c = enter(1, "eager", 5);
  expect_bytes(c, w::list_end() + w::group_count(1));
  // 47 answers at once, then one each 40 ms of clock time: 12 s in all.
  for (int i = 0; i < 347; ++i) {
    ASSERT_TRUE(c.send(w::room_op(3)));
    if (i >= 47) clock.advance_ms(40);
    ASSERT_EQ(w::hex(w::status(21)), w::hex(c.read_exact(6))) << "request " << i;
  }
  EXPECT_EQ(12, clock.now_ms() / 1000);
  EXPECT_EQ(0, drops(lobby::kDropFlooding));
  clock.advance_ms(40);
  expect_served(c);
}

// A burst of connections, as from a crowd of clones, finds room in the
// listen queue: none waits for the kernel to retry its handshake a second
// later, so honest clients arriving with a crowd are served at once.
TEST_F(ProtectionTest, ABurstOfConnectionsIsServedWithoutWaitingForRetries) {
  start();
  // Connected and answered within half the kernel's first retry time.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  std::vector<TcpClient> burst(24);
  for (TcpClient& c : burst) ASSERT_TRUE(c.connect_to(port));
  for (size_t i = 0; i < burst.size(); ++i) {
    burst[i].send(w::enter(static_cast<int32_t>(i) + 1, "b", static_cast<int32_t>(i) + 1));
  }
  for (size_t i = 0; i < burst.size(); ++i) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int wait_ms = left.count() > 1 ? static_cast<int>(left.count()) : 1;
    EXPECT_EQ(w::hex(w::list_end() + w::group_count(1)), w::hex(burst[i].read_exact(8, wait_ms)))
        << "client " << i;
  }
}

// The values of the chat lines in `bytes`, and in `*others` the letters of
// every other message, in order.
std::vector<int32_t> chat_values(const std::string& bytes, std::string* others = nullptr) {
  std::vector<int32_t> values;
  std::string rest = bytes;
  for (;;) {
    const int length = testing_support::lobby_message_length(rest);
    if (length <= 0 || rest.size() < static_cast<size_t>(length)) break;
    if (rest[1] == 'C') {
      values.push_back(
          static_cast<int32_t>(static_cast<uint8_t>(rest[2]) | static_cast<uint8_t>(rest[3]) << 8));
    } else if (others != nullptr) {
      *others += rest[1];
    }
    rest.erase(0, static_cast<size_t>(length));
  }
  EXPECT_EQ("", w::hex(rest));
  return values;
}

std::vector<int32_t> range(int32_t from, int32_t to) {
  std::vector<int32_t> v;
  for (int32_t i = from; i < to; ++i) v.push_back(i);
  return v;
}

// L_CHAT_RATE 2 and L_CHAT_BURST 10 per address. Two connections from
// 127.0.0.2 share its bucket; 127.0.0.3 has its own. The lines past the
// burst wait, unread, and follow at two a second of clock time, in order;
// what the held client sent after its lines waits behind them, while the
// other connection of its address is answered at once for anything but a
// chat line. Held for 14 s, with flood pacing on, nobody is dropped.
TEST_F(ProtectionTest, ChatLinesArePacedPerAddressAndHeldLinesArriveInOrder) {
  settings.L_CHAT_RATE = 2;
  settings.L_CHAT_BURST = 10;
  settings.L_FLOOD_RATE = 25;
  settings.L_FLOOD_BURST = 50;
  start();
  TcpClient first = connect_from("127.0.0.2");
  TcpClient second = connect_from("127.0.0.2");
  TcpClient other = connect_from("127.0.0.3");
  TcpClient watcher = connect_from("127.0.0.4");
  int32_t id = 1;
  for (TcpClient* c : {&first, &second, &other, &watcher}) c->send(w::enter(id++, "u", 5));
  settle();
  for (TcpClient* c : {&first, &second, &other, &watcher}) c->read_available();

  first.send(w::chat(0, "a") + w::chat(1, "a") + w::chat(2, "a") + w::chat(3, "a") +
             w::chat(4, "a") + w::chat(5, "a") + w::chat(6, "a") + w::chat(7, "a"));
  settle();
  std::string lines;
  for (int i = 100; i < 130; ++i) lines += w::chat(i, "b");
  second.send(lines + w::room_op(7));
  settle();
  lines.clear();
  for (int i = 200; i < 208; ++i) lines += w::chat(i, "c");
  other.send(lines);
  settle();
  // The first connection's address has no chat token left; its room
  // operation is answered at once all the same.
  first.send(w::room_op(7));
  settle();

  std::vector<int32_t> expected = range(0, 8);
  for (int32_t v : {100, 101}) expected.push_back(v);
  for (int32_t v : range(200, 208)) expected.push_back(v);
  EXPECT_EQ(expected, chat_values(watcher.read_available()));
  std::string letters;
  chat_values(first.read_available(), &letters);
  EXPECT_EQ("S", letters);
  for (int second_of_clock = 1; second_of_clock <= 14; ++second_of_clock) {
    SCOPED_TRACE(second_of_clock);
    tick_seconds(1);
    const int32_t from = 100 + 2 * second_of_clock;
    EXPECT_EQ(range(from, from + 2), chat_values(watcher.read_available()));
    letters.clear();
    chat_values(second.read_available(), &letters);
    // The room operation sent after the last line is answered after it.
    EXPECT_EQ(second_of_clock == 14 ? "S" : "", letters);
  }
  tick_seconds(2);
  EXPECT_EQ("", w::hex(watcher.read_available()));
  for (int reason = 0; reason < lobby::kDropReasons; ++reason) EXPECT_EQ(0, drops(reason));
  expect_served(second);
}

}  // namespace

// How a connection ended, as its peer saw it within 3 s: "reset", "closed"
// (an orderly end, after whatever was sent) or "open".
std::string end_seen(TcpClient& c) {
  pollfd entry = {c.fd(), POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::poll(&entry, 1, 50) <= 0) continue;
    char buffer[512];
    const ssize_t n = ::recv(c.fd(), buffer, sizeof buffer, 0);
    if (n == 0) return "closed";
    if (n < 0) return errno == ECONNRESET ? "reset" : "error";
  }
  return "open";
}

// With L_SEND_BUFFER each client socket's kernel send buffer has that size
// less what one more write may add (Linux keeps twice what it is given, for
// its own bookkeeping), and a
// client dropped for its own fault (bad framing, a ban) is reset: whatever
// the kernel held for it goes at once. A drop that is no client's fault (a
// kick, idleness) ends in order, and so does every drop with the key at 0.
TEST_F(ProtectionTest, ClientsDroppedForTheirOwnFaultAreResetAndTheOthersClosed) {
  settings.L_SEND_BUFFER = 65536;
  start();
  TcpClient framing = enter_from("127.0.0.1", 1, 1);
  int bytes = 0;
  socklen_t size = sizeof bytes;
  ASSERT_EQ(0, ::getsockopt(lobby().slots[0].socket_fd(), SOL_SOCKET, SO_SNDBUF, &bytes, &size));
  EXPECT_EQ(2 * (65536 - lobby::kSendBufferSlack), bytes);
  TcpClient kicked = enter_from("127.0.0.1", 2, 2);
  TcpClient banned = enter_from("127.0.0.1", 3, 3);
  TcpClient idle = enter_from("127.0.0.1", 4, 4);
  framing.send("2Z");
  EXPECT_EQ("reset", end_seen(framing));
  lobby::request_drop(lobby(), 1, lobby().slots[1].drop_request.serial(), lobby::kDropKicked);
  EXPECT_EQ("closed", end_seen(kicked));
  lobby::request_drop(lobby(), 2, lobby().slots[2].drop_request.serial(), lobby::kDropBanned);
  EXPECT_EQ("reset", end_seen(banned));
  tick_seconds(62);
  EXPECT_EQ("closed", end_seen(idle));
  // Off after a reload: the next drop closes as ever.
  config::Settings off = lobby().live.current();
  off.L_SEND_BUFFER = 0;
  lobby().live.publish(off);
  TcpClient framing_off = enter_from("127.0.0.1", 5, 5);
  framing_off.send("2Z");
  EXPECT_EQ("closed", end_seen(framing_off));
  EXPECT_EQ(2, drops(lobby::kDropBadFraming));
  EXPECT_EQ(1, drops(lobby::kDropIdle));
}

// A client that closes while its address's chat pace holds its lines is gone
// at its next turn: the lines it was not yet allowed to say go with it, and
// its slot is free at once, not after the pace let every line through.
TEST_F(ProtectionTest, AClientThatClosesWhileItsLinesAreHeldLeavesAtItsNextTurn) {
  settings.L_CHAT_RATE = 2;
  settings.L_CHAT_BURST = 10;
  start();
  TcpClient leaver = connect_from("127.0.0.2");
  TcpClient watcher = connect_from("127.0.0.4");
  leaver.send(w::enter(1, "u", 5));
  watcher.send(w::enter(2, "u", 5));
  settle();
  leaver.read_available();
  watcher.read_available();

  std::string lines;
  for (int i = 0; i < 30; ++i) lines += w::chat(i, "a");
  leaver.send(lines);
  settle();
  EXPECT_EQ(range(0, 10), chat_values(watcher.read_available()));
  leaver.close();
  tick_seconds(1);
  EXPECT_EQ(w::hex(w::group_count(1)), w::hex(watcher.read_available()));
  EXPECT_EQ(1, drops(lobby::kDropPeerClosed));
  tick_seconds(10);
  EXPECT_EQ("", w::hex(watcher.read_available()));
  expect_served(watcher);
}
