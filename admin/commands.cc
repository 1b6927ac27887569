#include "admin/commands.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "admin/replies.h"
#include "lobby/lobby_events.h"

namespace admin {
namespace {

constexpr int kMaxWords = 4;

// A decimal number of 0..max, whole; false for anything else.
bool parse_count(const std::string& text, int max, int* out) {
  if (text.empty() || text.size() > 10) return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > max) return false;
  *out = static_cast<int>(value);
  return true;
}

}  // namespace

int split_words(const std::string& line, std::string* words, int max) {
  int count = 0;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) break;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (count == max) return -1;
    words[count++] = line.substr(start, i - start);
  }
  return count;
}

AdminCommands::AdminCommands(lobby::Server& server, AdminHooks hooks)
    : server_(server),
      hooks_(std::move(hooks)),
      names_(server.lobby().settings.L_CHARSET),
      started_ms_(server.clock().now_ms()),
      snapshot_(new lobby::LobbySnapshot()) {}

void AdminCommands::snapshot() {
  lobby::take_snapshot(server_.lobby(), server_.clock().now_ms(), snapshot_.get());
}

std::string AdminCommands::run(const std::string& line) {
  std::string words[kMaxWords];
  const int count = split_words(line, words, kMaxWords);
  if (count < 0) return error_reply("too many arguments");
  if (count == 0) return error_reply("empty command (try help)");
  const std::string& command = words[0];
  if (command == "drain") return drain(words, count);
  // The others take no arguments.
  const bool bare = count == 1;
  if (command == "status") return bare ? status() : error_reply("usage: status");
  if (command == "users") {
    if (!bare) return error_reply("usage: users");
    snapshot();
    return users_reply(*snapshot_, &names_);
  }
  if (command == "rooms") {
    if (!bare) return error_reply("usage: rooms");
    snapshot();
    return rooms_reply(*snapshot_, &names_);
  }
  if (command == "reopen") return bare ? reopen() : error_reply("usage: reopen");
  if (command == "help") return help_reply();
  return error_reply("unknown command: " + command + " (try help)");
}

std::string AdminCommands::status() {
  snapshot();
  const config::Settings& settings = server_.lobby().settings;
  StatusInfo info;
  info.name = settings.L_NAME;
  info.version = settings.VER;
  const int bound = server_.listening_port();
  info.port = bound > 0 ? bound : (settings.L_PORT & 0xffff);
  info.uptime_s = (server_.clock().now_ms() - started_ms_) / 1000;
  return status_reply(*snapshot_, info);
}

std::string AdminCommands::drain(const std::string* words, int count) {
  int seconds = kDefaultDrainSeconds;
  if (count > 2 || (count == 2 && !parse_count(words[1], kMaxDrainSeconds, &seconds))) {
    return error_reply("usage: drain [SECONDS], 0 to " + std::to_string(kMaxDrainSeconds));
  }
  server_.start_drain(seconds);
  snapshot();
  report_event(server_.lobby().events, "admin: drain for at most %d s with %d clients connected",
               seconds, snapshot_->users);
  return "{\"draining\":true,\"seconds\":" + std::to_string(seconds) +
         ",\"users\":" + std::to_string(snapshot_->users) + "}";
}

std::string AdminCommands::reopen() {
  if (!hooks_.reopen_log) return error_reply("this lobby has no event log");
  const int error = hooks_.reopen_log();
  if (error != 0)
    return error_reply(std::string("cannot reopen the event log: ") + std::strerror(error));
  report_event(server_.lobby().events, "admin: event log reopened");
  return "{\"reopened\":true}";
}

}  // namespace admin
