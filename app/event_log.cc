#include "app/event_log.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/chat_entry.h"
#include "app/log_queue.h"
#include "platform/annotated_mutex.h"
#include "platform/file_open.h"
#include "platform/local_time.h"

namespace app {
namespace {

// Lines written before a flush while more keep coming; otherwise the writer
// flushes as soon as the queue is empty.
constexpr int kFlushEvery = 64;
// How long log_settle waits for an idle writer to write the lines before
// it. Within it they are in the file before the thread goes on (a drop is
// logged before its connection is closed); past it the file is taken to be
// stalled, and nobody waits again until the writer has caught up.
constexpr auto kWriteWait = std::chrono::milliseconds(100);
// Past this many lines in one second the log is busy: nobody waits for the
// writer, and the writer is not called for each line but looks for lines
// every kBusyLookMs, so that a burst (a crowd of connections, an attack)
// costs no more than its lines.
constexpr int kQuietLinesPerSecond = 100;
constexpr auto kBusyLook = std::chrono::milliseconds(20);

// A leaf lock: it is taken under the lobby's locks, and nothing else is
// taken while it is held.
struct LogState {
  platform::Mutex lock;
  // The writer waits on it for lines, a reopened file or the close.
  platform::CondVar wake;
  // Threads that logged wait on it for their line to be written.
  platform::CondVar written_wake;
  // Lines written and flushed, from the queue's start.
  uint64_t written GUARDED_BY(lock) = 0;
  // A wait ran out and the writer has not caught up.
  bool behind GUARDED_BY(lock) = false;
  // The second of the last line, and the lines logged in it.
  int64_t rate_second GUARDED_BY(lock) = 0;
  int rate_lines GUARDED_BY(lock) = 0;
  // The last second that was busy (more than kQuietLinesPerSecond lines).
  int64_t busy_second GUARDED_BY(lock) = -1;
  // The writer sleeps until it is called (not while it writes, nor while
  // it looks for lines every kBusyLookMs).
  bool writer_asleep GUARDED_BY(lock) = false;
  LogQueue queue GUARDED_BY(lock);
  std::string path GUARDED_BY(lock);
  bool accepting GUARDED_BY(lock) = false;  // a file is open and not closing
  bool closing GUARDED_BY(lock) = false;
  bool threaded GUARDED_BY(lock) = false;  // the writer thread runs
  bool has_last GUARDED_BY(lock) = false;
  LogLine last GUARDED_BY(lock);  // close_log's line
  // The writer thread has written its last line and closed the file.
  bool writer_done GUARDED_BY(lock) = false;
  // A reopened file not yet in use, from this queue position on.
  std::FILE* fresh GUARDED_BY(lock) = nullptr;
  uint64_t fresh_from GUARDED_BY(lock) = 0;
  // The file being written. The writer's alone while it runs (it writes
  // with the lock let go); otherwise guarded by lock. Not GUARDED_BY, since
  // the analysis cannot tell the two times apart.
  std::FILE* file = nullptr;
  std::thread writer;  // open_log and close_log only.

  // The moderation log: its records wait in a queue of their own, so that
  // a chatty lobby cannot crowd the event log's lines out, and are turned
  // into text by the writer alone. chat_file is the writer's as `file` is.
  // A file opened (or closed, as null) by another thread waits among the
  // switches until the writer has written every record queued before it;
  // the charset is the one its records are decoded from.
  struct ChatSwitch {
    std::FILE* file = nullptr;
    uint64_t from = 0;    // the chat queue's position it starts at
    int64_t dropped = 0;  // records refused before it, still to be told
    char charset[32] = {};
  };
  static constexpr int kChatSwitches = 4;
  LogQueue chat_queue GUARDED_BY(lock);
  std::FILE* chat_file = nullptr;
  ChatSwitch chat_switches[kChatSwitches] GUARDED_BY(lock);
  int chat_switch_count GUARDED_BY(lock) = 0;
  // The path and charset of the last switch, for a reopen.
  char chat_charset[32] GUARDED_BY(lock) = {};
  std::string chat_path GUARDED_BY(lock);
  // The writer's (whoever writes without a writer thread, under lock).
  std::unique_ptr<admin::NameText> chat_names;
  // Atomic: a moderation log is open; read for every chat line relayed.
  std::atomic<bool> chat_on{false};
};

LogState& state() {
  // Never destroyed: a thread that logs while the process ends must still
  // find it.
  static LogState* const log_state = new LogState;
  return *log_state;
}

void write_line(std::FILE* file, int64_t time, const char* text, int length) {
  if (file == nullptr) return;
  char stamp[32];
  std::tm local;
  platform::local_time(static_cast<std::time_t>(time), &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  // A text-mode file: on Windows each line ends with CR LF.
  std::fprintf(file, "%s ", stamp);
  std::fwrite(text, 1, static_cast<size_t>(length), file);
  std::fputc('\n', file);
}

void write_chat(std::FILE* file, admin::NameText* names, int64_t time, const LogLine& line) {
  if (file == nullptr || names == nullptr) return;
  ChatEntry entry;
  std::memcpy(&entry, line.text,
              static_cast<size_t>(line.length) < sizeof entry ? static_cast<size_t>(line.length)
                                                              : sizeof entry);
  char text[kLogLineBytes + 512];
  const int n = format_chat_entry(entry, time, names, text, sizeof text);
  std::fwrite(text, 1, static_cast<size_t>(n), file);
  std::fputc('\n', file);
}

void write_chat_dropped(std::FILE* file, int64_t time, int64_t dropped) {
  if (file == nullptr) return;
  char stamp[32] = "";
  std::tm utc;
  platform::utc_time(static_cast<std::time_t>(time), &utc);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::fprintf(file, "%s chat lines dropped %lld\n", stamp, static_cast<long long>(dropped));
}

void write_dropped(std::FILE* file, int64_t time, int64_t dropped) {
  char text[64];
  const int n =
      std::snprintf(text, sizeof text, "log lines dropped %lld", static_cast<long long>(dropped));
  write_line(file, time, text, n);
}

// The writer thread: the only one that touches the file while it runs.
// It takes the queue's lines in order, lets the lock go while it writes
// each, and flushes whenever the queue runs empty.
void writer_loop() {
  LogState& s = state();
  LogLine line;
  int unflushed = 0;
  platform::MutexLock hold(s.lock);
  for (;;) {
    if (s.fresh != nullptr && s.queue.popped() == s.fresh_from) {
      std::FILE* old = s.file;
      s.file = s.fresh;
      s.fresh = nullptr;
      hold.unlock();
      if (old != nullptr) std::fclose(old);
      unflushed = 0;
      hold.lock();
      continue;
    }
    if (s.chat_switch_count > 0 && s.chat_queue.popped() == s.chat_switches[0].from) {
      std::FILE* old = s.chat_file;
      s.chat_file = s.chat_switches[0].file;
      const std::string charset = s.chat_switches[0].charset;
      // Records refused before the switch are told in the file they were
      // meant for.
      const int64_t dropped = s.chat_queue.take_dropped(s.chat_switches[0].dropped);
      for (int i = 1; i < s.chat_switch_count; ++i) s.chat_switches[i - 1] = s.chat_switches[i];
      --s.chat_switch_count;
      hold.unlock();
      if (dropped > 0) write_chat_dropped(old, std::time(nullptr), dropped);
      if (old != nullptr) std::fclose(old);
      s.chat_names = std::make_unique<admin::NameText>(charset.c_str());
      hold.lock();
      continue;
    }
    if (s.chat_queue.pop(&line)) {
      hold.unlock();
      if (line.dropped_before > 0) write_chat_dropped(s.chat_file, line.time, line.dropped_before);
      write_chat(s.chat_file, s.chat_names.get(), line.time, line);
      ++unflushed;
      hold.lock();
      continue;
    }
    if (const int64_t chat_dropped = s.chat_queue.take_dropped(); chat_dropped > 0) {
      hold.unlock();
      write_chat_dropped(s.chat_file, std::time(nullptr), chat_dropped);
      ++unflushed;
      hold.lock();
      continue;
    }
    if (s.queue.pop(&line)) {
      hold.unlock();
      // The lines refused before this one are told where they went missing.
      if (line.dropped_before > 0) write_dropped(s.file, line.time, line.dropped_before);
      write_line(s.file, line.time, line.text, line.length);
      const bool flush = ++unflushed >= kFlushEvery;
      if (flush && s.file != nullptr) std::fflush(s.file);
      hold.lock();
      if (flush) {
        unflushed = 0;
        s.written = s.queue.popped();
        s.written_wake.notify_all();
      }
      continue;
    }
    const int64_t dropped = s.queue.take_dropped();
    if (dropped > 0) {
      hold.unlock();
      write_dropped(s.file, std::time(nullptr), dropped);
      ++unflushed;
      hold.lock();
      continue;
    }
    if (unflushed > 0) {
      hold.unlock();
      if (s.file != nullptr) std::fflush(s.file);
      if (s.chat_file != nullptr) std::fflush(s.chat_file);
      unflushed = 0;
      hold.lock();
      continue;
    }
    // Every line taken is written and flushed.
    if (s.written != s.queue.popped() || s.behind) {
      s.written = s.queue.popped();
      s.behind = false;
      s.written_wake.notify_all();
    }
    if (s.closing) break;
    // While the log is busy the writer looks for lines now and then
    // instead of being called for each; once it is quiet again, it sleeps
    // until a line calls it.
    if (s.busy_second >= std::time(nullptr) - 1) {
      s.wake.wait_until(s.lock, std::chrono::steady_clock::now() + kBusyLook);
    } else {
      s.writer_asleep = true;
      s.wake.wait(s.lock);
      s.writer_asleep = false;
    }
  }
  // Everything queued is out. close_log set the last line before it woke
  // this thread.
  std::FILE* file = s.file;
  std::FILE* fresh = s.fresh;
  std::vector<std::FILE*> chat_files = {s.chat_file};
  for (int i = 0; i < s.chat_switch_count; ++i) chat_files.push_back(s.chat_switches[i].file);
  s.file = nullptr;
  s.fresh = nullptr;
  s.chat_file = nullptr;
  s.chat_switch_count = 0;
  s.chat_path.clear();
  s.chat_on.store(false, std::memory_order_relaxed);
  const bool has_last = s.has_last;
  if (has_last) line = s.last;
  hold.unlock();
  if (has_last) write_line(file, line.time, line.text, line.length);
  if (file != nullptr) std::fclose(file);
  if (fresh != nullptr) std::fclose(fresh);
  for (std::FILE* chat : chat_files) {
    if (chat != nullptr) std::fclose(chat);
  }
  hold.lock();
  s.writer_done = true;
  s.written_wake.notify_all();
}

// Queues one line, or writes it at once where no writer thread could be
// started. Never waits for the file.
void queue_line(const char* text, int length) {
  if (length < 0) return;
  const int64_t now = std::time(nullptr);
  LogState& s = state();
  bool call_writer = false;
  {
    platform::MutexLock guard(s.lock);
    if (!s.accepting) return;
    if (!s.threaded) {
      write_line(s.file, now, text, length);
      if (s.file != nullptr) std::fflush(s.file);
      return;
    }
    if (now != s.rate_second) {
      s.rate_second = now;
      s.rate_lines = 0;
    }
    if (++s.rate_lines > kQuietLinesPerSecond) s.busy_second = now;
    // A full queue counts the line; the writer is busy and needs no call.
    if (!s.queue.push(now, text, length)) return;
    // Only a sleeping writer needs a call: one at work takes the line with
    // the others, and a busy log's writer comes by itself.
    call_writer = s.writer_asleep;
    s.writer_asleep = false;
  }
  if (call_writer) s.wake.notify_one();
}

void queue_formatted(const char* format, va_list args) {
  char text[kLogLineBytes];
  int n = std::vsnprintf(text, sizeof text, format, args);
  if (n > kLogLineBytes - 1) n = kLogLineBytes - 1;
  queue_line(text, n);
}

void queue_format(const char* format, ...) __attribute__((format(printf, 1, 2)));
void queue_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  queue_formatted(format, args);
  va_end(args);
}

}  // namespace

int open_log(const char* path, bool append) {
  close_log();
  LogState& s = state();
  std::FILE* file = platform::open_log_file(path, append);
  platform::MutexLock guard(s.lock);
  s.path = path;
  s.file = file;
  s.accepting = file != nullptr;
  s.closing = false;
  s.has_last = false;
  s.writer_done = false;
  try {
    s.writer = std::thread(writer_loop);
    s.threaded = true;
  } catch (const std::system_error&) {
    // Without a thread of its own the log is written by whoever logs, as
    // it comes.
    s.threaded = false;
  }
  return file == nullptr ? -1 : 0;
}

int reopen_log() {
  LogState& s = state();
  std::string path;
  {
    platform::MutexLock guard(s.lock);
    if (s.path.empty() || s.closing) return ENOENT;
    path = s.path;
  }
  // The new file first: when it cannot be opened, the log goes on in the
  // old one (and says so there) rather than stopping.
  std::FILE* fresh = platform::open_log_file(path.c_str(), true);
  if (fresh == nullptr) return errno;
  // The moderation log is reopened with it; one that cannot be keeps the
  // old file.
  reopen_chat_log();
  std::FILE* unused = nullptr;
  {
    platform::MutexLock guard(s.lock);
    if (s.closing) {
      unused = fresh;
    } else if (!s.threaded) {
      unused = s.file;
      s.file = fresh;
    } else {
      // The writer takes it once it has written every line queued so far;
      // a reopen not yet taken gives way to this one.
      unused = s.fresh;
      s.fresh = fresh;
      s.fresh_from = s.queue.pushed();
    }
    if (unused != fresh) s.accepting = true;
  }
  if (unused != nullptr) std::fclose(unused);
  s.wake.notify_one();
  return 0;
}

bool close_log(const char* last_line, int timeout_ms) {
  LogState& s = state();
  platform::MutexLock hold(s.lock);
  if (s.path.empty()) return true;
  s.accepting = false;
  if (last_line != nullptr) {
    int n = std::snprintf(s.last.text, sizeof s.last.text, "%s", last_line);
    if (n > kLogLineBytes - 1) n = kLogLineBytes - 1;
    s.last.length = n;
    s.last.time = std::time(nullptr);
    s.has_last = true;
  }
  if (s.threaded) {
    s.closing = true;
    s.wake.notify_one();
    if (timeout_ms >= 0) {
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
      while (!s.writer_done) {
        if (!s.written_wake.wait_until(s.lock, deadline) && !s.writer_done) {
          // The file does not take the lines: the writer is left to them,
          // and the process, about to end, does not wait.
          s.writer.detach();
          return false;
        }
      }
    }
    hold.unlock();
    s.writer.join();
    hold.lock();
  } else {
    if (s.has_last) write_line(s.file, s.last.time, s.last.text, s.last.length);
    if (s.file != nullptr) std::fclose(s.file);
    s.file = nullptr;
  }
  s.threaded = false;
  s.closing = false;
  s.has_last = false;
  s.path.clear();
  s.written_wake.notify_all();
  return true;
}

int open_chat_log(const char* path, const char* charset) {
  LogState& s = state();
  std::FILE* file = nullptr;
  if (path != nullptr && path[0] != '\0') {
    file = platform::open_log_file(path, true);
    if (file == nullptr) return errno != 0 ? errno : EIO;
  }
  {
    platform::MutexLock guard(s.lock);
    // Only the admin thread switches, and seldom: should the writer be
    // that far behind, the oldest switch waiting gives way, its records
    // going to the next file.
    if (s.chat_switch_count == LogState::kChatSwitches) {
      if (s.chat_switches[0].file != nullptr) std::fclose(s.chat_switches[0].file);
      for (int i = 1; i < s.chat_switch_count; ++i) s.chat_switches[i - 1] = s.chat_switches[i];
      --s.chat_switch_count;
    }
    LogState::ChatSwitch& next = s.chat_switches[s.chat_switch_count++];
    next.file = file;
    next.from = s.chat_queue.pushed();
    next.dropped = s.chat_queue.dropped();
    std::snprintf(next.charset, sizeof next.charset, "%s", charset);
    s.chat_path = file != nullptr ? path : "";
    std::snprintf(s.chat_charset, sizeof s.chat_charset, "%s", charset);
    s.chat_on.store(file != nullptr, std::memory_order_relaxed);
    if (!s.threaded) {
      // Without a writer thread the switch is made here.
      if (s.chat_file != nullptr) std::fclose(s.chat_file);
      s.chat_file = file;
      s.chat_switch_count = 0;
      s.chat_names = std::make_unique<admin::NameText>(s.chat_charset);
    }
  }
  s.wake.notify_one();
  return 0;
}

int reopen_chat_log() {
  LogState& s = state();
  std::string path;
  {
    platform::MutexLock guard(s.lock);
    path = s.chat_path;
  }
  if (path.empty()) return 0;
  std::string charset;
  {
    platform::MutexLock guard(s.lock);
    charset = s.chat_charset;
  }
  return open_chat_log(path.c_str(), charset.c_str());
}

bool chat_log_on() { return state().chat_on.load(std::memory_order_relaxed); }

void log_chat(const lobby::ChatRecord& record) {
  LogState& s = state();
  if (!s.chat_on.load(std::memory_order_relaxed)) return;
  const ChatEntry entry = make_chat_entry(record);
  const int64_t now = std::time(nullptr);
  {
    platform::MutexLock guard(s.lock);
    if (!s.threaded) {
      LogLine line;
      std::memcpy(line.text, &entry, sizeof entry);
      line.length = static_cast<int>(sizeof entry);
      write_chat(s.chat_file, s.chat_names.get(), now, line);
      if (s.chat_file != nullptr) std::fflush(s.chat_file);
      return;
    }
    // A full queue counts the line; the writer tells the count.
    if (!s.chat_queue.push(now, reinterpret_cast<const char*>(&entry), sizeof entry)) return;
  }
  s.wake.notify_one();
}

void log_settle() {
  LogState& s = state();
  platform::MutexLock hold(s.lock);
  if (!s.threaded || s.behind || s.rate_lines > kQuietLinesPerSecond) return;
  const uint64_t position = s.queue.pushed();
  if (s.written >= position) return;
  // The writer may be looking for lines only now and then: it is called.
  s.writer_asleep = false;
  s.wake.notify_one();
  const auto deadline = std::chrono::steady_clock::now() + kWriteWait;
  while (s.written < position && s.threaded) {
    if (!s.written_wake.wait_until(s.lock, deadline)) {
      if (s.written < position && s.threaded) s.behind = true;
      return;
    }
  }
}

void log_text(const char* text) { queue_format("%s", text); }

void log_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  queue_formatted(format, args);
  va_end(args);
}

}  // namespace app
