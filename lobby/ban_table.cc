#include "lobby/ban_table.h"

#include <algorithm>
#include <cstdio>

namespace lobby {

void format_auto_ban_reason(const std::array<int32_t, kDropReasons>& strikes, int32_t addresses,
                            bool shared, char* out, int size) {
  char reasons[256] = "";
  int used = 0;
  int total = 0;
  for (int r = 0; r < kDropReasons; ++r) {
    if (strikes[r] == 0) continue;
    total += strikes[r];
    if (used < static_cast<int>(sizeof reasons)) {
      used += std::snprintf(reasons + used, sizeof reasons - static_cast<size_t>(used), "%s%s %d",
                            used == 0 ? "" : ", ", drop_reason_text(r), strikes[r]);
    }
  }
  char who[48] = "";
  if (addresses > 1) std::snprintf(who, sizeof who, "%d addresses ", addresses);
  std::snprintf(out, static_cast<size_t>(size), "%sdropped %d times in 10 minutes (%s)%s", who,
                total, reasons,
                shared ? ", counted with every address without a place of its own" : "");
}

void format_auto_ban_reason(const AutoBanRecord& ban, char* out, int size) {
  std::array<int32_t, kDropReasons> strikes{};
  for (int r = 0; r < kDropReasons; ++r) strikes[r] = ban.strikes[r];
  format_auto_ban_reason(strikes, ban.addresses, ban.shared, out, size);
}

int BanTable::find(Kind kind, uint64_t key) const {
  // At most half the index is ever used, so a free slot ends every look.
  for (int i = home(kind, key); index_[i] != 0; i = (i + 1) & kBanIndexMask) {
    const Entry& entry = entries_[index_[i] - 1];
    if (entry.kind == kind && entry.key == key) return index_[i] - 1;
  }
  return -1;
}

void BanTable::insert(Kind kind, uint64_t key, const AutoBanRecord& ban) {
  int e = 0;
  while (entries_[e].kind != kFree) ++e;
  entries_[e].kind = kind;
  entries_[e].key = key;
  entries_[e].ban = ban;
  int i = home(kind, key);
  while (index_[i] != 0) i = (i + 1) & kBanIndexMask;
  index_[i] = static_cast<IndexSlot>(e + 1);
  ++count_;
}

void BanTable::erase(int e) {
  int hole = home(entries_[e].kind, entries_[e].key);
  while (index_[hole] != e + 1) hole = (hole + 1) & kBanIndexMask;
  index_[hole] = 0;
  entries_[e] = Entry{};
  --count_;
  // Backward shift: a slot further on whose home lies at or before the hole
  // (cyclically) would no longer be found past it, so it moves in.
  for (int j = (hole + 1) & kBanIndexMask; index_[j] != 0; j = (j + 1) & kBanIndexMask) {
    const Entry& moved = entries_[index_[j] - 1];
    const int h = home(moved.kind, moved.key);
    if (((j - h) & kBanIndexMask) >= ((j - hole) & kBanIndexMask)) {
      index_[hole] = index_[j];
      index_[j] = 0;
      hole = j;
    }
  }
}

bool BanTable::make_room(const net::IpAddress& addr, AutoBanRecord* network) {
  const net::IpPrefix net_prefix = net::IpPrefix::of(addr, addr.network_bits());
  bool folded = false;
  int soonest = -1;
  for (int e = 0; e < kAutoBans; ++e) {
    const Entry& entry = entries_[e];
    if (entry.kind == kAddress && net_prefix.contains(entry.ban.prefix.address)) {
      const AutoBanRecord& ban = entry.ban;
      network->addresses += ban.addresses;
      for (int r = 0; r < kDropReasons; ++r) {
        network->strikes[r] = static_cast<uint16_t>(
            std::min(65535, static_cast<int>(network->strikes[r]) + ban.strikes[r]));
      }
      network->until_ms = std::max(network->until_ms, ban.until_ms);
      network->until_utc_s = std::max(network->until_utc_s, ban.until_utc_s);
      network->since_utc_s = std::min(network->since_utc_s, ban.since_utc_s);
      erase(e);
      folded = true;
    } else if (entry.kind != kFree &&
               (soonest < 0 || entry.ban.until_ms < entries_[soonest].ban.until_ms)) {
      soonest = e;
    }
  }
  if (!folded && soonest >= 0) erase(soonest);
  return folded;
}

void BanTable::add(const net::IpAddress& addr, const std::array<int32_t, kDropReasons>& strikes,
                   bool shared, int64_t now_ms, int64_t now_utc_s, int32_t seconds,
                   net::IpPrefix* banned) {
  AutoBanRecord ban;
  ban.prefix = net::IpPrefix::of(addr, addr.key_bits());
  ban.until_ms = now_ms + static_cast<int64_t>(seconds) * 1000;
  ban.since_utc_s = now_utc_s;
  ban.until_utc_s = now_utc_s + seconds;
  for (int r = 0; r < kDropReasons; ++r) {
    ban.strikes[r] = static_cast<uint16_t>(std::min(65535, std::max(0, strikes[r])));
  }
  ban.shared = shared;
  platform::MutexLock guard(lock_);
  // A ban already in force (its network's, or its own) is extended.
  for (Kind kind : {kNetwork, kAddress}) {
    const int e = find(kind, kind == kNetwork ? addr.network_key() : addr.address_key());
    if (e < 0 || !entries_[e].ban.prefix.contains(addr)) continue;
    AutoBanRecord& held = entries_[e].ban;
    held.until_ms = std::max(held.until_ms, ban.until_ms);
    held.until_utc_s = std::max(held.until_utc_s, ban.until_utc_s);
    for (int r = 0; r < kDropReasons; ++r) {
      held.strikes[r] = static_cast<uint16_t>(
          std::min(65535, static_cast<int>(held.strikes[r]) + ban.strikes[r]));
    }
    *banned = held.prefix;
    return;
  }
  Kind kind = kAddress;
  uint64_t key = addr.address_key();
  if (count_ == kAutoBans) {
    ban.prefix = net::IpPrefix::of(addr, addr.network_bits());
    if (make_room(addr, &ban)) {
      kind = kNetwork;
      key = addr.network_key();
    } else {
      ban.prefix = net::IpPrefix::of(addr, addr.key_bits());
    }
  }
  ban.serial = ++serial_;
  insert(kind, key, ban);
  *banned = ban.prefix;
}

bool BanTable::bans(const net::IpAddress& addr, int64_t now_ms) const {
  platform::MutexLock guard(lock_);
  if (count_ == 0) return false;
  for (Kind kind : {kAddress, kNetwork}) {
    const int e = find(kind, kind == kNetwork ? addr.network_key() : addr.address_key());
    if (e >= 0 && entries_[e].ban.until_ms > now_ms && entries_[e].ban.prefix.contains(addr)) {
      return true;
    }
  }
  return false;
}

bool BanTable::remove(const net::IpPrefix& prefix) {
  platform::MutexLock guard(lock_);
  for (int e = 0; e < kAutoBans; ++e) {
    if (entries_[e].kind != kFree && entries_[e].ban.prefix == prefix) {
      erase(e);
      return true;
    }
  }
  return false;
}

void BanTable::expire(int64_t now_ms) {
  platform::MutexLock guard(lock_);
  for (int e = 0; e < kAutoBans && count_ > 0; ++e) {
    if (entries_[e].kind != kFree && entries_[e].ban.until_ms <= now_ms) erase(e);
  }
}

int BanTable::list(int64_t now_ms, AutoBanRecord* out, int max) const {
  int n = 0;
  {
    platform::MutexLock guard(lock_);
    for (const Entry& entry : entries_) {
      if (n == max) break;
      if (entry.kind != kFree && entry.ban.until_ms > now_ms) out[n++] = entry.ban;
    }
  }
  std::sort(out, out + n,
            [](const AutoBanRecord& a, const AutoBanRecord& b) { return a.serial < b.serial; });
  return n;
}

int BanTable::count() const {
  platform::MutexLock guard(lock_);
  return count_;
}

}  // namespace lobby
