#include "bench/stats.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace bench {
namespace {

bool read_text(const std::string& path, std::string* text) {
  std::ifstream file(path);
  if (!file) return false;
  std::ostringstream contents;
  contents << file.rdbuf();
  *text = contents.str();
  return !text->empty();
}

std::string proc_path(pid_t pid, const char* name) {
  return "/proc/" + std::to_string(pid) + "/" + name;
}

// Fields of /proc/PID/stat after the command name: the first is the state
// (field 3 of the whole line), so utime (field 14) and stime (15) are the
// 12th and 13th.
constexpr int kUtimeAfterName = 11;
constexpr int kStimeAfterName = 12;

}  // namespace

int64_t nearest_rank(const std::vector<int64_t>& sorted, double percent) {
  const double n = static_cast<double>(sorted.size());
  size_t rank = static_cast<size_t>(std::ceil(percent / 100.0 * n));
  if (rank < 1) rank = 1;
  if (rank > sorted.size()) rank = sorted.size();
  return sorted[rank - 1];
}

LatencySummary summarize(std::vector<int64_t> samples) {
  LatencySummary summary;
  if (samples.empty()) return summary;
  std::sort(samples.begin(), samples.end());
  summary.count = samples.size();
  summary.min_ns = samples.front();
  summary.p50_ns = nearest_rank(samples, 50);
  summary.p99_ns = nearest_rank(samples, 99);
  summary.max_ns = samples.back();
  return summary;
}

int parse_stat_cpu_ticks(const std::string& stat_text, int64_t* ticks) {
  const size_t close = stat_text.rfind(')');
  if (close == std::string::npos) return kStatMalformed;
  std::istringstream fields(stat_text.substr(close + 1));
  std::string field;
  int64_t utime = -1;
  int64_t stime = -1;
  for (int i = 0; i <= kStimeAfterName && fields >> field; ++i) {
    char* end = nullptr;
    const long long value = std::strtoll(field.c_str(), &end, 10);
    const bool numeric = end != field.c_str() && *end == '\0';
    if (i == kUtimeAfterName && numeric) utime = value;
    if (i == kStimeAfterName && numeric) stime = value;
  }
  if (utime < 0 || stime < 0) return kStatMalformed;
  *ticks = utime + stime;
  return kStatOk;
}

int parse_status_number(const std::string& status_text, const char* field, int64_t* value) {
  std::istringstream lines(status_text);
  std::string line;
  const std::string name(field);
  while (std::getline(lines, line)) {
    if (line.rfind(name, 0) != 0) continue;
    std::istringstream fields(line.substr(name.size()));
    long long number = -1;
    std::string unit;
    if (!(fields >> number) || number < 0) return kStatMalformed;
    if (fields >> unit && unit != "kB") return kStatMalformed;
    *value = number;
    return kStatOk;
  }
  return kStatMalformed;
}

int parse_status_peak_kb(const std::string& status_text, int64_t* kb) {
  return parse_status_number(status_text, "VmHWM:", kb);
}

int read_cpu_ticks(pid_t pid, int64_t* ticks) {
  std::string text;
  if (!read_text(proc_path(pid, "stat"), &text)) return kStatUnreadable;
  return parse_stat_cpu_ticks(text, ticks);
}

int read_peak_rss_kb(pid_t pid, int64_t* kb) {
  std::string text;
  if (!read_text(proc_path(pid, "status"), &text)) return kStatUnreadable;
  return parse_status_peak_kb(text, kb);
}

int read_rss_kb(pid_t pid, int64_t* kb) {
  std::string text;
  if (!read_text(proc_path(pid, "status"), &text)) return kStatUnreadable;
  return parse_status_number(text, "VmRSS:", kb);
}

int read_thread_totals(pid_t pid, ThreadTotals* totals) {
  const std::string tasks = proc_path(pid, "task");
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return kStatUnreadable;
  ThreadTotals sum;
  int rc = kStatOk;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string task = tasks + "/" + entry->d_name;
    std::string status;
    std::string schedstat;
    // A thread that ended since the listing is simply not counted.
    if (!read_text(task + "/status", &status) || !read_text(task + "/schedstat", &schedstat)) {
      continue;
    }
    int64_t switches = 0;
    char* end = nullptr;
    const long long cpu_ns = std::strtoll(schedstat.c_str(), &end, 10);
    if (parse_status_number(status, "voluntary_ctxt_switches:", &switches) != kStatOk ||
        end == schedstat.c_str() || cpu_ns < 0) {
      rc = kStatMalformed;
      break;
    }
    sum.cpu_ns += cpu_ns;
    sum.wakeups += switches;
  }
  closedir(dir);
  if (rc == kStatOk) *totals = sum;
  return rc;
}

int read_wakeups(pid_t pid, int64_t* wakeups) {
  ThreadTotals totals;
  const int rc = read_thread_totals(pid, &totals);
  if (rc == kStatOk) *wakeups = totals.wakeups;
  return rc;
}

int64_t clock_ticks_per_second() {
  const long ticks = sysconf(_SC_CLK_TCK);
  return ticks > 0 ? ticks : 100;
}

int CpuMeter::read_cpu_ns(int64_t* ns) {
  ThreadTotals totals;
  if (read_thread_totals(pid_, &totals) == kStatOk) {
    *ns = totals.cpu_ns;
    return kStatOk;
  }
  int64_t ticks = 0;
  const int rc = read_cpu_ticks(pid_, &ticks);
  if (rc == kStatOk) *ns = ticks * 1000000000 / clock_ticks_per_second();
  return rc;
}

int CpuMeter::start(pid_t pid) {
  pid_ = pid;
  start_ns_ = monotonic_ns();
  return read_cpu_ns(&start_cpu_ns_);
}

double CpuMeter::stop() {
  int64_t cpu_ns = 0;
  if (pid_ <= 0 || read_cpu_ns(&cpu_ns) != kStatOk) return -1;
  const int64_t wall_ns = monotonic_ns() - start_ns_;
  if (wall_ns <= 0) return -1;
  return 100.0 * static_cast<double>(cpu_ns - start_cpu_ns_) / static_cast<double>(wall_ns);
}

int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace bench
