#include "bench/bench_lines.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace bench {

std::string tagged_text(char tag, std::initializer_list<int64_t> numbers) {
  std::string text(1, tag);
  for (int64_t n : numbers) text += " " + std::to_string(n);
  return text;
}

int parse_tagged_text(const std::string& text, char tag, int64_t* numbers, int count) {
  if (text.empty() || text[0] != tag) return -1;
  const char* p = text.c_str() + 1;
  for (int i = 0; i < count; ++i) {
    // One blank, then the number: strtoll alone would also skip other
    // white space and a leading plus.
    const char first = p[1];
    if (*p != ' ' || !(std::isdigit(static_cast<unsigned char>(first)) || first == '-')) return -1;
    char* end = nullptr;
    errno = 0;
    numbers[i] = std::strtoll(p + 1, &end, 10);
    if (end == p + 1 || errno != 0) return -1;
    p = end;
  }
  return *p == '\0' && p == text.c_str() + text.size() ? 0 : -1;
}

SequenceTracker::SequenceTracker(int readers, int senders)
    : senders_(senders),
      highest_(static_cast<size_t>(readers) * static_cast<size_t>(senders), -1),
      behind_(static_cast<size_t>(readers), false) {}

void SequenceTracker::record(int reader, int sender, int64_t seq) {
  if (reader < 0 || static_cast<size_t>(reader) >= behind_.size() || sender < 0 ||
      sender >= senders_) {
    return;
  }
  int64_t& highest = highest_[static_cast<size_t>(reader) * senders_ + sender];
  if (seq > highest + 1) {
    skipped_ += seq - highest - 1;
    behind_[reader] = true;
  } else if (seq <= highest) {
    ++out_of_order_;
    behind_[reader] = true;
  }
  if (seq > highest) highest = seq;
}

int SequenceTracker::readers_behind() const {
  int n = 0;
  for (bool b : behind_) n += b ? 1 : 0;
  return n;
}

}  // namespace bench
