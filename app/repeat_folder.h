// Folds the repeated refusals and drops of one address into one line a
// minute, so that an address that reconnects in a tight loop cannot fill
// the event log. An address is what the per-address limits count: an IPv4
// address, an IPv6 /64 (its address_key). The first event of an address,
// kind and reason is written as it comes and opens a window of
// kRepeatWindowMs; the ones after it in that window are only counted, and
// told in one line when it ends:
//   "refused 203.0.113.9: denied ×52311 in the last 60 s"
//   "dropped 2001:db8:0:7::/64: bad framing ×1200 in the last 60 s"
// The next event after the window opens a new one. When the table has no
// entry left, the events of further addresses are folded by kind and
// reason alone ("refused other addresses: denied ×N in the last 60 s").
//
// Times are the lobby clock's now_ms. Any thread, under the folder's own
// lock, which is also held while a line is handed to `emit`: the receiver
// must not call back into the folder.
#ifndef APP_REPEAT_FOLDER_H_
#define APP_REPEAT_FOLDER_H_

#include <array>
#include <cstdint>
#include <functional>

#include "net/ip_address.h"
#include "platform/annotated_mutex.h"

namespace app {

constexpr int64_t kRepeatWindowMs = 60000;
// Addresses and reasons folded at once: far more than the addresses of any
// one attack the lobby has met.
constexpr int kRepeatEntries = 256;
// Reasons folded for addresses beyond the table; an event with a reason
// number past it is written as it comes.
constexpr int kRepeatReasons = 16;

class RepeatFolder {
 public:
  enum Kind : int { kRefused = 0, kDropped, kKinds };
  using Emit = std::function<void(const char* line)>;

  explicit RepeatFolder(Emit emit) : emit_(std::move(emit)) {}
  RepeatFolder(const RepeatFolder&) = delete;
  RepeatFolder& operator=(const RepeatFolder&) = delete;

  // An event of `kind` from `addr` for `reason`, told as `reason_text` (a
  // string that lives as long as the folder), whose own line is `line`:
  // written when it opens a window, counted otherwise.
  void report(Kind kind, const net::IpAddress& addr, int reason, const char* reason_text,
              const char* line, int64_t now_ms);
  // Tells every window that has ended by `now_ms` and closes it. Returns
  // the ms until the next one ends, -1 when none is open.
  int tell_ended(int64_t now_ms);
  // Tells every window still open, with the seconds it has been open
  // ("×3 in the last 12 s"), and closes it: before the log closes.
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

  // Tells `entry` when it has repeats, and frees it.
  void tell(Entry& entry, int64_t now_ms) REQUIRES(lock_);
  // Counts the event in `entry` when its window is open; otherwise tells
  // the ended window, opens a new one and writes `line`.
  void fold(Entry& entry, const char* line, int64_t now_ms) REQUIRES(lock_);
  // A window opened that ends at `end_ms`.
  void note_end(int64_t end_ms) REQUIRES(lock_);

  const Emit emit_;
  // Held while a line is emitted, so it comes before the event log's lock.
  platform::Mutex lock_;
  std::array<Entry, kRepeatEntries> entries_ GUARDED_BY(lock_);
  // Addresses beyond the table, by kind and reason.
  std::array<std::array<Entry, kRepeatReasons>, kKinds> others_ GUARDED_BY(lock_);
  // No window ends before this time; -1 when none is open. The keeper asks
  // on every pass, and looks through the table only once one may have
  // ended.
  int64_t next_end_ms_ GUARDED_BY(lock_) = -1;
};

}  // namespace app

#endif  // APP_REPEAT_FOLDER_H_
