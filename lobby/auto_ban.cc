#include "lobby/auto_ban.h"

namespace lobby {

bool AutoBan::is_strike(int reason, bool logged_in) {
  switch (reason) {
    case kDropFlooding:
    case kDropBadFraming:
    case kDropNoLogin:
      return true;
    case kDropDisplaced:
      return !logged_in;
    default:
      return false;
  }
}

AutoBan::Entry* AutoBan::entry_for(uint64_t key) {
  Entry* oldest = nullptr;
  int64_t oldest_ms = 0;
  for (Entry& entry : entries_) {
    if (entry.used && entry.key == key) return &entry;
    // A ban due is never lost to make room.
    if (entry.due) continue;
    const int64_t last_ms =
        entry.used ? entry.at_ms[(entry.next + kMaxStrikes - 1) % kMaxStrikes] : INT64_MIN;
    if (oldest == nullptr || last_ms < oldest_ms) {
      oldest = &entry;
      oldest_ms = last_ms;
    }
  }
  if (oldest == nullptr) return nullptr;
  *oldest = Entry{};
  oldest->used = true;
  oldest->key = key;
  return oldest;
}

bool AutoBan::strike(const net::IpAddress& addr, int reason, int32_t limit, int64_t now_ms) {
  if (limit <= 0 || reason < 0 || reason >= kDropReasons) return false;
  if (limit > kMaxStrikes) limit = kMaxStrikes;
  platform::MutexLock guard(lock_);
  Entry* found = entry_for(addr.address_key());
  // Every place holds a ban on its way, or this address's is one of them.
  if (found == nullptr || found->due) return false;
  Entry& entry = *found;
  entry.addr = addr;
  entry.at_ms[entry.next] = now_ms;
  entry.reason[entry.next] = static_cast<int8_t>(reason);
  entry.next = (entry.next + 1) % kMaxStrikes;
  if (entry.count < kMaxStrikes) ++entry.count;
  if (entry.count < limit) return false;
  // The limit-th strike back from this one.
  const int first = (entry.next + kMaxStrikes - limit) % kMaxStrikes;
  if (now_ms - entry.at_ms[first] > kStrikeWindowMs) return false;
  entry.due = true;
  entry.due_after = limit;
  ++due_count_;
  return true;
}

bool AutoBan::take_due(DueBan* out) {
  platform::MutexLock guard(lock_);
  if (due_count_ == 0) return false;
  for (Entry& entry : entries_) {
    if (!entry.due) continue;
    *out = DueBan{};
    out->addr = entry.addr;
    // The strikes that made it due: the last `due_after`.
    for (int i = 0; i < entry.due_after; ++i) {
      out->strikes[entry.reason[(entry.next + kMaxStrikes - 1 - i) % kMaxStrikes]] += 1;
    }
    entry = Entry{};
    --due_count_;
    return true;
  }
  return false;
}

}  // namespace lobby
