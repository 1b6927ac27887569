// Process entry: reads the settings, sets up the status display, runs the
// lobby until the display ends and exits with the display's result
// (1 for OK, 0 for Cancel or a stop signal; 255 when no display could be
// set up, in which case the lobby never starts).

#include <cstring>
#include <string>

#include "app/lobby_process.h"
#include "app/status_display.h"
#include "app/upgrade.h"
#include "config/settings.h"
#include "net/socket_ops.h"

namespace {

constexpr char kHelpText[] =
    "Usage: lobby_server [--help] [--version]\n"
    "Runs the game lobby with the settings in dorvik.txt in the current\n"
    "directory and writes its events to L_log.txt there.\n"
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
  const char* takeover_from = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (app::print_info_option(argv[i], kHelpText)) return 0;
    if (std::strcmp(argv[i], app::kTakeoverOption) == 0) {
      if (i + 1 == argc) return 2;
      takeover_from = argv[++i];
    }
  }

  net::start_sockets();
  config::Settings settings;
  app::Takeover takeover;
  if (takeover_from != nullptr) {
    std::string error;
    if (app::begin_takeover(takeover_from, &takeover, &error) != 0) {
      app::refuse_takeover(&takeover, error);
      return app::kExitTakeoverFailed;
    }
    settings = app::takeover_settings(&takeover, config::kConfigFileName);
  } else {
    // The environment first: a line of the file wins over it.
    config::apply_environment(&settings);
    // A missing file leaves every setting at its default.
    config::load_config(&settings);
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
      settings, [&display](const lobby::Lobby& lobby) { return display.run(lobby); },
      takeover_from != nullptr ? &takeover : nullptr);
}
