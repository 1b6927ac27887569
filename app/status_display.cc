#include "app/status_display.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "app/status_lines.h"
#include "app/status_notify.h"
#include "app/upgrade.h"

namespace app {
namespace {

// Drawn above the lines in interactive mode only: a pipe's reader gets the
// four lines alone.
constexpr const char* kTitle = kStatusTitle;

constexpr unsigned char kEscape = 0x1b;
// Moves the cursor back to the first of the four lines.
constexpr char kCursorToFirstLine[] = "\x1b[4A";
// Returns to the start of the line and clears it before it is rewritten.
constexpr char kClearLine[] = "\r\x1b[K";

// At most this much is written per readiness report. A pipe that reports
// room takes PIPE_BUF (4096) bytes without blocking, and a terminal reports
// room only while little of its output is still queued.
constexpr size_t kWriteChunk = 512;

// How often a display in the background looks whether it is in the
// foreground again.
constexpr int kBackgroundCheckMs = 200;

// How long an ending display may wait for its output to take the last
// lines: a reader that has stopped must not hold up the shutdown.
constexpr int kFinalWriteMs = 200;

// The least time between two showings of changed counts. A crowd that
// connects and leaves changes them thousands of times a second; the
// display then wakes at most twice in this time, and shows the latest.
constexpr auto kRedraw = std::chrono::milliseconds(50);

// The stop signals, and on a terminal also the job-control pair: Ctrl-Z
// must give the terminal back in the state it was found, and a continued
// display must take it again.
void fill_signal_set(sigset_t* set, bool job_control, bool upgrade) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
  if (upgrade) sigaddset(set, SIGUSR2);
  if (job_control) {
    sigaddset(set, SIGTSTP);
    sigaddset(set, SIGCONT);
  }
}

void close_if_open(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

}  // namespace

StatusDisplay::StatusDisplay(int input_fd, int output_fd)
    : input_fd_(input_fd), output_fd_(output_fd) {}

StatusDisplay::~StatusDisplay() {
  if (terminal_changed_) tcsetattr(input_fd_, TCSANOW, &saved_terminal_);
  // Unregister before closing, so that no later refresh writes into a
  // descriptor number that may be reused.
  if (wake_write_fd_ >= 0) set_status_wake_fd(-1);
  close_if_open(&wake_write_fd_);
  close_if_open(&wake_read_fd_);
  close_if_open(&signal_fd_);
}

int StatusDisplay::setup() {
  // A background job sharing the terminal would be stopped by the kernel as
  // soon as it changed the terminal or read from it; it gets the line
  // output instead.
  interactive_ =
      !off_terminal_ && isatty(input_fd_) == 1 && isatty(output_fd_) == 1 && in_foreground();

  sigset_t signals;
  fill_signal_set(&signals, interactive_, upgrade_signal_);
  sigset_t blocked = signals;
  // Blocked as well, and never read: a process in the background may then
  // still restore the terminal and write its lines instead of being stopped
  // for it, server threads and all.
  if (interactive_ || off_terminal_) sigaddset(&blocked, SIGTTOU);
  if (pthread_sigmask(SIG_BLOCK, &blocked, nullptr) != 0) return -1;
  signal_fd_ = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signal_fd_ < 0) return -1;

  int wake[2];
  if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
  wake_read_fd_ = wake[0];
  wake_write_fd_ = wake[1];
  set_status_wake_fd(wake_write_fd_);
  if (!interactive_) return 0;
  // A lobby that hands itself over to a new program gives the terminal back
  // as it found it before it ends.
  set_hand_over_exit_hook([this] { tcsetattr(input_fd_, TCSANOW, &saved_terminal_); });

  if (tcgetattr(input_fd_, &saved_terminal_) != 0) return -1;
  keys_terminal_ = saved_terminal_;
  // Each key as it is typed, not echoed. ISIG stays on: Ctrl-C still sends
  // SIGINT, which ends the display like Escape, and Ctrl-Z still suspends.
  keys_terminal_.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  keys_terminal_.c_cc[VMIN] = 1;
  keys_terminal_.c_cc[VTIME] = 0;
  if (tcsetattr(input_fd_, TCSANOW, &keys_terminal_) != 0) return -1;
  terminal_changed_ = true;
  foreground_ = true;
  return 0;
}

bool StatusDisplay::in_foreground() const { return tcgetpgrp(input_fd_) == getpgrp(); }

void StatusDisplay::format_lines(const lobby::Lobby& lobby, std::string lines[kLineCount]) {
  format_status_lines(lobby, lines);
}

int StatusDisplay::run(const lobby::Lobby& lobby) {
  if (interactive_) {
    pending_ += kTitle;
    pending_ += '\n';
  }
  // Changes are turned into text only when the output has taken everything
  // queued before, so a stalled output holds one screen's worth of text at
  // most and shows the latest counts once it moves again.
  changed_ = true;
  for (;;) {
    // In the background, redrawing in place would write over the shell's
    // lines; the changes wait for the display to come back to the
    // foreground.
    if (changed_ && pending_.empty() && (!interactive_ || foreground_)) {
      queue_changes(lobby);
      changed_ = false;
      queued_at_ = std::chrono::steady_clock::now();
    }
    pollfd fds[4];
    int count = 0;
    const int signal_index = count;
    fds[count++] = {signal_fd_, POLLIN, 0};
    // A change that came too soon after the last showing is taken once
    // kRedraw has passed; until then further changes need not wake the
    // display, and do not (the flag they set is not taken meanwhile).
    int timeout_ms = -1;
    int wake_index = -1;
    if (change_waits_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          queued_at_ + kRedraw - std::chrono::steady_clock::now());
      timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    } else {
      wake_index = count;
      fds[count++] = {wake_read_fd_, POLLIN, 0};
    }
    int input_index = -1;
    // Only the foreground may read the terminal: a read from the background
    // would stop the whole process.
    if (interactive_ && foreground_) {
      input_index = count;
      fds[count++] = {input_fd_, POLLIN, 0};
    }
    int output_index = -1;
    if (!pending_.empty()) {
      output_index = count;
      fds[count++] = {output_fd_, POLLOUT, 0};
    }
    // A shell brings a running background job to the foreground without
    // any signal, so the background looks now and then whether it is back.
    const bool background = interactive_ && !foreground_;
    if (background && (timeout_ms < 0 || timeout_ms > kBackgroundCheckMs)) {
      timeout_ms = kBackgroundCheckMs;
    }
    if (poll(fds, static_cast<nfds_t>(count), timeout_ms) < 0) {
      if (errno == EINTR) continue;
      return kResultCancel;  // cannot wait for anything any more
    }
    if (change_waits_ && std::chrono::steady_clock::now() >= queued_at_ + kRedraw) {
      change_waits_ = false;
      if (take_status_change()) changed_ = true;
      if (shutdown_requested()) return finish(lobby, kResultCancel);
    }
    if (background && in_foreground()) resume();
    if (fds[signal_index].revents != 0) {
      const int result = handle_signal();
      if (result != kKeepRunning) return finish(lobby, result);
    }
    if (input_index >= 0 && fds[input_index].revents != 0) {
      const int result = handle_keys();
      if (result != kKeepRunning) return finish(lobby, result);
    }
    if (wake_index >= 0 && fds[wake_index].revents != 0) {
      drain_wake_pipe();
      if (shutdown_requested()) return finish(lobby, kResultCancel);
      if (std::chrono::steady_clock::now() < queued_at_ + kRedraw) {
        change_waits_ = true;
      } else if (take_status_change()) {
        changed_ = true;
      }
    }
    if (output_index >= 0 && fds[output_index].revents != 0) write_pending();
  }
}

int StatusDisplay::finish(const lobby::Lobby& lobby, int result) {
  // A stop that comes early, or right after a change, must not take lines
  // with it that were never written.
  if (take_status_change()) changed_ = true;
  if (changed_ && (!interactive_ || foreground_)) queue_changes(lobby);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFinalWriteMs);
  while (!pending_.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd out{output_fd_, POLLOUT, 0};
    const int ready = poll(&out, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) write_pending();
  }
  return result;
}

int StatusDisplay::handle_signal() {
  signalfd_siginfo info;
  const ssize_t n = read(signal_fd_, &info, sizeof info);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return kKeepRunning;
  // A failed descriptor could not show a stop signal again: end now.
  if (n != static_cast<ssize_t>(sizeof info)) return kResultCancel;
  if (info.ssi_signo == SIGTSTP) {
    suspend();
    return kKeepRunning;
  }
  if (info.ssi_signo == SIGCONT) {
    resume();
    return kKeepRunning;
  }
  if (info.ssi_signo == SIGUSR2) {
    // Returns when the upgrade failed (it logged why); on success the
    // process ends inside.
    upgrade_signal();
    return kKeepRunning;
  }
  note_stop_cause(info.ssi_signo == SIGTERM  ? "SIGTERM"
                  : info.ssi_signo == SIGINT ? "SIGINT"
                  : info.ssi_signo == SIGHUP ? "SIGHUP"
                                             : "a signal");
  return kResultCancel;
}

void StatusDisplay::suspend() {
  if (foreground_) tcsetattr(input_fd_, TCSANOW, &saved_terminal_);
  // Stops the whole process the way an unhandled Ctrl-Z would (the kernel
  // ignores it when no shell could continue the process), and returns once
  // the process runs again.
  sigset_t tstp;
  sigemptyset(&tstp);
  sigaddset(&tstp, SIGTSTP);
  pthread_sigmask(SIG_UNBLOCK, &tstp, nullptr);
  raise(SIGTSTP);
  pthread_sigmask(SIG_BLOCK, &tstp, nullptr);
  // Whether it stopped or not, the keys must work again; a continue signal,
  // if one came, also redraws.
  foreground_ = in_foreground();
  if (foreground_) tcsetattr(input_fd_, TCSANOW, &keys_terminal_);
}

void StatusDisplay::resume() {
  foreground_ = in_foreground();
  if (!foreground_) return;
  // The shell may have set the terminal to its own liking and written over
  // the lines meanwhile: take the terminal again and draw everything anew.
  // Text still queued goes out first, whole: cut, it could leave an escape
  // sequence open that would swallow the title.
  tcsetattr(input_fd_, TCSANOW, &keys_terminal_);
  pending_ += kTitle;
  pending_ += '\n';
  drawn_ = false;
  changed_ = true;
}

int StatusDisplay::handle_keys() {
  unsigned char keys[64];
  const ssize_t n = read(input_fd_, keys, sizeof keys);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return kKeepRunning;
  if (n < 0 && errno == EIO && !in_foreground()) {
    foreground_ = false;  // put in the background: keys are not ours now
    return kKeepRunning;
  }
  if (n <= 0) return kResultCancel;  // the terminal hung up
  for (ssize_t i = 0; i < n; ++i) {
    const unsigned char key = keys[i];
    if (key == '\r' || key == '\n') return kResultOk;
    if (key != kEscape) continue;
    // A key that sends a sequence (arrows, function keys) delivers it in one
    // read; only an Escape with nothing of a sequence after it cancels.
    if (i + 1 < n && keys[i + 1] == '[') {
      // Control sequence: parameter and intermediate bytes up to a final
      // byte in 0x40..0x7e.
      i += 2;
      while (i < n && (keys[i] < 0x40 || keys[i] > 0x7e)) ++i;
    } else if (i + 1 < n && keys[i + 1] == 'O') {
      i += 2;  // one more byte names the key
    } else {
      return kResultCancel;
    }
  }
  return kKeepRunning;
}

void StatusDisplay::drain_wake_pipe() {
  char bytes[64];
  while (read(wake_read_fd_, bytes, sizeof bytes) > 0) {
  }
}

void StatusDisplay::queue_changes(const lobby::Lobby& lobby) {
  if (output_failed_) return;
  std::string lines[kLineCount];
  format_lines(lobby, lines);
  if (interactive_) {
    bool same = drawn_;
    for (int i = 0; i < kLineCount && same; ++i) same = lines[i] == shown_[i];
    if (same) return;
    if (drawn_) pending_ += kCursorToFirstLine;
    for (int i = 0; i < kLineCount; ++i) {
      pending_ += kClearLine;
      pending_ += lines[i];
      pending_ += '\n';
    }
  } else {
    append_changed_lines(lines, shown_, drawn_, &pending_);
  }
  for (int i = 0; i < kLineCount; ++i) shown_[i] = lines[i];
  drawn_ = true;
}

void StatusDisplay::write_pending() {
  const size_t length = pending_.size() < kWriteChunk ? pending_.size() : kWriteChunk;
  const ssize_t n = write(output_fd_, pending_.data(), length);
  if (n > 0) {
    pending_.erase(0, static_cast<size_t>(n));
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  // The reader is gone or the output is closed: the lobby goes on without a
  // display.
  output_failed_ = true;
  pending_.clear();
}

}  // namespace app
