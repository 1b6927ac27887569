// Load benchmark for the lobby: starts a server of its own (or uses one
// given by --host and --port), drives it with 32 clients over 127.0.0.1
// and prints what it measured, as a table and as JSON. It reports figures
// and never judges them.
//
//   lobby_bench [--quick] [--json FILE] [--host H --port P [--pid PID]] ...
//
// Run with --help for every option.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_lines.h"
#include "bench/connect_storm.h"
#include "bench/fleet_bench.h"
#include "bench/haproxy_front.h"
#include "bench/server_process.h"
#include "bench/stats.h"
#include "client/command_parser.h"
#include "client/tcp_link.h"
#include "client/wire_codec.h"
#include "net/socket_ops.h"
#include "wire/protocol.h"

namespace {

using bench::LatencySummary;
using bench::monotonic_ns;
using client::LobbyMessage;

// The most clients one server serves: 4 rooms of 8 slots.
constexpr int kClients = 32;
constexpr int kSeatsPerRoom = 8;
constexpr int kChatGroupSizes[] = {8, 16, 32};
constexpr int kBaseUserId = 5000;
constexpr int kPingBytes = 22;
constexpr int kPingWarmup = 100;

// Each phase logs its clients into group keys of its own, so that no phase
// hears what another one left behind. Clients a phase does not use wait in
// the parking group.
constexpr int32_t kKeySetup = 100;
constexpr int32_t kKeyLogin = 200;
constexpr int32_t kKeyChat = 300;  // plus the group size
constexpr int32_t kKeyParking = 400;
constexpr int32_t kKeyRoom = 500;
constexpr int32_t kKeyIdle = 600;
constexpr int32_t kKeyFlood = 700;
constexpr int32_t kKeyUpgrade = 800;  // plus the group, 0..3

// Bounds of every wait on the server.
constexpr int kConnectAllMs = 20000;
constexpr int kConnectRetryMs = 50;
constexpr int kRegroupMs = 10000;
constexpr int kLoginPhaseMs = 60000;
constexpr int kChatLineMs = 3000;
constexpr int kRoomSetupMs = 10000;
constexpr int kDirectPhaseMs = 30000;
constexpr int kSettleMs = 500;
constexpr int kPumpStepMs = 5;
constexpr int kStopServerMs = 5000;
// The address HAProxy connects to the lobby from, which the lobby trusts.
constexpr char kProxySource[] = "127.0.0.2";
// A direct message's value: sender seat * kDirectSeatStride + round.
constexpr int32_t kDirectSeatStride = 1000000;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: start a server of our own
  int pid = 0;   // the given server's process, for CPU and memory figures
  std::string json_path = "bench.json";
  std::string server_path;
  int pings = 5000;
  int logins_per_client = 50;
  int chat_lines = 40;
  int direct_rounds = 30;
  int idle_ms = 5000;
  int flood_ms = 10000;
  int flood_rate = 50;
  int drain_ms = 1000;
  int upgrades = 0;       // upgrades of the chatting lobby at the end; 0: none
  int upgrade_rate = 10;  // lines per second per client meanwhile
  int fleet = 0;          // lobbies of the fleet benchmark; 0: the single-server run
  int fleet_seconds = 60;
  int fleet_idle_seconds = 10;
  int connect_storm = 0;  // cycles of the connect storm; 0: the usual run
  // With the connect storm: the haproxy to run the storm through as well
  // (send-proxy-v2); empty for the direct storm alone.
  std::string haproxy;
};

struct ChatFigure {
  int group = 0;
  LatencySummary latency;
  int64_t lost = 0;
  int64_t misdelivered = 0;
};

struct Results {
  // The base of every ratio: the round trip between two cores when the
  // machine has two, else on one core.
  LatencySummary loopback;
  LatencySummary loopback_same_core;
  bool have_cross_core = false;
  bool have_login = false;
  int64_t logins = 0;
  double login_seconds = 0;
  LatencySummary login_latency;
  std::vector<ChatFigure> chat;
  bool have_direct = false;
  LatencySummary direct;
  int64_t direct_lost = 0;
  bool have_flood = false;
  int64_t flood_sent = 0;
  int64_t flood_expected = 0;
  int64_t flood_in_window = 0;
  int64_t flood_received = 0;
  double flood_window_s = 0;
  double flood_total_s = 0;
  int readers_missing = 0;
  int64_t missed_lines = 0;
  int64_t out_of_order = 0;
  LatencySummary flood_latency;
  double cpu_idle = -1;
  double wakeups_idle = -1;  // per second, every thread of the server
  double cpu_chat = -1;
  // Over the window of the delivered throughput: the server's wake-ups
  // (voluntary context switches of all its threads) per line delivered to
  // a reader, and its CPU seconds per 1,000 such deliveries.
  double wakeups_per_delivery = -1;
  double cpu_s_per_1000_deliveries = -1;
  int64_t peak_rss_kb = -1;
  // The upgrades of the chatting lobby: the pause of each (the server's
  // own figure, from its last pass to the new program's first), and what
  // its clients saw meanwhile.
  bool have_upgrades = false;
  std::vector<int64_t> upgrade_pauses_ms;
  int upgrades_failed = 0;
  std::string upgrade_error;
  int64_t upgrade_sent = 0;
  int64_t upgrade_expected = 0;
  int64_t upgrade_received = 0;
  int64_t upgrade_skipped = 0;
  int64_t upgrade_out_of_order = 0;
  LatencySummary upgrade_latency;
  double elapsed_s = 0;
  std::string error;
};

void progress(const char* text) {
  std::fprintf(stderr, "lobby_bench: %s\n", text);
  std::fflush(stderr);
}

// The 32 clients and one poll loop over all of them. Messages are handed
// to the phase's handler with the time the poll returned.
class Fleet {
 public:
  using Handler = std::function<void(int client, const LobbyMessage& message, int64_t at_ns)>;

  // Connects and logs in every client, retrying while the server is not yet
  // listening or has not yet freed the slot of an earlier connection.
  int connect_all(const std::string& host, int port, std::string* error) {
    const int64_t deadline = monotonic_ns() + int64_t{kConnectAllMs} * 1000000;
    for (int c = 0; c < kClients; ++c) {
      clients_.push_back(std::make_unique<Client>());
      closed_.push_back(false);
      for (;;) {
        if (monotonic_ns() > deadline) {
          *error = "client " + std::to_string(c) + " could not enter the lobby in time";
          return -1;
        }
        if (try_enter(c, host, port)) break;
        clients_[c]->link.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(kConnectRetryMs));
      }
    }
    return 0;
  }

  bool send(int c, const std::string& bytes) {
    return clients_[c]->link.send(bytes) == client::kLinkOk;
  }

  // One poll over every client, at most `timeout_ms`. False once any client
  // lost its connection.
  bool pump(int timeout_ms, const Handler& handler) {
    waits_.clear();
    for (const auto& client : clients_) {
      const short events = static_cast<short>(POLLIN | (client->link.wants_write() ? POLLOUT : 0));
      waits_.push_back(pollfd{client->link.fd(), events, 0});
    }
    if (poll(waits_.data(), waits_.size(), timeout_ms) <= 0) return !lost();
    const int64_t at = monotonic_ns();
    for (size_t c = 0; c < clients_.size(); ++c) {
      Client& client = *clients_[c];
      const short ready = waits_[c].revents;
      if ((ready & POLLOUT) != 0 && client.link.flush() != client::kLinkOk) closed_[c] = true;
      if ((ready & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      bytes_.clear();
      const int rc = client.link.receive(&bytes_);
      messages_.clear();
      client.decoder.feed(bytes_, &messages_);
      for (const LobbyMessage& m : messages_) handler(static_cast<int>(c), m, at);
      if (rc != client::kLinkOk) {
        client.link.close();
        closed_[c] = true;
      }
    }
    return !lost();
  }

  // True once any client lost its connection.
  bool lost() const {
    for (bool closed : closed_) {
      if (closed) return true;
    }
    return false;
  }

  // Pumps until `done` holds (true) or `timeout_ms` ran out or a client was
  // lost (false).
  bool run_until(const std::function<bool()>& done, int timeout_ms, const Handler& handler) {
    const int64_t deadline = monotonic_ns() + int64_t{timeout_ms} * 1000000;
    while (!done()) {
      const int64_t left_ms = (deadline - monotonic_ns()) / 1000000;
      if (left_ms <= 0) return false;
      if (!pump(static_cast<int>(left_ms < kPumpStepMs ? left_ms : kPumpStepMs), handler)) {
        return false;
      }
    }
    return true;
  }

  // Keeps receiving (and discarding) for `ms`; false when a client was
  // lost meanwhile.
  bool idle(int ms) {
    const Handler ignore = [](int, const LobbyMessage&, int64_t) {};
    run_until([] { return false; }, ms, ignore);
    return !lost();
  }

  // Logs every client in again, into the group `key_of` names, and waits
  // until each has its room list.
  bool regroup(const std::function<int32_t(int)>& key_of, int32_t seats, int32_t start,
               std::string* error) {
    std::vector<bool> listed(kClients, false);
    int remaining = kClients;
    bool refused = false;
    for (int c = 0; c < kClients; ++c) {
      send(c, client::encode_validation(1) +
                  client::encode_login(kBaseUserId + c, key_of(c), seats, start));
    }
    const bool ok = run_until([&] { return remaining == 0 || refused; }, kRegroupMs,
                              [&](int c, const LobbyMessage& m, int64_t) {
                                if (m.letter == wire::kMsgRefused) refused = true;
                                if (m.letter == wire::kMsgListEnd && !listed[c]) {
                                  listed[c] = true;
                                  --remaining;
                                }
                              });
    if (!ok || refused) *error = refused ? "a login was refused" : lost_or_timeout("login");
    return ok && !refused;
  }

  std::string lost_or_timeout(const char* what) const {
    return lost() ? std::string("a client lost its connection during ") + what
                  : std::string("timed out waiting for ") + what;
  }

 private:
  struct Client {
    client::TcpLink link;
    client::LobbyDecoder decoder;
  };

  bool try_enter(int c, const std::string& host, int port) {
    Client& client = *clients_[c];
    client.decoder = client::LobbyDecoder();
    closed_[c] = false;
    if (client.link.connect_to(host, port, 1000) != client::kLinkOk) return false;
    send(c, client::encode_name(kBaseUserId + c, "bench" + std::to_string(c)) +
                client::encode_validation(1) +
                client::encode_login(kBaseUserId + c, kKeySetup, kSeatsPerRoom, kSeatsPerRoom));
    bool entered = false;
    bool refused = false;
    const Handler handler = [&](int from, const LobbyMessage& m, int64_t) {
      if (from != c) return;
      if (m.letter == wire::kMsgListEnd) entered = true;
      if (m.letter == wire::kMsgFull || m.letter == wire::kMsgRefused) refused = true;
    };
    run_until([&] { return entered || refused || closed_[c]; }, kRegroupMs, handler);
    // A connection refused as full ends: that is a reason to retry, not a
    // lost client.
    closed_[c] = false;
    return entered && !refused;
  }

  std::vector<std::unique_ptr<Client>> clients_;
  std::vector<pollfd> waits_;
  std::vector<LobbyMessage> messages_;
  std::string bytes_;
  std::vector<bool> closed_;
};

// The CPUs the loopback sender and its echo thread are kept on.
struct CpuPair {
  int sender = -1;  // -1: not pinned
  int echo = -1;
};

bool pin_to(int cpu) {
  if (cpu < 0) return true;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// Round trips of a 22-byte message between two sockets of this process,
// through an echo thread: what 127.0.0.1 costs on this machine right now.
// Unpinned, the figure depends on where the scheduler puts the echo
// thread: a wake-up on the sender's own core costs a few microseconds, one
// on an idle other core far more. `cpus` fixes which it is.
int measure_loopback(int pings, CpuPair cpus, LatencySummary* out, std::string* error) {
  const int listen_fd = net::tcp_socket();
  if (listen_fd < 0 || net::bind_ipv4(listen_fd, 0x7f000001, 0) != 0 ||
      net::listen_fd(listen_fd, 1) != 0) {
    net::close_fd(listen_fd);
    *error = "loopback: cannot listen";
    return -1;
  }
  const int port = net::local_port(listen_fd);
  client::TcpLink link;
  if (link.connect_to("127.0.0.1", port, 1000) != client::kLinkOk ||
      net::poll_fd(listen_fd, net::kPollIn, 1000) <= 0) {
    net::close_fd(listen_fd);
    *error = "loopback: cannot connect";
    return -1;
  }
  int32_t ip[4];
  int32_t peer_port = 0;
  int accept_error = 0;
  const int echo_fd = net::accept_ipv4(listen_fd, ip, &peer_port, &accept_error);
  net::close_fd(listen_fd);
  if (echo_fd < 0) {
    *error = "loopback: cannot accept";
    return -1;
  }
  int on = 1;
  setsockopt(echo_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // Blocking reads bounded by a receive time-out, so that the thread ends
  // even if this side stops early.
  timeval limit{2, 0};
  setsockopt(echo_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::thread echo([echo_fd, cpus] {
    pin_to(cpus.echo);
    char buffer[kPingBytes];
    for (;;) {
      const ssize_t n = recv(echo_fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      if (send(echo_fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
    }
  });
  cpu_set_t before;
  const bool restore = pthread_getaffinity_np(pthread_self(), sizeof before, &before) == 0;
  pin_to(cpus.sender);

  const std::string ping(kPingBytes, 'p');
  std::vector<int64_t> samples;
  std::string reply;
  int rc = 0;
  for (int i = 0; i < kPingWarmup + pings && rc == 0; ++i) {
    const int64_t start = monotonic_ns();
    link.send(ping);
    reply.clear();
    while (reply.size() < ping.size()) {
      if (net::poll_fd(link.fd(), net::kPollIn, 1000) <= 0 ||
          link.receive(&reply) != client::kLinkOk) {
        *error = "loopback: the echo did not come back";
        rc = -1;
        break;
      }
    }
    if (rc == 0 && i >= kPingWarmup) samples.push_back(monotonic_ns() - start);
  }
  if (restore) pthread_setaffinity_np(pthread_self(), sizeof before, &before);
  link.close();
  echo.join();
  net::close_fd(echo_fd);
  *out = bench::summarize(samples);
  return rc;
}

// The loopback figures on one core and, when this process may use two,
// between two cores. A relay through the server always wakes another
// thread, which on an otherwise idle machine runs on another core, so the
// two-core figure is the fair base for the ratios.
int measure_loopbacks(int pings, Results* results) {
  cpu_set_t allowed;
  int first = -1;
  int second = -1;
  if (pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed) == 0) {
    for (int cpu = 0; cpu < CPU_SETSIZE && second < 0; ++cpu) {
      if (!CPU_ISSET(cpu, &allowed)) continue;
      if (first < 0) {
        first = cpu;
      } else {
        second = cpu;
      }
    }
  }
  if (measure_loopback(pings, CpuPair{first, first}, &results->loopback_same_core,
                       &results->error) != 0) {
    return -1;
  }
  if (second < 0) {
    results->loopback = results->loopback_same_core;
    return 0;
  }
  results->have_cross_core = true;
  return measure_loopback(pings, CpuPair{first, second}, &results->loopback, &results->error);
}

int run_logins(Fleet& fleet, const Options& options, Results* results) {
  std::vector<int> done(kClients, 0);
  std::vector<int64_t> sent_at(kClients, 0);
  std::vector<int64_t> samples;
  int finished = 0;
  bool refused = false;
  int64_t last_done = 0;
  auto login = [&](int c) {
    sent_at[c] = monotonic_ns();
    fleet.send(c,
               client::encode_name(kBaseUserId + c, "bench" + std::to_string(c)) +
                   client::encode_validation(1) +
                   client::encode_login(kBaseUserId + c, kKeyLogin, kSeatsPerRoom, kSeatsPerRoom));
  };
  const int64_t start = monotonic_ns();
  for (int c = 0; c < kClients; ++c) login(c);
  const bool ok = fleet.run_until([&] { return finished == kClients || refused; }, kLoginPhaseMs,
                                  [&](int c, const LobbyMessage& m, int64_t at) {
                                    if (m.letter == wire::kMsgRefused) refused = true;
                                    if (m.letter != wire::kMsgListEnd) return;
                                    samples.push_back(at - sent_at[c]);
                                    last_done = at;
                                    if (++done[c] < options.logins_per_client) {
                                      login(c);
                                    } else {
                                      ++finished;
                                    }
                                  });
  if (!ok || refused) {
    results->error = refused ? "login throughput: a login was refused"
                             : "login throughput: " + fleet.lost_or_timeout("room lists");
    return -1;
  }
  results->have_login = true;
  results->logins = static_cast<int64_t>(samples.size());
  results->login_seconds = static_cast<double>(last_done - start) / 1e9;
  results->login_latency = bench::summarize(samples);
  return 0;
}

// Lines from rotating senders, one at a time: each goes out once every
// other member has the one before, so no line waits behind another.
int run_chat_latency(Fleet& fleet, int group, const Options& options, Results* results) {
  std::string error;
  const int32_t key = kKeyChat + group;
  if (!fleet.regroup([&](int c) { return c < group ? key : kKeyParking; }, kSeatsPerRoom,
                     kSeatsPerRoom, &error)) {
    results->error = "chat latency: " + error;
    return -1;
  }
  ChatFigure figure;
  figure.group = group;
  std::vector<int64_t> samples;
  for (int line = 0; line < options.chat_lines; ++line) {
    const int sender = line % group;
    int arrived = 0;
    const int64_t sent = monotonic_ns();
    fleet.send(sender, client::encode_chat(line, bench::tagged_text('L', {line, sent})));
    const bool ok = fleet.run_until([&] { return arrived == group - 1; }, kChatLineMs,
                                    [&](int c, const LobbyMessage& m, int64_t at) {
                                      if (m.letter != wire::kMsgChat) return;
                                      if (c >= group) {
                                        ++figure.misdelivered;
                                        return;
                                      }
                                      int64_t fields[2];
                                      if (c == sender ||
                                          bench::parse_tagged_text(m.text, 'L', fields, 2) != 0 ||
                                          fields[0] != line) {
                                        return;
                                      }
                                      samples.push_back(at - fields[1]);
                                      ++arrived;
                                    });
    if (!ok) figure.lost += group - 1 - arrived;
    if (fleet.lost()) {
      results->error = "chat latency: a client lost its connection";
      return -1;
    }
  }
  figure.latency = bench::summarize(samples);
  results->chat.push_back(figure);
  return 0;
}

// A room of 8 that never starts (start size 9): every seat sends its host
// one direct message at a time, the next once the host has the last.
int run_direct(Fleet& fleet, const Options& options, Results* results) {
  std::string error;
  if (!fleet.regroup([](int c) { return c < kSeatsPerRoom ? kKeyRoom : kKeyParking; },
                     kSeatsPerRoom, kSeatsPerRoom + 1, &error)) {
    results->error = "direct messages: " + error;
    return -1;
  }
  int room = -1;
  bool no_room = false;
  fleet.send(0, client::encode_room_op(wire::kOpCreate));
  bool ok = fleet.run_until([&] { return room >= 0 || no_room; }, kRoomSetupMs,
                            [&](int c, const LobbyMessage& m, int64_t) {
                              if (c != 0) return;
                              if (m.letter == wire::kMsgRoomMade) room = m.first;
                              if (m.letter == wire::kMsgRoomResult && m.first == 0) {
                                no_room = true;
                              }
                            });
  if (!ok || no_room) {
    results->error =
        no_room ? "direct messages: no free room" : "direct messages: the room was not made";
    return -1;
  }
  for (int c = 1; c < kSeatsPerRoom; ++c) fleet.send(c, client::encode_room_op(room));
  bool full = false;
  bool join_refused = false;
  ok = fleet.run_until([&] { return full || join_refused; }, kRoomSetupMs,
                       [&](int c, const LobbyMessage& m, int64_t) {
                         if (m.letter == wire::kMsgStatus && c < kSeatsPerRoom) {
                           join_refused = true;
                         }
                         if (c == 0 && m.letter == wire::kMsgMemberCount && m.first == room &&
                             m.second == kSeatsPerRoom) {
                           full = true;
                         }
                       });
  if (!ok || join_refused) {
    results->error = join_refused ? "direct messages: a join was refused"
                                  : "direct messages: the room did not fill";
    return -1;
  }

  std::vector<int64_t> sent_at(kSeatsPerRoom, 0);
  std::vector<int> round(kSeatsPerRoom, 0);
  std::vector<int64_t> samples;
  int finished = 0;
  auto send_next = [&](int seat) {
    sent_at[seat] = monotonic_ns();
    fleet.send(seat,
               client::encode_direct(client::kHostTarget, seat * kDirectSeatStride + round[seat]));
  };
  for (int seat = 1; seat < kSeatsPerRoom; ++seat) send_next(seat);
  ok = fleet.run_until(
      [&] { return finished == kSeatsPerRoom - 1; }, kDirectPhaseMs,
      [&](int c, const LobbyMessage& m, int64_t at) {
        if (c != 0 || m.letter != wire::kMsgDirect) return;
        const int seat = m.second / kDirectSeatStride;
        if (seat < 1 || seat >= kSeatsPerRoom || m.second % kDirectSeatStride != round[seat]) {
          return;
        }
        samples.push_back(at - sent_at[seat]);
        if (++round[seat] < options.direct_rounds) {
          send_next(seat);
        } else {
          ++finished;
        }
      });
  results->have_direct = true;
  results->direct = bench::summarize(samples);
  results->direct_lost = static_cast<int64_t>(kSeatsPerRoom - 1) * options.direct_rounds -
                         static_cast<int64_t>(samples.size());
  // The members leave before the host, whose leaving frees the room.
  for (int c = 1; c < kSeatsPerRoom; ++c) fleet.send(c, client::encode_room_op(wire::kOpLeaveRoom));
  fleet.send(0, client::encode_room_op(wire::kOpLeaveRoom));
  if (!ok && fleet.lost()) {
    results->error = "direct messages: a client lost its connection";
    return -1;
  }
  return 0;
}

int run_idle(Fleet& fleet, const Options& options, pid_t pid, Results* results) {
  std::string error;
  if (!fleet.regroup([](int) { return kKeyIdle; }, kSeatsPerRoom, kSeatsPerRoom, &error)) {
    results->error = "idle: " + error;
    return -1;
  }
  fleet.idle(kSettleMs);
  bench::CpuMeter meter;
  const bool measured = pid > 0 && meter.start(pid) == bench::kStatOk;
  int64_t wakeups_before = 0;
  const int64_t start = monotonic_ns();
  const bool counted = pid > 0 && bench::read_wakeups(pid, &wakeups_before) == bench::kStatOk;
  if (!fleet.idle(options.idle_ms)) {
    results->error = "idle: a client lost its connection";
    return -1;
  }
  if (measured) results->cpu_idle = meter.stop();
  int64_t wakeups_after = 0;
  if (counted && bench::read_wakeups(pid, &wakeups_after) == bench::kStatOk) {
    results->wakeups_idle = static_cast<double>(wakeups_after - wakeups_before) * 1e9 /
                            static_cast<double>(monotonic_ns() - start);
  }
  return 0;
}

// Every client sends at a fixed rate, the senders spread evenly over each
// interval. Each line carries its sender, its number and its send time;
// a reader that skips a number, or gets one out of order, fell behind.
int run_flood(Fleet& fleet, const Options& options, pid_t pid, Results* results) {
  std::string error;
  if (!fleet.regroup([](int) { return kKeyFlood; }, kSeatsPerRoom, kSeatsPerRoom, &error)) {
    results->error = "delivered throughput: " + error;
    return -1;
  }
  fleet.idle(kSettleMs);
  const int64_t per_client = int64_t{options.flood_rate} * options.flood_ms / 1000;
  const int64_t interval_ns = 1000000000 / options.flood_rate;
  std::vector<int64_t> next(kClients, 0);
  bench::SequenceTracker sequences(kClients, kClients);
  std::vector<int64_t> samples;
  int64_t received = 0;
  const Fleet::Handler handler = [&](int c, const LobbyMessage& m, int64_t at) {
    int64_t f[3];  // sender, sequence number, send time
    if (m.letter != wire::kMsgChat || bench::parse_tagged_text(m.text, 'T', f, 3) != 0) return;
    if (f[0] < 0 || f[0] >= kClients) return;
    ++received;
    samples.push_back(at - f[2]);
    sequences.record(c, static_cast<int>(f[0]), f[1]);
  };

  bench::CpuMeter meter;
  const bool measured = pid > 0 && meter.start(pid) == bench::kStatOk;
  bench::ThreadTotals totals_before;
  const bool totals = pid > 0 && bench::read_thread_totals(pid, &totals_before) == bench::kStatOk;
  const int64_t start = monotonic_ns();
  const int64_t end = start + int64_t{options.flood_ms} * 1000000;
  int64_t sent = 0;
  for (int64_t now = start; now < end; now = monotonic_ns()) {
    int64_t next_due = end;
    for (int c = 0; c < kClients; ++c) {
      const int64_t offset = interval_ns * c / kClients;
      while (next[c] < per_client && start + offset + next[c] * interval_ns <= now) {
        fleet.send(c,
                   client::encode_chat(c, bench::tagged_text('T', {c, next[c], monotonic_ns()})));
        ++next[c];
        ++sent;
      }
      if (next[c] < per_client) {
        const int64_t due = start + offset + next[c] * interval_ns;
        if (due < next_due) next_due = due;
      }
    }
    int64_t wait_ms = (next_due - monotonic_ns()) / 1000000;
    if (wait_ms < 0) wait_ms = 0;
    if (wait_ms > kPumpStepMs) wait_ms = kPumpStepMs;
    if (!fleet.pump(static_cast<int>(wait_ms), handler)) {
      results->error = "delivered throughput: a client lost its connection";
      return -1;
    }
  }
  if (measured) results->cpu_chat = meter.stop();
  bench::ThreadTotals totals_after;
  if (totals && received > 0 && bench::read_thread_totals(pid, &totals_after) == bench::kStatOk) {
    results->wakeups_per_delivery =
        static_cast<double>(totals_after.wakeups - totals_before.wakeups) /
        static_cast<double>(received);
    results->cpu_s_per_1000_deliveries =
        static_cast<double>(totals_after.cpu_ns - totals_before.cpu_ns) / 1e9 * 1000.0 /
        static_cast<double>(received);
  }
  const int64_t window_end = monotonic_ns();
  results->flood_in_window = received;
  fleet.run_until([] { return false; }, options.drain_ms, handler);
  results->have_flood = true;
  results->flood_sent = sent;
  results->flood_expected = sent * kClients;  // the sender gets its own line too
  results->flood_received = received;
  results->flood_window_s = static_cast<double>(window_end - start) / 1e9;
  results->flood_total_s = static_cast<double>(monotonic_ns() - start) / 1e9;
  results->readers_missing = sequences.readers_behind();
  results->missed_lines = sequences.skipped();
  results->out_of_order = sequences.out_of_order();
  results->flood_latency = bench::summarize(samples);
  return 0;
}

// The 32 clients chat in four groups of eight, each at a game client's
// pace, while the lobby is upgraded in place once a second: the pause of
// each upgrade, and the relay latency and losses the clients saw.
int run_upgrades(Fleet& fleet, const Options& options, bench::ServerProcess& server,
                 Results* results) {
  std::string error;
  if (!fleet.regroup([](int c) { return kKeyUpgrade + c / kSeatsPerRoom; }, kSeatsPerRoom,
                     kSeatsPerRoom, &error)) {
    results->error = "upgrades: " + error;
    return -1;
  }
  fleet.idle(kSettleMs);
  const int64_t interval_ns = 1000000000 / options.upgrade_rate;
  std::vector<int64_t> next(kClients, 0);
  bench::SequenceTracker sequences(kClients, kClients);
  std::vector<int64_t> samples;
  const Fleet::Handler handler = [&](int c, const LobbyMessage& m, int64_t at) {
    int64_t f[3];  // sender, sequence number, send time
    if (m.letter != wire::kMsgChat || bench::parse_tagged_text(m.text, 'U', f, 3) != 0) return;
    if (f[0] < 0 || f[0] >= kClients) return;
    ++results->upgrade_received;
    samples.push_back(at - f[2]);
    sequences.record(c, static_cast<int>(f[0]), f[1]);
  };
  // The upgrades run on a thread of their own, one a second; the clients
  // go on meanwhile, as game clients would.
  std::atomic<bool> over{false};
  std::thread upgrader([&] {
    for (int u = 0; u < options.upgrades && !over.load(); ++u) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      int64_t pause_ms = -1;
      std::string why;
      if (server.upgrade(30000, &pause_ms, &why) == 0) {
        results->upgrade_pauses_ms.push_back(pause_ms);
      } else {
        ++results->upgrades_failed;
        if (results->upgrade_error.empty()) results->upgrade_error = why;
      }
    }
    over.store(true);
  });
  const int64_t start = monotonic_ns();
  bool connected = true;
  while (!over.load() && connected) {
    const int64_t now = monotonic_ns();
    int64_t next_due = now + int64_t{kPumpStepMs} * 1000000;
    for (int c = 0; c < kClients; ++c) {
      const int64_t offset = interval_ns * c / kClients;
      while (start + offset + next[c] * interval_ns <= now) {
        fleet.send(c,
                   client::encode_chat(c, bench::tagged_text('U', {c, next[c], monotonic_ns()})));
        ++next[c];
        ++results->upgrade_sent;
      }
      next_due = std::min(next_due, start + offset + next[c] * interval_ns);
    }
    const int64_t wait_ms = std::max<int64_t>(0, (next_due - monotonic_ns()) / 1000000);
    connected = fleet.pump(static_cast<int>(wait_ms), handler);
  }
  over.store(true);
  upgrader.join();
  if (!connected) {
    results->error = "upgrades: a client lost its connection";
    return -1;
  }
  fleet.run_until([] { return false; }, options.drain_ms, handler);
  results->have_upgrades = true;
  results->upgrade_expected = results->upgrade_sent * kSeatsPerRoom;
  results->upgrade_skipped = sequences.skipped();
  results->upgrade_out_of_order = sequences.out_of_order();
  results->upgrade_latency = bench::summarize(samples);
  return 0;
}

// --- Output ----------------------------------------------------------------

double ms(int64_t ns) { return static_cast<double>(ns) / 1e6; }

double ratio(int64_t ns, int64_t base) {
  return base > 0 ? static_cast<double>(ns) / static_cast<double>(base) : 0;
}

void print_latency_row(const char* label, const LatencySummary& s, int64_t base,
                       const std::string& note) {
  if (s.count == 0) {
    std::printf("%-40s %8s   (no samples)%s\n", label, "0", note.c_str());
    return;
  }
  std::printf("%-40s %8zu %10.3f %10.3f %10.3f %9.1fx %9.1fx %9.1fx%s\n", label, s.count,
              ms(s.p50_ns), ms(s.p99_ns), ms(s.max_ns), ratio(s.p50_ns, base),
              ratio(s.p99_ns, base), ratio(s.max_ns, base), note.c_str());
}

std::string percent_text(double value) {
  if (value < 0) return "n/a";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %% of one core", value);
  return text;
}

void print_table(const Options& options, const std::string& server, const Results& r) {
  const int64_t base = r.loopback.p50_ns;
  std::printf("\nlobby_bench: %s, %d clients%s\n", server.c_str(), kClients,
              options.port == 0 ? "" : " (external server)");
  std::printf("%-40s %8s %10s %10s %10s %10s %10s %10s\n", "latency (ms)", "samples", "p50", "p99",
              "max", "p50/base", "p99/base", "max/base");
  if (r.have_cross_core) {
    print_latency_row("loopback round trip, one core", r.loopback_same_core, base, "");
    print_latency_row("loopback round trip, two cores (base)", r.loopback, base, "");
  } else {
    print_latency_row("loopback round trip, one core (base)", r.loopback, base, "");
  }
  if (r.have_login) print_latency_row("login to end of room list", r.login_latency, base, "");
  for (const ChatFigure& f : r.chat) {
    char label[64];
    std::snprintf(label, sizeof label, "chat relay, %d in the group", f.group);
    std::string note;
    if (f.lost > 0) note += "  lost " + std::to_string(f.lost);
    if (f.misdelivered > 0) note += "  to other groups " + std::to_string(f.misdelivered);
    print_latency_row(label, f.latency, base, note);
  }
  if (r.have_direct) {
    print_latency_row("direct message, seat to host", r.direct, base,
                      r.direct_lost > 0 ? "  lost " + std::to_string(r.direct_lost) : "");
  }
  if (r.have_flood) {
    char label[64];
    std::snprintf(label, sizeof label, "chat relay under load (%d x %d/s)", kClients,
                  options.flood_rate);
    print_latency_row(label, r.flood_latency, base, "");
  }
  if (r.have_upgrades) {
    char label[64];
    std::snprintf(label, sizeof label, "chat relay through upgrades (%d/s)", options.upgrade_rate);
    print_latency_row(label, r.upgrade_latency, base, "");
  }
  std::printf("\nthroughput\n");
  if (r.have_login) {
    std::printf("  %-38s %10.1f /s  (%lld logins by %d clients in %.2f s)\n", "logins",
                r.login_seconds > 0 ? static_cast<double>(r.logins) / r.login_seconds : 0,
                static_cast<long long>(r.logins), kClients, r.login_seconds);
  }
  if (r.have_flood) {
    std::printf(
        "  %-38s %10.1f /s  (%lld in the %.2f s window; offered %.1f /s)\n", "chat lines delivered",
        r.flood_window_s > 0 ? static_cast<double>(r.flood_in_window) / r.flood_window_s : 0,
        static_cast<long long>(r.flood_in_window), r.flood_window_s,
        r.flood_window_s > 0 ? static_cast<double>(r.flood_expected) / r.flood_window_s : 0);
    std::printf("  %-38s %10lld of %lld  (%lld sent; %.2f s with %d ms to drain)\n",
                "chat lines delivered in all", static_cast<long long>(r.flood_received),
                static_cast<long long>(r.flood_expected), static_cast<long long>(r.flood_sent),
                r.flood_total_s, options.drain_ms);
    std::printf("  %-38s %10d of %d  (lines skipped %lld, out of order %lld)\n",
                "readers that fell a lap behind", r.readers_missing, kClients,
                static_cast<long long>(r.missed_lines), static_cast<long long>(r.out_of_order));
  }
  if (r.have_upgrades) {
    std::vector<int64_t> pauses = r.upgrade_pauses_ms;
    std::sort(pauses.begin(), pauses.end());
    std::printf("\nupgrades of the chatting lobby (%d clients x %d lines/s, one a second)\n",
                kClients, options.upgrade_rate);
    std::printf("  %-38s %zu of %d  (%d failed%s%s)\n", "upgrades done", pauses.size(),
                options.upgrades, r.upgrades_failed, r.upgrade_error.empty() ? "" : ": ",
                r.upgrade_error.c_str());
    if (!pauses.empty()) {
      std::printf("  %-38s p50 %lld ms, max %lld ms\n", "pause, last pass to first",
                  static_cast<long long>(pauses[(pauses.size() - 1) / 2]),
                  static_cast<long long>(pauses.back()));
    }
    std::printf("  %-38s %lld of %lld  (%lld sent; skipped %lld, out of order %lld)\n",
                "chat lines delivered", static_cast<long long>(r.upgrade_received),
                static_cast<long long>(r.upgrade_expected), static_cast<long long>(r.upgrade_sent),
                static_cast<long long>(r.upgrade_skipped),
                static_cast<long long>(r.upgrade_out_of_order));
  }
  std::printf("\nserver process\n");
  std::printf("  %-38s %s\n", "CPU, 32 connected and silent", percent_text(r.cpu_idle).c_str());
  if (r.wakeups_idle >= 0) {
    std::printf("  %-38s %.2f /s\n", "wake-ups, 32 connected and silent", r.wakeups_idle);
  } else {
    std::printf("  %-38s n/a\n", "wake-ups, 32 connected and silent");
  }
  std::printf("  %-38s %s\n", "CPU, 32 chatting", percent_text(r.cpu_chat).c_str());
  if (r.wakeups_per_delivery >= 0) {
    std::printf("  %-38s %.3f  (%d clients x %d lines/s)\n", "wake-ups per delivery",
                r.wakeups_per_delivery, kClients, options.flood_rate);
    std::printf("  %-38s %.4f\n", "CPU seconds per 1,000 deliveries", r.cpu_s_per_1000_deliveries);
  } else {
    std::printf("  %-38s n/a\n", "wake-ups per delivery");
    std::printf("  %-38s n/a\n", "CPU seconds per 1,000 deliveries");
  }
  if (r.peak_rss_kb >= 0) {
    std::printf("  %-38s %lld kB\n", "peak RSS (VmHWM)", static_cast<long long>(r.peak_rss_kb));
  } else {
    std::printf("  %-38s n/a\n", "peak RSS (VmHWM)");
  }
  std::printf("\nelapsed %.1f s\n", r.elapsed_s);
  if (!r.error.empty()) std::printf("stopped early: %s\n", r.error.c_str());
  std::fflush(stdout);
}

std::string json_latency(const LatencySummary& s, int64_t base) {
  char text[400];
  std::snprintf(text, sizeof text,
                "{\"samples\": %zu, \"p50_ms\": %.6f, \"p99_ms\": %.6f, \"max_ms\": %.6f, "
                "\"p50_ratio\": %.3f, \"p99_ratio\": %.3f, \"max_ratio\": %.3f}",
                s.count, ms(s.p50_ns), ms(s.p99_ns), ms(s.max_ns), ratio(s.p50_ns, base),
                ratio(s.p99_ns, base), ratio(s.max_ns, base));
  return text;
}

std::string json_number(double value) {
  if (value < 0) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

// The error text holds only our own messages; quotes and backslashes are
// escaped all the same.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

int write_text(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return -1;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written ? 0 : -1;
}

int write_json(const std::string& path, const Options& options, const Results& r) {
  const int64_t base = r.loopback.p50_ns;
  std::string j = "{\n";
  j += "  \"clients\": " + std::to_string(kClients) + ",\n";
  j += "  \"external_server\": " + std::string(options.port == 0 ? "false" : "true") + ",\n";
  j += "  \"loopback_round_trip\": " + json_latency(r.loopback, base) + ",\n";
  j += "  \"loopback_round_trip_two_cores\": " + std::string(r.have_cross_core ? "true" : "false") +
       ",\n";
  j += "  \"loopback_round_trip_one_core\": " + json_latency(r.loopback_same_core, base) + ",\n";
  if (r.have_login) {
    j += "  \"login\": {\"logins\": " + std::to_string(r.logins) +
         ", \"seconds\": " + json_number(r.login_seconds) + ", \"per_second\": " +
         json_number(r.login_seconds > 0 ? static_cast<double>(r.logins) / r.login_seconds : 0) +
         ", \"latency\": " + json_latency(r.login_latency, base) + "},\n";
  }
  j += "  \"chat_relay\": [";
  for (size_t i = 0; i < r.chat.size(); ++i) {
    const ChatFigure& f = r.chat[i];
    j += std::string(i == 0 ? "\n" : ",\n") + "    {\"group\": " + std::to_string(f.group) +
         ", \"lost\": " + std::to_string(f.lost) +
         ", \"misdelivered\": " + std::to_string(f.misdelivered) +
         ", \"latency\": " + json_latency(f.latency, base) + "}";
  }
  j += r.chat.empty() ? "],\n" : "\n  ],\n";
  if (r.have_direct) {
    j += "  \"direct_seat_to_host\": {\"lost\": " + std::to_string(r.direct_lost) +
         ", \"latency\": " + json_latency(r.direct, base) + "},\n";
  }
  if (r.have_flood) {
    j += "  \"delivered\": {\"rate_per_client\": " + std::to_string(options.flood_rate) +
         ", \"window_s\": " + json_number(r.flood_window_s) +
         ", \"sent\": " + std::to_string(r.flood_sent) +
         ", \"expected\": " + std::to_string(r.flood_expected) +
         ", \"received_in_window\": " + std::to_string(r.flood_in_window) + ", \"per_second\": " +
         json_number(
             r.flood_window_s > 0 ? static_cast<double>(r.flood_in_window) / r.flood_window_s : 0) +
         ", \"received_with_drain\": " + std::to_string(r.flood_received) +
         ", \"readers_behind\": " + std::to_string(r.readers_missing) +
         ", \"lines_skipped\": " + std::to_string(r.missed_lines) +
         ", \"out_of_order\": " + std::to_string(r.out_of_order) +
         ", \"latency\": " + json_latency(r.flood_latency, base) + "},\n";
  }
  if (r.have_upgrades) {
    std::vector<int64_t> pauses = r.upgrade_pauses_ms;
    std::sort(pauses.begin(), pauses.end());
    std::string list;
    for (int64_t p : r.upgrade_pauses_ms) list += (list.empty() ? "" : ", ") + std::to_string(p);
    j += "  \"upgrades\": {\"done\": " + std::to_string(pauses.size()) +
         ", \"failed\": " + std::to_string(r.upgrades_failed) + ", \"pause_ms\": [" + list +
         "], \"pause_p50_ms\": " +
         (pauses.empty() ? std::string("null") : std::to_string(pauses[(pauses.size() - 1) / 2])) +
         ", \"pause_max_ms\": " +
         (pauses.empty() ? std::string("null") : std::to_string(pauses.back())) +
         ", \"sent\": " + std::to_string(r.upgrade_sent) +
         ", \"expected\": " + std::to_string(r.upgrade_expected) +
         ", \"received\": " + std::to_string(r.upgrade_received) +
         ", \"lines_skipped\": " + std::to_string(r.upgrade_skipped) +
         ", \"out_of_order\": " + std::to_string(r.upgrade_out_of_order) +
         ", \"latency\": " + json_latency(r.upgrade_latency, base) + "},\n";
  }
  j += "  \"server_cpu_idle_percent\": " + json_number(r.cpu_idle) + ",\n";
  j += "  \"server_wakeups_idle_per_s\": " + json_number(r.wakeups_idle) + ",\n";
  j += "  \"server_wakeups_per_delivery\": " + json_number(r.wakeups_per_delivery) + ",\n";
  j +=
      "  \"server_cpu_s_per_1000_deliveries\": " + json_number(r.cpu_s_per_1000_deliveries) + ",\n";
  j += "  \"server_cpu_chat_percent\": " + json_number(r.cpu_chat) + ",\n";
  j += "  \"server_peak_rss_kb\": " +
       (r.peak_rss_kb >= 0 ? std::to_string(r.peak_rss_kb) : std::string("null")) + ",\n";
  j += "  \"elapsed_s\": " + json_number(r.elapsed_s) + ",\n";
  j += "  \"error\": " + (r.error.empty() ? std::string("null") : json_string(r.error)) + "\n}\n";
  return write_text(path, j);
}

// --- Options ---------------------------------------------------------------

constexpr char kUsage[] =
    "usage: lobby_bench [options]\n"
    "  --quick              a run of about 15 s instead of about 30 s\n"
    "  --json FILE          where the figures go as JSON (default bench.json)\n"
    "  --server PATH        the server to start (default: lobby_server next to lobby_bench)\n"
    "  --host H --port P    use a running server instead of starting one; it must have\n"
    "                       32 free slots and a free room\n"
    "  --pid PID            that server's process, for its CPU and memory figures\n"
    "  --pings N            loopback round trips measured (default 5000)\n"
    "  --logins N           logins per client (default 50)\n"
    "  --chat-lines N       lines per group size in the relay latency test (default 40)\n"
    "  --direct-rounds N    direct messages per seat (default 30)\n"
    "  --idle-ms MS         silent window for the idle CPU figure (default 5000)\n"
    "  --flood-ms MS        how long all 32 clients chat (default 10000)\n"
    "  --flood-rate N       lines per second per client while they do (default 50)\n"
    "  --drain-ms MS        receiving after the chatting stops (default 1000)\n"
    "  --upgrades N         at the end, upgrade the lobby in place N times, one a second,\n"
    "                       while the 32 clients chat in four groups (a server of its own)\n"
    "  --upgrade-rate N     lines per second per client meanwhile (default 10)\n"
    "  --fleet N            instead: N servers of their own, 32 players each on a\n"
    "                       realistic mix; the figures go under \"fleet\" in the JSON\n"
    "  --seconds S          how long the fleet's mix runs (default 60)\n"
    "  --idle-seconds S     the fleet's silent window before it (default 10)\n"
    "  --connect-storm N    instead: N connect-login-disconnect cycles one at a\n"
    "                       time, then N with 32 in flight, and what a cycle costs\n"
    "  --haproxy PATH       with --connect-storm: the same storms again through this\n"
    "                       haproxy (send-proxy-v2), the server trusting it (L_PROXY)\n";

struct NumberOption {
  const char* flag;
  int64_t min;
  int64_t max;
  int* field;
};

int parse_options(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      o->pings = 1000;
      o->logins_per_client = 10;
      o->chat_lines = 12;
      o->direct_rounds = 10;
      o->idle_ms = 2000;
      o->flood_ms = 4000;
      o->drain_ms = 500;
    }
  }
  const NumberOption numbers[] = {
      {"--port", 1, 65535, &o->port},
      {"--pid", 1, INT32_MAX, &o->pid},
      {"--pings", 1, 1000000, &o->pings},
      {"--logins", 1, 10000, &o->logins_per_client},
      {"--chat-lines", 1, 10000, &o->chat_lines},
      {"--direct-rounds", 1, 10000, &o->direct_rounds},
      {"--idle-ms", 100, 60000, &o->idle_ms},
      {"--flood-ms", 100, 60000, &o->flood_ms},
      {"--flood-rate", 1, 100, &o->flood_rate},
      {"--drain-ms", 0, 60000, &o->drain_ms},
      {"--upgrades", 0, 1000, &o->upgrades},
      {"--upgrade-rate", 1, 100, &o->upgrade_rate},
      {"--fleet", 1, 500, &o->fleet},
      {"--seconds", 1, 3600, &o->fleet_seconds},
      {"--idle-seconds", 1, 600, &o->fleet_idle_seconds},
      {"--connect-storm", 1, 1000000, &o->connect_storm},
  };
  bool host_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--quick") continue;
    if (flag == "--help") {
      std::fputs(kUsage, stdout);
      return 1;
    }
    const NumberOption* number = nullptr;
    for (const NumberOption& n : numbers) {
      if (flag == n.flag) number = &n;
    }
    if (number == nullptr && flag != "--json" && flag != "--server" && flag != "--host" &&
        flag != "--haproxy") {
      std::fprintf(stderr, "error: unknown option %s\n%s", flag.c_str(), kUsage);
      return -1;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "error: %s needs a value\n", flag.c_str());
      return -1;
    }
    const char* value = argv[++i];
    if (flag == "--json") {
      o->json_path = value;
    } else if (flag == "--server") {
      o->server_path = value;
    } else if (flag == "--haproxy") {
      o->haproxy = value;
    } else if (flag == "--host") {
      o->host = value;
      host_given = true;
    } else {
      int64_t parsed = 0;
      std::string why;
      if (client::parse_number(value, number->min, number->max, number->flag, &parsed, &why) !=
          client::kParseOk) {
        std::fprintf(stderr, "error: %s\n", why.c_str());
        return -1;
      }
      *number->field = static_cast<int>(parsed);
    }
  }
  // A server of our own is always on 127.0.0.1 and its process is known.
  if ((host_given || o->pid != 0) && o->port == 0) {
    std::fprintf(stderr, "error: --host and --pid go with --port\n");
    return -1;
  }
  if (!o->haproxy.empty() && (o->connect_storm == 0 || o->port != 0)) {
    std::fprintf(stderr, "error: --haproxy goes with --connect-storm and a server of our own\n");
    return -1;
  }
  if (o->fleet > 0 && o->connect_storm > 0) {
    std::fprintf(stderr, "error: --fleet and --connect-storm are runs of their own\n");
    return -1;
  }
  if (o->fleet > 0 && o->port != 0) {
    std::fprintf(stderr, "error: --fleet starts servers of its own; --port uses a running one\n");
    return -1;
  }
  if (o->port != 0 && o->upgrades > 0) {
    std::fprintf(stderr,
                 "error: --upgrades upgrades a server of its own; --port uses a running one\n");
    return -1;
  }
  if (o->port != 0 && !o->server_path.empty()) {
    std::fprintf(stderr, "error: --server starts a server; --port uses a running one\n");
    return -1;
  }
  return 0;
}

int run_phases(Fleet& fleet, const Options& options, bench::ServerProcess& server, pid_t pid,
               Results* results) {
  progress("login throughput");
  if (run_logins(fleet, options, results) != 0) return -1;
  for (int group : kChatGroupSizes) {
    char text[64];
    std::snprintf(text, sizeof text, "chat relay latency, %d in the group", group);
    progress(text);
    if (run_chat_latency(fleet, group, options, results) != 0) return -1;
  }
  progress("direct-message latency");
  if (run_direct(fleet, options, results) != 0) return -1;
  progress("idle CPU");
  if (run_idle(fleet, options, pid, results) != 0) return -1;
  progress("delivered throughput");
  if (run_flood(fleet, options, pid, results) != 0) return -1;
  if (options.upgrades == 0) return 0;
  progress("upgrades of the chatting lobby");
  return run_upgrades(fleet, options, server, results);
}

}  // namespace

int run_fleet_bench(const Options& options) {
  bench::FleetOptions fleet;
  fleet.lobbies = options.fleet;
  fleet.seconds = options.fleet_seconds;
  fleet.idle_seconds = options.fleet_idle_seconds;
  fleet.server_path =
      options.server_path.empty() ? bench::executable_dir() + "/lobby_server" : options.server_path;
  bench::FleetFigures figures;
  const int rc = bench::run_fleet(fleet, &figures);
  bench::print_fleet(figures);
  if (write_text(options.json_path, bench::fleet_json(figures)) != 0) {
    std::fprintf(stderr, "error: cannot write %s\n", options.json_path.c_str());
    return 1;
  }
  std::printf("figures written to %s\n", options.json_path.c_str());
  return rc == 0 && figures.lost == 0 ? 0 : 1;
}

// The connect storm, one cycle at a time and then 32 at a time, against
// `port`; its figures go to `*json` as the array `name`. With `front` (a
// proxy's process, 0 for none) the proxy's own CPU per cycle is printed too.
int run_storms(const Options& options, int port, pid_t pid, const char* name, pid_t front,
               std::string* json) {
  *json += std::string("  \"") + name + "\": [\n";
  int rc = 0;
  for (int in_flight : {1, kClients}) {
    char text[96];
    std::snprintf(text, sizeof text, "%s, %d at a time", name, in_flight);
    progress(text);
    bench::StormFigures figures;
    bench::ThreadTotals before;
    const bool counted = front > 0 && bench::read_thread_totals(front, &before) == bench::kStatOk;
    if (bench::run_connect_storm(options.host, port, pid, options.connect_storm, in_flight,
                                 &figures) != 0) {
      std::fprintf(stderr, "error: %s\n", figures.error.c_str());
      rc = 1;
    }
    bench::print_storm(figures);
    bench::ThreadTotals after;
    if (counted && bench::read_thread_totals(front, &after) == bench::kStatOk &&
        figures.cycles > 0) {
      std::printf("  %-38s %.4f\n", "the proxy's CPU seconds per 1,000 cycles",
                  static_cast<double>(after.cpu_ns - before.cpu_ns) / 1e9 * 1000.0 /
                      static_cast<double>(figures.cycles));
    }
    *json += std::string("    ") + bench::storm_json(figures) + (in_flight == 1 ? ",\n" : "\n");
  }
  *json += "  ]";
  return rc;
}

// The storms straight to the lobby and, with --haproxy, through HAProxy;
// the figures to the JSON file.
int run_storm_bench(const Options& options, int port, pid_t pid) {
  std::string json = "{\n";
  int rc = run_storms(options, port, pid, "connect_storm", 0, &json);
  if (!options.haproxy.empty()) {
    bench::HaproxyFront front;
    const int front_port = client::pick_free_port();
    std::string error;
    if (front_port <= 0 ||
        front.start(options.haproxy, front_port, port, kProxySource, &error) != 0) {
      std::fprintf(stderr, "error: cannot start haproxy: %s\n",
                   front_port <= 0 ? "no free port" : error.c_str());
      return 1;
    }
    json += ",\n";
    rc |= run_storms(options, front_port, pid, "connect_storm_via_haproxy", front.pid(), &json);
    front.stop(kStopServerMs);
  }
  json += "\n}\n";
  if (write_text(options.json_path, json) != 0) {
    std::fprintf(stderr, "error: cannot write %s\n", options.json_path.c_str());
    return 1;
  }
  std::printf("figures written to %s\n", options.json_path.c_str());
  return rc;
}

// Its 32 clients share four loopback addresses of one /24.
constexpr char kOwnServerSettings[] =
    "L_PER_IP 0\nL_PER_NET 0\nL_CONN_RATE 0\nL_FLOOD_RATE 0\nL_CHAT_RATE 0\nL_ROOMS_PER_IP 0\n";

int main(int argc, char** argv) {
  Options options;
  const int parsed = parse_options(argc, argv, &options);
  if (parsed != 0) return parsed > 0 ? 0 : 2;
  net::ignore_sigpipe();
  if (options.fleet > 0) return run_fleet_bench(options);
  const int64_t start = monotonic_ns();
  Results results;

  bench::ServerProcess server;
  pid_t pid = options.pid;
  int port = options.port;
  if (port == 0) {
    std::string path = options.server_path;
    if (path.empty()) path = bench::executable_dir() + "/lobby_server";
    port = client::pick_free_port();
    std::string error;
    // All 32 clients come from 127.0.0.1, and the throughput phases send
    // far faster than a game client: the per-address limit, flood pacing
    // and the chat pace would measure themselves instead of the lobby.
    // Behind HAProxy the server trusts the proxy's source address alone:
    // the direct storm's clients, from 127.0.0.1, stay clients of their own.
    const std::string settings =
        std::string(kOwnServerSettings) +
        (options.haproxy.empty() ? "" : "L_PROXY " + std::string(kProxySource) + "\n");
    if (port <= 0 || server.start(path, port, &error, settings) != 0) {
      std::fprintf(stderr, "error: cannot start the server: %s\n",
                   port <= 0 ? "no free port" : error.c_str());
      return 1;
    }
    pid = server.pid();
  }

  if (options.connect_storm > 0) {
    const int rc = run_storm_bench(options, port, pid);
    if (options.port == 0) server.stop(kStopServerMs);
    return rc;
  }

  // Measured while our server starts up: a server that is not yet serving
  // clients takes next to no CPU.
  progress("loopback baseline");
  if (measure_loopbacks(options.pings, &results) != 0) {
    std::fprintf(stderr, "error: %s\n", results.error.c_str());
    return 1;
  }
  const std::string where = options.host + ":" + std::to_string(port);
  progress(("connecting 32 clients to " + where).c_str());
  Fleet fleet;
  std::string error;
  int rc = 0;
  if (fleet.connect_all(options.host, port, &error) != 0) {
    results.error = "connect: " + error;
    rc = 1;
  } else if (run_phases(fleet, options, server, pid, &results) != 0) {
    rc = 1;
  }
  // An upgraded server is another process now.
  if (options.port == 0) pid = server.pid();
  if (pid > 0) bench::read_peak_rss_kb(pid, &results.peak_rss_kb);
  if (options.port == 0) server.stop(kStopServerMs);
  results.elapsed_s = static_cast<double>(monotonic_ns() - start) / 1e9;

  std::string label = "server " + where;
  if (options.port == 0) label += " (started by the bench)";
  print_table(options, label, results);
  if (write_json(options.json_path, options, results) != 0) {
    std::fprintf(stderr, "error: cannot write %s\n", options.json_path.c_str());
    return 1;
  }
  std::printf("figures written to %s\n", options.json_path.c_str());
  return rc;
}
