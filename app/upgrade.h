// Upgrades nobody notices: the running lobby hands every connection, room,
// game and byte in flight to a new program, which serves on from exactly
// where the old one stopped. Linux; on Windows upgrade answers that it is
// not supported there, and the drain stays the way to change programs.
//
// The old program (Upgrader, on the admin thread for `upgrade`, on the
// main thread for SIGUSR2 when no admin channel runs):
//   0. asks PROGRAM --help whether it knows --takeover: a program that does
//      not would start a lobby of its own beside this one;
//   1. pauses the server at a clean point (Server::pause): every worker
//      ends its pass, the accept thread its own, and nothing more is read
//      or sent;
//   2. writes the state image (lobby/state_image.h) into a file in memory;
//   3. starts PROGRAM --takeover IMAGE:HANDSHAKE with the image, one end of
//      a socket pair for the handshake, and every socket of the lobby (the
//      listener, the clients, the held newcomer, the upstream link, the
//      admin channel and its connections) open across the exec, under
//      their own numbers;
//   4. waits up to kUpgradeReadyWaitMs for "ready PID" on the handshake,
//      feeding the service manager's watchdog meanwhile;
//   5. on ready: tells the service manager MAINPID=, writes its last log
//      line and ends with status 0, closing nothing it handed over (its end
//      of the handshake closes with it). On anything else ("error REASON"
//      from the new program, its end, or no word in time) it kills the new
//      process, resumes the server exactly where it paused, logs
//      "upgrade ... failed: REASON" and answers "upgrade failed: REASON".
//
// The new program (Takeover, from main): reads the image and checks it
// (format version, checksum, every field), reads dorvik.txt again as a
// reload does (the keys that need a restart keep the image's values: their
// sockets came with the lobby), restores every table, checks that every
// socket it was given is open, and says "ready PID". It then waits for the
// end of the handshake, which comes when the old program has gone: only
// then does it open the event log (for appending), start its threads and
// serve, so that two programs never serve at once. Any fault before ready
// is told on the handshake ("error REASON") and ends it with
// kExitTakeoverFailed.
#ifndef APP_UPGRADE_H_
#define APP_UPGRADE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "admin/commands.h"
#include "config/settings.h"
#include "lobby/server.h"
#include "lobby/state_image.h"

namespace app {

class AppEvents;
class ServiceNotifier;

// How long a new program may take to say it is ready before the old one
// ends it and serves on.
constexpr int kUpgradeReadyWaitMs = 10000;
// How long the old program waits for its threads to pause.
constexpr int kUpgradePauseWaitMs = 5000;
// How long the old program's last log lines may take to reach the file
// before it ends all the same.
constexpr int kUpgradeLogWaitMs = 1000;
// The new program's option: --takeover IMAGE_FD:HANDSHAKE_FD.
constexpr char kTakeoverOption[] = "--takeover";
// The exit status of a new program that did not take the lobby over.
constexpr int kExitTakeoverFailed = 3;

// The old program's side. The thread that calls hand_over must be the
// admin channel's, or no admin channel may run: nothing else may act on
// the lobby while it is paused.
class Upgrader {
 public:
  // Everything must outlive the upgrader; `notifier` is null when no
  // service manager asked for notices.
  Upgrader(lobby::Server& server, AppEvents& events, ServiceNotifier* notifier,
           const admin::ProcessFacts& facts);
  Upgrader(const Upgrader&) = delete;
  Upgrader& operator=(const Upgrader&) = delete;

  // Hands the lobby over to `program` (empty: the program file this
  // process was started from), with `admin` (what the admin channel hands
  // over: its socket and connections). Returns only when the upgrade did
  // not happen, with why ("upgrade failed: REASON", logged), the lobby
  // serving on unchanged; on success the process ends inside, with status
  // 0.
  std::string hand_over(const std::string& program, const lobby::ProcessImage& admin);

 private:
  // Everything after the pause; returns only on failure, with the reason,
  // the server still paused.
  std::string start_and_wait(const std::string& program, const lobby::ProcessImage& image);
  // Waits for the new program's word on `handshake`; "" once it is ready,
  // else why not.
  std::string wait_ready(int handshake, int pid, const std::string& program);

  lobby::Server& server_;
  AppEvents& events_;
  ServiceNotifier* notifier_;
  const admin::ProcessFacts& facts_;
  std::atomic<bool> busy_{false};
};

// Read once at the start of main, before anything else: the path of the
// program file the process was started from, the default PROGRAM.
void note_own_program();
const std::string& own_program();
int own_process_id();

// SIGUSR2 starts an upgrade to the default program: the status display
// takes the signal and calls upgrade_signal() on the main thread, which
// runs the handler set here (none: the signal is ignored). Main thread.
void set_upgrade_signal_handler(std::function<void()> handler);
void upgrade_signal();
// Run by the old program just before it ends after a hand-over: gives the
// terminal back as it was found. Set before the server threads start.
void set_hand_over_exit_hook(std::function<void()> hook);

// The new program's side.
struct Takeover {
  int handshake_fd = -1;
  std::string image;
  config::Settings image_settings;
  int64_t written_at_ns = 0;  // on the steady clock
  // What reading dorvik.txt again changed against the image's settings,
  // and what it could not change; its bad lines.
  std::vector<std::string> changed;
  std::vector<std::string> restart_kept;
  std::vector<std::string> bad_lines;
};

// Takes "IMAGE_FD:HANDSHAKE_FD" from the command line, reads the image
// and checks its frame and settings. 0, or -1 with `*error` (the caller
// then refuses the takeover).
int begin_takeover(const char* descriptors, Takeover* takeover, std::string* error);
// The settings the new program runs with: dorvik.txt at `config_path`
// read as a reload reads it (the image's settings when it cannot be read),
// with the image's values for the keys that need a restart.
config::Settings takeover_settings(Takeover* takeover, const char* config_path,
                                   config::ConfigReading* reading);
// Restores the image into `server` (built with takeover_settings, not
// started) and `*process`, and checks that every socket it names is open
// and none twice. 0, or -1 with `*error`.
int restore_takeover(Takeover* takeover, lobby::Server* server, lobby::ProcessImage* process,
                     std::string* error);
// Tells the old program why this one does not take over.
void refuse_takeover(Takeover* takeover, const std::string& why);
// Says ready, and returns once the old program has gone: from then on
// this program alone holds the lobby.
void complete_takeover(Takeover* takeover);

}  // namespace app

#endif  // APP_UPGRADE_H_
