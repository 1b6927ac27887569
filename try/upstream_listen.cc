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
//   upstream_listen [-h | --help] PORT [ADDRESS]
//
// ADDRESS defaults to 127.0.0.1; PORT 0 picks a free port, which the first
// line tells. Once that line is out, SIGINT or SIGTERM (on Windows Ctrl-C
// or Ctrl-Break) ends the tool with status 0. It follows at most
// kMaxLobbies lobbies at once and turns further ones away.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "net/socket_ops.h"
#include "platform/console_io.h"
#include "platform/local_time.h"
#include "upstream/upstream_decoder.h"

namespace {

constexpr char kUsage[] =
    "usage: upstream_listen [-h | --help] PORT [ADDRESS]\n"
    "Prints what lobbies report to their upstream server: listens on PORT of ADDRESS\n"
    "(default 127.0.0.1; PORT 0 picks a free one, which the first line names).\n"
    "SIGINT or SIGTERM ends it.\n";
constexpr int kBacklog = 16;
constexpr int kReadBytes = 4096;
// One readiness wait covers the listener, the stop signal and the lobbies.
constexpr size_t kMaxLobbies = net::kMaxPollEntries - 2;

struct Lobby {
  int fd = -1;
  std::string from;  // "ADDR:PORT (connection N)"
  upstream::UpstreamDecoder decoder;
};

// Prints "YYYY-MM-DD HH:MM:SS.mmm what from", local time.
void print_event(const char* what, const std::string& from) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local;
  platform::local_time(seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::printf("%s.%03ld %s %s\n", stamp, ms, what, from.c_str());
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
    char from[64];
    std::snprintf(from, sizeof from, "%d.%d.%d.%d:%d (connection %d)", ip[0], ip[1], ip[2], ip[3],
                  peer_port, ++*connections);
    if (lobbies->size() >= kMaxLobbies) {
      std::fprintf(stderr, "turned away %s: %zu lobbies already\n", from, kMaxLobbies);
      net::close_fd(fd);
      continue;
    }
    // The readiness wait reports what arrives; reads never block.
    net::set_nonblocking(fd);
    auto lobby = std::make_unique<Lobby>();
    lobby->fd = fd;
    lobby->from = from;
    print_event("connected", lobby->from);
    lobbies->push_back(std::move(lobby));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  int port = 0;
  const char* address = argc > 2 ? argv[2] : "127.0.0.1";
  uint32_t addr_be = 0;
  if (argc < 2 || argc > 3 || parse_port(argv[1], &port) != 0 ||
      net::parse_ipv4(address, &addr_be) != 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const uint8_t* a = reinterpret_cast<const uint8_t*>(&addr_be);
  uint32_t host_order =
      (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | uint32_t{a[3]};

  net::start_sockets();
  // Readable once a stop signal came; a signal between two waits is not
  // lost, it ends the next wait at once.
  const int stop_fd = platform::open_stop_signal();
  if (stop_fd < 0) {
    std::fprintf(stderr, "cannot watch for stop signals\n");
    return 1;
  }

  int listen_fd = net::tcp_socket();
  if (listen_fd < 0 || net::set_reuse_addr(listen_fd) != 0 ||
      net::bind_ipv4(listen_fd, host_order, port) != 0 ||
      net::listen_fd(listen_fd, kBacklog) != 0 || net::set_nonblocking(listen_fd) != 0) {
    std::fprintf(stderr, "cannot listen on %s:%d: %s\n", address, port,
                 net::error_text(net::last_error()));
    return 1;
  }
  std::printf("listening on %u.%u.%u.%u:%d\n", a[0], a[1], a[2], a[3], net::local_port(listen_fd));
  std::fflush(stdout);

  std::vector<std::unique_ptr<Lobby>> lobbies;
  int connections = 0;
  net::PollEntry waits[net::kMaxPollEntries];
  for (;;) {
    int count = 0;
    waits[count++] = {stop_fd, net::kPollIn, 0};
    waits[count++] = {listen_fd, net::kPollIn, 0};
    for (const auto& lobby : lobbies) waits[count++] = {lobby->fd, net::kPollIn, 0};
    int n = net::poll_many(waits, count, -1);
    if (n < 0) {
      std::fprintf(stderr, "poll: %s\n", net::error_text(net::last_error()));
      return 1;
    }
    if (waits[0].ready != 0) break;
    // Lobbies first, in the order they connected: the indexes in `waits`
    // match `lobbies` until accepts add to it.
    size_t kept = 0;
    for (size_t i = 0; i < lobbies.size(); ++i) {
      if (waits[i + 2].ready != 0 && !read_lobby(lobbies[i].get())) {
        net::close_fd(lobbies[i]->fd);
        continue;
      }
      lobbies[kept++] = std::move(lobbies[i]);
    }
    lobbies.resize(kept);
    if (waits[1].ready != 0) accept_lobbies(listen_fd, &lobbies, &connections);
  }
  for (const auto& lobby : lobbies) net::close_fd(lobby->fd);
  net::close_fd(listen_fd);
  return 0;
}
