// Chat lines a second per address: one token bucket per address_key (an
// IPv4 address, an IPv6 /64), shared by every connection from it, so that
// many connections (or new ones after each drop) from one address say no
// more than one would.
//
// L_CHAT_RATE tokens a second refill an address's bucket up to
// L_CHAT_BURST; each chat line written to the ring takes one. A line that
// finds its address's bucket empty waits, unread, like a line held back by
// flood pacing, and goes out in order once a token returns.
//
// The buckets live in a fixed table, looked through whole (no hash anyone
// could aim at). An address without a bucket takes a free one, or one that
// has filled up again: that is worth no more than a new one, so forgetting
// it gives its address nothing. A bucket that still limits its address is
// never forgotten for another. When no bucket can be had, the address
// shares the emptiest one: it is held as strictly as the table's most
// limited address, never let off as a fresh one. Any thread; the table has
// its own lock, a leaf.
//
// The rate and burst come with each line, as the settings hold them when
// it is read, so a reload's new pace applies from the next line on: every
// bucket keeps its tokens, cut to the new burst.
#ifndef LOBBY_CHAT_PACE_H_
#define LOBBY_CHAT_PACE_H_

#include <array>
#include <cstdint>

#include "config/settings.h"
#include "platform/annotated_mutex.h"

namespace lobby {

// Buckets kept: eight times the slots, so that every connected address has
// one and the addresses that left recently keep theirs until full again
// (with the default pace, 5 s after their last line).
constexpr int kChatPaceEntries = 256;

class ChatPace {
 public:
  ChatPace() = default;
  ChatPace(const ChatPace&) = delete;
  ChatPace& operator=(const ChatPace&) = delete;

  // The settings' rate and burst, every bucket forgotten. Before any
  // client is served.
  void reset(const config::Settings& settings);

  // Takes a token for one chat line from the address of `key` (its
  // address_key) at `now_ms`, at `rate` lines a second (above 0) and
  // `burst` lines at most. False when the bucket is empty; `*wait_ms` is
  // then the time until the next token (at least 1 ms).
  bool take(uint64_t key, int32_t rate, int32_t burst, int64_t now_ms, int* wait_ms);
  // Gives back the token of a line that was not written after all.
  void give_back(uint64_t key);

 private:
  // The state image carries every bucket across a hand-over.
  friend struct ImageAccess;

  struct Bucket {
    uint64_t key = 0;  // an address_key
    bool used = false;
    int64_t tokens = 0;  // in thousandths of a line
    int64_t refill_ms = 0;
  };
  // The address's bucket, refilled up to `now_ms`; a new full one if it had
  // none; the emptiest one when there is no place for its own.
  Bucket& bucket_of(uint64_t key, int64_t now_ms) REQUIRES(lock_);
  void refill(Bucket& bucket, int64_t now_ms) const REQUIRES(lock_);
  // Takes `rate` and `burst` when they differ from those in force; every
  // bucket above the new burst is cut to it.
  void retune(int32_t rate, int32_t burst) REQUIRES(lock_);

  platform::Mutex lock_;                  // a leaf lock
  int32_t rate_ GUARDED_BY(lock_) = 0;    // thousandths of a line a ms
  int32_t burst_ GUARDED_BY(lock_) = 0;   // L_CHAT_BURST in force
  int64_t bucket_ GUARDED_BY(lock_) = 0;  // the most tokens a bucket holds
  std::array<Bucket, kChatPaceEntries> buckets_ GUARDED_BY(lock_);
};

}  // namespace lobby

#endif  // LOBBY_CHAT_PACE_H_
