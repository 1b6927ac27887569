// Folds what connections without a login cause (refusals, drops, refused
// logins) and automatic bans into a few lines a minute, so that neither an
// address that reconnects in a tight loop nor a spray of connections from
// any number of addresses can fill the event log.
//
// By address: an address is what the per-address limits count, an IPv4
// address or an IPv6 /64 (its address_key). The first event of an address,
// kind and reason is written as it comes and opens a window of
// kRepeatWindowMs; the ones after it in that window are only counted, and
// told in one line when it ends:
//   "refused 203.0.113.9: denied ×52311 in the last 60 s"
//   "dropped 2001:db8:0:7::/64: bad framing ×1200 in the last 60 s"
//   "proxy 10.0.0.1: health checks ×599 in the last 60 s"
// The next event after the window opens a new one. When the table has no
// entry left, the events of further addresses are folded by kind and
// reason alone ("refused other addresses: denied ×N in the last 60 s").
//
// Across addresses: each kind and reason has a minute of its own, opened by
// its first event. Once more than kCrowdAfter distinct addresses have had
// one in that minute, every further event of it, whatever its address, is
// only counted, and the minute's end tells them in one line: the number of
// addresses ("about" once there are more than the crowd's exact set holds)
// and of events, and the five addresses with the most:
//   "refused 5000 addresses: denied ×5000 in the last 60 s; most
//    127.1.0.1 ×1, ..."
// Every event is in exactly one line or count, so the log's counts add up
// to the lobby's.
//
// Times are the lobby clock's now_ms. Any thread, under the folder's own
// lock, which is also held while a line is handed to `emit`: the receiver
// must not call back into the folder.
#ifndef APP_REPEAT_FOLDER_H_
#define APP_REPEAT_FOLDER_H_

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "lobby/keyed_hash.h"
#include "net/ip_address.h"
#include "platform/annotated_mutex.h"

namespace app {

constexpr int64_t kRepeatWindowMs = 60000;
// Addresses and reasons folded at once. Past kCrowdAfter addresses of a
// reason its minute is a crowd's, so the table holds the handful of each.
constexpr int kRepeatEntries = 256;
// Reasons folded for addresses beyond the table; an event with a reason
// number past it is written as it comes.
constexpr int kRepeatReasons = 16;
// Distinct addresses of a kind and reason in a minute whose lines are
// written before the rest of the minute becomes one crowd's line.
constexpr int kCrowdAfter = 10;
// Crowds counted at once with their addresses; a further one is counted
// without them ("more than 10 addresses").
constexpr int kCrowds = 4;
// Addresses a crowd tells exactly (three quarters of its set's places);
// past them, an estimate from kCrowdBits bits.
constexpr int kCrowdSet = 4096;
constexpr int kCrowdExact = kCrowdSet * 3 / 4;
constexpr int kCrowdBits = 1 << 16;
// Addresses with the most events, kept to name the crowd's five busiest.
constexpr int kCrowdTop = 32;
constexpr int kCrowdNamed = 5;

class RepeatFolder {
 public:
  // What happened, each its own line's first word(s): a connection refused,
  // dropped, or its login refused, an automatic ban, and (kChecked) a
  // trusted proxy's health checks, by the proxy's address.
  enum Kind : int { kRefused = 0, kDropped, kLoginRefused, kBanned, kChecked, kKinds };
  using Emit = std::function<void(const char* line)>;

  explicit RepeatFolder(Emit emit);
  RepeatFolder(const RepeatFolder&) = delete;
  RepeatFolder& operator=(const RepeatFolder&) = delete;

  // An event of `kind` from `addr` for `reason`, told as `reason_text` (a
  // string that lives as long as the folder), whose own line is `line`:
  // written when it opens a window, counted otherwise.
  void report(Kind kind, const net::IpAddress& addr, int reason, const char* reason_text,
              const char* line, int64_t now_ms);
  // Tells every window and minute that has ended by `now_ms` and closes it.
  // Returns the ms until the next one ends, -1 when none is open.
  int tell_ended(int64_t now_ms);
  // Tells every window and minute still open, with the seconds it has been
  // open ("×3 in the last 12 s"), and closes it: before the log closes.
  void tell_all(int64_t now_ms);

 private:
  struct Entry {
    bool used = false;
    Kind kind = kRefused;
    int reason = 0;
    uint64_t key = 0;    // the address_key of `from`
    net::IpPrefix from;  // what the key stands for, as the line names it
    const char* reason_text = "";
    int64_t opened_ms = 0;
    int64_t repeats = 0;  // events after the first
    bool others = false;  // an entry of others_
  };

  // The events of one minute of a crowd: how many, from how many addresses
  // and which addresses had the most.
  struct Crowd {
    int64_t events = 0;
    // The addresses seen, by keyed hash (0: a free place) until the set
    // holds kCrowdExact; and one bit each of kCrowdBits throughout, whose
    // share still clear gives the estimate past that.
    std::array<uint64_t, kCrowdSet> set{};
    int set_count = 0;
    std::array<uint64_t, kCrowdBits / 64> bits{};
    // The busiest addresses as a space-saving summary: an address that
    // takes the place of the least counted one starts from that count,
    // noted as its possible excess. An address with more than 1/kCrowdTop
    // of the events is always among them.
    struct Top {
      uint64_t key = 0;
      net::IpPrefix from;
      int64_t count = 0;
      int64_t excess = 0;
    };
    std::array<Top, kCrowdTop> top{};
    int top_count = 0;

    void add(uint64_t key, uint64_t hash, const net::IpAddress& addr);
    // Addresses seen; `*about` when estimated, `*more` when past telling.
    int64_t addresses(bool* about, bool* more) const;
  };

  // One kind and reason's minute across addresses.
  struct Minute {
    bool open = false;
    int64_t opened_ms = 0;
    const char* reason_text = "";
    // The distinct addresses of the minute before it became a crowd's.
    std::array<uint64_t, kCrowdAfter> seen{};
    int seen_count = 0;
    bool crowd = false;
    int pool = -1;       // its Crowd in crowds_, -1 for a crowd counted alone
    int64_t events = 0;  // a crowd's events, when counted alone
  };

  // Tells `entry` when it has repeats, and frees it.
  void tell(Entry& entry, int64_t now_ms) REQUIRES(lock_);
  // Counts the event in `entry` when its window is open; otherwise tells
  // the ended window, opens a new one and writes `line`.
  void fold(Entry& entry, const char* line, int64_t now_ms) REQUIRES(lock_);
  // The per-address folding of an event that is not a crowd's.
  void fold_by_address(Kind kind, const net::IpAddress& addr, int reason, const char* reason_text,
                       const char* line, int64_t now_ms) REQUIRES(lock_);
  // Tells a minute's crowd, if it became one, and closes the minute.
  void close_minute(Kind kind, Minute& minute, int64_t now_ms) REQUIRES(lock_);
  // A window opened that ends at `end_ms`.
  void note_end(int64_t end_ms) REQUIRES(lock_);

  const Emit emit_;
  const lobby::KeyedHash hash_;
  // Held while a line is emitted, so it comes before the event log's lock.
  platform::Mutex lock_;
  std::array<Entry, kRepeatEntries> entries_ GUARDED_BY(lock_);
  // Addresses beyond the table, by kind and reason.
  std::array<std::array<Entry, kRepeatReasons>, kKinds> others_ GUARDED_BY(lock_);
  std::array<std::array<Minute, kRepeatReasons>, kKinds> minutes_ GUARDED_BY(lock_);
  // The crowds' tables, made once with the folder; a minute that becomes a
  // crowd takes a free one.
  std::unique_ptr<Crowd[]> crowds_ GUARDED_BY(lock_);
  std::array<bool, kCrowds> crowd_taken_ GUARDED_BY(lock_){};
  // No window or minute ends before this time; -1 when none is open. The
  // keeper asks on every pass, and looks through the tables only once one
  // may have ended.
  int64_t next_end_ms_ GUARDED_BY(lock_) = -1;
};

}  // namespace app

#endif  // APP_REPEAT_FOLDER_H_
