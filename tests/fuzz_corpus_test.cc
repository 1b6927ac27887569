// The fuzz targets' seed corpora replayed through the same checks as the
// fuzzers run, in the ordinary build; and the checks themselves, shown to
// catch the faults they are there for.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "tests/harness/offline_lobby.h"
#include "tests/support/wire.h"

namespace {

namespace w = test_wire;

std::vector<std::filesystem::path> corpus_files(const std::string& target) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  const std::filesystem::path dir =
      std::filesystem::path(LOBBY_SOURCE_DIR) / "fuzz/corpus" / target;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using RunInput = std::string (*)(const uint8_t*, size_t);

void replay(const std::string& target, RunInput run) {
  const std::vector<std::filesystem::path> files = corpus_files(target);
  // An empty or missing corpus would make the replay pass vacuously.
  ASSERT_GE(files.size(), 5u) << "corpus fuzz/corpus/" << target;
  for (const auto& path : files) {
    const std::string input = read_file(path);
    EXPECT_EQ("", run(reinterpret_cast<const uint8_t*>(input.data()), input.size()))
        << path.filename().string() << " (" << fuzz::hex(input) << ")";
  }
}

TEST(FuzzCorpusReplay, ClientStreamCorpusPassesEveryCheck) {
  replay("client_stream", fuzz::run_client_stream);
}

TEST(FuzzCorpusReplay, LobbyScriptCorpusPassesEveryCheck) {
  replay("lobby_script", fuzz::run_lobby_script);
}

TEST(FuzzCorpusReplay, StateImageCorpusPassesEveryCheck) {
  replay("state_image", fuzz::run_state_image);
}

TEST(FuzzCorpusReplay, ProxyHeaderCorpusPassesEveryCheck) {
  replay("proxy_header", fuzz::run_proxy_header);
}

// --- The output parser -----------------------------------------------------

std::string check_output(const std::string& stream) {
  return fuzz::check_client_output(stream, 4, nullptr);
}

TEST(FuzzCorpusChecks, OutputParserTakesEveryMessageTheLobbySends) {
  const std::string all =
      w::full() + w::room_entry(3, 8, "room") + w::list_end() + w::refused() + w::room_made(3) +
      w::room_result(1) + w::room_result(0) + w::status(21) + w::seat_entry(0, false, "a") +
      w::seat_entry(1, true, "x") + w::status(2) + w::status(2) + w::direct_from(7, -5) +
      w::direct_from(0xfff8, 1) + w::seat_vacated(7) + w::member_count(3, 0) + w::group_count(32) +
      w::chat(1, std::string(73, 'c')) + w::chat(2, "") + w::room_made(0);
  std::vector<std::string> messages;
  EXPECT_EQ("", fuzz::check_client_output(all, 4, &messages));
  ASSERT_EQ(20u, messages.size());
  EXPECT_EQ(w::chat(1, std::string(73, 'c')), messages[17]);
}

TEST(FuzzCorpusChecks, OutputParserRejectsBrokenFraming) {
  const std::string cases[] = {
      "2",                                             // a stray byte
      "1O",                                            // no mark
      "2Z",                                            // a letter the lobby never sends
      w::room_made(1).substr(0, 5),                    // cut short
      w::list_end() + w::chat(1, "abc").substr(0, 6),  // a cut chat head
      w::chat(1, std::string(74, 'c')),                // longer than a send slot
      w::chat(1, "abc").substr(0, 9),                  // a chat line cut in its text
  };
  for (const std::string& stream : cases) {
    EXPECT_NE("", check_output(stream)) << w::hex(stream);
  }
}

TEST(FuzzCorpusChecks, OutputParserRejectsImpossibleFields) {
  const std::string cases[] = {
      w::room_entry(4, 1, "r"),                         // room beyond the limit
      w::room_entry(0, 9, "r"),                         // more members than seats
      w::room_entry(0, 1, std::string("ab\0xy", 5)),    // stale bytes after the title
      w::room_made(-1),                                 // no such room
      w::room_result(2),                                // neither result
      w::status(3),                                     // no such code
      w::seat_entry(8, false, "x"),                     // no such seat
      w::seat_entry(1, false, std::string("a\0b", 3)),  // stale bytes after the name
      w::direct_from(8, 0),                             // neither a seat nor its complement
      w::seat_vacated(0),                               // the host's seat
      w::msg('F') + w::le16(1) + w::le32(1),            // non-zero second field
      w::member_count(0, 9),                            // more members than seats
      w::group_count(0),                                // a group without its own member
  };
  for (const std::string& stream : cases) {
    EXPECT_NE("", check_output(w::list_end() + stream)) << w::hex(stream);
  }
}

// What one pass queues back to back, a full send queue can only cut at the
// end of the stream.
TEST(FuzzCorpusChecks, OutputParserRejectsBrokenSequences) {
  const std::string cases[] = {
      w::room_made(0) + w::list_end(),                              // 2M without 2J 1
      w::list_end() + w::room_result(1),                            // 2J 1 without 2M
      w::seat_entry(1, false, "b") + w::status(2),                  // not from seat 0
      w::seat_entry(0, false, "a") + w::seat_entry(2, false, "c"),  // a seat skipped
      w::seat_entry(0, true, "a") + w::seat_entry(1, true, "b"),    // two own seats
      w::seat_entry(0, false, "a") + w::list_end() + w::status(2),  // the run interrupted
  };
  for (const std::string& stream : cases) {
    EXPECT_NE("", check_output(stream)) << w::hex(stream);
  }
}

// --- The table rules -------------------------------------------------------

class FuzzCorpusTables : public ::testing::Test {
 protected:
  FuzzCorpusTables() : offline_(settings()) {}

  static config::Settings settings() {
    config::Settings s;
    s.L_PORT = 0;
    config::turn_off_protections(&s);
    return s;
  }

  // Two clients of key 5 in room 0 (host in slot 0, guest in slot 1), a
  // third of key 6 in no room.
  void populate() {
    for (int i = 0; i < 3; ++i) {
      const int slot = offline_.connect();
      ASSERT_EQ(i, slot);
      offline_.feed(slot, w::enter(i, "p", i < 2 ? 5 : 6, 8, 8));
      ASSERT_TRUE(offline_.pass(slot));
    }
    offline_.feed(0, w::room_op(-1));
    offline_.pass(0);
    offline_.feed(1, w::room_op(0));
    offline_.pass(1);
    ASSERT_EQ(2, lobby().rooms[0].member_count);
    ASSERT_EQ("", fuzz::check_tables(lobby()));
  }

  lobby::Lobby& lobby() { return offline_.lobby(); }

  lobby::OfflineLobby offline_;
};

TEST_F(FuzzCorpusTables, GroupCountsMustMatchTheirMembers) {
  populate();
  lobby().groups[lobby().slots[2].group_index].count.fetch_add(1);
  EXPECT_NE("", fuzz::check_tables(lobby()));
  lobby().groups[lobby().slots[2].group_index].count.fetch_sub(1);
  lobby().slots[2].group_index = lobby().slots[0].group_index;
  EXPECT_NE("", fuzz::check_tables(lobby()));
}

TEST_F(FuzzCorpusTables, AClosedClientMustLeaveItsGroupAndSeat) {
  populate();
  // Closed behind the lobby's back: still counted and still seated.
  lobby().slots[1].close();
  EXPECT_NE("", fuzz::check_tables(lobby()));
}

TEST_F(FuzzCorpusTables, SeatsMustMatchMemberCountsAndRecords) {
  populate();
  lobby().rooms[0].member_count = 3;
  EXPECT_NE("", fuzz::check_tables(lobby()));
  lobby().rooms[0].member_count = 2;
  lobby().users[1].seat = 2;
  EXPECT_NE("", fuzz::check_tables(lobby()));
  lobby().users[1].seat = 1;
  lobby().rooms[1].seat_slot[3] = 1;  // a second seat for the guest
  EXPECT_NE("", fuzz::check_tables(lobby()));
}

TEST_F(FuzzCorpusTables, AFreeRoomHoldsNothing) {
  populate();
  lobby().rooms[2].started.store(1);
  EXPECT_NE("", fuzz::check_tables(lobby()));
  lobby().rooms[2].started.store(0);
  lobby().rooms_in_use.store(2);
  EXPECT_NE("", fuzz::check_tables(lobby()));
}

}  // namespace
