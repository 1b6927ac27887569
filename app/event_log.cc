#include "app/event_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/local_time.h"

namespace app {
namespace {

std::mutex log_lock;
std::FILE* log_file = nullptr;  // Guarded by log_lock.
std::string log_path;           // Guarded by log_lock.

void write_line(const char* format, va_list args) {
  std::lock_guard<std::mutex> guard(log_lock);
  if (log_file == nullptr) return;
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm local;
  platform::local_time(now, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(log_file, "%s ", stamp);
  std::vfprintf(log_file, format, args);
  std::fputc('\n', log_file);
  std::fflush(log_file);
}

void write_formatted(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_line(format, args);
  va_end(args);
}

}  // namespace

int open_log(const char* path) {
  std::lock_guard<std::mutex> guard(log_lock);
  if (log_file != nullptr) std::fclose(log_file);
  log_path = path;
  log_file = std::fopen(path, "w+");
  return log_file == nullptr ? -1 : 0;
}

int reopen_log() {
  std::lock_guard<std::mutex> guard(log_lock);
  if (log_path.empty()) return ENOENT;
  // The new file first: when it cannot be opened, the log goes on in the
  // old one (and says so there) rather than stopping.
  std::FILE* fresh = std::fopen(log_path.c_str(), "a");
  if (fresh == nullptr) return errno;
  if (log_file != nullptr) std::fclose(log_file);
  log_file = fresh;
  return 0;
}

void close_log() {
  std::lock_guard<std::mutex> guard(log_lock);
  if (log_file == nullptr) return;
  std::fclose(log_file);
  log_file = nullptr;
}

bool log_enabled() {
  std::lock_guard<std::mutex> guard(log_lock);
  return log_file != nullptr;
}

void log_number(const char* text, int32_t value) { write_formatted("%s %d", text, value); }
void log_text(const char* text) { write_formatted("%s", text); }
void log_pair(const char* text, const char* more) { write_formatted("%s %s", text, more); }

void log_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_line(format, args);
  va_end(args);
}

}  // namespace app
