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

}  // namespace app

#endif  // APP_STATUS_NOTIFY_H_
