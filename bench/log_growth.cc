// How fast an attacker grows the event log: starts a lobby server, runs one
// attack against it from loopback addresses, and prints the log's growth.
//
//   lobby_log_growth [--attack denied|garbage|spray] [--seconds N] [--server PATH]
//                    [--settings "KEY VALUE; KEY VALUE"]
//
//   denied   4 connections at a time from 127.0.0.7, which the deny list
//            names, each opened again as soon as the server has closed it
//   garbage  24 connections, 8 each from 127.0.0.8 to 127.0.0.10, that log
//            in, send two bytes no message starts with and, once dropped,
//            connect again
//   spray    8 threads that connect from one fresh address after another
//            (127.1.0.0 on, up to 50,000, then from the first again) and
//            close at once, without a word, while 127.0.0.20 connects
//            and closes every 100 ms. Exits 1 when the log grew by 2 KB/s
//            or more, the server's RSS by 1 MiB or more, or the cycling
//            address was never refused "connecting too fast"
//
// The server is lobby_server beside this program unless --server names
// another (an older build, say, for a figure before a change). --settings
// adds lines to its dorvik.txt. The figures go to standard output; the
// exit status is 0, or 2 when the run could not be made.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/server_process.h"
#include "bench/stats.h"
#include "client/tcp_link.h"
#include "client/wire_codec.h"
#include "net/socket_ops.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kDeniedConnections = 4;
constexpr int kGarbageAddresses = 3;
constexpr int kGarbagePerAddress = 8;
constexpr int kSprayThreads = 8;
constexpr int kSprayAddresses = 50000;
constexpr int kCycleEveryMs = 100;
constexpr int kExitPastLimits = 1;
constexpr int kConnectTimeoutMs = 1000;
// A connection the server has not closed by then is given up and counted.
constexpr int kCloseWaitMs = 3000;
// The log is measured from the end of this first stretch of the attack, so
// that the start's own lines do not count.
constexpr int kWarmUpMs = 1000;

constexpr char kUsage[] =
    "Usage: lobby_log_growth [--attack denied|garbage|spray] [--seconds N] [--server PATH]\n"
    "                        [--settings \"KEY VALUE; KEY VALUE\"]\n";

struct Options {
  std::string attack = "denied";
  int seconds = 20;
  std::string server;
  std::string settings;
};

int parse_options(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; i += 2) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return -1;
    const std::string value = argv[i + 1];
    if (arg == "--attack" && (value == "denied" || value == "garbage" || value == "spray")) {
      options->attack = value;
    } else if (arg == "--seconds" && std::atoi(value.c_str()) > 0) {
      options->seconds = std::atoi(value.c_str());
    } else if (arg == "--server") {
      options->server = value;
    } else if (arg == "--settings") {
      for (char c : value) options->settings += c == ';' ? '\n' : c;
      options->settings += '\n';
    } else {
      return -1;
    }
  }
  return 0;
}

long long file_size(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

long long count_lines(const std::string& path) {
  std::ifstream in(path);
  long long lines = 0;
  std::string line;
  while (std::getline(in, line)) ++lines;
  return lines;
}

// One attacking connection after another from `source`: connects, sends
// `bytes`, and waits until the server closes it.
void attack_loop(int port, const std::string& source, const std::string& bytes,
                 const std::atomic<bool>* running, std::atomic<long long>* cycles,
                 std::atomic<long long>* failures) {
  while (running->load()) {
    client::TcpLink link;
    if (link.connect_to("127.0.0.1", port, kConnectTimeoutMs, source) != client::kLinkOk) {
      failures->fetch_add(1);
      continue;
    }
    if (!bytes.empty()) link.send(bytes);
    std::string got;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseWaitMs);
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() < deadline) {
      net::poll_fd(link.fd(), net::kPollIn, 100);
      closed = link.receive(&got) == client::kLinkClosed;
    }
    (closed ? cycles : failures)->fetch_add(1);
  }
}

// Connections from one fresh address after another, each closed by this
// side as soon as it is made: the server sees a connection leave without a
// login. Each counts as a cycle.
void spray_loop(int port, std::atomic<long long>* next, const std::atomic<bool>* running,
                std::atomic<long long>* cycles, std::atomic<long long>* failures) {
  while (running->load()) {
    const long long n = next->fetch_add(1) % kSprayAddresses;
    const std::string source = "127." + std::to_string(1 + n / 65536) + "." +
                               std::to_string(n / 256 % 256) + "." + std::to_string(n % 256);
    client::TcpLink link;
    const bool made =
        link.connect_to("127.0.0.1", port, kConnectTimeoutMs, source) == client::kLinkOk;
    (made ? cycles : failures)->fetch_add(1);
  }
}

// One address connecting and closing every kCycleEveryMs, far past its
// L_CONN_RATE: the spray must not make the lobby forget its pace.
void cycle_loop(int port, const std::atomic<bool>* running, std::atomic<long long>* made) {
  while (running->load()) {
    client::TcpLink link;
    if (link.connect_to("127.0.0.1", port, kConnectTimeoutMs, "127.0.0.20") == client::kLinkOk) {
      made->fetch_add(1);
    }
    link.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(kCycleEveryMs));
  }
}

// The number after `name` in the shutdown line ("connecting too fast 812"),
// -1 when it is not there.
long long shutdown_count(const std::string& shutdown, const std::string& name) {
  const size_t at = shutdown.find(name + " ");
  return at == std::string::npos ? -1 : std::atoll(shutdown.c_str() + at + name.size() + 1);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (parse_options(argc, argv, &options) != 0) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  signal(SIGPIPE, SIG_IGN);
  // The server starts in a directory of its own: a path from here must not
  // be relative.
  std::string path = bench::executable_dir() + "/lobby_server";
  if (!options.server.empty()) {
    char* absolute = realpath(options.server.c_str(), nullptr);
    path = absolute != nullptr ? absolute : options.server;
    std::free(absolute);
  }
  const bool denied = options.attack == "denied";
  const int port = client::pick_free_port();
  bench::ServerProcess server;
  std::string error;
  if (port <= 0 ||
      server.start(path, port, &error, options.settings, denied ? "127.0.0.7\n" : "") != 0) {
    std::fprintf(stderr, "lobby_log_growth: cannot start a server: %s\n", error.c_str());
    return kExitUsage;
  }
  // Until it listens.
  for (int i = 0;; ++i) {
    client::TcpLink probe;
    if (probe.connect_to("127.0.0.1", port, kConnectTimeoutMs) == client::kLinkOk) break;
    if (i == 100 || !server.running()) {
      std::fprintf(stderr, "lobby_log_growth: nothing listens on port %d\n", port);
      return kExitUsage;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  std::atomic<bool> running{true};
  std::atomic<long long> cycles{0};
  std::atomic<long long> failures{0};
  std::vector<std::thread> attackers;
  std::atomic<long long> next_address{0};
  std::atomic<long long> cycled{0};
  const bool spray = options.attack == "spray";
  if (spray) {
    attackers.emplace_back(cycle_loop, port, &running, &cycled);
    for (int i = 0; i < kSprayThreads; ++i) {
      attackers.emplace_back(spray_loop, port, &next_address, &running, &cycles, &failures);
    }
  } else if (denied) {
    for (int i = 0; i < kDeniedConnections; ++i) {
      attackers.emplace_back(attack_loop, port, "127.0.0.7", "", &running, &cycles, &failures);
    }
  } else {
    for (int a = 0; a < kGarbageAddresses; ++a) {
      const std::string source = "127.0.0." + std::to_string(8 + a);
      for (int i = 0; i < kGarbagePerAddress; ++i) {
        const int32_t id = 1000 + a * kGarbagePerAddress + i;
        const std::string bytes = client::encode_name(id, "junk") + client::encode_validation(1) +
                                  client::encode_login(id, 77, 8, 8) + "XX";
        attackers.emplace_back(attack_loop, port, source, bytes, &running, &cycles, &failures);
      }
    }
  }
  const std::string log = server.dir() + "/L_log.txt";
  std::this_thread::sleep_for(std::chrono::milliseconds(kWarmUpMs));
  const long long bytes_before = file_size(log);
  const long long lines_before = count_lines(log);
  const long long cycles_before = cycles.load();
  int64_t rss_before_kb = -1;
  int64_t rss_after_kb = -1;
  bench::read_rss_kb(server.pid(), &rss_before_kb);
  bench::ThreadTotals cpu_before;
  bench::ThreadTotals cpu_after;
  const bool cpu_known = bench::read_thread_totals(server.pid(), &cpu_before) == bench::kStatOk;
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(options.seconds));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long long bytes_after = file_size(log);
  const long long lines_after = count_lines(log);
  const long long cycles_during = cycles.load() - cycles_before;
  bench::read_rss_kb(server.pid(), &rss_after_kb);
  const bool cpu_read =
      cpu_known && bench::read_thread_totals(server.pid(), &cpu_after) == bench::kStatOk;
  running.store(false);
  for (std::thread& attacker : attackers) attacker.join();
  server.stop(5000);

  std::string shutdown;
  {
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
      const size_t at = line.find("shutdown (");
      if (at != std::string::npos) shutdown = line.substr(at);
    }
  }
  const double kb = static_cast<double>(bytes_after - bytes_before) / 1024.0;
  std::printf("lobby_log_growth: %s attack, %.1f s against %s\n", options.attack.c_str(), seconds,
              path.c_str());
  std::printf("connections: %lld closed (%.0f/s), %lld failed or not closed\n", cycles_during,
              static_cast<double>(cycles_during) / seconds, failures.load());
  std::printf("log growth: %.1f KB in %.1f s: %.2f KB/s, %lld lines (%.1f/s)\n", kb, seconds,
              kb / seconds, lines_after - lines_before,
              static_cast<double>(lines_after - lines_before) / seconds);
  if (cpu_read && cycles_during > 0) {
    const double cpu_s = static_cast<double>(cpu_after.cpu_ns - cpu_before.cpu_ns) / 1e9;
    std::printf("server CPU: %.2f s, %.1f us per connection\n", cpu_s,
                cpu_s * 1e6 / static_cast<double>(cycles_during));
  }
  std::printf("server: %s\n", shutdown.empty() ? "no shutdown line" : shutdown.c_str());
  std::printf("server RSS: %lld KiB, then %lld KiB (%+lld KiB)\n",
              static_cast<long long>(rss_before_kb), static_cast<long long>(rss_after_kb),
              static_cast<long long>(rss_after_kb - rss_before_kb));
  if (!spray) return 0;
  const long long too_fast = shutdown_count(shutdown, "connecting too fast");
  // A fresh address that finds every place of its own taken by buckets
  // still refilling is judged as the emptiest of them, the cycling
  // address's perhaps: such refusals are counted with it.
  std::printf("cycling address: %lld connections; refused \"connecting too fast\" in all: %lld\n",
              cycled.load(), too_fast);
  const bool log_ok = kb / seconds < 2.0;
  const bool rss_ok = rss_before_kb >= 0 && rss_after_kb - rss_before_kb < 1024;
  const bool pace_ok = too_fast > 0;
  if (!log_ok || !rss_ok || !pace_ok) {
    std::printf("past the limits:%s%s%s\n", log_ok ? "" : " log 2 KB/s or more",
                rss_ok ? "" : " RSS grew 1 MiB or more",
                pace_ok ? "" : " the cycling address was never refused");
    return kExitPastLimits;
  }
  return 0;
}
