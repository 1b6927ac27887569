// The lobby's shared tables: one record per client slot, the room table,
// the group table, the two broadcast rings and the three locks that divide
// them. Everything is sized by the constants below and allocated once.
//
// Lock order: lock_rooms, then lock_chat. lock_groups is never held with
// another lock. The leaf locks (a user's name_lock, a connection's
// send_lock, a drop request's lock, the event log's) may be taken under
// any of them, and nothing is taken under a leaf lock. All are plain
// mutexes: no path takes a lock it already holds. Where Clang's analysis
// can name the lock, the field says GUARDED_BY and the functions that
// need it REQUIRES; the rest say in words what protects them.
#ifndef LOBBY_LOBBY_STATE_H_
#define LOBBY_LOBBY_STATE_H_

#include <array>
#include <atomic>
#include <cstdint>

#include "config/deny_list.h"
#include "config/live_settings.h"
#include "config/settings.h"
#include "lobby/auto_ban.h"
#include "lobby/ban_table.h"
#include "lobby/chat_pace.h"
#include "lobby/drop_request.h"
#include "lobby/flood_pacing.h"
#include "lobby/lobby_events.h"
#include "net/connection.h"
#include "net/ip_address.h"
#include "platform/annotated_mutex.h"
#include "platform/wake_up.h"
#include "upstream/upstream_link.h"
#include "wire/protocol.h"

namespace lobby {

constexpr int32_t kNone = -1;  // no slot, room, seat, entry or key
constexpr int kSlots = 32;
constexpr int kSlotsPerWorker = 8;
constexpr int kMaxRooms = config::kMaxRooms;
constexpr int kSeats = 8;
constexpr int kGroupEntries = 512;
constexpr int kNoticeRingSize = 1024;
constexpr int kNoticeRingMask = kNoticeRingSize - 1;
constexpr int kNoticeBytes = wire::kLenRoomEntry;  // the longest notice, 22
constexpr int kChatRingSize = 1024;
constexpr int kChatRingMask = kChatRingSize - 1;
constexpr int kChatEntryBytes = 120;
constexpr int kDirectQueueSize = 256;
constexpr int kDirectQueueMask = kDirectQueueSize - 1;
constexpr int kTitleBytes = 20;
// A logged-in client is dropped as idle once more than this has passed
// since its last complete message.
constexpr int kIdleLimitSeconds = 60;
constexpr int64_t kIdleLimitMs = kIdleLimitSeconds * int64_t{1000};
// Send slots the direct-message drain leaves free for the rest of a pass
// (one notice, one group count) and for seat-vacated notices from others.
constexpr int kSendReserve = 8;

// A connection that has gone this long without an accepted login may give
// its slot to a newcomer when every slot is taken. Game clients log in
// within a round trip of connecting.
constexpr int64_t kDisplaceAfterMs = 1000;
// A newcomer waits at most this long for a displaced connection's slot.
constexpr int64_t kDisplaceHoldMs = 1000;
// A newcomer that finds every slot taken, one of them by a client that has
// closed its end or is being dropped, waits at most this long for that
// slot instead of being turned away: a player who reconnects at once finds
// his own slot not yet given back.
constexpr int64_t kReclaimWaitMs = 50;
// However many lurkers an address or network holds, none is due before it
// has lurked this long (L_LURK's least).
constexpr int64_t kLurkFloorMs = config::kLurkMin * int64_t{1000};
// What one flush can add to a socket's kernel buffer beyond its limit (a
// batch of send slots, with the kernel's bookkeeping), left out of the
// size asked of the kernel for L_SEND_BUFFER.
constexpr int32_t kSendBufferSlack = 4096;
static_assert(kSendBufferSlack >= 2 * net::kFlushBatch * net::kSendSlotBytes);
static_assert(config::kSendBufferMin > kSendBufferSlack);
// Room for the running counts of format_drop_counts.
constexpr int kDropCountsBytes = 320;

// Why a new connection got no slot; counted and written to the event log.
enum RefusalReason : int {
  kRefusedFull = 0,
  kRefusedPerAddress,
  kRefusedDenied,
  kRefusedDraining,
  kRefusedPerNetwork,
  kRefusedTooFast,
  // A connection from a trusted proxy whose PROXY header is invalid, or
  // not whole within kProxyHeaderWaitMs.
  kRefusedBadProxyHeader,
  kRefusalReasons,
};
const char* refusal_reason_text(int reason);
// Whether a count of refusals for `reason` is shown (status, the event
// log's counts): "bad proxy header" only while proxies are trusted
// (`proxies`, L_PROXY's entries) or once it has happened, so that a lobby
// without proxies reports exactly the reasons it always did.
bool refusal_shown(int reason, int64_t count, int32_t proxies);

// Why a login was refused; written to the event log.
enum LoginRefusal : int {
  kLoginKeyNotPositive = 0,
  kLoginNotValidated,
  kLoginRefusals,
};
const char* login_refusal_text(int reason);

// What the lobby counts from its start, for the operator: each counter
// only ever grows.
enum Counter : int {
  kCountConnections = 0,  // connections given a slot; the last connection id
  kCountLoginsAccepted,
  kCountLoginsRefused,
  kCountChatReceived,   // chat lines from clients
  kCountChatDelivered,  // chat lines sent to clients, one per receiver
  kCountDirect,         // direct messages from clients
  kCountRoomsCreated,
  kCountGamesStarted,
  kCountBytesReceived,  // from clients, slotted or refused
  kCountBytesSent,      // to clients, 2A of a refusal included
  kCounters,
};
// The counter's name in the status reply ("logins_accepted").
const char* counter_text(int counter);

// One per slot. Written by the slot's worker thread, except the
// DirectQueue (pushed by other slots' threads) and as noted.
struct UserRecord {
  // A leaf lock: nothing else is taken while it is held.
  mutable platform::Mutex name_lock;
  // Written by the slot's thread (and by the accept thread while the slot
  // is free), read by the slot's thread and by others.
  uint8_t name[wire::kNameLen + 1] GUARDED_BY(name_lock) = {};
  // The name as its slot's own thread reads it: the only writer while the
  // slot is open needs no lock to read what it wrote, which the analysis
  // cannot know. Worker thread of the slot only.
  const uint8_t* own_name() const NO_THREAD_SAFETY_ANALYSIS { return name; }
  // Written under lock_rooms, only by the slot's own thread, which reads
  // them without the lock; every other thread reads them under it.
  int32_t seat = kNone;
  int32_t room = kNone;
  // The room's generation when this user took its seat. A room that was
  // freed since has a newer one, and the user's record of it is stale.
  uint32_t room_generation = 0;
  // The DirectQueue. Guarded by lock_chat (every function that touches it
  // takes the lock); the owner's pump may test direct_count without it,
  // hence the atomic.
  int32_t direct_write = 0;
  std::atomic<int32_t> direct_count{0};
  int32_t direct_read = 0;
  std::array<int32_t, kDirectQueueSize> direct_value{};
  std::array<int32_t, kDirectQueueSize> direct_from{};
  // Seats of this user's room whose seat-vacated message could not go
  // straight into its nearly full send queue, one bit a seat. Set by other
  // slots' room handlers and taken by the owner's pass, both under
  // lock_chat; the owner may test it without the lock, hence the atomic.
  std::atomic<uint32_t> vacated_seats{0};
  // Atomic: written by the slot's thread, read by the room handlers of
  // others and by the admin snapshot.
  std::atomic<int32_t> group_key{kNone};
  // Worker thread of the slot only.
  int32_t seat_count = 0;  // 0..65535 as sent; every use bounds it to kSeats
  int32_t start_size = 0;
};

// Guarded by lock_rooms (the table is GUARDED_BY it), except `started`,
// which pumps may test without it through Lobby::room_started.
struct RoomRecord {
  uint8_t title[kTitleBytes] = {'N', 'U', 'L', 'L', 0};
  int32_t member_count = 0;
  std::atomic<int32_t> started{0};
  int32_t group_key = 0;  // 0: the room is free
  int32_t start_size = 0;
  int32_t seat_slot[kSeats] = {kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone};
  int32_t roster_slot[kSeats] = {kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone};
  uint8_t seat_name[kSeats][wire::kNameLen] = {};
  // Advanced whenever the room is created or freed; see UserRecord.
  uint32_t generation = 0;
};

// `key` guarded by lock_groups (the table is GUARDED_BY it); `count`
// written under lock_groups and read by the pumps without it, through
// Lobby::group_count.
struct GroupEntry {
  int32_t key = kNone;
  std::atomic<int32_t> count{0};
};

// Room notices for a group. Written under lock_rooms; the writer fills the
// entry, then publishes the head with a release store. Readers compare
// their own index with an acquire load of the head, without the lock
// (Lobby::notice_head), and copy an entry out and move their index under
// lock_rooms, so that a writer can see how far behind each reader is
// (ring_readers.h: no reader is ever lapped).
struct RoomNoticeRing {
  std::array<int32_t, kNoticeRingSize> notice_len{};
  std::array<int32_t, kNoticeRingSize> notice_key{};
  std::array<std::array<uint8_t, kNoticeBytes>, kNoticeRingSize> notice_bytes{};
  std::atomic<int32_t> notice_head{0};
};

// Whom a chat line is for. A client's line names its target (kTarget); the
// operator's may also go to every logged-in client outside games, or to
// one connection.
enum class ChatScope : uint8_t {
  kTarget,      // chat_target: a room's game (0 or more) or a negated group key
  kEveryone,    // every logged-in client outside games
  kConnection,  // the connection in slot chat_target whose serial is chat_generation
};

// Chat lines as received. Written under lock_chat, same discipline (the
// head read without the lock through Lobby::chat_head); entries are copied
// out and read indexes moved under lock_chat. With scope kTarget, a target
// of 0 or more is a room's game (valid for `chat_generation` of that room);
// a negative target is the negated group key of the sender.
struct ChatRing {
  std::array<ChatScope, kChatRingSize> chat_scope{};
  std::array<int32_t, kChatRingSize> chat_target{};
  std::array<uint32_t, kChatRingSize> chat_generation{};
  std::array<int32_t, kChatRingSize> chat_len{};
  std::array<std::array<uint8_t, kChatEntryBytes>, kChatRingSize> chat_bytes{};
  std::atomic<int32_t> chat_head{0};
};

// A client slot: the connection plus the lobby's per-client fields.
// Worker thread of the slot only, except as noted.
class ClientSlot : public net::Connection {
 public:
  ClientSlot() = default;

  int32_t last_group_count = 0;
  int32_t group_index = kNone;
  int32_t validation = 0;
  // Atomic: written by the slot's thread, read by the admin snapshot.
  std::atomic<int32_t> user_id{kNone};
  // Read indexes of the two rings. Written by the slot's thread (the
  // accept thread while the slot is free) under the ring's lock, lock_rooms
  // for notice_read and lock_chat for chat_read; read by the slot's thread
  // without it, and by writers under it.
  int32_t notice_read = 0;
  int32_t game_room = kNone;
  uint32_t game_generation = 0;  // generation of game_room when the game started
  int32_t chat_read = 0;
  int32_t slot = 0;
  // The server clock when the worker's pass over this slot began: the time
  // of whatever the pass does, a drop included.
  int64_t pass_ms = 0;

  // When a writer first found this reader too far behind in the notice
  // ring (guarded by lock_rooms) and in the chat ring (guarded by
  // lock_chat): -1 once the reader has moved since.
  int64_t notice_stall_ms = -1;
  int64_t chat_stall_ms = -1;
  // Asked to go as not reading: writers no longer wait for it. Atomic: set
  // by writers under a ring's lock, cleared by the accept thread while the
  // slot is free.
  std::atomic<bool> ring_released{false};

  // What holds the client's input back besides its own flood pacing: a
  // chat line waiting for its address's next chat token, or a message
  // waiting for room in a ring. Like a flood hold, it leaves the socket
  // unread until `line_hold_until_ms` (a worker may come earlier, when a
  // reader moves on). Worker thread of the slot only; the hold itself is
  // atomic for other threads' looks.
  enum class LineHold : uint8_t { kFree, kChatPace, kChatRing, kNoticeRing };
  std::atomic<LineHold> line_hold{LineHold::kFree};
  int64_t line_hold_until_ms = -1;
  // Any thread: the client's input is left unread for now.
  bool input_held() const {
    return flood.held() || line_hold.load(std::memory_order_relaxed) != LineHold::kFree;
  }

  // The user id the upstream server was last told is online here: set with
  // each login notice, kNone again with the logout notice. Each new
  // upstream connection is told these ids, in slot order. Guarded by
  // lock_groups (user_id itself is the worker's alone); the analysis cannot
  // name the lobby's lock from here, so the functions that touch it say
  // REQUIRES(lobby.lock_groups) or take the lock themselves.
  int32_t announced_user_id = kNone;

  // Where the connection came from (address and port) and when it was
  // placed (the server clock's milliseconds). Written by the accept thread
  // while the slot is free, before attach opens it (state's release store
  // publishes them to the slot's worker); read by any thread while the slot
  // is open. Each is whole on its own (the address under its sequence
  // lock), but a reader that is not the slot's worker may find the slot
  // changing hands between its look at state and its read, and then gets
  // the next connection's values: every such reader tolerates that (a
  // count, a display, a drop request that names the connection's serial).
  net::AtomicIpAddress peer_address;
  std::atomic<int32_t> peer_port{0};
  std::atomic<int64_t> placed_ms{0};
  // The connection's socket, for the accept thread's look at whether its
  // client has closed its end. Atomic: set by the accept thread as it
  // places the connection, -1 again by the slot's worker before it closes
  // the socket (a look that read it just before may then find the number
  // reused by another descriptor, and wait for nothing: no harm).
  std::atomic<int> open_socket{-1};
  // The address is a trusted proxy's own (PeerInfo::proxy_itself): its
  // drops note no strike. Atomic: as peer_port.
  std::atomic<bool> proxy_itself{false};
  // The connection's id: 1 for the first connection given a slot, and one
  // more for each after it, never reused while the process runs, so that
  // an operator's kick cannot hit whoever took the slot since. Atomic: as
  // peer_port.
  std::atomic<int64_t> connection_id{0};
  // Clock milliseconds of the client's last complete message (its
  // placement before the first). Only whole messages count: part of one
  // waiting for its rest is no sign of life. Atomic: written by the slot's
  // worker (by the accept thread while the slot is free), read by the admin
  // snapshot.
  std::atomic<int64_t> last_message_ms{0};
  // Clock milliseconds of the client's last room operation, chat line or
  // direct message (its placement before the first): a logged-in client
  // outside every room that has done none of these for L_LURK seconds is a
  // lurker, whose slot a newcomer may take. Atomic: written by the slot's
  // worker (by the accept thread while the slot is free), read by the
  // accept thread.
  std::atomic<int64_t> active_ms{0};
  // True from the connection's first accepted login (validated, positive
  // key) until its drop; a later refused login does not clear it. Atomic:
  // written by the slot's worker, read by the accept thread and others.
  std::atomic<bool> login_accepted{false};
  // Drops asked of the slot's worker by other threads, by the serial of the
  // connection they are meant for. Any thread.
  DropRequest drop_request;

  // The generation of the live settings the connection's flood pacing was
  // set for. Worker thread of the slot (the accept thread while the slot
  // is free).
  uint32_t settings_generation = 0;

  // Flood pacing of the connection. Worker thread of the slot only (reset
  // by the accept thread while the slot is free); whether it holds the
  // client back may be asked by any thread.
  FloodPacing flood;
};

// Address, port and time of placement of a new connection.
struct PeerInfo {
  net::IpAddress addr;
  int32_t port = 0;
  int64_t placed_ms = 0;
  // The client's first bytes, read together with its proxy's header; they
  // go into the slot's receive ring. Null and 0 for none. They must last
  // until the connection is placed or refused.
  const uint8_t* first_bytes = nullptr;
  int first_length = 0;
  // `addr` is a trusted proxy's own, for a proxy that could not name its
  // client (PROXY UNKNOWN): the connection is counted by it as if it came
  // straight from the proxy, but its drops earn the proxy no automatic ban.
  bool proxy_itself = false;
};

// The whole lobby. Built once; the tables are prepared by the accept thread
// (or a test) before any connection is placed.
class Lobby {
 public:
  // `events` may be null for a lobby that reports nothing; `transport` null
  // for the socket layer (a test passes its in-memory one). Both must
  // outlive the lobby.
  Lobby(const config::Settings& settings, LobbyEvents* events, net::Transport* transport = nullptr);
  Lobby(const Lobby&) = delete;
  Lobby& operator=(const Lobby&) = delete;

  // Initial values of every table; before any slot is opened.
  void prepare_tables() EXCLUDES(lock_rooms, lock_chat, lock_groups);
  // Number of rooms (ROOM bounded to 0..4) and of served slots.
  int room_limit() const { return rooms_; }
  int served_slots() const { return rooms_ * kSlotsPerWorker; }

  // The settings as read at the start: the keys that need a restart are
  // read here. The keys a reload changes are read through `live`.
  const config::Settings settings;
  config::LiveSettings live;
  // Set at construction, never changed.
  LobbyEvents* const events;
  // Each slot's fields say what protects them.
  std::array<ClientSlot, kSlots> slots;
  std::array<UserRecord, kSlots> users;
  std::array<RoomRecord, kMaxRooms> rooms GUARDED_BY(lock_rooms);
  std::array<GroupEntry, kGroupEntries> groups GUARDED_BY(lock_groups);
  RoomNoticeRing notices GUARDED_BY(lock_rooms);
  ChatRing chat GUARDED_BY(lock_chat);
  // Its notices are queued, and its service pass and announcement run,
  // under lock_groups (see upstream_link.h); its state and counts are
  // atomics any thread may read, and its connection machinery is the
  // accept thread's, so the link as a whole is not GUARDED_BY the lock.
  upstream::UpstreamLink upstream;
  // The chat lines each address may send (L_CHAT_RATE, L_CHAT_BURST).
  ChatPace chat_pace;
  // Workers that serve a client waiting for room in a ring, one bit each:
  // a reader that moves on wakes them. Atomic: set under a ring's lock by
  // the waiting client's worker, cleared by that worker at the start of a
  // pass, read by readers after they moved.
  std::atomic<uint32_t> ring_waiters{0};

  // Lock order: lock_rooms before lock_chat; lock_groups alone.
  platform::Mutex lock_groups;
  platform::Mutex lock_chat;
  platform::Mutex lock_rooms ACQUIRED_BEFORE(lock_chat);

  // The atomics inside the guarded tables, for the readers that hold no
  // lock. The analysis guards a table as a whole and cannot tell these
  // fields from the rest of it; these four alone are exempt from it.
  const std::atomic<int32_t>& chat_head() const NO_THREAD_SAFETY_ANALYSIS { return chat.chat_head; }
  const std::atomic<int32_t>& notice_head() const NO_THREAD_SAFETY_ANALYSIS {
    return notices.notice_head;
  }
  const std::atomic<int32_t>& room_started(int room) const NO_THREAD_SAFETY_ANALYSIS {
    return rooms[room].started;
  }
  const std::atomic<int32_t>& group_count(int entry) const NO_THREAD_SAFETY_ANALYSIS {
    return groups[entry].count;
  }

  // Atomic: rooms whose group_key is not 0; changed under lock_rooms.
  std::atomic<int32_t> rooms_in_use{0};
  // Atomic: open slots; one more with each placement, one less with each
  // drop.
  std::atomic<int32_t> connected_count{0};
  // Atomic: drops by reason, and connections refused by reason.
  std::array<std::atomic<int64_t>, kDropReasons> drops{};
  std::array<std::atomic<int64_t>, kRefusalReasons> refusals{};
  // Atomic: the Counter values; any thread adds, with no order implied.
  std::array<std::atomic<int64_t>, kCounters> counters{};
  void count(int counter, int64_t n = 1) {
    counters[counter].fetch_add(n, std::memory_order_relaxed);
  }

  // Addresses whose connections are closed at once. Read from the file of
  // L_DENY by the accept thread; its own lock makes it safe from any thread.
  config::DenyList deny_list;
  // Strikes against addresses, and the automatic bans they make due: noted
  // by whoever drops a client, taken by the accept thread. Its own lock.
  AutoBan auto_bans;
  // The automatic bans in force, apart from the operator's deny list: put in
  // force by the accept thread, listed and lifted by the admin channel. Its
  // own lock.
  BanTable auto_ban_table;

  // Atomic: while the lobby drains, the clock's milliseconds at which the
  // process is asked to stop even with clients left; -1 when not draining.
  // Set by Server::start_drain, read by the accept thread and the snapshot.
  std::atomic<int64_t> drain_deadline_ms{-1};

  // Waking the threads. Whoever posts something that another client's pump
  // delivers (a ring entry, a direct message, a seat vacated, a group
  // count, a room start) wakes only the workers it concerns, after it has
  // published it and let go of every lobby lock. A worker that runs is not
  // woken but passes once more before it sleeps. Any thread.
  // Every worker: the stop, and a clock advanced by hand.
  void wake_workers() const;
  // Worker `k`.
  void wake_worker(int k) const { worker_wake[k].wake(); }
  // The worker that serves `slot`, unless it is `own_worker` (the
  // poster's, -1 for none): that one looks for pending work before it
  // sleeps again, so it serves its own clients without a wake-up.
  void wake_worker_of(int slot, int own_worker) const;
  // Every worker but `own_worker`.
  void wake_other_workers(int own_worker) const;
  // Every worker but `own_worker` that serves an open slot logged in
  // under `key`.
  void wake_workers_of_group(int32_t key, int own_worker) const;
  // The accept thread.
  void wake_accept() const { accept_wake.wake(); }
  // Whether the accept thread waits for drops: for a slot to come free for
  // a held newcomer, or for the last client of a drain to go. A drop wakes
  // it only then. Any thread; a dropper looks after it has closed the slot,
  // and after order_post.
  bool drops_awaited() const {
    return drops_awaited_.load(std::memory_order_relaxed) ||
           drain_deadline_ms.load(std::memory_order_acquire) >= 0;
  }
  // The accept thread, before it looks at the slots: from now on every drop
  // wakes it (`on`), or no longer. order_post orders the mark before that
  // look, as the dropper's orders its close before its look at the mark.
  void await_drops(bool on) {
    drops_awaited_.store(on, std::memory_order_relaxed);
    order_post();
  }
  // Orders a post (published before) against the group keys read after, a
  // login's key (stored before) against the rings read after, and a drop's
  // close against the accept thread's mark that it awaits drops: called on
  // both sides, one of the two sees the other (a read-modify-write of one
  // atomic, which every such call reads after the last). Any thread.
  void order_post() const;
  // The threads' wake-ups: each thread sleeps in a readiness wait over its
  // own and wakes from it. Without server threads (in tests) none is open,
  // and a wake only marks the state. Opened before the threads start.
  mutable std::array<platform::WakeUp, kMaxRooms> worker_wake;
  mutable platform::WakeUp accept_wake;

  // When each worker began the pass it is in (clock milliseconds), or -1
  // while it waits for work: a worker that waits is well, one in the same
  // pass for long is stuck. Atomic: written by the worker, read by the
  // thread that feeds the service manager's watchdog.
  std::array<std::atomic<int64_t>, kMaxRooms> worker_pass_started_ms{};
  // The worker that has been in one pass for more than `limit_ms` at
  // `now_ms` (the longest, when several have), with how long in
  // `*stuck_ms`; kNone when every worker is waiting or has begun its pass
  // within the limit. Any thread.
  int stuck_worker(int64_t now_ms, int64_t limit_ms, int64_t* stuck_ms) const;

  // "drops: peer closed N, bad framing N, idle N, not reading N, no login N,
  // displaced N, flooding N, kicked N, banned N; refused full N,
  // per-address limit N, denied N, draining N, per-network limit N,
  // connecting too fast N[, bad proxy header N]": every drop reason and
  // every refusal reason shown (refusal_shown), in their order, for the
  // event log. Any thread.
  void format_drop_counts(char* out, int size) const;

 private:
  int rooms_;
  // Atomic: written by the accept thread, read by droppers.
  std::atomic<bool> drops_awaited_{false};
  // Atomic: read-modify-written by order_post only.
  mutable std::atomic<uint32_t> post_order_{0};
};

}  // namespace lobby

#endif  // LOBBY_LOBBY_STATE_H_
