// The state image's format, kept honest by a golden file: the script's
// lobby (tests/harness/image_lobby.h), written now, must be the golden
// image of its format version byte for byte, and the golden image must read
// back into a lobby that holds every field the script's lobby holds and
// goes on exactly as it would. A change to the format without a new
// kImageVersion fails here; a new version needs a golden image of its own,
// written once with LOBBY_WRITE_GOLDEN_IMAGE=1 and never overwritten (the
// same run writes the fuzz target's seeds anew).
#include "lobby/state_image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/harness/image_lobby.h"
#include "tests/support/wire.h"

namespace {

using lobby::ImageLobby;
namespace w = test_wire;

std::string golden_path() {
  return std::string(LOBBY_SOURCE_DIR) + "/tests/data/state_image_v" +
         std::to_string(lobby::kImageVersion) + ".bin";
}

bool read_file(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// Every field of the lobby a test can see, one line each, named.
std::vector<std::string> fields(lobby::Lobby& lobby) {
  std::vector<std::string> out;
  auto add = [&out](const std::string& name, int64_t value) {
    out.push_back(name + " " + std::to_string(value));
  };
  for (int i = 0; i < lobby::kSlots; ++i) {
    lobby::ClientSlot& c = lobby.slots[static_cast<size_t>(i)];
    lobby::UserRecord& u = lobby.users[static_cast<size_t>(i)];
    const std::string s = "slot " + std::to_string(i) + " ";
    add(s + "open", c.is_open());
    add(s + "socket", c.socket_fd());
    std::string unread;
    for (int b = 0; b < c.received(); ++b) unread += static_cast<char>(c.ring_byte(b));
    out.push_back(s + "unread " + w::hex(unread));
    add(s + "unsent", c.send_pending());
    add(s + "last_group_count", c.last_group_count);
    add(s + "group_index", c.group_index);
    add(s + "validation", c.validation);
    add(s + "user_id", c.user_id.load());
    add(s + "notice_read", c.notice_read);
    add(s + "game_room", c.game_room);
    add(s + "game_generation", c.game_generation);
    add(s + "chat_read", c.chat_read);
    add(s + "notice_stall_ms", c.notice_stall_ms);
    add(s + "chat_stall_ms", c.chat_stall_ms);
    add(s + "line_hold", static_cast<int>(c.line_hold.load()));
    add(s + "line_hold_until_ms", c.line_hold_until_ms);
    add(s + "announced_user_id", c.announced_user_id);
    char peer[net::kIpPortTextBytes];
    c.peer_address.load().format_with_port(c.peer_port.load(), peer);
    out.push_back(s + "peer " + peer);
    add(s + "placed_ms", c.placed_ms.load());
    add(s + "connection_id", c.connection_id.load());
    add(s + "last_message_ms", c.last_message_ms.load());
    add(s + "active_ms", c.active_ms.load());
    add(s + "login_accepted", c.login_accepted.load());
    add(s + "drop_request", c.drop_request.pending());
    add(s + "drop_serial", c.drop_request.serial());
    add(s + "flood_hold", static_cast<int>(c.flood.hold()));
    out.push_back(s + "name " +
                  std::string(reinterpret_cast<const char*>(u.own_name()), wire::kNameLen));
    add(s + "seat", u.seat);
    add(s + "room", u.room);
    add(s + "room_generation", u.room_generation);
    add(s + "direct_count", u.direct_count.load());
    for (int d = 0; d < u.direct_count.load(); ++d) {
      const size_t at = static_cast<size_t>((u.direct_read + d) & lobby::kDirectQueueMask);
      add(s + "direct", int64_t{u.direct_from[at]} * 65536 + u.direct_value[at]);
    }
    add(s + "vacated_seats", u.vacated_seats.load());
    add(s + "group_key", u.group_key.load());
    add(s + "seat_count", u.seat_count);
    add(s + "start_size", u.start_size);
  }
  for (int r = 0; r < lobby::kMaxRooms; ++r) {
    const lobby::RoomRecord& room = lobby.rooms[static_cast<size_t>(r)];
    const std::string s = "room " + std::to_string(r) + " ";
    out.push_back(s + "title " + reinterpret_cast<const char*>(room.title));
    add(s + "members", room.member_count);
    add(s + "started", room.started.load());
    add(s + "group_key", room.group_key);
    add(s + "start_size", room.start_size);
    add(s + "generation", room.generation);
    for (int seat = 0; seat < lobby::kSeats; ++seat) {
      add(s + "seat " + std::to_string(seat), room.seat_slot[seat] * 100 + room.roster_slot[seat]);
    }
  }
  for (int g = 0; g < lobby::kGroupEntries; ++g) {
    if (lobby.groups[static_cast<size_t>(g)].key == lobby::kNone) continue;
    add("group " + std::to_string(g) + " key", lobby.groups[static_cast<size_t>(g)].key);
    add("group " + std::to_string(g) + " count", lobby.groups[static_cast<size_t>(g)].count.load());
  }
  add("notice_head", lobby.notices.notice_head.load());
  add("chat_head", lobby.chat.chat_head.load());
  for (int e = 0; e < lobby.chat.chat_head.load(); ++e) {
    const size_t at = static_cast<size_t>(e);
    out.push_back(
        "chat " + std::to_string(e) + " " + std::to_string(lobby.chat.chat_target[at]) + " " +
        w::hex(std::string(reinterpret_cast<const char*>(lobby.chat.chat_bytes[at].data()),
                           static_cast<size_t>(lobby.chat.chat_len[at]))));
  }
  add("rooms_in_use", lobby.rooms_in_use.load());
  add("connected", lobby.connected_count.load());
  for (int k = 0; k < lobby::kCounters; ++k) add(lobby::counter_text(k), lobby.counters[k].load());
  for (int k = 0; k < lobby::kDropReasons; ++k) add("drops", lobby.drops[k].load());
  add("drain_deadline_ms", lobby.drain_deadline_ms.load());
  add("upstream", static_cast<int>(lobby.upstream.link_state()));
  return out;
}

// The lines of `b` that differ from those of `a`, for a failure message.
std::string differences(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::ostringstream text;
  for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
    const std::string x = i < a.size() ? a[i] : "(none)";
    const std::string y = i < b.size() ? b[i] : "(none)";
    if (x != y) text << "\n  written: " << x << "\n  read:    " << y;
  }
  return text.str();
}

size_t first_difference(const std::string& a, const std::string& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return i;
}

// The seeds of the state image's fuzz target: the script's lobby after
// each of its stages, the empty lobby first.
void write_fuzz_seeds() {
  for (int stage = 0; stage <= ImageLobby::kStages; ++stage) {
    ImageLobby l;
    l.run_script(stage);
    std::ofstream(
        std::string(LOBBY_SOURCE_DIR) + "/fuzz/corpus/state_image/stage_" + std::to_string(stage),
        std::ios::binary)
        << l.image();
  }
}

// What each of the script's five clients is sent over three more passes,
// once bob has finished his half line and time has moved past every hold.
std::vector<std::string> go_on(ImageLobby& l) {
  l.feed(1, w::chat(0, "half a line").substr(9));
  std::vector<std::string> sent(5);
  for (int round = 0; round < 3; ++round) {
    l.clock().advance(600);
    for (int slot = 0; slot < 5; ++slot) {
      l.pass(slot);
      sent[static_cast<size_t>(slot)] += l.take_output(slot);
    }
  }
  return sent;
}

TEST(StateImageGolden, TheScriptsLobbyWritesTheGoldenImageWhichReadsBackFieldByField) {
  ImageLobby written;
  written.run_script(ImageLobby::kStages);
  const std::string image = written.image();
  std::string golden;
  if (std::getenv("LOBBY_WRITE_GOLDEN_IMAGE") != nullptr) write_fuzz_seeds();
  if (!read_file(golden_path(), &golden)) {
    if (std::getenv("LOBBY_WRITE_GOLDEN_IMAGE") != nullptr) {
      std::ofstream(golden_path(), std::ios::binary) << image;
    }
    FAIL() << "no golden image " << golden_path() << " for format " << lobby::kImageVersion
           << ": write it once with LOBBY_WRITE_GOLDEN_IMAGE=1 lobby_tests "
              "--gtest_filter='StateImageGolden.*'";
  }
  ASSERT_TRUE(image == golden) << "the image's format changed (first difference at byte "
                               << first_difference(image, golden) << " of " << golden.size()
                               << "): give it a new kImageVersion and a golden image of its "
                               << "own, and keep the old version's file";

  // Read at the moment it was written: every time reads back as it was.
  ImageLobby read(ImageLobby::script_settings(), written.clock().now_ms());
  lobby::ProcessImage process;
  std::string error;
  ASSERT_EQ(0, read.restore(golden, &process, &error)) << error;
  const std::vector<std::string> expected = fields(written.lobby());
  const std::vector<std::string> found = fields(read.lobby());
  EXPECT_TRUE(expected == found) << differences(expected, found);
  const lobby::ProcessImage script = ImageLobby::script_process();
  EXPECT_EQ(script.pid, process.pid);
  EXPECT_EQ(script.commit, process.commit);
  EXPECT_EQ(script.serving_since_unix_s, process.serving_since_unix_s);
  EXPECT_EQ(script.serving_since_ms, process.serving_since_ms);
  EXPECT_EQ(script.upgrades, process.upgrades);
  EXPECT_EQ(script.paused_at_ns, process.paused_at_ns);
  EXPECT_EQ(script.admin_listen_fd, process.admin_listen_fd);
  EXPECT_EQ(script.admin_identity[1], process.admin_identity[1]);
  ASSERT_EQ(1u, process.admin.size());
  EXPECT_EQ("sta", process.admin[0].in);
  EXPECT_EQ(script.admin[0].out, process.admin[0].out);
  EXPECT_EQ(script.admin[0].last_command_ms, process.admin[0].last_command_ms);
  EXPECT_TRUE(process.admin[0].awaits_upgrade);
  // The fields no test sees (buckets, backoff, strikes, ...) read back too:
  // written again, the lobby read is the same image.
  EXPECT_TRUE(read.image(process) == golden);

  // The two go on alike: bob's line, completed now, reaches his game
  // whole; carol's held line follows at her pace; dave's flood drains; the
  // stranger leaves as asked.
  const std::vector<std::string> sent_written = go_on(written);
  const std::vector<std::string> sent_read = go_on(read);
  for (int slot = 0; slot < 5; ++slot) {
    EXPECT_EQ(w::hex(sent_written[static_cast<size_t>(slot)]),
              w::hex(sent_read[static_cast<size_t>(slot)]))
        << "slot " << slot;
  }
  EXPECT_NE(std::string::npos, sent_read[0].find(w::chat(0, "half a line")));
  EXPECT_NE(std::string::npos, sent_read[2].find(w::chat(0, "four")));
  EXPECT_FALSE(read.lobby().slots[4].is_open());
  EXPECT_TRUE(written.image(process) == read.image(process));
}

// Anything that is not an image this program wrote is refused whole, and
// says why; an unknown format by its number.
TEST(StateImageGolden, AnImageThatIsNotRightIsRefusedWithItsReason) {
  ImageLobby written;
  written.run_script(2);
  const std::string image = written.image();
  auto refused = [](const std::string& bytes, int rooms = 4) {
    config::Settings settings = ImageLobby::script_settings();
    settings.ROOM = rooms;
    ImageLobby fresh(settings);
    lobby::ProcessImage process;
    std::string error;
    EXPECT_EQ(-1, fresh.restore(bytes, &process, &error));
    return error;
  };
  // The payload's length and checksum made right again after a change.
  auto resealed = [](std::string bytes) {
    const uint32_t length = static_cast<uint32_t>(bytes.size() - 20);
    for (int i = 0; i < 4; ++i)
      bytes[12 + static_cast<size_t>(i)] = static_cast<char>(length >> (8 * i));
    const uint32_t crc =
        lobby::image_crc32(reinterpret_cast<const uint8_t*>(bytes.data()) + 20, bytes.size() - 20);
    for (int i = 0; i < 4; ++i)
      bytes[16 + static_cast<size_t>(i)] = static_cast<char>(crc >> (8 * i));
    return bytes;
  };

  std::string version_two = image;
  version_two[lobby::kImageVersionOffset] = 2;
  EXPECT_EQ("image format 2 not understood", refused(version_two));
  lobby::ImageHead head;
  std::string error;
  EXPECT_EQ(-1, lobby::read_image_head(reinterpret_cast<const uint8_t*>(version_two.data()),
                                       version_two.size(), &head, &error));
  EXPECT_EQ("image format 2 not understood", error);
  ASSERT_EQ(0, lobby::read_image_head(reinterpret_cast<const uint8_t*>(image.data()), image.size(),
                                      &head, &error));
  EXPECT_EQ(ImageLobby::kWrittenAtNs, head.written_at_ns);
  EXPECT_STREQ("golden", head.settings.L_NAME);

  std::string flipped = image;
  flipped[image.size() / 2] ^= 0x40;
  EXPECT_EQ("image damaged: its checksum does not match", refused(flipped));
  EXPECT_EQ("image damaged: " + std::to_string(image.size() - 30) + " bytes where " +
                std::to_string(image.size() - 20) + " were written",
            refused(image.substr(0, image.size() - 10)));
  EXPECT_EQ("not a state image", refused("LOBBYIMX" + image.substr(8)));
  EXPECT_EQ("not a state image", refused(""));
  // ROOM, the settings' second key (after their count and VER), out of its
  // range.
  std::string nine_rooms = image;
  nine_rooms[20 + 8 + 4 + 4] = 9;
  EXPECT_EQ("image damaged: ROOM out of range in section SETS", refused(resealed(nine_rooms)));
  EXPECT_EQ("image damaged: it has 4 rooms where the lobby has 2", refused(image, 2));
  // One byte more than the sections hold.
  EXPECT_EQ("image damaged: bytes after the last section",
            refused(resealed(image + std::string(1, '\0'))));
}

}  // namespace
