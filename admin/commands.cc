#include "admin/commands.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "admin/json_line.h"
#include "admin/replies.h"
#include "config/build_info.h"
#include "config/live_settings.h"
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

// A whole decimal number with an optional minus sign, within int64.
bool parse_signed(const std::string& text, int64_t* out) {
  size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
  if (text.size() == i || text.size() - i > 18) return false;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  *out = text[0] == '-' ? -value : value;
  return true;
}

}  // namespace

bool find_targets(lobby::Lobby& lobby, const std::string& text, std::vector<Target>* targets,
                  bool* matched, std::string* error) {
  targets->clear();
  const bool by_id = text.size() > 1 && text[0] == '#';
  const bool by_user = text.rfind("user:", 0) == 0;
  *matched = by_id || by_user;
  if (!*matched) return false;
  int64_t wanted = 0;
  if (!parse_signed(text.substr(by_id ? 1 : 5), &wanted) || (by_id && wanted <= 0)) {
    *error = by_id ? "not a connection id: " + text : "not a user id: " + text;
    return false;
  }
  for (int i = 0; i < lobby::kSlots; ++i) {
    lobby::ClientSlot& client = lobby.slots[i];
    // The serial first, then the slot's state and identity: should the
    // slot change hands meanwhile, the identity read is the newcomer's (and
    // does not match), or the request names the connection that left.
    const uint32_t serial = client.drop_request.serial();
    if (client.state.load(std::memory_order_acquire) == net::kStateClosed) continue;
    const int64_t have = by_id ? client.connection_id.load(std::memory_order_relaxed)
                               : client.user_id.load(std::memory_order_relaxed);
    if (have == wanted) targets->push_back({i, serial});
  }
  if (targets->empty()) {
    *error = by_id ? "no connection " + text : "no connection of user " + text.substr(5);
    return false;
  }
  return true;
}

std::string AdminCommands::kick(const std::string& target) {
  lobby::Lobby& lobby = server_.lobby();
  std::vector<Target> targets;
  bool matched = false;
  std::string error;
  if (!find_targets(lobby, target, &targets, &matched, &error)) {
    return matched ? error_reply(error) : kick_slot(target);
  }
  JsonLine reply;
  reply.open_object().name("kicked").open_array();
  for (const Target& t : targets) {
    lobby::ClientSlot& client = lobby.slots[t.slot];
    const int64_t id = client.connection_id.load(std::memory_order_relaxed);
    const int32_t user_id = client.user_id.load(std::memory_order_relaxed);
    const std::string address =
        address_text(client.peer_address.load(), client.peer_port.load(std::memory_order_relaxed));
    lobby::request_drop(lobby, t.slot, t.serial, lobby::kDropKicked);
    report_event(lobby.events, "admin: kick #%lld slot %d user %d from %s",
                 static_cast<long long>(id), t.slot, user_id, address.c_str());
    reply.open_object().member("id", id).member("slot", t.slot).member("user_id", user_id);
    reply.member("address", address).close_object();
  }
  return reply.close_array().close_object().text();
}

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
      names_(new NameText(server.lobby().settings.L_CHARSET)),
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
  if (command == "kick") {
    return count == 2 ? kick(words[1]) : error_reply("usage: kick SLOT|#ID|user:N");
  }
  if (command == "unban") {
    return count == 2 ? unban(words[1]) : error_reply("usage: unban ADDRESS[/BITS]");
  }
  // The others take no arguments.
  const bool bare = count == 1;
  if (command == "status") return bare ? status() : error_reply("usage: status");
  if (command == "users") {
    if (!bare) return error_reply("usage: users");
    snapshot();
    return with_charset_note(users_reply(*snapshot_, names_.get()));
  }
  if (command == "rooms") {
    if (!bare) return error_reply("usage: rooms");
    snapshot();
    return with_charset_note(rooms_reply(*snapshot_, names_.get()));
  }
  if (command == "reopen") return bare ? reopen() : error_reply("usage: reopen");
  if (command == "reload") return bare ? reload() : error_reply("usage: reload");
  if (command == "bans") return bare ? bans() : error_reply("usage: bans");
  if (command == "help") return help_reply();
  return error_reply("unknown command: " + command + " (try help)");
}

std::string AdminCommands::status() {
  snapshot();
  const config::Settings settings = server_.lobby().live.current();
  StatusInfo info;
  // Written in UTF-8 it stays as it is; otherwise (a file written on
  // Windows) it is taken to be in the clients' character set.
  std::string name = settings.L_NAME;
  if (!valid_utf8(name)) {
    name = with_charset_note(names_->decode(reinterpret_cast<const uint8_t*>(settings.L_NAME),
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
  const std::string note = names_->take_note();
  if (!note.empty()) report_event(server_.lobby().events, "admin: %s", note.c_str());
  return reply;
}

std::string AdminCommands::drain(const std::string* words, int count) {
  if (count == 2 && words[1] == "cancel") {
    const int rc = server_.cancel_drain();
    if (rc == lobby::Server::kNotDraining) return error_reply("the lobby is not draining");
    if (rc == lobby::Server::kDrainOver) {
      return error_reply("too late: the drain has ended and the lobby is stopping");
    }
    report_event(server_.lobby().events, "admin: drain cancelled; new connections are taken again");
    return "{\"draining\":false}";
  }
  int seconds = kDefaultDrainSeconds;
  if (count > 2 || (count == 2 && !parse_count(words[1], kMaxDrainSeconds, &seconds))) {
    return error_reply("usage: drain [SECONDS], 0 to " + std::to_string(kMaxDrainSeconds) +
                       ", or drain cancel");
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

std::string AdminCommands::reload() {
  lobby::Lobby& lobby = server_.lobby();
  const std::string& path = hooks_.config_path;
  // Read as at the start: the defaults, the environment, then the file.
  config::Settings next;
  config::apply_environment(&next);
  std::vector<std::string> bad_lines;
  if (config::load_config_file(path.c_str(), &next, &bad_lines) != 0) {
    const std::string text = "cannot read " + path + ": " + std::strerror(errno);
    report_event(lobby.events, "admin: reload: %s; nothing changed", text.c_str());
    return error_reply(text + "; nothing changed");
  }
  const config::Settings before = lobby.live.current();
  std::vector<std::string> changed;
  std::vector<std::string> restart;
  config::differing_keys(before, next, &changed, &restart);
  lobby.live.publish(next);
  // What the admin thread itself holds, and the deny file, change here;
  // the accept thread moves the upstream link, and every worker retunes
  // the flood pacing of its clients, on their next passes.
  for (const std::string& key : changed) {
    if (key == "L_DENY") lobby.deny_list.change_file(next.L_DENY);
    if (key == "L_CHARSET") names_.reset(new NameText(next.L_CHARSET));
  }
  server_.poke();
  // The status display and the service manager's status show the new name
  // and version.
  lobby.events->counts_changed();

  auto joined = [](const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& item : list) text += (text.empty() ? "" : ", ") + item;
    return text.empty() ? std::string("nothing") : text;
  };
  report_event(lobby.events, "admin: reload of %s: changed %s; needs a restart: %s; bad lines %d",
               path.c_str(), joined(changed).c_str(), joined(restart).c_str(),
               static_cast<int>(bad_lines.size()));
  for (int i = 0; i < next.note_count; ++i) {
    report_event(lobby.events, "admin: reload: setting %s", next.notes[i]);
  }
  JsonLine reply;
  reply.open_object().member("reloaded", true);
  auto array = [&reply](const char* key, const std::vector<std::string>& list) {
    reply.name(key).open_array();
    for (const std::string& item : list) reply.value(item);
    reply.close_array();
  };
  array("changed", changed);
  array("restart_needed", restart);
  array("bad_lines", bad_lines);
  std::vector<std::string> notes(next.notes, next.notes + next.note_count);
  array("notes", notes);
  return reply.close_object().text();
}

std::string AdminCommands::kick_slot(const std::string& slot_text) {
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
  const std::string address =
      address_text(client.peer_address.load(), client.peer_port.load(std::memory_order_relaxed));
  const int32_t user_id = client.user_id.load(std::memory_order_relaxed);
  lobby::request_drop(lobby, slot, serial, lobby::kDropKicked);
  report_event(lobby.events, "admin: kick slot %d user %d from %s", slot, user_id, address.c_str());
  return "{\"kicked\":" + std::to_string(slot) + ",\"user_id\":" + std::to_string(user_id) +
         ",\"address\":\"" + address + "\"}";
}

std::string AdminCommands::ban(const std::string* words, int count) {
  const std::string usage = "usage: ban ADDRESS[/BITS]|#ID|user:N [SECONDS], SECONDS 1 to " +
                            std::to_string(kMaxBanSeconds);
  if (count < 2 || count > 3) return error_reply(usage);
  lobby::Lobby& lobby = server_.lobby();
  // One entry for an address or prefix; for connections named by id or
  // user, one per address they came from, as the per-address limits count
  // it (an IPv6 address's /64).
  std::vector<config::DenyEntry> entries;
  std::vector<Target> targets;
  bool matched = false;
  std::string not_found;
  if (find_targets(lobby, words[1], &targets, &matched, &not_found)) {
    for (const Target& t : targets) {
      const net::IpAddress addr = lobby.slots[t.slot].peer_address.load();
      config::DenyEntry entry;
      entry.prefix = net::IpPrefix::of(addr, addr.key_bits());
      bool known = false;
      for (const config::DenyEntry& e : entries) known = known || e.prefix == entry.prefix;
      if (!known) entries.push_back(entry);
    }
  } else if (matched) {
    return error_reply(not_found);
  } else {
    config::DenyEntry entry;
    if (config::parse_deny_entry(words[1].c_str(), &entry) != 0) {
      return error_reply("not an IPv4 or IPv6 address or prefix: " + words[1]);
    }
    entries.push_back(entry);
  }
  int seconds = 0;
  if (count == 3 && (!parse_count(words[2], kMaxBanSeconds, &seconds) || seconds == 0)) {
    return error_reply(usage);
  }
  std::string banned;
  std::string until = "null";
  int dropped = 0;
  for (config::DenyEntry& entry : entries) {
    if (seconds > 0) entry.until_s = lobby.deny_list.now_utc_s() + seconds;
    int error = 0;
    const int rc = lobby.deny_list.add(entry, &error);
    if (rc != config::kDenyOk) return deny_error(rc, error, words[1]);
    // Open connections from the prefix go: each slot's serial before its
    // address, as for kick. A connection let in while the list changed is
    // caught by the accept thread itself.
    int closed = 0;
    for (int i = 0; i < lobby::kSlots; ++i) {
      lobby::ClientSlot& client = lobby.slots[i];
      const uint32_t serial = client.drop_request.serial();
      if (client.state.load(std::memory_order_acquire) == net::kStateClosed) continue;
      if (!entry.prefix.contains(client.peer_address.load())) continue;
      lobby::request_drop(lobby, i, serial, lobby::kDropBanned);
      ++closed;
    }
    dropped += closed;
    char text[config::kDenyTextBytes];
    config::format_deny_entry(entry, text);
    char until_text[config::kUntilTextBytes] = "forever";
    if (entry.until_s != 0) {
      config::format_until(entry.until_s, until_text);
      until = std::string("\"") + until_text + "\"";
    }
    report_event(lobby.events, "admin: ban %s until %s; %d connections closed", text, until_text,
                 closed);
    banned += (banned.empty() ? "" : " ") + std::string(text);
  }
  return std::string("{\"banned\":\"") + banned + "\",\"expires\":" + until +
         ",\"closed\":" + std::to_string(dropped) + "}";
}

std::string AdminCommands::unban(const std::string& address) {
  config::DenyEntry entry;
  if (config::parse_deny_entry(address.c_str(), &entry) != 0) {
    return error_reply("not an IPv4 or IPv6 address or prefix: " + address);
  }
  lobby::Lobby& lobby = server_.lobby();
  // An automatic ban of the same prefix is lifted with the deny file's.
  const bool automatic = lobby.auto_ban_table.remove(entry.prefix);
  int error = 0;
  const int rc = lobby.deny_list.remove(entry, &error);
  char text[config::kDenyTextBytes];
  config::format_deny_entry(entry, text);
  if (rc != config::kDenyOk &&
      !(automatic && (rc == config::kDenyNotFound || rc == config::kDenyNoFile))) {
    return deny_error(rc, error, address);
  }
  report_event(lobby.events, "admin: unban %s%s", text,
               rc == config::kDenyOk ? "" : " (an automatic ban)");
  return std::string("{\"unbanned\":\"") + text + "\"}";
}

std::string AdminCommands::bans() {
  if (!bans_) bans_.reset(new config::DenyEntry[config::kDenyEntries]);
  if (!auto_bans_) auto_bans_.reset(new lobby::AutoBanRecord[lobby::kAutoBans]);
  lobby::Lobby& lobby = server_.lobby();
  const int count = lobby.deny_list.entries_in_force(bans_.get(), config::kDenyEntries);
  const int automatic =
      lobby.auto_ban_table.list(server_.clock().now_ms(), auto_bans_.get(), lobby::kAutoBans);
  return bans_reply(bans_.get(), count, auto_bans_.get(), automatic);
}

}  // namespace admin
