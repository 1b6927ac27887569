#include "app/repeat_folder.h"

#include <cstdio>

namespace app {
namespace {

const char* kind_text(int kind) { return kind == RepeatFolder::kRefused ? "refused" : "dropped"; }

}  // namespace

void RepeatFolder::report(Kind kind, const net::IpAddress& addr, int reason,
                          const char* reason_text, const char* line, int64_t now_ms) {
  const uint64_t key = addr.address_key();
  platform::MutexLock guard(lock_);
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
    if (reason < 0 || reason >= kRepeatReasons) {
      emit_(line);
      return;
    }
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
  int64_t open_ms = now_ms - entry.opened_ms;
  if (open_ms > kRepeatWindowMs) open_ms = kRepeatWindowMs;
  const long long seconds = open_ms <= 0 ? 1 : (open_ms + 999) / 1000;
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
                static_cast<long long>(entry.repeats), seconds);
  emit_(line);
}

int RepeatFolder::tell_ended(int64_t now_ms) {
  platform::MutexLock guard(lock_);
  if (next_end_ms_ < 0 || now_ms < next_end_ms_) {
    return next_end_ms_ < 0 ? -1 : static_cast<int>(next_end_ms_ - now_ms);
  }
  int64_t next = -1;
  auto look = [&](Entry& e) REQUIRES(lock_) {
    if (!e.used) return;
    const int64_t end = e.opened_ms + kRepeatWindowMs;
    if (now_ms >= end) {
      tell(e, now_ms);
    } else if (next < 0 || end - now_ms < next) {
      next = end - now_ms;
    }
  };
  for (Entry& e : entries_) look(e);
  for (auto& by_reason : others_) {
    for (Entry& e : by_reason) look(e);
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
  next_end_ms_ = -1;
}

}  // namespace app
