#include "admin/commands.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "admin/json_line.h"
#include "admin/replies.h"
#include "config/build_info.h"
#include "lobby/dispatcher.h"
#include "lobby/lobby_events.h"
#include "net/socket_ops.h"

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

// The reply to a failed add or remove of the deny list.
std::string deny_error(int rc, int error, const std::string& address) {
  switch (rc) {
    case config::kDenyNoFile:
      return error_reply("no deny file: set L_DENY");
    case config::kDenyFull:
      return error_reply("the deny list is full (" + std::to_string(config::kDenyEntries) +
                         " entries)");
    case config::kDenyNotFound:
      return error_reply("not banned: " + address);
    default:
      // A system error code on Windows, which error_text reads as well.
      return error_reply(std::string("cannot write the deny file: ") + net::error_text(error));
  }
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
  if (command == "ban") return ban(words, count);
  if (command == "kick") return count == 2 ? kick(words[1]) : error_reply("usage: kick SLOT");
  if (command == "unban") {
    return count == 2 ? unban(words[1]) : error_reply("usage: unban ADDRESS[/BITS]");
  }
  // The others take no arguments.
  const bool bare = count == 1;
  if (command == "status") return bare ? status() : error_reply("usage: status");
  if (command == "users") {
    if (!bare) return error_reply("usage: users");
    snapshot();
    return with_charset_note(users_reply(*snapshot_, &names_));
  }
  if (command == "rooms") {
    if (!bare) return error_reply("usage: rooms");
    snapshot();
    return with_charset_note(rooms_reply(*snapshot_, &names_));
  }
  if (command == "reopen") return bare ? reopen() : error_reply("usage: reopen");
  if (command == "bans") return bare ? bans() : error_reply("usage: bans");
  if (command == "help") return help_reply();
  return error_reply("unknown command: " + command + " (try help)");
}

std::string AdminCommands::status() {
  snapshot();
  const config::Settings& settings = server_.lobby().settings;
  StatusInfo info;
  // Written in UTF-8 it stays as it is; otherwise (a file written on
  // Windows) it is taken to be in the clients' character set.
  std::string name = settings.L_NAME;
  if (!valid_utf8(name)) {
    name = with_charset_note(names_.decode(reinterpret_cast<const uint8_t*>(settings.L_NAME),
                                           static_cast<int>(name.size())));
  }
  info.name = name.c_str();
  info.version = settings.VER;
  const int bound = server_.listening_port();
  info.port = bound > 0 ? bound : (settings.L_PORT & 0xffff);
  info.listening = bound > 0;
  const std::string ip = settings_address_text(settings.L_IP);
  info.ip = ip.c_str();
  info.uptime_s = (server_.clock().now_ms() - started_ms_) / 1000;
  info.server_version = config::kProgramVersion;
  info.commit = config::kBuildCommit;
  info.upstream_configured = settings.N_PORT != 0;
  return status_reply(*snapshot_, info);
}

std::string AdminCommands::with_charset_note(std::string reply) {
  const std::string note = names_.take_note();
  if (!note.empty()) report_event(server_.lobby().events, "admin: %s", note.c_str());
  return reply;
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
  if (error != 0) {
    const std::string text = std::string("cannot reopen the event log: ") + std::strerror(error);
    report_event(server_.lobby().events, "admin: %s; still writing the old one", text.c_str());
    return error_reply(text);
  }
  report_event(server_.lobby().events, "admin: event log reopened");
  return "{\"reopened\":true}";
}

std::string AdminCommands::kick(const std::string& slot_text) {
  lobby::Lobby& lobby = server_.lobby();
  int slot = 0;
  if (!parse_count(slot_text, lobby::kSlots - 1, &slot)) {
    return error_reply("no slot " + slot_text + " (slots are 0 to " +
                       std::to_string(lobby::kSlots - 1) + ")");
  }
  lobby::ClientSlot& client = lobby.slots[slot];
  // The serial first: should the slot change hands meanwhile, the request
  // names the connection that was there and does nothing to the next one.
  const uint32_t serial = client.drop_request.serial();
  if (client.state.load(std::memory_order_acquire) == net::kStateClosed) {
    return error_reply("slot " + std::to_string(slot) + " is free");
  }
  const std::string address = address_text(client.peer_addr.load(std::memory_order_relaxed),
                                           client.peer_port.load(std::memory_order_relaxed));
  const int32_t user_id = client.user_id.load(std::memory_order_relaxed);
  lobby::request_drop(lobby, slot, serial, lobby::kDropKicked);
  report_event(lobby.events, "admin: kick slot %d user %d from %s", slot, user_id, address.c_str());
  return "{\"kicked\":" + std::to_string(slot) + ",\"user_id\":" + std::to_string(user_id) +
         ",\"address\":\"" + address + "\"}";
}

std::string AdminCommands::ban(const std::string* words, int count) {
  const std::string usage =
      "usage: ban ADDRESS[/BITS] [SECONDS], SECONDS 1 to " + std::to_string(kMaxBanSeconds);
  if (count < 2 || count > 3) return error_reply(usage);
  config::DenyEntry entry;
  if (config::parse_deny_entry(words[1].c_str(), &entry) != 0) {
    return error_reply("not an IPv4 address or prefix: " + words[1]);
  }
  int seconds = 0;
  if (count == 3 && (!parse_count(words[2], kMaxBanSeconds, &seconds) || seconds == 0)) {
    return error_reply(usage);
  }
  lobby::Lobby& lobby = server_.lobby();
  if (seconds > 0) entry.until_s = lobby.deny_list.now_utc_s() + seconds;
  int error = 0;
  const int rc = lobby.deny_list.add(entry, &error);
  if (rc != config::kDenyOk) return deny_error(rc, error, words[1]);
  // Open connections from the prefix go: each slot's serial before its
  // address, as for kick. A connection let in while the list changed is
  // caught by the accept thread itself.
  int dropped = 0;
  for (int i = 0; i < lobby::kSlots; ++i) {
    lobby::ClientSlot& client = lobby.slots[i];
    const uint32_t serial = client.drop_request.serial();
    if (client.state.load(std::memory_order_acquire) == net::kStateClosed) continue;
    if ((client.peer_addr.load(std::memory_order_relaxed) & entry.mask) != entry.addr) continue;
    lobby::request_drop(lobby, i, serial, lobby::kDropBanned);
    ++dropped;
  }
  char text[config::kDenyTextBytes];
  config::format_deny_entry(entry, text);
  std::string until = "null";
  char until_text[config::kUntilTextBytes] = "forever";
  if (entry.until_s != 0) {
    config::format_until(entry.until_s, until_text);
    until = std::string("\"") + until_text + "\"";
  }
  report_event(lobby.events, "admin: ban %s until %s; %d connections closed", text, until_text,
               dropped);
  return std::string("{\"banned\":\"") + text + "\",\"expires\":" + until +
         ",\"closed\":" + std::to_string(dropped) + "}";
}

std::string AdminCommands::unban(const std::string& address) {
  config::DenyEntry entry;
  if (config::parse_deny_entry(address.c_str(), &entry) != 0) {
    return error_reply("not an IPv4 address or prefix: " + address);
  }
  lobby::Lobby& lobby = server_.lobby();
  int error = 0;
  const int rc = lobby.deny_list.remove(entry, &error);
  if (rc != config::kDenyOk) return deny_error(rc, error, address);
  char text[config::kDenyTextBytes];
  config::format_deny_entry(entry, text);
  report_event(lobby.events, "admin: unban %s", text);
  return std::string("{\"unbanned\":\"") + text + "\"}";
}

std::string AdminCommands::bans() {
  if (!bans_) bans_.reset(new config::DenyEntry[config::kDenyEntries]);
  const int count = server_.lobby().deny_list.entries_in_force(bans_.get(), config::kDenyEntries);
  return bans_reply(bans_.get(), count);
}

}  // namespace admin
