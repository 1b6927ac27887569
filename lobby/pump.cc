// The delivery pump: once per pass of an open slot, queues for its client
// what others posted. Five steps, always in this order, so that a pass
// queues at most one chat line, then the game start, then the direct
// messages, then at most one room notice, then the group count.
#include <cstring>

#include "lobby/handlers.h"
#include "lobby/message_reader.h"

namespace lobby {
namespace {

void pump_chat(Lobby& lobby, ClientSlot& client, const UserRecord& user) {
  ChatRing& ring = lobby.chat;
  if (client.chat_read == ring.chat_head.load(std::memory_order_acquire)) return;
  const int i = client.chat_read;
  const int32_t target = ring.chat_target[i];
  bool for_me;
  if (target >= 0) {
    for_me = target == client.game_room && ring.chat_generation[i] == client.game_generation;
  } else {
    for_me = -target == user.group_key.load(std::memory_order_relaxed) && client.game_room == kNone;
  }
  if (for_me) reply(client, ring.chat_bytes[i].data(), ring.chat_len[i]);
  client.chat_read = (i + 1) & kChatRingMask;
}

void pump_game_start(Lobby& lobby, ClientSlot& client, const UserRecord& user) {
  const int r = user.room;
  if (r == kNone || client.game_room != kNone) return;
  if (lobby.rooms[r].started.load(std::memory_order_acquire) == 0) return;
  // The seat list is copied under lock_rooms and sent after it is released.
  uint8_t names[kSeats][kNameLen];
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
  uint8_t out[kLenSeatEntry];
  for (int i = 0; i < seats; ++i) {
    reply(client, out, compose_seat_entry(out, i, i == user.seat, names[i]));
  }
  reply(client, out, compose_i32(out, kMsgStatus, kStatusGameStarts));
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
  uint8_t out[kLenDirect];
  while (budget > 0 && user.direct_count.load(std::memory_order_relaxed) != 0) {
    const int i = user.direct_read;
    reply(client, out, compose_direct(out, user.direct_from[i], user.direct_value[i]));
    user.direct_read = (i + 1) & kDirectQueueMask;
    user.direct_count.fetch_sub(1, std::memory_order_relaxed);
    --budget;
  }
}

void pump_notice(Lobby& lobby, ClientSlot& client, const UserRecord& user) {
  RoomNoticeRing& ring = lobby.notices;
  if (client.notice_read == ring.notice_head.load(std::memory_order_acquire)) return;
  const int i = client.notice_read;
  if (ring.notice_key[i] == user.group_key.load(std::memory_order_relaxed)) {
    reply(client, ring.notice_bytes[i].data(), ring.notice_len[i]);
  }
  client.notice_read = (i + 1) & kNoticeRingMask;
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
