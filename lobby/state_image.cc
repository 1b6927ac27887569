#include "lobby/state_image.h"

#include <climits>
#include <cstring>
#include <memory>
#include <sstream>

#include "config/setting_keys.h"
#include "lobby/admission.h"
#include "lobby/ban_table.h"
#include "lobby/proxy_stage.h"
#include "lobby/server.h"
#include "net/listener.h"

namespace lobby {
namespace {

// A relative time farther than this from the image's moment is no time
// this lobby could have kept: the image is damaged.
constexpr int64_t kLongestSpanMs = int64_t{100} * 366 * 24 * 3600 * 1000;
// Largest counts a lobby holds, for the ranges the reader checks.
constexpr int64_t kMostTokens = int64_t{1} << 40;

uint32_t tag_of(const char name[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(name[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(name[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(name[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(name[3])) << 24;
}

void put_u32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_u32(const uint8_t* at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(at[i]) << (8 * i);
  return v;
}

// Copies fields out of the lobby into the image. Every visit function
// runs on it and on ImageReader; the two have the same verbs.
class ImageWriter {
 public:
  static constexpr bool kReading = false;

  ImageWriter(std::string* out, int64_t now_ms) : out_(out), now_ms_(now_ms) {}

  bool ok() const { return true; }
  // A rule the reader checks of what it read; the writer wrote what it has.
  void expect(bool, const char*) {}

  void begin_section(uint32_t tag) {
    put(tag);
    section_at_ = out_->size();
    put(uint32_t{0});
  }
  void end_section() {
    const uint32_t length = static_cast<uint32_t>(out_->size() - section_at_ - 4);
    uint8_t bytes[4];
    put_u32(bytes, length);
    out_->replace(section_at_, 4, reinterpret_cast<const char*>(bytes), 4);
  }

  void value(uint8_t& v) { out_->push_back(static_cast<char>(v)); }
  void value(bool& v) { out_->push_back(v ? 1 : 0); }
  void value(int32_t& v) { put(static_cast<uint32_t>(v)); }
  void value(uint32_t& v) { put(v); }
  void value(int64_t& v) { put64(static_cast<uint64_t>(v)); }
  void value(uint64_t& v) { put64(v); }
  void bytes(uint8_t* data, size_t n) { out_->append(reinterpret_cast<const char*>(data), n); }
  // A zero-terminated text of at most `size` - 1 bytes.
  void text(char* data, size_t size) {
    uint32_t n = static_cast<uint32_t>(strnlen(data, size - 1));
    put(n);
    out_->append(data, n);
  }
  void text(std::string& s, size_t most) {
    uint32_t n = static_cast<uint32_t>(s.size() < most ? s.size() : most);
    put(n);
    out_->append(s.data(), n);
  }
  // A time on the server clock, as its distance from now.
  void time(int64_t& t) { put64(static_cast<uint64_t>(t - now_ms_)); }
  // A time, or `none` (-1) for no time.
  void time_or_none(int64_t& t) {
    bool some = t != -1;
    value(some);
    if (some) time(t);
  }
  // A time kept in units of 1/`scale` ms (the connection rate's).
  void scaled_time(int64_t& t, int64_t scale) { put64(static_cast<uint64_t>(t - now_ms_ * scale)); }

 private:
  void put(uint32_t v) {
    uint8_t bytes[4];
    put_u32(bytes, v);
    out_->append(reinterpret_cast<const char*>(bytes), 4);
  }
  void put64(uint64_t v) {
    put(static_cast<uint32_t>(v));
    put(static_cast<uint32_t>(v >> 32));
  }

  std::string* out_;
  int64_t now_ms_;
  size_t section_at_ = 0;
};

// Copies fields from the image back into a lobby that has not started, and
// checks each against what the lobby could hold. The first fault stops
// everything: from then on every value reads as zero and ok() is false.
class ImageReader {
 public:
  static constexpr bool kReading = true;

  ImageReader(const uint8_t* data, size_t size, int64_t now_ms)
      : data_(data), end_(size), now_ms_(now_ms) {}

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  void fail(const std::string& why) {
    if (error_.empty()) error_ = "image damaged: " + why;
  }
  void expect(bool holds, const char* what) {
    if (!holds) fail(std::string(what) + " out of range in section " + section_);
  }

  void begin_section(uint32_t tag) {
    char name[5];
    for (int i = 0; i < 4; ++i) name[i] = static_cast<char>(tag >> (8 * i));
    name[4] = '\0';
    std::memcpy(section_, name, sizeof section_);
    uint32_t found = 0;
    value(found);
    uint32_t length = 0;
    value(length);
    if (!ok()) return;
    if (found != tag) {
      fail(std::string("section ") + name + " missing");
      return;
    }
    if (length > end_ - at_) {
      fail(std::string("section ") + name + " cut short");
      return;
    }
    section_end_ = at_ + length;
    limit_ = section_end_;
  }
  void end_section() {
    if (ok() && at_ != section_end_) fail(std::string("section ") + section_ + " too long");
    limit_ = end_;
  }
  // After the last section: nothing may follow it.
  void finish() {
    if (ok() && at_ != end_) fail("bytes after the last section");
  }

  void value(uint8_t& v) { v = take(1) ? data_[at_ - 1] : 0; }
  void value(bool& v) {
    uint8_t b = 0;
    value(b);
    expect(b <= 1, "a flag");
    v = b == 1;
  }
  void value(int32_t& v) { v = static_cast<int32_t>(get()); }
  void value(uint32_t& v) { v = get(); }
  void value(int64_t& v) { v = static_cast<int64_t>(get64()); }
  void value(uint64_t& v) { v = get64(); }
  void bytes(uint8_t* data, size_t n) {
    if (take(n)) {
      std::memcpy(data, data_ + at_ - n, n);
    } else {
      std::memset(data, 0, n);
    }
  }
  void text(char* data, size_t size) {
    const uint32_t n = get();
    expect(n < size, "a text's length");
    if (!ok() || !take(n)) {
      data[0] = '\0';
      return;
    }
    std::memcpy(data, data_ + at_ - n, n);
    data[n] = '\0';
  }
  void text(std::string& s, size_t most) {
    const uint32_t n = get();
    expect(n <= most, "a text's length");
    s.clear();
    if (ok() && take(n)) s.assign(reinterpret_cast<const char*>(data_ + at_ - n), n);
  }
  void time(int64_t& t) {
    const int64_t distance = static_cast<int64_t>(get64());
    expect(distance >= -kLongestSpanMs && distance <= kLongestSpanMs, "a time");
    t = ok() ? now_ms_ + distance : 0;
  }
  void time_or_none(int64_t& t) {
    bool some = false;
    value(some);
    if (some) {
      time(t);
    } else {
      t = -1;
    }
  }
  void scaled_time(int64_t& t, int64_t scale) {
    const int64_t distance = static_cast<int64_t>(get64());
    expect(distance >= -kLongestSpanMs * scale && distance <= kLongestSpanMs * scale, "a time");
    t = ok() ? now_ms_ * scale + distance : 0;
  }

 private:
  bool take(size_t n) {
    if (!ok()) return false;
    if (n > limit_ - at_) {
      fail(std::string("section ") + section_ + " cut short");
      return false;
    }
    at_ += n;
    return true;
  }
  uint32_t get() { return take(4) ? get_u32(data_ + at_ - 4) : 0; }
  uint64_t get64() {
    const uint64_t low = get();
    return low | static_cast<uint64_t>(get()) << 32;
  }

  const uint8_t* data_;
  size_t at_ = 0;
  size_t end_;
  size_t limit_ = end_;
  size_t section_end_ = 0;
  int64_t now_ms_;
  char section_[5] = "";
  std::string error_;
};

// Values held in atomics and enums, through the verbs above.
template <class Io, class T>
void atom(Io& io, std::atomic<T>& a) {
  T v = a.load(std::memory_order_relaxed);
  io.value(v);
  if (Io::kReading) a.store(v, std::memory_order_relaxed);
}
template <class Io>
void atom_time(Io& io, std::atomic<int64_t>& a) {
  int64_t v = a.load(std::memory_order_relaxed);
  io.time(v);
  if (Io::kReading) a.store(v, std::memory_order_relaxed);
}
template <class Io, class E>
void enumeration(Io& io, E& e, int most, const char* what) {
  int32_t v = static_cast<int32_t>(e);
  io.value(v);
  io.expect(v >= 0 && v <= most, what);
  if (Io::kReading) e = io.ok() ? static_cast<E>(v) : static_cast<E>(0);
}
template <class Io, class E>
void atom_enumeration(Io& io, std::atomic<E>& a, int most, const char* what) {
  E e = a.load(std::memory_order_relaxed);
  enumeration(io, e, most, what);
  if (Io::kReading) a.store(e, std::memory_order_relaxed);
}
// A count of entries that follow: at most `most`.
template <class Io>
int32_t count_of(Io& io, int32_t n, int32_t most, const char* what) {
  io.value(n);
  io.expect(n >= 0 && n <= most, what);
  return io.ok() ? n : 0;
}
// An index of a table of `size`, or kNone.
template <class Io>
void index_or_none(Io& io, int32_t& v, int32_t size, const char* what) {
  io.value(v);
  io.expect(v == kNone || (v >= 0 && v < size), what);
}
// An array of numbers, its length first (which must match).
template <class Io, class T, size_t N>
void atom_array(Io& io, std::array<std::atomic<T>, N>& values, const char* what) {
  count_of(io, static_cast<int32_t>(N), static_cast<int32_t>(N), what);
  for (std::atomic<T>& v : values) atom(io, v);
}

// The entries of a table of `size` for which `used(i)` holds, in order: the
// writer names each by its index, the reader checks that the indexes rise,
// and `visit(i)` copies each. The others are left free.
template <class Io, class Used, class Visit>
void sparse(Io& io, int32_t size, Used used, Visit visit, const char* what) {
  int32_t n = 0;
  if (!Io::kReading) {
    for (int32_t i = 0; i < size; ++i) n += used(i) ? 1 : 0;
  }
  n = count_of(io, n, size, what);
  int32_t previous = -1;
  int32_t i = -1;
  for (int32_t k = 0; k < n && io.ok(); ++k) {
    if (!Io::kReading) {
      do {
        ++i;
      } while (!used(i));
    }
    int32_t at = i;
    io.value(at);
    io.expect(at > previous && at < size, what);
    if (!io.ok()) return;
    previous = at;
    i = at;
    visit(static_cast<size_t>(at));
  }
}

// A client's address, as its 16 bytes (an IPv4 one as ::ffff:a.b.c.d).
template <class Io>
void address(Io& io, net::IpAddress& a) {
  uint8_t bytes[net::IpAddress::kBytes];
  std::memcpy(bytes, a.bytes(), sizeof bytes);
  io.bytes(bytes, sizeof bytes);
  if (Io::kReading) a = net::IpAddress::from_bytes(bytes);
}
template <class Io>
void atom_address(Io& io, net::AtomicIpAddress& a) {
  net::IpAddress value = a.load();
  address(io, value);
  if (Io::kReading) a.store(value);
}

}  // namespace

// Every table of the lobby, in the image's order. The friend of the classes
// whose fields are their own.
struct ImageAccess {
  // What the visits read and write: the server (null while only the
  // settings are read), the process's part, and the settings in force.
  struct Context {
    Server* server;
    ProcessImage* process;
    config::Settings settings;
    int64_t written_at_ns;
  };

  template <class Io>
  static void settings(Io& io, Context& c) {
    config::Settings& s = c.settings;
    // Every key of the table, in its order, each by its kind.
    count_of(io, config::kSettingKeyCount, config::kSettingKeyCount, "the settings' keys");
    for (const config::SettingKey& key : config::kSettingKeys) {
      char* field = reinterpret_cast<char*>(&s) + key.offset;
      switch (key.kind) {
        case config::ValueKind::kNumber:
        case config::ValueKind::kRooms:
        case config::ValueKind::kLimit:
          io.value(s.*key.number);
          break;
        case config::ValueKind::kAddress:
        case config::ValueKind::kByteAddress:
          for (int i = 0; i < 4; ++i) io.value(reinterpret_cast<int32_t*>(field)[i]);
          break;
        case config::ValueKind::kName:
        case config::ValueKind::kWord:
        case config::ValueKind::kOptionalWord:
          io.text(field, key.size);
          break;
        case config::ValueKind::kProxyList: {
          config::ProxyList& list = s.L_PROXY;
          list.count = count_of(io, list.count, config::kProxyEntries, "L_PROXY");
          for (int i = 0; i < list.count && io.ok(); ++i) {
            address(io, list.entries[i].address);
            io.value(list.entries[i].bits);
            io.expect(list.entries[i].bits >= 0 && list.entries[i].bits <= 128, "L_PROXY");
          }
          break;
        }
      }
    }
    io.value(s.test_send_buffer);
    io.value(s.test_send_buffer_from);
    io.value(s.test_worker_wait_ms);
    io.value(s.test_upstream_seed);
    io.expect(s.ROOM >= 0 && s.ROOM <= config::kMaxRooms, "ROOM");
  }

  template <class Io>
  static void moment(Io& io, Context& c) {
    io.value(c.written_at_ns);
  }

  template <class Io>
  static void process(Io& io, Context& c) {
    ProcessImage& p = *c.process;
    io.value(p.pid);
    io.text(p.server_version, 64);
    io.text(p.commit, 64);
    io.value(p.serving_since_unix_s);
    io.time(p.serving_since_ms);
    io.value(p.upgrades);
    io.expect(p.upgrades >= 0, "the upgrade count");
    io.value(p.paused_at_ns);
    io.value(p.admin_listen_fd);
    io.expect(p.admin_listen_fd >= -1, "the admin socket");
    io.value(p.admin_identity[0]);
    io.value(p.admin_identity[1]);
    const int32_t n = count_of(io, static_cast<int32_t>(p.admin.size()), kImageAdminConnections,
                               "admin connections");
    if (Io::kReading) p.admin.resize(static_cast<size_t>(n));
    for (int32_t i = 0; i < n && io.ok(); ++i) {
      AdminConnectionImage& a = p.admin[static_cast<size_t>(i)];
      io.value(a.fd);
      io.expect(a.fd >= 0, "an admin connection");
      io.text(a.in, kImageAdminLineBytes);
      io.text(a.out, kImageAdminReplyBytes);
      io.value(a.input_ended);
      io.time(a.last_command_ms);
      io.value(a.awaits_upgrade);
    }
  }

  template <class Io>
  static void counts(Io& io, Context& c) {
    Lobby& lobby = c.server->lobby();
    atom(io, lobby.rooms_in_use);
    io.expect(lobby.rooms_in_use.load() >= 0 && lobby.rooms_in_use.load() <= kMaxRooms,
              "rooms in use");
    atom(io, lobby.connected_count);
    io.expect(lobby.connected_count.load() >= 0 && lobby.connected_count.load() <= kSlots,
              "the connected count");
    atom_array(io, lobby.drops, "the drop reasons");
    atom_array(io, lobby.refusals, "the refusal reasons");
    atom_array(io, lobby.counters, "the counters");
    int64_t drain = lobby.drain_deadline_ms.load();
    io.time_or_none(drain);
    if (Io::kReading) lobby.drain_deadline_ms.store(drain);
    atom(io, lobby.ring_waiters);
  }

  // The receive ring's unread bytes and the send queue's unsent messages of
  // a connection, each oldest first. Here and for a connection's sockets,
  // the connection fills a record that is written or read, and the
  // reader's record goes back into the connection.
  template <class Io>
  static void queues(Io& io, net::Connection& c) {
    net::QueueImage q;
    c.export_queues(&q);
    q.unread = count_of(io, q.unread, net::kRecvRingSize, "a receive ring's count");
    io.bytes(q.ring.data(), static_cast<size_t>(q.unread));
    const int32_t unsent = count_of(io, q.unsent, net::kSendSlots, "a send queue's count");
    io.value(q.send_offset);
    io.value(q.overflowed);
    io.value(q.blocked);
    io.value(q.send_error);
    for (int32_t i = 0; i < unsent && io.ok(); ++i) {
      io.value(q.send_len[i]);
      io.expect(q.send_len[i] >= 1 && q.send_len[i] <= net::kSendSlotBytes,
                "a queued message's length");
      if (!io.ok()) break;
      io.bytes(q.send_slot[i].data(), static_cast<size_t>(q.send_len[i]));
    }
    if (Io::kReading) {
      q.unsent = io.ok() ? unsent : 0;
      io.expect(
          q.send_offset == 0 || (unsent > 0 && q.send_offset > 0 && q.send_offset < q.send_len[0]),
          "a message's part sent");
      c.import_queues(q);
    }
  }

  template <class Io>
  static void flood(Io& io, FloodPacing& f) {
    io.value(f.rate_);
    io.expect(f.rate_ >= 0 && f.rate_ <= config::kFloodMax, "a flood rate");
    io.value(f.bucket_);
    io.expect(f.bucket_ >= 0 && f.bucket_ <= kMostTokens, "a flood bucket");
    io.value(f.tokens_);
    io.expect(f.tokens_ >= 0 && f.tokens_ <= f.bucket_, "flood tokens");
    io.time(f.refill_ms_);
    io.time_or_none(f.held_since_ms_);
    io.time_or_none(f.due_ms_);
    atom_enumeration(io, f.hold_, static_cast<int>(FloodPacing::Hold::kPaused), "a flood hold");
  }

  template <class Io>
  static void drop_request(Io& io, DropRequest& d) {
    platform::MutexLock guard(d.lock_);
    atom(io, d.serial_);
    io.value(d.reason_);
    io.expect(d.reason_ >= kNoDrop && d.reason_ < kDropReasons, "a drop request");
    io.value(d.voidable_);
    if (Io::kReading) d.pending_.store(d.reason_ != kNoDrop);
  }

  template <class Io>
  static void slots(Io& io, Context& c) {
    Lobby& lobby = c.server->lobby();
    count_of(io, kSlots, kSlots, "the slots");
    for (int i = 0; i < kSlots && io.ok(); ++i) {
      ClientSlot& client = lobby.slots[static_cast<size_t>(i)];
      UserRecord& user = lobby.users[static_cast<size_t>(i)];
      net::EndpointImage endpoint;
      client.export_endpoint(&endpoint);
      io.value(endpoint.state);
      const int32_t state = endpoint.state;
      io.expect(state == net::kStateClosed || state == net::kStateOpen, "a slot's state");
      io.value(endpoint.socket);
      io.expect(state == net::kStateOpen ? endpoint.socket >= 0 : endpoint.socket == -1,
                "a slot's socket");
      if (Io::kReading) client.import_endpoint(endpoint);
      // The accept thread's look at whether the client has closed its end.
      if (Io::kReading) client.open_socket.store(endpoint.socket);
      queues(io, client);
      io.value(client.last_group_count);
      index_or_none(io, client.group_index, kGroupEntries, "a group index");
      io.value(client.validation);
      atom(io, client.user_id);
      io.value(client.notice_read);
      io.expect(client.notice_read >= 0 && client.notice_read < kNoticeRingSize, "a notice index");
      index_or_none(io, client.game_room, kMaxRooms, "a game room");
      io.value(client.game_generation);
      io.value(client.chat_read);
      io.expect(client.chat_read >= 0 && client.chat_read < kChatRingSize, "a chat index");
      io.time_or_none(client.notice_stall_ms);
      io.time_or_none(client.chat_stall_ms);
      atom(io, client.ring_released);
      atom_enumeration(io, client.line_hold, static_cast<int>(ClientSlot::LineHold::kNoticeRing),
                       "a line hold");
      io.time_or_none(client.line_hold_until_ms);
      io.value(client.announced_user_id);
      atom_address(io, client.peer_address);
      atom(io, client.peer_port);
      atom(io, client.proxy_itself);
      atom_time(io, client.placed_ms);
      atom(io, client.connection_id);
      atom_time(io, client.last_message_ms);
      atom_time(io, client.active_ms);
      atom(io, client.login_accepted);
      drop_request(io, client.drop_request);
      flood(io, client.flood);

      {
        platform::MutexLock guard(user.name_lock);
        io.bytes(user.name, sizeof user.name);
        user.name[wire::kNameLen] = 0;
      }
      index_or_none(io, user.seat, kSeats, "a seat");
      index_or_none(io, user.room, kMaxRooms, "a room");
      io.value(user.room_generation);
      {
        platform::MutexLock guard(lobby.lock_chat);
        const int32_t waiting =
            count_of(io, user.direct_count.load(), kDirectQueueSize, "a direct queue's count");
        for (int32_t d = 0; d < waiting && io.ok(); ++d) {
          const int index = Io::kReading ? d : (user.direct_read + d) & kDirectQueueMask;
          io.value(user.direct_value[static_cast<size_t>(index)]);
          io.value(user.direct_from[static_cast<size_t>(index)]);
        }
        if (Io::kReading) {
          user.direct_read = 0;
          user.direct_write = waiting & kDirectQueueMask;
          user.direct_count.store(waiting);
        }
      }
      atom(io, user.vacated_seats);
      io.expect(user.vacated_seats.load() < (1u << kSeats), "vacated seats");
      atom(io, user.group_key);
      io.expect(user.group_key.load() == kNone || user.group_key.load() > 0, "a group key");
      io.value(user.seat_count);
      io.value(user.start_size);
      io.expect(user.seat_count >= 0 && user.seat_count <= 0xffff && user.start_size >= 0 &&
                    user.start_size <= 0xffff,
                "a login's sizes");
    }
  }

  template <class Io>
  static void rooms(Io& io, Context& c) {
    Lobby& lobby = c.server->lobby();
    platform::MutexLock guard(lobby.lock_rooms);
    count_of(io, kMaxRooms, kMaxRooms, "the rooms");
    for (RoomRecord& room : lobby.rooms) {
      io.bytes(room.title, sizeof room.title);
      io.value(room.member_count);
      io.expect(room.member_count >= 0 && room.member_count <= kSeats, "a member count");
      atom(io, room.started);
      io.expect(room.started.load() == 0 || room.started.load() == 1, "a room's start");
      io.value(room.group_key);
      io.expect(room.group_key >= 0, "a room's group key");
      io.value(room.start_size);
      io.expect(room.start_size >= 0 && room.start_size <= 0xffff, "a start size");
      for (int32_t& slot : room.seat_slot) index_or_none(io, slot, kSlots, "a seat's slot");
      for (int32_t& slot : room.roster_slot) index_or_none(io, slot, kSlots, "a roster's slot");
      for (auto& name : room.seat_name) io.bytes(name, sizeof name);
      io.value(room.generation);
    }
    // Notices for the groups, whole.
    int32_t head = lobby.notices.notice_head.load();
    io.value(head);
    io.expect(head >= 0 && head < kNoticeRingSize, "the notice ring's head");
    if (Io::kReading) lobby.notices.notice_head.store(io.ok() ? head : 0);
    count_of(io, kNoticeRingSize, kNoticeRingSize, "the notice ring");
    for (int i = 0; i < kNoticeRingSize && io.ok(); ++i) {
      int32_t& length = lobby.notices.notice_len[static_cast<size_t>(i)];
      io.value(length);
      io.expect(length >= 0 && length <= kNoticeBytes, "a notice's length");
      if (!io.ok()) break;
      io.value(lobby.notices.notice_key[static_cast<size_t>(i)]);
      io.bytes(lobby.notices.notice_bytes[static_cast<size_t>(i)].data(),
               static_cast<size_t>(length));
    }
  }

  template <class Io>
  static void chat(Io& io, Context& c) {
    Lobby& lobby = c.server->lobby();
    platform::MutexLock guard(lobby.lock_chat);
    int32_t head = lobby.chat.chat_head.load();
    io.value(head);
    io.expect(head >= 0 && head < kChatRingSize, "the chat ring's head");
    if (Io::kReading) lobby.chat.chat_head.store(io.ok() ? head : 0);
    count_of(io, kChatRingSize, kChatRingSize, "the chat ring");
    for (int i = 0; i < kChatRingSize && io.ok(); ++i) {
      const size_t e = static_cast<size_t>(i);
      int32_t& target = lobby.chat.chat_target[e];
      io.value(target);
      // A room's game, or the negated key of a group (keys are above 0).
      io.expect(target < kMaxRooms && target != INT32_MIN, "a chat line's target");
      io.value(lobby.chat.chat_generation[e]);
      int32_t& length = lobby.chat.chat_len[e];
      io.value(length);
      io.expect(length >= 0 && length <= kChatEntryBytes, "a chat line's length");
      if (!io.ok()) break;
      io.bytes(lobby.chat.chat_bytes[e].data(), static_cast<size_t>(length));
    }
  }

  template <class Io>
  static void groups(Io& io, Context& c) {
    Lobby& lobby = c.server->lobby();
    platform::MutexLock guard(lobby.lock_groups);
    // The lock is held for the whole walk; the analysis cannot follow it
    // into the lambdas.
    sparse(
        io, kGroupEntries,
        [&](int32_t i)
            NO_THREAD_SAFETY_ANALYSIS { return lobby.groups[static_cast<size_t>(i)].key != kNone; },
        [&](size_t i) NO_THREAD_SAFETY_ANALYSIS {
          GroupEntry& g = lobby.groups[i];
          io.value(g.key);
          io.expect(g.key > 0, "a group's key");
          atom(io, g.count);
          io.expect(g.count.load() >= 0 && g.count.load() <= kSlots, "a group's count");
        },
        "the groups in use");
  }

  template <class Io>
  static void chat_pace(Io& io, Context& c) {
    ChatPace& pace = c.server->lobby().chat_pace;
    platform::MutexLock guard(pace.lock_);
    io.value(pace.rate_);
    io.value(pace.burst_);
    io.value(pace.bucket_);
    io.expect(pace.rate_ >= 0 && pace.rate_ <= config::kChatPaceMax && pace.burst_ >= 0 &&
                  pace.burst_ <= config::kChatPaceMax && pace.bucket_ >= 0 &&
                  pace.bucket_ <= kMostTokens,
              "the chat pace");
    count_of(io, kChatPaceEntries, kChatPaceEntries, "the chat pace's buckets");
    for (ChatPace::Bucket& bucket : pace.buckets_) {
      io.value(bucket.used);
      io.value(bucket.key);
      io.value(bucket.tokens);
      io.expect(bucket.tokens >= 0 && bucket.tokens <= kMostTokens, "chat tokens");
      io.time(bucket.refill_ms);
    }
  }

  // A table's hash key: the places of its entries depend on it.
  template <class Io>
  static void hash_key(Io& io, KeyedHash& hash) {
    io.value(hash.k0_);
    io.value(hash.k1_);
  }

  template <class Io>
  static void strikes(Io& io, AutoBan::Strikes& st) {
    address(io, st.addr);
    io.time(st.base_ms);
    io.value(st.count);
    io.value(st.next);
    io.expect(st.count >= 0 && st.count <= kMaxStrikes && st.next >= 0 && st.next < kMaxStrikes,
              "an address's strikes");
    for (int32_t& after : st.after_ms) io.value(after);
    for (int8_t& reason : st.reason) {
      uint8_t r = static_cast<uint8_t>(reason);
      io.value(r);
      io.expect(r < kDropReasons, "a strike's reason");
      reason = static_cast<int8_t>(r);
    }
  }

  template <class Io>
  static void auto_bans(Io& io, Context& c) {
    AutoBan& bans = c.server->lobby().auto_bans;
    platform::MutexLock guard(bans.lock_);
    // The lock is held for the whole walk; the analysis cannot follow it
    // into the lambdas.
    sparse(
        io, kStrikeEntries,
        [&](int32_t i)
            NO_THREAD_SAFETY_ANALYSIS { return bans.keys_[static_cast<size_t>(i)] != 0; },
        [&](size_t i) NO_THREAD_SAFETY_ANALYSIS {
          io.value(bans.keys_[i]);
          io.expect(bans.keys_[i] != 0, "a strike entry's key");
          strikes(io, bans.entries_[i]);
        },
        "the strike entries");
    strikes(io, bans.shared_);
    io.value(bans.shared_strikes_);
    // The bans due that the accept thread has not taken yet, oldest first.
    const int32_t due = count_of(io, bans.due_count_, kDueBans, "the bans due");
    for (int32_t k = 0; k < due && io.ok(); ++k) {
      DueBan& d =
          bans.due_[static_cast<size_t>(Io::kReading ? k : (bans.due_read_ + k) % kDueBans)];
      address(io, d.addr);
      for (int32_t& n : d.strikes) io.value(n);
      io.value(d.shared);
    }
    if (Io::kReading) {
      bans.due_read_ = 0;
      bans.due_count_ = due;
    }

    // The automatic bans in force, with their table's index as it stands.
    BanTable& table = c.server->lobby().auto_ban_table;
    platform::MutexLock table_guard(table.lock_);
    hash_key(io, table.hash_);
    sparse(
        io, kAutoBans,
        [&](int32_t i) NO_THREAD_SAFETY_ANALYSIS {
          return table.entries_[static_cast<size_t>(i)].kind != BanTable::kFree;
        },
        [&](size_t i) NO_THREAD_SAFETY_ANALYSIS {
          BanTable::Entry& e = table.entries_[i];
          enumeration(io, e.kind, BanTable::kNetwork, "an automatic ban's kind");
          io.expect(e.kind != BanTable::kFree, "an automatic ban's kind");
          io.value(e.key);
          AutoBanRecord& ban = e.ban;
          address(io, ban.prefix.address);
          io.value(ban.prefix.bits);
          io.expect(ban.prefix.bits >= 0 && ban.prefix.bits <= 128, "an automatic ban's prefix");
          io.time(ban.until_ms);
          io.value(ban.since_utc_s);
          io.value(ban.until_utc_s);
          for (uint16_t& n : ban.strikes) {
            uint32_t wide = n;
            io.value(wide);
            io.expect(wide <= 0xffff, "an automatic ban's strikes");
            n = static_cast<uint16_t>(wide);
          }
          io.value(ban.addresses);
          io.value(ban.shared);
          io.value(ban.serial);
        },
        "the automatic bans");
    for (BanTable::IndexSlot& slot : table.index_) {
      uint32_t wide = slot;
      io.value(wide);
      io.expect(wide <= kAutoBans, "the automatic bans' index");
      slot = static_cast<BanTable::IndexSlot>(wide);
    }
    io.value(table.count_);
    io.expect(table.count_ >= 0 && table.count_ <= kAutoBans, "the automatic bans' count");
    io.value(table.serial_);
  }

  // What the deny list has read of its file and told of it.
  struct DenyState {
    config::DenyList::Signature seen;
    int32_t count = 0;
    std::array<config::DenyEntry, config::kDenyEntries> entries{};
    std::array<uint32_t, 32> noted_bad{};
    int32_t noted_bad_next = 0;
    bool unreadable_noted = false;
  };

  template <class Io>
  static void deny_list(Io& io, Context& c) {
    config::DenyList& deny = c.server->lobby().deny_list;
    platform::MutexLock file_guard(deny.file_lock_);
    static_assert(sizeof(DenyState::noted_bad) == sizeof deny.noted_bad_);
    // Read of another file than the one the lobby names now (a new
    // L_DENY), it is set aside: the lobby reads its own file afresh.
    char path[config::kPathBytes];
    std::memcpy(path, deny.path_, sizeof path);
    io.text(path, sizeof path);
    std::unique_ptr<DenyState> state(new DenyState());
    if (!Io::kReading) {
      platform::MutexLock guard(deny.lock_);
      state->seen = deny.seen_;
      state->count = deny.count_;
      state->entries = deny.entries_;
      std::memcpy(state->noted_bad.data(), deny.noted_bad_.data(), sizeof state->noted_bad);
      state->noted_bad_next = deny.noted_bad_next_;
      state->unreadable_noted = deny.unreadable_noted_;
    }
    io.value(state->seen.exists);
    io.value(state->seen.mtime_ns);
    io.value(state->seen.size);
    state->count = count_of(io, state->count, config::kDenyEntries, "the deny list");
    for (int32_t i = 0; i < state->count && io.ok(); ++i) {
      config::DenyEntry& e = state->entries[static_cast<size_t>(i)];
      address(io, e.prefix.address);
      io.value(e.prefix.bits);
      io.expect(e.prefix.bits >= 0 && e.prefix.bits <= e.prefix.address.bits(), "a ban's prefix");
      if (Io::kReading) e.prefix = net::IpPrefix::of(e.prefix.address, e.prefix.bits);
      io.value(e.until_s);
    }
    count_of(io, static_cast<int32_t>(state->noted_bad.size()),
             static_cast<int32_t>(state->noted_bad.size()), "the bad lines told");
    for (uint32_t& digest : state->noted_bad) io.value(digest);
    io.value(state->noted_bad_next);
    io.expect(state->noted_bad_next >= 0 &&
                  state->noted_bad_next < static_cast<int32_t>(state->noted_bad.size()),
              "the bad lines told");
    io.value(state->unreadable_noted);
    if (!Io::kReading || !io.ok() || std::strcmp(path, deny.path_) != 0) return;
    platform::MutexLock guard(deny.lock_);
    deny.seen_ = state->seen;
    deny.count_ = state->count;
    deny.entries_ = state->entries;
    std::memcpy(deny.noted_bad_.data(), state->noted_bad.data(), sizeof state->noted_bad);
    deny.noted_bad_next_ = state->noted_bad_next;
    deny.unreadable_noted_ = state->unreadable_noted;
  }

  template <class Io>
  static void upstream_link(Io& io, Context& c) {
    upstream::UpstreamLink& link = c.server->lobby().upstream;
    atom_enumeration(io, link.link_state_, static_cast<int>(upstream::LinkState::kDown),
                     "the upstream state");
    net::EndpointImage endpoint;
    link.export_endpoint(&endpoint);
    io.value(endpoint.state);
    io.value(endpoint.socket);
    const upstream::LinkState state = link.link_state_.load();
    const bool has_socket =
        state == upstream::LinkState::kConnecting || state == upstream::LinkState::kConnected;
    io.expect(has_socket ? endpoint.socket >= 0 : endpoint.socket == -1, "the upstream socket");
    io.expect(endpoint.state ==
                  (state == upstream::LinkState::kConnected ? net::kStateOpen : net::kStateClosed),
              "the upstream connection");
    io.text(endpoint.remote_host.data(), endpoint.remote_host.size());
    io.value(endpoint.remote_port);
    if (Io::kReading) link.import_endpoint(endpoint);
    queues(io, link);
    io.value(link.pending_loss_);
    io.expect(link.pending_loss_ >= upstream::kLossNone &&
                  link.pending_loss_ <= upstream::kLossNotReading,
              "an upstream loss");
    io.value(link.backoff_.base_ms_);
    io.expect(link.backoff_.base_ms_ >= upstream::kBackoffFirstMs &&
                  link.backoff_.base_ms_ <= upstream::kBackoffLongestMs,
              "the upstream backoff");
    // The jitter's generator, as the library writes it: one number.
    std::string engine;
    if (!Io::kReading) {
      std::ostringstream out;
      out << link.backoff_.rng_;
      engine = out.str();
    }
    io.text(engine, 32);
    if (Io::kReading && io.ok()) {
      std::istringstream in(engine);
      in >> link.backoff_.rng_;
      io.expect(!in.fail(), "the upstream jitter");
    }
    io.value(link.send_buffer_bytes_);
    io.value(link.started_);
    io.time_or_none(link.deadline_ms_);
    io.time(link.connected_ms_);
    io.value(link.last_loss_);
    io.expect(
        link.last_loss_ >= upstream::kLossNone && link.last_loss_ <= upstream::kLossNotReading,
        "an upstream loss");
    io.value(link.unreported_failures_);
    io.value(link.reported_failures_);
    io.value(link.failures_before_connect_);
    io.value(link.failures_since_up_);
    io.time_or_none(link.last_failure_report_ms_);
    atom(io, link.reconnects_);
    atom(io, link.losses_);
    atom(io, link.failed_attempts_);
  }

  template <class Io>
  static void door(Io& io, Context& c) {
    Server& s = *c.server;
    net::Listener& listener = *s.listener_;
    net::EndpointImage endpoint;
    listener.export_endpoint(&endpoint);
    io.value(endpoint.listen_socket);
    io.expect(endpoint.listen_socket >= -1, "the listener");
    io.value(endpoint.listen_state);
    if (Io::kReading) listener.import_endpoint(endpoint);
    io.value(s.listen_attempts_);
    io.expect(s.listen_attempts_ >= 0, "the listen attempts");
    io.time(s.next_listen_try_ms_);
    io.time(s.next_deny_look_ms_);
    io.time_or_none(s.last_accept_error_ms_);

    Admission& admission = *s.admission_;
    Admission::HeldNewcomer& held = admission.held_;
    io.value(held.socket);
    io.expect(held.socket >= -1, "the held newcomer");
    index_or_none(io, held.slot, kSlots, "the held newcomer's slot");
    io.expect(held.socket < 0 || held.slot != kNone, "the held newcomer's slot");
    io.time(held.deadline_ms);
    address(io, held.peer.addr);
    io.value(held.peer.port);
    io.time(held.peer.placed_ms);
    io.value(held.peer.proxy_itself);
    held.peer.first_length = count_of(io, held.peer.first_length, net::kProxyHeaderMaxBytes,
                                      "the held newcomer's first bytes");
    io.bytes(held.first_bytes, static_cast<size_t>(held.peer.first_length));
    if (Io::kReading) held.peer.first_bytes = held.first_bytes;

    ConnectionRate& rate = *admission.connection_rate_;
    io.value(rate.per_minute_);
    io.expect(rate.per_minute_ >= 0 && rate.per_minute_ <= config::kConnRateMax,
              "the connection rate");
    hash_key(io, rate.hash_);
    const int64_t scale = rate.per_minute_ > 0 ? rate.per_minute_ : 1;
    sparse(
        io, kRateEntries, [&](int32_t i) { return rate.entries_[static_cast<size_t>(i)].key != 0; },
        [&](size_t i) {
          ConnectionRate::Entry& e = rate.entries_[i];
          io.value(e.key);
          io.expect(e.key != 0, "a connection rate's key");
          io.scaled_time(e.full_at, scale);
        },
        "the connection rate's buckets");

    sparse(
        io, Admission::kLostLurkers,
        [&](int32_t i) { return admission.lost_lurkers_[static_cast<size_t>(i)].key != 0; },
        [&](size_t i) {
          Admission::LostLurker& lost = admission.lost_lurkers_[i];
          io.value(lost.key);
          io.expect(lost.key != 0, "a lost lurker's key");
          io.time(lost.at_ms);
        },
        "the lost lurkers");
    count_of(io, kSlots, kSlots, "the lurkers due");
    for (Admission::LurkDue& due : admission.lurk_due_) {
      io.value(due.serial);
      io.time_or_none(due.since);
    }
  }

  // The trusted proxies' connections still waiting for their headers, each
  // with what it has sent so far; the reader reads each header again.
  template <class Io>
  static void proxy_stage(Io& io, Context& c) {
    ProxyStage& stage = *c.server->proxy_stage_;
    int32_t waiting = 0;
    sparse(
        io, kProxyWaiting,
        [&](int32_t i) { return stage.entries_[static_cast<size_t>(i)].socket >= 0; },
        [&](size_t i) {
          ProxyStage::Waiting& e = stage.entries_[i];
          ++waiting;
          io.value(e.socket);
          io.expect(e.socket >= 0, "a waiting proxy connection");
          address(io, e.proxy);
          io.value(e.port);
          io.time(e.deadline_ms);
          io.value(e.whole);
          e.length = count_of(io, e.length, net::kProxyHeaderMaxBytes, "a proxy header's bytes");
          io.bytes(e.bytes, static_cast<size_t>(e.length));
          if (Io::kReading && io.ok()) {
            const int rc = net::read_proxy_header(e.bytes, e.length, &e.header);
            io.expect(e.whole ? rc == net::kProxyComplete : rc == net::kProxyIncomplete,
                      "a waiting proxy header");
          }
        },
        "the waiting proxy connections");
    if (Io::kReading) stage.waiting_ = waiting;
  }

  using WriteVisit = void (*)(ImageWriter&, Context&);
  using ReadVisit = void (*)(ImageReader&, Context&);
  struct Section {
    const char* tag;
    WriteVisit write;
    ReadVisit read;
  };
  // The image's order, one row a table. The settings and the moment of
  // writing come first: a new program reads them alone before it builds
  // its lobby.
  static const Section* sections(int* count) {
    static const Section kSections[] = {
        {"SETS", &settings<ImageWriter>, &settings<ImageReader>},
        {"WHEN", &moment<ImageWriter>, &moment<ImageReader>},
        {"PROC", &process<ImageWriter>, &process<ImageReader>},
        {"CNTS", &counts<ImageWriter>, &counts<ImageReader>},
        {"SLOT", &slots<ImageWriter>, &slots<ImageReader>},
        {"ROOM", &rooms<ImageWriter>, &rooms<ImageReader>},
        {"CHAT", &chat<ImageWriter>, &chat<ImageReader>},
        {"GRPS", &groups<ImageWriter>, &groups<ImageReader>},
        {"PACE", &chat_pace<ImageWriter>, &chat_pace<ImageReader>},
        {"BANS", &auto_bans<ImageWriter>, &auto_bans<ImageReader>},
        {"DENY", &deny_list<ImageWriter>, &deny_list<ImageReader>},
        {"LINK", &upstream_link<ImageWriter>, &upstream_link<ImageReader>},
        {"DOOR", &door<ImageWriter>, &door<ImageReader>},
        {"PRXY", &proxy_stage<ImageWriter>, &proxy_stage<ImageReader>},
    };
    *count = static_cast<int>(sizeof kSections / sizeof kSections[0]);
    return kSections;
  }

  // What a restored server needs besides its tables.
  static void finish_restore(Server& s) {
    Lobby& lobby = *s.lobby_;
    // Clients take the settings of the new program at their first pass,
    // as after a reload, and so does the upstream link.
    const uint32_t before = lobby.live.generation() - 1;
    for (ClientSlot& client : lobby.slots) client.settings_generation = before;
    s.settings_generation_ = before;
    s.restored_ = true;
  }

  static void fix_hash_keys(Server& s, uint64_t k0, uint64_t k1) {
    s.admission_->connection_rate_->hash_ = KeyedHash(k0, k1);
    BanTable& table = s.lobby().auto_ban_table;
    platform::MutexLock guard(table.lock_);
    table.hash_ = KeyedHash(k0 ^ 1, k1 ^ 1);
  }

  static void descriptors(Server& s, const ProcessImage& process, std::vector<int>* fds) {
    Lobby& lobby = *s.lobby_;
    for (const ClientSlot& client : lobby.slots) {
      if (client.is_open() && client.socket_fd() >= 0) {
        fds->push_back(client.socket_fd());
      }
    }
    if (s.admission_->held_.socket >= 0) fds->push_back(s.admission_->held_.socket);
    for (const ProxyStage::Waiting& e : s.proxy_stage_->entries_) {
      if (e.socket >= 0) fds->push_back(e.socket);
    }
    if (s.listener_->listening_socket() >= 0) fds->push_back(s.listener_->listening_socket());
    if (lobby.upstream.socket_fd() >= 0) fds->push_back(lobby.upstream.socket_fd());
    if (process.admin_listen_fd >= 0) fds->push_back(process.admin_listen_fd);
    for (const AdminConnectionImage& a : process.admin) fds->push_back(a.fd);
  }
};

namespace {

// Opens the frame: magic, version, length and checksum. The payload, or
// null with `*error`.
const uint8_t* open_frame(const uint8_t* bytes, size_t size, size_t* payload_size,
                          std::string* error) {
  if (size < kImageHeaderBytes || std::memcmp(bytes, kImageMagic, sizeof kImageMagic) != 0) {
    *error = "not a state image";
    return nullptr;
  }
  const uint32_t version = get_u32(bytes + kImageVersionOffset);
  if (version != kImageVersion) {
    *error = "image format " + std::to_string(version) + " not understood";
    return nullptr;
  }
  const uint32_t length = get_u32(bytes + 12);
  if (length != size - kImageHeaderBytes) {
    *error = "image damaged: " + std::to_string(size - kImageHeaderBytes) + " bytes where " +
             std::to_string(length) + " were written";
    return nullptr;
  }
  const uint8_t* payload = bytes + kImageHeaderBytes;
  if (image_crc32(payload, length) != get_u32(bytes + 16)) {
    *error = "image damaged: its checksum does not match";
    return nullptr;
  }
  *payload_size = length;
  return payload;
}

}  // namespace

uint32_t image_crc32(const uint8_t* bytes, size_t size) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ bytes[i]) & 0xff] ^ (crc >> 8);
  return crc ^ 0xffffffffu;
}

void write_state_image(Server& server, const ProcessImage& process, int64_t now_ms,
                       int64_t written_at_ns, std::string* out) {
  out->assign(kImageHeaderBytes, '\0');
  ProcessImage copy = process;
  ImageAccess::Context context{&server, &copy, server.lobby().live.current(), written_at_ns};
  ImageWriter writer(out, now_ms);
  int count = 0;
  const ImageAccess::Section* sections = ImageAccess::sections(&count);
  for (int i = 0; i < count; ++i) {
    writer.begin_section(tag_of(sections[i].tag));
    sections[i].write(writer, context);
    writer.end_section();
  }
  uint8_t* header = reinterpret_cast<uint8_t*>(out->data());
  std::memcpy(header, kImageMagic, sizeof kImageMagic);
  put_u32(header + kImageVersionOffset, kImageVersion);
  const size_t length = out->size() - kImageHeaderBytes;
  put_u32(header + 12, static_cast<uint32_t>(length));
  put_u32(header + 16, image_crc32(header + kImageHeaderBytes, length));
}

int read_image_head(const uint8_t* bytes, size_t size, ImageHead* head, std::string* error) {
  size_t length = 0;
  const uint8_t* payload = open_frame(bytes, size, &length, error);
  if (payload == nullptr) return -1;
  // The first two sections alone; the rest waits for a lobby built with
  // them.
  ImageReader reader(payload, length, 0);
  ImageAccess::Context context{nullptr, nullptr, config::Settings(), 0};
  reader.begin_section(tag_of("SETS"));
  ImageAccess::settings(reader, context);
  reader.end_section();
  reader.begin_section(tag_of("WHEN"));
  ImageAccess::moment(reader, context);
  reader.end_section();
  if (!reader.ok()) {
    *error = reader.error();
    return -1;
  }
  head->settings = context.settings;
  head->written_at_ns = context.written_at_ns;
  return 0;
}

int restore_state_image(const uint8_t* bytes, size_t size, Server* server, ProcessImage* process,
                        int64_t now_ms, std::string* error) {
  size_t length = 0;
  const uint8_t* payload = open_frame(bytes, size, &length, error);
  if (payload == nullptr) return -1;
  ImageReader reader(payload, length, now_ms);
  ImageAccess::Context context{server, process, config::Settings(), 0};
  int count = 0;
  const ImageAccess::Section* sections = ImageAccess::sections(&count);
  for (int i = 0; i < count && reader.ok(); ++i) {
    reader.begin_section(tag_of(sections[i].tag));
    sections[i].read(reader, context);
    reader.end_section();
    if (i > 0 || !reader.ok()) continue;
    // The tables are sized for the rooms the writer had.
    int32_t rooms = context.settings.ROOM;
    rooms = rooms < 0 ? 0 : rooms > kMaxRooms ? kMaxRooms : rooms;
    if (rooms != server->lobby().room_limit()) {
      reader.fail("it has " + std::to_string(rooms) + " rooms where the lobby has " +
                  std::to_string(server->lobby().room_limit()));
    }
  }
  reader.finish();
  if (!reader.ok()) {
    *error = reader.error();
    return -1;
  }
  ImageAccess::finish_restore(*server);
  return 0;
}

void fix_hash_keys(Server& server, uint64_t k0, uint64_t k1) {
  ImageAccess::fix_hash_keys(server, k0, k1);
}

void image_descriptors(Server& server, const ProcessImage& process, std::vector<int>* fds) {
  ImageAccess::descriptors(server, process, fds);
}

}  // namespace lobby
