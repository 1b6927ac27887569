// A read-only copy of the lobby for the operator: every slot's connection
// and identity, every room, and the counts. Plain fixed-size records, filled
// by taking each lock briefly; whoever formats the copy does so with no lock
// held. Any thread.
#ifndef LOBBY_SNAPSHOT_H_
#define LOBBY_SNAPSHOT_H_

#include <cstdint>

#include "lobby/lobby_state.h"

namespace lobby {

struct SlotSnapshot {
  bool open = false;
  int64_t id = 0;  // the connection id
  net::IpAddress addr;
  int32_t port = 0;
  int32_t user_id = kNone;
  uint8_t name[wire::kNameLen] = {};  // as sent
  int32_t group_key = kNone;
  int32_t room = kNone;  // kNone also when the room was freed under the user
  int32_t seat = kNone;
  bool logged_in = false;
  int64_t connected_ms = 0;  // since the connection was placed
  int32_t idle_seconds = 0;  // since the last complete message; 0 without a login
};

struct RoomSnapshot {
  bool in_use = false;
  int32_t group_key = 0;
  uint8_t title[kTitleBytes] = {};
  int32_t members = 0;
  int32_t start_size = 0;
  bool started = false;
  int32_t seat_slot[kSeats] = {};
  uint8_t seat_name[kSeats][wire::kNameLen] = {};
};

struct LobbySnapshot {
  int32_t served_slots = 0;
  int32_t room_limit = 0;
  int32_t users = 0;  // open slots
  int32_t rooms_in_use = 0;
  bool draining = false;
  // While draining: until the drain's time is up, negative once it is past.
  int64_t drain_left_ms = 0;
  SlotSnapshot slots[kSlots];
  RoomSnapshot rooms[kMaxRooms];
  int64_t drops[kDropReasons] = {};
  int64_t refusals[kRefusalReasons] = {};
  int64_t counters[kCounters] = {};
  upstream::LinkState upstream_state = upstream::LinkState::kOff;
  int64_t upstream_reconnects = 0;
};

// Fills `out` from `lobby`; `now_ms` is the server clock's time, from which
// the connected and idle times are counted.
void take_snapshot(Lobby& lobby, int64_t now_ms, LobbySnapshot* out);

}  // namespace lobby

#endif  // LOBBY_SNAPSHOT_H_
