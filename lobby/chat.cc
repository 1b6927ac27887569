// Chat lines (relayed through the ChatRing to a group or one game) and
// direct messages (pushed into one seat's DirectQueue).
#include "lobby/handlers.h"
#include "lobby/message_reader.h"
#include "lobby/ring_readers.h"

namespace lobby {
namespace {

// Hands the line still in the client's receive ring, with who sent it, to
// the moderation log. Worker thread of the slot, with no lock held.
void log_chat_line(Lobby& lobby, ClientSlot& client, int length, int32_t key)
    EXCLUDES(lobby.lock_rooms, lobby.lock_chat) {
  uint8_t line[wire::kMaxChatLen];
  msg_copy(client, 0, line, length);
  ChatRecord record;
  record.connection_id = client.connection_id.load(std::memory_order_relaxed);
  record.user_id = client.user_id.load(std::memory_order_relaxed);
  record.addr = client.peer_address.load();
  record.name = lobby.users[client.slot].own_name();
  record.to = client.game_room != kNone ? ChatRecord::kGame : ChatRecord::kGroup;
  record.to_value = client.game_room != kNone ? client.game_room : key;
  record.text = line + wire::kLenChatHead;
  record.length = length - wire::kLenChatHead;
  lobby.events->chat_line(record);
}

}  // namespace

int handle_chat(Lobby& lobby, ClientSlot& client) {
  if (!message_complete(client, wire::kLenChatHead)) return kIncomplete;
  const int length = wire::kLenChatHead + msg_byte(client, 6);
  if (!message_complete(client, length)) return kIncomplete;
  const UserRecord& user = lobby.users[client.slot];
  const int32_t key = user.group_key.load(std::memory_order_relaxed);
  // A line longer than one send slot could be delivered to nobody whole; a
  // line from a client outside every group and game would be addressed to
  // the game of room 1 (target -(-1)). Both are consumed and dropped.
  if (length > wire::kMaxChatLen || (key == kNone && client.game_room == kNone)) {
    lobby.count(kCountChatReceived);
    consume_message(client, length);
    return kActed;
  }
  {
    platform::MutexLock guard(lobby.lock_chat);
    if (!chat_ring_has_room(lobby)) {
      client.rewind_read(1);
      return kWaitChatRing;
    }
    ChatRing& ring = lobby.chat;
    const int head = ring.chat_head.load(std::memory_order_relaxed);
    msg_copy(client, 0, ring.chat_bytes[head].data(), length);
    ring.chat_len[head] = length;
    ring.chat_scope[head] = ChatScope::kTarget;
    if (client.game_room != kNone) {
      ring.chat_target[head] = client.game_room;
      ring.chat_generation[head] = client.game_generation;
    } else {
      ring.chat_target[head] = -key;
      ring.chat_generation[head] = 0;
    }
    // Published only once the entry is complete.
    ring.chat_head.store((head + 1) & kChatRingMask, std::memory_order_release);
  }
  // The moderation log takes the line once the ring's lock is let go.
  if (lobby.events->chat_log_on()) log_chat_line(lobby, client, length, key);
  // A game's players may have logged in again under other keys since it
  // started, so a game line wakes every other worker; a group line only
  // those that serve a member of the group.
  const int own_worker = client.slot / kSlotsPerWorker;
  if (client.game_room != kNone) {
    lobby.wake_other_workers(own_worker);
  } else {
    lobby.wake_workers_of_group(key, own_worker);
  }
  // Counted once, when taken: a line that waits for room comes here again.
  lobby.count(kCountChatReceived);
  consume_message(client, length);
  return kActed;
}

int handle_direct(Lobby& lobby, ClientSlot& client) {
  if (!message_complete(client, wire::kLenDirect)) return kIncomplete;
  const int32_t target = msg_u16(client, 2);
  const int32_t value = msg_i32(client, 4);
  consume_message(client, wire::kLenDirect);
  lobby.count(kCountDirect);
  if (target != wire::kTargetHost && target >= kSeats) return kActed;
  const UserRecord& user = lobby.users[client.slot];
  // The seat is looked up and the push made under lock_rooms, so that no
  // message lands in the queue of a client that has already left its seat
  // (the drop empties the queue after the seat is given up).
  platform::MutexLock rooms_guard(lobby.lock_rooms);
  if (user.room == kNone) return kActed;
  const RoomRecord& room = lobby.rooms[user.room];
  if (user.room_generation != room.generation) return kActed;  // the room was freed
  const int32_t receiver = target == wire::kTargetHost ? room.seat_slot[0] : room.seat_slot[target];
  const int32_t code = target == wire::kTargetHost ? ~user.seat : user.seat;
  if (receiver == kNone) return kActed;
  platform::MutexLock chat_guard(lobby.lock_chat);
  UserRecord& to = lobby.users[receiver];
  // A full queue gives up its oldest entry, so the drain never sends an
  // overwritten entry twice.
  if (to.direct_count.load(std::memory_order_relaxed) >= kDirectQueueSize) {
    to.direct_read = (to.direct_read + 1) & kDirectQueueMask;
    to.direct_count.fetch_sub(1, std::memory_order_relaxed);
  }
  to.direct_value[to.direct_write] = value;
  to.direct_from[to.direct_write] = code;
  to.direct_write = (to.direct_write + 1) & kDirectQueueMask;
  to.direct_count.fetch_add(1, std::memory_order_release);
  lobby.wake_worker_of(receiver, client.slot / kSlotsPerWorker);
  return kActed;
}

void clear_direct_queue(Lobby& lobby, int slot) {
  platform::MutexLock guard(lobby.lock_chat);
  UserRecord& user = lobby.users[slot];
  user.direct_write = 0;
  user.direct_read = 0;
  user.direct_count.store(0, std::memory_order_relaxed);
}

}  // namespace lobby
