// How the exporter holds up when a public status page is reloaded fast:
// a steady rate of HTTP requests against lobby_exporter in front of real
// lobbies, and how often each lobby was asked meanwhile.
//
//   exporter_bench [--rate N] [--seconds S] [--lobbies L] [--threads T]
//                  [--exporter PATH] [--no-page]
//
// Starts L lobby_server processes (default 4; beside this executable, in
// temporary directories, on free ports) with 8 logged-in players and two
// rooms each, puts an AdminRelay in front of each admin socket to count the
// connections and commands each lobby answers, and starts lobby_exporter
// (beside this executable, or PATH) on the relays' sockets. Then it sends N requests
// a second (default 1000) for S seconds (default 30), one connection each
// as a reverse proxy sends them, in turn to /, /status.json, /metrics and
// /healthz (without / with --no-page, for an exporter that has no page). Each request is due at a
// fixed time, so a slow answer delays none of the later ones beyond the T sending threads (default
// 32).
//
// Prints the requests served, their rate, the response time percentiles
// (from sending, and from the time each request was due), the exporter's
// CPU, and the queries each lobby answered. It judges nothing; exit status
// 0 when it ran, 1 when it could not.
#include <httplib.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/admin_relay.h"
#include "bench/server_process.h"
#include "bench/stats.h"
#include "client/tcp_link.h"
#include "client/wire_codec.h"
#include "net/socket_ops.h"

namespace {

constexpr int kPlayersPerLobby = 8;
constexpr int kConnectTimeoutMs = 2000;
constexpr int kListenWaitMs = 10000;
constexpr int kStopWaitMs = 5000;
constexpr int kRequestTimeoutS = 5;
constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerS = 1000000000;
constexpr int64_t kKeepAliveNs = 20 * kNsPerS;
constexpr const char* kPaths[] = {"/", "/status.json", "/metrics", "/healthz"};
constexpr int kPathCount = sizeof kPaths / sizeof kPaths[0];

struct Options {
  int rate = 1000;
  int seconds = 30;
  int lobbies = 4;
  int threads = 32;
  std::string exporter;  // empty: the one beside this executable
  bool page = true;
};

bool parse_int(const char* text, int low, int high, int* out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

// lobby_exporter as a child, its standard output on a pipe for the line
// that gives its port.
class ExporterProcess {
 public:
  ~ExporterProcess() { stop(); }

  int start(const std::vector<std::string>& argv, std::string* error) {
    int out[2];
    if (pipe(out) != 0) {
      *error = std::string("pipe: ") + std::strerror(errno);
      return -1;
    }
    pid_ = fork();
    if (pid_ < 0) {
      *error = std::string("fork: ") + std::strerror(errno);
      return -1;
    }
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    output_ = out[0];
    return 0;
  }

  // The port from "listening on ADDR:PORT", or -1.
  int wait_port() {
    std::string text;
    const int64_t deadline = bench::monotonic_ns() + kListenWaitMs * kNsPerMs;
    while (text.find('\n') == std::string::npos && bench::monotonic_ns() < deadline) {
      const int left_ms = static_cast<int>((deadline - bench::monotonic_ns()) / kNsPerMs);
      if (net::poll_fd(output_, net::kPollIn, left_ms > 0 ? left_ms : 1) <= 0) continue;
      char buffer[256];
      const ssize_t got = read(output_, buffer, sizeof buffer);
      if (got <= 0) break;
      text.append(buffer, got);
    }
    const size_t colon = text.rfind(':', text.find('\n'));
    return text.rfind("listening on ", 0) == 0 && colon != std::string::npos
               ? std::atoi(text.c_str() + colon + 1)
               : -1;
  }

  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (output_ >= 0) close(output_);
    output_ = -1;
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
};

// Logs in the lobby's players; the first two make a room each.
bool fill_lobby(int port, int lobby, std::vector<std::unique_ptr<client::TcpLink>>* links) {
  for (int p = 0; p < kPlayersPerLobby; ++p) {
    auto link = std::make_unique<client::TcpLink>();
    const int64_t deadline = bench::monotonic_ns() + kListenWaitMs * kNsPerMs;
    while (link->connect_to("127.0.0.1", port, kConnectTimeoutMs) != 0) {
      if (bench::monotonic_ns() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int32_t id = lobby * 100 + p;
    std::string bytes = client::encode_name(id, "player" + std::to_string(id)) +
                        client::encode_validation(1) + client::encode_login(id, 1 + p % 2, 8, 8);
    if (p < 2) bytes += client::encode_room_op(-1);
    link->send(bytes);
    links->push_back(std::move(link));
  }
  return true;
}

struct Results {
  std::mutex lock;
  std::vector<int64_t> from_send_ns;  // Guarded by lock.
  std::vector<int64_t> from_due_ns;   // Guarded by lock.
  std::atomic<int64_t> served{0};
  std::atomic<int64_t> failed{0};
};

void print_latency(const char* what, const std::vector<int64_t>& samples) {
  const bench::LatencySummary s = bench::summarize(samples);
  const std::vector<int64_t> sorted = [&] {
    std::vector<int64_t> copy = samples;
    std::sort(copy.begin(), copy.end());
    return copy;
  }();
  const double p90 = sorted.empty() ? 0 : bench::nearest_rank(sorted, 90) / 1e6;
  std::printf("%-28s p50 %7.3f ms  p90 %7.3f ms  p99 %7.3f ms  max %8.3f ms\n", what,
              s.p50_ns / 1e6, p90, s.p99_ns / 1e6, s.max_ns / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  net::ignore_sigpipe();
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    bool ok = has_value;
    if (arg == "--rate" && has_value) {
      ok = parse_int(argv[++i], 1, 100000, &options.rate);
    } else if (arg == "--seconds" && has_value) {
      ok = parse_int(argv[++i], 1, 3600, &options.seconds);
    } else if (arg == "--lobbies" && has_value) {
      ok = parse_int(argv[++i], 1, 64, &options.lobbies);
    } else if (arg == "--threads" && has_value) {
      ok = parse_int(argv[++i], 1, 1024, &options.threads);
    } else if (arg == "--exporter" && has_value) {
      options.exporter = argv[++i];
    } else if (arg == "--no-page") {
      options.page = false;
      ok = true;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fputs("usage: exporter_bench [--rate N] [--seconds S] [--lobbies L] [--threads T]\n",
                 stderr);
      return 1;
    }
  }
  const std::string dir = bench::executable_dir();
  std::string error;

  std::vector<std::unique_ptr<bench::ServerProcess>> lobbies;
  std::vector<std::unique_ptr<bench::AdminRelay>> relays;
  std::vector<std::unique_ptr<client::TcpLink>> players;
  std::vector<std::string> exporter_argv = {
      options.exporter.empty() ? dir + "/lobby_exporter" : options.exporter, "--listen",
      "127.0.0.1:0"};
  for (int l = 0; l < options.lobbies; ++l) {
    auto lobby = std::make_unique<bench::ServerProcess>();
    const int port = client::pick_free_port();
    if (port < 0 ||
        lobby->start(dir + "/lobby_server", port, &error,
                     "L_PER_IP 0\nL_PER_NET 0\nL_CONN_RATE 0\n") != 0 ||
        !fill_lobby(port, l, &players)) {
      std::fprintf(stderr, "exporter_bench: lobby %d: %s\n", l,
                   error.empty() ? "its players could not log in" : error.c_str());
      return 1;
    }
    auto relay = std::make_unique<bench::AdminRelay>();
    const std::string counted = lobby->dir() + "/counted.sock";
    if (relay->start(counted, lobby->dir() + "/lobby.sock", &error) != 0) {
      std::fprintf(stderr, "exporter_bench: %s\n", error.c_str());
      return 1;
    }
    exporter_argv.push_back(counted);
    lobbies.push_back(std::move(lobby));
    relays.push_back(std::move(relay));
  }
  ExporterProcess exporter;
  if (exporter.start(exporter_argv, &error) != 0) {
    std::fprintf(stderr, "exporter_bench: %s\n", error.c_str());
    return 1;
  }
  const int http_port = exporter.wait_port();
  if (http_port < 0) {
    std::fprintf(stderr, "exporter_bench: the exporter did not say where it listens\n");
    return 1;
  }
  // Every lobby answers before the clock starts.
  {
    httplib::Client check("127.0.0.1", http_port);
    const int64_t deadline = bench::monotonic_ns() + kListenWaitMs * kNsPerMs;
    for (;;) {
      auto reply = check.Get("/healthz");
      if (reply && reply->status == 200) break;
      if (bench::monotonic_ns() > deadline) {
        std::fprintf(stderr, "exporter_bench: /healthz did not turn 200\n");
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  std::vector<int64_t> connections_before;
  std::vector<int64_t> commands_before;
  for (const auto& relay : relays) {
    connections_before.push_back(relay->connections());
    commands_before.push_back(relay->commands());
  }

  const int64_t total = int64_t{options.rate} * options.seconds;
  const int64_t interval_ns = kNsPerS / options.rate;
  Results results;
  results.from_send_ns.reserve(total);
  results.from_due_ns.reserve(total);
  std::atomic<int64_t> next{0};
  bench::CpuMeter cpu;
  const bool have_cpu = cpu.start(exporter.pid()) == bench::kStatOk;
  const int64_t start_ns = bench::monotonic_ns() + 10 * kNsPerMs;
  auto sender = [&] {
    std::vector<int64_t> from_send;
    std::vector<int64_t> from_due;
    for (int64_t i = next++; i < total; i = next++) {
      const int64_t due_ns = start_ns + i * interval_ns;
      const int64_t wait_ns = due_ns - bench::monotonic_ns();
      if (wait_ns > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait_ns));
      const int64_t sent_ns = bench::monotonic_ns();
      httplib::Client http("127.0.0.1", http_port);
      http.set_keep_alive(false);
      http.set_read_timeout(kRequestTimeoutS, 0);
      const int first_path = options.page ? 0 : 1;
      auto reply = http.Get(kPaths[first_path + i % (kPathCount - first_path)]);
      const int64_t done_ns = bench::monotonic_ns();
      if (reply && reply->status == 200 && !reply->body.empty()) {
        results.served.fetch_add(1);
        from_send.push_back(done_ns - sent_ns);
        from_due.push_back(done_ns - due_ns);
      } else {
        results.failed.fetch_add(1);
      }
    }
    std::lock_guard<std::mutex> guard(results.lock);
    results.from_send_ns.insert(results.from_send_ns.end(), from_send.begin(), from_send.end());
    results.from_due_ns.insert(results.from_due_ns.end(), from_due.begin(), from_due.end());
  };
  // The players stay: a keep-alive each well within the lobby's idle limit.
  std::atomic<bool> sending{true};
  std::thread keeper([&] {
    int64_t next_ns = bench::monotonic_ns() + kKeepAliveNs;
    while (sending.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (bench::monotonic_ns() < next_ns) continue;
      for (auto& link : players) link->send(client::encode_keep_alive());
      next_ns += kKeepAliveNs;
    }
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < options.threads; ++t) senders.emplace_back(sender);
  for (std::thread& thread : senders) thread.join();
  sending.store(false);
  keeper.join();
  const double elapsed_s = (bench::monotonic_ns() - start_ns) / 1e9;
  const double cpu_percent = have_cpu ? cpu.stop() : -1;
  int64_t rss_kb = -1;
  bench::read_peak_rss_kb(exporter.pid(), &rss_kb);

  std::printf(
      "exporter_bench: %d lobbies with %d players each, %d requests/s asked for %d s, "
      "%d sending threads, one connection per request, to %s/status.json, /metrics, /healthz\n",
      options.lobbies, kPlayersPerLobby, options.rate, options.seconds, options.threads,
      options.page ? "/, " : "");
  std::printf("requests served (200)        %lld of %lld, %lld failed, in %.2f s: %.1f/s\n",
              static_cast<long long>(results.served.load()), static_cast<long long>(total),
              static_cast<long long>(results.failed.load()), elapsed_s,
              results.served.load() / elapsed_s);
  print_latency("response time from sending", results.from_send_ns);
  print_latency("response time from due time", results.from_due_ns);
  if (cpu_percent >= 0) {
    std::printf("exporter CPU                 %.1f %% of one core, peak RSS %lld kB\n", cpu_percent,
                static_cast<long long>(rss_kb));
  }
  for (size_t l = 0; l < relays.size(); ++l) {
    const int64_t asked = relays[l]->connections() - connections_before[l];
    std::printf("lobby %zu answered             %lld queries (%lld commands), %.2f a second\n", l,
                static_cast<long long>(asked),
                static_cast<long long>(relays[l]->commands() - commands_before[l]),
                asked / elapsed_s);
  }
  exporter.stop();
  for (auto& relay : relays) relay->stop();
  players.clear();
  for (auto& lobby : lobbies) lobby->stop(kStopWaitMs);
  return 0;
}
