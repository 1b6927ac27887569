#include "lobby/connection_rate.h"

namespace lobby {
namespace {

int home_of(uint64_t key) {
  // Fibonacci hashing of the key's two halves folded (an IPv4 key is its
  // address): neighbouring addresses land far apart.
  const uint32_t folded = static_cast<uint32_t>(key) ^ static_cast<uint32_t>(key >> 32);
  return static_cast<int>((folded * 2654435769u) >> 22) & kRateEntryMask;
}

}  // namespace

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
  const int home = home_of(key);
  Entry* found = nullptr;
  Entry* spare = nullptr;
  for (int i = 0; i < kRateProbes; ++i) {
    Entry& entry = entries_[(home + i) & kRateEntryMask];
    if (entry.used && entry.key == key) {
      found = &entry;
      break;
    }
    // A free place first; failing that, the bucket that is fullest (one
    // full again is as good as a free place).
    if (spare == nullptr || (spare->used && (!entry.used || entry.full_at < spare->full_at))) {
      spare = &entry;
    }
  }
  if (found == nullptr) {
    found = spare;
    found->used = true;
    found->key = key;
    found->full_at = now;
  }
  int64_t full_at = found->full_at < now ? now : found->full_at;
  // One more connection would leave less than nothing in the bucket.
  if (full_at + kRateWindowMs > now + depth) return false;
  found->full_at = full_at + kRateWindowMs;
  return true;
}

}  // namespace lobby
