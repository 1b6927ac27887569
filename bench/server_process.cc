#include "bench/server_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
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
