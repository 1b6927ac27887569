#include "ops/exporter.h"

#include <glob.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <system_error>
#include <thread>

#include "ops/admin_client.h"

namespace ops {
namespace {

using Json = nlohmann::ordered_json;

Json parse_object(const std::string& text) {
  Json parsed = Json::parse(text, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object() || parsed.contains("error")) return Json();
  return parsed;
}

Json member(const Json& object, const char* key) {
  if (!object.is_object() || !object.contains(key)) return Json();
  return object[key];
}

std::string label_value(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// A sample's value: integers as they are, true as 1; anything else 0.
std::string number_text(const Json& value) {
  if (value.is_number_integer()) return std::to_string(value.get<int64_t>());
  if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
  return "0";
}

struct Family {
  const char* name;
  const char* type;
  const char* help;
};

// One family: its HELP and TYPE, then a sample per lobby for which `value`
// gives one. `value` returns false for none; it may add labels of its own.
template <typename Sample>
void family(std::string* out, const Family& f, const std::vector<LobbyReading>& lobbies,
            Sample sample) {
  *out += std::string("# HELP ") + f.name + " " + f.help + "\n";
  *out += std::string("# TYPE ") + f.name + " " + f.type + "\n";
  for (const LobbyReading& lobby : lobbies) {
    const std::string labels = "lobby=\"" + label_value(lobby.name) + "\",port=\"" +
                               label_value(lobby.port) + "\",socket=\"" +
                               label_value(lobby.socket) + "\"";
    sample(lobby, [&](const std::string& extra, const std::string& value) {
      *out += std::string(f.name) + "{" + labels + extra + "} " + value + "\n";
    });
  }
}

// A family with one sample per key of the status member `key` (drops or
// refusals by reason).
void by_reason(std::string* out, const Family& f, const std::vector<LobbyReading>& lobbies,
               const char* key) {
  family(out, f, lobbies, [key](const LobbyReading& lobby, auto emit) {
    const Json counts = member(lobby.status, key);
    if (!counts.is_object()) return;
    for (const auto& item : counts.items()) {
      emit(",reason=\"" + label_value(item.key()) + "\"", number_text(item.value()));
    }
  });
}

// Whether the lobby reports to an upstream server. A lobby that does not
// say is judged by its link's state, which stays "off" without one.
bool upstream_configured(const LobbyReading& lobby) {
  const Json upstream = member(lobby.status, "upstream");
  const Json configured = member(upstream, "configured");
  if (configured.is_boolean()) return configured.get<bool>();
  const Json state = member(upstream, "state");
  return state.is_string() && state.get<std::string>() != "off";
}

// A counter read from one member of the status's "counters".
void counter(std::string* out, const Family& f, const std::vector<LobbyReading>& lobbies,
             const char* key) {
  family(out, f, lobbies, [key](const LobbyReading& lobby, auto emit) {
    const Json value = member(member(lobby.status, "counters"), key);
    if (lobby.up && value.is_number_integer()) emit("", number_text(value));
  });
}

// The counters of the status reply, by their member name.
struct CounterFamily {
  const char* key;
  Family family;
};
constexpr CounterFamily kCounterFamilies[] = {
    {"connections_accepted",
     {"lobby_connections_accepted_total", "counter",
      "Client connections given a slot (those turned away count in lobby_refused_total)."}},
    {"logins_accepted",
     {"lobby_logins_accepted_total", "counter",
      "Logins answered with the room list: validated, with a positive group key."}},
    {"logins_refused",
     {"lobby_logins_refused_total", "counter",
      "Logins answered with a refusal: not validated, or a group key not above 0."}},
    {"chat_received",
     {"lobby_chat_lines_received_total", "counter", "Chat lines clients sent to the lobby."}},
    {"chat_delivered",
     {"lobby_chat_lines_delivered_total", "counter",
      "Chat lines the lobby sent to clients, one for each client that received a line."}},
    {"direct_messages",
     {"lobby_direct_messages_total", "counter",
      "Direct messages clients sent to a seat of their room."}},
    {"rooms_created", {"lobby_rooms_created_total", "counter", "Rooms clients made."}},
    {"games_started",
     {"lobby_games_started_total", "counter", "Rooms that filled up to their start size."}},
    {"bytes_received",
     {"lobby_received_bytes_total", "counter", "Bytes the lobby received from game clients."}},
    {"bytes_sent",
     {"lobby_sent_bytes_total", "counter",
      "Bytes the lobby sent to game clients, refusals included."}},
};

// A gauge or counter read from one status member.
void plain(std::string* out, const Family& f, const std::vector<LobbyReading>& lobbies,
           const char* key) {
  family(out, f, lobbies, [key](const LobbyReading& lobby, auto emit) {
    if (lobby.up) emit("", number_text(member(lobby.status, key)));
  });
}

}  // namespace

std::vector<std::string> expand_sockets(const std::vector<std::string>& patterns) {
  std::vector<std::string> sockets;
  // A lobby named by two arguments is asked, and listed, once.
  auto add = [&sockets](const std::string& path) {
    if (std::find(sockets.begin(), sockets.end(), path) == sockets.end()) sockets.push_back(path);
  };
  for (const std::string& pattern : patterns) {
    if (pattern.find_first_of("*?[") == std::string::npos) {
      add(pattern);
      continue;
    }
    glob_t found;
    if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
      for (size_t i = 0; i < found.gl_pathc; ++i) add(found.gl_pathv[i]);
    }
    globfree(&found);
  }
  return sockets;
}

LobbyReading read_lobby(const std::string& socket, int timeout_ms) {
  LobbyReading reading;
  reading.socket = socket;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto left = [&deadline] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
    return ms > 0 ? static_cast<int>(ms) : 0;
  };
  AdminClient client;
  std::string reply;
  std::string error;
  if (!client.connect_to(socket, &error) || !client.request("status", &reply, left(), &error)) {
    return reading;
  }
  reading.status = parse_object(reply);
  if (reading.status.is_null()) return reading;
  if (!client.request("rooms", &reply, left(), &error)) return reading;
  reading.rooms = member(parse_object(reply), "rooms");
  if (!client.request("users", &reply, left(), &error)) return reading;
  reading.users = member(parse_object(reply), "users");
  if (!reading.rooms.is_array() || !reading.users.is_array()) return reading;
  reading.up = true;
  const Json name = member(reading.status, "name");
  reading.name = name.is_string() ? name.get<std::string>() : "";
  reading.port = number_text(member(reading.status, "port"));
  return reading;
}

std::string utc_time_text(int64_t unix_s) {
  const time_t t = static_cast<time_t>(unix_s);
  tm utc{};
  char text[32] = "";
  if (gmtime_r(&t, &utc) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string metrics_text(const std::vector<LobbyReading>& lobbies) {
  std::string out;
  family(&out, {"lobby_up", "gauge", "1 when the lobby answered on its admin socket, else 0."},
         lobbies, [](const LobbyReading& lobby, auto emit) { emit("", lobby.up ? "1" : "0"); });
  family(&out,
         {"lobby_listening", "gauge",
          "1 when the lobby listens on its port for game clients, else 0: it runs but nobody "
          "can connect (the port was taken, say)."},
         lobbies, [](const LobbyReading& lobby, auto emit) {
           const Json listening = member(lobby.status, "listening");
           if (lobby.up && listening.is_boolean()) emit("", number_text(listening));
         });
  plain(&out,
        {"lobby_users", "gauge",
         "Client connections holding a slot, logged in or not (at most lobby_slots)."},
        lobbies, "users");
  plain(&out, {"lobby_slots", "gauge", "Client slots the lobby serves: 8 for each of its rooms."},
        lobbies, "slots");
  plain(&out, {"lobby_rooms_in_use", "gauge", "Rooms made by a client and not yet given up."},
        lobbies, "rooms_in_use");
  plain(&out, {"lobby_rooms", "gauge", "Rooms the lobby has (its ROOM setting, at most 4)."},
        lobbies, "rooms");
  plain(&out,
        {"lobby_draining", "gauge",
         "1 while the lobby drains: new connections are refused and it stops once empty."},
        lobbies, "draining");
  family(&out,
         {"lobby_drain_left_seconds", "gauge",
          "While the lobby drains: seconds until the drain's time is up, negative once past."},
         lobbies, [](const LobbyReading& lobby, auto emit) {
           const Json left = member(lobby.status, "drain_left_s");
           if (lobby.up && left.is_number_integer()) emit("", number_text(left));
         });
  plain(&out, {"lobby_uptime_seconds", "gauge", "Seconds since the lobby started."}, lobbies,
        "uptime_s");
  by_reason(&out,
            {"lobby_drops_total", "counter",
             "Connections the lobby closed after giving them a slot, by reason (\"peer closed\": "
             "the client left by itself)."},
            lobbies, "drops");
  by_reason(&out,
            {"lobby_refused_total", "counter",
             "Connections turned away without a slot, by reason: \"denied\" (the deny list) "
             "and \"connecting too fast\" close without a byte, the others (full, per-address "
             "limit, per-network limit, draining) send 2A first; \"bad proxy header\" (a "
             "trusted proxy's header bad or late, listed once L_PROXY names a proxy) closes "
             "without a byte too."},
            lobbies, "refused");
  for (const CounterFamily& c : kCounterFamilies) counter(&out, c.family, lobbies, c.key);
  family(&out,
         {"lobby_upstream_configured", "gauge",
          "1 when the lobby has an upstream server to report to (N_PORT set), else 0."},
         lobbies, [](const LobbyReading& lobby, auto emit) {
           if (lobby.up) emit("", upstream_configured(lobby) ? "1" : "0");
         });
  family(&out,
         {"lobby_upstream_up", "gauge",
          "1 while the link to the upstream server is connected, else 0; absent for a lobby "
          "without an upstream server."},
         lobbies, [](const LobbyReading& lobby, auto emit) {
           if (!lobby.up || !upstream_configured(lobby)) return;
           const Json state = member(member(lobby.status, "upstream"), "state");
           emit("", state.is_string() && state.get<std::string>() == "connected" ? "1" : "0");
         });
  family(&out,
         {"lobby_upstream_reconnects_total", "counter",
          "Connections to the upstream server made after the first attempt at start: after a "
          "loss, or after that attempt failed."},
         lobbies, [](const LobbyReading& lobby, auto emit) {
           if (!lobby.up) return;
           emit("", number_text(member(member(lobby.status, "upstream"), "reconnects")));
         });
  family(&out,
         {"lobby_build_info", "gauge",
          "Always 1; its labels name the program version and the git commit the lobby runs."},
         lobbies, [](const LobbyReading& lobby, auto emit) {
           const Json version = member(lobby.status, "server_version");
           const Json commit = member(lobby.status, "commit");
           if (!lobby.up || !version.is_string() || !commit.is_string()) return;
           emit(",version=\"" + label_value(version.get<std::string>()) + "\",commit=\"" +
                    label_value(commit.get<std::string>()) + "\"",
                "1");
         });
  return out;
}

std::string status_json(const std::vector<LobbyReading>& lobbies, const std::string& generated_at) {
  Json list = Json::array();
  for (const LobbyReading& lobby : lobbies) {
    Json entry = Json::object();
    if (!lobby.up) {
      entry["name"] = lobby.name;
      entry["up"] = false;
      entry["offline_since"] = lobby.down_since;
      list.push_back(std::move(entry));
      continue;
    }
    entry = lobby.status;
    entry["up"] = true;
    entry["room_list"] = lobby.rooms;
    Json players = Json::array();
    for (const Json& user : lobby.users) {
      if (member(user, "logged_in") != Json(true)) continue;
      // Online since the connection was made: a game client logs in as
      // soon as it connects.
      players.push_back(Json{{"name", member(user, "name")},
                             {"room", member(user, "room")},
                             {"online_s", member(user, "connected_s")}});
    }
    entry["players"] = std::move(players);
    list.push_back(std::move(entry));
  }
  return Json{{"generated_at", generated_at}, {"lobbies", std::move(list)}}.dump(
             -1, ' ', false, Json::error_handler_t::replace) +
         "\n";
}

int health(const std::vector<LobbyReading>& lobbies, std::string* text) {
  text->clear();
  bool healthy = !lobbies.empty();
  if (lobbies.empty()) *text += "no lobby found\n";
  for (const LobbyReading& lobby : lobbies) {
    const std::string who =
        (lobby.name.empty() ? std::string("lobby") : lobby.name) + " (" + lobby.socket + ")";
    if (!lobby.up) {
      healthy = false;
      *text += who + ": does not answer\n";
    } else if (member(lobby.status, "listening") == Json(false)) {
      healthy = false;
      *text += who + ": not listening\n";
    } else if (member(lobby.status, "draining") == Json(true)) {
      healthy = false;
      *text += who + ": draining\n";
    } else {
      *text += who + ": ok\n";
    }
  }
  return healthy ? 200 : 503;
}

AnswerCache::AnswerCache(Take take, Clock clock, int64_t max_age_ms)
    : take_(std::move(take)), clock_(std::move(clock)), max_age_ms_(max_age_ms) {}

std::shared_ptr<const FleetAnswer> AnswerCache::get() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    if (taking_) {
      // The reading under way is this request's answer too, however long
      // it takes: starting another would ask the lobbies twice in a second.
      const uint64_t seen = readings_;
      ++waiting_;
      taken_.wait(guard, [this, seen] { return readings_ != seen; });
      --waiting_;
      // None only when no reading ever succeeded: this request tries one.
      if (answer_ != nullptr) return answer_;
      continue;
    }
    if (answer_ != nullptr && clock_() - answer_began_ms_ < max_age_ms_) return answer_;
    break;
  }
  taking_ = true;
  const int64_t began_ms = clock_();
  guard.unlock();
  // The waiters are released whatever happens to this reading: a failed
  // one leaves them the previous answer or, with none, a reading of their
  // own.
  struct Release {
    AnswerCache* cache;
    int64_t began_ms;
    std::shared_ptr<const FleetAnswer> fresh;
    ~Release() {
      std::lock_guard<std::mutex> relock(cache->lock_);
      if (fresh != nullptr) {
        cache->answer_ = fresh;
        cache->answer_began_ms_ = began_ms;
      }
      cache->taking_ = false;
      ++cache->readings_;
      cache->taken_.notify_all();
    }
  } release{this, began_ms, nullptr};
  release.fresh = take_();
  // A copy: the release still publishes it.
  return release.fresh;
}

int AnswerCache::waiting() {
  std::lock_guard<std::mutex> guard(lock_);
  return waiting_;
}

Exporter::Exporter(std::vector<std::string> patterns, int timeout_ms)
    : patterns_(std::move(patterns)),
      timeout_ms_(timeout_ms),
      cache_([this] { return take_answer(); },
             [] {
               return std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                   .count();
             },
             kAnswerMaxAgeMs) {}

std::shared_ptr<const FleetAnswer> Exporter::take_answer() {
  auto answer = std::make_shared<FleetAnswer>();
  answer->generated_at = utc_time_text(std::chrono::duration_cast<std::chrono::seconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
  answer->lobbies = read_all();
  answer->metrics = metrics_text(answer->lobbies);
  answer->status = status_json(answer->lobbies, answer->generated_at);
  answer->health_status = health(answer->lobbies, &answer->health_text);
  return answer;
}

std::vector<LobbyReading> Exporter::read_all() {
  const std::vector<std::string> sockets = expand_sockets(patterns_);
  std::vector<LobbyReading> readings(sockets.size());
  // A few askers share the list, so that a host of a hundred lobbies does
  // not cost a hundred threads per reading; the calling thread asks too,
  // and alone when no thread can be started.
  std::atomic<size_t> next{0};
  auto ask = [&] {
    for (size_t i = next++; i < sockets.size(); i = next++) {
      readings[i] = read_lobby(sockets[i], timeout_ms_);
    }
  };
  std::vector<std::thread> askers;
  const size_t wanted = std::min<size_t>(sockets.size(), kMaxAskers) - (sockets.empty() ? 0 : 1);
  try {
    for (size_t i = 0; i < wanted; ++i) askers.emplace_back(ask);
  } catch (const std::system_error&) {
    // Fewer askers: the ones started and this thread do the rest.
  }
  ask();
  for (std::thread& asker : askers) asker.join();
  const std::string now = utc_time_text(std::chrono::duration_cast<std::chrono::seconds>(
                                            std::chrono::system_clock::now().time_since_epoch())
                                            .count());
  std::lock_guard<std::mutex> guard(lock_);
  for (LobbyReading& reading : readings) {
    Known& known = known_[reading.socket];
    if (reading.up) {
      known = {reading.name, reading.port, ""};
      continue;
    }
    // Offline from the first reading that found it so.
    if (known.down_since.empty()) known.down_since = now;
    reading.name = known.name;
    reading.port = known.port;
    reading.down_since = known.down_since;
  }
  return readings;
}

}  // namespace ops
