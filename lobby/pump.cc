// The delivery pump: once per pass of an open slot, queues for its client
// what others posted. Five steps, always in this order: the chat lines,
// then the game start, then the direct messages, then the room notices,
// then the group count. One pass takes everything pending, as far as the
// send queue has room, so that one wake-up serves every delivery.
#include <cstring>

#include "lobby/handlers.h"
#include "lobby/message_reader.h"
#include "lobby/ring_readers.h"

namespace lobby {
namespace {

// Entries are read, and the read index moved, under the ring's lock: the
// writers judge by it how far behind each reader is, and a reader given up
// as not reading may be lapped before its drop, and must not read an entry
// while the writer reuses it (it would pass on a line torn between two).
// One hold serves every entry a pass takes.
//
// Every line since the last pass is taken, as far as the send queue has
// room beyond the reserve (the flush that follows makes room for the next
// pass). A client whose sends the kernel refuses takes one line for it a
// pass, so that one that stopped reading fills its queue and is dropped as
// before. Lines for others are passed over whatever the queue holds, so
// that a pause in a client's reading never leaves it far behind in the
// ring, keeping writers waiting for it.
// With `stop_at_start`, a line of the game of the client's room, which has
// started while the client has not yet been shown the start, is left for
// after the seat list: judged now it would look like another game's. True
// when it stopped there.
bool pump_chat(Lobby& lobby, ClientSlot& client, const UserRecord& user, bool stop_at_start)
    EXCLUDES(lobby.lock_chat) {
  const int head = lobby.chat_head().load(std::memory_order_acquire);
  if (client.chat_read == head) return false;
  const int32_t key = user.group_key.load(std::memory_order_relaxed);
  int budget = client.send_blocked() ? 1 : client.send_free() - kSendReserve;
  const int32_t from = client.chat_read;
  bool stopped = false;
  {
    platform::MutexLock guard(lobby.lock_chat);
    while (client.chat_read != head) {
      const int i = client.chat_read;
      const ChatScope scope = lobby.chat.chat_scope[i];
      const int32_t target = lobby.chat.chat_target[i];
      const uint32_t generation = lobby.chat.chat_generation[i];
      if (stop_at_start && scope == ChatScope::kTarget && target >= 0 &&
          client.game_room == kNone && target == user.room && generation == user.room_generation &&
          lobby.room_started(target).load(std::memory_order_acquire) != 0) {
        stopped = true;
        break;
      }
      bool for_me;
      if (scope == ChatScope::kEveryone) {
        for_me = key != kNone && client.game_room == kNone;
      } else if (scope == ChatScope::kConnection) {
        for_me = target == client.slot && generation == client.drop_request.serial();
      } else if (target >= 0) {
        for_me = target == client.game_room && generation == client.game_generation;
      } else {
        for_me = -target == key && client.game_room == kNone;
      }
      if (for_me && budget <= 0) break;
      client.chat_read = (i + 1) & kChatRingMask;
      if (!for_me) continue;
      reply(client, lobby.chat.chat_bytes[i].data(), lobby.chat.chat_len[i]);
      lobby.count(kCountChatDelivered);
      --budget;
    }
    if (client.chat_read != from) client.chat_stall_ms = -1;
  }
  if (client.chat_read != from) reader_moved(lobby);
  return stopped;
}

void pump_game_start(Lobby& lobby, ClientSlot& client, const UserRecord& user)
    EXCLUDES(lobby.lock_rooms) {
  const int r = user.room;
  if (r == kNone || client.game_room != kNone) return;
  if (lobby.room_started(r).load(std::memory_order_acquire) == 0) return;
  // The seat list is copied under lock_rooms and sent after it is released.
  uint8_t names[kSeats][wire::kNameLen];
  int seats = user.seat_count < kSeats ? user.seat_count : kSeats;
  uint32_t generation;
  {
    platform::MutexLock guard(lobby.lock_rooms);
    const RoomRecord& room = lobby.rooms[r];
    // A room freed (and perhaps made anew) since the client took its seat
    // starts no game for it.
    if (room.started.load(std::memory_order_relaxed) == 0 ||
        user.room_generation != room.generation) {
      return;
    }
    std::memcpy(names, room.seat_name, sizeof names);
    generation = room.generation;
  }
  uint8_t out[wire::kLenSeatEntry];
  for (int i = 0; i < seats; ++i) {
    reply(client, out, wire::compose_seat_entry(out, i, i == user.seat, names[i]));
  }
  reply(client, out, wire::compose_i32(out, wire::kMsgStatus, wire::kStatusGameStarts));
  client.game_room = r;
  client.game_generation = generation;
}

void pump_direct(Lobby& lobby, ClientSlot& client, UserRecord& user) EXCLUDES(lobby.lock_chat) {
  if (user.direct_count.load(std::memory_order_acquire) == 0) return;
  platform::MutexLock guard(lobby.lock_chat);
  // Moves no more than the send queue can take with a reserve left for the
  // rest of the pass; the others wait, in order, for later passes. So others
  // cannot get a client dropped by flooding it.
  int budget = client.send_free() - kSendReserve;
  uint8_t out[wire::kLenDirect];
  while (budget > 0 && user.direct_count.load(std::memory_order_relaxed) != 0) {
    const int i = user.direct_read;
    reply(client, out, wire::compose_direct(out, user.direct_from[i], user.direct_value[i]));
    user.direct_read = (i + 1) & kDirectQueueMask;
    user.direct_count.fetch_sub(1, std::memory_order_relaxed);
    --budget;
  }
}

// Read under lock_rooms, which guards the ring's writers, for the same
// reasons as the chat lines; every notice since the last pass, as far as
// the send queue has room beyond the reserve, and one for the client a pass
// while the kernel refuses its sends.
void pump_notices(Lobby& lobby, ClientSlot& client, const UserRecord& user)
    EXCLUDES(lobby.lock_rooms) {
  const int head = lobby.notice_head().load(std::memory_order_acquire);
  if (client.notice_read == head) return;
  const int32_t key = user.group_key.load(std::memory_order_relaxed);
  int budget = client.send_blocked() ? 1 : client.send_free() - kSendReserve;
  const int32_t from = client.notice_read;
  {
    platform::MutexLock guard(lobby.lock_rooms);
    while (client.notice_read != head) {
      const int i = client.notice_read;
      const bool for_me = lobby.notices.notice_key[i] == key;
      if (for_me && budget <= 0) break;
      client.notice_read = (i + 1) & kNoticeRingMask;
      if (!for_me) continue;
      reply(client, lobby.notices.notice_bytes[i].data(), lobby.notices.notice_len[i]);
      --budget;
    }
    if (client.notice_read != from) client.notice_stall_ms = -1;
  }
  if (client.notice_read != from) reader_moved(lobby);
}

void pump_group_count(Lobby& lobby, ClientSlot& client) {
  if (client.group_index == kNone) return;
  const int32_t count = lobby.group_count(client.group_index).load(std::memory_order_acquire);
  if (count == client.last_group_count) return;
  client.last_group_count = count;
  send_group_count(client, count);
}

}  // namespace

void delivery_pump(Lobby& lobby, ClientSlot& client) {
  UserRecord& user = lobby.users[client.slot];
  const bool held_for_start = pump_chat(lobby, client, user, true);
  pump_game_start(lobby, client, user);
  // The game's lines that waited for the start, judged now whatever it found.
  if (held_for_start) pump_chat(lobby, client, user, false);
  pump_direct(lobby, client, user);
  pump_notices(lobby, client, user);
  pump_group_count(lobby, client);
}

}  // namespace lobby
