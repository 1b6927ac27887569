// Process entry on Windows: reads the settings, sets up the status window
// (or, with --console or without a desktop, the line output of a console),
// runs the lobby until the display ends and exits with the display's
// result (1 for OK, 0 for Cancel, the close box or Ctrl-C; 255 when no
// display could be set up, in which case the lobby never starts). --check
// lists the settings instead; an unknown option ends it with status 2.
#include <memory>

#include "app/lobby_process.h"
#include "app/server_options.h"
#include "app/status_window_win.h"
#include "config/settings.h"
#include "net/socket_ops.h"

namespace {

constexpr char kHelpText[] =
    "Usage: lobby_server [--help] [--version] [--console] [--check [--dir DIR]]\n"
    "Runs the game lobby with the settings in dorvik.txt in the current\n"
    "directory and writes its events to L_log.txt there.\n"
    "  --check     list every setting with where it came from, and each bad\n"
    "              line of dorvik.txt and of the deny file, then exit: 0 when\n"
    "              there is none, 1 otherwise; opens no port, log or socket\n"
    "  --dir DIR   with --check: read the files in DIR\n"
    "The status window: Enter stops it with exit status 1, Escape or the\n"
    "close box with 0.\n"
    "--console, and a start without a desktop (a service), print the status\n"
    "lines on standard output instead; Ctrl-C or Ctrl-Break stops it with\n"
    "exit status 0.\n";

}  // namespace

int main(int argc, char** argv) {
  app::ServerOptions options;
  const int done = app::parse_server_options(argc, argv, kHelpText, true, false, &options);
  if (done >= 0) return done;

  // A failure shows in the log when the listener cannot be opened.
  net::start_sockets();
  config::Settings settings;
  auto reading = std::make_shared<config::ConfigReading>();
  app::read_start_settings(&settings, reading.get());

  // Declared before the server so that it is destroyed after the server
  // threads have been joined.
  app::StatusWindow display(options.console || !app::has_desktop());
  if (display.setup() != 0) return app::kExitNoDisplay;
  return app::run_lobby(settings, reading,
                        [&display](const lobby::Lobby& lobby) { return display.run(lobby); });
}
