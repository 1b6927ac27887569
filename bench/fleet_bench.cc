#include "bench/fleet_bench.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "bench/bench_lines.h"
#include "bench/server_process.h"
#include "client/command_parser.h"
#include "client/tcp_link.h"
#include "client/wire_codec.h"
#include "net/socket_ops.h"
#include "wire/protocol.h"

namespace bench {

using client::encode_chat;
using client::encode_direct;
using client::encode_keep_alive;
using client::encode_login;
using client::encode_name;
using client::encode_room_op;
using client::encode_validation;
using client::kHostTarget;
using client::LobbyDecoder;
using client::LobbyMessage;
using client::pick_free_port;
using client::TcpLink;
namespace {

constexpr int kPlayersPerLobby = 32;
constexpr int kPartySize = 8;
constexpr int kPartiesPerLobby = kPlayersPerLobby / kPartySize;
constexpr uint32_t kFirstSourceAddress = 0x7f000001;  // 127.0.0.1; one per party
constexpr int kUserIdBase = 100000;

constexpr int64_t kSecondNs = 1000000000;
constexpr int64_t kKeepAliveNs = 20 * kSecondNs;
constexpr int64_t kChatNs = 10 * kSecondNs;
constexpr int64_t kCycleNs = 60 * kSecondNs;
constexpr int64_t kGameNs = 20 * kSecondNs;
// Each member but the host sends its host one direct message per this
// while the game runs: "now and then".
constexpr int64_t kDirectNs = 15 * kSecondNs;
// The longest a party waits for its lines before it changes between lobby
// and game all the same; what is still missing then is lost.
constexpr int64_t kSettleBoundNs = 2 * kSecondNs;
// A room not made, filled and started within this is an error.
constexpr int64_t kFormBoundNs = 10 * kSecondNs;

constexpr int kTickMs = 5;
constexpr int kConnectTimeoutMs = 1000;
constexpr int kConnectRetryMs = 20;
constexpr int kLoginsInFlight = 4;
constexpr int kListenWaitMs = 20000;
constexpr int kLoginWaitMs = 60000;
constexpr int kSettleMs = 1000;
constexpr int kDrainMs = 3000;
constexpr int kStopServerMs = 5000;
constexpr int kReadChunk = 4096;

// What the main thread tells the client threads to do.
constexpr int kModeLogin = 0;  // log in and wait
constexpr int kModeIdle = 1;   // receive only
constexpr int kModeMix = 2;    // the realistic mix
constexpr int kModeDrain = 3;  // receive only, until every line is in
constexpr int kModeEnd = 4;

enum class Phase { kLobby, kForming, kGame, kLeaving };

struct Player {
  int fd = -1;
  int lobby = 0;        // index into the fleet's lobbies
  int local_lobby = 0;  // index into the thread's lobbies
  int party = 0;        // index into the thread's parties
  int seat = 0;         // in the party; 0 is the room's host
  LobbyDecoder decoder;
  std::string outbox;
  bool logged_in = false;
  bool started = false;  // has this game's start
  bool left = false;     // has this game's leave reply
  int64_t next_chat = 0;
  int64_t next_keep_alive = 0;
  int64_t next_direct = 0;
  int64_t chat_seq = 0;
  int64_t highest[kPartySize] = {-1, -1, -1, -1, -1, -1, -1, -1};
};

struct Party {
  int first = 0;  // its first player in the thread's table
  int lobby_party = 0;
  Phase phase = Phase::kLobby;
  int64_t next_cycle = 0;
  int64_t phase_end = 0;  // the game's end, or the bound of forming
  int64_t outstanding = 0;
  int started = 0;
  int left = 0;
  int32_t room = -1;
};

struct DirectRecord {
  int64_t sent_ns = 0;
  int party = 0;
  bool arrived = false;
};

// What every client thread reads: set by the main thread.
struct Control {
  std::atomic<int> mode{kModeLogin};
  std::atomic<int64_t> mix_start_ns{0};
};

// The players of whole lobbies, on one epoll, in one thread.
class ClientThread {
 public:
  ClientThread(const Control& control, int fleet_lobbies)
      : control_(control), fleet_lobbies_(fleet_lobbies) {}
  ~ClientThread() {
    for (Player& p : players_) net::close_fd(p.fd);
    net::close_fd(epoll_fd_);
  }
  ClientThread(const ClientThread&) = delete;
  ClientThread& operator=(const ClientThread&) = delete;

  void add_lobby(int lobby, int port) {
    lobbies_.push_back({lobby, port});
    waiting_logins_.push_back(0);
  }

  void run() {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0 || connect_all() != 0) {
      if (error_.empty()) error_ = "cannot make an epoll descriptor";
      failed_.store(true);
      return;
    }
    int mode = kModeLogin;
    bool mix_started = false;
    while ((mode = control_.mode.load(std::memory_order_acquire)) != kModeEnd) {
      pump(kTickMs);
      if (mode == kModeMix) {
        const int64_t now = monotonic_ns();
        if (!mix_started) {
          start_mix(control_.mix_start_ns.load(std::memory_order_acquire));
          mix_started = true;
        }
        tick(now);
      }
      if (mode == kModeDrain) drained_.store(outstanding() == 0, std::memory_order_release);
    }
  }

  int logged_in() const { return logged_in_.load(std::memory_order_acquire); }
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  bool drained() const { return drained_.load(std::memory_order_acquire); }
  int players() const { return static_cast<int>(lobbies_.size()) * kPlayersPerLobby; }

  // Read after the thread has ended.
  const std::string& error() const { return error_; }
  std::vector<int64_t> chat_samples;
  std::vector<int64_t> direct_samples;
  int64_t chat_sent = 0;
  int64_t direct_sent = 0;
  int64_t keep_alives = 0;
  int64_t games = 0;
  int64_t expected = 0;
  int64_t delivered = 0;
  int64_t unexpected = 0;
  int64_t connections_lost = 0;

 private:
  struct LobbyPort {
    int lobby;
    int port;
  };

  int connect_all() {
    for (size_t l = 0; l < lobbies_.size(); ++l) {
      for (int p = 0; p < kPlayersPerLobby; ++p) {
        if (p % kPartySize == 0) {
          Party party;
          party.first = static_cast<int>(players_.size());
          party.lobby_party = p / kPartySize;
          parties_.push_back(party);
        }
        Player player;
        player.lobby = lobbies_[l].lobby;
        player.local_lobby = static_cast<int>(l);
        player.party = static_cast<int>(parties_.size()) - 1;
        player.seat = p % kPartySize;
        players_.push_back(std::move(player));
      }
    }
    // Player by player across the lobbies, and never more than a few
    // unanswered logins per lobby: a burst of connections to one server
    // overflows its short listen queue, and the kernel then drops a
    // connection attempt that is only tried again a second later.
    const int64_t deadline = monotonic_ns() + int64_t{kListenWaitMs} * 1000000;
    for (int p = 0; p < kPlayersPerLobby; ++p) {
      for (size_t l = 0; l < lobbies_.size(); ++l) {
        while (waiting_logins_[l] >= kLoginsInFlight && monotonic_ns() < deadline) pump(1);
        if (connect_one(static_cast<int>(l) * kPlayersPerLobby + p) != 0) return -1;
      }
    }
    return 0;
  }

  int connect_one(int index) {
    Player& player = players_[index];
    const int p = index % kPlayersPerLobby;
    const int port = lobbies_[player.local_lobby].port;
    // Each party from an address of its own: eight a source address, the
    // lobbies' default limit.
    const uint32_t source = kFirstSourceAddress + static_cast<uint32_t>(p / kPartySize);
    player.fd = connect_player(source, port);
    if (player.fd < 0) {
      error_ = "lobby " + std::to_string(player.lobby) + ": player " + std::to_string(p) +
               " cannot connect to port " + std::to_string(port);
      return -1;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = static_cast<uint32_t>(index);
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, player.fd, &event) != 0) {
      error_ = "epoll_ctl failed";
      return -1;
    }
    ++waiting_logins_[player.local_lobby];
    const int32_t id = kUserIdBase + player.lobby * kPlayersPerLobby + p;
    send(index, encode_name(id, "p" + std::to_string(id)) + encode_validation(1) +
                    encode_login(id, party_key(parties_[player.party]), kPartySize, kPartySize));
    return 0;
  }

  // Retries while the server is not listening yet.
  static int connect_player(uint32_t source, int port) {
    const int64_t deadline = monotonic_ns() + int64_t{kListenWaitMs} * 1000000;
    uint32_t addr_be = 0;
    net::parse_ipv4("127.0.0.1", &addr_be);
    for (;;) {
      const int fd = net::tcp_socket();
      if (fd < 0) return -1;
      // The port is then chosen by connect, which may reuse one that other
      // connections use towards other servers. Without it each bind looks
      // for a port no socket holds, which takes tens of milliseconds once
      // thousands are held.
      int on = 1;
      setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
      if (net::bind_ipv4(fd, source, 0) == 0 &&
          net::connect_ipv4(fd, addr_be, port, kConnectTimeoutMs) == 0) {
        net::set_no_delay(fd);
        return fd;
      }
      net::close_fd(fd);
      if (monotonic_ns() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(kConnectRetryMs));
    }
  }

  static int32_t party_key(const Party& party) { return party.lobby_party + 1; }

  void send(int index, const std::string& bytes) {
    Player& player = players_[index];
    if (player.fd < 0) return;
    const bool was_empty = player.outbox.empty();
    player.outbox += bytes;
    flush(index);
    if (was_empty && !player.outbox.empty()) watch_writable(index, true);
  }

  void flush(int index) {
    Player& player = players_[index];
    while (!player.outbox.empty()) {
      const int n = net::send_nb(player.fd, reinterpret_cast<const uint8_t*>(player.outbox.data()),
                                 static_cast<int>(player.outbox.size()));
      if (n == net::kIoWouldBlock) return;
      if (n < 0) {
        lose(index);
        return;
      }
      player.outbox.erase(0, static_cast<size_t>(n));
    }
  }

  void watch_writable(int index, bool on) {
    epoll_event event{};
    event.events = on ? EPOLLIN | EPOLLOUT : EPOLLIN;
    event.data.u32 = static_cast<uint32_t>(index);
    epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, players_[index].fd, &event);
  }

  void lose(int index) {
    Player& player = players_[index];
    if (player.fd < 0) return;
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, player.fd, nullptr);
    net::close_fd(player.fd);
    player.fd = -1;
    ++connections_lost;
    if (error_.empty()) {
      error_ = "lobby " + std::to_string(player.lobby) + ": a player lost its connection";
    }
  }

  void pump(int timeout_ms) {
    epoll_event events[256];
    const int n = epoll_wait(epoll_fd_, events, 256, timeout_ms);
    if (n <= 0) return;
    const int64_t at = monotonic_ns();
    for (int e = 0; e < n; ++e) {
      const int index = static_cast<int>(events[e].data.u32);
      if (players_[index].fd < 0) continue;
      if ((events[e].events & EPOLLOUT) != 0) {
        flush(index);
        if (players_[index].fd >= 0 && players_[index].outbox.empty()) watch_writable(index, false);
      }
      if ((events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) receive(index, at);
    }
  }

  void receive(int index, int64_t at) {
    uint8_t buffer[kReadChunk];
    for (;;) {
      Player& player = players_[index];
      if (player.fd < 0) return;
      const int n = net::recv_nb(player.fd, buffer, kReadChunk);
      if (n == net::kIoWouldBlock) return;
      if (n <= 0) {
        lose(index);
        return;
      }
      messages_.clear();
      player.decoder.feed(buffer, static_cast<size_t>(n), &messages_);
      for (const LobbyMessage& m : messages_) handle(index, m, at);
      if (n < kReadChunk) return;
    }
  }

  void handle(int index, const LobbyMessage& m, int64_t at) {
    Player& player = players_[index];
    Party& party = parties_[player.party];
    switch (m.letter) {
      case wire::kMsgListEnd:
        if (!player.logged_in) {
          player.logged_in = true;
          --waiting_logins_[player.local_lobby];
          logged_in_.fetch_add(1, std::memory_order_release);
        }
        break;
      case wire::kMsgFull:
      case wire::kMsgRefused:
        fail("lobby " + std::to_string(player.lobby) + ": a player was refused");
        break;
      case wire::kMsgChat:
        take_chat(player, party, m.text, at);
        break;
      case wire::kMsgDirect:
        take_direct(player, party, m.second, at);
        break;
      case wire::kMsgRoomMade:
        if (party.phase == Phase::kForming && player.seat == 0 && party.room < 0) {
          party.room = m.first;
          for (int s = 1; s < kPartySize; ++s) send(party.first + s, encode_room_op(party.room));
        }
        break;
      case wire::kMsgRoomResult:
        if (party.phase == Phase::kForming && player.seat == 0 && m.first == wire::kResultNone) {
          fail("lobby " + std::to_string(player.lobby) + ": no free room");
        }
        if (party.phase == Phase::kLeaving && !player.left) {
          player.left = true;
          if (++party.left == kPartySize) {
            party.phase = Phase::kLobby;
            party.next_cycle += kCycleNs;
            if (party.next_cycle <= at) party.next_cycle = at + kCycleNs;
          }
        }
        break;
      case wire::kMsgStatus:
        if (m.first == wire::kStatusJoinRefused) {
          fail("lobby " + std::to_string(player.lobby) + ": a join was refused");
        }
        if (m.first == wire::kStatusGameStarts && party.phase == Phase::kForming &&
            !player.started) {
          player.started = true;
          if (++party.started == kPartySize) {
            party.phase = Phase::kGame;
            party.phase_end = at + kGameNs;
            ++games;
          }
        }
        break;
      default:
        break;  // room lists, counts, seat lists, seats vacated
    }
  }

  void take_chat(Player& player, Party& party, const std::string& text, int64_t at) {
    int64_t f[5];  // lobby, party of the lobby, seat, sequence number, send time
    if (parse_tagged_text(text, 'F', f, 5) != 0 || f[0] != player.lobby ||
        f[1] != party.lobby_party || f[2] < 0 || f[2] >= kPartySize ||
        f[3] <= player.highest[f[2]]) {
      ++unexpected;
      return;
    }
    player.highest[f[2]] = f[3];
    ++delivered;
    if (party.outstanding > 0) --party.outstanding;
    chat_samples.push_back(at - f[4]);
  }

  void take_direct(Player& player, Party& party, int32_t value, int64_t at) {
    if (player.seat != 0 || value < 0 || value >= static_cast<int32_t>(directs_.size()) ||
        directs_[value].arrived || &parties_[directs_[value].party] != &party) {
      ++unexpected;
      return;
    }
    directs_[value].arrived = true;
    ++delivered;
    if (party.outstanding > 0) --party.outstanding;
    direct_samples.push_back(at - directs_[value].sent_ns);
  }

  void fail(const std::string& why) {
    if (error_.empty()) error_ = why;
  }

  // Spreads the parties' room cycles evenly over a minute, and each
  // player's chat and keep-alive over their intervals.
  void start_mix(int64_t start) {
    const int64_t parties = int64_t{fleet_lobbies_} * kPartiesPerLobby;
    for (Party& party : parties_) {
      const int64_t global =
          int64_t{players_[party.first].lobby} * kPartiesPerLobby + party.lobby_party;
      party.next_cycle = start + kCycleNs * global / parties;
    }
    for (size_t i = 0; i < players_.size(); ++i) {
      Player& p = players_[i];
      const int64_t global = int64_t{p.lobby} * kPlayersPerLobby +
                             int64_t{parties_[p.party].lobby_party} * kPartySize + p.seat;
      const int64_t everyone = int64_t{fleet_lobbies_} * kPlayersPerLobby;
      p.next_chat = start + kChatNs * global / everyone;
      p.next_keep_alive = start + kKeepAliveNs * ((global * 7) % everyone) / everyone;
      p.next_direct = start + kDirectNs * ((global * 13) % everyone) / everyone;
    }
  }

  void tick(int64_t now) {
    for (size_t i = 0; i < parties_.size(); ++i) tick_party(static_cast<int>(i), now);
    for (size_t i = 0; i < players_.size(); ++i) tick_player(static_cast<int>(i), now);
  }

  // A change between lobby and game waits until every line sent before it
  // has arrived, so that each line has the same readers from send to
  // delivery; after the bound it goes ahead and the rest counts as lost.
  bool may_change(Party& party, int64_t due, int64_t now) {
    return now >= due && (party.outstanding == 0 || now - due > kSettleBoundNs);
  }

  void tick_party(int index, int64_t now) {
    Party& party = parties_[index];
    switch (party.phase) {
      case Phase::kLobby:
        if (!may_change(party, party.next_cycle, now)) return;
        party.outstanding = 0;
        party.phase = Phase::kForming;
        party.phase_end = now + kFormBoundNs;
        party.room = -1;
        party.started = 0;
        for (int s = 0; s < kPartySize; ++s) players_[party.first + s].started = false;
        send(party.first, encode_room_op(wire::kOpCreate));
        return;
      case Phase::kForming:
        if (now < party.phase_end) return;
        fail("lobby " + std::to_string(players_[party.first].lobby) + ": a room did not start");
        leave(party, wire::kOpLeaveRoom);
        return;
      case Phase::kGame:
        if (!may_change(party, party.phase_end, now)) return;
        party.outstanding = 0;
        leave(party, wire::kOpLeaveGame);
        return;
      case Phase::kLeaving:
        return;
    }
  }

  // The members leave before the host, whose leaving frees the room.
  void leave(Party& party, int32_t op) {
    party.phase = Phase::kLeaving;
    party.left = 0;
    for (int s = kPartySize - 1; s >= 0; --s) {
      players_[party.first + s].left = false;
      send(party.first + s, encode_room_op(op));
    }
  }

  void tick_player(int index, int64_t now) {
    Player& p = players_[index];
    Party& party = parties_[p.party];
    if (p.fd < 0) return;
    if (now >= p.next_keep_alive) {
      send(index, encode_keep_alive());
      ++keep_alives;
      p.next_keep_alive += kKeepAliveNs;
    }
    const bool settled = party.phase == Phase::kLobby || party.phase == Phase::kGame;
    // Not while the party waits to change: its lines must all be in.
    const bool changing = (party.phase == Phase::kLobby && now >= party.next_cycle) ||
                          (party.phase == Phase::kGame && now >= party.phase_end);
    if (now >= p.next_chat && settled && !changing) {
      send(index, encode_chat(0, tagged_text('F', {p.lobby, party.lobby_party, p.seat, p.chat_seq++,
                                                   monotonic_ns()})));
      // The sender's own copy comes back too, like everyone else's.
      party.outstanding += kPartySize;
      expected += kPartySize;
      ++chat_sent;
      p.next_chat += kChatNs;
      if (p.next_chat <= now) p.next_chat = now + kChatNs;
    }
    if (now >= p.next_direct) {
      p.next_direct += kDirectNs;
      if (p.seat == 0 || party.phase != Phase::kGame || changing) return;
      DirectRecord record;
      record.sent_ns = monotonic_ns();
      record.party = p.party;
      directs_.push_back(record);
      send(index, encode_direct(kHostTarget, static_cast<int32_t>(directs_.size() - 1)));
      party.outstanding += 1;
      expected += 1;
      ++direct_sent;
    }
  }

  int64_t outstanding() const {
    int64_t sum = 0;
    for (const Party& party : parties_) sum += party.outstanding;
    return sum;
  }

  const Control& control_;
  const int fleet_lobbies_;
  std::vector<LobbyPort> lobbies_;
  std::vector<int> waiting_logins_;  // per lobby of this thread: logins sent, not answered
  std::vector<Player> players_;
  std::vector<Party> parties_;
  std::vector<DirectRecord> directs_;
  std::vector<LobbyMessage> messages_;
  int epoll_fd_ = -1;
  std::string error_;
  std::atomic<int> logged_in_{0};
  std::atomic<bool> failed_{false};
  std::atomic<bool> drained_{false};
};

// The servers' figures summed over every process.
struct ServerSample {
  ThreadTotals servers;
  ThreadTotals bench;  // this process: the players' threads
  int64_t at_ns = 0;
  bool complete = true;
};

ServerSample sample_servers(const std::vector<std::unique_ptr<ServerProcess>>& servers) {
  ServerSample sample;
  for (const auto& server : servers) {
    ThreadTotals totals;
    if (read_thread_totals(server->pid(), &totals) != kStatOk) sample.complete = false;
    sample.servers.cpu_ns += totals.cpu_ns;
    sample.servers.wakeups += totals.wakeups;
  }
  if (read_thread_totals(getpid(), &sample.bench) != kStatOk) sample.complete = false;
  sample.at_ns = monotonic_ns();
  return sample;
}

// CPU as % of one core (the servers' and the benchmark's own) and the
// servers' wake-ups per lobby per second between two samples.
void figures_between(const ServerSample& a, const ServerSample& b, int lobbies,
                     WindowFigures* out) {
  const double ns = static_cast<double>(b.at_ns - a.at_ns);
  out->seconds = ns / 1e9;
  if (!a.complete || !b.complete || ns <= 0) return;
  out->cpu_percent = 100.0 * static_cast<double>(b.servers.cpu_ns - a.servers.cpu_ns) / ns;
  out->bench_cpu_percent = 100.0 * static_cast<double>(b.bench.cpu_ns - a.bench.cpu_ns) / ns;
  out->wakeups_per_lobby_s =
      static_cast<double>(b.servers.wakeups - a.servers.wakeups) / lobbies / (ns / 1e9);
}

// Sleeps until `deadline_ns` or until `done` holds, looking every tick.
template <typename Done>
bool wait_until(int64_t deadline_ns, Done done) {
  while (!done()) {
    if (monotonic_ns() >= deadline_ns) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs * 4));
  }
  return true;
}

void raise_descriptor_limit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int start_servers(const FleetOptions& options, std::vector<std::unique_ptr<ServerProcess>>* servers,
                  std::vector<int>* ports, std::string* error) {
  std::set<int> taken;
  for (int l = 0; l < options.lobbies; ++l) {
    int port = -1;
    // Two picks in a row may name the same port; each lobby needs its own.
    for (int tries = 0; tries < 100 && (port <= 0 || taken.count(port) != 0); ++tries) {
      port = pick_free_port();
    }
    if (port <= 0 || taken.count(port) != 0) {
      *error = "no free port";
      return -1;
    }
    taken.insert(port);
    servers->push_back(std::make_unique<ServerProcess>());
    // Every party's address is in 127.0.0.0/24: one network, as far as
    // the lobby can tell.
    if (servers->back()->start(options.server_path, port, error, "L_PER_NET 0\n") != 0) return -1;
    ports->push_back(port);
  }
  return 0;
}

int run_with_servers(const FleetOptions& options, const std::vector<int>& ports,
                     const std::vector<std::unique_ptr<ServerProcess>>& servers,
                     FleetFigures* figures) {
  Control control;
  const int thread_count = options.threads < options.lobbies ? options.threads : options.lobbies;
  figures->client_threads = thread_count;
  std::vector<std::unique_ptr<ClientThread>> clients;
  for (int t = 0; t < thread_count; ++t) {
    clients.push_back(std::make_unique<ClientThread>(control, options.lobbies));
  }
  for (int l = 0; l < options.lobbies; ++l) clients[l % thread_count]->add_lobby(l, ports[l]);
  std::vector<std::thread> threads;
  for (auto& client : clients) threads.emplace_back([&client] { client->run(); });

  auto any_failed = [&] {
    for (const auto& client : clients) {
      if (client->failed()) return true;
    }
    return false;
  };
  auto logged_in = [&] {
    int sum = 0;
    for (const auto& client : clients) sum += client->logged_in();
    return sum;
  };
  int rc = 0;
  std::fprintf(stderr, "lobby_bench: logging in %d players\n", figures->players);
  if (!wait_until(monotonic_ns() + int64_t{kLoginWaitMs} * 1000000,
                  [&] { return any_failed() || logged_in() == figures->players; }) ||
      any_failed()) {
    figures->error = "not every player could log in (" + std::to_string(logged_in()) + " of " +
                     std::to_string(figures->players) + ")";
    rc = -1;
  }
  if (rc == 0) {
    control.mode.store(kModeIdle, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    std::fprintf(stderr, "lobby_bench: idle, %d s\n", options.idle_seconds);
    const ServerSample before = sample_servers(servers);
    std::this_thread::sleep_for(std::chrono::seconds(options.idle_seconds));
    figures_between(before, sample_servers(servers), options.lobbies, &figures->idle);

    std::fprintf(stderr, "lobby_bench: the mix, %d s\n", options.seconds);
    control.mix_start_ns.store(monotonic_ns(), std::memory_order_release);
    const ServerSample mix_before = sample_servers(servers);
    control.mode.store(kModeMix, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::seconds(options.seconds));
    figures_between(mix_before, sample_servers(servers), options.lobbies, &figures->mix);
    figures->rss_kb_sum = 0;
    figures->peak_rss_kb_sum = 0;
    for (const auto& server : servers) {
      int64_t kb = 0;
      if (read_rss_kb(server->pid(), &kb) == kStatOk) figures->rss_kb_sum += kb;
      if (read_peak_rss_kb(server->pid(), &kb) == kStatOk) figures->peak_rss_kb_sum += kb;
    }
    control.mode.store(kModeDrain, std::memory_order_release);
    wait_until(monotonic_ns() + int64_t{kDrainMs} * 1000000, [&] {
      for (const auto& client : clients) {
        if (!client->drained()) return false;
      }
      return true;
    });
  }
  control.mode.store(kModeEnd, std::memory_order_release);
  for (std::thread& thread : threads) thread.join();

  std::vector<int64_t> chat;
  std::vector<int64_t> direct;
  for (const auto& client : clients) {
    chat.insert(chat.end(), client->chat_samples.begin(), client->chat_samples.end());
    direct.insert(direct.end(), client->direct_samples.begin(), client->direct_samples.end());
    figures->chat_sent += client->chat_sent;
    figures->direct_sent += client->direct_sent;
    figures->keep_alives += client->keep_alives;
    figures->games += client->games;
    figures->expected += client->expected;
    figures->delivered += client->delivered;
    figures->unexpected += client->unexpected;
    figures->connections_lost += client->connections_lost;
    if (figures->error.empty() && !client->error().empty()) figures->error = client->error();
  }
  figures->lost = figures->expected - figures->delivered;
  std::vector<int64_t> all = chat;
  all.insert(all.end(), direct.begin(), direct.end());
  figures->chat = summarize(std::move(chat));
  figures->direct = summarize(std::move(direct));
  figures->relay = summarize(std::move(all));
  return figures->error.empty() ? rc : -1;
}

double ms(int64_t ns) { return static_cast<double>(ns) / 1e6; }

std::string number(double value, const char* format) {
  if (value < 0) return "null";
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string json_summary(const LatencySummary& s) {
  char text[200];
  std::snprintf(text, sizeof text,
                "{\"samples\": %zu, \"p50_ms\": %.6f, \"p99_ms\": %.6f, \"max_ms\": %.6f}", s.count,
                ms(s.p50_ns), ms(s.p99_ns), ms(s.max_ns));
  return text;
}

void print_window(const char* name, const WindowFigures& w) {
  std::printf("%-44s servers %s %% of one core, %s wake-ups/s per lobby; players %s %%\n",
              (std::string(name) + ", " + number(w.seconds, "%.1f") + " s:").c_str(),
              number(w.cpu_percent, "%.2f").c_str(), number(w.wakeups_per_lobby_s, "%.2f").c_str(),
              number(w.bench_cpu_percent, "%.1f").c_str());
}

std::string json_window(const WindowFigures& w) {
  return "{\"seconds\": " + number(w.seconds, "%.3f") +
         ", \"servers_cpu_percent\": " + number(w.cpu_percent, "%.3f") +
         ", \"wakeups_per_lobby_per_s\": " + number(w.wakeups_per_lobby_s, "%.3f") +
         ", \"players_cpu_percent\": " + number(w.bench_cpu_percent, "%.3f") + "}";
}

}  // namespace

int run_fleet(const FleetOptions& given, FleetFigures* figures) {
  FleetOptions options = given;
  if (options.threads <= 0) {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    options.threads = cores > 0 ? static_cast<int>(cores) : 1;
  }
  figures->lobbies = options.lobbies;
  figures->players = options.lobbies * kPlayersPerLobby;
  figures->server_path = options.server_path;
  raise_descriptor_limit();
  std::vector<std::unique_ptr<ServerProcess>> servers;
  std::vector<int> ports;
  std::fprintf(stderr, "lobby_bench: starting %d lobbies (%s)\n", options.lobbies,
               options.server_path.c_str());
  int rc = start_servers(options, &servers, &ports, &figures->error);
  if (rc == 0) rc = run_with_servers(options, ports, servers, figures);
  for (auto& server : servers) server->stop(kStopServerMs);
  return rc;
}

void print_fleet(const FleetFigures& f) {
  std::printf("\nlobby_bench --fleet: %d lobbies, %d players, %d client threads\n", f.lobbies,
              f.players, f.client_threads);
  std::printf("server: %s\n", f.server_path.c_str());
  print_window("idle", f.idle);
  print_window("the mix", f.mix);
  std::printf("%-44s %lld kB (peak %lld kB)\n",
              "RSS, sum over the servers:", static_cast<long long>(f.rss_kb_sum),
              static_cast<long long>(f.peak_rss_kb_sum));
  std::printf("%-44s %8s %10s %10s %10s\n", "relay latency (ms)", "samples", "p50", "p99", "max");
  const struct {
    const char* label;
    const LatencySummary* s;
  } rows[] = {
      {"  all deliveries", &f.relay}, {"  chat lines", &f.chat}, {"  direct messages", &f.direct}};
  for (const auto& row : rows) {
    std::printf("%-44s %8zu %10.3f %10.3f %10.3f\n", row.label, row.s->count, ms(row.s->p50_ns),
                ms(row.s->p99_ns), ms(row.s->max_ns));
  }
  std::printf("%-44s %lld chat lines, %lld direct messages, %lld keep-alives, %lld games\n",
              "sent:", static_cast<long long>(f.chat_sent), static_cast<long long>(f.direct_sent),
              static_cast<long long>(f.keep_alives), static_cast<long long>(f.games));
  std::printf("%-44s %lld owed, %lld delivered, %lld lost, %lld not owed\n",
              "deliveries:", static_cast<long long>(f.expected),
              static_cast<long long>(f.delivered), static_cast<long long>(f.lost),
              static_cast<long long>(f.unexpected));
  if (f.connections_lost > 0) {
    std::printf("%-44s %lld\n", "connections lost:", static_cast<long long>(f.connections_lost));
  }
  if (!f.error.empty()) std::printf("stopped early: %s\n", f.error.c_str());
  std::fflush(stdout);
}

std::string fleet_json(const FleetFigures& f) {
  std::string j = "{\n  \"fleet\": {\n";
  j += "    \"lobbies\": " + std::to_string(f.lobbies) + ",\n";
  j += "    \"players\": " + std::to_string(f.players) + ",\n";
  j += "    \"client_threads\": " + std::to_string(f.client_threads) + ",\n";
  j += "    \"idle\": " + json_window(f.idle) + ",\n";
  j += "    \"mix\": " + json_window(f.mix) + ",\n";
  j += "    \"rss_kb_sum\": " + std::to_string(f.rss_kb_sum) + ",\n";
  j += "    \"peak_rss_kb_sum\": " + std::to_string(f.peak_rss_kb_sum) + ",\n";
  j += "    \"relay\": " + json_summary(f.relay) + ",\n";
  j += "    \"chat\": " + json_summary(f.chat) + ",\n";
  j += "    \"direct\": " + json_summary(f.direct) + ",\n";
  j += "    \"chat_sent\": " + std::to_string(f.chat_sent) + ",\n";
  j += "    \"direct_sent\": " + std::to_string(f.direct_sent) + ",\n";
  j += "    \"keep_alives\": " + std::to_string(f.keep_alives) + ",\n";
  j += "    \"games\": " + std::to_string(f.games) + ",\n";
  j += "    \"expected\": " + std::to_string(f.expected) + ",\n";
  j += "    \"delivered\": " + std::to_string(f.delivered) + ",\n";
  j += "    \"lost\": " + std::to_string(f.lost) + ",\n";
  j += "    \"unexpected\": " + std::to_string(f.unexpected) + ",\n";
  j += "    \"connections_lost\": " + std::to_string(f.connections_lost) + ",\n";
  std::string error = "null";
  if (!f.error.empty()) {
    error = "\"";
    for (char c : f.error) {
      if (c == '"' || c == '\\') error += '\\';
      error += c;
    }
    error += "\"";
  }
  j += "    \"error\": " + error + "\n  }\n}\n";
  return j;
}

}  // namespace bench
