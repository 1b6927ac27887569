// What lobby_exporter serves, apart from HTTP itself: it asks each lobby on
// its admin channel and turns the replies into Prometheus metrics, a
// public JSON status and a health answer. Every request of a second shares
// one reading of the lobbies (AnswerCache), so the lobbies' admin threads
// see at most one query a second however fast the exporter is asked. Any
// thread: the lobbies of one reading are asked in parallel, and the labels
// remembered for lobbies that stopped answering are kept under a lock.
#ifndef OPS_EXPORTER_H_
#define OPS_EXPORTER_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace ops {

// What one lobby said, or that it said nothing.
struct LobbyReading {
  std::string socket;
  bool up = false;
  nlohmann::ordered_json status;  // the status reply, when up
  nlohmann::ordered_json rooms;   // the rooms array, when up
  nlohmann::ordered_json users;   // the users array, when up
  // Labels: from the status reply, else as last seen, else empty.
  std::string name;
  std::string port;
  // When down: since when the exporter has found it so ("2026-01-15T08:00:00Z").
  std::string down_since;
};

// One reading of every lobby, with each page rendered from it once.
struct FleetAnswer {
  std::vector<LobbyReading> lobbies;
  std::string generated_at;  // when the lobbies were asked, ISO-8601 UTC
  std::string metrics;       // metrics_text
  std::string status;        // status_json
  int health_status = 0;     // health
  std::string health_text;
};

// The socket paths that `patterns` name now: a pattern with glob
// characters (* ? [) is expanded, in sorted order, and names nothing when
// nothing matches; any other pattern names itself, existing or not.
std::vector<std::string> expand_sockets(const std::vector<std::string>& patterns);

// Asks the lobby at `socket` for its status, rooms and users on one
// connection, within `timeout_ms` in all.
LobbyReading read_lobby(const std::string& socket, int timeout_ms);

// "2026-01-15T08:00:00Z" for a time in seconds since the epoch.
std::string utc_time_text(int64_t unix_s);

// The Prometheus text exposition format (version 0.0.4).
std::string metrics_text(const std::vector<LobbyReading>& lobbies);
// {"generated_at": ..., "lobbies": [...]}: each lobby's status fields (its
// public "ip" and "port", "version", "listening", "draining" and
// "upstream" among them) with its "room_list" and its "players" ([{"name",
// "room", "online_s"}], logged in ones); no player's address. A lobby that
// does not answer gives its "name", "up": false and "offline_since".
std::string status_json(const std::vector<LobbyReading>& lobbies, const std::string& generated_at);
// 200 when there is a lobby and every lobby answers, listens for game
// clients and is not draining; else 503. `*text` says why, one line per
// lobby ("ok", "does not answer", "not listening", "draining").
int health(const std::vector<LobbyReading>& lobbies, std::string* text);

// Shares one answer among every request until `max_age_ms` after the
// reading that made it began; a request that finds it stale while another
// reading is under way waits for that one rather than start its own. So a
// reading begins at most once per `max_age_ms`, whatever the request rate.
// Any thread.
class AnswerCache {
 public:
  // Reads the lobbies; never returns null.
  using Take = std::function<std::shared_ptr<const FleetAnswer>()>;
  // Milliseconds of a monotonic clock (a test seam).
  using Clock = std::function<int64_t()>;

  AnswerCache(Take take, Clock clock, int64_t max_age_ms);
  AnswerCache(const AnswerCache&) = delete;
  AnswerCache& operator=(const AnswerCache&) = delete;

  std::shared_ptr<const FleetAnswer> get();
  // Requests waiting now for the reading under way.
  int waiting();

 private:
  const Take take_;
  const Clock clock_;
  const int64_t max_age_ms_;
  std::mutex lock_;
  std::condition_variable taken_;
  std::shared_ptr<const FleetAnswer> answer_;  // Guarded by lock_.
  int64_t answer_began_ms_ = 0;                // Guarded by lock_.
  bool taking_ = false;                        // Guarded by lock_.
  uint64_t readings_ = 0;                      // Guarded by lock_.
  int waiting_ = 0;                            // Guarded by lock_.
};

class Exporter {
 public:
  // Lobbies asked at once by one reading.
  static constexpr size_t kMaxAskers = 16;
  // How long one reading of the lobbies serves.
  static constexpr int64_t kAnswerMaxAgeMs = 1000;

  Exporter(std::vector<std::string> patterns, int timeout_ms);

  // The answer of this second: from the cache, or from a reading of every
  // lobby the patterns name now.
  std::shared_ptr<const FleetAnswer> answer() { return cache_.get(); }

  // Every lobby the patterns name now, asked in parallel.
  std::vector<LobbyReading> read_all();

 private:
  std::shared_ptr<const FleetAnswer> take_answer();

  const std::vector<std::string> patterns_;
  const int timeout_ms_;
  std::mutex lock_;
  // What is remembered of each socket: its labels as last seen, for a
  // lobby that stops answering, and since when it has not answered (empty
  // while it answers). Guarded by lock_.
  struct Known {
    std::string name;
    std::string port;
    std::string down_since;
  };
  std::map<std::string, Known> known_;
  AnswerCache cache_;
};

}  // namespace ops

#endif  // OPS_EXPORTER_H_
