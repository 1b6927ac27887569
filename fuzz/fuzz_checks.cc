#include "fuzz/fuzz_checks.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "client/wire_codec.h"
#include "config/settings.h"
#include "lobby/flood_pacing.h"
#include "lobby/state_image.h"
#include "net/connection.h"
#include "net/proxy_header.h"
#include "tests/harness/image_lobby.h"
#include "tests/harness/offline_lobby.h"
#include "wire/message_table.h"
#include "wire/protocol.h"

namespace fuzz {
namespace {

using lobby::kNone;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

// Reads a fuzz input front to back. Past its end every read yields zeros, so
// that any input, however short, decodes to a complete run.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  int32_t u16() {
    const int32_t low = byte();
    return low | (byte() << 8);
  }
  int32_t i32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
    return static_cast<int32_t>(v);
  }
  std::string bytes(size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(byte());
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Client-to-lobby messages, from the game client's own encoders.
std::string enter_messages(int32_t id, const std::string& name, int32_t key, int32_t seats,
                           int32_t start) {
  return client::encode_name(id, name) + client::encode_validation(1) +
         client::encode_login(id, key, seats, start);
}

config::Settings lobby_settings(int rooms) {
  config::Settings settings;
  settings.ROOM = rooms;
  settings.L_PORT = 0;
  config::turn_off_protections(&settings);
  return settings;
}

// The longest message a client can send: a chat head and 255 text bytes. A
// pass leaves at most one incomplete message in the ring, so always less.
constexpr int kLongestClientMessage = wire::kLenChatHead + 255;

// A 16-byte name or title as the lobby sends it: nothing after its first
// zero byte, so no bytes of an earlier name can show through.
bool name_is_clean(const uint8_t* name) {
  int i = 0;
  while (i < wire::kNameLen && name[i] != 0) ++i;
  for (; i < wire::kNameLen; ++i) {
    if (name[i] != 0) return false;
  }
  return true;
}

// Field values of one whole message that no state of the lobby can produce.
std::string check_fields(const uint8_t* m, int room_limit) {
  switch (m[1]) {
    case wire::kMsgRoomEntry: {
      const int32_t room = wire::get_u16(m + 2), members = wire::get_u16(m + 4);
      if (room >= room_limit) return format("2R names room %d of %d", room, room_limit);
      if (members > lobby::kSeats) return format("2R counts %d members", members);
      if (!name_is_clean(m + 6)) return "2R title carries bytes after its end";
      return "";
    }
    case wire::kMsgRoomMade: {
      const int32_t room = wire::get_i32(m + 2);
      if (room < 0 || room >= room_limit) return format("2M names room %d of %d", room, room_limit);
      return "";
    }
    case wire::kMsgRoomResult:
      if (m[2] != wire::kResultNone && m[2] != wire::kResultCreated) {
        return format("2J result %d", m[2]);
      }
      return "";
    case wire::kMsgStatus: {
      const int32_t code = wire::get_i32(m + 2);
      if (code != wire::kStatusGameStarts && code != wire::kStatusJoinRefused) {
        return format("2S code %d", code);
      }
      return "";
    }
    case wire::kMsgSeatEntry: {
      const int32_t seat = wire::get_u16(m + 2), self = wire::get_u16(m + 4);
      if (seat >= lobby::kSeats) return format("2N names seat %d", seat);
      if (self > 1) return format("2N self flag %d", self);
      if (!name_is_clean(m + 6)) return "2N name carries bytes after its end";
      return "";
    }
    case wire::kMsgDirect: {
      // The sender's seat, or its complement when sent to the host.
      const int32_t code = wire::get_u16(m + 2);
      if (code >= lobby::kSeats && code < 0x10000 - lobby::kSeats) {
        return format("2D sender code 0x%04x", code);
      }
      return "";
    }
    case wire::kMsgSeatVacated: {
      // The host's seat is never vacated alone: its departure frees the room.
      const int32_t seat = wire::get_u16(m + 2);
      if (seat < 1 || seat >= lobby::kSeats) return format("2F names seat %d", seat);
      if (wire::get_i32(m + 4) != 0) return "2F with a non-zero second field";
      return "";
    }
    case wire::kMsgMemberCount: {
      const int32_t room = wire::get_u16(m + 2), members = wire::get_u16(m + 4);
      if (room >= room_limit) return format("2Q names room %d of %d", room, room_limit);
      if (members > lobby::kSeats) return format("2Q counts %d members", members);
      return "";
    }
    case wire::kMsgGroupCount: {
      // Sent only to a member of the group, so it counts at least that one.
      const int32_t count = wire::get_i32(m + 2);
      if (count < 1 || count > lobby::kSlots) return format("2H counts %d clients", count);
      return "";
    }
    default:
      return "";
  }
}

// The order rules of check_client_output for one more message `m`.
std::string check_order(const uint8_t* m, int* next_seat, bool* self_seen, bool* after_room_made) {
  const bool result_created = m[1] == wire::kMsgRoomResult && m[2] == wire::kResultCreated;
  if (*after_room_made && !result_created) return "2M without 2J 1 after it";
  if (!*after_room_made && result_created) return "2J 1 without 2M before it";
  *after_room_made = m[1] == wire::kMsgRoomMade;

  if (m[1] == wire::kMsgSeatEntry) {
    if (wire::get_u16(m + 2) != *next_seat) {
      return format("seat list entry %d where %d was due", wire::get_u16(m + 2), *next_seat);
    }
    if (wire::get_u16(m + 4) == 1) {
      if (*self_seen) return "a seat list with two entries of the client's own";
      *self_seen = true;
    }
    *next_seat += 1;
    return "";
  }
  const bool game_start =
      m[1] == wire::kMsgStatus && wire::get_i32(m + 2) == wire::kStatusGameStarts;
  if (*next_seat > 0 && !game_start) return "a seat list not followed by the game start";
  *next_seat = 0;
  *self_seen = false;
  return "";
}

// --- Client stream --------------------------------------------------------

constexpr int kChunkLimit = net::kRecvChunk;
constexpr int kFinalPasses = 3;
constexpr int32_t kStreamKey = 1;

struct StreamSetup {
  bool login = false;  // the client is logged in (key 1) before its bytes
  bool host = false;   // another client of key 1 hosts room 0 from the start
  int host_start = 2;  // that room's start size
  int rooms = lobby::kMaxRooms;
};

struct StreamRun {
  std::vector<std::string> replies;
  bool open = false;
  bool overflowed = false;  // the client's send queue refused a message
  std::string state;
  std::string fault;
};

// The messages that answer the client's own commands. Their order follows
// from the bytes alone; what the delivery pump queues (chat lines, notices,
// group counts, seat lists, the game start, direct messages) depends on where
// the passes fall and is left out of the comparison.
bool is_reply(const std::string& m) {
  switch (static_cast<uint8_t>(m[1])) {
    case wire::kMsgListEnd:
    case wire::kMsgRefused:
    case wire::kMsgRoomMade:
    case wire::kMsgRoomResult:
      return true;
    case wire::kMsgStatus:
      return wire::get_i32(reinterpret_cast<const uint8_t*>(m.data()) + 2) ==
             wire::kStatusJoinRefused;
    default:
      return false;
  }
}

// Everything about the lobby that only the handlers decide: the client's
// identity and seat, every other client's seat and direct queue, the rooms
// and the groups. Pump state (read positions, game_room, the client's own
// direct queue) is left out.
std::string snapshot(const lobby::Lobby& lobby, int slot) {
  std::string out;
  for (int s = 0; s < lobby::kSlots; ++s) {
    const lobby::ClientSlot& c = lobby.slots[s];
    if (!c.is_open() && s != slot) continue;
    const lobby::UserRecord& u = lobby.users[s];
    out += format(
        "slot %d open %d user %d validation %d key %d room %d seat %d gen %u seats %d "
        "start %d name %s",
        s, c.is_open(), c.user_id.load(), c.validation, u.group_key.load(), u.room, u.seat,
        u.room_generation, u.seat_count, u.start_size,
        hex(std::string(reinterpret_cast<const char*>(u.name), wire::kNameLen)).c_str());
    if (s != slot) out += format(" direct %d", u.direct_count.load());
    out += "\n";
  }
  for (int r = 0; r < lobby.room_limit(); ++r) {
    const lobby::RoomRecord& room = lobby.rooms[r];
    out += format("room %d key %d members %d started %d start %d gen %u seats", r, room.group_key,
                  room.member_count, room.started.load(), room.start_size, room.generation);
    for (int i = 0; i < lobby::kSeats; ++i) out += format(" %d", room.seat_slot[i]);
    out += "\n";
  }
  for (int g = 0; g < lobby::kGroupEntries; ++g) {
    if (lobby.groups[g].key == kNone) continue;
    out +=
        format("group %d key %d count %d\n", g, lobby.groups[g].key, lobby.groups[g].count.load());
  }
  return out;
}

// One client's bytes fed in chunks of the given sizes (cycled), a pass after
// each chunk and a few at the end; every output and the tables checked after
// every pass.
StreamRun run_stream(const StreamSetup& setup, const std::string& body,
                     const std::vector<int>& chunks) {
  StreamRun run;
  lobby::OfflineLobby offline(lobby_settings(setup.rooms));
  lobby::Lobby& lobby = offline.lobby();
  const int limit = lobby.room_limit();

  int host = kNone;
  if (setup.host) {
    host = offline.connect();
    offline.feed(host, enter_messages(900, "host", kStreamKey, lobby::kSeats, setup.host_start) +
                           client::encode_room_op(wire::kOpCreate));
    offline.pass(host);
    run.fault = check_client_output(offline.take_output(host), limit, nullptr);
    if (!run.fault.empty()) return run;
  }
  const int slot = offline.connect();
  if (slot == kNone) {
    run.fault = "no slot for the client";
    return run;
  }

  auto after_pass = [&]() {
    std::vector<std::string> messages;
    run.fault = check_client_output(offline.take_output(slot), limit, &messages);
    if (run.fault.empty() && host != kNone) {
      run.fault = check_client_output(offline.take_output(host), limit, nullptr);
    }
    if (run.fault.empty()) run.fault = check_tables(lobby);
    if (run.fault.empty() && offline.is_open(slot) &&
        lobby.slots[slot].received() >= kLongestClientMessage) {
      run.fault = format("a pass left %d bytes in the ring", lobby.slots[slot].received());
    }
    for (const std::string& m : messages) {
      if (is_reply(m)) run.replies.push_back(m);
    }
    return run.fault.empty();
  };
  auto feed_and_pass = [&](const std::string& bytes) {
    offline.feed(slot, bytes);
    offline.pass(slot);
    return after_pass();
  };

  if (setup.login &&
      !feed_and_pass(enter_messages(7, "fuzz", kStreamKey, lobby::kSeats, lobby::kSeats))) {
    return run;
  }
  size_t at = 0;
  for (size_t k = 0; at < body.size() && offline.is_open(slot); ++k) {
    const size_t n = std::min(static_cast<size_t>(chunks[k % chunks.size()]), body.size() - at);
    if (!feed_and_pass(body.substr(at, n))) return run;
    at += n;
  }
  for (int i = 0; i < kFinalPasses && offline.is_open(slot); ++i) {
    offline.pass(slot);
    if (!after_pass()) return run;
  }
  run.open = offline.is_open(slot);
  // Kept until the slot takes a new connection, whatever the client was
  // dropped for (a framing error later in the same pass drops it first).
  run.overflowed = lobby.slots[slot].send_overflowed();
  run.state = snapshot(lobby, slot);
  return run;
}

bool is_prefix(const std::vector<std::string>& shorter, const std::vector<std::string>& longer) {
  if (shorter.size() > longer.size()) return false;
  for (size_t i = 0; i < shorter.size(); ++i) {
    if (shorter[i] != longer[i]) return false;
  }
  return true;
}

std::string describe_difference(const std::vector<std::string>& cut,
                                const std::vector<std::string>& whole) {
  size_t i = 0;
  while (i < cut.size() && i < whole.size() && cut[i] == whole[i]) ++i;
  return format(
      "replies differ at %zu (fuzzed chunks %zu replies: %s; whole receives %zu "
      "replies: %s)",
      i, cut.size(), i < cut.size() ? hex(cut[i]).c_str() : "end", whole.size(),
      i < whole.size() ? hex(whole[i]).c_str() : "end");
}

// --- Lobby script ---------------------------------------------------------

constexpr int kMaxSteps = 4096;
constexpr int kDrainRounds = 2;
// Clock time one "pass all" step lets pass first: one token at the default
// flood rate.
constexpr int64_t kPassAllStepMs = 40;

// The script's lobby paces floods as a server does by default, so that held
// back input is covered.
config::Settings script_settings(int rooms) {
  config::Settings settings = lobby_settings(rooms);
  const config::Settings defaults;
  settings.L_FLOOD_RATE = defaults.L_FLOOD_RATE;
  settings.L_FLOOD_BURST = defaults.L_FLOOD_BURST;
  return settings;
}

// Fields of the scripted messages: mostly the small ranges where clients
// meet (keys 1..4, seat counts and start sizes 0..10, room operations
// -3..4, direct targets 0..9 and the host), now and then a wild value.
constexpr uint8_t kWild = 0xF0;

std::string name_field(InputReader& in) {
  static const char* const kNames[] = {"a", "bob", "host", "", "sixteen_bytes_xx", "z"};
  const uint8_t b = in.byte();
  if (b >= kWild) return in.bytes(wire::kNameLen);
  if (b % 8 == 6) return std::string("ab\0xyz", 6);
  if (b % 8 == 7) return std::string(wire::kNameLen, '\xff');
  return kNames[b % 8];
}
int32_t key_field(InputReader& in) {
  const uint8_t b = in.byte();
  if (b < kWild) return 1 + b % 4;
  switch (b & 3) {
    case 0:
      return 0;
    case 1:
      return -1;
    case 2:
      return 0x7fffffff;
    default:
      return in.i32();
  }
}
int32_t count_field(InputReader& in) {
  const uint8_t b = in.byte();
  if (b < kWild) return b % 11;
  return (b & 1) ? 0xffff : in.u16();
}
int32_t room_op_field(InputReader& in) {
  const uint8_t b = in.byte();
  if (b < kWild) return b % 8 - 3;
  return in.i32();
}
int32_t target_field(InputReader& in) {
  const uint8_t b = in.byte();
  if (b < kWild) return b % 11 == 10 ? wire::kTargetHost : b % 11;
  return in.u16();
}
int32_t validation_field(InputReader& in) {
  const uint8_t b = in.byte();
  if (b < 0xC0) return 1;
  if (b < kWild) return b & 3;
  return in.i32();
}
std::string chat_text(InputReader& in) {
  const uint8_t b = in.byte();
  // Mostly lines that fit a send slot; now and then one that does not.
  const size_t n = b < kWild ? b % (wire::kMaxChatText + 1) : b;
  return in.bytes(n);
}

// Step codes: the low four bits of a step's first byte. Of a step that
// feeds a message, bit 6 repeats the message (a count byte follows the slot
// byte: 1 to 256 times), so that floods fit in short inputs; bit 7 asks for a
// pass of the fed slot right after the feed.
enum Step : uint8_t {
  kStepConnect = 0,
  kStepDisconnect,
  kStepEnter,
  kStepName,
  kStepValidation,
  kStepLogin,
  kStepKeepAlive,
  kStepRoomOp,
  kStepChat,
  kStepDirect,
  kStepRaw,
  kStepPassOne,
  kStepPassAll,
  kStepTick,
  kStepRoomOp2,
  kStepPassAll2,
};
constexpr uint8_t kStepPassAfter = 0x80;
constexpr uint8_t kStepRepeat = 0x40;

class ScriptRun {
 public:
  explicit ScriptRun(int rooms) : offline_(script_settings(rooms)) {}

  std::string run(InputReader& in) {
    for (int step = 0; step < kMaxSteps && !in.done(); ++step) {
      const uint8_t op = in.byte();
      std::string fault = run_step(op, in);
      if (fault.empty()) fault = collect();
      if (fault.empty()) fault = check_tables(offline_.lobby());
      if (!fault.empty()) return format("step %d (0x%02x): ", step, op) + fault;
    }
    // What is still queued in the rings is delivered and checked too; a
    // second lets held-back input go on.
    for (int round = 0; round < kDrainRounds; ++round) {
      advance_ms(1000);
      std::string fault = pass_all();
      if (fault.empty()) fault = collect();
      if (fault.empty()) fault = check_tables(offline_.lobby());
      if (!fault.empty()) return "final passes: " + fault;
    }
    return "";
  }

 private:
  // An open slot chosen by `b`, or kNone when none is open.
  int open_slot(uint8_t b) const {
    int open[lobby::kSlots];
    int n = 0;
    for (int s = 0; s < lobby::kSlots; ++s) {
      if (offline_.is_open(s)) open[n++] = s;
    }
    return n == 0 ? kNone : open[b % n];
  }

  std::string run_step(uint8_t op, InputReader& in) {
    // Every field is read before anything happens, so that a step decodes
    // the same whatever the lobby's state.
    const uint8_t code = op & 0x0F;
    const bool takes_slot =
        code != kStepConnect && code != kStepPassAll && code != kStepPassAll2 && code != kStepTick;
    const int slot = takes_slot ? open_slot(in.byte()) : kNone;
    const bool feeds = takes_slot && code != kStepDisconnect && code != kStepPassOne;
    const int repeat = feeds && (op & kStepRepeat) != 0 ? 1 + in.byte() : 1;
    std::string bytes;
    switch (code) {
      case kStepConnect: {
        const int placed = offline_.connect();
        if (placed != kNone) fed_[placed] = 0;
        return "";
      }
      case kStepDisconnect:
        if (slot != kNone) offline_.disconnect(slot);
        return "";
      case kStepEnter: {
        const int32_t id = in.byte();
        const std::string name = name_field(in);
        const int32_t key = key_field(in);
        const int32_t seats = count_field(in);
        bytes = enter_messages(id, name, key, seats, count_field(in));
        break;
      }
      case kStepName: {
        const int32_t id = in.byte();
        bytes = client::encode_name(id, name_field(in));
        break;
      }
      case kStepValidation:
        bytes = client::encode_validation(validation_field(in));
        break;
      case kStepLogin: {
        const int32_t id = in.byte();
        const int32_t key = key_field(in);
        const int32_t seats = count_field(in);
        bytes = client::encode_login(id, key, seats, count_field(in));
        break;
      }
      case kStepKeepAlive:
        bytes = client::encode_keep_alive();
        break;
      case kStepRoomOp:
      case kStepRoomOp2:
        bytes = client::encode_room_op(room_op_field(in));
        break;
      case kStepChat: {
        const int32_t value = in.byte();
        bytes = client::encode_chat(value, chat_text(in));
        break;
      }
      case kStepDirect: {
        const int32_t target = target_field(in);
        bytes = client::encode_direct(target, in.i32());
        break;
      }
      case kStepRaw:
        bytes = in.bytes(in.byte());
        break;
      case kStepPassOne:
        return slot == kNone ? "" : pass_one(slot);
      case kStepPassAll:
        return pass_all();
      case kStepPassAll2:
        advance_ms(kPassAllStepMs);
        return pass_all();
      case kStepTick: {
        const uint8_t b = in.byte();
        // Mostly a few seconds; now and then past the idle limit at once.
        const int seconds = b < kWild ? 1 + b % 8 : lobby::kIdleLimitSeconds + 1;
        for (int i = 0; i < seconds; ++i) {
          advance_ms(1000);
          offline_.tick();
        }
        return "";
      }
    }
    if (slot == kNone) return "";
    std::string fault;
    for (int i = 0; i < repeat && fault.empty() && offline_.is_open(slot); ++i) {
      fault = feed(slot, bytes);
    }
    if (fault.empty() && (op & kStepPassAfter) != 0) fault = pass_one(slot);
    return fault;
  }

  void advance_ms(int64_t ms) { offline_.set_time_ms(offline_.time_ms() + ms); }

  // A pass receives at most 1023 bytes: a feed that would make more wait
  // runs the slot's pass first, as a worker woken by the input would. What
  // a pass does not receive (a client that flood pacing holds back is not
  // read) waits in the in-memory kernel.
  std::string feed(int slot, const std::string& bytes) {
    if (fed_[slot] + static_cast<int>(bytes.size()) > kChunkLimit) {
      std::string fault = pass_one(slot);
      if (!fault.empty() || !offline_.is_open(slot)) return fault;
    }
    offline_.feed(slot, bytes);
    fed_[slot] += static_cast<int>(bytes.size());
    return "";
  }

  // Held back, a client may leave its ring full; otherwise a pass leaves at
  // most one incomplete message.
  std::string pass_one(int slot) {
    fed_[slot] = 0;
    if (!offline_.pass(slot) || offline_.lobby().slots[slot].input_held()) return "";
    const int left = offline_.lobby().slots[slot].received();
    if (left >= kLongestClientMessage) {
      return format("slot %d: a pass left %d bytes in the ring", slot, left);
    }
    return "";
  }

  std::string pass_all() {
    for (int s = 0; s < lobby::kSlots; ++s) {
      if (!offline_.is_open(s)) continue;
      std::string fault = pass_one(s);
      if (!fault.empty()) return fault;
    }
    return "";
  }

  // Every slot's queued output, open or just dropped, parsed strictly.
  std::string collect() {
    for (int s = 0; s < lobby::kSlots; ++s) {
      std::string fault =
          check_client_output(offline_.take_output(s), offline_.lobby().room_limit(), nullptr);
      if (!fault.empty()) return format("output of slot %d: ", s) + fault;
    }
    return "";
  }

  lobby::OfflineLobby offline_;
  int fed_[lobby::kSlots] = {};  // bytes fed to each slot since its last pass
};

}  // namespace

std::string hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string check_client_output(const std::string& stream, int room_limit,
                                std::vector<std::string>* messages) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
  // Sequences one pass always queues back to back: a seat list (seats 0, 1,
  // ... with at most one marked as the client's own) right before the game
  // start, and 2J 1 right after 2M. A full send queue refuses the rest of a
  // pass, so a sequence may only be cut at the end of the stream.
  int next_seat = 0;
  bool self_seen = false;
  bool after_room_made = false;
  size_t at = 0;
  while (at < stream.size()) {
    const uint8_t* m = bytes + at;
    const size_t left = stream.size() - at;
    const std::string rest = hex(stream.substr(at, 24));
    if (left < static_cast<size_t>(wire::kLenHeader)) {
      return format("a stray byte at offset %zu: %s", at, rest.c_str());
    }
    if (m[0] != wire::kMsgMark) {
      return format("a message without its mark at offset %zu: %s", at, rest.c_str());
    }
    const wire::MessageKind* kind = wire::find_message(wire::Direction::kLobbyToClient, m[1]);
    if (kind == nullptr) return format("an unknown letter at offset %zu: %s", at, rest.c_str());
    if (left < static_cast<size_t>(wire::known_after(*kind))) {
      return format("a cut message head at offset %zu: %s", at, rest.c_str());
    }
    const size_t length =
        static_cast<size_t>(wire::whole_length(*kind, m[wire::known_after(*kind) - 1]));
    if (length > static_cast<size_t>(wire::kMaxChatLen)) {
      return format("a message of %zu bytes at offset %zu: %s", length, at, rest.c_str());
    }
    if (left < length) {
      return format("a message cut at %zu of %zu bytes at offset %zu: %s", left, length, at,
                    rest.c_str());
    }
    const std::string fault = check_fields(m, room_limit);
    if (!fault.empty()) {
      return format("%s at offset %zu: %s", fault.c_str(), at,
                    hex(stream.substr(at, length)).c_str());
    }
    const std::string order = check_order(m, &next_seat, &self_seen, &after_room_made);
    if (!order.empty()) {
      return format("%s at offset %zu: %s", order.c_str(), at,
                    hex(stream.substr(at, length)).c_str());
    }
    if (messages != nullptr) messages->push_back(stream.substr(at, length));
    at += length;
  }
  return "";
}

std::string check_tables(const lobby::Lobby& lobby) {
  using lobby::kSeats;
  using lobby::kSlots;
  auto is_open = [&](int s) { return lobby.slots[s].is_open(); };

  for (int g = 0; g < lobby::kGroupEntries; ++g) {
    const lobby::GroupEntry& entry = lobby.groups[g];
    const int32_t count = entry.count.load();
    if (entry.key == kNone) {
      if (count != 0) return format("free group entry %d counts %d", g, count);
      continue;
    }
    // Logins with keys below 1 are refused.
    if (entry.key < 1) return format("group entry %d holds key %d", g, entry.key);
    int members = 0;
    for (int s = 0; s < kSlots; ++s) {
      if (is_open(s) && lobby.slots[s].group_index == g) ++members;
    }
    if (count != members) {
      return format("group entry %d (key %d) counts %d, %d open clients are in it", g, entry.key,
                    count, members);
    }
    for (int h = g + 1; h < lobby::kGroupEntries; ++h) {
      if (lobby.groups[h].key == entry.key) {
        return format("group entries %d and %d both hold key %d", g, h, entry.key);
      }
    }
  }

  for (int s = 0; s < kSlots; ++s) {
    const lobby::ClientSlot& client = lobby.slots[s];
    const lobby::UserRecord& user = lobby.users[s];
    const int32_t key = user.group_key.load();
    const int32_t direct = user.direct_count.load();
    if (direct < 0 || direct > lobby::kDirectQueueSize) {
      return format("slot %d holds %d direct messages", s, direct);
    }
    if (!is_open(s)) {
      if (key != kNone || client.group_index != kNone) {
        return format("free slot %d keeps key %d, group entry %d", s, key, client.group_index);
      }
      if (user.room != kNone) return format("free slot %d keeps room %d", s, user.room);
      if (direct != 0) return format("free slot %d keeps %d direct messages", s, direct);
      continue;
    }
    if (key == kNone && client.group_index != kNone) {
      return format("slot %d has no key but group entry %d", s, client.group_index);
    }
    if (key != kNone) {
      if (client.group_index == kNone)
        return format("slot %d has key %d but no group entry", s, key);
      if (lobby.groups[client.group_index].key != key) {
        return format("slot %d has key %d but group entry %d holds key %d", s, key,
                      client.group_index, lobby.groups[client.group_index].key);
      }
    }
    if (user.room != kNone) {
      if (user.room < 0 || user.room >= lobby.room_limit()) {
        return format("slot %d names room %d", s, user.room);
      }
      // A record of the room's current generation is a seat held now.
      const lobby::RoomRecord& room = lobby.rooms[user.room];
      if (user.room_generation == room.generation &&
          (user.seat < 0 || user.seat >= kSeats || room.seat_slot[user.seat] != s)) {
        return format("slot %d holds seat %d of room %d, whose seat table disagrees", s, user.seat,
                      user.room);
      }
    }
  }

  int seats_held[kSlots] = {};
  int in_use = 0;
  for (int r = 0; r < lobby::kMaxRooms; ++r) {
    const lobby::RoomRecord& room = lobby.rooms[r];
    int occupied = 0;
    for (int i = 0; i < kSeats; ++i) {
      const int32_t s = room.seat_slot[i];
      if (s == kNone) continue;
      ++occupied;
      if (s < 0 || s >= kSlots) return format("room %d seat %d names slot %d", r, i, s);
      if (!is_open(s)) return format("room %d seat %d names free slot %d", r, i, s);
      if (seats_held[s]++ > 0) return format("slot %d holds more than one seat", s);
      const lobby::UserRecord& user = lobby.users[s];
      if (user.room != r || user.seat != i || user.room_generation != room.generation) {
        return format("room %d seat %d names slot %d, whose record says room %d seat %d", r, i, s,
                      user.room, user.seat);
      }
    }
    if (room.member_count != occupied) {
      return format("room %d counts %d members in %d seats", r, room.member_count, occupied);
    }
    if (room.group_key == 0) {
      if (room.started.load() != 0) return format("free room %d is started", r);
      continue;
    }
    if (room.group_key < 0) return format("room %d has key %d", r, room.group_key);
    ++in_use;
    if (r >= lobby.room_limit()) return format("room %d beyond the limit is in use", r);
    // The host's departure frees the room, so a room in use has its host.
    if (room.seat_slot[0] == kNone) return format("room %d is in use without a host", r);
  }
  if (lobby.rooms_in_use.load() != in_use) {
    return format("rooms_in_use says %d, %d rooms are in use", lobby.rooms_in_use.load(), in_use);
  }
  return "";
}

std::string run_client_stream(const uint8_t* data, size_t size) {
  // Byte 0: the setup; byte 1: how many bytes at the end of the input give
  // the chunk sizes (cycled; 0 stands for a whole receive); in between, the
  // client's bytes.
  StreamSetup setup;
  const uint8_t flags = size > 0 ? data[0] : 0;
  setup.login = (flags & 1) != 0;
  setup.host = (flags & 2) != 0;
  setup.host_start = 2 + ((flags >> 2) & 3);
  setup.rooms = lobby::kMaxRooms - ((flags >> 4) & 3);
  const size_t begin = size < 2 ? size : 2;
  const size_t table = size < 2 ? 0 : std::min<size_t>(1 + data[1] % 8, size - begin);
  const std::string body(reinterpret_cast<const char*>(data) + begin, size - begin - table);
  std::vector<int> chunks;
  for (size_t i = size - table; i < size; ++i)
    chunks.push_back(data[i] == 0 ? kChunkLimit : data[i]);
  if (chunks.empty()) chunks.push_back(kChunkLimit);

  const StreamRun cut = run_stream(setup, body, chunks);
  if (!cut.fault.empty()) return "fuzzed chunks: " + cut.fault;
  const StreamRun whole = run_stream(setup, body, {kChunkLimit});
  if (!whole.fault.empty()) return "whole receives: " + whole.fault;

  if (cut.overflowed || whole.overflowed) {
    // How much one pass queues depends on the chunking, so one run may lose
    // replies to a full send queue (and drop the client) where the other
    // does not. The replies before the loss must still agree.
    if (!is_prefix(cut.replies, whole.replies) && !is_prefix(whole.replies, cut.replies)) {
      return describe_difference(cut.replies, whole.replies);
    }
    return "";
  }
  if (cut.replies != whole.replies) return describe_difference(cut.replies, whole.replies);
  if (cut.open != whole.open) {
    return format("the client is %s after fuzzed chunks, %s after whole receives",
                  cut.open ? "open" : "dropped", whole.open ? "open" : "dropped");
  }
  if (cut.state != whole.state) {
    return "tables differ; fuzzed chunks:\n" + cut.state + "whole receives:\n" + whole.state;
  }
  return "";
}

std::string run_lobby_script(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const int rooms = 1 + in.byte() % lobby::kMaxRooms;
  ScriptRun script(rooms);
  return script.run(in);
}

namespace {

// One image, as given: refused (fine), or restored into a lobby of its own
// settings, where it must then be written again and read back to the same
// bytes, and serve every open slot without a fault.
std::string try_image(const std::string& image) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(image.data());
  lobby::ImageHead head;
  std::string error;
  if (lobby::read_image_head(bytes, image.size(), &head, &error) != 0) return "";
  const config::Settings& settings = head.settings;
  lobby::ImageLobby restored(settings);
  lobby::ProcessImage process;
  if (restored.restore(image, &process, &error) != 0) return "";
  // An image the reader took is one the writer could have written: as the
  // writer writes it again, it reads back unchanged.
  const std::string again = restored.image(process);
  lobby::ImageLobby second(settings);
  lobby::ProcessImage process_again;
  if (second.restore(again, &process_again, &error) != 0) {
    return "an image the reader took, written again, is refused: " + error;
  }
  if (second.image(process_again) != again) {
    return "an image the reader took, written again, does not read back the same";
  }
  // The restored lobby serves without a fault (the sanitizers watch): a
  // keep-alive and a chat line for every open slot, and passes over a few
  // seconds. What it sends is not judged: an image may carry any bytes in
  // its send queues.
  for (int round = 0; round < 3; ++round) {
    restored.clock().advance(700);
    for (int slot = 0; slot < lobby::kSlots; ++slot) {
      if (round == 0) {
        restored.feed(slot, client::encode_keep_alive() + client::encode_chat(0, "x"));
      }
      restored.pass(slot);
      restored.take_output(slot);
    }
  }
  return "";
}

}  // namespace

std::string run_state_image(const uint8_t* data, size_t size) {
  const std::string given(reinterpret_cast<const char*>(data), size);
  std::string fault = try_image(given);
  if (!fault.empty() || given.size() < lobby::kImageHeaderBytes) return fault;
  std::string image = given;
  // The same bytes with the length and checksum made right, so that the
  // fuzzer's changes reach the fields and not only the checksum.
  const uint32_t length = static_cast<uint32_t>(image.size() - lobby::kImageHeaderBytes);
  const uint32_t crc = lobby::image_crc32(
      reinterpret_cast<const uint8_t*>(image.data()) + lobby::kImageHeaderBytes, length);
  for (int i = 0; i < 4; ++i) {
    image[12 + static_cast<size_t>(i)] = static_cast<char>(length >> (8 * i));
    image[16 + static_cast<size_t>(i)] = static_cast<char>(crc >> (8 * i));
  }
  return image == given ? "" : try_image(image);
}

std::string run_proxy_header(const uint8_t* data, size_t size) {
  // Past the longest header, more bytes can change nothing.
  const int length = static_cast<int>(
      size < net::kProxyHeaderMaxBytes + 64 ? size : net::kProxyHeaderMaxBytes + 64);
  net::ProxyHeader whole;
  const int last = net::read_proxy_header(data, length, &whole);
  if (last != net::kProxyComplete && last != net::kProxyIncomplete && last != net::kProxyBad) {
    return format("result %d", last);
  }
  if (last == net::kProxyComplete) {
    const int most = whole.version == 1 ? net::kProxyV1MaxBytes : net::kProxyHeaderMaxBytes;
    if ((whole.version != 1 && whole.version != 2) || whole.length < 1 || whole.length > length ||
        whole.length > most) {
      return format("version %d header of %d bytes in %d", whole.version, whole.length, length);
    }
    if (whole.version == 1 && (data[whole.length - 2] != '\r' || data[whole.length - 1] != '\n')) {
      return format("version 1 header of %d bytes not ending its line", whole.length);
    }
    if (whole.family == net::ProxyFamily::kInet4 &&
        (!whole.source.is_v4() || !whole.destination.is_v4())) {
      return format("an IPv4 header with an IPv6 address");
    }
    if (whole.command == net::ProxyCommand::kLocal && whole.family != net::ProxyFamily::kUnspec) {
      return format("a LOCAL header with a family");
    }
  }
  // Read after every byte, as a header that comes a byte at a time is.
  bool bad_seen = false;
  for (int n = 0; n <= length; ++n) {
    net::ProxyHeader h;
    const int rc = net::read_proxy_header(data, n, &h);
    if (bad_seen && rc != net::kProxyBad) return format("bad at fewer bytes, %d after %d", rc, n);
    if (rc == net::kProxyBad) {
      if (last != net::kProxyBad) return format("bad at %d bytes, %d at %d", n, last, length);
      bad_seen = true;
      continue;
    }
    if (last == net::kProxyComplete) {
      const bool should = n >= whole.length;
      if (should != (rc == net::kProxyComplete)) {
        return format("%d at %d bytes of a %d-byte header", rc, n, whole.length);
      }
      if (should &&
          (h.length != whole.length || h.family != whole.family || h.command != whole.command ||
           !(h.source == whole.source) || h.source_port != whole.source_port)) {
        return format("a header read at %d bytes differs from the one read at %d", n, length);
      }
    } else if (rc != net::kProxyIncomplete) {
      return format("%d at %d bytes, %d at %d", rc, n, last, length);
    }
  }
  return "";
}

}  // namespace fuzz
