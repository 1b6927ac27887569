#include "lobby/lobby_state.h"

#include <cstdio>
#include <cstring>

#include "net/socket_ops.h"

namespace lobby {

const char* drop_reason_text(int reason) {
  switch (reason) {
    case kDropPeerClosed:
      return "peer closed";
    case kDropBadFraming:
      return "bad framing";
    case kDropIdle:
      return "idle";
    case kDropNotReading:
      return "not reading";
    default:
      return "unknown";
  }
}

Lobby::Lobby(const config::Settings& s, LobbyEvents* sink)
    : settings(s), events(sink != nullptr ? sink : quiet_events()) {
  int limit = settings.ROOM;
  if (limit < 0) limit = 0;
  if (limit > kMaxRooms) limit = kMaxRooms;
  rooms_ = limit;
  prepare_tables();
}

void Lobby::format_drop_counts(char* out, int size) const {
  std::snprintf(out, static_cast<size_t>(size),
                "drops: peer closed %lld, bad framing %lld, idle %lld, not reading %lld; refused "
                "full %lld",
                static_cast<long long>(drops[kDropPeerClosed].load()),
                static_cast<long long>(drops[kDropBadFraming].load()),
                static_cast<long long>(drops[kDropIdle].load()),
                static_cast<long long>(drops[kDropNotReading].load()),
                static_cast<long long>(refused_full.load()));
}

void Lobby::wake_workers() const {
  for (int k = 0; k < rooms_; ++k) net::wake(worker_wake[k]);
}

void Lobby::prepare_tables() {
  for (int i = 0; i < kSlots; ++i) {
    ClientSlot& c = slots[i];
    c.slot = i;
    c.game_room = kNone;
    c.group_index = kNone;
    c.user_id = kNone;
    c.announced_user_id = kNone;
    UserRecord& u = users[i];
    u.room = kNone;
    u.seat = kNone;
    u.group_key.store(kNone);
  }
  for (RoomRecord& r : rooms) {
    r.started.store(0);
    r.member_count = 0;
    r.group_key = 0;
    std::memset(r.title, 0, sizeof r.title);
    std::memcpy(r.title, "NULL", 4);
    for (int s = 0; s < kSeats; ++s) {
      r.seat_slot[s] = kNone;
      r.roster_slot[s] = kNone;
    }
  }
  for (GroupEntry& g : groups) {
    g.key = kNone;
    g.count.store(0);
  }
  notices.notice_head.store(0);
  chat.chat_head.store(0);
  rooms_in_use.store(0);
}

}  // namespace lobby
