// Figures for the benchmark: latency percentiles, and a process's CPU time
// and peak memory as Linux reports them under /proc.
#ifndef BENCH_STATS_H_
#define BENCH_STATS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct LatencySummary {
  size_t count = 0;
  int64_t min_ns = 0;
  int64_t p50_ns = 0;
  int64_t p99_ns = 0;
  int64_t max_ns = 0;
};

// Nearest-rank percentiles: the smallest sample that at least `percent` %
// of all samples do not exceed. All zero for no samples.
LatencySummary summarize(std::vector<int64_t> samples);
// `sorted` ascending and not empty; `percent` in (0, 100].
int64_t nearest_rank(const std::vector<int64_t>& sorted, double percent);

// Results of the /proc readers.
constexpr int kStatOk = 0;
constexpr int kStatUnreadable = -1;  // no such process, or no /proc
constexpr int kStatMalformed = -2;

// utime + stime, in clock ticks, from the text of /proc/PID/stat. The
// command name in parentheses may itself hold blanks and parentheses, so
// the fields are counted from the last ')'.
int parse_stat_cpu_ticks(const std::string& stat_text, int64_t* ticks);
// VmHWM in kB from the text of /proc/PID/status.
int parse_status_peak_kb(const std::string& status_text, int64_t* kb);
// The whole number after `field` (e.g. "VmRSS:" or
// "voluntary_ctxt_switches:") in the text of a /proc status file; a "kB"
// after it is allowed.
int parse_status_number(const std::string& status_text, const char* field, int64_t* value);

int read_cpu_ticks(pid_t pid, int64_t* ticks);
int read_peak_rss_kb(pid_t pid, int64_t* kb);
int read_rss_kb(pid_t pid, int64_t* kb);
// Summed over every thread of a process: the time spent on a CPU, in ns
// (the first field of /proc/PID/task/TID/schedstat, exact where the ticks
// of /proc/PID/stat miss short runs between two ticks), and the voluntary
// context switches. A thread makes one of those each time it goes to sleep
// (in poll, say), so their growth over an interval counts the wake-ups.
struct ThreadTotals {
  int64_t cpu_ns = 0;
  int64_t wakeups = 0;
};
int read_thread_totals(pid_t pid, ThreadTotals* totals);
int read_wakeups(pid_t pid, int64_t* wakeups);
int64_t clock_ticks_per_second();

// CPU use of a process over an interval, as % of one core.
class CpuMeter {
 public:
  // kStatOk, or an error when the process cannot be read.
  int start(pid_t pid);
  // The % since start(), or a negative value when it cannot be read.
  double stop();

 private:
  // Reads the process's CPU time in ns: from its threads' schedstat, or
  // from its ticks where that cannot be read.
  int read_cpu_ns(int64_t* ns);

  pid_t pid_ = -1;
  int64_t start_cpu_ns_ = 0;
  int64_t start_ns_ = 0;
};

// Nanoseconds of the monotonic clock.
int64_t monotonic_ns();

}  // namespace bench

#endif  // BENCH_STATS_H_
