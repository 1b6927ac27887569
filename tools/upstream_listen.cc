// Plays the upstream server for lobbies under test: accepts any number of
// lobby connections and prints every message they send, decoded, one line
// each. Each connection's start and end is printed among them with a time
// stamp, so that a lobby's reconnection and the announcement that follows
// it can be watched:
//
//   2026-12-09 07:14:07.120 connected 127.0.0.1:41234 (connection 2)
//   2I port=30009 zero=0 ip=192.168.0.10
//   2N user=7
//
//   upstream_listen PORT [ADDRESS]
//
// ADDRESS defaults to 127.0.0.1; PORT 0 picks a free port, which the first
// line tells. Once that line is out, SIGINT or SIGTERM ends the tool with
// status 0.
#include <errno.h>
#include <poll.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "net/socket_ops.h"
#include "upstream/upstream_decoder.h"

namespace {

constexpr int kBacklog = 16;
constexpr int kReadBytes = 4096;

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int) { g_stop = 1; }

struct Lobby {
  int fd = -1;
  std::string from;  // "ADDR:PORT (connection N)"
  upstream::UpstreamDecoder decoder;
};

// Prints "YYYY-MM-DD HH:MM:SS.mmm what from", local time.
void print_event(const char* what, const std::string& from) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::printf("%s.%03ld %s %s\n", stamp, now.tv_nsec / 1000000, what, from.c_str());
  std::fflush(stdout);
}

void print_lines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
}

int parse_port(const char* text, int* port) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 65535) return -1;
  *port = static_cast<int>(value);
  return 0;
}

// Reads what one lobby sent. false once it closed or failed.
bool read_lobby(Lobby* lobby) {
  uint8_t buffer[kReadBytes];
  std::vector<std::string> lines;
  for (;;) {
    int n = net::recv_nb(lobby->fd, buffer, sizeof buffer);
    if (n == net::kIoWouldBlock) break;
    if (n <= 0) {
      lobby->decoder.finish(&lines);
      print_lines(lines);
      print_event("closed", lobby->from);
      return false;
    }
    lobby->decoder.feed(buffer, n, &lines);
  }
  print_lines(lines);
  return true;
}

void accept_lobbies(int listen_fd, std::vector<std::unique_ptr<Lobby>>* lobbies, int* connections) {
  for (;;) {
    int32_t ip[4];
    int32_t peer_port = 0;
    int error = 0;
    int fd = net::accept_ipv4(listen_fd, ip, &peer_port, &error);
    if (fd == net::kIoWouldBlock) return;
    if (fd < 0) {
      std::fprintf(stderr, "accept: %s\n", net::error_text(error));
      return;
    }
    auto lobby = std::make_unique<Lobby>();
    lobby->fd = fd;
    char from[64];
    std::snprintf(from, sizeof from, "%d.%d.%d.%d:%d (connection %d)", ip[0], ip[1], ip[2], ip[3],
                  peer_port, ++*connections);
    lobby->from = from;
    print_event("connected", lobby->from);
    lobbies->push_back(std::move(lobby));
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  const char* address = argc > 2 ? argv[2] : "127.0.0.1";
  uint32_t addr_be = 0;
  if (argc < 2 || argc > 3 || parse_port(argv[1], &port) != 0 ||
      net::parse_ipv4(address, &addr_be) != 0) {
    std::fprintf(stderr, "usage: upstream_listen PORT [ADDRESS]\n");
    return 2;
  }
  const uint8_t* a = reinterpret_cast<const uint8_t*>(&addr_be);
  uint32_t host_order =
      (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | uint32_t{a[3]};

  // The stop signals stay blocked except inside the wait, so one that comes
  // between two waits is not lost: it ends the next wait at once.
  sigset_t stop_signals;
  sigset_t wait_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  int listen_fd = net::tcp_socket();
  if (listen_fd < 0 || net::set_reuse_addr(listen_fd) != 0 ||
      net::bind_ipv4(listen_fd, host_order, port) != 0 ||
      net::listen_fd(listen_fd, kBacklog) != 0 || net::set_nonblocking(listen_fd) != 0) {
    std::fprintf(stderr, "cannot listen on %s:%d: %s\n", address, port, net::error_text(errno));
    return 1;
  }
  std::printf("listening on %u.%u.%u.%u:%d\n", a[0], a[1], a[2], a[3], net::local_port(listen_fd));
  std::fflush(stdout);

  std::vector<std::unique_ptr<Lobby>> lobbies;
  int connections = 0;
  std::vector<pollfd> waits;
  while (g_stop == 0) {
    waits.clear();
    waits.push_back(pollfd{listen_fd, POLLIN, 0});
    for (const auto& lobby : lobbies) waits.push_back(pollfd{lobby->fd, POLLIN, 0});
    int n = ppoll(waits.data(), waits.size(), nullptr, &wait_mask);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "poll: %s\n", net::error_text(errno));
      return 1;
    }
    // Lobbies first, in the order they connected: the indexes in `waits`
    // match `lobbies` until accepts add to it.
    size_t kept = 0;
    for (size_t i = 0; i < lobbies.size(); ++i) {
      if (waits[i + 1].revents != 0 && !read_lobby(lobbies[i].get())) {
        net::close_fd(lobbies[i]->fd);
        continue;
      }
      lobbies[kept++] = std::move(lobbies[i]);
    }
    lobbies.resize(kept);
    if (waits[0].revents != 0) accept_lobbies(listen_fd, &lobbies, &connections);
  }
  for (const auto& lobby : lobbies) net::close_fd(lobby->fd);
  net::close_fd(listen_fd);
  return 0;
}
