// The automatic bans in force, in a table of their own: they never take a
// line of the deny list the operator writes, so the operator's `ban` always
// has room, whatever an attacker has earned.
//
// An automatic ban covers what its strikes counted: an IPv4 address, an
// IPv6 /64. It lasts until its time on the server clock, or until an
// operator's unban. The table holds kAutoBans of them; when it is full, a
// new one covers its address's network (an IPv4 /24, an IPv6 /48) as one
// entry, in place of the bans already there for addresses of that network,
// and when there are none, the ban that ends soonest gives way. A full
// table thus still bans every newcomer, by its network at worst.
//
// Bans are found by keyed hash (KeyedHash) through an open-addressed index
// twice the table's size, so a look costs a few probes however many bans
// there are, and nobody can pick addresses that crowd one place.
//
// Any thread, under the table's own lock, a leaf. The accept thread adds,
// looks up and expires; the admin channel lists and lifts.
#ifndef LOBBY_BAN_TABLE_H_
#define LOBBY_BAN_TABLE_H_

#include <array>
#include <cstdint>

#include "lobby/drop_request.h"
#include "lobby/keyed_hash.h"
#include "net/ip_address.h"
#include "platform/annotated_mutex.h"

namespace lobby {

constexpr int kAutoBans = 4096;
constexpr int kBanIndexSize = 2 * kAutoBans;
constexpr int kBanIndexMask = kBanIndexSize - 1;

// One automatic ban, as the table lists it.
struct AutoBanRecord {
  net::IpPrefix prefix;
  int64_t until_ms = 0;     // on the server clock
  int64_t since_utc_s = 0;  // the wall clock, for the operator
  int64_t until_utc_s = 0;
  // The strikes that earned it, by drop reason, summed over the addresses
  // a network's ban took in (each at most 65535).
  std::array<uint16_t, kDropReasons> strikes{};
  // Addresses it stands for: 1, or for a network's ban the bans it took in
  // and the one that made it.
  int32_t addresses = 1;
  // The address had no place in the strike table (AutoBan::DueBan).
  bool shared = false;
  // The order bans came in: list() gives the oldest first.
  int64_t serial = 0;
};

// Why a ban was put in force, for the log and the operator:
//   "dropped 5 times in 10 minutes (no login 3, displaced 2)";
// for a network's ban that took in other bans, "13 addresses dropped 65
// times ..."; for an address that had no place in the strike table, "...,
// counted with every address without a place of its own".
void format_auto_ban_reason(const std::array<int32_t, kDropReasons>& strikes, int32_t addresses,
                            bool shared, char* out, int size);
// The same for a ban in force.
void format_auto_ban_reason(const AutoBanRecord& ban, char* out, int size);

class BanTable {
 public:
  BanTable() = default;
  BanTable(const BanTable&) = delete;
  BanTable& operator=(const BanTable&) = delete;

  // Puts in force a ban of `addr` (its address_key's prefix) for `seconds`
  // from `now_ms` (server clock) and `now_utc_s` (wall clock). A ban already
  // covering the address is extended. `*banned` receives what the ban
  // covers (the network when the table was full).
  void add(const net::IpAddress& addr, const std::array<int32_t, kDropReasons>& strikes,
           bool shared, int64_t now_ms, int64_t now_utc_s, int32_t seconds, net::IpPrefix* banned);
  // Whether a ban in force at `now_ms` covers `addr`.
  bool bans(const net::IpAddress& addr, int64_t now_ms) const;
  // Lifts the ban of exactly `prefix`; false when there is none.
  bool remove(const net::IpPrefix& prefix);
  // Forgets every ban that has ended by `now_ms`.
  void expire(int64_t now_ms);
  // Copies the bans in force at `now_ms`, oldest first, up to `max`; their
  // number.
  int list(int64_t now_ms, AutoBanRecord* out, int max) const;
  int count() const;

 private:
  // The state image carries the bans in force across a hand-over.
  friend struct ImageAccess;
  // What a ban is keyed by: its address's key, or its network's.
  enum Kind : uint8_t { kFree = 0, kAddress, kNetwork };
  struct Entry {
    Kind kind = kFree;
    uint64_t key = 0;
    AutoBanRecord ban;
  };
  // An index slot: the entry's number plus one; 0 for a free slot.
  using IndexSlot = uint16_t;
  static_assert(kAutoBans < 65535);

  int home(Kind kind, uint64_t key) const {
    return static_cast<int>(hash_(key ^ (static_cast<uint64_t>(kind) << 56)) & kBanIndexMask);
  }
  // The entry of (kind, key), or -1.
  int find(Kind kind, uint64_t key) const REQUIRES(lock_);
  // Puts `ban` under (kind, key), which is not there. REQUIRES: count_ <
  // kAutoBans.
  void insert(Kind kind, uint64_t key, const AutoBanRecord& ban) REQUIRES(lock_);
  // Frees entry `e`, and its index slot, moving back the slots after it that
  // probed past it, so that every look still finds its entry.
  void erase(int e) REQUIRES(lock_);
  // Makes room for one more ban in a full table for `addr`: folds the bans
  // of its network into `*network` (true), or else frees the ban that ends
  // soonest (false).
  bool make_room(const net::IpAddress& addr, AutoBanRecord* network) REQUIRES(lock_);

  KeyedHash hash_;
  mutable platform::Mutex lock_;  // a leaf lock
  std::array<Entry, kAutoBans> entries_ GUARDED_BY(lock_){};
  std::array<IndexSlot, kBanIndexSize> index_ GUARDED_BY(lock_){};
  int count_ GUARDED_BY(lock_) = 0;
  int64_t serial_ GUARDED_BY(lock_) = 0;  // the last ban's
};

}  // namespace lobby

#endif  // LOBBY_BAN_TABLE_H_
