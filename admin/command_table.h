// The admin channel's commands, one row each: the name, the arguments as
// the usage gives them, a line of help, the handler, how many arguments it
// takes, and whether lobbyctl --all runs it on every lobby only with --yes.
// The channel's dispatch, its help reply, lobbyctl's usage and its --all
// guard go by this table, and a test holds lobbyctl's manual page to it. A
// new command is a handler (declared below) and a row in command_table.cc.
#ifndef ADMIN_COMMAND_TABLE_H_
#define ADMIN_COMMAND_TABLE_H_

#include <string>

namespace admin {

class AdminCommands;

// One command as the operator sent it. `words` holds the line's first
// words, the command's name first; `line` is the whole line, for a
// command whose last argument is free text.
struct CommandCall {
  const std::string* words;
  int count;
  const std::string& line;
  // The user name of the operator who sent it (from the channel's peer).
  const std::string& by;
};

using CommandHandler = std::string (*)(AdminCommands& admin, const CommandCall& call);

// most_arguments of a command whose last argument is the rest of its line.
constexpr int kRestOfLine = -1;

struct AdminCommand {
  const char* name;
  const char* arguments;  // as the usage writes them; "" for none
  const char* help;
  CommandHandler handler;
  int least_arguments;
  int most_arguments;  // or kRestOfLine
  bool needs_yes;      // acts on players: lobbyctl --all only with --yes
};

extern const AdminCommand kAdminCommands[];
extern const int kAdminCommandCount;

// The row of `name`; null for none.
const AdminCommand* find_command(const std::string& name);
// "NAME ARGUMENTS", or "NAME" without arguments.
std::string command_usage(const AdminCommand& command);

// A handler's reply that is not yet known: the channel answers once the
// work it started is done (a reload reading its file).
constexpr char kPendingReply[] = "";

// The handlers (admin/commands.cc, admin/say.cc).
std::string run_status(AdminCommands& admin, const CommandCall& call);
std::string run_users(AdminCommands& admin, const CommandCall& call);
std::string run_rooms(AdminCommands& admin, const CommandCall& call);
std::string run_settings(AdminCommands& admin, const CommandCall& call);
std::string run_say(AdminCommands& admin, const CommandCall& call);
std::string run_kick(AdminCommands& admin, const CommandCall& call);
std::string run_ban(AdminCommands& admin, const CommandCall& call);
std::string run_unban(AdminCommands& admin, const CommandCall& call);
std::string run_bans(AdminCommands& admin, const CommandCall& call);
std::string run_drain(AdminCommands& admin, const CommandCall& call);
std::string run_reopen(AdminCommands& admin, const CommandCall& call);
std::string run_reload(AdminCommands& admin, const CommandCall& call);
std::string run_upgrade(AdminCommands& admin, const CommandCall& call);
std::string run_help(AdminCommands& admin, const CommandCall& call);

}  // namespace admin

#endif  // ADMIN_COMMAND_TABLE_H_
