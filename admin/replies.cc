#include "admin/replies.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace admin {
namespace {

using Json = nlohmann::ordered_json;

// One line, whatever the text holds: bytes that are not UTF-8 (a lobby
// name from the settings file, say) become U+FFFD instead of an error.
std::string one_line(const Json& reply) {
  return reply.dump(-1, ' ', false, Json::error_handler_t::replace);
}

struct CommandHelp {
  const char* usage;
  const char* text;
};

constexpr CommandHelp kCommands[] = {
    {"status", "name, counts, uptime, drops and refusals, upstream link"},
    {"users", "one entry per connection: address, user, name, group, room, seat, times"},
    {"rooms", "rooms in use with their seats"},
    {"drain [SECONDS]",
     "refuse new connections with 2A; stop once nobody is connected or after SECONDS "
     "(default 600)"},
    {"kick SLOT", "drop the client in SLOT (see users)"},
    {"ban ADDRESS[/BITS] [SECONDS]",
     "deny an address or prefix, for SECONDS or until unban, in the deny file; close its "
     "connections"},
    {"unban ADDRESS[/BITS]", "take a ban out of the deny file"},
    {"bans", "the bans in force, with their expiry"},
    {"reopen", "reopen the event log for appending (after it was rotated)"},
    {"help", "this list"},
};

}  // namespace

std::string address_text(uint32_t addr, int32_t port) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%d", addr >> 24, (addr >> 16) & 0xff,
                (addr >> 8) & 0xff, addr & 0xff, port);
  return text;
}

std::string status_reply(const lobby::LobbySnapshot& s, const StatusInfo& info) {
  Json drops = Json::object();
  for (int reason = 0; reason < lobby::kDropReasons; ++reason) {
    drops[lobby::drop_reason_text(reason)] = s.drops[reason];
  }
  Json refused = Json::object();
  for (int reason = 0; reason < lobby::kRefusalReasons; ++reason) {
    refused[lobby::refusal_reason_text(reason)] = s.refusals[reason];
  }
  Json reply = Json::object();
  reply["name"] = info.name;
  reply["version"] = info.version;
  reply["port"] = info.port;
  reply["users"] = s.users;
  reply["slots"] = s.served_slots;
  reply["rooms_in_use"] = s.rooms_in_use;
  reply["rooms"] = s.room_limit;
  reply["uptime_s"] = info.uptime_s;
  reply["draining"] = s.draining;
  reply["drops"] = drops;
  reply["refused"] = refused;
  reply["upstream"] = Json{{"state", upstream::link_state_text(s.upstream_state)},
                           {"reconnects", s.upstream_reconnects}};
  return one_line(reply);
}

std::string users_reply(const lobby::LobbySnapshot& s, NameText* names) {
  Json users = Json::array();
  for (int i = 0; i < lobby::kSlots; ++i) {
    const lobby::SlotSnapshot& slot = s.slots[i];
    if (!slot.open) continue;
    Json user = Json::object();
    user["slot"] = i;
    user["address"] = address_text(slot.addr, slot.port);
    user["user_id"] = slot.user_id;
    user["name"] = names->decode(slot.name, wire::kNameLen);
    user["group"] = slot.group_key;
    user["room"] = slot.room;
    user["seat"] = slot.seat;
    user["logged_in"] = slot.logged_in;
    user["connected_s"] = slot.connected_ms / 1000;
    user["idle_s"] = slot.idle_seconds;
    users.push_back(std::move(user));
  }
  return one_line(Json{{"users", std::move(users)}});
}

std::string rooms_reply(const lobby::LobbySnapshot& s, NameText* names) {
  Json rooms = Json::array();
  for (int r = 0; r < lobby::kMaxRooms; ++r) {
    const lobby::RoomSnapshot& room = s.rooms[r];
    if (!room.in_use) continue;
    Json seats = Json::array();
    for (int seat = 0; seat < lobby::kSeats; ++seat) {
      if (room.seat_slot[seat] == lobby::kNone) continue;
      seats.push_back(Json{{"seat", seat},
                           {"slot", room.seat_slot[seat]},
                           {"name", names->decode(room.seat_name[seat], wire::kNameLen)}});
    }
    Json entry = Json::object();
    entry["room"] = r;
    entry["group"] = room.group_key;
    entry["title"] = names->decode(room.title, lobby::kTitleBytes);
    entry["members"] = room.members;
    entry["start_size"] = room.start_size;
    entry["started"] = room.started;
    entry["seats"] = std::move(seats);
    rooms.push_back(std::move(entry));
  }
  return one_line(Json{{"rooms", std::move(rooms)}});
}

std::string bans_reply(const config::DenyEntry* bans, int count) {
  Json list = Json::array();
  for (int i = 0; i < count; ++i) {
    char address[config::kDenyTextBytes];
    config::format_deny_entry(bans[i], address);
    Json expires;  // null: never
    if (bans[i].until_s != 0) {
      char until[config::kUntilTextBytes];
      config::format_until(bans[i].until_s, until);
      expires = until;
    }
    list.push_back(Json{{"address", address}, {"expires", std::move(expires)}});
  }
  return one_line(Json{{"bans", std::move(list)}});
}

std::string help_reply() {
  Json commands = Json::array();
  for (const CommandHelp& command : kCommands) {
    commands.push_back(Json{{"usage", command.usage}, {"text", command.text}});
  }
  return one_line(Json{{"commands", std::move(commands)}});
}

std::string error_reply(const std::string& message) { return one_line(Json{{"error", message}}); }

}  // namespace admin
