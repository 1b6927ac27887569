// A thread that wakes for a short burst of work and sleeps again can ask the
// scheduler for a short time slice. A relay worker's pass takes a few
// microseconds and ends in sends that wake the receivers; with the default
// slice a woken receiver on the same core preempts the worker as its send
// returns, so the worker is switched out twice for each line it relays (once
// preempted, once asleep). With a short slice its virtual deadline comes
// first, and it runs on to its own wait.
#ifndef PLATFORM_SHORT_SLICE_H_
#define PLATFORM_SHORT_SLICE_H_

#include <cstdint>

namespace platform {

// The slice asked for: the least Linux takes.
constexpr uint64_t kShortSliceNs = 100'000;

// Asks a kShortSliceNs slice for the calling thread, keeping its policy and
// nice value. Only a thread under the normal time-sharing policy asks: one
// an operator put under another (batch, idle, real time) is left as it is.
// 0 when asked; -1 when not (another policy, or a system without the call).
// A kernel that does not know custom slices (Linux before 6.12) takes the
// request and ignores it; Windows has nothing like it.
int request_short_slice();

}  // namespace platform

#endif  // PLATFORM_SHORT_SLICE_H_
