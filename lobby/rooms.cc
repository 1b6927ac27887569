// The room operation 2L (create, join, leave the room, leave the game) and
// the leave-room routine shared with the drop path.
//
// Rooms are isolated across their lives: freeing a room empties every seat
// and advances its generation. A member left behind by a departing host
// keeps its record of the room, but with an older generation; nothing it
// does may act on, or reach, a room later created at the same index.
#include <cstring>

#include "lobby/after_lock.h"
#include "lobby/handlers.h"
#include "lobby/message_reader.h"
#include "lobby/ring_readers.h"

namespace lobby {
namespace {

int bounded_seats(const UserRecord& user) {
  return user.seat_count < kSeats ? user.seat_count : kSeats;
}

// True when the user holds a seat in the room its record names.
bool seated(const Lobby& lobby, const UserRecord& user) REQUIRES(lobby.lock_rooms) {
  return user.room != kNone && user.room_generation == lobby.rooms[user.room].generation;
}

void reply_room_result(ClientSlot& client, uint8_t result) {
  uint8_t out[wire::kLenRoomResult];
  reply(client, out, wire::compose_room_result(out, result));
}

void reply_status(ClientSlot& client, int32_t code) {
  uint8_t out[wire::kLenStatus];
  reply(client, out, wire::compose_i32(out, wire::kMsgStatus, code));
}

// Recounts the rooms in use; the status display and the service manager
// hear of a change once the lock is let go.
void update_rooms_in_use(Lobby& lobby, AfterLock& later) REQUIRES(lobby.lock_rooms) {
  int32_t in_use = 0;
  for (int r = 0; r < lobby.room_limit(); ++r) {
    if (lobby.rooms[r].group_key != 0) ++in_use;
  }
  if (lobby.rooms_in_use.exchange(in_use, std::memory_order_acq_rel) != in_use) {
    later.counts_changed();
  }
}

// REQUIRES: lock_rooms held (the caller found `room` in the guarded table).
void empty_seats(RoomRecord& room) {
  for (int i = 0; i < kSeats; ++i) {
    room.seat_slot[i] = kNone;
    std::memset(room.seat_name[i], 0, wire::kNameLen);
  }
}

// REQUIRES: lock_rooms held, as for empty_seats.
void free_room(RoomRecord& room) {
  room.member_count = 0;
  room.started.store(0, std::memory_order_release);
  room.group_key = 0;
  room.generation += 1;
  empty_seats(room);
}

// A member whose room was freed under it leaves only its own record behind:
// no seat is cleared and no count lowered, in whatever room now has the
// index. The group still hears that the room is empty while it is free.
void leave_stale_room(Lobby& lobby, ClientSlot& client, UserRecord& user, AfterLock& later)
    REQUIRES(lobby.lock_rooms) {
  int r = user.room;
  user.room = kNone;
  client.game_room = kNone;
  if (lobby.rooms[r].group_key == 0) {
    const int32_t key = user.group_key.load(std::memory_order_relaxed);
    write_member_count_notice(lobby, r, key);
    later.wake_group(key);
  }
}

// Whether the sender's address hosts L_ROOMS_PER_IP rooms already, not
// counting the sender's own, which it leaves (and so frees) for the new
// one. A room in use always has its host in seat 0.
bool hosts_at_limit(const Lobby& lobby, const ClientSlot& client) REQUIRES(lobby.lock_rooms) {
  const int32_t limit = lobby.live.number<&config::Settings::L_ROOMS_PER_IP>();
  if (limit <= 0) return false;
  const uint64_t key = client.peer_address.load().address_key();
  int hosted = 0;
  for (int r = 0; r < lobby.room_limit(); ++r) {
    const RoomRecord& room = lobby.rooms[r];
    const int32_t host = room.seat_slot[0];
    if (room.group_key == 0 || host == kNone || host == client.slot) continue;
    if (lobby.slots[host].peer_address.load().address_key() == key) ++hosted;
  }
  return hosted >= limit;
}

void create_room(Lobby& lobby, ClientSlot& client, UserRecord& user, AfterLock& later)
    REQUIRES(lobby.lock_rooms) {
  const int32_t key = user.group_key.load(std::memory_order_relaxed);
  // A client that is not logged in could otherwise hold rooms in a group
  // that no player can see.
  if (key == kNone) {
    reply_room_result(client, wire::kResultNone);
    return;
  }
  const int own = seated(lobby, user) ? user.room : kNone;
  int n = kNone;
  for (int r = 0; r < lobby.room_limit(); ++r) {
    if (lobby.rooms[r].group_key == 0 && r != own) {
      n = r;
      break;
    }
  }
  // An address hosts at most L_ROOMS_PER_IP rooms; its further creates are
  // answered as when no room is free.
  if (n == kNone || hosts_at_limit(lobby, client)) {
    reply_room_result(client, wire::kResultNone);
    return;
  }
  // A client is in one room at most: it leaves its room before it takes the
  // new one (the others hear of it as of any departure).
  if (user.room != kNone) leave_room_locked(lobby, client, later);
  RoomRecord& room = lobby.rooms[n];
  room.generation += 1;
  room.group_key = key;
  lobby.count(kCountRoomsCreated);
  std::memset(room.title, 0, sizeof room.title);
  wire::copy_name(room.title, user.own_name());
  room.start_size = user.start_size;
  uint8_t out[wire::kLenRoomMade];
  reply(client, out, wire::compose_i32(out, wire::kMsgRoomMade, n));
  reply_room_result(client, wire::kResultCreated);
  room.member_count = 1;
  room.started.store(0, std::memory_order_release);
  empty_seats(room);
  room.seat_slot[0] = client.slot;
  wire::copy_name(room.seat_name[0], user.own_name());
  for (int i = 0; i < kSeats; ++i) room.roster_slot[i] = kNone;
  room.roster_slot[0] = client.slot;

  int head = lobby.notices.notice_head.load(std::memory_order_relaxed);
  lobby.notices.notice_len[head] = wire::kLenRoomEntry;
  lobby.notices.notice_key[head] = key;
  wire::compose_room_entry(lobby.notices.notice_bytes[head].data(), n, 1, user.own_name());
  lobby.notices.notice_head.store((head + 1) & kNoticeRingMask, std::memory_order_release);
  later.wake_group(key);

  user.room = n;
  user.seat = 0;
  user.room_generation = room.generation;
  update_rooms_in_use(lobby, later);
  later.event("room %d created by slot %d user %d key %d", n, client.slot,
              client.user_id.load(std::memory_order_relaxed), key);
}

void join_room(Lobby& lobby, ClientSlot& client, UserRecord& user, int32_t n, AfterLock& later)
    REQUIRES(lobby.lock_rooms) {
  const int32_t key = user.group_key.load(std::memory_order_relaxed);
  if (n < 0 || n >= lobby.room_limit() || key == kNone) {
    reply_status(client, wire::kStatusJoinRefused);
    return;
  }
  RoomRecord& room = lobby.rooms[n];
  const int seats = bounded_seats(user);
  int seat = kNone;
  for (int i = 0; i < seats; ++i) {
    if (room.seat_slot[i] == kNone) {
      seat = i;
      break;
    }
  }
  // Judged while the client still sits where it is: a refusal changes nothing.
  if ((seated(lobby, user) && user.room == n) ||
      room.started.load(std::memory_order_relaxed) != 0 || room.member_count >= seats ||
      room.group_key != key || seat == kNone) {
    reply_status(client, wire::kStatusJoinRefused);
    return;
  }
  if (user.room != kNone) leave_room_locked(lobby, client, later);
  room.member_count += 1;
  room.seat_slot[seat] = client.slot;
  room.roster_slot[seat] = client.slot;
  wire::copy_name(room.seat_name[seat], user.own_name());
  user.room = n;
  user.seat = seat;
  user.room_generation = room.generation;
  write_member_count_notice(lobby, n, key);
  later.wake_group(key);
  later.event("room %d joined by slot %d user %d seat %d", n, client.slot,
              client.user_id.load(std::memory_order_relaxed), seat);
  if (room.member_count == room.start_size) {
    room.started.store(1, std::memory_order_release);
    lobby.count(kCountGamesStarted);
    later.event("room %d started with %d members", n, room.member_count);
    // Each member's pump sends the seat list: their workers, this one
    // included, look again.
    for (int i = 0; i < kSeats; ++i) {
      if (room.seat_slot[i] != kNone) later.wake_worker(room.seat_slot[i] / kSlotsPerWorker);
    }
  }
}

void leave_room_op(Lobby& lobby, ClientSlot& client, UserRecord& user, AfterLock& later)
    REQUIRES(lobby.lock_rooms) {
  if (user.room == kNone) return;
  if (!seated(lobby, user)) {
    leave_stale_room(lobby, client, user, later);
    reply_room_result(client, wire::kResultNone);
    return;
  }
  if (lobby.rooms[user.room].started.load(std::memory_order_relaxed) != 0) return;
  leave_room_locked(lobby, client, later);
  reply_room_result(client, wire::kResultNone);
}

void leave_game_op(Lobby& lobby, ClientSlot& client, UserRecord& user, AfterLock& later)
    REQUIRES(lobby.lock_rooms) {
  const int r = user.room;
  if (r == kNone) {
    client.game_room = kNone;
    return;
  }
  if (!seated(lobby, user)) {
    leave_stale_room(lobby, client, user, later);
    reply_room_result(client, wire::kResultNone);
    return;
  }
  RoomRecord& room = lobby.rooms[r];
  for (int i = 0; i < kSeats; ++i) {
    if (room.roster_slot[i] == client.slot) {
      leave_room_locked(lobby, client, later);
      reply_room_result(client, wire::kResultNone);
      room.roster_slot[i] = kNone;
      return;
    }
  }
  reply_room_result(client, wire::kResultNone);
  client.game_room = kNone;
}

}  // namespace

int handle_room_op(Lobby& lobby, ClientSlot& client) {
  if (!message_complete(client, wire::kLenRoomOp)) return kIncomplete;
  UserRecord& user = lobby.users[client.slot];
  // Notices, a game start or seat-vacated messages may wait for others;
  // they hear of them, and the log of the operation, once the lock is let
  // go.
  AfterLock later(lobby, client.slot / kSlotsPerWorker);
  {
    platform::MutexLock guard(lobby.lock_rooms);
    // Judged before anything changes: the operation waits whole.
    if (!notice_ring_has_room(lobby)) {
      client.rewind_read(1);
      return kWaitNoticeRing;
    }
    const int32_t op = msg_i32(client, 2);
    consume_message(client, wire::kLenRoomOp);
    // Every room operation discards the sender's undelivered direct messages.
    clear_direct_queue(lobby, client.slot);
    switch (op) {
      case wire::kOpCreate:
        create_room(lobby, client, user, later);
        break;
      case wire::kOpLeaveRoom:
        leave_room_op(lobby, client, user, later);
        break;
      case wire::kOpLeaveGame:
        leave_game_op(lobby, client, user, later);
        break;
      default:
        join_room(lobby, client, user, op, later);
        break;
    }
  }
  return kActed;
}

void leave_room(Lobby& lobby, ClientSlot& client) {
  AfterLock later(lobby, client.slot / kSlotsPerWorker);
  platform::MutexLock guard(lobby.lock_rooms);
  leave_room_locked(lobby, client, later);
}

void leave_room_locked(Lobby& lobby, ClientSlot& client, AfterLock& later) {
  UserRecord& user = lobby.users[client.slot];
  const int r = user.room;
  if (r == kNone) {
    client.game_room = kNone;
    return;
  }
  if (!seated(lobby, user)) {
    leave_stale_room(lobby, client, user, later);
    return;
  }
  RoomRecord& room = lobby.rooms[r];
  const int s = user.seat;
  // The group that sees the room hears of the departure, even when the
  // leaver has since logged in again under another key.
  const int32_t key = room.group_key;
  if (s == 0) {
    // The host leaves: the room is free at once and every seat is emptied.
    free_room(room);
    user.room = kNone;
    later.event("room %d left by host slot %d; room freed", r, client.slot);
  } else {
    room.seat_slot[s] = kNone;
    std::memset(room.seat_name[s], 0, wire::kNameLen);
    room.member_count = room.member_count > 0 ? room.member_count - 1 : 0;
    user.room = kNone;
    if (room.member_count == 0) {
      free_room(room);
      later.event("room %d left by slot %d; room freed", r, client.slot);
    } else {
      platform::MutexLock chat_guard(lobby.lock_chat);
      const int seats = bounded_seats(user);
      for (int i = 0; i < seats; ++i) {
        const int32_t member = room.seat_slot[i];
        if (member == kNone) continue;
        post_seat_vacated(lobby, member, s);
        // Its worker sends it; a member logged in again under another key
        // is no member of the group woken below.
        later.wake_worker(member / kSlotsPerWorker);
      }
      later.event("room %d left by slot %d seat %d; %d members remain", r, client.slot, s,
                  room.member_count);
    }
  }
  write_member_count_notice(lobby, r, key);
  later.wake_group(key);
  client.game_room = kNone;
  update_rooms_in_use(lobby, later);
}

void post_seat_vacated(Lobby& lobby, int member, int seat) {
  // The one cross-thread send: the member's send queue is locked by
  // enqueue itself, and the message is composed here, never in the
  // member's own buffer. A member whose queue is nearly full gets the seat
  // marked instead, and so does one with seats already marked, so that
  // these messages keep their order. A member that has stopped reading is
  // still dropped: the pump's own deliveries overflow its queue, or, when
  // nothing else comes, the idle check runs while its messages wait.
  ClientSlot& client = lobby.slots[member];
  UserRecord& user = lobby.users[member];
  if (user.vacated_seats.load(std::memory_order_relaxed) == 0 &&
      client.send_free() > kSendReserve) {
    uint8_t out[wire::kLenSeatVacated];
    client.enqueue(out, wire::compose_seat_vacated(out, seat));
    return;
  }
  user.vacated_seats.fetch_or(1u << seat, std::memory_order_release);
}

bool send_vacated_seats(Lobby& lobby, ClientSlot& client) {
  UserRecord& user = lobby.users[client.slot];
  if (user.vacated_seats.load(std::memory_order_acquire) == 0) return true;
  platform::MutexLock guard(lobby.lock_chat);
  uint32_t seats = user.vacated_seats.load(std::memory_order_relaxed);
  uint8_t out[wire::kLenSeatVacated];
  for (int s = 0; s < kSeats && seats != 0; ++s) {
    if ((seats & (1u << s)) == 0) continue;
    if (client.send_free() <= kSendReserve) break;
    client.enqueue(out, wire::compose_seat_vacated(out, s));
    seats &= ~(1u << s);
  }
  user.vacated_seats.store(seats, std::memory_order_relaxed);
  return seats == 0;
}

void write_member_count_notice(Lobby& lobby, int room, int32_t key) {
  RoomNoticeRing& ring = lobby.notices;
  int head = ring.notice_head.load(std::memory_order_relaxed);
  ring.notice_len[head] = wire::kLenMemberCount;
  ring.notice_key[head] = key;
  wire::compose_member_count(ring.notice_bytes[head].data(), room, lobby.rooms[room].member_count);
  ring.notice_head.store((head + 1) & kNoticeRingMask, std::memory_order_release);
}

}  // namespace lobby
