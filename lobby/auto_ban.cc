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

bool AutoBan::Strikes::add(const net::IpAddress& from, int why, int32_t limit, int64_t now_ms) {
  addr = from;
  // Strikes older than the window never count again: they go, oldest
  // first, and the times are kept from the oldest left.
  while (count > 0 && now_ms - (base_ms + after_ms[(next + kMaxStrikes - count) % kMaxStrikes]) >
                          kStrikeWindowMs) {
    --count;
  }
  const int64_t new_base =
      count == 0 ? now_ms : base_ms + after_ms[(next + kMaxStrikes - count) % kMaxStrikes];
  for (int i = 0; i < count; ++i) {
    const int at = (next + kMaxStrikes - count + i) % kMaxStrikes;
    after_ms[at] = static_cast<int32_t>(base_ms + after_ms[at] - new_base);
  }
  base_ms = new_base;
  after_ms[next] = static_cast<int32_t>(now_ms - base_ms);
  reason[next] = static_cast<int8_t>(why);
  next = (next + 1) % kMaxStrikes;
  if (count < kMaxStrikes) ++count;
  // Every strike held is within the window of this one.
  return count >= limit;
}

int64_t AutoBan::Strikes::newest_ms() const {
  return base_ms + after_ms[(next + kMaxStrikes - 1) % kMaxStrikes];
}

void AutoBan::Strikes::tally(int32_t limit, std::array<int32_t, kDropReasons>* out) const {
  for (int i = 0; i < limit && i < count; ++i) {
    (*out)[reason[(next + kMaxStrikes - 1 - i) % kMaxStrikes]] += 1;
  }
}

bool AutoBan::queue_due(const net::IpAddress& addr, const Strikes& strikes, int32_t limit,
                        bool shared) {
  if (due_count_ == kDueBans) return false;
  DueBan& due = due_[(due_read_ + due_count_) % kDueBans];
  due = DueBan{};
  due.addr = addr;
  due.shared = shared;
  strikes.tally(limit, &due.strikes);
  ++due_count_;
  return true;
}

bool AutoBan::strike(const net::IpAddress& addr, int reason, int32_t limit, int64_t now_ms) {
  if (limit <= 0 || reason < 0 || reason >= kDropReasons) return false;
  if (limit > kMaxStrikes) limit = kMaxStrikes;
  const uint64_t key = addr.address_key();
  platform::MutexLock guard(lock_);
  int found = -1;
  int spare = -1;
  for (int i = 0; i < kStrikeEntries; ++i) {
    if (keys_[i] == key) {
      found = i;
      break;
    }
    // A free place, or one whose strikes have all run out of the window:
    // it limits nothing.
    if (spare < 0 && (keys_[i] == 0 || now_ms - entries_[i].newest_ms() > kStrikeWindowMs)) {
      spare = i;
    }
  }
  if (found < 0 && spare >= 0) {
    found = spare;
    keys_[found] = key;
    entries_[found] = Strikes{};
  }
  Strikes& strikes = found >= 0 ? entries_[found] : shared_;
  if (found < 0) ++shared_strikes_;
  if (!strikes.add(addr, reason, limit, now_ms)) return false;
  // A full queue: the strikes stay, so the next one makes the ban due again.
  if (!queue_due(addr, strikes, limit, found < 0)) return false;
  // The address starts afresh. The shared count does not: every address
  // without a place of its own is banned at its next strike while the
  // window still holds the limit.
  if (found >= 0) {
    keys_[found] = 0;
    entries_[found] = Strikes{};
  }
  return true;
}

bool AutoBan::take_due(DueBan* out) {
  platform::MutexLock guard(lock_);
  if (due_count_ == 0) return false;
  *out = due_[due_read_];
  due_read_ = (due_read_ + 1) % kDueBans;
  --due_count_;
  return true;
}

int64_t AutoBan::shared_strikes() const {
  platform::MutexLock guard(lock_);
  return shared_strikes_;
}

int AutoBan::entries_in_use() const {
  platform::MutexLock guard(lock_);
  int used = 0;
  for (uint64_t key : keys_) used += key != 0 ? 1 : 0;
  return used;
}

}  // namespace lobby
