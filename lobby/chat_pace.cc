#include "lobby/chat_pace.h"

namespace lobby {
namespace {

// A chat token is a thousandth of a line, as a flood token is of a message.
constexpr int64_t kLineCost = 1000;
// A refill never counts more than this much time, so that the product with
// the rate stays far inside 64 bits whatever the clock did.
constexpr int64_t kLongestRefillMs = 3600 * 1000;

}  // namespace

void ChatPace::reset(const config::Settings& settings) {
  platform::MutexLock guard(lock_);
  retune(settings.L_CHAT_RATE > 0 ? settings.L_CHAT_RATE : 0, settings.L_CHAT_BURST);
  for (Bucket& bucket : buckets_) bucket = Bucket();
}

void ChatPace::retune(int32_t rate, int32_t burst) {
  if (rate == rate_ && burst == burst_) return;
  rate_ = rate;
  burst_ = burst;
  // At least one line and a millisecond's earnings more, for the same
  // reason as the flood bucket: a held line's worker wakes on a whole
  // millisecond, and what it earned meanwhile must not spill over.
  const int64_t most = static_cast<int64_t>(burst) * kLineCost;
  const int64_t least = kLineCost + rate_ - 1;
  bucket_ = most > least ? most : least;
  for (Bucket& bucket : buckets_) {
    if (bucket.tokens > bucket_) bucket.tokens = bucket_;
  }
}

void ChatPace::refill(Bucket& bucket, int64_t now_ms) const {
  int64_t elapsed = now_ms - bucket.refill_ms;
  if (elapsed <= 0) return;
  if (elapsed > kLongestRefillMs) elapsed = kLongestRefillMs;
  bucket.refill_ms = now_ms;
  // A rate of r lines a second earns r thousandths of a line a ms.
  const int64_t tokens = bucket.tokens + elapsed * rate_;
  bucket.tokens = tokens < bucket_ ? tokens : bucket_;
}

ChatPace::Bucket& ChatPace::bucket_of(uint64_t key, int64_t now_ms) {
  Bucket* spare = nullptr;      // free, or full again: limits nothing
  Bucket* strictest = nullptr;  // the emptiest of the rest
  for (Bucket& bucket : buckets_) {
    if (bucket.used && bucket.key == key) {
      refill(bucket, now_ms);
      return bucket;
    }
    if (bucket.used) refill(bucket, now_ms);
    if (!bucket.used || bucket.tokens >= bucket_) {
      // A free place before one that is merely full again.
      if (spare == nullptr || (spare->used && !bucket.used)) spare = &bucket;
    } else if (strictest == nullptr || bucket.tokens < strictest->tokens) {
      strictest = &bucket;
    }
  }
  if (spare == nullptr) return *strictest;
  spare->used = true;
  spare->key = key;
  spare->tokens = bucket_;
  spare->refill_ms = now_ms;
  return *spare;
}

bool ChatPace::take(uint64_t key, int32_t rate, int32_t burst, int64_t now_ms, int* wait_ms) {
  platform::MutexLock guard(lock_);
  retune(rate, burst);
  Bucket& bucket = bucket_of(key, now_ms);
  if (bucket.tokens >= kLineCost) {
    bucket.tokens -= kLineCost;
    return true;
  }
  const int64_t missing = kLineCost - bucket.tokens;
  const int64_t ms = rate_ > 0 ? (missing + rate_ - 1) / rate_ : 1;
  *wait_ms = ms < 1 ? 1 : static_cast<int>(ms);
  return false;
}

void ChatPace::give_back(uint64_t key) {
  platform::MutexLock guard(lock_);
  for (Bucket& bucket : buckets_) {
    if (!bucket.used || bucket.key != key) continue;
    const int64_t tokens = bucket.tokens + kLineCost;
    bucket.tokens = tokens < bucket_ ? tokens : bucket_;
    return;
  }
}

}  // namespace lobby
