#include "app/log_queue.h"

#include <cstring>

namespace app {

void LogQueue::put(const void* from, int n) {
  const char* bytes = static_cast<const char*>(from);
  const int at = static_cast<int>(tail_ & kMask);
  const int first = n < kLogQueueBytes - at ? n : kLogQueueBytes - at;
  std::memcpy(&bytes_[at], bytes, first);
  std::memcpy(&bytes_[0], bytes + first, n - first);
  tail_ += n;
}

void LogQueue::get(void* to, int n) {
  char* bytes = static_cast<char*>(to);
  const int at = static_cast<int>(head_ & kMask);
  const int first = n < kLogQueueBytes - at ? n : kLogQueueBytes - at;
  std::memcpy(bytes, &bytes_[at], first);
  std::memcpy(bytes + first, &bytes_[0], n - first);
  head_ += n;
}

bool LogQueue::push(int64_t time, const char* text, int length) {
  if (length < 0) length = 0;
  if (length > kLogLineBytes - 1) length = kLogLineBytes - 1;
  const uint64_t used = tail_ - head_;
  if (used + kHeaderBytes + length > static_cast<uint64_t>(kLogQueueBytes)) {
    ++dropped_;
    return false;
  }
  const int32_t length32 = length;
  put(&time, sizeof time);
  put(&dropped_, sizeof dropped_);
  put(&length32, sizeof length32);
  put(text, length);
  dropped_ = 0;
  ++pushed_;
  return true;
}

bool LogQueue::pop(LogLine* line) {
  if (empty()) return false;
  int32_t length32 = 0;
  get(&line->time, sizeof line->time);
  get(&line->dropped_before, sizeof line->dropped_before);
  get(&length32, sizeof length32);
  get(line->text, length32);
  line->text[length32] = '\0';
  line->length = length32;
  ++popped_;
  return true;
}

int64_t LogQueue::take_dropped() {
  const int64_t dropped = dropped_;
  dropped_ = 0;
  return dropped;
}

int64_t LogQueue::take_dropped(int64_t most) {
  const int64_t taken = dropped_ < most ? dropped_ : most;
  dropped_ -= taken;
  return taken;
}

}  // namespace app
