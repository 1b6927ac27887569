#include "bench/connect_storm.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "bench/stats.h"
#include "client/tcp_link.h"
#include "client/wire_codec.h"
#include "wire/protocol.h"

namespace bench {
namespace {

constexpr int kMaxInFlight = 32;
constexpr int32_t kStormKey = 800;
constexpr int32_t kStormUserId = 90000;
constexpr int kSeats = 8;
constexpr int kConnectMs = 1000;
// No cycle waits longer than this for its login to end.
constexpr int64_t kCycleLimitNs = int64_t{10} * 1000 * 1000 * 1000;
// After the last close the server still drops that client; its share of
// the work is in the figures once this has passed.
constexpr int kSettleMs = 200;
// How long a server just started may take to listen, tried this often.
constexpr int kListenWaitMs = 10000;
constexpr int kProbeStepMs = 20;

struct Cycle {
  client::TcpLink link;
  client::LobbyDecoder decoder;
  bool active = false;
  bool listed = false;  // the room list's end has arrived
  int number = 0;       // the cycle's, for its user id and name
  int64_t started_ns = 0;
};

// Opens a connection and sends the login; false when the connect failed.
bool begin(Cycle& cycle, const std::string& host, int port, int number) {
  cycle.link.close();
  cycle.decoder = client::LobbyDecoder();
  cycle.listed = false;
  cycle.active = true;
  cycle.number = number;
  cycle.started_ns = monotonic_ns();
  if (cycle.link.connect_to(host, port, kConnectMs) != client::kLinkOk) return false;
  const int32_t id = kStormUserId + number;
  return cycle.link.send(client::encode_name(id, "storm" + std::to_string(number)) +
                         client::encode_validation(1) +
                         client::encode_login(id, kStormKey, kSeats, kSeats)) == client::kLinkOk;
}

}  // namespace

int run_connect_storm(const std::string& host, int port, pid_t pid, int cycles, int in_flight,
                      StormFigures* figures) {
  if (in_flight < 1) in_flight = 1;
  if (in_flight > kMaxInFlight) in_flight = kMaxInFlight;
  figures->in_flight = in_flight;
  std::vector<std::unique_ptr<Cycle>> slots;
  for (int i = 0; i < in_flight; ++i) slots.push_back(std::make_unique<Cycle>());
  // A server just started may not listen yet.
  for (int tries = 0;; ++tries) {
    client::TcpLink probe;
    if (probe.connect_to(host, port, kConnectMs) == client::kLinkOk) break;
    if (tries * kProbeStepMs >= kListenWaitMs) {
      figures->error = "nothing listens on port " + std::to_string(port);
      return -1;
    }
    usleep(kProbeStepMs * 1000);
  }
  // The probe's own drop is not the storm's.
  usleep(kSettleMs * 1000);
  ThreadTotals before;
  const bool counted = pid > 0 && read_thread_totals(pid, &before) == kStatOk;
  const int64_t start = monotonic_ns();
  int started = 0;
  for (auto& cycle : slots) {
    if (started < cycles && !begin(*cycle, host, port, started++)) ++figures->failed;
  }
  std::vector<pollfd> waits;
  std::vector<client::LobbyMessage> messages;
  std::string bytes;
  while (figures->cycles < cycles) {
    waits.clear();
    for (auto& cycle : slots) {
      const short events = static_cast<short>(POLLIN | (cycle->link.wants_write() ? POLLOUT : 0));
      waits.push_back(pollfd{cycle->active ? cycle->link.fd() : -1, events, 0});
    }
    if (poll(waits.data(), waits.size(), 100) < 0) {
      figures->error = "poll failed";
      return -1;
    }
    const int64_t now = monotonic_ns();
    for (size_t i = 0; i < slots.size(); ++i) {
      Cycle& cycle = *slots[i];
      if (!cycle.active) continue;
      if (now - cycle.started_ns > kCycleLimitNs) {
        figures->error = "a login took more than 10 s";
        return -1;
      }
      const short ready = waits[i].revents;
      if ((ready & POLLOUT) != 0) cycle.link.flush();
      bool ended = !cycle.link.open();
      bool refused = false;
      bool done = false;
      if ((ready & (POLLIN | POLLHUP | POLLERR)) != 0) {
        bytes.clear();
        ended = cycle.link.receive(&bytes) != client::kLinkOk;
        messages.clear();
        cycle.decoder.feed(bytes, &messages);
        for (const client::LobbyMessage& m : messages) {
          if (m.letter == wire::kMsgFull || m.letter == wire::kMsgRefused) refused = true;
          if (m.letter == wire::kMsgListEnd) cycle.listed = true;
          // The group count follows the room list: the login has ended.
          if (m.letter == wire::kMsgGroupCount && cycle.listed) done = true;
        }
      }
      if (done) {
        cycle.link.close();
        cycle.active = false;
        ++figures->cycles;
        if (started < cycles && !begin(cycle, host, port, started++)) ++figures->failed;
      } else if (refused || ended) {
        ++(refused ? figures->refused : figures->failed);
        if (!begin(cycle, host, port, cycle.number)) ++figures->failed;
      }
    }
    if (figures->failed > cycles) {
      figures->error = "more connections failed than cycles were asked for";
      return -1;
    }
  }
  figures->seconds = static_cast<double>(monotonic_ns() - start) / 1e9;
  usleep(kSettleMs * 1000);
  ThreadTotals after;
  if (counted && read_thread_totals(pid, &after) == kStatOk) {
    figures->wakeups = after.wakeups - before.wakeups;
    figures->cpu_ns = after.cpu_ns - before.cpu_ns;
  }
  return 0;
}

void print_storm(const StormFigures& f) {
  const double cycles = static_cast<double>(f.cycles);
  std::printf("connect storm, %d at a time: %lld cycles in %.3f s\n", f.in_flight,
              static_cast<long long>(f.cycles), f.seconds);
  std::printf("  %-38s %.0f\n", "cycles a second", f.seconds > 0 ? cycles / f.seconds : 0.0);
  if (f.wakeups >= 0 && f.cycles > 0) {
    std::printf("  %-38s %.2f\n", "wake-ups per cycle", static_cast<double>(f.wakeups) / cycles);
    std::printf("  %-38s %.4f\n", "CPU seconds per 1,000 cycles",
                static_cast<double>(f.cpu_ns) / 1e9 * 1000.0 / cycles);
  } else {
    std::printf("  %-38s n/a\n", "wake-ups per cycle");
    std::printf("  %-38s n/a\n", "CPU seconds per 1,000 cycles");
  }
  std::printf("  %-38s %lld refused (2A), %lld failed\n", "retries",
              static_cast<long long>(f.refused), static_cast<long long>(f.failed));
}

std::string storm_json(const StormFigures& f) {
  const double cycles = f.cycles > 0 ? static_cast<double>(f.cycles) : 1.0;
  char text[512];
  std::snprintf(text, sizeof text,
                "{\"in_flight\": %d, \"cycles\": %lld, \"seconds\": %.4f, \"cycles_per_s\": %.1f, "
                "\"wakeups_per_cycle\": %.3f, \"cpu_s_per_1000_cycles\": %.5f, "
                "\"refused\": %lld, \"failed\": %lld}",
                f.in_flight, static_cast<long long>(f.cycles), f.seconds,
                f.seconds > 0 ? static_cast<double>(f.cycles) / f.seconds : 0.0,
                f.wakeups >= 0 ? static_cast<double>(f.wakeups) / cycles : -1.0,
                f.cpu_ns >= 0 ? static_cast<double>(f.cpu_ns) / 1e9 * 1000.0 / cycles : -1.0,
                static_cast<long long>(f.refused), static_cast<long long>(f.failed));
  return text;
}

}  // namespace bench
