// The admin channel's replies: one line of JSON each, built from a lobby
// snapshot with no lock held. Admin thread only.
#ifndef ADMIN_REPLIES_H_
#define ADMIN_REPLIES_H_

#include <cstdint>
#include <string>

#include "admin/json_line.h"
#include "admin/name_text.h"
#include "config/deny_list.h"
#include "lobby/ban_table.h"
#include "lobby/snapshot.h"
#include "net/ip_address.h"

namespace admin {

// What status shows besides the snapshot.
struct StatusInfo {
  const char* name = "";  // L_NAME
  int32_t version = 0;    // VER, the game data version
  int32_t port = 0;       // the port game clients connect to
  const char* ip = "";    // L_IP, the address players reach the lobby at
  // Whether game clients can connect: false while the port could not be
  // had (another process holds it, say).
  bool listening = false;
  // Since the lobby began to serve, upgrades included.
  int64_t uptime_s = 0;
  // The process: its id and start, when the lobby began to serve (UTC
  // seconds; kept across upgrades), and the upgrades since.
  int32_t pid = 0;
  int64_t process_started_unix_s = 0;
  int64_t serving_since_unix_s = 0;
  int32_t upgrades = 0;
  const char* server_version = "";   // the program's own version
  const char* commit = "";           // the git commit it was built from
  bool upstream_configured = false;  // N_PORT is set
};

// "ip" is L_IP as given; "process_started_at" and "serving_since" are
// UTC times ("2026-12-09T09:09:13Z"); "drain_left_s" counts the seconds until a
// drain's time is up, rounded up (negative once it is past), and is null
// while the lobby does not drain.
std::string status_reply(const lobby::LobbySnapshot& snapshot, const StatusInfo& info);
// One entry per open slot.
std::string users_reply(const lobby::LobbySnapshot& snapshot, NameText* names);
// Rooms in use only.
std::string rooms_reply(const lobby::LobbySnapshot& snapshot, NameText* names);
// One entry per ban in force, with its expiry (null for none): the deny
// list's, with what its line says (the reason, who: an operator's user
// name, "" unsaid; since when, null unsaid), then the automatic ones,
// oldest first, each marked "by":"auto" with the time it began ("since")
// and why ("reason").
std::string bans_reply(const config::DenyEntry* bans, const config::BanNote* notes, int count,
                       const lobby::AutoBanRecord* automatic, int automatic_count);
// Every command of the command table, with its usage and help.
std::string help_reply();
// The members "bad_lines" and "notes" of a reading of the settings file.
void reading_members(JsonLine* reply, const config::ConfigReading& reading);
// {"error": message}
std::string error_reply(const std::string& message);

// "203.0.113.9:40000", "[2001:db8::1]:40000".
std::string address_text(const net::IpAddress& addr, int32_t port);
// "A.B.C.D" of a settings address (four parts, each taken modulo 256).
std::string settings_address_text(const int32_t parts[4]);

}  // namespace admin

#endif  // ADMIN_REPLIES_H_
