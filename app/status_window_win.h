// The operator's view of a running lobby on Windows. Main thread only;
// server threads reach it through refresh_status(), which posts.
//
// Window mode: the status window, a dialog at the top-left corner of the
// screen titled "LOBBYサーバ(Ver0.9.4)" with the application's icon and the
// four lines in controls 1002, 1001, 1003 and 1000 (top to bottom), drawn
// with the wide-character API so that the Japanese shows whatever the
// system's code page. It has a close box and no buttons: Enter ends it with
// kStatusOk, Escape or the close box with kStatusCancel.
//
// Console mode (--console, a start without a desktop such as a service, or
// a window that cannot be made): the four lines on standard output at the
// start and each line again when its text changes, the same UTF-8 bytes as
// on Linux without a terminal (a console shows them through the
// wide-character API, whatever its code page). A thread of its own writes
// them, so a reader that stops reading delays the lines, never a stop.
// Ctrl-C, Ctrl-Break, closing the console, logoff and shutdown end it with
// kStatusCancel.
#ifndef APP_STATUS_WINDOW_WIN_H_
#define APP_STATUS_WINDOW_WIN_H_

#include <windows.h>

#include <memory>
#include <string>

#include "app/status_lines.h"
#include "lobby/lobby_state.h"

namespace app {

// True when the process runs on a desktop a user can see (false for a
// service's window station).
bool has_desktop();

class StatusWindow {
 public:
  explicit StatusWindow(bool console);
  // Only after the server threads have been joined: they may still post
  // to the window or set the event until then.
  ~StatusWindow();
  StatusWindow(const StatusWindow&) = delete;
  StatusWindow& operator=(const StatusWindow&) = delete;

  // Creates the window (hidden until run), or when that is not wanted or
  // not possible installs the console's stop handler. Before any server
  // thread starts. 0, or -1 when no display can be made (the lobby must
  // then not start).
  int setup();
  // Shows `lobby` until the display ends; kStatusOk or kStatusCancel.
  int run(const lobby::Lobby& lobby);

  bool console() const { return console_; }

 private:
  static INT_PTR CALLBACK dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static BOOL WINAPI console_handler(DWORD event);

  struct LineWriter;

  int setup_window();
  int setup_console();
  int run_window();
  int run_console();
  void end_window(int result);
  // Sets the controls whose line changed.
  void show_changes();
  // Writes the lines that changed to standard output.
  void write_changes();

  bool console_;
  const lobby::Lobby* lobby_ = nullptr;
  HWND window_ = nullptr;
  HANDLE wake_event_ = nullptr;  // set by refresh_status and the handler
  // Set when the process is done, so that a handler for a closing console
  // may return and let the system end the process.
  HANDLE done_event_ = nullptr;
  bool ended_ = false;
  int result_ = kStatusCancel;
  bool drawn_ = false;
  // Shared with the writer's thread, which may outlive this object when a
  // reader never takes the last lines.
  std::shared_ptr<LineWriter> writer_;
  std::string shown_[kStatusLineCount];
};

}  // namespace app

#endif  // APP_STATUS_WINDOW_WIN_H_
