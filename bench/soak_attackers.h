// The attackers of the soak: what a lobby on the open internet meets beside
// its honest clients, each from a loopback address of its own.
//
//   silent   127.0.0.3  up to three connections that never send a byte, a
//                       new one every 1.5 s; each must end without a byte
//                       (no login, or displaced) or with 2A (no slot, or the
//                       per-address limit)
//   clones   127.0.0.2  a crowd of kClones connections that log in and keep
//                       alive; at most the per-address limit may get in, the
//                       rest must get 2A
//   flooder  127.0.0.5  logs in to a group of its own and sends chat lines as
//                       fast as TCP takes them, again after each drop
//   watcher  127.0.0.6  an honest member of the flooder's group: the flood
//                       must reach it in order, each session a gap-free
//                       prefix, at no more than the configured pace
//   denied   127.0.0.4  a connection every two seconds from an address on
//                       the deny list; it must be closed without a byte
//   looper   127.0.0.7  another denied address, reconnecting in a tight
//                       loop (each connection closed at once by the
//                       attacker): the event log must not grow with it
//
// Driven by the soak's loop: step() reads and writes without blocking.
#ifndef BENCH_SOAK_ATTACKERS_H_
#define BENCH_SOAK_ATTACKERS_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bench/soak_ledger.h"
#include "client/tcp_link.h"
#include "client/wire_codec.h"

namespace soak {

constexpr char kSilentSource[] = "127.0.0.3";
constexpr char kCloneSource[] = "127.0.0.2";
constexpr char kDeniedSource[] = "127.0.0.4";
constexpr char kFlooderSource[] = "127.0.0.5";
constexpr char kWatcherSource[] = "127.0.0.6";
constexpr char kLoopSource[] = "127.0.0.7";
// Connections the looper opens at each step of the soak's loop.
constexpr int kLoopPerStep = 4;
constexpr int kClones = 5;
constexpr int kMaxSilent = 3;
constexpr int32_t kFloodKey = 4;  // the steady clients use keys 1..3
constexpr int32_t kCloneKey = 5;
constexpr int32_t kAttackerBaseId = 9000;
constexpr Ns kAttackMs = 1000000;
constexpr Ns kSilentEveryMs = 1500;
constexpr Ns kDeniedEveryMs = 2000;
constexpr Ns kDeniedBoundMs = 2000;
constexpr Ns kFloodRestartMs = 1000;
constexpr Ns kAttackKeepAliveMs = 20000;
// The flooder keeps about this much written ahead of what TCP has taken.
constexpr size_t kFloodAhead = 16384;

struct AttackFigures {
  int64_t silent_opened = 0;
  int64_t silent_closed = 0;   // without a byte
  int64_t silent_refused = 0;  // 2A: no slot and nobody to displace
  int64_t silent_wrong = 0;    // anything else
  int64_t clones_in = 0;
  int64_t clones_refused = 0;
  int64_t clones_dropped = 0;
  int64_t clones_wrong = 0;
  int64_t flood_sessions = 0;
  int64_t flood_sent = 0;
  int64_t flood_received = 0;
  int64_t flood_order_errors = 0;
  int64_t flooder_dropped = 0;
  int64_t watcher_dropped = 0;
  int64_t denied_tries = 0;
  int64_t denied_closed = 0;
  int64_t denied_wrong = 0;  // a byte, or not closed in time
  int64_t loop_tries = 0;
  Ns flood_watch_ns = 0;  // time the watcher was watching
};

class Attackers {
 public:
  Attackers(const std::string& host, int port) : host_(host), port_(port) {}

  void start(Ns now) {
    for (int i = 0; i < kClones; ++i) {
      auto c = std::make_unique<Peer>();
      if (c->link.connect_to(host_, port_, kConnectMs, kCloneSource) != client::kLinkOk) {
        ++figures_.clones_wrong;
        continue;
      }
      send(*c,
           client::encode_name(kAttackerBaseId + i, "clone") + client::encode_validation(1) +
               client::encode_login(kAttackerBaseId + i, kCloneKey, 8, 8),
           now);
      clones_.push_back(std::move(c));
    }
    if (watcher_.link.connect_to(host_, port_, kConnectMs, kWatcherSource) == client::kLinkOk) {
      send(watcher_,
           client::encode_name(kAttackerBaseId + 50, "watch") + client::encode_validation(1) +
               client::encode_login(kAttackerBaseId + 50, kFloodKey, 8, 8),
           now);
    } else {
      ++figures_.watcher_dropped;
    }
    next_flood_ = now;
    next_silent_ = now;
    next_denied_ = now;
  }

  void step(Ns now) {
    step_clones(now);
    step_watcher(now);
    step_flooder(now);
    step_silent(now);
    step_denied(now);
    step_looper();
  }

  // Closes every attacker connection.
  void stop(Ns now) {
    if (watcher_.logged_in) figures_.flood_watch_ns += now - watch_from_;
    watcher_.logged_in = false;
    clones_.clear();
    silent_.clear();
    denied_.clear();
    flooder_.link.close();
    watcher_.link.close();
  }

  const AttackFigures& figures() const { return figures_; }

  // Faults: an attacker treated otherwise than it must be.
  bool failed(int per_address_limit) const {
    const AttackFigures& f = figures_;
    return f.silent_wrong > 0 || f.clones_wrong > 0 || f.clones_dropped > 0 ||
           f.flood_order_errors > 0 || f.watcher_dropped > 0 || f.denied_wrong > 0 ||
           (per_address_limit > 0 && f.clones_in > per_address_limit) || !flood_paced();
  }

  // The watcher got no more than the burst of each session and the rate
  // for the time it watched, with a second's grace.
  bool flood_paced() const {
    if (rate_ <= 0) return true;
    const double seconds = static_cast<double>(figures_.flood_watch_ns) / 1e9 + 1.0;
    return static_cast<double>(figures_.flood_received) <=
           seconds * rate_ + static_cast<double>(burst_ * figures_.flood_sessions);
  }
  void set_pace(int rate, int burst) {
    rate_ = rate;
    burst_ = burst;
  }

 private:
  static constexpr int kConnectMs = 3000;

  struct Peer {
    client::TcpLink link;
    client::LobbyDecoder decoder;
    std::string bytes;  // everything received, for the silent and denied
    bool logged_in = false;
    bool refused = false;
    Ns opened = 0;
    Ns last_send = 0;
  };

  static void send(Peer& p, const std::string& bytes, Ns now) {
    p.last_send = now;
    p.link.send(bytes);
  }

  // Reads what arrived; false once the lobby ended the connection.
  static bool take(Peer& p, std::vector<client::LobbyMessage>* messages) {
    std::string in;
    const int rc = p.link.receive(&in);
    p.bytes += in;
    if (messages != nullptr) p.decoder.feed(in, messages);
    return rc != client::kLinkClosed;
  }

  void keep_alive(Peer& p, Ns now) {
    if (p.logged_in && now - p.last_send >= kAttackKeepAliveMs * kAttackMs) {
      send(p, client::encode_keep_alive(), now);
    }
  }

  void step_clones(Ns now) {
    for (auto& c : clones_) {
      if (!c->link.open()) continue;
      std::vector<client::LobbyMessage> messages;
      const bool open = take(*c, &messages);
      for (const client::LobbyMessage& m : messages) {
        if (m.letter == 'O' && !c->logged_in) {
          c->logged_in = true;
          ++figures_.clones_in;
        } else if (m.letter == 'A') {
          c->refused = true;
        }
      }
      if (!open) {
        if (c->refused && !c->logged_in) {
          ++figures_.clones_refused;
        } else if (c->logged_in) {
          ++figures_.clones_dropped;
        } else {
          ++figures_.clones_wrong;
        }
        c->link.close();
        continue;
      }
      keep_alive(*c, now);
    }
  }

  void step_watcher(Ns now) {
    if (!watcher_.link.open()) return;
    std::vector<client::LobbyMessage> messages;
    const bool open = take(watcher_, &messages);
    for (const client::LobbyMessage& m : messages) {
      if (m.letter == 'O' && !watcher_.logged_in) {
        watcher_.logged_in = true;
        watch_from_ = now;
      } else if (m.letter == 'C') {
        ++figures_.flood_received;
        // In order: the next line of the session, or the first of a later one.
        if (m.first != last_flood_ + 1 && session_starts_.count(m.first) == 0) {
          ++figures_.flood_order_errors;
        }
        last_flood_ = m.first;
      }
    }
    if (!open) {
      ++figures_.watcher_dropped;
      if (watcher_.logged_in) figures_.flood_watch_ns += now - watch_from_;
      watcher_.logged_in = false;
      watcher_.link.close();
      return;
    }
    keep_alive(watcher_, now);
  }

  void step_flooder(Ns now) {
    if (!flooder_.link.open()) {
      // The watcher first, so that it hears each session from its start.
      if (now < next_flood_ || !watcher_.logged_in) return;
      if (flooder_.link.connect_to(host_, port_, kConnectMs, kFlooderSource) != client::kLinkOk) {
        next_flood_ = now + kFloodRestartMs * kAttackMs;
        return;
      }
      flooder_.decoder = client::LobbyDecoder();
      flooder_.logged_in = false;
      send(flooder_,
           client::encode_name(kAttackerBaseId + 60, "flood") + client::encode_validation(1) +
               client::encode_login(kAttackerBaseId + 60, kFloodKey, 8, 8),
           now);
      return;
    }
    std::vector<client::LobbyMessage> messages;
    if (!take(flooder_, &messages)) {
      ++figures_.flooder_dropped;
      flooder_.link.close();
      next_flood_ = now + kFloodRestartMs * kAttackMs;
      return;
    }
    for (const client::LobbyMessage& m : messages) {
      if (m.letter == 'O' && !flooder_.logged_in) {
        flooder_.logged_in = true;
        ++figures_.flood_sessions;
        session_starts_.insert(static_cast<int32_t>(figures_.flood_sent));
      }
    }
    // What it reads is only there to keep its receive buffer from filling.
    flooder_.bytes.clear();
    if (!flooder_.logged_in) return;
    if (flooder_.link.unsent() < kFloodAhead) {
      std::string lines;
      while (lines.size() < kFloodAhead) {
        lines += client::encode_chat(static_cast<int32_t>(figures_.flood_sent++), "flood");
      }
      flooder_.link.send(lines);
    } else {
      flooder_.link.flush();
    }
  }

  void step_silent(Ns now) {
    for (auto it = silent_.begin(); it != silent_.end();) {
      Peer& s = **it;
      if (take(s, nullptr)) {
        ++it;
        continue;
      }
      if (s.bytes.empty()) {
        ++figures_.silent_closed;
      } else if (s.bytes == std::string("2A")) {
        ++figures_.silent_refused;
      } else {
        ++figures_.silent_wrong;
      }
      it = silent_.erase(it);
    }
    if (now < next_silent_ || silent_.size() >= kMaxSilent) return;
    next_silent_ = now + kSilentEveryMs * kAttackMs;
    auto s = std::make_unique<Peer>();
    if (s->link.connect_to(host_, port_, kConnectMs, kSilentSource) != client::kLinkOk) return;
    s->opened = now;
    ++figures_.silent_opened;
    silent_.push_back(std::move(s));
  }

  void step_denied(Ns now) {
    for (auto it = denied_.begin(); it != denied_.end();) {
      Peer& d = **it;
      const bool open = take(d, nullptr);
      if (!d.bytes.empty()) {
        ++figures_.denied_wrong;
      } else if (!open) {
        ++figures_.denied_closed;
      } else if (now - d.opened > kDeniedBoundMs * kAttackMs) {
        ++figures_.denied_wrong;
      } else {
        ++it;
        continue;
      }
      it = denied_.erase(it);
    }
    if (now < next_denied_) return;
    next_denied_ = now + kDeniedEveryMs * kAttackMs;
    auto d = std::make_unique<Peer>();
    ++figures_.denied_tries;
    // A refused connect is the kernel's answer to a full backlog, not ours.
    if (d->link.connect_to(host_, port_, kConnectMs, kDeniedSource) != client::kLinkOk) return;
    d->opened = now;
    denied_.push_back(std::move(d));
  }

  void step_looper() {
    for (int i = 0; i < kLoopPerStep; ++i) {
      client::TcpLink link;
      if (link.connect_to(host_, port_, kConnectMs, kLoopSource) == client::kLinkOk) {
        ++figures_.loop_tries;
      }
    }
  }

  const std::string host_;
  const int port_;
  int rate_ = 0;
  int burst_ = 0;
  AttackFigures figures_;
  std::vector<std::unique_ptr<Peer>> clones_;
  std::deque<std::unique_ptr<Peer>> silent_;
  std::deque<std::unique_ptr<Peer>> denied_;
  Peer flooder_;
  Peer watcher_;
  Ns watch_from_ = 0;
  int32_t last_flood_ = -1;
  std::set<int32_t> session_starts_;
  Ns next_flood_ = 0;
  Ns next_silent_ = 0;
  Ns next_denied_ = 0;
};

}  // namespace soak

#endif  // BENCH_SOAK_ATTACKERS_H_
