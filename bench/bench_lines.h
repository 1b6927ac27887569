// Chat lines that carry their own bookkeeping, for the benchmark: a tag
// letter and decimal numbers (sender, sequence number, send time), and the
// per-reader record of which numbers arrived, which tells the readers that
// fell behind the lobby's chat ring from those that kept up.
#ifndef BENCH_BENCH_LINES_H_
#define BENCH_BENCH_LINES_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace bench {

// "T 3 12 345": the tag, then each number after a blank. Three 64-bit
// numbers take at most 62 bytes, well inside a 73-byte chat line.
std::string tagged_text(char tag, std::initializer_list<int64_t> numbers);
// Exactly `count` numbers after `tag`, nothing else. 0, or -1 for any
// other text (a line of someone else's, or one cut short).
int parse_tagged_text(const std::string& text, char tag, int64_t* numbers, int count);

// Which sequence numbers each reader got from each sender. Every sender
// numbers its lines 0, 1, 2, ...; a reader that skips a number, or gets one
// at or below a number it already had, fell behind (the ring overwrote
// lines it had not read yet).
class SequenceTracker {
 public:
  SequenceTracker(int readers, int senders);

  // Ignores readers and senders outside the ranges given at construction.
  void record(int reader, int sender, int64_t seq);

  // Numbers jumped over, summed over every reader and sender.
  int64_t skipped() const { return skipped_; }
  int64_t out_of_order() const { return out_of_order_; }
  // Readers that skipped a number or got one out of order.
  int readers_behind() const;

 private:
  int senders_;
  std::vector<int64_t> highest_;  // readers x senders, -1 before the first
  std::vector<bool> behind_;
  int64_t skipped_ = 0;
  int64_t out_of_order_ = 0;
};

}  // namespace bench

#endif  // BENCH_BENCH_LINES_H_
