// How fast each address may open connections: a bucket per address_key (an
// IPv4 address, an IPv6 /64) that holds `per_minute` connections and
// refills at `per_minute` a minute.
// A connection that finds it empty is refused, and takes nothing from it,
// so an address that reconnects in a loop gets one connection through
// every 60 / `per_minute` seconds, and a client that waits that long
// between tries is never refused.
//
// The table is fixed: addresses hash into kRateEntries places with a key
// drawn at random for each table (KeyedHash), so that nobody can choose
// addresses that share places, and probe at most kRateProbes of them. Only a
// bucket that limits nothing, one full again, gives its place to another
// address: an address that is connecting right now keeps its bucket however
// many others come. An address that finds every probed place taken by a
// bucket still refilling gets none, and is judged as the emptiest of those
// buckets would be: let through while that one could give a connection,
// without taking anything from it.
//
// Accept thread only.
#ifndef LOBBY_CONNECTION_RATE_H_
#define LOBBY_CONNECTION_RATE_H_

#include <array>
#include <cstdint>

#include "lobby/keyed_hash.h"

namespace lobby {

// Every address that connected within the last few seconds (a connection
// refills in 60 / L_CONN_RATE s) holds a place: 4096 keeps a spray of about
// 1,300 fresh addresses a second from leaving any newcomer without one.
constexpr int kRateEntries = 4096;
constexpr int kRateEntryMask = kRateEntries - 1;
constexpr int kRateProbes = 16;
constexpr int64_t kRateWindowMs = 60000;

class ConnectionRate {
 public:
  // `per_minute` 0 lets every connection through.
  explicit ConnectionRate(int32_t per_minute) : per_minute_(per_minute) {}
  ConnectionRate(int32_t per_minute, KeyedHash hash) : per_minute_(per_minute), hash_(hash) {}
  // A reload's new `per_minute`: the buckets, counted in the old one's
  // units, are forgotten, so each address starts full.
  void retune(int32_t per_minute);
  ConnectionRate(const ConnectionRate&) = delete;
  ConnectionRate& operator=(const ConnectionRate&) = delete;

  // A new connection from the address of `key` at `now_ms` (the server
  // clock): true when the bucket had one to give, which it then gives.
  bool admit(uint64_t key, int64_t now_ms);

 private:
  // The state image carries every bucket across a hand-over.
  friend struct ImageAccess;

  // Times are kept in units of 1/`per_minute` ms, so that one connection
  // is exactly kRateWindowMs of them and no rounding adds up.
  struct Entry {
    // An address_key; 0 for a free place (no client has the key 0: it is
    // the IPv4 address 0.0.0.0, and every IPv6 key has its top bit set).
    uint64_t key = 0;
    // When the bucket is full again: each connection moves it one
    // connection's worth later. At or before now it limits nothing.
    int64_t full_at = 0;
  };

  int32_t per_minute_;
  KeyedHash hash_;
  std::array<Entry, kRateEntries> entries_{};
};

}  // namespace lobby

#endif  // LOBBY_CONNECTION_RATE_H_
