#include "admin/command_table.h"

namespace admin {

const AdminCommand kAdminCommands[] = {
    {"status", "",
     "name, address, port and whether it listens, counts, uptime, drain and its time left, "
     "version and commit, drops and refusals, counters, upstream link",
     run_status, 0, 0, false},
    {"users", "",
     "one entry per connection: slot, connection id, address, user, name, group, room, seat, "
     "times",
     run_users, 0, 0, false},
    {"rooms", "", "rooms in use with their seats", run_rooms, 0, 0, false},
    {"settings", "",
     "every setting in force and where it came from (a line of dorvik.txt, its default, a "
     "clamp), what waits for a restart, and the bad lines of the last reading",
     run_settings, 0, 0, false},
    {"say", "[--group KEY | --room N | --to #ID|user:N] TEXT",
     "a chat line from the operator: to every client outside games, to one group's, to the "
     "game of room N, or to one connection; TEXT in UTF-8, at most 73 bytes in L_CHARSET",
     run_say, 1, kRestOfLine, true},
    {"kick", "SLOT|#ID|user:N [REASON...]",
     "drop the client in SLOT, the connection with id ID, or every connection of user N (see "
     "users); the log keeps the reason and who kicked",
     run_kick, 1, kRestOfLine, true},
    {"ban", "ADDRESS[/BITS]|#ID|user:N [SECONDS] [REASON...]",
     "deny an IPv4 or IPv6 address or prefix (or the address of connection ID, or those of "
     "user N; an IPv6 client's /64), for SECONDS or until unban, in the deny file with the "
     "reason, who banned and since when; close its connections",
     run_ban, 1, kRestOfLine, true},
    {"unban", "ADDRESS[/BITS]", "take a ban out of the deny file, or lift an automatic ban",
     run_unban, 1, 1, false},
    {"bans", "",
     "the bans in force, with their expiry, reason, who banned and since when: the deny file's, "
     "then the automatic ones (by auto)",
     run_bans, 0, 0, false},
    {"drain", "[SECONDS [--now] | cancel]",
     "refuse new connections with 2A; stop once nobody is connected or after SECONDS "
     "(default 600); under 60 s while games run only with --now; cancel ends a drain",
     run_drain, 0, 2, true},
    {"reopen", "", "reopen the event log and the moderation log for appending (after rotation)",
     run_reopen, 0, 0, false},
    {"reload", "",
     "read dorvik.txt again: the keys that change at once do; tells what changed, what needs "
     "a restart and any bad line",
     run_reload, 0, 0, false},
    {"upgrade", "[PROGRAM]",
     "hand every connection, room, game and byte in flight to PROGRAM (default: the program "
     "file this lobby was started from), which serves on without a disconnect; tells the new "
     "process id and the pause, or why it failed (the lobby then serves on unchanged); only the "
     "lobby's own user may name a PROGRAM (Linux)",
     run_upgrade, 0, 1, true},
    {"help", "", "this list", run_help, 0, 0, false},
};

const int kAdminCommandCount = static_cast<int>(sizeof kAdminCommands / sizeof kAdminCommands[0]);

const AdminCommand* find_command(const std::string& name) {
  for (int i = 0; i < kAdminCommandCount; ++i) {
    if (name == kAdminCommands[i].name) return &kAdminCommands[i];
  }
  return nullptr;
}

std::string command_usage(const AdminCommand& command) {
  return command.arguments[0] == '\0' ? std::string(command.name)
                                      : std::string(command.name) + " " + command.arguments;
}

}  // namespace admin
