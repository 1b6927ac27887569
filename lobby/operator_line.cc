#include "lobby/operator_line.h"

#include <cstring>

#include "lobby/ring_readers.h"

namespace lobby {
namespace {

// REQUIRES: lock_chat held, and room in the ring.
void write_entry(Lobby& lobby, const OperatorLine& line, ChatScope scope, int32_t target,
                 uint32_t generation) REQUIRES(lobby.lock_chat) {
  ChatRing& ring = lobby.chat;
  const int head = ring.chat_head.load(std::memory_order_relaxed);
  uint8_t* bytes = ring.chat_bytes[head].data();
  wire::put_header(bytes, wire::kMsgChat);
  wire::put_i32(bytes + 2, line.value);
  bytes[6] = static_cast<uint8_t>(line.length);
  std::memcpy(bytes + wire::kLenChatHead, line.text, static_cast<size_t>(line.length));
  ring.chat_len[head] = wire::kLenChatHead + line.length;
  ring.chat_scope[head] = scope;
  ring.chat_target[head] = target;
  ring.chat_generation[head] = generation;
  // Published only once the entry is complete.
  ring.chat_head.store((head + 1) & kChatRingMask, std::memory_order_release);
}

}  // namespace

int post_operator_line(Lobby& lobby, const OperatorLine& line) {
  if (line.length < 0 || line.length > wire::kMaxChatText) return kLineRingFull;
  if (line.scope == ChatScope::kTarget && line.room != kNone) {
    // The game of a room: its generation now, read under lock_rooms, which
    // is held on to so that the game cannot end and start anew before the
    // line is in the ring.
    platform::MutexLock rooms_guard(lobby.lock_rooms);
    const RoomRecord& room = lobby.rooms[line.room];
    if (room.group_key == 0 || room.started.load(std::memory_order_relaxed) == 0) {
      return kLineNoGame;
    }
    {
      platform::MutexLock chat_guard(lobby.lock_chat);
      if (!chat_ring_has_room(lobby)) return kLineRingFull;
      write_entry(lobby, line, ChatScope::kTarget, line.room, room.generation);
    }
    lobby.wake_other_workers(kNone);
    return kLinePosted;
  }
  {
    platform::MutexLock chat_guard(lobby.lock_chat);
    if (!chat_ring_has_room(lobby)) return kLineRingFull;
    if (line.scope == ChatScope::kConnection) {
      write_entry(lobby, line, ChatScope::kConnection, line.slot, line.serial);
    } else if (line.scope == ChatScope::kTarget) {
      write_entry(lobby, line, ChatScope::kTarget, -line.group_key, 0);
    } else {
      write_entry(lobby, line, ChatScope::kEveryone, 0, 0);
    }
  }
  if (line.scope == ChatScope::kConnection) {
    lobby.wake_worker_of(line.slot, kNone);
  } else if (line.scope == ChatScope::kTarget) {
    lobby.wake_workers_of_group(line.group_key, kNone);
  } else {
    // A client that logs in meanwhile on another worker stores its key
    // before it looks for work; this order makes one of the two see the
    // other, as for a group's line.
    lobby.order_post();
    lobby.wake_workers();
  }
  return kLinePosted;
}

}  // namespace lobby
