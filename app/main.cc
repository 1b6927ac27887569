// Process entry: reads the settings, sets up the status display, runs the
// lobby until the display ends and exits with the display's result
// (1 for OK, 0 for Cancel or a stop signal; 255 when no display could be
// set up, in which case the lobby never starts).

#include "app/lobby_process.h"
#include "app/status_display.h"
#include "config/settings.h"
#include "net/socket_ops.h"

namespace {

constexpr char kHelpText[] =
    "Usage: lobby_server [--help] [--version]\n"
    "Runs the game lobby with the settings in dorvik.txt in the current\n"
    "directory and writes its events to L_log.txt there.\n"
    "On a terminal: Enter stops it with exit status 1, Escape with 0.\n"
    "SIGINT, SIGTERM and SIGHUP stop it with exit status 0.\n"
    "Operator commands: lobbyctl, on the admin socket (L_ADMIN, default lobby.sock).\n"
    "The environment variable L_ADMIN_GROUP gives L_ADMIN_GROUP a default.\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (app::print_info_option(argv[i], kHelpText)) return 0;
  }

  net::start_sockets();
  config::Settings settings;
  // The environment first: a line of the file wins over it.
  config::apply_environment(&settings);
  // A missing file leaves every setting at its default.
  config::load_config(&settings);

  // Declared before the server so that it is destroyed after the server
  // threads have been joined.
  app::StatusDisplay display;
  if (display.setup() != 0) return app::kExitNoDisplay;
  return app::run_lobby(settings,
                        [&display](const lobby::Lobby& lobby) { return display.run(lobby); });
}
