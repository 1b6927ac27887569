// What happens within one pass, on a lobby driven in memory: no sockets, no
// threads; bytes go straight into a slot's ring and the pass's output is
// read back from its send queue.
#include "tests/harness/offline_lobby.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "lobby/after_lock.h"
#include "lobby/dispatcher.h"
#include "lobby/flood_pacing.h"
#include "lobby/handlers.h"
#include "tests/support/message_reader.h"
#include "tests/support/wire.h"
#include "wire/message_table.h"

namespace {

namespace w = test_wire;

// Keeps every event line the lobby reports, and counts the count changes.
class RecordedEvents : public lobby::LobbyEvents {
 public:
  void event(const char* line) override { lines += std::string(line) + "\n"; }
  void counts_changed() override { ++changes; }
  std::string lines;
  int changes = 0;
};

// What is said under a lock waits until the AfterLock ends (or hands it on
// itself), and then comes in the order it was said, whichever sink a line
// is for; a count change is told once; lines past the room are counted and
// their loss told.
TEST(AfterLockTest, HandsEverythingOnInOrderOnceTheLockIsLetGo) {
  RecordedEvents events;
  config::Settings settings;
  lobby::Lobby lobby(settings, &events);
  static std::string other_sink;
  other_sink.clear();
  {
    lobby::AfterLock later(lobby);
    later.event("room %d created", 1);
    later.line([](lobby::LobbyEvents*, const char* line) { other_sink += line; }, "a chat line");
    later.counts_changed();
    later.event("room %d joined", 1);
    later.counts_changed();
    EXPECT_EQ("", events.lines);
    EXPECT_EQ(0, events.changes);
    EXPECT_EQ("", other_sink);
  }
  EXPECT_EQ("room 1 created\nroom 1 joined\n", events.lines);
  EXPECT_EQ("a chat line", other_sink);
  EXPECT_EQ(1, events.changes);
  events.lines.clear();
  lobby::AfterLock later(lobby);
  for (int i = 0; i < lobby::kAfterLockLines + 2; ++i) later.event("line %d", i);
  later.hand_on();
  EXPECT_NE(std::string::npos, events.lines.find("line 7\n2 event lines lost")) << events.lines;
  events.lines.clear();
  later.hand_on();
  EXPECT_EQ("", events.lines);
}

class OfflineLobbyTest : public ::testing::Test {
 protected:
  OfflineLobbyTest() : lobby_(settings(), &events_) {}

  static config::Settings settings() {
    config::Settings s;
    s.L_PORT = 0;
    config::turn_off_protections(&s);
    return s;
  }

  // Connects, logs in and runs one pass; returns the slot.
  int enter(int32_t id, const std::string& name, int32_t key, int32_t seats = 8,
            int32_t start = 8) {
    int slot = lobby_.connect();
    EXPECT_GE(slot, 0);
    lobby_.feed(slot, w::enter(id, name, key, seats, start));
    EXPECT_TRUE(lobby_.pass(slot));
    lobby_.take_output(slot);
    return slot;
  }
  // Feeds bytes and runs one pass; returns the pass's output.
  std::string send(int slot, const std::string& bytes) {
    lobby_.feed(slot, bytes);
    lobby_.pass(slot);
    return lobby_.take_output(slot);
  }
  // Logs in, sends one room operation and runs a pass; returns the slot.
  int enter_with_room_op(int32_t id, const std::string& name, int32_t key, int32_t op) {
    const int slot = enter(id, name, key);
    send(slot, w::room_op(op));
    return slot;
  }
  std::string pass(int slot) {
    lobby_.pass(slot);
    return lobby_.take_output(slot);
  }
  // Runs passes on every slot in order until nothing more comes out.
  void quiesce() {
    for (int round = 0; round < 2100; ++round) {
      bool any = false;
      for (int s = 0; s < lobby::kSlots; ++s) {
        if (!lobby_.is_open(s)) continue;
        lobby_.pass(s);
        any = !lobby_.take_output(s).empty() || any;
      }
      if (!any) return;
    }
  }

  RecordedEvents events_;
  lobby::OfflineLobby lobby_;
};

// The wire's table of client messages and the lobby's handlers agree: every
// letter the table names has a handler and no other letter has one, and
// each handler takes exactly as many bytes as the table says its message
// has (a longer or shorter take would leave the next message cut, which
// closes the client for bad framing), for a counted message whatever its
// count says. A room operation, a chat line and a direct message end
// lurking; the other messages only keep the client from being idle.
TEST_F(OfflineLobbyTest, EveryClientMessageIsTakenWholeByItsOwnHandler) {
  int named = 0;
  for (int letter = 0; letter < 256; ++letter) {
    const wire::MessageKind* kind =
        wire::find_message(wire::Direction::kClientToLobby, static_cast<uint8_t>(letter));
    EXPECT_EQ(kind != nullptr, lobby::handler_for(static_cast<uint8_t>(letter)) != nullptr)
        << "letter " << letter;
    if (kind == nullptr) continue;
    ++named;
    for (const uint8_t count : {uint8_t{0}, uint8_t{5}}) {
      if (count != 0 && !kind->counted) continue;
      SCOPED_TRACE(std::string("2") + static_cast<char>(letter) + " count " +
                   std::to_string(count));
      const int slot = enter(1, "taker", 5);
      // Zero fields: a name, a validation, a login refused (key 0), a
      // join of room 0, a line, a direct message to seat 0.
      std::string message = std::string("2") + static_cast<char>(letter);
      message.resize(static_cast<size_t>(wire::known_after(*kind)), '\0');
      if (kind->counted) message.back() = static_cast<char>(count);
      message.resize(static_cast<size_t>(wire::whole_length(*kind, count)), 'x');
      lobby_.set_time_ms(5000);
      send(slot, message + w::keep_alive());
      ASSERT_TRUE(lobby_.is_open(slot));
      const lobby::ClientSlot& client = lobby_.lobby().slots[slot];
      EXPECT_EQ(0, client.received());
      EXPECT_EQ(5000, client.last_message_ms.load());
      const bool acts =
          letter == wire::kCmdRoom || letter == wire::kCmdChat || letter == wire::kCmdDirect;
      EXPECT_EQ(acts ? 5000 : 0, client.active_ms.load());
      lobby_.set_time_ms(0);
      lobby_.disconnect(slot);
    }
  }
  EXPECT_EQ(7, named);
}

// One pass takes every line waiting for the client, in order, so that one
// wake-up serves them all.
TEST_F(OfflineLobbyTest, TwoLinesWrittenAtOnceGoOutInOnePass) {
  int a = enter(1, "a", 5);
  int b = enter(2, "b", 5);
  quiesce();
  std::string one = w::chat(1, "one"), two = w::chat(2, "two");
  send(a, one + two);
  EXPECT_EQ(w::hex(one + two), w::hex(pass(b)));
  EXPECT_EQ("", w::hex(pass(b)));
}

TEST_F(OfflineLobbyTest, DirectMessagesGoOutInPushOrderInOnePass) {
  int host = enter(1, "h", 5);
  int b = enter(2, "b", 5);
  send(host, w::room_op(-1));
  send(b, w::room_op(0));
  quiesce();
  send(b, w::direct(0xffff, 1) + w::direct(0xffff, 2) + w::direct(0, 3));
  EXPECT_EQ(w::hex(w::direct_from(0xfffe, 1) + w::direct_from(0xfffe, 2) + w::direct_from(1, 3)),
            w::hex(pass(host)));
}

TEST_F(OfflineLobbyTest, ARoomOperationDiscardsTheSendersUndeliveredDirectMessages) {
  int host = enter(1, "h", 5);
  int b = enter(2, "b", 5);
  send(host, w::room_op(-1));
  send(b, w::room_op(0));
  quiesce();
  send(b, w::direct(0xffff, 1) + w::direct(0xffff, 2));
  // The host's own refused join empties its queue before its pump runs.
  EXPECT_EQ(w::hex(w::status(21)), w::hex(send(host, w::room_op(3))));
  EXPECT_EQ("", w::hex(pass(host)));
}

TEST_F(OfflineLobbyTest, AFullDirectQueueDropsItsOldestEntry) {
  int host = enter(1, "h", 5);
  int b = enter(2, "b", 5);
  send(host, w::room_op(-1));
  send(b, w::room_op(0));
  quiesce();
  std::string burst;
  for (int i = 0; i < 300; ++i) burst += w::direct(0xffff, i);
  // Fed in slices a receive could carry; no pass of the host in between.
  for (size_t at = 0; at < burst.size(); at += 1000) send(b, burst.substr(at, 1000));
  EXPECT_EQ(256, lobby_.lobby().users[host].direct_count.load());
  // The host drains what its send queue can take per pass; the 256 newest
  // arrive once each, in order.
  std::string got;
  for (int i = 0; i < 40; ++i) got += pass(host);
  std::string want;
  for (int i = 300 - 256; i < 300; ++i) want += w::direct_from(0xfffe, i);
  EXPECT_EQ(w::hex(want), w::hex(got));
  EXPECT_TRUE(lobby_.is_open(host));
}

// Others cannot get a client dropped by flooding it: the drain leaves the
// rest in the queue when the send queue is nearly full.
TEST_F(OfflineLobbyTest, TheDrainNeverOverfillsTheSendQueue) {
  int host = enter(1, "h", 5);
  int b = enter(2, "b", 5);
  send(host, w::room_op(-1));
  send(b, w::room_op(0));
  quiesce();
  std::string burst;
  for (int i = 0; i < 200; ++i) burst += w::direct(0xffff, i);
  for (size_t at = 0; at < burst.size(); at += 1000) send(b, burst.substr(at, 1000));
  // 100 messages already wait unsent for the host.
  lobby::ClientSlot& h = lobby_.lobby().slots[host];
  const uint8_t keep[2] = {'2', 'P'};
  for (int i = 0; i < 100; ++i) h.enqueue(keep, 2);
  lobby_.pass(host);
  EXPECT_TRUE(lobby_.is_open(host));
  EXPECT_EQ(lobby::kSendReserve, h.send_free());
  EXPECT_EQ(200 - (256 - 100 - lobby::kSendReserve),
            lobby_.lobby().users[host].direct_count.load());
}

// A client that does not read what it is sent is dropped right after the
// flush of the pass in which its queue overflowed, even when that pass ends
// on an incomplete message, and the event log says why. One pass receives
// 1023 bytes: 170 requests, then the 130 that overflow the queue.
TEST_F(OfflineLobbyTest, AClientFloodingItsOwnRepliesIsDroppedAsNotReading) {
  int a = enter(1, "a", 5);
  std::string burst;
  for (int i = 0; i < 300; ++i) burst += w::room_op(3);  // each answered 2S 21
  burst += w::room_op(3).substr(0, 4);                   // ends on an incomplete message
  lobby_.feed(a, burst);
  EXPECT_TRUE(lobby_.pass(a));
  EXPECT_FALSE(lobby_.pass(a));
  EXPECT_FALSE(lobby_.is_open(a));
  EXPECT_NE(std::string::npos, events_.lines.find("drop slot 0 user 1: not reading"));
}

TEST_F(OfflineLobbyTest, SeatCountsAbove8AreBoundedEverywhere) {
  int host = enter(1, "h", 5, 65535, 2);
  int b = enter(2, "b", 5, 65535, 2);
  EXPECT_EQ(65535, lobby_.lobby().users[host].seat_count);
  send(host, w::room_op(-1));
  send(b, w::room_op(0));
  std::string got = pass(host);
  std::string want = w::seat_entry(0, true, "h") + w::seat_entry(1, false, "b");
  for (int seat = 2; seat < 8; ++seat) want += w::seat_entry(seat, false, "");
  want += w::status(2) + w::member_count(0, 2);
  EXPECT_EQ(w::hex(want), w::hex(got));
}

TEST_F(OfflineLobbyTest, NamesNeverCarryStaleBytes) {
  // "longername" sits in seat 1, leaves; "ab" takes seat 1: its seat entry
  // and the title of a room made by "ab\0xyz" hold zeros after the name.
  int host = enter(1, "h", 5, 8, 3);
  int b = enter(2, "longername", 5, 8, 3);
  int c = enter(3, std::string("ab\0xyz", 6), 5, 8, 3);
  send(host, w::room_op(-1));
  send(b, w::room_op(0));
  send(b, w::room_op(-2));
  send(c, w::room_op(0));
  quiesce();
  int d = enter(4, "d", 5, 8, 3);
  send(d, w::room_op(0));
  std::string got = pass(host);
  std::string want =
      w::seat_entry(0, true, "h") + w::seat_entry(1, false, "ab") + w::seat_entry(2, false, "d");
  for (int seat = 3; seat < 8; ++seat) want += w::seat_entry(seat, false, "");
  EXPECT_EQ(w::hex(want + w::status(2)), w::hex(got.substr(0, want.size() + 6)));
}

// Only an accepted login's room list moves the notice read index to the
// head. A client refused in its first pass, in a slot never used before,
// is shown its group's notices from the start of the ring, all in its next
// pass, and no other group's.
TEST_F(OfflineLobbyTest, RefusedClientIsShownItsGroupsOlderRoomNotices) {
  enter_with_room_op(40, "zed", 9, -1);
  enter_with_room_op(1, "host", 5, -1);
  enter_with_room_op(2, "guest", 5, 1);
  quiesce();
  int late = lobby_.connect();
  ASSERT_EQ(3, late);
  // Notice 0 is zed's, for group 9: passed over.
  EXPECT_EQ(w::hex(w::refused() + w::room_entry(1, 1, "host") + w::member_count(1, 2) +
                   w::group_count(3)),
            w::hex(send(late, w::name(3, "late") + w::login(3, 5, 8, 8))));
  EXPECT_EQ("", w::hex(pass(late)));
  // An accepted login starts at the head.
  int next = lobby_.connect();
  EXPECT_EQ(w::hex(w::room_entry(1, 2, "host") + w::list_end() + w::group_count(4)),
            w::hex(send(next, w::enter(4, "next", 5))));
  EXPECT_EQ("", w::hex(pass(next)));
}

// A member hopping between two rooms vacates a seat in one of them with
// every hop. Its host, not passing meanwhile, gets the messages straight
// into its send queue only up to the reserve; the seat is then marked
// instead, and goes out first in the host's next pass with room, before
// the replies to what the host itself sent. The queue is nearly full
// before the hops begin: hops enough to fill it would write more room
// notices than the ring keeps for a reader that does not pass, and the
// hopper would wait for the host to read them.
TEST_F(OfflineLobbyTest, SeatsVacatedIntoAFullQueueWaitForTheMembersPass) {
  const int host = enter_with_room_op(1, "a", 5, -1);
  const int other_host = enter_with_room_op(3, "c", 5, -1);
  const int hopper = enter_with_room_op(2, "b", 5, 0);
  quiesce();
  net::Connection& queue = lobby_.lobby().slots[host];
  const std::string filler = w::group_count(1);
  while (queue.send_free() > lobby::kSendReserve + 3) {
    queue.enqueue(reinterpret_cast<const uint8_t*>(filler.data()), static_cast<int>(filler.size()));
  }
  std::string hops;
  for (int i = 0; i < 10; ++i) hops += w::room_op(1) + w::room_op(0);
  send(hopper, hops);
  pass(other_host);
  EXPECT_FALSE(queue.send_overflowed());
  EXPECT_EQ(net::kSendSlots - lobby::kSendReserve, queue.send_pending());

  lobby_.feed(host, w::room_op(7));
  EXPECT_TRUE(lobby_.pass(host));
  std::string vacated;
  for (int i = 0; i < net::kSendSlots - lobby::kSendReserve - 3; ++i) vacated += filler;
  for (int i = 0; i < 3; ++i) vacated += w::seat_vacated(1);
  const std::string first = lobby_.take_output(host);
  ASSERT_GE(first.size(), vacated.size());
  EXPECT_EQ(w::hex(vacated), w::hex(first.substr(0, vacated.size())));
  EXPECT_EQ(std::string::npos, first.find(w::status(21)));
  const std::string second = pass(host);
  const std::string expected = w::seat_vacated(1) + w::status(21);
  EXPECT_EQ(w::hex(expected), w::hex(second.substr(0, expected.size())));
}

// The last player to join is shown the start in its own pass and may talk
// to the game before its room mates' workers have passed: their first pass
// shows them the seat list, the start, and then that line, none lost.
TEST_F(OfflineLobbyTest, AGameLinePostedBeforeARoomMateSawTheStartReachesItAfterTheStart) {
  const int host = enter(1, "a", 5, 2, 2);
  send(host, w::room_op(-1));
  quiesce();
  const int last = enter(2, "b", 5, 2, 2);
  ASSERT_NE(std::string::npos, send(last, w::room_op(0)).find(w::status(2)));
  const std::string line = w::chat(9, "go");
  send(last, line);
  const std::string shown = pass(host);
  const std::string start =
      w::seat_entry(0, true, "a") + w::seat_entry(1, false, "b") + w::status(2);
  const size_t at = shown.find(start);
  ASSERT_NE(std::string::npos, at) << w::hex(shown);
  EXPECT_EQ(w::hex(start + line), w::hex(shown.substr(at, start.size() + line.size())))
      << w::hex(shown);
}

TEST_F(OfflineLobbyTest, IdleDropComesAfterThe61stSecond) {
  int a = enter(1, "a", 5);
  for (int i = 0; i < 60; ++i) lobby_.tick();
  EXPECT_TRUE(lobby_.pass(a));
  lobby_.tick();
  EXPECT_FALSE(lobby_.pass(a));
  EXPECT_EQ(1, lobby_.lobby().drops[lobby::kDropIdle].load());
}

// Bytes fed whole or one at a time give the same replies, in the same
// order, and leave the same state.
TEST_F(OfflineLobbyTest, ChunkingDoesNotChangeWhatIsHandled) {
  std::string script = w::enter(1, "a", 5, 4, 2) + w::room_op(-1) + w::chat(3, "hi") +
                       w::keep_alive() + w::room_op(7) + w::validation(9) + w::room_op(-2) +
                       w::room_op(-1) + w::room_op(-3);
  lobby::OfflineLobby whole(settings());
  int s1 = whole.connect();
  whole.feed(s1, script);
  std::string out_whole;
  for (int i = 0; i < 20; ++i) {
    whole.pass(s1);
    out_whole += whole.take_output(s1);
  }
  lobby::OfflineLobby bytewise(settings());
  int s2 = bytewise.connect();
  std::string out_bytes;
  for (char ch : script) {
    bytewise.feed(s2, std::string(1, ch));
    bytewise.pass(s2);
    out_bytes += bytewise.take_output(s2);
  }
  for (int i = 0; i < 20; ++i) {
    bytewise.pass(s2);
    out_bytes += bytewise.take_output(s2);
  }
  // The pump's deliveries fall in other passes, so replies and pump output
  // interleave differently: the streams must hold the same messages.
  auto split = [](const std::string& s) {
    std::multiset<std::string> m;
    size_t i = 0;
    while (i + 2 <= s.size()) {
      const int len = testing_support::lobby_message_length(s.substr(i, 7));
      const size_t n = len > 0 ? static_cast<size_t>(len) : s.size() - i;
      m.insert(s.substr(i, n));
      i += n;
    }
    return m;
  };
  EXPECT_EQ(split(out_whole), split(out_bytes));
  EXPECT_EQ(whole.lobby().rooms[0].group_key, bytewise.lobby().rooms[0].group_key);
  EXPECT_EQ(whole.lobby().rooms[0].member_count, bytewise.lobby().rooms[0].member_count);
  EXPECT_EQ(whole.lobby().users[s1].room, bytewise.lobby().users[s2].room);
}

}  // namespace

namespace {

class OfflineIsolationTest : public OfflineLobbyTest {};

TEST_F(OfflineIsolationTest, ANewClientDoesNotInheritItsPredecessorsName) {
  int watcher = enter(1, "watch", 5);
  int old = enter(2, "alice", 5);
  lobby_.disconnect(old);
  quiesce();
  int fresh = lobby_.connect();
  ASSERT_EQ(old, fresh);
  // No name message: the room is titled with an empty name.
  send(fresh, w::validation(1) + w::login(3, 5, 8, 8));
  EXPECT_EQ(w::hex(w::room_made(0) + w::room_result(1) + w::room_entry(0, 1, "")),
            w::hex(send(fresh, w::room_op(-1)).substr(0, 31)));
  std::string seen;
  for (int i = 0; i < 4; ++i) seen += pass(watcher);
  EXPECT_NE(std::string::npos, seen.find(w::room_entry(0, 1, ""))) << w::hex(seen);
}

TEST_F(OfflineIsolationTest, TheRoomsGroupHearsADepartureAfterTheLeaverChangedKeys) {
  int watcher = enter(1, "watch", 5);
  int host = enter(2, "host", 5);
  send(host, w::room_op(-1));
  quiesce();
  send(host, w::validation(1) + w::login(2, 6, 8, 8));
  send(host, w::room_op(-2));
  std::string seen;
  for (int i = 0; i < 4; ++i) seen += pass(watcher);
  EXPECT_NE(std::string::npos, seen.find(w::member_count(0, 0))) << w::hex(seen);
}

// Slots 0 and 8 belong to different workers, which the server runs on
// different threads; the test does the same. The writer chats much faster
// than the reader's passes come, so it comes round the ring to the reader
// again and again, waits there for the reader to move on, and writes the
// entry right behind the one the reader reads. (The writer's thread passes
// the other slots of its worker too: they are readers the writer would
// wait for as well.) Each
// line's text is its own length repeated, so a line whose length came from
// one entry and its bytes from another shows. Under ThreadSanitizer, reading
// an entry without the writer's lock is reported at once.
TEST_F(OfflineIsolationTest, ALappedReaderNeverPassesOnATornChatLine) {
  int writer = enter(1, "w", 5);
  for (int i = 1; i < lobby::kSlotsPerWorker; ++i) enter(10 + i, "x", 7);
  int reader = enter(2, "r", 5);
  ASSERT_EQ(lobby::kSlotsPerWorker, reader);
  quiesce();

  // The writer keeps lapping the reader until the reader has looked at
  // enough lines, however the two threads happen to be scheduled.
  constexpr int kLinesWanted = 2000;
  std::atomic<int> lines{0};
  std::atomic<bool> done{false};
  std::thread chatter([&] {
    for (int round = 0; round < 200000 && lines.load() < kLinesWanted; ++round) {
      std::string batch;
      for (int k = 0; k < 8; ++k) {
        const int n = 1 + (round * 8 + k) % 73;
        batch += w::chat(round, std::string(n, static_cast<char>('a' + n % 26)));
      }
      lobby_.feed(writer, batch);
      for (int slot = 0; slot < lobby::kSlotsPerWorker; ++slot) {
        lobby_.pass(slot);
        lobby_.take_output(slot);
      }
    }
    done.store(true);
  });
  int torn = 0;
  while (!done.load()) {
    std::string out = pass(reader);
    // A pass may take several lines; each must be whole.
    while (!out.empty()) {
      lines.fetch_add(1);
      const int n = out.size() > 6 ? static_cast<uint8_t>(out[6]) : -1;
      const bool whole =
          out.compare(0, 2, "2C") == 0 && n >= 1 && out.size() >= static_cast<size_t>(7 + n) &&
          out.find_first_not_of(static_cast<char>('a' + n % 26), 7) >= static_cast<size_t>(7 + n);
      if (!whole) {
        ++torn;
        break;
      }
      out.erase(0, static_cast<size_t>(7 + n));
    }
  }
  chatter.join();
  EXPECT_GE(lines.load(), kLinesWanted);
  EXPECT_EQ(0, torn);
}

// A drop request names its connection: repeated, it drops once with the
// first reason; left behind for a connection that has gone, it never hits
// the next client of the slot.
TEST_F(OfflineLobbyTest, DropRequestsHitOnlyTheConnectionTheyName) {
  lobby::Lobby& state = lobby_.lobby();
  const int slot = enter(1, "a", 5);
  const uint32_t first = state.slots[slot].drop_request.serial();
  // The login deadline and displacement are for connections that never
  // logged in: made before the login was accepted, they are void after it.
  lobby::request_drop(state, slot, first, lobby::kDropNoLogin);
  EXPECT_TRUE(lobby_.pass(slot));
  lobby::request_drop(state, slot, first, lobby::kDropDisplaced);
  EXPECT_TRUE(lobby_.pass(slot));
  // A kick takes the place of a request a login voids, not of another kick
  // or ban.
  lobby::request_drop(state, slot, first, lobby::kDropNoLogin);
  lobby::request_drop(state, slot, first, lobby::kDropKicked);
  lobby::request_drop(state, slot, first, lobby::kDropBanned);
  EXPECT_FALSE(lobby_.pass(slot));
  EXPECT_EQ(1, state.drops[lobby::kDropKicked].load());
  EXPECT_EQ(0, state.drops[lobby::kDropBanned].load() + state.drops[lobby::kDropNoLogin].load() +
                   state.drops[lobby::kDropDisplaced].load());

  ASSERT_EQ(slot, enter(2, "b", 5));
  lobby::request_drop(state, slot, first, lobby::kDropBanned);
  EXPECT_TRUE(lobby_.pass(slot));
  EXPECT_EQ(w::hex(w::status(21)), w::hex(send(slot, w::room_op(3))));
  // A stale request neither stands in the way of a real one nor, coming
  // after it, takes its place.
  lobby::request_drop(state, slot, first, lobby::kDropBanned);
  lobby::request_drop(state, slot, first + 1, lobby::kDropFlooding);
  lobby::request_drop(state, slot, first, lobby::kDropBanned);
  EXPECT_FALSE(lobby_.pass(slot));
  EXPECT_EQ(1, state.drops[lobby::kDropFlooding].load());
  EXPECT_EQ(0, state.drops[lobby::kDropBanned].load());
}

// Settings with only flood pacing on, at `rate` a second after `burst`.
config::Settings paced(int rate, int burst) {
  config::Settings s;
  config::turn_off_protections(&s);
  s.L_FLOOD_RATE = rate;
  s.L_FLOOD_BURST = burst;
  return s;
}

// The in-memory lobby paces with the time it is given: held-back messages
// wait in the ring and are handled in order as tokens return.
TEST(OfflinePacingTest, HeldBackMessagesAreHandledInOrderAsTokensReturn) {
  const config::Settings s = paced(2, 4);
  lobby::OfflineLobby lobby(s);
  const int slot = lobby.connect();
  std::string lines;
  for (int i = 0; i < 6; ++i) lines += w::chat(i, "x");
  lobby.feed(slot, w::enter(1, "a", 5) + lines);
  ASSERT_TRUE(lobby.pass(slot));
  // Three tokens for the login, one for line 0; then one each half second.
  EXPECT_EQ(w::hex(w::list_end() + w::chat(0, "x") + w::group_count(1)),
            w::hex(lobby.take_output(slot)));
  for (int i = 1; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(lobby.lobby().slots[slot].flood.held());
    ASSERT_TRUE(lobby.pass(slot));
    EXPECT_EQ("", w::hex(lobby.take_output(slot)));
    lobby.set_time_ms(lobby.time_ms() + 500);
    ASSERT_TRUE(lobby.pass(slot));
    EXPECT_EQ(w::hex(w::chat(i, "x")), w::hex(lobby.take_output(slot)));
  }
  EXPECT_FALSE(lobby.lobby().slots[slot].flood.held());
  // After a break, held back for ten seconds without one: dropped.
  lobby.set_time_ms(lobby.time_ms() + 1000);
  std::string many;
  for (int i = 0; i < 40; ++i) many += w::keep_alive();
  lobby.feed(slot, many);
  for (int ms = 0; ms < 10000; ms += 250) {
    ASSERT_TRUE(lobby.pass(slot)) << ms;
    lobby.set_time_ms(lobby.time_ms() + 250);
  }
  EXPECT_FALSE(lobby.pass(slot));
  EXPECT_EQ(1, lobby.lobby().drops[lobby::kDropFlooding].load());
}

// Two ways a hold must end. A held-back client whose own full queue then
// stops it (a seat vacated into it waits) is no longer held: the idle
// clock counts it and drops it, where it used to stay held for good. And
// a hold that worked through everything sent, down to a part of a message,
// has had its break: a burst half a minute later starts a new hold, not
// one thirty seconds old.
TEST(OfflinePacingTest, AHoldEndsWhenTheClientIsStoppedOrHasHadItsBreak) {
  const config::Settings s = paced(25, 50);
  lobby::OfflineLobby lobby(s);
  const int a = lobby.connect();
  const int b = lobby.connect();
  lobby.feed(a, w::enter(1, "a", 5) + w::room_op(-1));
  lobby.pass(a);
  lobby.feed(b, w::enter(2, "b", 5) + w::room_op(0));
  lobby.pass(b);
  std::string burst;
  for (int i = 0; i < 60; ++i) burst += w::keep_alive();
  lobby.feed(a, burst);
  lobby.pass(a);
  lobby::ClientSlot& held = lobby.lobby().slots[a];
  ASSERT_TRUE(held.flood.held());
  const uint8_t filler[2] = {'2', 'H'};
  while (held.send_free() > 4) held.enqueue(filler, 2);
  lobby.feed(b, w::room_op(-2));
  lobby.pass(b);
  ASSERT_NE(0u, lobby.lobby().users[a].vacated_seats.load());
  int dropped_at = 0;
  for (int second = 1; second <= 120 && dropped_at == 0; ++second) {
    lobby.set_time_ms(second * 1000);
    if (!lobby.pass(a)) dropped_at = second;
  }
  EXPECT_EQ(61, dropped_at);
  EXPECT_EQ(1, lobby.lobby().drops[lobby::kDropIdle].load());

  const int c = lobby.connect();
  lobby.feed(c, w::enter(3, "c", 6) + burst);
  lobby.pass(c);
  ASSERT_TRUE(lobby.lobby().slots[c].flood.held());
  lobby.feed(c, "2");  // the first byte of one more keep-alive
  lobby.set_time_ms(lobby.time_ms() + 600);
  lobby.pass(c);
  EXPECT_FALSE(lobby.lobby().slots[c].flood.held());
  lobby.set_time_ms(lobby.time_ms() + 30000);
  lobby.feed(c, "P" + burst);
  EXPECT_TRUE(lobby.pass(c));
  EXPECT_EQ(0, lobby.lobby().drops[lobby::kDropFlooding].load());
}

// The process stopped (Ctrl-Z, SIGSTOP) while a client was held: the time
// it did not run is not the client's. A flooder held from 0 ms, passed as
// its worker would (each 100 ms, when its next token is due; once 900 ms
// late, which still counts), then not for 20 s, is dropped after 10 s of
// hold while the process ran: at 29900 ms, not at the first pass after
// the stop.
TEST(OfflinePacingTest, AHoldCountsOnlyTheTimeTheProcessRan) {
  const config::Settings s = paced(10, 10);
  lobby::OfflineLobby lobby(s);
  const int slot = lobby.connect();
  std::string flood;
  for (int i = 0; i < 200; ++i) flood += w::keep_alive();
  lobby.feed(slot, w::enter(1, "a", 5) + flood);
  const lobby::ClientSlot& client = lobby.lobby().slots[slot];
  std::vector<int64_t> passes;
  for (int64_t ms = 0; ms <= 2000; ms += 100) passes.push_back(ms);
  passes.push_back(3000);
  for (int64_t ms = 23000; ms <= 40000; ms += 100) passes.push_back(ms);
  int64_t dropped_at = -1;
  for (int64_t ms : passes) {
    lobby.set_time_ms(ms);
    if (!lobby.pass(slot)) {
      dropped_at = ms;
      break;
    }
    ASSERT_TRUE(client.flood.held()) << ms;
  }
  EXPECT_EQ(29900, dropped_at);
  EXPECT_EQ(1, lobby.lobby().drops[lobby::kDropFlooding].load());
}

// A burst of one at a rate the millisecond wake-ups cannot hit exactly
// still keeps the rate: 300 a second, woken when the next token is due.
TEST(OfflinePacingTest, ASmallBucketKeepsTheFullRate) {
  const config::Settings s = paced(300, 1);
  lobby::OfflineLobby lobby(s);
  const int slot = lobby.connect();
  lobby.feed(slot, w::enter(1, "a", 5));
  for (int ms = 0; ms < 20; ms += 5) {
    lobby.set_time_ms(ms);
    lobby.pass(slot);
  }
  lobby.take_output(slot);
  std::string lines;
  for (int i = 0; i < 400; ++i) lines += w::chat(i % 100, "x");
  lobby.feed(slot, lines);
  const int64_t start = lobby.time_ms();
  size_t bytes = 0;
  while (lobby.time_ms() < start + 1000) {
    ASSERT_TRUE(lobby.pass(slot));
    bytes += lobby.take_output(slot).size();
    lobby.set_time_ms(lobby.time_ms() +
                      lobby.lobby().slots[slot].flood.ms_to_next_token(lobby.time_ms()));
  }
  const size_t handled = bytes / w::chat(0, "x").size();
  EXPECT_GE(handled, 299u);
  EXPECT_LE(handled, 302u);
}

}  // namespace
