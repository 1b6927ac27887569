#include "app/repeat_folder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace app {
namespace {

const char* kind_text(int kind) {
  switch (kind) {
    case RepeatFolder::kRefused:
      return "refused";
    case RepeatFolder::kDropped:
      return "dropped";
    case RepeatFolder::kLoginRefused:
      return "login refused";
    case RepeatFolder::kChecked:
      return "proxy";
    default:
      return "banned";
  }
}

// Whole seconds a window or minute covers when told at `now_ms`.
long long seconds_open(int64_t opened_ms, int64_t now_ms) {
  int64_t open_ms = now_ms - opened_ms;
  if (open_ms > kRepeatWindowMs) open_ms = kRepeatWindowMs;
  return open_ms <= 0 ? 1 : (open_ms + 999) / 1000;
}

}  // namespace

RepeatFolder::RepeatFolder(Emit emit) : emit_(std::move(emit)), crowds_(new Crowd[kCrowds]) {}

void RepeatFolder::Crowd::add(uint64_t key, uint64_t hash, const net::IpAddress& addr) {
  ++events;
  bits[(hash & (kCrowdBits - 1)) / 64] |= uint64_t{1} << (hash % 64);
  if (set_count < kCrowdExact) {
    for (size_t i = (hash >> 32) % kCrowdSet;; i = (i + 1) % kCrowdSet) {
      if (set[i] == key) break;
      if (set[i] == 0) {
        set[i] = key;
        ++set_count;
        break;
      }
    }
  }
  Top* least = nullptr;
  for (int i = 0; i < top_count; ++i) {
    if (top[i].key == key) {
      ++top[i].count;
      return;
    }
    if (least == nullptr || top[i].count < least->count) least = &top[i];
  }
  if (top_count < kCrowdTop) {
    top[top_count++] = {key, net::IpPrefix::of(addr, addr.key_bits()), 1, 0};
  } else {
    *least = {key, net::IpPrefix::of(addr, addr.key_bits()), least->count + 1, least->count};
  }
}

int64_t RepeatFolder::Crowd::addresses(bool* about, bool* more) const {
  *about = false;
  *more = false;
  if (set_count < kCrowdExact) return set_count;
  int clear = 0;
  for (uint64_t word : bits) clear += 64 - std::popcount(word);
  const double m = kCrowdBits;
  if (clear == 0) {
    // Every bit set: past what the bits can tell.
    *more = true;
    return static_cast<int64_t>(m * std::log(m));
  }
  // Linear counting: n distinct hashes leave a share of about e^(-n/m)
  // bits clear.
  const int64_t estimate = static_cast<int64_t>(std::llround(-m * std::log(clear / m)));
  *about = true;
  return estimate > set_count ? estimate : set_count;
}

void RepeatFolder::report(Kind kind, const net::IpAddress& addr, int reason,
                          const char* reason_text, const char* line, int64_t now_ms) {
  if (reason < 0 || reason >= kRepeatReasons || kind < 0 || kind >= kKinds) {
    emit_(line);
    return;
  }
  const uint64_t key = addr.address_key();
  platform::MutexLock guard(lock_);
  Minute& minute = minutes_[kind][reason];
  if (minute.open && now_ms - minute.opened_ms >= kRepeatWindowMs) {
    close_minute(kind, minute, now_ms);
  }
  if (!minute.open) {
    minute = Minute{};
    minute.open = true;
    minute.opened_ms = now_ms;
    minute.reason_text = reason_text;
    note_end(now_ms + kRepeatWindowMs);
  }
  if (!minute.crowd) {
    bool seen = false;
    for (int i = 0; i < minute.seen_count && !seen; ++i) seen = minute.seen[i] == key;
    if (seen || minute.seen_count < kCrowdAfter) {
      if (!seen) minute.seen[minute.seen_count++] = key;
      fold_by_address(kind, addr, reason, reason_text, line, now_ms);
      return;
    }
    // One address more than kCrowdAfter: the rest of the minute is a crowd.
    minute.crowd = true;
    for (int i = 0; i < kCrowds; ++i) {
      if (crowd_taken_[i]) continue;
      crowd_taken_[i] = true;
      Crowd& crowd = crowds_[i];
      crowd.events = 0;
      crowd.set.fill(0);
      crowd.set_count = 0;
      crowd.bits.fill(0);
      crowd.top_count = 0;
      minute.pool = i;
      break;
    }
  }
  if (minute.pool >= 0) {
    crowds_[minute.pool].add(key, hash_(key), addr);
  } else {
    ++minute.events;
  }
}

void RepeatFolder::close_minute(Kind kind, Minute& minute, int64_t now_ms) {
  if (minute.crowd) {
    char line[512];
    const long long seconds = seconds_open(minute.opened_ms, now_ms);
    if (minute.pool < 0) {
      std::snprintf(line, sizeof line,
                    "%s more than %d addresses: %s \xC3\x97%lld in the last %lld s",
                    kind_text(kind), kCrowdAfter, minute.reason_text,
                    static_cast<long long>(minute.events), seconds);
    } else {
      Crowd& crowd = crowds_[minute.pool];
      bool about = false;
      bool more = false;
      const int64_t addresses = crowd.addresses(&about, &more);
      int used = std::snprintf(line, sizeof line,
                               "%s %s%lld addresses: %s \xC3\x97%lld in the last %lld s; most",
                               kind_text(kind),
                               more    ? "more than "
                               : about ? "about "
                                       : "",
                               static_cast<long long>(addresses), minute.reason_text,
                               static_cast<long long>(crowd.events), seconds);
      // The busiest first, by what each surely had.
      std::sort(crowd.top.begin(), crowd.top.begin() + crowd.top_count,
                [](const Crowd::Top& a, const Crowd::Top& b) {
                  return a.count - a.excess > b.count - b.excess;
                });
      for (int i = 0; i < crowd.top_count && i < kCrowdNamed; ++i) {
        char from[net::kIpPrefixTextBytes];
        crowd.top[i].from.format(from);
        if (used >= static_cast<int>(sizeof line)) break;
        used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used),
                              "%s %s \xC3\x97%lld", i == 0 ? "" : ",", from,
                              static_cast<long long>(crowd.top[i].count - crowd.top[i].excess));
      }
      crowd_taken_[minute.pool] = false;
    }
    emit_(line);
  }
  minute = Minute{};
}

void RepeatFolder::fold_by_address(Kind kind, const net::IpAddress& addr, int reason,
                                   const char* reason_text, const char* line, int64_t now_ms) {
  const uint64_t key = addr.address_key();
  Entry* entry = nullptr;
  for (int pass = 0; pass < 2 && entry == nullptr; ++pass) {
    Entry* unused = nullptr;
    for (Entry& e : entries_) {
      if (!e.used) {
        if (unused == nullptr) unused = &e;
      } else if (e.kind == kind && e.key == key && e.reason == reason) {
        fold(e, line, now_ms);
        return;
      }
    }
    entry = unused;
    // A full table first gives back the windows that have ended.
    if (entry == nullptr && pass == 0) {
      for (Entry& e : entries_) {
        if (e.used && now_ms - e.opened_ms >= kRepeatWindowMs) tell(e, now_ms);
      }
    }
  }
  if (entry == nullptr) {
    entry = &others_[kind][reason];
    if (entry->used) {
      fold(*entry, line, now_ms);
      return;
    }
    entry->others = true;
  } else {
    entry->others = false;
  }
  entry->used = true;
  entry->kind = kind;
  entry->key = key;
  entry->from = net::IpPrefix::of(addr, addr.key_bits());
  entry->reason = reason;
  entry->reason_text = reason_text;
  entry->opened_ms = now_ms;
  entry->repeats = 0;
  note_end(now_ms + kRepeatWindowMs);
  emit_(line);
}

void RepeatFolder::note_end(int64_t end_ms) {
  if (next_end_ms_ < 0 || end_ms < next_end_ms_) next_end_ms_ = end_ms;
}

void RepeatFolder::fold(Entry& entry, const char* line, int64_t now_ms) {
  if (now_ms - entry.opened_ms < kRepeatWindowMs) {
    ++entry.repeats;
    return;
  }
  tell(entry, now_ms);
  entry.used = true;
  entry.opened_ms = now_ms;
  entry.repeats = 0;
  note_end(now_ms + kRepeatWindowMs);
  emit_(line);
}

void RepeatFolder::tell(Entry& entry, int64_t now_ms) {
  entry.used = false;
  if (entry.repeats == 0) return;
  char from[net::kIpPrefixTextBytes];
  if (entry.others) {
    std::snprintf(from, sizeof from, "other addresses");
  } else {
    entry.from.format(from);
  }
  char line[128 + sizeof from];
  // "\xC3\x97" is the multiplication sign in UTF-8.
  std::snprintf(line, sizeof line, "%s %s: %s \xC3\x97%lld in the last %lld s",
                kind_text(entry.kind), from, entry.reason_text,
                static_cast<long long>(entry.repeats), seconds_open(entry.opened_ms, now_ms));
  emit_(line);
}

int RepeatFolder::tell_ended(int64_t now_ms) {
  platform::MutexLock guard(lock_);
  if (next_end_ms_ < 0 || now_ms < next_end_ms_) {
    return next_end_ms_ < 0 ? -1 : static_cast<int>(next_end_ms_ - now_ms);
  }
  int64_t next = -1;
  auto ends_after = [&](int64_t opened_ms) {
    const int64_t end = opened_ms + kRepeatWindowMs;
    if (now_ms >= end) return false;
    if (next < 0 || end - now_ms < next) next = end - now_ms;
    return true;
  };
  for (Entry& e : entries_) {
    if (e.used && !ends_after(e.opened_ms)) tell(e, now_ms);
  }
  for (auto& by_reason : others_) {
    for (Entry& e : by_reason) {
      if (e.used && !ends_after(e.opened_ms)) tell(e, now_ms);
    }
  }
  for (int kind = 0; kind < kKinds; ++kind) {
    for (Minute& minute : minutes_[kind]) {
      if (minute.open && !ends_after(minute.opened_ms)) {
        close_minute(static_cast<Kind>(kind), minute, now_ms);
      }
    }
  }
  next_end_ms_ = next < 0 ? -1 : now_ms + next;
  return static_cast<int>(next);
}

void RepeatFolder::tell_all(int64_t now_ms) {
  platform::MutexLock guard(lock_);
  for (Entry& e : entries_) {
    if (e.used) tell(e, now_ms);
  }
  for (auto& by_reason : others_) {
    for (Entry& e : by_reason) {
      if (e.used) tell(e, now_ms);
    }
  }
  for (int kind = 0; kind < kKinds; ++kind) {
    for (Minute& minute : minutes_[kind]) {
      if (minute.open) close_minute(static_cast<Kind>(kind), minute, now_ms);
    }
  }
  next_end_ms_ = -1;
}

}  // namespace app
