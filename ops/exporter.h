// What lobby_exporter serves, apart from HTTP itself: it asks each lobby on
// its admin channel and turns the replies into Prometheus metrics, a
// public JSON status and a health answer. Any thread: the lobbies of one
// request are asked in parallel, and the labels remembered for lobbies
// that stopped answering are kept under a lock.
#ifndef OPS_EXPORTER_H_
#define OPS_EXPORTER_H_

#include <map>
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
  nlohmann::ordered_json rooms;   // the rooms array, when asked for details
  nlohmann::ordered_json users;   // the users array, likewise
  // Labels: from the status reply, else as last seen, else empty.
  std::string name;
  std::string port;
};

// The socket paths that `patterns` name now: a pattern with glob
// characters (* ? [) is expanded, in sorted order, and names nothing when
// nothing matches; any other pattern names itself, existing or not.
std::vector<std::string> expand_sockets(const std::vector<std::string>& patterns);

// Asks the lobby at `socket` for its status (and, with `details`, its
// rooms and users) on one connection, within `timeout_ms` in all.
LobbyReading read_lobby(const std::string& socket, bool details, int timeout_ms);

// The Prometheus text exposition format (version 0.0.4).
std::string metrics_text(const std::vector<LobbyReading>& lobbies);
// {"lobbies": [...]}: each lobby's status fields with its "room_list" and
// its "players" ([{"name", "room"}], logged in ones), no addresses.
std::string status_json(const std::vector<LobbyReading>& lobbies);
// 200 when there is a lobby and every lobby answers, listens for game
// clients and is not draining; else 503. `*text` says why, one line per
// lobby ("ok", "does not answer", "not listening", "draining").
int health(const std::vector<LobbyReading>& lobbies, std::string* text);

class Exporter {
 public:
  // Lobbies asked at once by one request.
  static constexpr size_t kMaxAskers = 16;

  Exporter(std::vector<std::string> patterns, int timeout_ms);

  // Every lobby the patterns name now, asked in parallel.
  std::vector<LobbyReading> read_all(bool details);

 private:
  const std::vector<std::string> patterns_;
  const int timeout_ms_;
  std::mutex lock_;
  // The labels of each socket as last seen, for lobbies that stop
  // answering. Guarded by lock_.
  std::map<std::string, std::pair<std::string, std::string>> known_;
};

}  // namespace ops

#endif  // OPS_EXPORTER_H_
