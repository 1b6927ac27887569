#include "lobby/clock.h"

#include <chrono>
#include <ctime>

#include "platform/local_time.h"

namespace lobby {

int WallClock::seconds_field() {
  std::time_t now = std::time(nullptr);
  std::tm local;
  platform::local_time(now, &local);
  return local.tm_sec;
}

int WallClock::ms_to_next_second() {
  // The seconds field turns with the wall clock's whole seconds; one
  // millisecond more makes sure the wait ends after the turn, not before.
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  return static_cast<int>(1000 - ms % 1000) + 1;
}

int64_t WallClock::now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int WallClock::ms_until(int64_t deadline_ms) {
  const int64_t left = deadline_ms - now_ms();
  if (left <= 0) return 0;
  // A poll time-out is an int; a wait cut short only means one more pass.
  constexpr int64_t kLongestWaitMs = 24 * 3600 * 1000;
  return static_cast<int>(left < kLongestWaitMs ? left : kLongestWaitMs);
}

}  // namespace lobby
