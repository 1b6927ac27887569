// Process entry: reads the settings, sets up the status display, runs the
// lobby until the display ends and exits with the display's result
// (1 for OK, 0 for Cancel or a stop signal; 255 when no display could be
// set up, in which case the lobby never starts). --check lists the
// settings instead; an option it does not know ends it with status 2
// before anything is opened.

#include <cstring>
#include <memory>
#include <string>

#include "app/lobby_process.h"
#include "app/server_options.h"
#include "app/status_display.h"
#include "app/upgrade.h"
#include "config/settings.h"
#include "net/socket_ops.h"

namespace {

constexpr char kHelpText[] =
    "Usage: lobby_server [--help] [--version] [--check [--dir DIR]]\n"
    "Runs the game lobby with the settings in dorvik.txt in the current\n"
    "directory and writes its events to L_log.txt there.\n"
    "  --check     list every setting with where it came from, and each bad\n"
    "              line of dorvik.txt and of the deny file, then exit: 0 when\n"
    "              there is none, 1 otherwise; opens no port, log or socket\n"
    "  --dir DIR   with --check: read the files in DIR\n"
    "On a terminal: Enter stops it with exit status 1, Escape with 0.\n"
    "SIGINT, SIGTERM and SIGHUP stop it with exit status 0.\n"
    "SIGUSR2 upgrades it in place to the program file it was started from\n"
    "(as lobbyctl upgrade does): every connection, room and game goes on.\n"
    "Operator commands: lobbyctl, on the admin socket (L_ADMIN, default lobby.sock).\n"
    "The environment variable L_ADMIN_GROUP gives L_ADMIN_GROUP a default.\n"
    "--takeover IMAGE_FD:HANDSHAKE_FD is how a running lobby starts the\n"
    "program it upgrades to; it is not for use by hand.\n";

}  // namespace

int main(int argc, char** argv) {
  // Before anything else: a package may put a new file at this path later,
  // and an upgrade then starts that.
  app::note_own_program();
  app::ServerOptions options;
  const int done = app::parse_server_options(argc, argv, kHelpText, false, true, &options);
  if (done >= 0) return done;

  net::start_sockets();
  config::Settings settings;
  auto reading = std::make_shared<config::ConfigReading>();
  app::Takeover takeover;
  const char* takeover_from = options.takeover;
  if (takeover_from != nullptr) {
    std::string error;
    if (app::begin_takeover(takeover_from, &takeover, &error) != 0) {
      app::refuse_takeover(&takeover, error);
      return app::kExitTakeoverFailed;
    }
    settings = app::takeover_settings(&takeover, config::kConfigFileName, reading.get());
  } else {
    app::read_start_settings(&settings, reading.get());
  }

  // Declared before the server so that it is destroyed after the server
  // threads have been joined.
  app::StatusDisplay display;
  display.take_upgrade_signal();
  // A lobby taken over prints its lines: the terminal, if any, is its
  // shell's again once the old program has gone.
  if (takeover_from != nullptr) display.keep_off_terminal();
  if (display.setup() != 0) {
    if (takeover_from != nullptr) app::refuse_takeover(&takeover, "no status display");
    return app::kExitNoDisplay;
  }
  return app::run_lobby(
      settings, reading, [&display](const lobby::Lobby& lobby) { return display.run(lobby); },
      takeover_from != nullptr ? &takeover : nullptr);
}
