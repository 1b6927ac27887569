// The admin channel's commands: one line in, one line of JSON out. Reads
// the lobby through its snapshot and acts on it only through the server's
// own entry points (the drain) and the hooks the process hands in. Admin
// thread only.
#ifndef ADMIN_COMMANDS_H_
#define ADMIN_COMMANDS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "admin/name_text.h"
#include "config/settings.h"
#include "lobby/server.h"
#include "lobby/snapshot.h"

namespace admin {

constexpr int kDefaultDrainSeconds = 600;
constexpr int kMaxDrainSeconds = 7 * 24 * 3600;
constexpr int kMaxBanSeconds = 10 * 365 * 24 * 3600;

// What the process lets the channel do besides the lobby itself.
struct AdminHooks {
  // Reopens the event log for appending; 0, or an errno.
  std::function<int()> reopen_log;
  // The settings file that reload reads.
  std::string config_path = config::kConfigFileName;
};

class AdminCommands {
 public:
  // `server` must outlive the commands. The uptime counts from here.
  AdminCommands(lobby::Server& server, AdminHooks hooks);
  AdminCommands(const AdminCommands&) = delete;
  AdminCommands& operator=(const AdminCommands&) = delete;

  // The reply to one command line (without its line end), itself without a
  // line end.
  std::string run(const std::string& line);

 private:
  std::string status();
  // `reply`, after logging the note of a character set found unknown.
  std::string with_charset_note(std::string reply);
  std::string drain(const std::string* words, int count);
  std::string reopen();
  std::string reload();
  std::string kick(const std::string& target);
  // The slot form of kick: whoever holds the slot now.
  std::string kick_slot(const std::string& slot_text);
  std::string ban(const std::string* words, int count);
  std::string unban(const std::string& address);
  std::string bans();
  // A fresh snapshot in snapshot_.
  void snapshot();

  lobby::Server& server_;
  AdminHooks hooks_;
  // Rebuilt when a reload changes L_CHARSET.
  std::unique_ptr<NameText> names_;
  const int64_t started_ms_;
  // Reused for every command: taking one allocates nothing.
  std::unique_ptr<lobby::LobbySnapshot> snapshot_;
  // Reused by bans, made by its first use.
  std::unique_ptr<config::DenyEntry[]> bans_;
  std::unique_ptr<lobby::AutoBanRecord[]> auto_bans_;
};

// Splits a command line into at most `max` blank-separated words; the
// number of words, or -1 when there are more.
int split_words(const std::string& line, std::string* words, int max);

// The connections an operator names by "#ID" (one connection id) or
// "user:N" (every connection logged in as user N): each slot with the
// serial of its connection, taken before the slot was judged, as a drop
// request needs. False, with `*error`, when `text` is neither form or names
// no open connection; `*matched` tells whether it was one of the forms.
struct Target {
  int slot = 0;
  uint32_t serial = 0;
};
bool find_targets(lobby::Lobby& lobby, const std::string& text, std::vector<Target>* targets,
                  bool* matched, std::string* error);

}  // namespace admin

#endif  // ADMIN_COMMANDS_H_
