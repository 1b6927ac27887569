#include "bench/soak_griefers.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "bench/stats.h"
#include "client/tcp_link.h"
#include "client/wire_codec.h"

namespace soak {

const char kGriefSettings[] = "L_LURK 30\n";
const char kGriefDenied[] = "; the griefers' looper\n127.0.15.1\n";

namespace {

constexpr Ns kMs = 1000000;
constexpr int kConnectMs = 3000;

// The phase's timeline, in ms from its start.
constexpr Ns kChatAttackFrom = 3000;
constexpr Ns kChatAttackUntil = 12000;
constexpr Ns kRoomsFrom = 12000;
constexpr Ns kDoorFrom = 22000;
constexpr Ns kLurkMs = 30000;  // L_LURK in kGriefSettings
// Lurkers refused at first try again until this, and then have all lurked
// long enough by kRipeFrom.
constexpr Ns kLurkersInBy = kDoorFrom + 2000;
constexpr Ns kRipeFrom = kLurkersInBy + kLurkMs + 1000;
constexpr Ns kNewcomersFrom = 6000;
constexpr Ns kNewcomerEvery = 2000;
constexpr Ns kEnd = kRipeFrom + 20000;
constexpr Ns kAdminCheckFrom = 63000;  // the admin connections were opened at the start
constexpr Ns kDrainMs = 5000;
constexpr Ns kSetupMs = 5000;

// The promises checked.
constexpr Ns kNewcomerMostMs = 1000;
constexpr Ns kHostRoomMostMs = 1000;
constexpr Ns kIdleMostMs = 63000;  // 60 s, and the lobby's 2 s of grace, and a second of ours
constexpr int kChatRate = 2;       // the shipped chat pace of an address
constexpr int kChatBurst = 10;
constexpr int kAutoBan = 5;  // drops that ban an address

// Who is who. Every attacker's group key is its own, except the spammers'
// and the room attackers', which join the honest group.
constexpr int32_t kHonestKey = 1;
constexpr int32_t kBurstKey = 2;
constexpr int32_t kLurkerKey = 3;
constexpr int32_t kGarbageKey = 5;
constexpr int32_t kPartialKey = 6;
constexpr int kHonest = 8;
constexpr int kSpammers = 8;
constexpr int kBurstClients = 8;
constexpr int kBurstLines = 50;
constexpr Ns kBurstEvery = 2000;
constexpr int kSpamPerSecond = 25;
constexpr Ns kSpamSession = 4000;
constexpr int kSquatters = 4;
constexpr int kJoiners = 8;
constexpr int kPerAddress = 8;
constexpr int kLurkAddresses = 3;
constexpr int kCyclerAddresses = 3;
constexpr int kGarbageAddresses = 3;
constexpr Ns kCycleMs = 1500;
constexpr Ns kGarbageAgainMs = 200;
constexpr Ns kLurkerAgainMs = 2000;
constexpr Ns kKeepAliveMs = 50000;
constexpr int kAdminHeld = 8;
constexpr int kLoopPerStep = 4;
// Chat numbers: the ledger's from 0, the spammers' and the burst group's
// far above, so that a reader tells them apart.
constexpr int32_t kSpamBase = 1000000000;
constexpr int32_t kBurstBase = 1500000000;
constexpr size_t kMostUnsent = 65536;

enum class Role {
  kPlayer,
  kHost,
  kNewcomer,
  kSpammer,
  kBurst,
  kSquatter,
  kJoiner,
  kLurker,
  kCycler,
  kGarbage,
  kPartial,
};

struct Peer {
  Role role = Role::kPlayer;
  std::string source;
  int32_t id = 0;
  int32_t key = 0;
  client::TcpLink link;
  client::LobbyDecoder decoder;
  std::string bytes;  // everything received on this connection
  int reader = -1;
  bool logged_in = false;
  bool done = false;  // no more connections for this peer
  Ns opened = 0;      // when its connect began
  Ns opened_ms = 0;   // the same, in ms of the phase
  Ns login_at = 0;
  Ns next_at = 0;  // its next act (a line, a burst, a reconnect, a close)
  Ns last_send = 0;
  int32_t room = -1;
  int32_t result = -2;  // the last 2J
  int32_t status = -1;  // the last 2S
  int roster = 0;
  int64_t lines = 0;       // written this connection (spammers, burst)
  int64_t spam_heard = 0;  // honest players
};

std::string address(int a, int b, int c) {
  return "127." + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
}

std::string prefix_of(const std::string& source) { return source.substr(0, source.rfind('.')); }

}  // namespace

class GriefRun {
 public:
  GriefRun(const std::string& host, int port, const std::string& admin_path)
      : host_(host), port_(port), admin_path_(admin_path), random_(20261209) {}
  ~GriefRun() {
    for (int fd : admin_fds_) {
      if (fd >= 0) ::close(fd);
    }
  }

  bool start() {
    begin_ = now();
    for (int i = 0; i <= kHonest; ++i) {
      Peer& p = add(i < kHonest ? Role::kPlayer : Role::kHost, address(0, 1, i + 1), kHonestKey);
      p.reader = i < kHonest ? ledger_.add_reader(true) : -1;
      // The first connection waits for the lobby to listen.
      bool in = false;
      for (int attempt = 0; attempt < 250 && !in; ++attempt) {
        in = open(p);
        if (!in) usleep(20000);
      }
      if (!in) {
        std::fprintf(stderr, "lobby_soak: griefers' lobby: cannot connect\n");
        return false;
      }
    }
    if (!settle_honest()) return false;
    hold_admin();
    // The partial message's sender is in before the door opens to the rest.
    Peer& partial = add(Role::kPartial, address(0, 14, 1), kPartialKey);
    if (!open(partial) || !wait_until([&] { return partial.logged_in; })) {
      std::fprintf(stderr, "lobby_soak: griefers' lobby: the partial sender is not in\n");
      return false;
    }
    begin_ = now();
    running_ = true;
    for (auto& p : peers_) p->next_at = random_ms(500, 2500);
    for (int a = 0; a < kGarbageAddresses; ++a) {
      for (int i = 0; i < kPerAddress; ++i) add(Role::kGarbage, address(0, 13, a + 1), kGarbageKey);
    }
    for (int a = 0; a < kCyclerAddresses; ++a) {
      for (int i = 0; i < kPerAddress; ++i) add(Role::kCycler, address(0, 12, a + 1), 0);
    }
    return true;
  }

  void run() {
    while (elapsed() < kEnd * kMs) step();
    ending_ = true;
    for (auto& p : peers_) {
      if (p->role == Role::kPlayer) ledger_.start_drain(p->reader, now());
    }
    const Ns drain_until = now() + kDrainMs * kMs;
    while (now() < drain_until && !drained()) step();
    ledger_.finish();
    for (auto& p : peers_) {
      if (p->role == Role::kPartial && p->link.open()) {
        // Still connected at the end: longer than the idle limit allows.
        figures_.partial_closed_ms = -1;
      }
      if (p->role == Role::kPlayer)
        figures_.spam_most_heard = std::max(figures_.spam_most_heard, p->spam_heard);
      p->link.close();
    }
    const Ns spam_ms = kChatAttackUntil - kChatAttackFrom;
    figures_.spam_allowed = kSpammers * (kChatBurst + kChatRate * (spam_ms / 1000 + 2));
  }

  const GriefFigures& figures() const { return figures_; }
  const Figures& honest() const { return ledger_.figures(); }

 private:
  static Ns now() { return bench::monotonic_ns(); }
  Ns elapsed() const { return now() - begin_; }
  bool at(Ns ms) const { return elapsed() >= ms * kMs; }

  Peer& add(Role role, const std::string& source, int32_t key) {
    auto p = std::make_unique<Peer>();
    p->role = role;
    p->source = source;
    p->key = key;
    p->id = next_id_++;
    peers_.push_back(std::move(p));
    return *peers_.back();
  }

  // A new connection for `p`, with its login unless it is a silent one.
  bool open(Peer& p) {
    p.link.close();
    p.decoder = client::LobbyDecoder();
    p.bytes.clear();
    p.logged_in = false;
    p.lines = 0;
    p.result = -2;
    p.status = -1;
    p.opened = now();
    p.opened_ms = elapsed() / kMs;
    if (p.link.connect_to(host_, port_, kConnectMs, p.source) != client::kLinkOk) return false;
    if (p.role != Role::kCycler) {
      if (p.reader >= 0) ledger_.trigger(p.reader, group_context(p.key), now());
      send(p, client::encode_name(p.id, "g" + std::to_string(p.id)) + client::encode_validation(1) +
                  client::encode_login(p.id, p.key, 8, 8));
    }
    return true;
  }

  void send(Peer& p, const std::string& bytes) {
    p.last_send = now();
    p.link.send(bytes);
  }

  // Waits until every honest player is in, then seats two rooms of four.
  bool settle_honest() {
    if (!wait_until([&] {
          for (auto& p : peers_) {
            if (!p->logged_in) return false;
          }
          return true;
        })) {
      std::fprintf(stderr, "lobby_soak: griefers' lobby: honest players not in\n");
      return false;
    }
    for (int host = 0; host < kHonest; host += 4) {
      Peer& h = *peers_[host];
      send(h, client::encode_room_op(-1));
      if (!wait_until([&] { return h.result == 1 && h.room >= 0; })) {
        std::fprintf(stderr, "lobby_soak: griefers' lobby: honest room not made\n");
        return false;
      }
      for (int k = 1; k < 4; ++k) send(*peers_[host + k], client::encode_room_op(h.room));
      if (!wait_until([&] { return seated_[h.room] == 4; })) {
        std::fprintf(stderr, "lobby_soak: griefers' lobby: honest room not filled\n");
        return false;
      }
    }
    return true;
  }

  template <typename Done>
  bool wait_until(Done done) {
    const Ns until = now() + kSetupMs * kMs;
    while (now() < until) {
      step();
      if (done()) return true;
    }
    return false;
  }

  int random_ms(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random_);
  }

  void hold_admin() {
    for (int i = 0; i < kAdminHeld; ++i) {
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un where{};
      where.sun_family = AF_UNIX;
      std::snprintf(where.sun_path, sizeof where.sun_path, "%s", admin_path_.c_str());
      if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) {
        admin_fds_.push_back(fd);
        ++figures_.admin_held;
      } else if (fd >= 0) {
        ::close(fd);
      }
    }
  }

  // One pass: what arrived, then what is due.
  void step() {
    std::vector<pollfd> fds;
    std::vector<Peer*> of;
    for (auto& p : peers_) {
      if (!p->link.open()) continue;
      short events = POLLIN;
      if (p->link.wants_write()) events |= POLLOUT;
      fds.push_back({p->link.fd(), events, 0});
      of.push_back(p.get());
    }
    poll(fds.data(), fds.size(), 2);
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents & POLLOUT) of[i]->link.flush();
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) take(*of[i]);
    }
    if (!running_) return;
    for (size_t i = 0; i < peers_.size(); ++i) due(*peers_[i]);
    if (ending_) return;
    rooms_step();
    newcomer_step();
    door_step();
    looper_step();
    if (at(kAdminCheckFrom) && !admin_checked_) admin_check();
  }

  void take(Peer& p) {
    std::string in;
    const int rc = p.link.receive(&in);
    p.bytes += in;
    std::vector<client::LobbyMessage> messages;
    p.decoder.feed(in, &messages);
    for (const client::LobbyMessage& m : messages) handle(p, m);
    if (rc == client::kLinkClosed) ended(p);
  }

  void handle(Peer& p, const client::LobbyMessage& m) {
    const Ns t = now();
    switch (m.letter) {
      case 'O':
        if (p.logged_in) break;
        p.logged_in = true;
        p.login_at = t;
        if (p.reader >= 0) ledger_.settle(p.reader, t);
        logged_in(p, t);
        break;
      case 'C':
        if (m.first >= kBurstBase) {
          if (p.role == Role::kPlayer || p.role == Role::kNewcomer) ++figures_.other_group_lines;
        } else if (m.first >= kSpamBase) {
          ++p.spam_heard;
        } else if (p.reader >= 0) {
          ledger_.receive_chat(p.reader, m.first, m.raw, t);
        }
        break;
      case 'M':
        p.room = m.first;
        break;
      case 'J':
        p.result = m.first;
        break;
      case 'Q':
        seated_[m.first] = m.second;
        break;
      case 'S':
        p.status = m.first;
        break;
      case 'N':
        ++p.roster;
        break;
      case 'A':
        break;
      default:
        break;
    }
  }

  void logged_in(Peer& p, Ns t) {
    switch (p.role) {
      case Role::kNewcomer: {
        const Ns took = t - p.opened;
        figures_.newcomer_logins.push_back(took);
        if (took > kNewcomerMostMs * kMs) ++figures_.newcomers_late;
        chat(p);
        p.next_at = elapsed() / kMs + 1000;  // leaves a second later
        break;
      }
      case Role::kGarbage:
        ++figures_.garbage_logins;
        send(p, std::string("\x00\x01\x02\x03", 4));
        break;
      case Role::kPartial:
        send(p, client::encode_chat(0, "half").substr(0, 7));
        break;
      case Role::kLurker:
        ++figures_.lurker_logins;
        break;
      case Role::kSquatter:
        send(p, client::encode_room_op(-1));
        break;
      case Role::kJoiner:
        send(p, client::encode_room_op(host_room_));
        break;
      case Role::kSpammer:
        ++figures_.spam_sessions;
        break;
      default:
        break;
    }
  }

  // The lobby ended the connection.
  void ended(Peer& p) {
    const Ns t = now();
    const bool refused = p.bytes == "2A";
    switch (p.role) {
      case Role::kPlayer:
        ++figures_.honest_dropped;
        std::fprintf(stderr, "lobby_soak: honest player %d was dropped\n", p.id);
        p.done = true;
        break;
      case Role::kNewcomer:
        if (!p.logged_in) ++figures_.newcomers_refused;
        p.done = true;
        break;
      case Role::kLurker:
        if (refused) {
          ++figures_.lurker_refused;
        } else if (p.logged_in) {
          ++figures_.lurkers_displaced[prefix_of(p.source)];
        }
        // Back 2 s later, refused or displaced: the lobby stays full.
        p.next_at = elapsed() / kMs + kLurkerAgainMs;
        break;
      case Role::kCycler:
        if (p.bytes.empty()) {
          ++figures_.cycler_ended;
        } else if (refused) {
          ++figures_.cycler_refused;
        } else {
          ++figures_.cycler_wrong;
        }
        p.next_at = p.opened_ms + kCycleMs;
        break;
      case Role::kGarbage:
        if (p.logged_in) {
          ++figures_.garbage_dropped;
        } else if (p.bytes.empty()) {
          ++figures_.garbage_shut;
        }
        p.next_at = elapsed() / kMs + kGarbageAgainMs;
        break;
      case Role::kPartial:
        if (p.logged_in) figures_.partial_closed_ms = (t - p.login_at) / kMs;
        p.done = true;
        break;
      default:
        // The spammers and burst clients reconnect at their own pace; the
        // room attackers are done.
        if (p.role != Role::kSpammer && p.role != Role::kBurst) p.done = true;
        break;
    }
    if (p.reader >= 0) ledger_.close_reader(p.reader, t);
    p.link.close();
  }

  // A tracked chat line in the honest group.
  void chat(Peer& p) {
    const int32_t number = ledger_.next_id();
    std::string text = "h" + std::to_string(p.id) + " #" + std::to_string(number) + " ";
    while (text.size() < 20 + static_cast<size_t>(number % 40)) text += 'a' + number % 26;
    const std::string raw = client::encode_chat(number, text);
    ledger_.add_chat(p.reader >= 0 ? p.reader : 0, group_context(kHonestKey), raw, now());
    send(p, raw);
  }

  // What each peer does at its time.
  void due(Peer& p) {
    const Ns t = elapsed() / kMs;
    if (p.done || t < p.next_at) return;
    switch (p.role) {
      case Role::kPlayer:
        if (ending_ || !p.logged_in) return;
        chat(p);
        p.next_at = t + random_ms(1000, 3000);
        return;
      case Role::kNewcomer:
        if (!p.link.open()) return;
        if (p.logged_in || t - p.opened_ms > 3000) {
          if (!p.logged_in) ++figures_.newcomers_refused;
          ledger_.close_reader(p.reader, now());
          p.link.close();
          p.done = true;
        }
        return;
      case Role::kSpammer:
      case Role::kBurst:
        chat_attack(p, t);
        return;
      case Role::kCycler:
        // Closed and reopened 1.5 s after it opened, or as soon as that
        // comes when the lobby closed it first.
        if (ending_) return;
        if (open(p)) ++figures_.cycler_opened;
        p.next_at = t + kCycleMs;
        return;
      case Role::kGarbage:
        if (ending_ || p.link.open()) return;
        p.next_at = open(p) ? kEnd : t + kGarbageAgainMs;
        return;
      case Role::kLurker:
        if (ending_) return;
        if (p.link.open()) {
          if (p.logged_in && now() - p.last_send >= kKeepAliveMs * kMs) {
            send(p, client::encode_keep_alive());
          }
          return;
        }
        if (!open(p)) p.next_at = t + kLurkerAgainMs;
        return;
      default:
        return;
    }
  }

  // The spammers write 25 lines a second and start a new connection every
  // 4 s, to try whether that refills their allowance; the burst group
  // writes 50 lines at once every 2 s. Neither writes more while 64 KiB
  // wait unsent.
  void chat_attack(Peer& p, Ns t) {
    const bool active = t >= kChatAttackFrom && t < kChatAttackUntil && !ending_;
    if (!active) {
      if (p.link.open() && t >= kChatAttackUntil) p.link.close();
      return;
    }
    if (!p.link.open() || (p.role == Role::kSpammer && t - p.opened_ms >= kSpamSession)) {
      open(p);
      return;
    }
    if (!p.logged_in || p.link.unsent() > kMostUnsent) return;
    const bool spammer = p.role == Role::kSpammer;
    int64_t owed =
        spammer ? (now() - p.login_at) * kSpamPerSecond / (1000 * kMs) - p.lines : kBurstLines;
    std::string lines;
    for (; owed > 0; --owed, ++p.lines) {
      int64_t& written = spammer ? figures_.spam_written : figures_.burst_written;
      lines +=
          client::encode_chat(static_cast<int32_t>((spammer ? kSpamBase : kBurstBase) + written),
                              spammer ? "spam" : "burst");
      ++written;
    }
    if (!lines.empty()) send(p, lines);
    if (!spammer) p.next_at = t + kBurstEvery;
  }

  void rooms_step() {
    if (!at(kChatAttackFrom)) return;
    if (!chat_attackers_) {
      chat_attackers_ = true;
      for (int i = 0; i < kSpammers; ++i) add(Role::kSpammer, address(0, 5, i + 1), kHonestKey);
      for (int i = 0; i < kBurstClients; ++i) {
        add(Role::kBurst, address(0, 6, i < 3 ? 1 : i < 6 ? 2 : 3), kBurstKey);
      }
    }
    if (!at(kRoomsFrom)) return;
    if (!squatters_) {
      squatters_ = true;
      for (int i = 0; i < kSquatters; ++i) open(add(Role::kSquatter, address(0, 8, 1), kHonestKey));
    }
    Peer& host = *peers_[kHonest];
    if (host_create_at_ < 0 && !at(kDoorFrom)) {
      // Once every squatter has its answer, the honest host creates.
      int answered = 0;
      for (auto& p : peers_) {
        if (p->role == Role::kSquatter && p->result >= 0) ++answered;
      }
      if (answered < kSquatters) return;
      for (auto& p : peers_) {
        if (p->role != Role::kSquatter) continue;
        (p->result == 1 ? figures_.squatter_rooms : figures_.squatter_refused) += 1;
      }
      host.result = -2;
      host.room = -1;
      host_create_at_ = now();
      send(host, client::encode_room_op(-1));
      return;
    }
    if (host_room_ < 0 && host.result == 1 && host.room >= 0) {
      host_room_ = host.room;
      figures_.host_room_ns = now() - host_create_at_;
      for (int i = 0; i < kJoiners; ++i) open(add(Role::kJoiner, address(0, 9, 1), kHonestKey));
    }
    if (!room_attack_over_ && at(kDoorFrom)) {
      // The room attackers and the host leave, and the lurkers come.
      room_attack_over_ = true;
      figures_.host_roster = host.status == 2 ? host.roster : 0;
      for (auto& p : peers_) {
        if (p->role == Role::kJoiner) {
          (p->status == 2 ? figures_.joiners_seated : figures_.joiners_refused) += 1;
        }
        if (p->role == Role::kJoiner || p->role == Role::kSquatter || p->role == Role::kHost) {
          p->link.close();
          p->done = true;
        }
      }
    }
  }

  void door_step() {
    if (!at(kDoorFrom) || lurkers_) return;
    lurkers_ = true;
    for (int a = 0; a < kLurkAddresses; ++a) {
      for (int i = 0; i < kPerAddress; ++i) {
        add(Role::kLurker, a < 2 ? address(0, 10, a + 1) : address(0, 11, 1), kLurkerKey);
      }
    }
  }

  void newcomer_step() {
    const Ns t = elapsed() / kMs;
    const bool window =
        (t >= kNewcomersFrom && t < kDoorFrom) || (t >= kRipeFrom && t < kEnd - 1500);
    if (!window || t < next_newcomer_) return;
    next_newcomer_ = t + kNewcomerEvery;
    Peer& p = add(Role::kNewcomer, address(0, 2, 1 + newcomer_count_++ % 250), kHonestKey);
    p.reader = ledger_.add_reader(false);
    ++figures_.newcomers;
    if (t >= kDoorFrom) ++figures_.newcomers_after_lurkers;
    if (!open(p)) {
      ++figures_.newcomers_refused;
      p.done = true;
    }
  }

  void looper_step() {
    for (int i = 0; i < kLoopPerStep; ++i) {
      client::TcpLink link;
      if (link.connect_to(host_, port_, kConnectMs, address(0, 15, 1)) == client::kLinkOk) {
        ++figures_.loop_tries;
      }
    }
  }

  // The held admin connections must be closed by now, and a new one is
  // answered.
  void admin_check() {
    admin_checked_ = true;
    for (int fd : admin_fds_) {
      pollfd p{fd, POLLIN, 0};
      char byte = 0;
      if (poll(&p, 1, 2000) == 1 && recv(fd, &byte, 1, 0) == 0) ++figures_.admin_closed;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::snprintf(where.sun_path, sizeof where.sun_path, "%s", admin_path_.c_str());
    if (fd < 0) return;
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
        ::send(fd, "status\n", 7, MSG_NOSIGNAL) == 7) {
      pollfd p{fd, POLLIN, 0};
      char reply[64] = {};
      figures_.admin_answered =
          poll(&p, 1, 2000) == 1 && recv(fd, reply, sizeof reply, 0) > 0 && reply[0] == '{';
    }
    ::close(fd);
  }

  bool drained() const {
    for (auto& p : peers_) {
      if (p->role == Role::kPlayer && ledger_.pending(p->reader) > 0) return false;
    }
    return true;
  }

  const std::string host_;
  const int port_;
  const std::string admin_path_;
  std::mt19937_64 random_;
  Ns begin_ = 0;
  Ledger ledger_;
  GriefFigures figures_;
  std::vector<std::unique_ptr<Peer>> peers_;  // honest players and the host first
  std::map<int32_t, int32_t> seated_;         // members of each room, as the group hears
  std::vector<int> admin_fds_;
  int32_t host_room_ = -1;
  Ns host_create_at_ = -1;
  int32_t next_id_ = 20000;
  int newcomer_count_ = 0;
  Ns next_newcomer_ = 0;
  bool ending_ = false;
  bool chat_attackers_ = false;
  bool squatters_ = false;
  bool room_attack_over_ = false;
  bool lurkers_ = false;
  bool admin_checked_ = false;
  bool running_ = false;  // the honest players are seated and the griefers come
};

GriefPhase::GriefPhase(const std::string& host, int port, const std::string& admin_path)
    : run_(std::make_unique<GriefRun>(host, port, admin_path)) {}
GriefPhase::~GriefPhase() = default;
bool GriefPhase::start() { return run_->start(); }
void GriefPhase::run() { run_->run(); }
const GriefFigures& GriefPhase::figures() const { return run_->figures(); }
const Figures& GriefPhase::honest() const { return run_->honest(); }

bool GriefPhase::report() const {
  const GriefFigures& g = figures();
  const Figures& f = honest();
  auto n = [](int64_t v) { return static_cast<long long>(v); };
  const bench::LatencySummary logins = bench::summarize(g.newcomer_logins);
  std::printf(
      "griefers: honest players lost %lld of %lld owed lines (delivered %lld), foreign %lld, "
      "corrupt %lld, duplicate %lld, out of order %lld, other group's lines %lld, dropped %lld\n",
      n(f.lost), n(f.owed), n(f.delivered), n(f.foreign), n(f.corrupt), n(f.duplicate),
      n(f.out_of_order), n(g.other_group_lines), n(g.honest_dropped));
  std::printf(
      "griefers: newcomers %lld (%lld after the lurkers came), in within 1 s %lld, late "
      "%lld, refused %lld; login p50 %.1f ms, max %.1f ms\n",
      n(g.newcomers), n(g.newcomers_after_lurkers),
      n(static_cast<int64_t>(logins.count) - g.newcomers_late), n(g.newcomers_late),
      n(g.newcomers_refused), static_cast<double>(logins.p50_ns) / 1e6,
      static_cast<double>(logins.max_ns) / 1e6);
  std::printf(
      "griefers: spammers (8 addresses) wrote %lld lines in %lld sessions; the most one honest "
      "player heard %lld (the pace allows %lld); burst group wrote %lld\n",
      n(g.spam_written), n(g.spam_sessions), n(g.spam_most_heard), n(g.spam_allowed),
      n(g.burst_written));
  std::printf(
      "griefers: squatters got %d room(s), %d refused; honest host's room %s; joiners seated "
      "%d, refused %d; the host's game started with %d players\n",
      g.squatter_rooms, g.squatter_refused,
      g.host_room_ns < 0 ? "NOT MADE"
                         : (std::to_string(g.host_room_ns / 1000000) + " ms after asking").c_str(),
      g.joiners_seated, g.joiners_refused, g.host_roster);
  std::string displaced;
  for (const auto& [prefix, count] : g.lurkers_displaced) {
    displaced += " " + prefix + ".0/24 " + std::to_string(count);
  }
  std::printf("griefers: lurkers %lld logins, %lld refused 2A, displaced:%s\n", n(g.lurker_logins),
              n(g.lurker_refused), displaced.empty() ? " none" : displaced.c_str());
  std::printf(
      "griefers: cyclers %lld connections, %lld ended by the lobby without a byte, %lld refused "
      "2A, %lld otherwise\n",
      n(g.cycler_opened), n(g.cycler_ended), n(g.cycler_refused), n(g.cycler_wrong));
  std::printf(
      "griefers: garbage senders %lld logins, %lld dropped, %lld closed without a byte; looper "
      "%lld connections\n",
      n(g.garbage_logins), n(g.garbage_dropped), n(g.garbage_shut), n(g.loop_tries));
  std::printf(
      "griefers: partial message's sender closed %s; idle admin connections %d of %d closed, a "
      "new one %s\n",
      g.partial_closed_ms < 0
          ? "NEVER"
          : (std::to_string(g.partial_closed_ms) + " ms after its last whole message").c_str(),
      g.admin_closed, g.admin_held, g.admin_answered ? "answered" : "NOT ANSWERED");
  const int64_t garbage_most = kGarbageAddresses * (kPerAddress + kAutoBan);
  const bool failed = f.lost > 0 || f.foreign > 0 || f.corrupt > 0 || f.duplicate > 0 ||
                      f.out_of_order > 0 || g.other_group_lines > 0 || g.honest_dropped > 0 ||
                      g.newcomers_late > 0 || g.newcomers_refused > 0 ||
                      g.spam_most_heard > g.spam_allowed || g.squatter_rooms != 1 ||
                      g.host_room_ns < 0 || g.host_room_ns > kHostRoomMostMs * kMs ||
                      g.host_roster != 8 || g.cycler_wrong > 0 || g.garbage_logins > garbage_most ||
                      g.partial_closed_ms < 0 || g.partial_closed_ms > kIdleMostMs ||
                      g.admin_closed != g.admin_held || g.admin_held == 0 || !g.admin_answered;
  return failed;
}

}  // namespace soak
