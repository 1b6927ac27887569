#include "upstream/backoff.h"

namespace upstream {

int64_t Backoff::next_wait_ms() {
  // The engine's output is fixed by the language for a given seed, so the
  // schedule is the same on every platform (a distribution object's is not).
  constexpr int64_t kSpread = 2 * kJitterPercent + 1;
  const int64_t percent = 100 - kJitterPercent + static_cast<int64_t>(rng_() % kSpread);
  const int64_t wait = base_ms_ * percent / 100;
  base_ms_ = base_ms_ * 2 < kBackoffLongestMs ? base_ms_ * 2 : kBackoffLongestMs;
  return wait;
}

}  // namespace upstream
