#include "lobby/snapshot.h"

#include <cstring>

namespace lobby {

void take_snapshot(Lobby& lobby, int64_t now_ms, LobbySnapshot* out) {
  out->served_slots = lobby.served_slots();
  out->room_limit = lobby.room_limit();
  const int64_t drain_deadline_ms = lobby.drain_deadline_ms.load(std::memory_order_acquire);
  out->draining = drain_deadline_ms >= 0;
  out->drain_left_ms = out->draining ? drain_deadline_ms - now_ms : 0;
  out->users = 0;
  // The connection fields are atomics, and the name has its own lock, so
  // each field is whole; but they are read one by one, so a slot that
  // changes hands meanwhile may show one client's address with the next
  // one's name. That is for display only, and rare.
  for (int i = 0; i < kSlots; ++i) {
    const ClientSlot& client = lobby.slots[i];
    const UserRecord& user = lobby.users[i];
    SlotSnapshot& s = out->slots[i];
    s = SlotSnapshot{};
    s.open = client.is_open();
    if (!s.open) continue;
    ++out->users;
    s.id = client.connection_id.load(std::memory_order_relaxed);
    s.addr = client.peer_address.load();
    s.port = client.peer_port.load(std::memory_order_relaxed);
    s.connected_ms = now_ms - client.placed_ms.load(std::memory_order_relaxed);
    if (s.connected_ms < 0) s.connected_ms = 0;
    s.user_id = client.user_id.load(std::memory_order_relaxed);
    s.group_key = user.group_key.load(std::memory_order_relaxed);
    s.logged_in = client.login_accepted.load(std::memory_order_acquire);
    // Idle time counts only while the client holds a login, as the idle
    // limit does.
    // A worker may stamp a message with a time it read just before the
    // accept thread placed the connection, so the last message can seem
    // older than the connection: idle time is bounded by connected time.
    if (s.group_key != kNone) {
      int64_t idle_ms = now_ms - client.last_message_ms.load(std::memory_order_relaxed);
      if (idle_ms > s.connected_ms) idle_ms = s.connected_ms;
      s.idle_seconds = idle_ms > 0 ? static_cast<int32_t>(idle_ms / 1000) : 0;
    }
    platform::MutexLock guard(user.name_lock);
    std::memcpy(s.name, user.name, wire::kNameLen);
  }
  {
    // Rooms, and each user's room and seat, which change only under this
    // lock.
    platform::MutexLock guard(lobby.lock_rooms);
    for (int i = 0; i < kSlots; ++i) {
      SlotSnapshot& s = out->slots[i];
      const UserRecord& user = lobby.users[i];
      if (!s.open || user.room == kNone) continue;
      if (user.room_generation != lobby.rooms[user.room].generation) continue;
      s.room = user.room;
      s.seat = user.seat;
    }
    out->rooms_in_use = 0;
    for (int r = 0; r < kMaxRooms; ++r) {
      RoomSnapshot& to = out->rooms[r];
      to = RoomSnapshot{};
      if (r >= lobby.room_limit()) continue;
      const RoomRecord& room = lobby.rooms[r];
      to.in_use = room.group_key != 0;
      if (!to.in_use) continue;
      ++out->rooms_in_use;
      to.group_key = room.group_key;
      std::memcpy(to.title, room.title, sizeof to.title);
      to.members = room.member_count;
      to.start_size = room.start_size;
      to.started = room.started.load(std::memory_order_relaxed) != 0;
      std::memcpy(to.seat_slot, room.seat_slot, sizeof to.seat_slot);
      std::memcpy(to.seat_name, room.seat_name, sizeof to.seat_name);
    }
  }
  for (int reason = 0; reason < kDropReasons; ++reason) {
    out->drops[reason] = lobby.drops[reason].load(std::memory_order_relaxed);
  }
  for (int reason = 0; reason < kRefusalReasons; ++reason) {
    out->refusals[reason] = lobby.refusals[reason].load(std::memory_order_relaxed);
  }
  out->proxies = lobby.live.proxy_count();
  for (int counter = 0; counter < kCounters; ++counter) {
    out->counters[counter] = lobby.counters[counter].load(std::memory_order_relaxed);
  }
  out->upstream_state = lobby.upstream.link_state();
  out->upstream_reconnects = lobby.upstream.reconnects();
}

}  // namespace lobby
