// The event log's lines on their way to the file: a fixed ring of bytes
// holding whole lines with their time stamps, filled by any thread and
// emptied by the log's writer thread. A line that does not fit is refused
// and counted, never made room for; the count rides with the next line
// that fits, so that the writer can say where lines went missing.
// Not synchronized: the event log calls it under its own lock.
#ifndef APP_LOG_QUEUE_H_
#define APP_LOG_QUEUE_H_

#include <array>
#include <cstdint>

namespace app {

// Room for about a thousand lines of today's length: the lines of a few
// seconds of the busiest lobby, while the file does not take them.
constexpr int kLogQueueBytes = 64 * 1024;
// The longest line, with its terminating zero; a longer one is cut.
constexpr int kLogLineBytes = 1024;

struct LogLine {
  int64_t time = 0;            // when it was queued: seconds since the epoch
  int64_t dropped_before = 0;  // lines refused between this one and the one before
  int length = 0;
  char text[kLogLineBytes] = {};  // `length` bytes and a terminating zero
};

class LogQueue {
 public:
  LogQueue() = default;
  LogQueue(const LogQueue&) = delete;
  LogQueue& operator=(const LogQueue&) = delete;

  // Appends `length` bytes of `text` (cut to kLogLineBytes - 1). False when
  // they do not fit: the line is then counted as dropped.
  bool push(int64_t time, const char* text, int length);
  // Takes the oldest line into `*line`; false when there is none.
  bool pop(LogLine* line);
  // Lines refused since the last one that fitted, which no queued line
  // carries; the count starts again at 0.
  int64_t take_dropped();
  // The same, but at most `most` of them; the rest stay counted.
  int64_t take_dropped(int64_t most);
  // Lines refused since the last one that fitted, not taken.
  int64_t dropped() const { return dropped_; }
  bool empty() const { return head_ == tail_; }
  // Lines taken by pop since the start: the position of the next one.
  uint64_t popped() const { return popped_; }
  // Lines pushed since the start: where the next one will be.
  uint64_t pushed() const { return pushed_; }

 private:
  // Each entry: its time (8 bytes), the dropped count (8), its length (4),
  // then its text without the terminating zero.
  static constexpr int kHeaderBytes = 8 + 8 + 4;
  static constexpr uint64_t kMask = kLogQueueBytes - 1;
  static_assert((kLogQueueBytes & (kLogQueueBytes - 1)) == 0, "a power of two");

  void put(const void* from, int n);
  void get(void* to, int n);

  std::array<char, kLogQueueBytes> bytes_{};
  // Byte positions since the start; bytes_[position & kMask].
  // Invariant: tail_ - head_ <= kLogQueueBytes.
  uint64_t head_ = 0;
  uint64_t tail_ = 0;
  uint64_t pushed_ = 0;
  uint64_t popped_ = 0;
  int64_t dropped_ = 0;
};

}  // namespace app

#endif  // APP_LOG_QUEUE_H_
