// The event log "L_log.txt": one timestamped line per event, written whole
// under one lock and flushed at once so that an operator can follow it.
// Any thread. Writers after close_log write nothing.
#ifndef APP_EVENT_LOG_H_
#define APP_EVENT_LOG_H_

#include <cstdint>

namespace app {

constexpr char kLogFileName[] = "L_log.txt";

// Opens (creating or emptying) the log at `path`. 0, or -1 when it cannot be
// created; the server then runs without a log.
int open_log(const char* path);
// Reopens the log at the path open_log was given, for appending: after an
// operator moved the file away (log rotation), new lines go to a new file.
// 0, or the errno of the failed open (the log is then off).
int reopen_log();
void close_log();
bool log_enabled();

void log_number(const char* text, int32_t value);   // "%s %d"
void log_text(const char* text);                    // "%s"
void log_pair(const char* text, const char* more);  // "%s %s"
void log_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace app

#endif  // APP_EVENT_LOG_H_
