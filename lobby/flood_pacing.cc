#include "lobby/flood_pacing.h"

#include "wire/message_table.h"

namespace lobby {
namespace {

// A refill never counts more than this much time, so that the product with
// the rate stays far inside 64 bits whatever the clock did.
constexpr int64_t kLongestRefillMs = 3600 * 1000;

// At least one message and a millisecond's earnings more: a held-back
// client's worker wakes on a whole millisecond, up to one late for the
// token it waits for, and what it earned meanwhile must not spill over a
// small bucket, or the pace would fall short of the rate.
int64_t bucket_size(int32_t rate, int32_t burst_messages) {
  const int64_t burst = static_cast<int64_t>(burst_messages) * kTokenCost;
  const int64_t least = kTokenCost + rate - 1;
  return burst > least ? burst : least;
}

}  // namespace

void FloodPacing::reset(int32_t rate, int32_t burst, int64_t now_ms) {
  rate_ = rate > 0 ? rate : 0;
  bucket_ = bucket_size(rate_, burst);
  tokens_ = bucket_;
  refill_ms_ = now_ms;
  end_hold();
}

void FloodPacing::retune(int32_t rate, int32_t burst, int64_t now_ms) {
  if (rate <= 0) {
    // Pacing is off: nothing holds the client back any more.
    rate_ = 0;
    end_hold();
    return;
  }
  // Earned at the old rate up to now, then paced at the new one; a bucket
  // that shrinks keeps no more than it now holds, and a pacing that comes
  // back on starts with a full one.
  if (rate_ > 0) {
    begin_pass(now_ms);
  } else {
    tokens_ = bucket_size(rate, burst);
  }
  refill_ms_ = now_ms;
  rate_ = rate;
  bucket_ = bucket_size(rate, burst);
  if (tokens_ > bucket_) tokens_ = bucket_;
}

void FloodPacing::begin_pass(int64_t now_ms) {
  // The held client's worker was to pass by its next token. Far later than
  // that, the process was stopped or starved: that time is nobody's hold.
  if (hold() != Hold::kFree && held_since_ms_ >= 0 && due_ms_ >= 0 &&
      now_ms - due_ms_ > kStoppedGapMs) {
    held_since_ms_ += now_ms - due_ms_;
    due_ms_ = now_ms;
  }
  int64_t elapsed = now_ms - refill_ms_;
  if (elapsed <= 0) return;
  if (elapsed > kLongestRefillMs) elapsed = kLongestRefillMs;
  refill_ms_ = now_ms;
  // A rate of r messages a second earns r thousandths of a message a ms.
  const int64_t tokens = tokens_ + elapsed * rate_;
  tokens_ = tokens < bucket_ ? tokens : bucket_;
}

bool FloodPacing::end_pass(bool waiting, int64_t now_ms) {
  if (!waiting) {
    if (held_since_ms_ >= 0) hold_.store(Hold::kPaused, std::memory_order_relaxed);
    return false;
  }
  if (held_since_ms_ < 0) held_since_ms_ = now_ms;
  due_ms_ = now_ms + ms_to_next_token(now_ms);
  hold_.store(Hold::kHeld, std::memory_order_relaxed);
  return now_ms - held_since_ms_ >= kFloodDropMs;
}

void FloodPacing::end_hold() {
  held_since_ms_ = -1;
  due_ms_ = -1;
  hold_.store(Hold::kFree, std::memory_order_relaxed);
}

int FloodPacing::ms_to_next_token(int64_t now_ms) const {
  if (rate_ <= 0) return 1;
  const int64_t missing = kTokenCost - tokens_;
  // Tokens earned since the last refill are not counted in tokens_ yet.
  const int64_t earned = (now_ms - refill_ms_) * rate_;
  const int64_t still = missing - earned;
  if (still <= 0) return 1;
  const int64_t ms = (still + rate_ - 1) / rate_;
  return ms < 1 ? 1 : static_cast<int>(ms);
}

bool complete_message_waiting(const net::Connection& client) {
  if (client.received() < wire::kLenHeader || client.ring_byte(0) != wire::kMsgMark) return false;
  const wire::MessageKind* kind =
      wire::find_message(wire::Direction::kClientToLobby, client.ring_byte(1));
  if (kind == nullptr) return false;
  const int head = wire::known_after(*kind);
  if (client.received() < head) return false;
  return client.received() >= wire::whole_length(*kind, client.ring_byte(head - 1));
}

}  // namespace lobby
