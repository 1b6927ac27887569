// The delivery pump: once per pass of an open slot, queues for its client
// what others posted. Five steps, always in this order, so that a pass
// queues at most one chat line, then the game start, then the direct
// messages, then at most one room notice, then the group count.
#include <cstring>

#include "lobby/handlers.h"
#include "lobby/message_reader.h"

namespace lobby {
namespace {

// The ring entry is copied under the ring's lock: a reader a whole lap
// behind could otherwise read an entry while the writer reuses it and pass
// on a line torn between two (whose length no longer fits its bytes).
void pump_chat(Lobby& lobby, ClientSlot& client, const UserRecord& user) {
  ChatRing& ring = lobby.chat;
  if (client.chat_read == ring.chat_head.load(std::memory_order_acquire)) return;
  const int i = client.chat_read;
  client.chat_read = (i + 1) & kChatRingMask;
  int32_t target;
  uint32_t generation;
  int32_t length;
  uint8_t bytes[kChatEntryBytes];
  {
    std::lock_guard<std::recursive_mutex> guard(lobby.lock_chat);
    target = ring.chat_target[i];
    generation = ring.chat_generation[i];
    length = ring.chat_len[i];
    std::memcpy(bytes, ring.chat_bytes[i].data(), static_cast<size_t>(length));
  }
  bool for_me;
  if (target >= 0) {
    for_me = target == client.game_room && generation == client.game_generation;
  } else {
    for_me = -target == user.group_key.load(std::memory_order_relaxed) && client.game_room == kNone;
  }
  if (for_me) reply(client, bytes, length);
}

void pump_game_start(Lobby& lobby, ClientSlot& client, const UserRecord& user) {
  const int r = user.room;
  if (r == kNone || client.game_room != kNone) return;
  if (lobby.rooms[r].started.load(std::memory_order_acquire) == 0) return;
  // The seat list is copied under lock_rooms and sent after it is released.
  uint8_t names[kSeats][wire::kNameLen];
  int seats = user.seat_count < kSeats ? user.seat_count : kSeats;
  uint32_t generation;
  {
    std::lock_guard<std::recursive_mutex> guard(lobby.lock_rooms);
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

void pump_direct(Lobby& lobby, ClientSlot& client, UserRecord& user) {
  if (user.direct_count.load(std::memory_order_acquire) == 0) return;
  std::lock_guard<std::recursive_mutex> guard(lobby.lock_chat);
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

// Copied under lock_rooms, which guards the ring's writers, for the same
// reason as the chat line.
void pump_notice(Lobby& lobby, ClientSlot& client, const UserRecord& user) {
  RoomNoticeRing& ring = lobby.notices;
  if (client.notice_read == ring.notice_head.load(std::memory_order_acquire)) return;
  const int i = client.notice_read;
  client.notice_read = (i + 1) & kNoticeRingMask;
  int32_t key;
  int32_t length;
  uint8_t bytes[kNoticeBytes];
  {
    std::lock_guard<std::recursive_mutex> guard(lobby.lock_rooms);
    key = ring.notice_key[i];
    length = ring.notice_len[i];
    std::memcpy(bytes, ring.notice_bytes[i].data(), static_cast<size_t>(length));
  }
  if (key == user.group_key.load(std::memory_order_relaxed)) reply(client, bytes, length);
}

void pump_group_count(Lobby& lobby, ClientSlot& client) {
  if (client.group_index == kNone) return;
  const int32_t count = lobby.groups[client.group_index].count.load(std::memory_order_acquire);
  if (count == client.last_group_count) return;
  client.last_group_count = count;
  send_group_count(client, count);
}

}  // namespace

void delivery_pump(Lobby& lobby, ClientSlot& client) {
  UserRecord& user = lobby.users[client.slot];
  pump_chat(lobby, client, user);
  pump_game_start(lobby, client, user);
  pump_direct(lobby, client, user);
  pump_notice(lobby, client, user);
  pump_group_count(lobby, client);
}

}  // namespace lobby
