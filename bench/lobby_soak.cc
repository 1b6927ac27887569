// Soak test for the lobby: runs a realistic mix of clients against one
// server for a given time and checks that every chat line and direct
// message reaches every client entitled to it, intact and in order, and
// nothing reaches a client it is not meant for.
//
//   lobby_soak [--seconds N] [--attackers on|off] [--lobbies busy|griefers|both]
//              [--upgrade-every SECONDS] [--host H --port P]
//
// Without an address it starts its own server (lobby_server beside this
// executable) in a temporary directory and reads its event log at the end.
// 24 steady clients in three groups of eight chat in their group; in each
// group three of them at a time make a room, fill it (which starts its
// game), chat in the game and send each other direct messages, then leave
// the game. Meanwhile churning clients connect, log in to a group, perhaps
// say one line, and drop (closing or resetting the connection). Unless
// turned off, attackers run beside them (soak_attackers.h): silent
// connections, a crowd of clones from one address, a chat flooder with an
// honest watcher in its group, and a denied address; the server it starts
// then has its protections set to show within the run. Honest clients
// connect from several loopback addresses (two each, the per-address
// limit), and their login times are measured. With --upgrade-every, its
// own busy server is upgraded in place that often while all this goes on
// (each new program taking over every connection), and nothing may be lost
// to it. The figures go to standard
// output; the exit status is 0 when nothing was
// lost or misdelivered, 1 when something was, 2 when the soak could not
// run. See soak_ledger.h for what counts as owed.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/server_process.h"
#include "bench/soak_attackers.h"
#include "bench/soak_griefers.h"
#include "bench/soak_ledger.h"
#include "bench/stats.h"
#include "client/tcp_link.h"
#include "client/wire_codec.h"

namespace {

using client::LobbyMessage;
using soak::Context;
using soak::kForever;
using soak::Ns;

constexpr Ns kMs = 1000000;
constexpr int kExitPass = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr int kGroups = 3;
constexpr int kGroupSize = 8;
constexpr int kSteadyClients = kGroups * kGroupSize;
constexpr int kTeamSize = 3;
constexpr int kMaxChurners = 6;
// With the attackers on, fewer churners: the honest clients, the clones
// that get in, the flooder and its watcher leave two slots to the silent
// connections, so that these reach their login deadline, or give way to a
// newcomer when every slot is taken.
constexpr int kMaxChurnersAttacked = 2;
// The protections of our own server with the attackers on: low enough to
// show within a short run. Honest clients connect from several addresses,
// kPerAddress each.
constexpr int kPerAddress = 2;
constexpr int kFloodRate = 25;
constexpr int kFloodBurst = 50;
// Every client of the soak, honest or not, comes from 127.0.0.0/24, which
// the lobby takes for one network: its limit would refuse honest clients.
constexpr char kOwnSettings[] = "L_PER_NET 0\n";
constexpr char kAttackedSettings[] =
    "L_PER_IP 2\nL_LOGIN_WAIT 5\nL_FLOOD_RATE 25\nL_FLOOD_BURST 50\nL_DENY deny.txt\n"
    "L_PER_NET 0\n";
constexpr char kDenied[] = "; the soak's denied attackers\n127.0.0.4\n127.0.0.7\n";
constexpr int kSteadySourceBase = 10;  // 127.0.0.10, 127.0.0.11, ...
constexpr int kChurnSourceBase = 30;
constexpr int kChurnSources = 8;
constexpr int32_t kSeats = 8;
constexpr int32_t kStartSize = kTeamSize;  // a room's game starts when its team is in
constexpr int32_t kSteadyBaseId = 1000;
constexpr int32_t kChurnBaseId = 5000;
constexpr int32_t kHostTarget = 0xffff;
constexpr int kMaxChatText = 73;  // 80 bytes in all

// Paces. The chat ring gives each reader one line a pass; these rates stay
// far below what the lobby's passes take, so that no reader falls behind.
constexpr int kGroupChatMs[2] = {3000, 6000};
constexpr int kGameChatMs[2] = {500, 1000};
constexpr int kDirectMs[2] = {300, 700};
constexpr int kPlayMs[2] = {5000, 12000};
constexpr int kTeamPauseMs[2] = {1000, 3000};
constexpr int kChurnEveryMs[2] = {150, 400};
constexpr int kChurnLifeMs[2] = {200, 2500};
constexpr Ns kKeepAliveMs = 20000;
// Bounds of every wait on the lobby.
constexpr int kConnectTimeoutMs = 3000;
constexpr Ns kListenWaitMs = 10000;
constexpr Ns kStepBoundMs = 5000;
constexpr Ns kDrainBoundMs = 5000;
constexpr Ns kWindDownBoundMs = 30000;
constexpr Ns kProgressEveryMs = 10000;

struct Options {
  int seconds = 60;
  bool attackers = true;
  // Which lobbies: the busy one, the griefers' one, or both (the
  // griefers' needs the attackers on and a server of our own).
  std::string lobbies = "both";
  std::string host = "127.0.0.1";
  int port = 0;           // 0: start a server of our own
  int upgrade_every = 0;  // seconds between upgrades of our own busy server; 0: none
};

const char kUsage[] =
    "Usage: lobby_soak [--seconds N] [--attackers on|off] [--lobbies busy|griefers|both]\n"
    "                  [--upgrade-every SECONDS] [--host H --port P]\n"
    "Runs 24 steady clients (chat, rooms, games, direct messages) and churning\n"
    "clients against a lobby for N seconds (default 60) and checks every\n"
    "delivery, with attackers beside them unless --attackers off (silent\n"
    "connections, clones from one address, a flooder, a denied address).\n"
    "Without --port it starts lobby_server from its own directory, and with the\n"
    "attackers on it then runs a second lobby of its own for about 80 s: the\n"
    "griefers' lobby, with the shipped protections, where 8 honest players chat\n"
    "and newcomers arrive while griefers try every attack that costs a lobby its\n"
    "games (--lobbies chooses either alone). --upgrade-every upgrades its own busy\n"
    "server in place that often (lobbyctl upgrade), and prints each pause.\n"
    "Exit status: 0 all delivered as owed, 1 something lost or misdelivered,\n"
    "2 the soak could not run.\n";

int parse_options(int argc, char** argv, Options* options) {
  bool host_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(kExitPass);
    }
    if (i + 1 >= argc) return -1;
    const std::string value = argv[++i];
    char* end = nullptr;
    const long number = std::strtol(value.c_str(), &end, 10);
    const bool numeric = !value.empty() && *end == '\0';
    if (arg == "--seconds" && numeric && number >= 1 && number <= 86400) {
      options->seconds = static_cast<int>(number);
    } else if (arg == "--port" && numeric && number >= 1 && number <= 65535) {
      options->port = static_cast<int>(number);
    } else if (arg == "--upgrade-every" && numeric && number >= 1 && number <= 3600) {
      options->upgrade_every = static_cast<int>(number);
    } else if (arg == "--attackers" && (value == "on" || value == "off")) {
      options->attackers = value == "on";
    } else if (arg == "--lobbies" && (value == "busy" || value == "griefers" || value == "both")) {
      options->lobbies = value;
    } else if (arg == "--host") {
      options->host = value;
      host_given = true;
    } else {
      return -1;
    }
  }
  if (options->upgrade_every > 0 && options->port != 0) return -1;
  return host_given && options->port == 0 ? -1 : 0;
}

// The upgrades of our own busy server while the soak runs.
struct Upgrades {
  int every_s = 0;
  int done = 0;
  int failed = 0;
  std::vector<int64_t> pauses_ms;
  std::string first_error;
};

class Random {
 public:
  explicit Random(uint64_t seed) : engine_(seed) {}
  int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine_); }
  int between(const int range[2]) { return between(range[0], range[1]); }
  bool chance(int percent) { return between(1, 100) <= percent; }

 private:
  std::mt19937_64 engine_;
};

enum class Role { kSteady, kChurner };

struct Client {
  Role role = Role::kSteady;
  int index = 0;
  int32_t id = 0;
  int32_t key = 0;
  std::string name;
  client::TcpLink link;
  client::LobbyDecoder decoder;
  int reader = -1;
  bool logged_in = false;
  bool gone = false;
  Ns next_chat = 0;
  Ns next_direct = 0;
  Ns last_send = 0;
  // What the lobby told it about rooms and games, for the team steps.
  int32_t room_made = -1;
  int32_t room_result = -1;
  int32_t joined_room = -1;  // from the member count the group hears
  int32_t joined_members = -1;
  bool join_refused = false;
  bool started = false;
  int32_t seat = -1;
  std::map<int32_t, std::string> roster;
  // Churners only.
  Ns drop_at = kForever;
  int32_t own_line = -1;
  bool saw_own_line = false;
  Ns connect_at = 0;    // when its connect began
  Ns connected_at = 0;  // when the connection was made
};

enum class TeamState {
  kIdle,
  kForming,
  kJoining,
  kDrainToStart,
  kStarting,
  kPlaying,
  kDrainToLeave,
  kLeaving,
};

struct Team {
  TeamState state = TeamState::kIdle;
  int members[kTeamSize] = {-1, -1, -1};
  int rotation = 0;
  int32_t room = -1;
  int32_t game = -1;
  Ns deadline = 0;
  Ns next_at = 0;
  Ns play_until = 0;
};

struct Counts {
  int64_t steady_connects = 0;
  int64_t churn_connects = 0;
  int64_t churn_closed = 0;
  int64_t churn_reset = 0;
  int64_t refused_full = 0;
  int64_t connect_failures = 0;
  int64_t steady_dropped = 0;
  int64_t churners_dropped = 0;  // ended by the lobby, not by us
  int64_t login_refused = 0;
  int64_t junk = 0;
  int64_t games = 0;
  int64_t roster_errors = 0;
  int64_t stalls = 0;
  int64_t keep_alives = 0;
  // Connect made to end of room list, and the connects themselves, in ns.
  std::vector<int64_t> steady_logins;
  std::vector<int64_t> churn_logins;
  std::vector<int64_t> churn_connect_times;
};

int64_t read_rss_kb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
  }
  return -1;
}

class Soak {
 public:
  Soak(const Options& options, int port)
      : options_(options),
        port_(port),
        random_(20240611),
        spread_(options.host.rfind("127.", 0) == 0),
        attackers_(options.host, port) {
    attackers_.set_pace(kFloodRate, kFloodBurst);
  }

  // Connects and logs in the steady clients; false when the lobby cannot
  // be reached.
  bool start() {
    const Ns begin = now();
    for (int i = 0; i < kSteadyClients; ++i) {
      auto c = std::make_unique<Client>();
      c->index = i;
      c->id = kSteadyBaseId + i;
      c->key = 1 + i / kGroupSize;
      c->name = "st" + std::to_string(i);
      c->connect_at = now();
      // The first connection waits for the server to listen.
      while (c->link.connect_to(options_.host, port_, kConnectTimeoutMs,
                                source(kSteadySourceBase + i / kPerAddress)) != client::kLinkOk) {
        if (i > 0 || now() - begin > kListenWaitMs * kMs) {
          std::fprintf(stderr, "lobby_soak: cannot connect to %s:%d\n", options_.host.c_str(),
                       port_);
          return false;
        }
        usleep(20000);
      }
      ++counts_.steady_connects;
      c->connected_at = now();
      c->reader = ledger_.add_reader(true);
      log_in(*c);
      clients_.push_back(std::move(c));
    }
    const Ns deadline = now() + kStepBoundMs * kMs;
    while (now() < deadline) {
      step();
      bool all = true;
      for (int i = 0; i < kSteadyClients; ++i) all = all && clients_[i]->logged_in;
      if (all) break;
    }
    for (int i = 0; i < kSteadyClients; ++i) {
      if (!clients_[i]->logged_in) {
        std::fprintf(stderr, "lobby_soak: client %d was not logged in\n", i);
        return false;
      }
      clients_[i]->next_chat = now() + random_.between(kGroupChatMs) * kMs;
    }
    for (Team& t : teams_) t.next_at = now() + random_.between(kTeamPauseMs) * kMs;
    if (options_.attackers) attackers_.start(now());
    return true;
  }

  void run() {
    const Ns begin = now();
    const Ns end = begin + static_cast<Ns>(options_.seconds) * 1000 * kMs;
    Ns next_progress = begin + kProgressEveryMs * kMs;
    while (now() < end) {
      step();
      if (now() >= next_progress) {
        progress((now() - begin) / (1000 * kMs));
        next_progress += kProgressEveryMs * kMs;
      }
    }
    // Wind down: no new lines, teams or churners; games end as usual.
    ending_ = true;
    if (options_.attackers) attackers_.stop(now());
    const Ns wind_down = now() + kWindDownBoundMs * kMs;
    while (now() < wind_down && !quiet()) step();
    if (!quiet()) ++counts_.stalls;
    // The steady clients receive what they are still owed.
    for (int i = 0; i < kSteadyClients; ++i) ledger_.start_drain(clients_[i]->reader, now());
    const Ns drain = now() + kDrainBoundMs * kMs;
    while (now() < drain && !drained()) step();
    ledger_.finish();
  }

  const Counts& counts() const { return counts_; }
  const soak::Attackers& attackers() const { return attackers_; }
  const soak::Figures& figures() const { return ledger_.figures(); }

 private:
  static Ns now() { return bench::monotonic_ns(); }

  // The loopback address 127.0.0.N to connect from, or none when the lobby
  // is not on loopback.
  std::string source(int n) const {
    return spread_ ? "127.0.0." + std::to_string(n) : std::string();
  }

  void send(Client& c, const std::string& bytes) {
    c.last_send = now();
    c.link.send(bytes);
  }

  void log_in(Client& c) {
    ledger_.trigger(c.reader, soak::group_context(c.key), now());
    send(c, client::encode_name(c.id, c.name) + client::encode_validation(1) +
                client::encode_login(c.id, c.key, kSeats, kStartSize));
  }

  // One pass: everything that arrived, then whatever is due.
  void step() {
    std::vector<pollfd> fds;
    std::vector<Client*> of;
    for (auto& c : clients_) {
      if (c->gone || !c->link.open()) continue;
      short events = POLLIN;
      if (c->link.wants_write()) events |= POLLOUT;
      fds.push_back({c->link.fd(), events, 0});
      of.push_back(c.get());
    }
    poll(fds.data(), fds.size(), 2);
    for (size_t i = 0; i < fds.size(); ++i) {
      Client& c = *of[i];
      if (fds[i].revents & POLLOUT) c.link.flush();
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) take_input(c);
    }
    const Ns t = now();
    for (int i = 0; i < kSteadyClients; ++i) steady_due(*clients_[i], t);
    for (int g = 0; g < kGroups; ++g) team_step(g, t);
    churn_step(t);
    if (options_.attackers && !ending_) attackers_.step(t);
  }

  void take_input(Client& c) {
    std::string bytes;
    const int rc = c.link.receive(&bytes);
    std::vector<LobbyMessage> messages;
    c.decoder.feed(bytes, &messages);
    for (const LobbyMessage& m : messages) handle(c, m);
    if (rc == client::kLinkClosed && !c.gone) {
      // Ended by the lobby.
      c.gone = true;
      c.link.close();
      ledger_.close_reader(c.reader, now());
      if (c.role == Role::kSteady) {
        ++counts_.steady_dropped;
        std::fprintf(stderr, "lobby_soak: steady client %d was dropped\n", c.index);
      } else {
        ++counts_.churners_dropped;
      }
    }
  }

  void handle(Client& c, const LobbyMessage& m) {
    const Ns t = now();
    switch (m.letter) {
      case 'O':
        if (!c.logged_in) {
          c.logged_in = true;
          (c.role == Role::kSteady ? counts_.steady_logins : counts_.churn_logins)
              .push_back(t - c.connected_at);
          ledger_.settle(c.reader, t);
          if (c.role == Role::kChurner) churner_logged_in(c, t);
        }
        break;
      case 'C':
        ledger_.receive_chat(c.reader, m.first, m.raw, t);
        if (m.first == c.own_line) c.saw_own_line = true;
        break;
      case 'D':
        ledger_.receive_direct(c.reader, m.first, m.second, t);
        break;
      case 'M':
        c.room_made = m.first;
        break;
      case 'J':
        c.room_result = m.first;
        break;
      case 'Q':
        c.joined_room = m.first;
        c.joined_members = m.second;
        break;
      case 'N':
        c.roster[m.first] = m.text;
        if (m.second == 1) c.seat = m.first;
        break;
      case 'S':
        if (m.first == 2) {
          c.started = true;
          ledger_.settle(c.reader, t);
        } else {
          c.join_refused = true;
        }
        break;
      case 'A':
        ++counts_.refused_full;
        break;
      case 'V':
        ++counts_.login_refused;
        break;
      case 'H':
      case 'R':
      case 'F':
        break;
      default:
        ++counts_.junk;
        break;
    }
  }

  // A chat line from `c` in `context`: its number in the opaque field and
  // in the text, which also names the sender and is padded to a length of
  // its own.
  void chat(Client& c, Context context) {
    const int32_t number = ledger_.next_id();
    std::string text = "s" + std::to_string(c.id) + " #" + std::to_string(number) +
                       (context.kind == soak::Kind::kGame ? " game " : " group ") +
                       std::to_string(context.id) + " ";
    const size_t length = std::min<size_t>(kMaxChatText, text.size() + number % 40);
    for (size_t i = text.size(); i < length; ++i)
      text += static_cast<char>('a' + (number + i) % 26);
    const std::string raw = client::encode_chat(number, text);
    ledger_.add_chat(c.reader, context, raw, now());
    send(c, raw);
  }

  // --- Steady clients.

  // Which context the client may chat in now (kind kNone: none).
  Context chat_context(const Client& c) const {
    if (ending_ || c.gone || !c.logged_in || !ledger_.certain(c.reader)) return {};
    const Team* team = team_of(c);
    if (team == nullptr || team->state == TeamState::kForming ||
        team->state == TeamState::kJoining) {
      return soak::group_context(c.key);
    }
    if (team->state == TeamState::kPlaying) return soak::game_context(team->game);
    return {};
  }

  void steady_due(Client& c, Ns t) {
    if (c.gone) return;
    const Context context = chat_context(c);
    if (context.kind != soak::Kind::kNone && t >= c.next_chat) {
      chat(c, context);
      const int* range = context.kind == soak::Kind::kGame ? kGameChatMs : kGroupChatMs;
      c.next_chat = t + random_.between(range) * kMs;
    }
    if (context.kind == soak::Kind::kGame && t >= c.next_direct) {
      direct_from(c, *team_of(c));
      c.next_direct = t + random_.between(kDirectMs) * kMs;
    }
    if (t - c.last_send >= kKeepAliveMs * kMs) {
      send(c, client::encode_keep_alive());
      ++counts_.keep_alives;
    }
  }

  // A direct message to another member of the game, by seat or, for the
  // host, now and then by the host address.
  void direct_from(Client& c, const Team& team) {
    Client* to = nullptr;
    while (to == nullptr || to == &c) to = clients_[team.members[random_.between(0, 2)]].get();
    const bool to_host = to->seat == 0 && random_.chance(50);
    const int32_t target = to_host ? kHostTarget : to->seat;
    const int32_t code = to_host ? (~c.seat & 0xffff) : c.seat;
    const int32_t number = ledger_.next_id();
    ledger_.add_direct(c.reader, to->reader, code, soak::game_context(team.game), now());
    send(c, client::encode_direct(target, number));
  }

  // --- Teams: one room and game at a time in each group.

  const Team* team_of(const Client& c) const {
    if (c.role != Role::kSteady) return nullptr;
    const Team& team = teams_[c.index / kGroupSize];
    if (team.state == TeamState::kIdle) return nullptr;
    for (int m : team.members) {
      if (m == c.index) return &team;
    }
    return nullptr;
  }

  Client& member(const Team& team, int k) { return *clients_[team.members[k]]; }

  void enter(Team& team, TeamState state, Ns t) {
    team.state = state;
    team.deadline = t + kStepBoundMs * kMs;
  }

  // A step that did not complete in time. Before the last join the members
  // are still in their group: they give up the room and the team starts
  // over later. From then on they leave as after a game.
  void stall(Team& team, Ns t, const char* what) {
    ++counts_.stalls;
    std::fprintf(stderr, "lobby_soak: group %d: %s did not happen in time\n", member(team, 0).key,
                 what);
    if (team.state == TeamState::kForming || team.state == TeamState::kJoining) {
      for (int k = 0; k < kTeamSize; ++k) {
        if (!member(team, k).gone) send(member(team, k), client::encode_room_op(-2));
      }
      team.state = TeamState::kIdle;
      team.next_at = t + random_.between(kTeamPauseMs) * kMs;
      return;
    }
    leave(team, t);
  }

  void leave(Team& team, Ns t) {
    for (int k = 0; k < kTeamSize; ++k) {
      Client& c = member(team, k);
      if (c.gone) continue;
      ledger_.trigger(c.reader, soak::group_context(c.key), t);
      c.room_result = -1;
      send(c, client::encode_room_op(-3));
    }
    enter(team, TeamState::kLeaving, t);
  }

  bool team_drained(const Team& team) {
    for (int k = 0; k < kTeamSize; ++k) {
      if (ledger_.drain_missing(member(team, k).reader) > 0) return false;
    }
    return true;
  }

  void team_step(int g, Ns t) {
    Team& team = teams_[g];
    bool any_gone = false;
    for (int k = 0; k < kTeamSize && team.state != TeamState::kIdle; ++k) {
      any_gone = any_gone || member(team, k).gone;
    }
    if (any_gone && team.state != TeamState::kLeaving) {
      stall(team, t, "a member's presence");
      return;
    }
    switch (team.state) {
      case TeamState::kIdle: {
        if (ending_ || t < team.next_at) return;
        for (int k = 0; k < kTeamSize; ++k) {
          team.members[k] = g * kGroupSize + (team.rotation * kTeamSize + k) % kGroupSize;
          if (member(team, k).gone) return;
        }
        ++team.rotation;
        Client& host = member(team, 0);
        host.room_made = -1;
        host.room_result = -1;
        send(host, client::encode_room_op(-1));
        enter(team, TeamState::kForming, t);
        return;
      }
      case TeamState::kForming: {
        Client& host = member(team, 0);
        if (host.room_result == 1 && host.room_made >= 0) {
          team.room = host.room_made;
          Client& joiner = member(team, 1);
          joiner.joined_room = -1;
          joiner.join_refused = false;
          send(joiner, client::encode_room_op(team.room));
          enter(team, TeamState::kJoining, t);
        } else if (host.room_result == 0 || t > team.deadline) {
          stall(team, t, "making a room");
        }
        return;
      }
      case TeamState::kJoining: {
        Client& joiner = member(team, 1);
        if (joiner.joined_room == team.room && joiner.joined_members == 2) {
          for (int k = 0; k < kTeamSize; ++k) ledger_.start_drain(member(team, k).reader, t);
          enter(team, TeamState::kDrainToStart, t);
        } else if (joiner.join_refused || t > team.deadline) {
          stall(team, t, "the first join");
        }
        return;
      }
      case TeamState::kDrainToStart: {
        if (!team_drained(team) && t <= team.deadline) return;
        // The last join fills the room: each member's game starts when its
        // own pass sees it, which its 2S 2 marks.
        team.game = next_game_++;
        for (int k = 0; k < kTeamSize; ++k) {
          Client& c = member(team, k);
          c.started = false;
          c.seat = -1;
          c.roster.clear();
          ledger_.trigger(c.reader, soak::game_context(team.game), t);
        }
        Client& last = member(team, 2);
        last.join_refused = false;
        send(last, client::encode_room_op(team.room));
        enter(team, TeamState::kStarting, t);
        return;
      }
      case TeamState::kStarting: {
        bool all = true;
        for (int k = 0; k < kTeamSize; ++k) all = all && member(team, k).started;
        if (all) {
          ++counts_.games;
          check_roster(team);
          team.play_until = t + (ending_ ? 0 : random_.between(kPlayMs) * kMs);
          for (int k = 0; k < kTeamSize; ++k) {
            member(team, k).next_chat = t + random_.between(kGameChatMs) * kMs;
            member(team, k).next_direct = t + random_.between(kDirectMs) * kMs;
          }
          enter(team, TeamState::kPlaying, t);
        } else if (member(team, 2).join_refused || t > team.deadline) {
          stall(team, t, "the game's start");
        }
        return;
      }
      case TeamState::kPlaying:
        if (t >= team.play_until || ending_) {
          for (int k = 0; k < kTeamSize; ++k) ledger_.start_drain(member(team, k).reader, t);
          enter(team, TeamState::kDrainToLeave, t);
        }
        return;
      case TeamState::kDrainToLeave:
        if (team_drained(team) || t > team.deadline) leave(team, t);
        return;
      case TeamState::kLeaving: {
        bool all = true;
        for (int k = 0; k < kTeamSize; ++k) {
          all = all && (member(team, k).gone || member(team, k).room_result == 0);
        }
        if (!all && t <= team.deadline) return;
        if (!all) {
          ++counts_.stalls;
          std::fprintf(stderr, "lobby_soak: group %d: leaving did not happen in time\n",
                       member(team, 0).key);
        }
        for (int k = 0; k < kTeamSize; ++k) {
          Client& c = member(team, k);
          if (c.gone) continue;
          ledger_.settle(c.reader, t);
          c.next_chat = t + random_.between(kGroupChatMs) * kMs;
        }
        team.state = TeamState::kIdle;
        team.next_at = t + random_.between(kTeamPauseMs) * kMs;
        return;
      }
    }
  }

  // Host in seat 0, the joiners in seats 1 and 2, as each one's list says.
  void check_roster(const Team& team) {
    for (int k = 0; k < kTeamSize; ++k) {
      Client& c = member(team, k);
      bool right = c.seat == k;
      for (int s = 0; s < kTeamSize; ++s) {
        auto entry = c.roster.find(s);
        right = right && entry != c.roster.end() && entry->second == member(team, s).name;
      }
      if (!right) {
        ++counts_.roster_errors;
        std::fprintf(stderr, "lobby_soak: %s got a wrong seat list\n", c.name.c_str());
      }
    }
  }

  // --- Churning clients.

  void churn_step(Ns t) {
    int active = 0;
    for (size_t i = kSteadyClients; i < clients_.size(); ++i) {
      Client& c = *clients_[i];
      if (c.gone) continue;
      ++active;
      const bool said = c.own_line < 0 || c.saw_own_line;
      if (t >= c.drop_at && (said || t > c.drop_at + kStepBoundMs * kMs)) drop_churner(c, t);
    }
    const int most = options_.attackers ? kMaxChurnersAttacked : kMaxChurners;
    if (ending_ || active >= most || t < next_churn_) return;
    next_churn_ = t + random_.between(kChurnEveryMs) * kMs;
    auto c = std::make_unique<Client>();
    c->role = Role::kChurner;
    c->index = static_cast<int>(clients_.size());
    c->id = kChurnBaseId + churn_count_++;
    c->key = random_.between(1, kGroups);
    c->name = "ch" + std::to_string(c->id);
    c->connect_at = now();
    if (c->link.connect_to(options_.host, port_, kConnectTimeoutMs,
                           source(kChurnSourceBase + c->id % kChurnSources)) != client::kLinkOk) {
      ++counts_.connect_failures;
      return;
    }
    ++counts_.churn_connects;
    c->connected_at = now();
    counts_.churn_connect_times.push_back(c->connected_at - c->connect_at);
    c->reader = ledger_.add_reader(false);
    c->drop_at = t + kStepBoundMs * kMs;  // unless logged in before
    log_in(*c);
    clients_.push_back(std::move(c));
  }

  void churner_logged_in(Client& c, Ns t) {
    if (!ending_ && random_.chance(50)) {
      c.own_line = ledger_.next_id();
      chat(c, soak::group_context(c.key));
    }
    c.drop_at = t + random_.between(kChurnLifeMs) * kMs;
  }

  void drop_churner(Client& c, Ns t) {
    if (random_.chance(50)) {
      // A reset instead of an orderly end.
      linger l{1, 0};
      setsockopt(c.link.fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
      ++counts_.churn_reset;
    } else {
      ++counts_.churn_closed;
    }
    c.link.close();
    c.gone = true;
    ledger_.close_reader(c.reader, t);
  }

  // --- Ends.

  bool quiet() const {
    for (const Team& t : teams_) {
      if (t.state != TeamState::kIdle) return false;
    }
    for (size_t i = kSteadyClients; i < clients_.size(); ++i) {
      if (!clients_[i]->gone) return false;
    }
    return true;
  }

  bool drained() const {
    for (int i = 0; i < kSteadyClients; ++i) {
      if (ledger_.pending(clients_[i]->reader) > 0) return false;
    }
    return true;
  }

  void progress(int64_t seconds) {
    const soak::Figures& f = ledger_.figures();
    std::printf(
        "t=%llds: chat %lld, direct %lld, delivered %lld, lost %lld, foreign %lld, "
        "churners %lld, games %lld\n",
        static_cast<long long>(seconds), static_cast<long long>(f.chat_sent),
        static_cast<long long>(f.directs_sent), static_cast<long long>(f.delivered),
        static_cast<long long>(f.lost), static_cast<long long>(f.foreign),
        static_cast<long long>(counts_.churn_connects), static_cast<long long>(counts_.games));
    std::fflush(stdout);
  }

  const Options options_;
  const int port_;
  Random random_;
  const bool spread_;
  soak::Attackers attackers_;
  soak::Ledger ledger_;
  std::vector<std::unique_ptr<Client>> clients_;  // steady first, then churners
  Team teams_[kGroups];
  Counts counts_;
  bool ending_ = false;
  int32_t next_game_ = 1;
  int32_t churn_count_ = 0;
  Ns next_churn_ = 0;
};

// Drop lines of the server's event log by reason, and its refusals.
struct LogCounts {
  bool read = false;
  std::map<std::string, int64_t> drops;
  std::map<std::string, int64_t> refusals;
  int64_t bans = 0;  // "automatic ban A.B.C.D until ..."
  std::string shutdown;
};

// Every line starts with "YYYY-MM-DD HH:MM:SS ".
constexpr size_t kStampLength = 20;

LogCounts read_log(const std::string& path) {
  LogCounts counts;
  std::ifstream in(path);
  if (!in) return counts;
  counts.read = true;
  std::string line;
  while (std::getline(in, line)) {
    // "drop slot N user U: <reason> (drops: ...)"
    const size_t drop = line.find("drop slot ");
    if (drop != std::string::npos) {
      const size_t from = line.find(": ", drop);
      const size_t to = line.find(" (", from);
      if (from != std::string::npos && to != std::string::npos) {
        ++counts.drops[line.substr(from + 2, to - from - 2)];
      }
    }
    // "refused A.B.C.D: <reason>", and the repeats of a minute folded into
    // one line: "refused A.B.C.D: <reason> ×N in the last S s", and the
    // same with "dropped".
    const bool refused = line.compare(kStampLength, 8, "refused ") == 0;
    if (refused || line.compare(kStampLength, 8, "dropped ") == 0) {
      std::map<std::string, int64_t>& by_reason = refused ? counts.refusals : counts.drops;
      const size_t reason = line.find(": ", kStampLength);
      const size_t times = line.find(" \xC3\x97", kStampLength);
      if (reason != std::string::npos && times == std::string::npos && refused) {
        ++by_reason[line.substr(reason + 2)];
      } else if (reason != std::string::npos && times != std::string::npos) {
        by_reason[line.substr(reason + 2, times - reason - 2)] +=
            std::atoll(line.c_str() + times + 3);
      }
    }
    if (line.find("automatic ban ", kStampLength) == kStampLength) ++counts.bans;
    const size_t shutdown = line.find("shutdown (");
    if (shutdown != std::string::npos) counts.shutdown = line.substr(shutdown);
  }
  return counts;
}

std::string kib_text(int64_t kb) {
  if (kb < 0) return "n/a";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kb) / 1024.0);
  return text;
}

int64_t count_of(const std::map<std::string, int64_t>& counts, const char* key) {
  const auto it = counts.find(key);
  return it == counts.end() ? 0 : it->second;
}

// One line of the server log's drops and refusals by reason.
void print_log_counts(const char* label, const LogCounts& log) {
  static const char* const kDrops[] = {"peer closed", "bad framing", "idle",    "not reading",
                                       "no login",    "displaced",   "flooding"};
  static const char* const kRefusals[] = {"full", "per-address limit", "per-network limit",
                                          "connecting too fast", "denied"};
  std::string line = std::string(label) + ": drops:";
  for (const char* reason : kDrops) {
    line += std::string(" ") + reason + " " + std::to_string(count_of(log.drops, reason)) + ",";
  }
  line.back() = ';';
  line += " refused:";
  for (const char* reason : kRefusals) {
    line += std::string(" ") + reason + " " + std::to_string(count_of(log.refusals, reason)) + ",";
  }
  line.back() = '\n';
  std::fputs(line.c_str(), stdout);
}

std::string login_text(const std::vector<int64_t>& samples) {
  const bench::LatencySummary s = bench::summarize(samples);
  char text[96];
  std::snprintf(text, sizeof text, "%zu, p50 %.3f ms, p99 %.3f ms, max %.3f ms", s.count,
                static_cast<double>(s.p50_ns) / 1e6, static_cast<double>(s.p99_ns) / 1e6,
                static_cast<double>(s.max_ns) / 1e6);
  return text;
}

// The attackers' figures; true when one was treated otherwise than it must.
bool report_attackers(const soak::Attackers& attackers, bool own_server) {
  const soak::AttackFigures& a = attackers.figures();
  auto n = [](int64_t v) { return static_cast<long long>(v); };
  std::printf(
      "attackers: silent %lld opened, %lld closed without a byte, %lld refused 2A, %lld "
      "otherwise\n",
      n(a.silent_opened), n(a.silent_closed), n(a.silent_refused), n(a.silent_wrong));
  std::printf("attackers: clones %lld in, %lld refused 2A, %lld dropped, %lld otherwise\n",
              n(a.clones_in), n(a.clones_refused), n(a.clones_dropped), n(a.clones_wrong));
  const double watched = static_cast<double>(a.flood_watch_ns) / 1e9;
  std::printf(
      "attackers: flooder %lld sessions, %lld dropped, %lld lines written; watcher got %lld "
      "(%.1f/s over %.1f s), %lld out of order, dropped %lld; %s\n",
      n(a.flood_sessions), n(a.flooder_dropped), n(a.flood_sent), n(a.flood_received),
      watched > 0 ? static_cast<double>(a.flood_received) / watched : 0.0, watched,
      n(a.flood_order_errors), n(a.watcher_dropped),
      attackers.flood_paced() ? "within the pace" : "FASTER THAN THE PACE");
  std::printf("attackers: denied %lld tried, %lld closed without a byte, %lld otherwise\n",
              n(a.denied_tries), n(a.denied_closed), n(a.denied_wrong));
  std::printf("attackers: looper (denied, tight loop) %lld connections\n", n(a.loop_tries));
  return attackers.failed(own_server ? kPerAddress : 0);
}

// The event log may grow by no more than this under attack: at that pace
// a day's log stays under 180 MB whatever the attackers do.
constexpr double kMostLogBytesPerSecond = 2048;

int report(const Soak& soak, const LogCounts& log, int64_t rss_start, int64_t rss_end,
           const Options& options, int64_t log_bytes, double log_seconds,
           const Upgrades& upgrades) {
  const Counts& c = soak.counts();
  const soak::Figures& f = soak.figures();
  auto n = [](int64_t v) { return static_cast<long long>(v); };
  std::printf("connects: %lld steady, %lld churning (%lld closed, %lld reset); %lld refused full\n",
              n(c.steady_connects), n(c.churn_connects), n(c.churn_closed), n(c.churn_reset),
              n(c.refused_full));
  if (log.read) {
    print_log_counts("server log", log);
    if (!log.shutdown.empty()) std::printf("server: %s\n", log.shutdown.c_str());
  } else {
    std::printf("drops (server log): n/a\n");
  }
  std::printf("drops (seen here): steady clients %lld, churners ended by the lobby %lld\n",
              n(c.steady_dropped), n(c.churners_dropped));
  std::printf("games: %lld started, seat list errors %lld; stalled steps %lld\n", n(c.games),
              n(c.roster_errors), n(c.stalls));
  std::printf("sent: %lld chat lines (%lld group, %lld game), %lld direct messages\n",
              n(f.chat_sent), n(f.group_lines), n(f.game_lines), n(f.directs_sent));
  std::printf(
      "owed deliveries: %lld; delivered %lld, lost %lld (late %lld, lapped %lld), "
      "excused %lld\n",
      n(f.owed), n(f.delivered), n(f.lost), n(f.late), n(f.lapped), n(f.excused));
  std::printf("received by churners (checked, never owed): %lld\n", n(f.untracked));
  std::printf(
      "received beyond what was owed: allowed %lld, foreign %lld, corrupt %lld, "
      "duplicate %lld, out of order %lld, unknown bytes %lld\n",
      n(f.extra), n(f.foreign), n(f.corrupt), n(f.duplicate), n(f.out_of_order), n(c.junk));
  std::printf("largest reader lag: %lld lines (a lap is 1024)\n", n(f.max_lag));
  std::printf("server RSS: start %s, end %s\n", kib_text(rss_start).c_str(),
              kib_text(rss_end).c_str());
  std::printf("login time (connected to end of room list): steady at start %s\n",
              login_text(c.steady_logins).c_str());
  std::printf("login time (connected to end of room list): churners%s %s\n",
              options.attackers ? " while attacked" : "", login_text(c.churn_logins).c_str());
  std::printf("connect time: churners%s %s\n", options.attackers ? " while attacked" : "",
              login_text(c.churn_connect_times).c_str());
  const bool attack_failed =
      options.attackers && report_attackers(soak.attackers(), options.port == 0);
  // The log's pace counts only with our own server, whose log is read here.
  double log_rate = 0;
  if (log_bytes >= 0 && log_seconds > 0) {
    log_rate = static_cast<double>(log_bytes) / log_seconds;
    std::printf("event log: %lld bytes in %.1f s, %.0f B/s (at most %.0f under attack)\n",
                n(log_bytes), log_seconds, log_rate, kMostLogBytesPerSecond);
  }
  const bool log_failed = options.attackers && log_rate > kMostLogBytesPerSecond;
  bool upgrade_failed = false;
  if (upgrades.every_s > 0) {
    std::vector<int64_t> pauses = upgrades.pauses_ms;
    std::sort(pauses.begin(), pauses.end());
    const int64_t p50 = pauses.empty() ? -1 : pauses[(pauses.size() - 1) / 2];
    const int64_t most = pauses.empty() ? -1 : pauses.back();
    std::printf("upgrades: %d, one every %d s, %d failed%s%s; pause p50 %lld ms, max %lld ms\n",
                upgrades.done, upgrades.every_s, upgrades.failed,
                upgrades.first_error.empty() ? "" : ": ", upgrades.first_error.c_str(), n(p50),
                n(most));
    upgrade_failed = upgrades.failed > 0 || upgrades.done == 0;
  }
  const bool failed = attack_failed || log_failed || upgrade_failed || f.lost > 0 ||
                      f.foreign > 0 || f.corrupt > 0 || f.duplicate > 0 || f.out_of_order > 0 ||
                      c.junk > 0 || c.steady_dropped > 0 || c.roster_errors > 0 || c.stalls > 0 ||
                      c.login_refused > 0 || c.connect_failures > 0;
  std::printf("result: %s\n", failed ? "FAILED" : "passed");
  return failed ? kExitFailed : kExitPass;
}

// The griefers' lobby (soak_griefers.h), on a server of its own with the
// shipped protections, after the busy one.
int run_griefers() {
  bench::ServerProcess server;
  const int port = client::pick_free_port();
  std::string error;
  if (port <= 0 || server.start(bench::executable_dir() + "/lobby_server", port, &error,
                                soak::kGriefSettings, soak::kGriefDenied) != 0) {
    std::fprintf(stderr, "lobby_soak: cannot start the griefers' server: %s\n", error.c_str());
    return kExitUsage;
  }
  std::printf("lobby_soak: griefers' lobby on 127.0.0.1:%d, shipped protections, L_LURK 30\n",
              port);
  std::fflush(stdout);
  const auto started = std::chrono::steady_clock::now();
  soak::GriefPhase phase("127.0.0.1", port, server.dir() + "/lobby.sock");
  if (!phase.start()) {
    std::fprintf(stderr, "lobby_soak: the griefers' server is %s\n",
                 server.running() ? "running" : "not running");
    return kExitUsage;
  }
  phase.run();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  server.stop(5000);
  const LogCounts log = read_log(server.dir() + "/L_log.txt");
  struct stat info;
  const int64_t bytes = stat((server.dir() + "/L_log.txt").c_str(), &info) == 0 ? info.st_size : -1;
  auto n = [](int64_t v) { return static_cast<long long>(v); };
  print_log_counts("griefers (server log)", log);
  std::printf("griefers (server log): automatic bans %lld\n", n(log.bans));
  const double rate = bytes >= 0 ? static_cast<double>(bytes) / seconds : -1;
  std::printf("griefers: event log %lld bytes in %.1f s, %.0f B/s (at most %.0f)\n", n(bytes),
              seconds, rate, kMostLogBytesPerSecond);
  const bool failed = phase.report() || bytes < 0 || rate > kMostLogBytesPerSecond;
  std::printf("griefers: %s\n", failed ? "FAILED" : "passed");
  return failed ? kExitFailed : kExitPass;
}

int run_busy(const Options& options) {
  bench::ServerProcess server;
  const auto started = std::chrono::steady_clock::now();
  int port = options.port;
  if (port == 0) {
    port = client::pick_free_port();
    std::string error;
    if (port <= 0 || server.start(bench::executable_dir() + "/lobby_server", port, &error,
                                  options.attackers ? kAttackedSettings : kOwnSettings,
                                  options.attackers ? kDenied : "") != 0) {
      std::fprintf(stderr, "lobby_soak: cannot start a server: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  std::printf("lobby_soak: %d s against %s:%d%s, attackers %s%s\n", options.seconds,
              options.host.c_str(), port, options.port == 0 ? " (own server)" : "",
              options.attackers ? "on" : "off",
              options.upgrade_every > 0
                  ? (", upgraded every " + std::to_string(options.upgrade_every) + " s").c_str()
                  : "");
  std::fflush(stdout);
  Soak soak(options, port);
  if (!soak.start()) return kExitUsage;
  const int64_t rss_start = options.port == 0 ? read_rss_kb(server.pid()) : -1;
  // The upgrades run on a thread of their own, so that the clients go on
  // through each one as game clients would.
  Upgrades upgrades;
  upgrades.every_s = options.upgrade_every;
  std::atomic<bool> soak_over{false};
  std::thread upgrader([&] {
    if (upgrades.every_s == 0) return;
    auto next = std::chrono::steady_clock::now() + std::chrono::seconds(upgrades.every_s);
    while (!soak_over.load()) {
      if (std::chrono::steady_clock::now() < next) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      int64_t pause_ms = -1;
      std::string error;
      if (server.upgrade(30000, &pause_ms, &error) == 0) {
        ++upgrades.done;
        upgrades.pauses_ms.push_back(pause_ms);
      } else {
        ++upgrades.failed;
        if (upgrades.first_error.empty()) upgrades.first_error = error;
      }
      next += std::chrono::seconds(upgrades.every_s);
    }
  });
  soak.run();
  soak_over.store(true);
  upgrader.join();
  const int64_t rss_end = options.port == 0 ? read_rss_kb(server.pid()) : -1;
  LogCounts log;
  int64_t log_bytes = -1;
  double log_seconds = 0;
  if (options.port == 0) {
    // The server may log the last departures a moment after they happened.
    const int64_t departures = soak.counts().churn_connects;
    for (int wait = 0; wait < 100; ++wait) {
      int64_t logged = 0;
      for (const auto& entry : read_log(server.dir() + "/L_log.txt").drops) logged += entry.second;
      if (logged >= departures) break;
      usleep(20000);
    }
    server.stop(5000);
    log = read_log(server.dir() + "/L_log.txt");
    struct stat info;
    if (stat((server.dir() + "/L_log.txt").c_str(), &info) == 0) log_bytes = info.st_size;
    log_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }
  return report(soak, log, rss_start, rss_end, options, log_bytes, log_seconds, upgrades);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (parse_options(argc, argv, &options) != 0) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  signal(SIGPIPE, SIG_IGN);
  const bool griefers = options.attackers && options.port == 0 && options.lobbies != "busy";
  const int busy = options.lobbies == "griefers" && griefers ? kExitPass : run_busy(options);
  if (!griefers || busy == kExitUsage) return busy;
  const int grief = run_griefers();
  return busy == kExitPass ? grief : busy;
}
