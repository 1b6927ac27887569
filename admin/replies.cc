#include "admin/replies.h"

#include <cstdio>

#include "admin/command_table.h"
#include "admin/json_line.h"

namespace admin {

std::string address_text(const net::IpAddress& addr, int32_t port) {
  char text[net::kIpPortTextBytes];
  addr.format_with_port(port, text);
  return text;
}

std::string settings_address_text(const int32_t parts[4]) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", parts[0] & 0xff, parts[1] & 0xff, parts[2] & 0xff,
                parts[3] & 0xff);
  return text;
}

std::string status_reply(const lobby::LobbySnapshot& s, const StatusInfo& info) {
  JsonLine reply;
  reply.open_object();
  reply.member("name", info.name);
  reply.member("version", info.version);
  reply.member("port", info.port);
  reply.member("ip", info.ip);
  reply.member("listening", info.listening);
  reply.member("users", s.users);
  reply.member("slots", s.served_slots);
  reply.member("rooms_in_use", s.rooms_in_use);
  reply.member("rooms", s.room_limit);
  reply.member("uptime_s", info.uptime_s);
  reply.member("pid", info.pid);
  char when[config::kUntilTextBytes];
  config::format_until(info.process_started_unix_s, when);
  reply.member("process_started_at", when);
  config::format_until(info.serving_since_unix_s, when);
  reply.member("serving_since", when);
  reply.member("upgrades", info.upgrades);
  reply.member("draining", s.draining);
  reply.name("drain_left_s");
  if (s.draining) {
    const int64_t left_ms = s.drain_left_ms;
    reply.value(left_ms > 0 ? (left_ms + 999) / 1000 : -(-left_ms / 1000));
  } else {
    reply.null();
  }
  reply.member("server_version", info.server_version);
  reply.member("commit", info.commit);
  reply.name("drops").open_object();
  for (int reason = 0; reason < lobby::kDropReasons; ++reason) {
    reply.member(lobby::drop_reason_text(reason), s.drops[reason]);
  }
  reply.close_object();
  reply.name("refused").open_object();
  for (int reason = 0; reason < lobby::kRefusalReasons; ++reason) {
    if (!lobby::refusal_shown(reason, s.refusals[reason], s.proxies)) continue;
    reply.member(lobby::refusal_reason_text(reason), s.refusals[reason]);
  }
  reply.close_object();
  reply.name("counters").open_object();
  for (int counter = 0; counter < lobby::kCounters; ++counter) {
    reply.member(lobby::counter_text(counter), s.counters[counter]);
  }
  reply.close_object();
  reply.name("upstream").open_object();
  reply.member("configured", info.upstream_configured);
  reply.member("state", upstream::link_state_text(s.upstream_state));
  reply.member("reconnects", s.upstream_reconnects);
  reply.close_object();
  return reply.close_object().text();
}

std::string users_reply(const lobby::LobbySnapshot& s, NameText* names) {
  JsonLine reply;
  reply.open_object().name("users").open_array();
  for (int i = 0; i < lobby::kSlots; ++i) {
    const lobby::SlotSnapshot& slot = s.slots[i];
    if (!slot.open) continue;
    reply.open_object();
    reply.member("slot", i);
    reply.member("id", slot.id);
    reply.member("address", address_text(slot.addr, slot.port));
    reply.member("user_id", slot.user_id);
    reply.member("name", names->decode(slot.name, wire::kNameLen));
    reply.member("group", slot.group_key);
    reply.member("room", slot.room);
    reply.member("seat", slot.seat);
    reply.member("logged_in", slot.logged_in);
    reply.member("connected_s", slot.connected_ms / 1000);
    reply.member("idle_s", slot.idle_seconds);
    reply.close_object();
  }
  return reply.close_array().close_object().text();
}

std::string rooms_reply(const lobby::LobbySnapshot& s, NameText* names) {
  JsonLine reply;
  reply.open_object().name("rooms").open_array();
  for (int r = 0; r < lobby::kMaxRooms; ++r) {
    const lobby::RoomSnapshot& room = s.rooms[r];
    if (!room.in_use) continue;
    reply.open_object();
    reply.member("room", r);
    reply.member("group", room.group_key);
    reply.member("title", names->decode(room.title, lobby::kTitleBytes));
    reply.member("members", room.members);
    reply.member("start_size", room.start_size);
    reply.member("started", room.started);
    reply.name("seats").open_array();
    for (int seat = 0; seat < lobby::kSeats; ++seat) {
      if (room.seat_slot[seat] == lobby::kNone) continue;
      reply.open_object();
      reply.member("seat", seat);
      reply.member("slot", room.seat_slot[seat]);
      reply.member("name", names->decode(room.seat_name[seat], wire::kNameLen));
      reply.close_object();
    }
    reply.close_array().close_object();
  }
  return reply.close_array().close_object().text();
}

std::string bans_reply(const config::DenyEntry* bans, const config::BanNote* notes, int count,
                       const lobby::AutoBanRecord* automatic, int automatic_count) {
  JsonLine reply;
  reply.open_object().name("bans").open_array();
  auto time_or_null = [&reply](int64_t unix_s) {
    if (unix_s == 0) {
      reply.null();
      return;
    }
    char text[config::kUntilTextBytes];
    config::format_until(unix_s, text);
    reply.value(static_cast<const char*>(text));
  };
  for (int i = 0; i < count; ++i) {
    char address[config::kDenyTextBytes];
    config::format_deny_entry(bans[i], address);
    reply.open_object().member("address", static_cast<const char*>(address)).name("expires");
    time_or_null(bans[i].until_s);  // null: never
    reply.member("reason", notes[i].reason).member("by", notes[i].by).name("since");
    time_or_null(notes[i].since_s);  // null: unsaid
    reply.close_object();
  }
  for (int i = 0; i < automatic_count; ++i) {
    const lobby::AutoBanRecord& ban = automatic[i];
    char address[net::kIpPrefixTextBytes];
    ban.prefix.format(address);
    char until[config::kUntilTextBytes];
    config::format_until(ban.until_utc_s, until);
    char since[config::kUntilTextBytes];
    config::format_until(ban.since_utc_s, since);
    char reason[lobby::kDropCountsBytes + 160];
    lobby::format_auto_ban_reason(ban, reason, sizeof reason);
    reply.open_object()
        .member("address", static_cast<const char*>(address))
        .member("expires", static_cast<const char*>(until))
        .member("by", "auto")
        .member("since", static_cast<const char*>(since))
        .member("reason", static_cast<const char*>(reason))
        .close_object();
  }
  return reply.close_array().close_object().text();
}

std::string help_reply() {
  JsonLine reply;
  reply.open_object().name("commands").open_array();
  for (int i = 0; i < kAdminCommandCount; ++i) {
    reply.open_object().member("usage", command_usage(kAdminCommands[i]));
    reply.member("text", kAdminCommands[i].help).close_object();
  }
  return reply.close_array().close_object().text();
}

void reading_members(JsonLine* reply, const config::ConfigReading& reading) {
  auto list = [reply](const char* key, const config::ReportLine* lines, int count,
                      const char* what) {
    reply->name(key).open_array();
    for (int i = 0; i < count && i < config::kMaxReported; ++i) reply->value(lines[i].text);
    if (count > config::kMaxReported) {
      reply->value("and " + std::to_string(count - config::kMaxReported) + " more " + what);
    }
    reply->close_array();
  };
  list("bad_lines", reading.bad, reading.bad_count, "bad lines");
  list("notes", reading.notes, reading.note_count, "notes");
}

std::string error_reply(const std::string& message) {
  JsonLine reply;
  return reply.open_object().member("error", message).close_object().text();
}

}  // namespace admin
