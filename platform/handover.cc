#include "platform/handover.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

extern char** environ;

namespace platform {

std::string program_path() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  return std::string(path, static_cast<size_t>(n));
}

int process_id() { return static_cast<int>(getpid()); }

int memory_file(const char* name, const uint8_t* data, size_t size, int* error) {
  const int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, data + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : EIO;
      close(fd);
      return -1;
    }
    written += static_cast<size_t>(n);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) {
    *error = errno;
    close(fd);
    return -1;
  }
  return fd;
}

int read_whole_file(int fd, size_t most, std::string* out, int* error) {
  out->clear();
  struct stat info;
  if (fstat(fd, &info) != 0) {
    *error = errno;
    return -1;
  }
  if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) > most) {
    *error = EFBIG;
    return -1;
  }
  out->resize(static_cast<size_t>(info.st_size));
  size_t got = 0;
  while (got < out->size()) {
    const ssize_t n = pread(fd, out->data() + got, out->size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : EIO;
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  return 0;
}

int socket_pair(int fds[2], int* error) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    *error = errno;
    return -1;
  }
  return 0;
}

int write_all(int fd, const char* data, size_t size) {
  size_t written = 0;
  while (written < size) {
    const ssize_t n = send(fd, data + written, size - written, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd wait{fd, POLLOUT, 0};
      poll(&wait, 1, 100);
      continue;
    }
    if (n <= 0) return -1;
    written += static_cast<size_t>(n);
  }
  return 0;
}

int read_within(int fd, char* buffer, int size, int timeout_ms, int* error) {
  pollfd wait{fd, POLLIN, 0};
  const int ready = poll(&wait, 1, timeout_ms);
  if (ready == 0) return kReadTimedOut;
  if (ready < 0) {
    if (errno == EINTR) return kReadTimedOut;
    *error = errno;
    return -1;
  }
  const ssize_t n = recv(fd, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kReadTimedOut;
    *error = errno;
    return -1;
  }
  return static_cast<int>(n);
}

void close_descriptor(int fd) {
  if (fd >= 0) close(fd);
}

bool is_open_socket(int fd) {
  struct stat info;
  return fd >= 0 && fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
}

namespace {

// A started program begins as any program does: no signal blocked, none
// ignored. This one blocks its stop signals for its display, and ignores
// SIGPIPE for its sockets.
void start_plainly(posix_spawnattr_t* attributes) {
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(attributes, &none);
  posix_spawnattr_setsigdefault(attributes, &defaults);
  posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

}  // namespace

int start_program(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env, const std::vector<int>& keep, int* error) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  // A descriptor given to itself is kept open across the exec (the C
  // library clears its close-on-exec flag in the new process only, so this
  // process's own descriptors stay as they are if the start fails).
  for (int fd : keep) posix_spawn_file_actions_adddup2(&actions, fd, fd);
  start_plainly(&attributes);
  pid_t pid = -1;
  const int rc =
      posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    *error = rc;
    return -1;
  }
  return static_cast<int>(pid);
}

int program_output(const std::string& program, const std::vector<std::string>& args, int timeout_ms,
                   size_t most, std::string* out, int* status, int* error) {
  out->clear();
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) {
    *error = errno;
    return -1;
  }
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  start_plainly(&attributes);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(output[1]);
  if (rc != 0) {
    close(output[0]);
    *error = rc;
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd wait{output[0], POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(output[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (out->size() < most)
      out->append(buffer, std::min(static_cast<size_t>(n), most - out->size()));
  }
  close(output[0]);
  // Ended by now, or ended here: it must not outlive the question.
  if (wait_child(pid, 100, status) != 1) {
    kill(pid, SIGKILL);
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
  }
  return 0;
}

int wait_child(int pid, int timeout_ms, int* status) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid) return 1;
    if (done < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void kill_child(int pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

std::string wait_status_text(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int signal_number = WTERMSIG(status);
    const char* name = sigabbrev_np(signal_number);
    return "was killed by signal " + std::to_string(signal_number) +
           (name != nullptr ? std::string(" (SIG") + name + ")" : std::string());
  }
  return "ended (status " + std::to_string(status) + ")";
}

std::vector<std::string> environment() {
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    env.emplace_back(*entry);
  }
  return env;
}

}  // namespace platform
