// How fast each address may open connections: a bucket per address_key (an
// IPv4 address, an IPv6 /64) that holds `per_minute` connections and
// refills at `per_minute` a minute.
// A connection that finds it empty is refused, and takes nothing from it,
// so an address that reconnects in a loop gets one connection through
// every 60 / `per_minute` seconds, and a client that waits that long
// between tries is never refused.
//
// The table is fixed: addresses hash into kRateEntries places and probe at
// most kRateProbes of them. An address whose bucket is full again needs no
// place; when every probed place holds a bucket still refilling, the one
// that is fullest (the least recently used) gives way.
//
// Accept thread only.
#ifndef LOBBY_CONNECTION_RATE_H_
#define LOBBY_CONNECTION_RATE_H_

#include <array>
#include <cstdint>

namespace lobby {

constexpr int kRateEntries = 1024;
constexpr int kRateEntryMask = kRateEntries - 1;
constexpr int kRateProbes = 8;
constexpr int64_t kRateWindowMs = 60000;

class ConnectionRate {
 public:
  // `per_minute` 0 lets every connection through.
  explicit ConnectionRate(int32_t per_minute) : per_minute_(per_minute) {}
  // A reload's new `per_minute`: the buckets, counted in the old one's
  // units, are forgotten, so each address starts full.
  void retune(int32_t per_minute);
  ConnectionRate(const ConnectionRate&) = delete;
  ConnectionRate& operator=(const ConnectionRate&) = delete;

  // A new connection from the address of `key` at `now_ms` (the server
  // clock): true when the bucket had one to give, which it then gives.
  bool admit(uint64_t key, int64_t now_ms);

 private:
  // Times are kept in units of 1/`per_minute` ms, so that one connection
  // is exactly kRateWindowMs of them and no rounding adds up.
  struct Entry {
    uint64_t key = 0;  // an address_key
    bool used = false;
    // When the bucket is full again: each connection moves it one
    // connection's worth later; it never lies before now.
    int64_t full_at = 0;
  };

  int32_t per_minute_;
  std::array<Entry, kRateEntries> entries_{};
};

}  // namespace lobby

#endif  // LOBBY_CONNECTION_RATE_H_
