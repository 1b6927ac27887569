// The admin channel's commands: one line in, one line of JSON out. Reads
// the lobby through its snapshot and acts on it only through the server's
// own entry points (the drain, drop requests, the chat ring) and the hooks
// the process hands in. The commands themselves are the rows of
// admin/command_table.h; this class is what their handlers share. Admin
// thread only.
#ifndef ADMIN_COMMANDS_H_
#define ADMIN_COMMANDS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "admin/command_table.h"
#include "admin/name_text.h"
#include "admin/reload_reader.h"
#include "config/settings.h"
#include "lobby/server.h"
#include "lobby/snapshot.h"
#include "lobby/state_image.h"

namespace admin {

constexpr int kDefaultDrainSeconds = 600;
constexpr int kMaxDrainSeconds = 7 * 24 * 3600;
// A drain shorter than this cuts running games short: it needs --now.
constexpr int kShortDrainSeconds = 60;
constexpr int kMaxBanSeconds = 10 * 365 * 24 * 3600;

// What status tells of the process the lobby runs in. Written before the
// admin thread starts, read-only afterwards.
struct ProcessFacts {
  int pid = 0;
  int64_t process_started_unix_s = 0;
  // When the lobby began to serve, kept across upgrades: UTC seconds, and
  // the server clock's time (the uptime counts from it).
  int64_t serving_since_unix_s = 0;
  int64_t serving_since_ms = 0;
  int32_t upgrades = 0;  // hand-overs since the lobby began to serve
  // After an upgrade: the program that handed over, and the steady clock's
  // nanoseconds when it stopped serving (the pause counts from there).
  int old_pid = 0;
  int64_t paused_at_ns = 0;
};

// What the process lets the channel do besides the lobby itself.
struct AdminHooks {
  // Reopens the event log (and the moderation log) for appending; 0, or an
  // errno.
  std::function<int()> reopen_log;
  // Opens the moderation log at the path given, or closes it for an empty
  // one; 0, or an errno. For a reload that changes L_CHAT_LOG.
  std::function<int(const std::string&)> chat_log;
  // The settings file that reload reads.
  std::string config_path = config::kConfigFileName;
  // Hands the lobby over to the program at `program` (empty: the one this
  // process was started from), with what the channel hands over (`admin`:
  // its socket and connections). Returns only when the upgrade failed,
  // with why ("upgrade failed: ...", logged already), the lobby serving on
  // unchanged; when it succeeds the process ends inside. Unset: upgrades
  // are not offered.
  std::function<std::string(const std::string& program, const lobby::ProcessImage& admin)> upgrade;
  // The process's facts for status; null for none (tests).
  const ProcessFacts* facts = nullptr;
  // What the process's own reading of the file found at the start; none
  // when the settings were not read from a file (tests).
  std::shared_ptr<const config::ConfigReading> start_reading;
};

class AdminCommands {
 public:
  // `server` must outlive the commands. The uptime counts from here.
  AdminCommands(lobby::Server& server, AdminHooks hooks);
  AdminCommands(const AdminCommands&) = delete;
  AdminCommands& operator=(const AdminCommands&) = delete;

  // The reply to one command line (without its line end), itself without a
  // line end; kPendingReply when the reply comes later, from
  // finish_reload. `by` is the operator's user name.
  std::string run(const std::string& line, const std::string& by);

  // A reload's reading under way: the wake-up handle that tells it is done
  // (-1 for none), and its reply once it is (the settings then applied);
  // empty while it still reads.
  int reload_wake() const { return reader_.wake_handle(); }
  std::string finish_reload();

  // The reply a new program sends for the upgrade that started it, once
  // its threads have served a first pass (`first_pass_ns`, the steady
  // clock's nanoseconds).
  std::string upgraded_reply(int64_t first_pass_ns) const;

  // What the handlers share.
  lobby::Server& server() { return server_; }
  lobby::Lobby& lobby() { return server_.lobby(); }
  const AdminHooks& hooks() const { return hooks_; }
  NameText& names() { return *names_; }
  int64_t uptime_s() const;
  // A fresh snapshot of the lobby, kept until the next one.
  const lobby::LobbySnapshot& snapshot();
  // `reply`, after logging the note of a character set found unknown.
  std::string with_charset_note(std::string reply);
  // Starts a reload's reading for the operator `by`; kPendingReply, or the
  // error reply.
  std::string start_reload(const std::string& by);
  // The settings listing of the lobby as it runs.
  std::string settings_reply();
  // Reused by bans, made by its first use.
  config::DenyEntry* ban_buffer();
  // Room for the automatic bans' listing, made on first use.
  lobby::AutoBanRecord* auto_ban_buffer();

 private:
  lobby::Server& server_;
  AdminHooks hooks_;
  // Rebuilt when a reload changes L_CHARSET.
  std::unique_ptr<NameText> names_;
  // When the uptime counts from, on the server clock: when the lobby began
  // to serve (the facts'), else when the commands were made.
  const int64_t started_ms_;
  // Reused for every command: taking one allocates nothing.
  std::unique_ptr<lobby::LobbySnapshot> snapshot_;
  std::unique_ptr<config::DenyEntry[]> bans_;
  ReloadReader reader_;
  std::string reload_by_;  // the operator of the reload under way
  // Where each value in force came from, what the file said at its last
  // reading (its keys that need a restart may differ from those in
  // force), and what that reading found.
  config::KeySource sources_[config::kMaxSettingKeys];
  std::unique_ptr<config::Settings> file_values_;
  std::unique_ptr<config::ConfigReading> last_reading_;
  std::unique_ptr<lobby::AutoBanRecord[]> auto_bans_;
};

// Splits a command line into at most `max` blank-separated words; the
// number of words, or -1 when there are more.
int split_words(const std::string& line, std::string* words, int max);

// An error reply for a refused argument ({"error": ..., "bad_arguments":
// true}): lobbyctl exits 2 for it, as for its own bad arguments.
std::string argument_error(const std::string& message);
// The usage of `name` as an argument error.
std::string usage_error(const std::string& name);
// A decimal number of 0..max, whole; false for anything else.
bool parse_count(const std::string& text, int max, int* out);

// The connections an operator names by "#ID" (one connection id) or
// "user:N" (every connection logged in as user N): each slot with the
// serial of its connection, taken before the slot was judged, as a drop
// request needs. False, with `*error`, when `text` is neither form or names
// no open connection; `*matched` tells whether it was one of the forms,
// `*malformed` whether it was one but not a number.
struct Target {
  int slot = 0;
  uint32_t serial = 0;
};
bool find_targets(lobby::Lobby& lobby, const std::string& text, std::vector<Target>* targets,
                  bool* matched, std::string* error, bool* malformed = nullptr);

}  // namespace admin

#endif  // ADMIN_COMMANDS_H_
