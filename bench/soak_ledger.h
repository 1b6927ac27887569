// The soak's bookkeeping: every chat line and direct message it sends,
// which readers are owed each one, and the check of everything a reader
// receives. Used by lobby_soak only.
//
// A reader's context is where its chat comes from: its group outside games,
// or one game. It changes in two steps: a trigger the soak sends (the join
// that fills a room, a 2L -3 to leave a game), after which the context is
// uncertain, and a marker the reader receives (2S 2, 2J 0), after which the
// new context is certain. The lobby decides a chat line's delivery when the
// reader's own pass reaches it, so:
//   - a message is owed to a reader whose context was certain and matching
//     when it was sent, until the reader receives it or changes context;
//   - before a trigger, the soak stops the affected clients sending and
//     waits (bounded) until they received what they are owed ("drain"); what
//     was sent before the drain began and is still missing at the trigger
//     is lost, what was sent during the drain is excused;
//   - a received message is foreign unless the reader's context matched it
//     at some moment between its sending and its receipt, counting both
//     sides of every uncertain step.
#ifndef BENCH_SOAK_LEDGER_H_
#define BENCH_SOAK_LEDGER_H_

#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace soak {

using Ns = int64_t;
constexpr Ns kForever = std::numeric_limits<Ns>::max();
// A reader this many lines behind the ring's head may have lost a lap.
constexpr int64_t kLapRisk = 1000;

enum class Kind { kNone, kGroup, kGame };

struct Context {
  Kind kind = Kind::kNone;
  int32_t id = 0;  // the group key, or the soak's number for a game
  bool operator==(const Context& other) const { return kind == other.kind && id == other.id; }
  bool operator!=(const Context& other) const { return !(*this == other); }
};

inline Context group_context(int32_t key) { return {Kind::kGroup, key}; }
inline Context game_context(int32_t game) { return {Kind::kGame, game}; }

struct Message {
  bool direct = false;
  int sender = -1;
  Context context;
  Ns sent = 0;
  std::string raw;          // chat: the exact bytes every reader must get
  int target = -1;          // direct: the reader it is addressed to
  int32_t code = 0;         // direct: the sender code the reader must see
  int64_t chat_index = -1;  // chat: how many chat lines were sent before it
};

struct Figures {
  int64_t chat_sent = 0;
  int64_t group_lines = 0;
  int64_t game_lines = 0;
  int64_t directs_sent = 0;
  int64_t owed = 0;
  int64_t delivered = 0;
  int64_t lost = 0;
  int64_t late = 0;       // counted lost at a context change, then arrived after all
  int64_t lapped = 0;     // would be lost, but the reader may have lost a lap
  int64_t excused = 0;    // owed until the reader changed context first
  int64_t extra = 0;      // received, not owed, but allowed
  int64_t untracked = 0;  // received by readers nobody owes anything, allowed
  int64_t foreign = 0;
  int64_t corrupt = 0;
  int64_t duplicate = 0;
  int64_t out_of_order = 0;
  int64_t max_lag = 0;
};

class Ledger {
 public:
  // A reader; `owed_tracking` false for readers nobody owes anything (they
  // come and go at any moment), whose receipts are still checked.
  int add_reader(bool owed_tracking) {
    readers_.emplace_back();
    readers_.back().tracked = owed_tracking;
    return static_cast<int>(readers_.size()) - 1;
  }

  // The first step of a context change (also the login, from no context).
  void trigger(int reader, Context next, Ns now) {
    Reader& r = readers_[reader];
    settle_pending(r);
    r.certain = false;
    r.history.push_back({next, now, kForever});
    r.drain_start = kForever;
  }
  // The marker of the change arrived: the new context is certain.
  void settle(int reader, Ns now) {
    Reader& r = readers_[reader];
    if (r.history.size() >= 2) r.history[r.history.size() - 2].to = now;
    r.certain = true;
  }
  // The reader stops being owed anything new from here on, for a drain.
  void start_drain(int reader, Ns now) {
    Reader& r = readers_[reader];
    if (r.drain_start == kForever) r.drain_start = now;
  }
  // Owed messages sent before the drain began that have not arrived.
  int drain_missing(int reader) const {
    const Reader& r = readers_[reader];
    int missing = 0;
    for (int id : r.pending) {
      if (messages_[id].sent < r.drain_start) ++missing;
    }
    return missing;
  }
  int pending(int reader) const { return static_cast<int>(readers_[reader].pending.size()); }
  // The reader is gone: nothing more arrives for it.
  void close_reader(int reader, Ns now) {
    Reader& r = readers_[reader];
    r.drain_start = now;
    settle_pending(r);
    r.certain = false;
    if (!r.history.empty()) r.history.back().to = now;
  }
  bool certain(int reader) const { return readers_[reader].certain; }
  Context context(int reader) const {
    const Reader& r = readers_[reader];
    return r.history.empty() ? Context{} : r.history.back().context;
  }

  // A chat line sent in `context`; `raw` is the whole message as the
  // lobby relays it. Returns its number (which the line carries).
  int next_id() const { return static_cast<int>(messages_.size()); }
  void add_chat(int sender, Context context, const std::string& raw, Ns now) {
    Message m;
    m.sender = sender;
    m.context = context;
    m.sent = now;
    m.raw = raw;
    m.chat_index = figures_.chat_sent++;
    (context.kind == Kind::kGame ? figures_.game_lines : figures_.group_lines) += 1;
    const int id = add(m);
    for (int i = 0; i < static_cast<int>(readers_.size()); ++i) {
      const Reader& r = readers_[i];
      if (r.tracked && r.certain && r.drain_start == kForever && this->context(i) == context) {
        owe(i, id);
      }
    }
  }
  // A direct message to `target`, which must arrive with sender code
  // `code`; owed when both were certainly in the game.
  void add_direct(int sender, int target, int32_t code, Context game, Ns now) {
    Message m;
    m.direct = true;
    m.sender = sender;
    m.target = target;
    m.code = code;
    m.context = game;
    m.sent = now;
    ++figures_.directs_sent;
    const int id = add(m);
    const Reader& r = readers_[target];
    if (r.tracked && r.certain && r.drain_start == kForever && context(target) == game) {
      owe(target, id);
    }
  }

  // A chat message as received: its opaque field is the line's number.
  void receive_chat(int reader, int32_t number, const std::string& raw, Ns now) {
    if (number < 0 || number >= next_id() || messages_[number].direct ||
        messages_[number].raw != raw) {
      ++figures_.corrupt;
      return;
    }
    Reader& r = readers_[reader];
    const Message& m = messages_[number];
    const int64_t lag = figures_.chat_sent - 1 - m.chat_index;
    if (lag > r.max_lag) r.max_lag = lag;
    if (lag > figures_.max_lag) figures_.max_lag = lag;
    receive(reader, number, &r.last_chat_from, now);
  }
  // A direct message as received: its value is the message's number.
  void receive_direct(int reader, int32_t code, int32_t number, Ns now) {
    if (number < 0 || number >= next_id() || !messages_[number].direct ||
        messages_[number].code != code || messages_[number].target != reader) {
      ++figures_.corrupt;
      return;
    }
    receive(reader, number, &readers_[reader].last_direct_from, now);
  }

  // Everything still owed is lost.
  void finish() {
    for (Reader& r : readers_) {
      r.drain_start = kForever;
      settle_pending(r);
    }
  }

  const Figures& figures() const { return figures_; }

 private:
  struct Segment {
    Context context;
    Ns from;
    Ns to;
  };
  struct Reader {
    bool tracked = true;
    bool certain = false;
    Ns drain_start = kForever;
    std::vector<Segment> history;
    std::set<int> pending;
    std::set<int> received;
    std::set<int> lost;
    std::map<int, int> last_chat_from;    // sender -> number of its last line
    std::map<int, int> last_direct_from;  // sender -> number of its last direct
    int64_t max_lag = 0;
  };

  int add(const Message& m) {
    messages_.push_back(m);
    return static_cast<int>(messages_.size()) - 1;
  }
  void owe(int reader, int id) {
    readers_[reader].pending.insert(id);
    ++figures_.owed;
  }

  // What a reader is still owed when its context changes (or at the end):
  // lost if sent before the drain, excused if sent during it.
  void settle_pending(Reader& r) {
    for (int id : r.pending) {
      if (messages_[id].sent >= r.drain_start) {
        ++figures_.excused;
      } else if (r.max_lag >= kLapRisk) {
        ++figures_.lapped;
      } else {
        ++figures_.lost;
        r.lost.insert(id);
      }
    }
    r.pending.clear();
  }

  void receive(int reader, int id, std::map<int, int>* last_from, Ns now) {
    Reader& r = readers_[reader];
    const Message& m = messages_[id];
    if (!r.received.insert(id).second) {
      ++figures_.duplicate;
      return;
    }
    auto last = last_from->find(m.sender);
    if (last != last_from->end() && last->second > id) ++figures_.out_of_order;
    (*last_from)[m.sender] = id;
    if (r.pending.erase(id) == 1) {
      ++figures_.delivered;
      return;
    }
    if (r.lost.erase(id) == 1) {
      --figures_.lost;
      ++figures_.late;
      return;
    }
    // Not owed: allowed only if the reader's context matched the message's
    // at some moment between its sending and now.
    for (const Segment& s : r.history) {
      if (s.context == m.context && s.from <= now && s.to >= m.sent) {
        ++(r.tracked ? figures_.extra : figures_.untracked);
        return;
      }
    }
    ++figures_.foreign;
  }

  std::vector<Message> messages_;
  std::vector<Reader> readers_;
  Figures figures_;
};

}  // namespace soak

#endif  // BENCH_SOAK_LEDGER_H_
