// The waits between the upstream link's connection attempts: 1 s, 2 s,
// 4 s, ... up to 30 s, each moved by up to 20% either way, so that lobbies
// that lost one upstream server together do not all call back at the same
// moment. The jitter comes from a seeded generator, so a test that fixes the
// seed knows every wait. Accept thread only.
#ifndef UPSTREAM_BACKOFF_H_
#define UPSTREAM_BACKOFF_H_

#include <cstdint>
#include <random>

namespace lobby {
struct ImageAccess;
}  // namespace lobby

namespace upstream {

constexpr int64_t kBackoffFirstMs = 1000;
constexpr int64_t kBackoffLongestMs = 30000;
constexpr int kJitterPercent = 20;
// A link that stayed up this long starts the schedule again from its first
// wait when it is lost; one that fell sooner goes on where it stood.
constexpr int64_t kStableLinkMs = 60000;

class Backoff {
 public:
  explicit Backoff(uint32_t seed) : rng_(seed) {}

  // The wait before the next attempt; each call moves one step on.
  int64_t next_wait_ms();
  // Back to the first step.
  void reset() { base_ms_ = kBackoffFirstMs; }

 private:
  // The state image carries the step and the generator across a hand-over.
  friend struct lobby::ImageAccess;

  int64_t base_ms_ = kBackoffFirstMs;
  std::minstd_rand rng_;
};

}  // namespace upstream

#endif  // UPSTREAM_BACKOFF_H_
