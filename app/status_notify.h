// How server threads tell the status display that a count changed. They
// only record the change and wake the main thread; they never write to the
// terminal, so a stalled display cannot hold a server thread or a lock.
// Any thread.
#ifndef APP_STATUS_NOTIFY_H_
#define APP_STATUS_NOTIFY_H_

namespace app {

// Records that the user or room count changed.
void refresh_status();
// The display's wake-up descriptor (the write end of a non-blocking pipe),
// or -1 for none. Main thread, before and after the server threads run.
void set_status_wake_fd(int fd);
// True once after each refresh_status; the display's thread calls it.
bool take_status_change();
// Asks the display to end as a stop signal ends it (a drain has finished).
void request_shutdown();
// True once a stop was requested; stays true.
bool shutdown_requested();
// What ended the process, for its shutdown line ("SIGTERM", "Ctrl-C"): the
// first one named wins. `cause` must outlive the process (a literal).
void note_stop_cause(const char* cause);
// The cause named, or null for none.
const char* stop_cause();

}  // namespace app

#endif  // APP_STATUS_NOTIFY_H_
