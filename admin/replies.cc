#include "admin/replies.h"

#include <cstdio>

#include "admin/json_line.h"

namespace admin {
namespace {

struct CommandHelp {
  const char* usage;
  const char* text;
};

constexpr CommandHelp kCommands[] = {
    {"status",
     "name, address, port and whether it listens, counts, uptime, drain and its time left, "
     "version and commit, drops and refusals, counters, upstream link"},
    {"users",
     "one entry per connection: slot, connection id, address, user, name, group, room, seat, "
     "times"},
    {"rooms", "rooms in use with their seats"},
    {"drain [SECONDS]",
     "refuse new connections with 2A; stop once nobody is connected or after SECONDS "
     "(default 600)"},
    {"drain cancel", "end a drain: take new connections again and keep running"},
    {"kick SLOT|#ID|user:N",
     "drop the client in SLOT, the connection with id ID, or every connection of user N (see "
     "users)"},
    {"ban ADDRESS[/BITS]|#ID|user:N [SECONDS]",
     "deny an IPv4 or IPv6 address or prefix (or the address of connection ID, or those of user "
     "N; an IPv6 client's /64), for "
     "SECONDS or until unban, in the deny file; close its connections"},
    {"unban ADDRESS[/BITS]", "take a ban out of the deny file, or lift an automatic ban"},
    {"bans", "the bans in force, with their expiry: the deny file's, then the automatic ones"},
    {"reopen", "reopen the event log for appending (after it was rotated)"},
    {"reload",
     "read dorvik.txt again: limits, L_DENY, L_CHARSET, VER, L_NAME, N_IP and N_PORT take "
     "effect at once; tells what changed, what needs a restart and any bad line"},
    {"help", "this list"},
};

}  // namespace

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

std::string bans_reply(const config::DenyEntry* bans, int count,
                       const lobby::AutoBanRecord* automatic, int automatic_count) {
  JsonLine reply;
  reply.open_object().name("bans").open_array();
  for (int i = 0; i < count; ++i) {
    char address[config::kDenyTextBytes];
    config::format_deny_entry(bans[i], address);
    reply.open_object().member("address", static_cast<const char*>(address)).name("expires");
    if (bans[i].until_s != 0) {
      char until[config::kUntilTextBytes];
      config::format_until(bans[i].until_s, until);
      reply.value(static_cast<const char*>(until));
    } else {
      reply.null();  // never
    }
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
  for (const CommandHelp& command : kCommands) {
    reply.open_object().member("usage", command.usage).member("text", command.text).close_object();
  }
  return reply.close_array().close_object().text();
}

std::string error_reply(const std::string& message) {
  JsonLine reply;
  return reply.open_object().member("error", message).close_object().text();
}

}  // namespace admin
