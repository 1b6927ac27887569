// The operator's view of a running lobby: its name, the game data version,
// and the user and room counts, kept current on the main thread.
//
// Interactive when both standard input and standard output are terminals:
// the terminal is switched to unbuffered input without echo (signal keys
// stay on), a title and the four lines are drawn and then redrawn in place.
// Enter ends the display with kResultOk, Escape with kResultCancel.
//
// Otherwise (a service, a pipe): the four lines are printed once at the
// start and each line again whenever its text changes; standard input is
// not read.
//
// In both modes SIGINT, SIGTERM and SIGHUP end the display with
// kResultCancel, and so does request_shutdown() (a finished drain); SIGUSR2,
// when taken, starts an upgrade. On a
// terminal, Ctrl-Z (SIGTSTP) gives the terminal back in its old mode before
// the process stops, and a continued process (SIGCONT) in the foreground
// takes it again and redraws the title and the lines. Continued in the
// background, it neither reads keys nor draws until it is back in the
// foreground. Output waits until standard output can take it, so a stopped
// terminal or a full pipe only delays the display, never a signal.
#ifndef APP_STATUS_DISPLAY_H_
#define APP_STATUS_DISPLAY_H_

#include <termios.h>

#include <chrono>
#include <string>

#include "app/status_lines.h"
#include "lobby/lobby_state.h"

namespace app {

class StatusDisplay {
 public:
  static constexpr int kResultOk = kStatusOk;
  static constexpr int kResultCancel = kStatusCancel;
  static constexpr int kLineCount = kStatusLineCount;

  // Reads keys from `input_fd` and draws on `output_fd` (by default standard
  // input and output).
  explicit StatusDisplay(int input_fd = 0, int output_fd = 1);
  // Restores the terminal and closes the wake pipe and the signal
  // descriptor. Only after the server threads have been joined: they may
  // still write to the wake pipe until then.
  ~StatusDisplay();
  StatusDisplay(const StatusDisplay&) = delete;
  StatusDisplay& operator=(const StatusDisplay&) = delete;

  // Blocks SIGINT, SIGTERM and SIGHUP (on a terminal also SIGTSTP, SIGCONT
  // and SIGTTOU) in the calling thread, so that every thread started
  // afterwards inherits the mask and the signals reach only this display;
  // opens the signal descriptor and the wake pipe, registers the pipe with
  // set_status_wake_fd, and in interactive mode sets up the terminal. Main
  // thread, before any server thread starts. 0, or -1 when any step failed
  // (the display must then not be run).
  int setup();
  // Before setup(): SIGUSR2 is taken too, and calls upgrade_signal()
  // (app/upgrade.h) on the main thread.
  void take_upgrade_signal() { upgrade_signal_ = true; }
  // Before setup(): the lines are printed, never drawn on a terminal, and
  // a terminal is never read or set, even when there is one (a lobby that
  // took over from an upgraded program, whose terminal goes back to its
  // shell). A write from the background then never stops the process.
  void keep_off_terminal() { off_terminal_ = true; }

  // Shows `lobby` until the display ends; kResultOk or kResultCancel.
  // Main thread, after a successful setup().
  int run(const lobby::Lobby& lobby);

  bool interactive() const { return interactive_; }

  // The four lines as they read now, top to bottom.
  static void format_lines(const lobby::Lobby& lobby, std::string lines[kLineCount]);

 private:
  // Result of handling input: keep running, or end with a result.
  static constexpr int kKeepRunning = -1;

  // Writes what is still to be shown, for a short while at most; returns
  // `result`.
  int finish(const lobby::Lobby& lobby, int result);
  int handle_keys();
  int handle_signal();
  void suspend();
  void resume();
  bool in_foreground() const;
  void drain_wake_pipe();
  // Queues the text for the lines that differ from what is on screen.
  void queue_changes(const lobby::Lobby& lobby);
  // Writes as much queued text as the output takes now without blocking.
  void write_pending();

  int input_fd_;
  int output_fd_;
  bool interactive_ = false;
  bool upgrade_signal_ = false;
  bool off_terminal_ = false;
  bool terminal_changed_ = false;
  termios saved_terminal_{};  // as found, restored on suspend and at the end
  termios keys_terminal_{};   // single keys without echo
  bool foreground_ = false;   // the terminal is ours to read and to set
  int signal_fd_ = -1;
  int wake_read_fd_ = -1;
  int wake_write_fd_ = -1;
  bool drawn_ = false;    // the lines have been queued once
  bool changed_ = false;  // the lines may differ from what was queued
  // When the lines were last queued, and whether a change has come since
  // that waits for kRedrawMs to pass before it is taken.
  std::chrono::steady_clock::time_point queued_at_{};
  bool change_waits_ = false;
  bool output_failed_ = false;
  std::string shown_[kLineCount];
  std::string pending_;
};

}  // namespace app

#endif  // APP_STATUS_DISPLAY_H_
