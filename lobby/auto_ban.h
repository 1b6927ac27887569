// Strikes against addresses whose clients keep getting dropped for what an
// attacker does (flooding, bad framing, no login, displaced while never
// logged in), and the automatic timed bans they earn: L_AUTOBAN strikes of
// one address within kStrikeWindowMs make a ban due. An address is its
// address_key: an IPv4 address, an IPv6 /64, which the ban then covers.
// Refusals are never strikes, so a client that retries while the lobby is
// full earns none.
//
// Workers note strikes as they drop clients; the accept thread takes the
// bans due and puts them in force (BanTable). The limit comes with each
// strike, as the settings hold it then, so a reload's new L_AUTOBAN counts
// from the next drop on.
//
// The table is fixed: kStrikeEntries addresses, each with its last
// kMaxStrikes strikes, looked through whole (no hash anyone could aim at).
// Only an entry that limits nothing, one whose strikes are all older than
// the window, gives its place to another address: an address that is being
// dropped right now keeps its count however many others come. An address
// that finds no place shares one entry with every other such address, so
// that it is counted as strictly as the most limited address could be:
// once that shared count reaches the limit, each of them is banned at its
// next strike.
//
// Any thread, under the table's own lock, a leaf: nothing else is taken
// while it is held.
#ifndef LOBBY_AUTO_BAN_H_
#define LOBBY_AUTO_BAN_H_

#include <array>
#include <cstdint>

#include "config/settings.h"
#include "lobby/drop_request.h"
#include "net/ip_address.h"
#include "platform/annotated_mutex.h"

namespace lobby {

constexpr int kStrikeEntries = 1024;
constexpr int kMaxStrikes = config::kAutoBanMax;
constexpr int64_t kStrikeWindowMs = 10 * 60 * 1000;
// Bans due that wait for the accept thread, which takes them on its next
// pass (every strike wakes it). A strike that finds the queue full makes
// its ban due again at the address's next strike.
constexpr int kDueBans = 256;

// A ban that is due: the address of its last strike and its strikes by
// drop reason. `shared`: the address had no place of its own, and the
// strikes are those of every such address together.
struct DueBan {
  net::IpAddress addr;
  std::array<int32_t, kDropReasons> strikes{};
  bool shared = false;
};

class AutoBan {
 public:
  AutoBan() = default;
  AutoBan(const AutoBan&) = delete;
  AutoBan& operator=(const AutoBan&) = delete;

  // Whether a drop for `reason` is a strike; `logged_in`: the client had an
  // accepted login (a displaced one was then a lurker, no attacker).
  static bool is_strike(int reason, bool logged_in);
  // Notes a strike against `addr`'s key at `now_ms` (the server clock).
  // True when it is the `limit`-th within kStrikeWindowMs, which makes a ban
  // due; it waits for take_due, and the address starts afresh. `limit` 0:
  // no strike is noted.
  bool strike(const net::IpAddress& addr, int reason, int32_t limit, int64_t now_ms);
  // Takes one ban that is due, oldest first; false when none is.
  bool take_due(DueBan* out);

  // Addresses that found no place of their own since the start, and
  // entries in use (for tests and figures).
  int64_t shared_strikes() const;
  int entries_in_use() const;

 private:
  // The state image carries every address's strikes across a hand-over.
  friend struct ImageAccess;

  // An address's strikes: a ring of the last kMaxStrikes, each as its time
  // after `base_ms` (kept within the window of the newest, so it fits 32
  // bits) and its reason.
  struct Strikes {
    net::IpAddress addr;  // the last strike's
    int64_t base_ms = 0;
    int32_t count = 0;  // strikes held, at most kMaxStrikes
    int32_t next = 0;   // where the next strike goes
    std::array<int32_t, kMaxStrikes> after_ms{};
    std::array<int8_t, kMaxStrikes> reason{};

    // Notes a strike; true when the last `limit` fall within the window.
    bool add(const net::IpAddress& from, int why, int32_t limit, int64_t now_ms);
    int64_t newest_ms() const;
    // The last `limit` strikes by reason.
    void tally(int32_t limit, std::array<int32_t, kDropReasons>* out) const;
  };

  // Queues a ban of `addr` with the last `limit` strikes of `strikes`;
  // false when the queue is full.
  bool queue_due(const net::IpAddress& addr, const Strikes& strikes, int32_t limit, bool shared)
      REQUIRES(lock_);

  mutable platform::Mutex lock_;  // a leaf lock
  // keys_[i] is the address_key of entries_[i], 0 for a free place (no
  // client has the key 0). Apart, so that the look for a key is quick.
  std::array<uint64_t, kStrikeEntries> keys_ GUARDED_BY(lock_){};
  std::array<Strikes, kStrikeEntries> entries_ GUARDED_BY(lock_){};
  // The strikes of every address that found no place.
  Strikes shared_ GUARDED_BY(lock_);
  int64_t shared_strikes_ GUARDED_BY(lock_) = 0;
  // The bans due, a ring: due_[due_read_], then the next due_count_ - 1.
  std::array<DueBan, kDueBans> due_ GUARDED_BY(lock_){};
  int32_t due_read_ GUARDED_BY(lock_) = 0;
  int32_t due_count_ GUARDED_BY(lock_) = 0;
};

}  // namespace lobby

#endif  // LOBBY_AUTO_BAN_H_
