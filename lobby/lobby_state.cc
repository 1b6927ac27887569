#include "lobby/lobby_state.h"

#include <cstdio>
#include <cstring>

namespace lobby {

const char* login_refusal_text(int reason) {
  switch (reason) {
    case kLoginKeyNotPositive:
      return "key not positive";
    case kLoginNotValidated:
      return "not validated";
    default:
      return "?";
  }
}

const char* refusal_reason_text(int reason) {
  switch (reason) {
    case kRefusedFull:
      return "full";
    case kRefusedPerAddress:
      return "per-address limit";
    case kRefusedDenied:
      return "denied";
    case kRefusedDraining:
      return "draining";
    case kRefusedPerNetwork:
      return "per-network limit";
    case kRefusedTooFast:
      return "connecting too fast";
    case kRefusedBadProxyHeader:
      return "bad proxy header";
    default:
      return "unknown";
  }
}

bool refusal_shown(int reason, int64_t count, int32_t proxies) {
  return reason != kRefusedBadProxyHeader || proxies > 0 || count > 0;
}

const char* counter_text(int counter) {
  switch (counter) {
    case kCountConnections:
      return "connections_accepted";
    case kCountLoginsAccepted:
      return "logins_accepted";
    case kCountLoginsRefused:
      return "logins_refused";
    case kCountChatReceived:
      return "chat_received";
    case kCountChatDelivered:
      return "chat_delivered";
    case kCountDirect:
      return "direct_messages";
    case kCountRoomsCreated:
      return "rooms_created";
    case kCountGamesStarted:
      return "games_started";
    case kCountBytesReceived:
      return "bytes_received";
    case kCountBytesSent:
      return "bytes_sent";
    default:
      return "unknown";
  }
}

Lobby::Lobby(const config::Settings& s, LobbyEvents* sink, net::Transport* transport)
    : settings(s), live(s), events(sink != nullptr ? sink : quiet_events()) {
  for (ClientSlot& client : slots) {
    if (transport != nullptr) client.set_transport(transport);
    client.count_bytes(&counters[kCountBytesReceived], &counters[kCountBytesSent]);
  }
  int limit = settings.ROOM;
  if (limit < 0) limit = 0;
  if (limit > kMaxRooms) limit = kMaxRooms;
  rooms_ = limit;
  chat_pace.reset(settings);
  LobbyEvents* report_to = events;
  deny_list.set_file(settings.L_DENY,
                     [report_to](const char* line) { report_event(report_to, "%s", line); });
  prepare_tables();
}

void Lobby::format_drop_counts(char* out, int size) const {
  int used = std::snprintf(out, static_cast<size_t>(size), "drops:");
  for (int r = 0; r < kDropReasons && used < size; ++r) {
    used += std::snprintf(out + used, static_cast<size_t>(size - used), "%s %s %lld",
                          r == 0 ? "" : ",", drop_reason_text(r),
                          static_cast<long long>(drops[r].load(std::memory_order_relaxed)));
  }
  const int32_t proxies = live.proxy_count();
  for (int r = 0; r < kRefusalReasons && used < size; ++r) {
    const int64_t count = refusals[r].load(std::memory_order_relaxed);
    if (!refusal_shown(r, count, proxies)) continue;
    used += std::snprintf(out + used, static_cast<size_t>(size - used), "%s %s %lld",
                          r == 0 ? "; refused" : ",", refusal_reason_text(r),
                          static_cast<long long>(count));
  }
}

int Lobby::stuck_worker(int64_t now_ms, int64_t limit_ms, int64_t* stuck_ms) const {
  int stuck = kNone;
  int64_t longest = limit_ms;
  for (int k = 0; k < rooms_; ++k) {
    const int64_t started = worker_pass_started_ms[k].load(std::memory_order_acquire);
    if (started < 0 || now_ms - started <= longest) continue;
    stuck = k;
    longest = now_ms - started;
  }
  if (stuck != kNone) *stuck_ms = longest;
  return stuck;
}

void Lobby::wake_workers() const {
  for (int k = 0; k < rooms_; ++k) worker_wake[k].wake();
}

void Lobby::order_post() const { post_order_.fetch_add(1, std::memory_order_acq_rel); }

void Lobby::wake_worker_of(int slot, int own_worker) const {
  const int k = slot / kSlotsPerWorker;
  if (k != own_worker && k < rooms_) worker_wake[k].wake();
}

void Lobby::wake_other_workers(int own_worker) const {
  for (int k = 0; k < rooms_; ++k) {
    if (k != own_worker) worker_wake[k].wake();
  }
}

void Lobby::wake_workers_of_group(int32_t key, int own_worker) const {
  // The poster published its entry before this; a login on another worker
  // stores its key before that worker looks for pending work. Both meet at
  // order_post in between, so one of the two sees the other, and no member
  // sleeps past a line for it.
  order_post();
  for (int k = 0; k < rooms_; ++k) {
    if (k == own_worker) continue;
    for (int j = 0; j < kSlotsPerWorker; ++j) {
      const int i = k * kSlotsPerWorker + j;
      if (slots[i].is_open() && users[i].group_key.load(std::memory_order_relaxed) == key) {
        worker_wake[k].wake();
        break;
      }
    }
  }
}

void Lobby::prepare_tables() {
  for (int i = 0; i < kSlots; ++i) {
    ClientSlot& c = slots[i];
    c.slot = i;
    c.game_room = kNone;
    c.group_index = kNone;
    c.user_id.store(kNone, std::memory_order_relaxed);
    c.announced_user_id = kNone;
    UserRecord& u = users[i];
    u.room = kNone;
    u.seat = kNone;
    u.group_key.store(kNone);
  }
  // Each table under its lock, as everywhere; no other thread runs yet.
  {
    platform::MutexLock guard(lock_rooms);
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
    notices.notice_head.store(0);
  }
  {
    platform::MutexLock guard(lock_groups);
    for (GroupEntry& g : groups) {
      g.key = kNone;
      g.count.store(0);
    }
  }
  {
    platform::MutexLock guard(lock_chat);
    chat.chat_head.store(0);
  }
  rooms_in_use.store(0);
  for (std::atomic<int64_t>& started : worker_pass_started_ms) started.store(-1);
}

}  // namespace lobby
