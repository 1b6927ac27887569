#include "bench/haproxy_front.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace bench {

HaproxyFront::~HaproxyFront() {
  stop(2000);
  if (dir_.empty()) return;
  unlink((dir_ + "/haproxy.cfg").c_str());
  rmdir(dir_.c_str());
}

int HaproxyFront::start(const std::string& path, int port, int lobby_port,
                        const std::string& source, std::string* error) {
  if (access(path.c_str(), X_OK) != 0) {
    *error = "no executable haproxy at " + path;
    return -1;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/lobby_bench_haproxy.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot make a temporary directory: " + std::string(std::strerror(errno));
    return -1;
  }
  dir_ = pattern;
  const std::string config = dir_ + "/haproxy.cfg";
  std::FILE* file = std::fopen(config.c_str(), "w");
  if (file == nullptr) {
    *error = "cannot write " + config;
    return -1;
  }
  // No health check: the lobby's figures are the storm's alone.
  std::fprintf(file,
               "global\n  maxconn 1024\n"
               "defaults\n  mode tcp\n  timeout connect 2s\n  timeout client 30s\n"
               "  timeout server 30s\n"
               "listen lobby\n  bind 127.0.0.1:%d\n"
               "  server lobby 127.0.0.1:%d send-proxy-v2 source %s\n",
               port, lobby_port, source.c_str());
  if (std::fclose(file) != 0) {
    *error = "cannot write " + config;
    return -1;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    *error = "fork failed: " + std::string(std::strerror(errno));
    return -1;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here on; HAProxy goes with the
    // benchmark if the benchmark is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) _exit(127);
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    if (null_fd > STDOUT_FILENO) close(null_fd);
    execl(path.c_str(), path.c_str(), "-db", "-f", config.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  return 0;
}

void HaproxyFront::stop(int timeout_ms) {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  pid_t done = 0;
  while ((done = waitpid(pid_, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (done == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

}  // namespace bench
