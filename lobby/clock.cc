#include "lobby/clock.h"

#include <chrono>

namespace lobby {

int64_t SteadyClock::now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int SteadyClock::ms_until(int64_t deadline_ms) {
  const int64_t left = deadline_ms - now_ms();
  if (left <= 0) return 0;
  // A poll time-out is an int; a wait cut short only means one more pass.
  constexpr int64_t kLongestWaitMs = 24 * 3600 * 1000;
  return static_cast<int>(left < kLongestWaitMs ? left : kLongestWaitMs);
}

}  // namespace lobby
