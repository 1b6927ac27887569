#include "lobby/after_lock.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lobby/lobby_state.h"

namespace lobby {
namespace {

void to_event_log(LobbyEvents* events, const char* line) { events->event(line); }

}  // namespace

AfterLock::AfterLock(const Lobby& lobby, int own_worker) : lobby_(lobby), own_worker_(own_worker) {}

void AfterLock::event(const char* format, ...) {
  if (count_ == kAfterLockLines) {
    ++lost_;
    return;
  }
  Held& held = held_[count_++];
  held.sink = to_event_log;
  va_list args;
  va_start(args, format);
  std::vsnprintf(held.text, sizeof held.text, format, args);
  va_end(args);
}

void AfterLock::line(LineSink sink, const char* text) {
  if (count_ == kAfterLockLines) {
    ++lost_;
    return;
  }
  Held& held = held_[count_++];
  held.sink = sink;
  std::snprintf(held.text, sizeof held.text, "%s", text);
}

void AfterLock::wake_group(int32_t key) {
  for (int i = 0; i < key_count_; ++i) {
    if (keys_[i] == key) return;
  }
  if (key_count_ == kGroupKeys) {
    // More groups than expected: every worker looks.
    workers_ = ~uint32_t{0};
    return;
  }
  keys_[key_count_++] = key;
}

void AfterLock::hand_on() {
  for (int i = 0; i < count_; ++i) held_[i].sink(lobby_.events, held_[i].text);
  count_ = 0;
  if (lost_ > 0) {
    report_event(lobby_.events, "%d event lines lost: more than %d under one lock", lost_,
                 kAfterLockLines);
    lost_ = 0;
  }
  if (counts_changed_) lobby_.events->counts_changed();
  counts_changed_ = false;
  for (int i = 0; i < key_count_; ++i) lobby_.wake_workers_of_group(keys_[i], own_worker_);
  key_count_ = 0;
  for (int k = 0; k < lobby_.room_limit(); ++k) {
    if ((workers_ & (1u << k)) != 0) lobby_.wake_worker(k);
  }
  workers_ = 0;
}

}  // namespace lobby
