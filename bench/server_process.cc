#include "bench/server_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace bench {
namespace {

constexpr int kExecFailed = 127;
constexpr int kChdirFailed = 126;
constexpr int kWaitStepMs = 5;

bool write_text(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

}  // namespace

ServerProcess::~ServerProcess() {
  stop(2000);
  remove_dir();
}

int ServerProcess::start(const std::string& path, int port, std::string* error,
                         const std::string& extra_settings, const std::string& deny_text) {
  if (access(path.c_str(), X_OK) != 0) {
    *error = "no executable server at " + path;
    return -1;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/lobby_bench.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot make a temporary directory: " + std::string(std::strerror(errno));
    return -1;
  }
  dir_ = pattern;
  // Four rooms: the most the server serves, so that it has its 32 slots.
  const std::string settings =
      "L_NAME bench_lobby\nL_PORT " + std::to_string(port) + "\nROOM 4\n" + extra_settings;
  if (!write_text(dir_ + "/dorvik.txt", settings)) {
    *error = "cannot write " + dir_ + "/dorvik.txt";
    return -1;
  }
  if (!deny_text.empty() && !write_text(dir_ + "/deny.txt", deny_text)) {
    *error = "cannot write " + dir_ + "/deny.txt";
    return -1;
  }
  // A server that upgrades leaves its new program without a parent: it
  // comes to this process, which then waits for it and stops it.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    *error = "fork failed: " + std::string(std::strerror(errno));
    return -1;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here on. The server goes with the
    // benchmark if the benchmark is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(kExecFailed);
    if (chdir(dir_.c_str()) != 0) _exit(kChdirFailed);
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) _exit(kExecFailed);
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    if (null_fd > STDOUT_FILENO) close(null_fd);
    execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    _exit(kExecFailed);
  }
  pid_ = pid;
  return 0;
}

bool ServerProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

int ServerProcess::stop(int timeout_ms) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  pid_t done = 0;
  while ((done = waitpid(pid_, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kWaitStepMs));
  }
  if (done == 0) {
    kill(pid_, SIGKILL);
    done = waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  if (done < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int ServerProcess::upgrade(int timeout_ms, int64_t* pause_ms, std::string* error) {
  const std::string path = dir_ + "/lobby.sock";
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un where{};
  where.sun_family = AF_UNIX;
  std::snprintf(where.sun_path, sizeof where.sun_path, "%s", path.c_str());
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      send(fd, "upgrade\n", 8, MSG_NOSIGNAL) != 8) {
    *error = "cannot ask " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  std::string reply;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (reply.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd wait{fd, POLLIN, 0};
    char buffer[512];
    if (left <= 0 || poll(&wait, 1, static_cast<int>(left)) != 1) break;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  // {"upgraded":true,"pid":N,"old_pid":N,"pause_ms":N,...}
  auto number = [&reply](const char* key) -> int64_t {
    const size_t at = reply.find(std::string("\"") + key + "\":");
    return at == std::string::npos ? -1 : std::atoll(reply.c_str() + at + std::strlen(key) + 3);
  };
  const int64_t next = number("pid");
  if (reply.rfind("{\"upgraded\":true", 0) != 0 || next <= 0) {
    *error = reply.empty() ? "no reply to upgrade" : reply.substr(0, reply.find('\n'));
    return -1;
  }
  *pause_ms = number("pause_ms");
  // The old process ends right after it handed over; the new one is ours
  // once it has.
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = static_cast<pid_t>(next);
  return 0;
}

void ServerProcess::remove_dir() {
  if (dir_.empty()) return;
  // The directory holds only what the server and we wrote: plain files.
  if (DIR* dir = opendir(dir_.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      unlink((dir_ + "/" + entry->d_name).c_str());
    }
    closedir(dir);
  }
  rmdir(dir_.c_str());
  dir_.clear();
}

std::string executable_dir() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  std::string text(path);
  const size_t slash = text.rfind('/');
  return slash == std::string::npos ? "" : text.substr(0, slash);
}

}  // namespace bench
