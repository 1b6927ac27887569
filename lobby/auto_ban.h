// Strikes against addresses whose clients keep getting dropped for what an
// attacker does (flooding, bad framing, no login, displaced while never
// logged in), and the automatic timed bans they earn: L_AUTOBAN strikes of
// one address within kStrikeWindowMs make a ban due. An address is its
// address_key: an IPv4 address, an IPv6 /64, which the ban then covers.
// Refusals are never strikes, so a client that retries while the lobby is
// full earns none.
//
// Workers note strikes as they drop clients; the accept thread takes the
// bans due and writes them to the deny file (a file write has no place on
// a worker). The limit comes with each strike, as the settings hold it
// then, so a reload's new L_AUTOBAN counts from the next drop on. The
// table is fixed: kStrikeEntries addresses, each with its
// last kMaxStrikes strikes; when it is full, the address whose last strike
// is oldest gives way.
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

constexpr int kStrikeEntries = 256;
constexpr int kMaxStrikes = config::kAutoBanMax;
constexpr int64_t kStrikeWindowMs = 10 * 60 * 1000;

// A ban that is due: the address of its last strike and its strikes by
// drop reason. The ban is of IpPrefix::of(addr, addr.key_bits()).
struct DueBan {
  net::IpAddress addr;
  std::array<int32_t, kDropReasons> strikes{};
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
  // Takes one ban that is due; false when none is.
  bool take_due(DueBan* out);

 private:
  struct Entry {
    bool used = false;
    bool due = false;
    uint64_t key = 0;       // the address_key of every strike held
    net::IpAddress addr;    // the last strike's
    int32_t count = 0;      // strikes held, at most kMaxStrikes
    int32_t next = 0;       // where the next strike goes
    int32_t due_after = 0;  // with due: the strikes that made it so
    std::array<int64_t, kMaxStrikes> at_ms{};
    std::array<int8_t, kMaxStrikes> reason{};
  };
  // The entry of `key`, or the one that gives way to it (emptied); null
  // when every entry holds a ban due.
  Entry* entry_for(uint64_t key) REQUIRES(lock_);

  platform::Mutex lock_;  // a leaf lock
  std::array<Entry, kStrikeEntries> entries_ GUARDED_BY(lock_){};
  int32_t due_count_ GUARDED_BY(lock_) = 0;
};

}  // namespace lobby

#endif  // LOBBY_AUTO_BAN_H_
