#include "platform/console_io.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "platform/wake_up.h"

namespace platform {
namespace {

// Written once before the handlers are installed.
volatile sig_atomic_t stop_fd = -1;

// write() on the wake descriptor is safe in a signal handler.
void on_stop_signal(int) { wake(stop_fd); }

}  // namespace

bool input_is_terminal() { return isatty(STDIN_FILENO) == 1; }

int open_input() { return STDIN_FILENO; }

int read_input(int fd, char* buffer, int size) {
  const ssize_t n = read(fd, buffer, static_cast<size_t>(size));
  if (n >= 0) return static_cast<int>(n);
  return (errno == EINTR || errno == EAGAIN) ? kInputWouldBlock : kInputError;
}

void print_text(std::FILE* stream, const std::string& text) { std::fputs(text.c_str(), stream); }

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

int open_stop_signal() {
  const int fd = make_wake_fd();
  if (fd < 0) return -1;
  stop_fd = fd;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // Interrupted waits start again; the wake descriptor ends them.
  action.sa_flags = SA_RESTART;
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) {
    return -1;
  }
  return fd;
}

}  // namespace platform
