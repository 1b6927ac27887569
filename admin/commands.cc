#include "admin/commands.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "admin/json_line.h"
#include "admin/replies.h"
#include "config/build_info.h"
#include "config/live_settings.h"
#include "config/setting_keys.h"
#include "config/settings_listing.h"
#include "lobby/dispatcher.h"
#include "lobby/lobby_events.h"
#include "net/socket_ops.h"

namespace admin {
namespace {

// Words a command line is split into; a command that takes free text reads
// it from the line itself.
constexpr int kMaxWords = 8;

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
    case config::kDenyNotAFile:
      return error_reply("cannot write the deny file: it is no regular file");
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

std::string joined(const std::vector<std::string>& list) {
  std::string text;
  for (const std::string& item : list) text += (text.empty() ? "" : ", ") + item;
  return text.empty() ? std::string("nothing") : text;
}

// The connections in games now, counted from a snapshot.
int players_in_games(const lobby::LobbySnapshot& s) {
  int players = 0;
  for (const lobby::RoomSnapshot& room : s.rooms) {
    if (room.in_use && room.started) players += room.members;
  }
  return players;
}

// The text of `line` after its first `words` words, without the blanks
// around it: a command's free text.
std::string text_after(const std::string& line, int words) {
  size_t at = 0;
  for (int w = 0; w < words; ++w) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
  }
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  size_t end = line.size();
  while (end > at && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
  return line.substr(at, end - at);
}

// A reason for a kick or a ban: one line of UTF-8 that the deny file's
// comment, the log and the operator's terminal all take as it is. Empty
// when it is fit, else why not.
std::string reason_problem(const std::string& reason) {
  if (!valid_utf8(reason)) return "REASON is not UTF-8";
  for (char c : reason) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return "REASON holds a control character";
  }
  if (reason.size() > config::kMaxBanReasonBytes) {
    return "REASON is " + std::to_string(reason.size()) + " bytes; at most " +
           std::to_string(config::kMaxBanReasonBytes);
  }
  return "";
}

// "by alice", and ": REASON" when there is one, for an event line.
std::string by_and_reason(const std::string& by, const std::string& reason) {
  return "by " + by + (reason.empty() ? "" : ": " + reason);
}

// The slot form of kick: whoever holds the slot now.
std::string kick_slot(AdminCommands& admin, const std::string& slot_text, const std::string& by,
                      const std::string& reason) {
  lobby::Lobby& lobby = admin.lobby();
  int slot = 0;
  if (!parse_count(slot_text, lobby::kSlots - 1, &slot)) {
    return argument_error("no slot " + slot_text + " (slots are 0 to " +
                          std::to_string(lobby::kSlots - 1) + ")");
  }
  lobby::ClientSlot& client = lobby.slots[slot];
  // The serial first: should the slot change hands meanwhile, the request
  // names the connection that was there and does nothing to the next one.
  const uint32_t serial = client.drop_request.serial();
  if (!client.is_open()) {
    return error_reply("slot " + std::to_string(slot) + " is free");
  }
  const std::string address =
      address_text(client.peer_address.load(), client.peer_port.load(std::memory_order_relaxed));
  const int32_t user_id = client.user_id.load(std::memory_order_relaxed);
  lobby::request_drop(lobby, slot, serial, lobby::kDropKicked);
  report_event(lobby.events, "admin: kick slot %d user %d from %s; %s", slot, user_id,
               address.c_str(), by_and_reason(by, reason).c_str());
  JsonLine reply;
  reply.open_object().member("kicked", slot).member("user_id", user_id);
  return reply.member("address", address).member("reason", reason).close_object().text();
}

}  // namespace

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

std::string argument_error(const std::string& message) {
  JsonLine reply;
  return reply.open_object()
      .member("error", message)
      .member("bad_arguments", true)
      .close_object()
      .text();
}

std::string usage_error(const std::string& name) {
  const AdminCommand* command = find_command(name);
  return argument_error("usage: " + (command != nullptr ? command_usage(*command) : name));
}

bool find_targets(lobby::Lobby& lobby, const std::string& text, std::vector<Target>* targets,
                  bool* matched, std::string* error, bool* malformed) {
  targets->clear();
  if (malformed != nullptr) *malformed = false;
  const bool by_id = text.size() > 1 && text[0] == '#';
  const bool by_user = text.rfind("user:", 0) == 0;
  *matched = by_id || by_user;
  if (!*matched) return false;
  int64_t wanted = 0;
  if (!parse_signed(text.substr(by_id ? 1 : 5), &wanted) || (by_id && wanted <= 0)) {
    *error = by_id ? "not a connection id: " + text : "not a user id: " + text;
    if (malformed != nullptr) *malformed = true;
    return false;
  }
  for (int i = 0; i < lobby::kSlots; ++i) {
    lobby::ClientSlot& client = lobby.slots[i];
    // The serial first, then the slot's state and identity: should the
    // slot change hands meanwhile, the identity read is the newcomer's (and
    // does not match), or the request names the connection that left.
    const uint32_t serial = client.drop_request.serial();
    if (!client.is_open()) continue;
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
      started_ms_(hooks_.facts != nullptr ? hooks_.facts->serving_since_ms
                                          : server.clock().now_ms()),
      snapshot_(new lobby::LobbySnapshot()),
      file_values_(new config::Settings(server.lobby().settings)),
      last_reading_(new config::ConfigReading()) {
  if (hooks_.start_reading != nullptr) {
    *last_reading_ = *hooks_.start_reading;
    std::copy(last_reading_->sources, last_reading_->sources + config::kMaxSettingKeys, sources_);
  }
}

int64_t AdminCommands::uptime_s() const { return (server_.clock().now_ms() - started_ms_) / 1000; }

std::string AdminCommands::upgraded_reply(int64_t first_pass_ns) const {
  const ProcessFacts none;
  const ProcessFacts& facts = hooks_.facts != nullptr ? *hooks_.facts : none;
  JsonLine reply;
  reply.open_object().member("upgraded", true);
  reply.member("pid", facts.pid).member("old_pid", facts.old_pid);
  // Rounded up: a pause is never shown shorter than it was.
  const int64_t pause_ns = first_pass_ns - facts.paused_at_ns;
  reply.member("pause_ms", pause_ns > 0 ? (pause_ns + 999999) / 1000000 : int64_t{0});
  reply.member("upgrades", facts.upgrades);
  reply.member("server_version", config::kProgramVersion);
  reply.member("commit", config::kBuildCommit);
  return reply.close_object().text();
}

const lobby::LobbySnapshot& AdminCommands::snapshot() {
  lobby::take_snapshot(server_.lobby(), server_.clock().now_ms(), snapshot_.get());
  return *snapshot_;
}

lobby::AutoBanRecord* AdminCommands::auto_ban_buffer() {
  if (!auto_bans_) auto_bans_.reset(new lobby::AutoBanRecord[lobby::kAutoBans]);
  return auto_bans_.get();
}

config::DenyEntry* AdminCommands::ban_buffer() {
  if (!bans_) bans_.reset(new config::DenyEntry[config::kDenyEntries]);
  return bans_.get();
}

std::string AdminCommands::with_charset_note(std::string reply) {
  const std::string note = names_->take_note();
  if (!note.empty()) report_event(server_.lobby().events, "admin: %s", note.c_str());
  return reply;
}

std::string AdminCommands::run(const std::string& line, const std::string& by) {
  std::string words[kMaxWords];
  const int count = split_words(line, words, kMaxWords);
  if (count == 0) return argument_error("empty command (try help)");
  // With more words than any command but a free-text one takes, the first
  // is still the command's name.
  const std::string& name = words[0];
  const AdminCommand* command = find_command(name);
  if (command == nullptr) return argument_error("unknown command: " + name + " (try help)");
  const int arguments = count < 0 ? kMaxWords : count - 1;
  if (arguments < command->least_arguments ||
      (command->most_arguments != kRestOfLine &&
       (count < 0 || arguments > command->most_arguments))) {
    return usage_error(command->name);
  }
  const CommandCall call{words, count < 0 ? kMaxWords : count, line, by};
  return command->handler(*this, call);
}

std::string AdminCommands::start_reload(const std::string& by) {
  if (reader_.busy()) {
    const int64_t for_s = (server_.clock().now_ms() - reader_.started_ms()) / 1000;
    return error_reply("a reload is already reading " + hooks_.config_path + " (for " +
                       std::to_string(for_s) + " s); try again once it is done");
  }
  // Read as at the start: the defaults, the environment, then the file.
  config::Settings base;
  config::ConfigReading base_reading;
  config::apply_environment(&base, &base_reading);
  reader_.start(hooks_.config_path, base, base_reading, server_.clock().now_ms());
  reload_by_ = by;
  return kPendingReply;
}

std::string AdminCommands::finish_reload() {
  auto next = std::make_unique<config::Settings>();
  auto reading = std::make_unique<config::ConfigReading>();
  int result = 0;
  if (!reader_.take(next.get(), reading.get(), &result)) return "";
  lobby::Lobby& lobby = server_.lobby();
  const std::string& path = hooks_.config_path;
  if (result != 0) {
    const std::string text = reading->result == config::FileResult::kMissing
                                 ? "cannot read " + path + ": " + std::strerror(reading->error)
                                 : config::file_problem(path.c_str(), *reading);
    report_event(lobby.events, "admin: reload: %s; nothing changed", text.c_str());
    return error_reply(text + "; nothing changed");
  }
  const config::Settings before = lobby.live.current();
  // A key whose every line was bad keeps the value in force: a slip of the
  // operator's fingers must not send it back to its default.
  for (int i = 0; i < config::kSettingKeyCount; ++i) {
    config::KeySource& source = reading->sources[i];
    if (source.line != 0 || source.bad_line == 0) continue;
    const config::SettingKey& key = config::kSettingKeys[i];
    std::memcpy(reinterpret_cast<char*>(next.get()) + key.offset,
                reinterpret_cast<const char*>(&before) + key.offset, key.size);
    const int32_t bad_line = source.bad_line;
    source = config::KeySource();
    source.kept = true;
    source.bad_line = bad_line;
  }
  std::vector<std::string> changed;
  std::vector<std::string> restart;
  config::differing_keys(before, *next, &changed, &restart);
  lobby.live.publish(*next);
  // What the admin thread itself holds, the deny file and the moderation
  // log change here; the accept thread moves the upstream link, and every
  // worker retunes the flood pacing of its clients, on their next passes.
  for (const std::string& key : changed) {
    if (key == "L_DENY") lobby.deny_list.change_file(next->L_DENY);
    if (key == "L_CHARSET") names_.reset(new NameText(next->L_CHARSET));
    // The moderation log reopens for a new file, or to decode with a new
    // character set.
    const bool chat_log = key == "L_CHAT_LOG" || (key == "L_CHARSET" && next->L_CHAT_LOG[0] != 0);
    if (chat_log && hooks_.chat_log) {
      const int error = hooks_.chat_log(next->L_CHAT_LOG);
      if (error != 0) {
        report_event(lobby.events, "admin: reload: cannot open the moderation log %s: %s",
                     next->L_CHAT_LOG, std::strerror(error));
      }
    }
  }
  server_.poke();
  // The status display and the service manager's status show the new name
  // and version.
  lobby.events->counts_changed();
  for (int i = 0; i < config::kSettingKeyCount; ++i) {
    if (config::kSettingKeys[i].takes == config::Takes::kAtOnce) sources_[i] = reading->sources[i];
  }
  *file_values_ = *next;
  *last_reading_ = *reading;

  report_event(lobby.events,
               "admin: reload of %s: changed %s; needs a restart: %s; bad lines %d (by %s)",
               path.c_str(), joined(changed).c_str(), joined(restart).c_str(),
               static_cast<int>(reading->bad_count), reload_by_.c_str());
  for (int i = 0; i < reading->note_count && i < config::kMaxReported; ++i) {
    report_event(lobby.events, "admin: reload: setting %s", reading->notes[i].text);
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
  reading_members(&reply, *reading);
  return reply.close_object().text();
}

std::string AdminCommands::settings_reply() {
  const config::Settings in_force = server_.lobby().live.current();
  JsonLine reply;
  reply.open_object().member("file", hooks_.config_path);
  reply.name("settings").open_array();
  for (const config::SettingRow& row : config::setting_rows(in_force, sources_)) {
    reply.open_object().member("key", row.key).member("value", row.value);
    reply.member("from", row.from).close_object();
  }
  reply.close_array();
  reply.name("restart_needed").open_array();
  for (int i = 0; i < config::kSettingKeyCount; ++i) {
    const std::string running = config::setting_text(in_force, i);
    const std::string read = config::setting_text(*file_values_, i);
    if (config::kSettingKeys[i].takes != config::Takes::kRestart || read == running) continue;
    reply.open_object().member("key", config::kSettingKeys[i].name).member("value", read);
    reply.member("running", running).close_object();
  }
  reply.close_array();
  reading_members(&reply, *last_reading_);
  return reply.close_object().text();
}

std::string run_status(AdminCommands& admin, const CommandCall&) {
  const lobby::LobbySnapshot& s = admin.snapshot();
  const config::Settings settings = admin.lobby().live.current();
  StatusInfo info;
  // Written in UTF-8 it stays as it is; otherwise (a file written on
  // Windows) it is taken to be in the clients' character set.
  std::string name = settings.L_NAME;
  if (!valid_utf8(name)) {
    name = admin.with_charset_note(admin.names().decode(
        reinterpret_cast<const uint8_t*>(settings.L_NAME), static_cast<int>(name.size())));
  }
  info.name = name.c_str();
  info.version = settings.VER;
  const int bound = admin.server().listening_port();
  info.port = bound > 0 ? bound : (settings.L_PORT & 0xffff);
  info.listening = bound > 0;
  const std::string ip = settings_address_text(settings.L_IP);
  info.ip = ip.c_str();
  info.uptime_s = admin.uptime_s();
  if (admin.hooks().facts != nullptr) {
    const ProcessFacts& facts = *admin.hooks().facts;
    info.pid = facts.pid;
    info.process_started_unix_s = facts.process_started_unix_s;
    info.serving_since_unix_s = facts.serving_since_unix_s;
    info.upgrades = facts.upgrades;
  }
  info.server_version = config::kProgramVersion;
  info.commit = config::kBuildCommit;
  info.upstream_configured = settings.N_PORT != 0;
  return status_reply(s, info);
}

std::string run_users(AdminCommands& admin, const CommandCall&) {
  return admin.with_charset_note(users_reply(admin.snapshot(), &admin.names()));
}

std::string run_rooms(AdminCommands& admin, const CommandCall&) {
  return admin.with_charset_note(rooms_reply(admin.snapshot(), &admin.names()));
}

// The channel runs an upgrade itself (AdminChannel::upgrade): it hands
// itself over with the lobby. The row is here for help and the usage.
std::string run_upgrade(AdminCommands&, const CommandCall&) {
  return error_reply("usage: upgrade [PROGRAM]");
}

std::string run_settings(AdminCommands& admin, const CommandCall&) {
  return admin.settings_reply();
}

std::string run_kick(AdminCommands& admin, const CommandCall& call) {
  lobby::Lobby& lobby = admin.lobby();
  const std::string& target = call.words[1];
  const std::string reason = text_after(call.line, 2);
  const std::string problem = reason_problem(reason);
  if (!problem.empty()) return argument_error(problem);
  std::vector<Target> targets;
  bool matched = false;
  bool malformed = false;
  std::string error;
  if (!find_targets(lobby, target, &targets, &matched, &error, &malformed)) {
    if (malformed) return argument_error(error);
    return matched ? error_reply(error) : kick_slot(admin, target, call.by, reason);
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
    report_event(lobby.events, "admin: kick #%lld slot %d user %d from %s; %s",
                 static_cast<long long>(id), t.slot, user_id, address.c_str(),
                 by_and_reason(call.by, reason).c_str());
    reply.open_object().member("id", id).member("slot", t.slot).member("user_id", user_id);
    reply.member("address", address).close_object();
  }
  return reply.close_array().member("reason", reason).close_object().text();
}

std::string run_drain(AdminCommands& admin, const CommandCall& call) {
  lobby::Lobby& lobby = admin.lobby();
  if (call.count == 2 && call.words[1] == "cancel") {
    const int rc = admin.server().cancel_drain();
    if (rc == lobby::Server::kNotDraining) return error_reply("the lobby is not draining");
    if (rc == lobby::Server::kDrainOver) {
      return error_reply("too late: the drain has ended and the lobby is stopping");
    }
    report_event(lobby.events, "admin: drain cancelled; new connections are taken again (by %s)",
                 call.by.c_str());
    return "{\"draining\":false}";
  }
  int seconds = kDefaultDrainSeconds;
  bool now = false;
  bool have_seconds = false;
  for (int i = 1; i < call.count; ++i) {
    if (call.words[i] == "--now" && !now) {
      now = true;
    } else if (!have_seconds && parse_count(call.words[i], kMaxDrainSeconds, &seconds)) {
      have_seconds = true;
    } else {
      return argument_error("usage: " + command_usage(*find_command("drain")) + ", SECONDS 0 to " +
                            std::to_string(kMaxDrainSeconds));
    }
  }
  const lobby::LobbySnapshot& s = admin.snapshot();
  const int in_games = players_in_games(s);
  // A short drain ends the games that run, which nobody should do by a
  // slip: it is refused without --now, saying what it would cut.
  if (seconds < kShortDrainSeconds && in_games > 0 && !now) {
    return argument_error(std::to_string(in_games) + " players are in games; a drain of " +
                          std::to_string(seconds) + " s would end their games: add --now to " +
                          "drain all the same, or give " + std::to_string(kShortDrainSeconds) +
                          " s or more");
  }
  admin.server().start_drain(seconds);
  report_event(lobby.events,
               "admin: drain for at most %d s with %d clients connected, %d in games (by %s)",
               seconds, s.users, in_games, call.by.c_str());
  return "{\"draining\":true,\"seconds\":" + std::to_string(seconds) +
         ",\"users\":" + std::to_string(s.users) + ",\"in_games\":" + std::to_string(in_games) +
         "}";
}

std::string run_reopen(AdminCommands& admin, const CommandCall&) {
  lobby::Lobby& lobby = admin.lobby();
  if (!admin.hooks().reopen_log) return error_reply("this lobby has no event log");
  const int error = admin.hooks().reopen_log();
  if (error != 0) {
    const std::string text = std::string("cannot reopen the event log: ") + std::strerror(error);
    report_event(lobby.events, "admin: %s; still writing the old one", text.c_str());
    return error_reply(text);
  }
  report_event(lobby.events, "admin: event log reopened");
  return "{\"reopened\":true}";
}

std::string run_reload(AdminCommands& admin, const CommandCall& call) {
  return admin.start_reload(call.by);
}

std::string run_ban(AdminCommands& admin, const CommandCall& call) {
  const std::string usage = "usage: " + command_usage(*find_command("ban")) + ", SECONDS 1 to " +
                            std::to_string(kMaxBanSeconds);
  lobby::Lobby& lobby = admin.lobby();
  const std::string& what = call.words[1];
  // One entry for an address or prefix; for connections named by id or
  // user, one per address they came from, as the per-address limits count
  // it (an IPv6 address's /64).
  std::vector<config::DenyEntry> entries;
  std::vector<Target> targets;
  bool matched = false;
  bool malformed = false;
  std::string not_found;
  if (find_targets(lobby, what, &targets, &matched, &not_found, &malformed)) {
    for (const Target& t : targets) {
      const net::IpAddress addr = lobby.slots[t.slot].peer_address.load();
      config::DenyEntry entry;
      entry.prefix = net::IpPrefix::of(addr, addr.key_bits());
      bool known = false;
      for (const config::DenyEntry& e : entries) known = known || e.prefix == entry.prefix;
      if (!known) entries.push_back(entry);
    }
  } else if (malformed) {
    return argument_error(not_found);
  } else if (matched) {
    return error_reply(not_found);
  } else {
    config::DenyEntry entry;
    if (config::parse_deny_entry(what.c_str(), &entry) != 0) {
      return argument_error("not an IPv4 or IPv6 address or prefix: " + what);
    }
    entries.push_back(entry);
  }
  // SECONDS is the number right after the address; the rest is the reason.
  // A word there that starts with a digit but is no number ("10m") is a
  // time mistyped, refused rather than taken for a reason and the ban made
  // for good.
  int seconds = 0;
  const std::string third = call.count >= 3 ? call.words[2] : std::string();
  const bool timed = !third.empty() && third[0] >= '0' && third[0] <= '9';
  if (timed && (!parse_count(third, kMaxBanSeconds, &seconds) || seconds == 0)) {
    return argument_error(usage);
  }
  const std::string reason = text_after(call.line, timed ? 3 : 2);
  const std::string problem = reason_problem(reason);
  if (!problem.empty()) return argument_error(problem);
  config::BanNote note;
  note.by = call.by;
  note.since_s = lobby.deny_list.now_utc_s();
  note.reason = reason;
  const std::string comment = config::format_ban_comment(note);
  std::string banned;
  std::string until = "null";
  int dropped = 0;
  for (config::DenyEntry& entry : entries) {
    if (seconds > 0) entry.until_s = lobby.deny_list.now_utc_s() + seconds;
    int error = 0;
    const int rc = lobby.deny_list.add(entry, &error, comment.c_str());
    if (rc != config::kDenyOk) return deny_error(rc, error, what);
    // Open connections from the prefix go: each slot's serial before its
    // address, as for kick. A connection let in while the list changed is
    // caught by the accept thread itself.
    int closed = 0;
    for (int i = 0; i < lobby::kSlots; ++i) {
      lobby::ClientSlot& client = lobby.slots[i];
      const uint32_t serial = client.drop_request.serial();
      if (!client.is_open()) continue;
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
    report_event(lobby.events, "admin: ban %s until %s; %d connections closed; %s", text,
                 until_text, closed, by_and_reason(call.by, reason).c_str());
    banned += (banned.empty() ? "" : " ") + std::string(text);
  }
  JsonLine reply;
  reply.open_object().member("banned", banned).name("expires");
  if (until == "null") {
    reply.null();
  } else {
    reply.value(until.substr(1, until.size() - 2));
  }
  reply.member("closed", dropped).member("reason", reason).member("by", call.by);
  return reply.close_object().text();
}

std::string run_unban(AdminCommands& admin, const CommandCall& call) {
  const std::string& address = call.words[1];
  config::DenyEntry entry;
  if (config::parse_deny_entry(address.c_str(), &entry) != 0) {
    return argument_error("not an IPv4 or IPv6 address or prefix: " + address);
  }
  lobby::Lobby& lobby = admin.lobby();
  // An automatic ban of the same prefix is lifted with the deny file's.
  const bool automatic = lobby.auto_ban_table.remove(entry.prefix);
  int error = 0;
  const int rc = lobby.deny_list.remove(entry, &error);
  if (rc != config::kDenyOk &&
      !(automatic && (rc == config::kDenyNotFound || rc == config::kDenyNoFile))) {
    return deny_error(rc, error, address);
  }
  char text[config::kDenyTextBytes];
  config::format_deny_entry(entry, text);
  report_event(lobby.events, "admin: unban %s%s; by %s", text,
               rc == config::kDenyOk ? "" : " (an automatic ban)", call.by.c_str());
  return std::string("{\"unbanned\":\"") + text + "\"}";
}

std::string run_bans(AdminCommands& admin, const CommandCall&) {
  config::DenyEntry* bans = admin.ban_buffer();
  std::vector<config::BanNote> notes(config::kDenyEntries);
  lobby::Lobby& lobby = admin.lobby();
  const int count = lobby.deny_list.entries_with_notes(bans, notes.data(), config::kDenyEntries);
  lobby::AutoBanRecord* automatic = admin.auto_ban_buffer();
  const int automatic_count =
      lobby.auto_ban_table.list(admin.server().clock().now_ms(), automatic, lobby::kAutoBans);
  return bans_reply(bans, notes.data(), count, automatic, automatic_count);
}

std::string run_help(AdminCommands&, const CommandCall&) { return help_reply(); }

}  // namespace admin
