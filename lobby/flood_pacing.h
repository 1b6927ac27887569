// Flood pacing of one client: a token bucket over every message it sends,
// and the hold that keeps its input unread while the bucket is empty.
//
// L_FLOOD_RATE tokens a second refill the bucket up to L_FLOOD_BURST; each
// handled message takes one. A client whose bucket is empty while a whole
// message waits is held: its messages wait, unread, in its receive ring and
// then in the kernel, so that TCP slows the sender down, and are handled in
// order as tokens return. A client held for kFloodDropMs without a break (a
// moment with no whole message waiting, in the ring or the kernel) is
// dropped as flooding. Only time the process ran counts: a pass that comes
// far later than the held client's next token was due finds the process
// was stopped (Ctrl-Z, SIGSTOP) or starved meanwhile, which is not the
// client's doing.
//
// Time is passed in (the server's clock, or the time an in-memory lobby is
// given). Worker thread of the slot only (reset by the accept thread while
// the slot is free), except held(), which any thread may ask.
#ifndef LOBBY_FLOOD_PACING_H_
#define LOBBY_FLOOD_PACING_H_

#include <atomic>
#include <cstdint>

#include "net/connection.h"

namespace lobby {

// A client held back by flood pacing this long without a break is dropped.
constexpr int64_t kFloodDropMs = 10000;
// Flood tokens are counted in thousandths of a message.
constexpr int64_t kTokenCost = 1000;
// A pass this much later than a held client's next token was due means the
// process did not run meanwhile; the held client's worker waits no longer
// than that token.
constexpr int64_t kStoppedGapMs = 2000;

class FloodPacing {
 public:
  enum class Hold : uint8_t {
    kFree,    // not held back
    kHeld,    // the last pass left a whole message waiting for a token
    kPaused,  // a held client's pass worked through its ring: it is held on
              // only if more input waits unread (the caller looks), else
              // that was its break
  };

  FloodPacing() = default;
  FloodPacing(const FloodPacing&) = delete;
  FloodPacing& operator=(const FloodPacing&) = delete;

  // A new connection placed at `now_ms`: `rate` (L_FLOOD_RATE, 0 for
  // none) and a full bucket of `burst` (L_FLOOD_BURST), no hold.
  void reset(int32_t rate, int32_t burst, int64_t now_ms);
  // New settings for a connection already open: from `now_ms` on it earns
  // tokens at `rate` into a bucket of `burst`, keeping what it holds.
  void retune(int32_t rate, int32_t burst, int64_t now_ms);
  // Pacing is on (L_FLOOD_RATE above 0).
  bool on() const { return rate_ > 0; }

  // At the start of a pass: adds the tokens earned since the last one, and
  // takes time the process did not run out of a hold.
  void begin_pass(int64_t now_ms);
  bool has_token() const { return tokens_ >= kTokenCost; }
  void spend_token() { tokens_ -= kTokenCost; }
  // At the end of a pass that could handle messages: `waiting` when a whole
  // message waits for a token. True when the client has now been held for
  // kFloodDropMs without a break. A held client that did not stay held is
  // left paused.
  bool end_pass(bool waiting, int64_t now_ms);
  // The hold is over: the client had its break, or something other than
  // its pace stops it.
  void end_hold();

  Hold hold() const { return hold_.load(std::memory_order_relaxed); }
  // Any thread: a whole message waits for a token, and the client's
  // socket is left unread until the next one.
  bool held() const { return hold() == Hold::kHeld; }
  bool paused() const { return hold() == Hold::kPaused; }
  // Milliseconds until a held client earns its next token (at least 1).
  int ms_to_next_token(int64_t now_ms) const;

 private:
  // The state image carries every field across a hand-over.
  friend struct ImageAccess;

  int32_t rate_ = 0;       // tokens a millisecond (L_FLOOD_RATE); 0: off
  int64_t bucket_ = 0;     // the most tokens the bucket holds
  int64_t tokens_ = 0;     // in thousandths of a message
  int64_t refill_ms_ = 0;  // time of the last refill
  // Since when the client has been held without a break, moved later by
  // time the process did not run; -1 while not held or paused.
  int64_t held_since_ms_ = -1;
  // When the next pass of a held client was due at the latest: its next
  // token.
  int64_t due_ms_ = -1;
  // Atomic: written by the slot's worker, read by the accept thread (a held
  // client counts as active for the idle clock) and the worker's wait.
  std::atomic<Hold> hold_{Hold::kFree};
};

// True when the ring holds a whole message from its "2" on (a chat line
// with all its text). Anything that is no message is left to the
// dispatcher's framing check.
bool complete_message_waiting(const net::Connection& client);

}  // namespace lobby

#endif  // LOBBY_FLOOD_PACING_H_
