// The event log "L_log.txt": one timestamped line per event, flushed at once
// so that an operator can follow it.
//
// A line is stamped and queued by the thread that logs it and written by a
// thread of the log's own, so a file that does not take lines (a full disk,
// a pipe nobody reads) stalls only that writer: the lobby serves on.
// Logging a line never waits. A thread that must know its lines are in the
// file before it goes on (a drop is logged before its connection is
// closed) calls log_settle, which waits for them while the writer keeps up
// and lines are few (at most 100 in a second), at most 100 ms, and not at
// all while the writer is behind or lines come faster. While they come
// faster, the writer is not called for each line but takes them every
// 20 ms. Lines that find the queue full are counted, and the count is
// written once the file moves again: "log lines dropped N".
//
// Any thread, except open_log and close_log (the main thread, before and
// after everything else). Lines logged while the log is not open are lost.
#ifndef APP_EVENT_LOG_H_
#define APP_EVENT_LOG_H_

#include <cstdint>

#include "lobby/lobby_events.h"

namespace app {

constexpr char kLogFileName[] = "L_log.txt";

// Opens (creating or emptying) the log at `path` and starts its writer;
// with `append`, adds to what the file holds (a program that takes over a
// running lobby goes on with its log). 0, or -1 when it cannot be
// created; the log is then off until a reopen_log succeeds.
int open_log(const char* path, bool append = false);
// Reopens the log at the path open_log was given, for appending: after an
// operator moved the file away (log rotation), new lines go to a new file.
// Every line logged before the call goes to the old file, every later one
// to the new. 0, or the errno of the failed open (the old file is then
// kept).
int reopen_log();
// Writes `last_line` (when not null) after every line queued before it,
// closes the file and ends the writer. Lines logged after it are lost.
// Waits until everything is written: a stalled file stalls the caller,
// unless `timeout_ms` (0 or more) bounds the wait; false when it ran out
// (the process must then end soon: the writer is left running).
bool close_log(const char* last_line = nullptr, int timeout_ms = -1);

// The moderation log (L_CHAT_LOG): one line for each chat line the lobby
// relays, written by the event log's writer thread from a queue of its
// own, so that no lobby thread ever waits for it. Opens `path` for
// appending (made 0640 when it is created), its names and text decoded
// from `charset`, or closes it for an empty path; what is queued still
// goes to the file it was meant for or the next. 0, or the errno of a
// failed open (the log then stays as it was). reopen_log reopens it too.
int open_chat_log(const char* path, const char* charset);
int reopen_chat_log();
// A moderation log is open; a cheap look for every line relayed.
bool chat_log_on();
// Queues one record; never waits. A full queue counts it, and the log says
// "chat lines dropped N" where it went missing.
void log_chat(const lobby::ChatRecord& record);

void log_text(const char* text);
void log_format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Waits until every line logged before the call is in the file, while the
// log is quiet and keeps up (see above); at most 100 ms.
void log_settle();

}  // namespace app

#endif  // APP_EVENT_LOG_H_
