#include "lobby/connection_rate.h"

namespace lobby {

void ConnectionRate::retune(int32_t per_minute) {
  if (per_minute == per_minute_) return;
  per_minute_ = per_minute;
  entries_.fill(Entry{});
}

bool ConnectionRate::admit(uint64_t key, int64_t now_ms) {
  if (per_minute_ <= 0) return true;
  const int64_t now = now_ms * per_minute_;
  // A full bucket may run this far ahead of now before it is empty.
  const int64_t depth = static_cast<int64_t>(per_minute_) * kRateWindowMs;
  const int home = static_cast<int>(hash_(key) & kRateEntryMask);
  Entry* found = nullptr;
  Entry* spare = nullptr;      // the first place that limits nothing
  Entry* strictest = nullptr;  // the emptiest bucket still refilling
  for (int i = 0; i < kRateProbes; ++i) {
    Entry& entry = entries_[(home + i) & kRateEntryMask];
    if (entry.key == key) {
      found = &entry;
      break;
    }
    if (entry.key == 0 || entry.full_at <= now) {
      if (spare == nullptr) spare = &entry;
    } else if (strictest == nullptr || entry.full_at > strictest->full_at) {
      strictest = &entry;
    }
  }
  if (found == nullptr && spare == nullptr) {
    // No place: judged as the emptiest bucket of its places, and given
    // nothing of its own to spend.
    return strictest->full_at + kRateWindowMs <= now + depth;
  }
  if (found == nullptr) {
    found = spare;
    found->key = key;
    found->full_at = now;
  }
  const int64_t full_at = found->full_at < now ? now : found->full_at;
  // One more connection would leave less than nothing in the bucket.
  if (full_at + kRateWindowMs > now + depth) return false;
  found->full_at = full_at + kRateWindowMs;
  return true;
}

}  // namespace lobby
