#include "tests/support/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace testing_support {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

Clock::time_point deadline_after(int timeout_ms) {
  return Clock::now() + std::chrono::milliseconds(timeout_ms);
}

void close_fd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Opens a new pseudo-terminal: `*master` for the test, `*child_side` for
// the child. Both close on exec; the child dups its side onto 0 and 1.
bool open_terminal(int* master, int* child_side) {
  *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*master < 0) return false;
  char name[128];
  if (grantpt(*master) != 0 || unlockpt(*master) != 0 ||
      ptsname_r(*master, name, sizeof name) != 0) {
    close_fd(master);
    return false;
  }
  *child_side = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*child_side < 0) {
    close_fd(master);
    return false;
  }
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 80;
  ioctl(*master, TIOCSWINSZ, &size);
  return true;
}

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/lobby_test_XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool TempDir::write_file(const std::string& name, const std::string& text) const {
  std::ofstream out(file(name), std::ios::binary);
  out << text;
  out.close();
  return !out.fail();
}

bool TempDir::read_file(const std::string& name, std::string* text) const {
  std::ifstream in(file(name), std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  *text = content.str();
  return true;
}

bool TempDir::exists(const std::string& name) const {
  struct stat info;
  return stat(file(name).c_str(), &info) == 0;
}

ChildProcess::~ChildProcess() {
  if (running()) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  close_fds();
}

void ChildProcess::close_fds() {
  if (input_fd_ == output_fd_) input_fd_ = -1;  // one terminal descriptor
  close_fd(&input_fd_);
  close_fd(&output_fd_);
  close_fd(&terminal_fd_);
  close_fd(&pid_fd_);
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& dir,
                         ChildStdio stdio) {
  if (pid_ > 0 || argv.empty()) return false;
  // A lobby that upgrades leaves its new program without a parent: it
  // comes to this process, which can then wait for it and end it.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  // Everything the child needs is prepared here: between fork and exec it
  // only makes async-signal-safe calls.
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  int child_in = -1;
  int child_out = -1;
  if (stdio == ChildStdio::kTerminal) {
    if (!open_terminal(&output_fd_, &terminal_fd_)) return false;
    input_fd_ = output_fd_;
  } else {
    int out_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return false;
    output_fd_ = out_pipe[0];
    child_out = out_pipe[1];
    if (stdio == ChildStdio::kPipeInput) {
      int in_pipe[2];
      if (pipe2(in_pipe, O_CLOEXEC) != 0) {
        close_fd(&child_out);
        close_fds();
        return false;
      }
      child_in = in_pipe[0];
      input_fd_ = in_pipe[1];
    } else {
      child_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (child_in < 0) {
      close_fd(&child_out);
      close_fds();
      return false;
    }
  }

  const pid_t pid = fork();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (stdio == ChildStdio::kTerminal) {
      if (setsid() < 0 || ioctl(terminal_fd_, TIOCSCTTY, 0) != 0) _exit(125);
      child_in = terminal_fd_;
      child_out = terminal_fd_;
    }
    if (dup2(child_in, 0) < 0 || dup2(child_out, 1) < 0) _exit(125);
    if (chdir(dir.c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  if (stdio != ChildStdio::kTerminal) {
    close_fd(&child_in);
    close_fd(&child_out);
  }
  if (pid < 0) {
    close_fds();
    return false;
  }
  pid_ = pid;
  pid_fd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  return true;
}

bool ChildProcess::send_input(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = write(input_fd_, bytes.data() + sent, bytes.size() - sent);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

void ChildProcess::close_input() {
  if (input_fd_ != output_fd_) close_fd(&input_fd_);
}

bool ChildProcess::set_output_buffer(int bytes) {
  return terminal_fd_ < 0 && output_fd_ >= 0 && fcntl(output_fd_, F_SETPIPE_SZ, bytes) >= bytes;
}

int ChildProcess::unread_output() const {
  int bytes = 0;
  if (terminal_fd_ >= 0 || output_fd_ < 0 || ioctl(output_fd_, FIONREAD, &bytes) != 0) return -1;
  return bytes;
}

bool ChildProcess::send_signal(int signal_number) {
  return running() && kill(pid_, signal_number) == 0;
}

bool ChildProcess::read_output(int timeout_ms) {
  if (output_ended_ || output_fd_ < 0) return false;
  pollfd p{output_fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buffer[4096];
  const ssize_t n = read(output_fd_, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    // End of the pipe, or EIO once no one holds the terminal's other side.
    output_ended_ = true;
    return false;
  }
  output_.append(buffer, static_cast<size_t>(n));
  return true;
}

bool ChildProcess::next_line(std::string* line, int timeout_ms) {
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    const size_t end = output_.find('\n', line_pos_);
    if (end != std::string::npos) {
      size_t length = end - line_pos_;
      if (length > 0 && output_[end - 1] == '\r') --length;
      *line = output_.substr(line_pos_, length);
      line_pos_ = end + 1;
      return true;
    }
    if (!read_output(remaining_ms(deadline)) && (output_ended_ || remaining_ms(deadline) == 0)) {
      return false;
    }
  }
}

bool ChildProcess::wait_for_text(const std::string& text, int timeout_ms) {
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    const size_t at = output_.find(text, text_pos_);
    if (at != std::string::npos) {
      text_pos_ = at + text.size();
      return true;
    }
    if (!read_output(remaining_ms(deadline)) && (output_ended_ || remaining_ms(deadline) == 0)) {
      return false;
    }
  }
}

bool ChildProcess::wait_exit(int timeout_ms, int* status) {
  if (pid_ <= 0) return false;
  if (!exited_) {
    const auto deadline = deadline_after(timeout_ms);
    for (;;) {
      int wait_status = 0;
      const pid_t done = waitpid(pid_, &wait_status, WNOHANG);
      if (done == pid_) {
        exited_ = true;
        exit_status_ = wait_status;
        break;
      }
      const int left = remaining_ms(deadline);
      if (done < 0 || left == 0) return false;
      if (pid_fd_ >= 0) {
        // Readable once the child has ended.
        pollfd p{pid_fd_, POLLIN, 0};
        poll(&p, 1, left);
      } else {
        // No process descriptor on this kernel: look again shortly.
        poll(nullptr, 0, left < 5 ? left : 5);
      }
    }
  }
  *status = exit_status_;
  return true;
}

bool ChildProcess::follow(pid_t next, int timeout_ms, int* status) {
  if (!wait_exit(timeout_ms, status)) return false;
  close_fd(&pid_fd_);
  pid_ = next;
  exited_ = false;
  exit_status_ = 0;
  pid_fd_ = static_cast<int>(syscall(SYS_pidfd_open, next, 0));
  return true;
}

bool ChildProcess::terminal_settings(termios* settings) const {
  return terminal_fd_ >= 0 && tcgetattr(terminal_fd_, settings) == 0;
}

bool ChildProcess::set_terminal_settings(const termios& settings) const {
  return terminal_fd_ >= 0 && tcsetattr(terminal_fd_, TCSANOW, &settings) == 0;
}

}  // namespace testing_support
