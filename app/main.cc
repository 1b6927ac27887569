// Process entry: reads the settings, sets up the status display, runs the
// lobby until the display ends and exits with the display's result
// (1 for OK, 0 for Cancel or a stop signal; 255 when no display could be
// set up, in which case the lobby never starts).
#include <cstdio>
#include <cstring>

#include "app/app_events.h"
#include "app/event_log.h"
#include "app/status_display.h"
#include "config/settings.h"
#include "lobby/server.h"
#include "net/socket_ops.h"

namespace {

constexpr int kExitNoDisplay = 255;

constexpr char kVersionText[] = "lobby_server 0.9.4\n";
constexpr char kHelpText[] =
    "Usage: lobby_server [--help] [--version]\n"
    "Runs the game lobby with the settings in dorvik.txt in the current\n"
    "directory and writes its events to L_log.txt there.\n"
    "On a terminal: Enter stops it with exit status 1, Escape with 0.\n"
    "SIGINT, SIGTERM and SIGHUP stop it with exit status 0.\n";

// Returns the display's result once the operator or a signal ended it.
int run_lobby(const config::Settings& settings, app::StatusDisplay* display) {
  // Without a log the lobby still runs; open_log has then left logging off.
  app::open_log(app::kLogFileName);
  app::AppEvents events;
  lobby::Server server(settings, nullptr, &events);
  app::log_format("start %s port %d rooms %d", settings.L_NAME, settings.L_PORT,
                  server.lobby().room_limit());
  server.start();

  const int result = display->run(server.lobby());

  char counts[160];
  server.lobby().format_drop_counts(counts, sizeof counts);
  app::log_format("shutdown (%s; %s)", result == app::StatusDisplay::kResultOk ? "OK" : "Cancel",
                  counts);
  app::close_log();
  // Joins every server thread; only then may the display release the wake
  // pipe those threads write to.
  server.stop();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kHelpText, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::fputs(kVersionText, stdout);
      return 0;
    }
  }

  net::ignore_sigpipe();
  config::Settings settings;
  // A missing file leaves every setting at its default.
  config::load_config(&settings);

  // Declared before the server so that it is destroyed after the server
  // threads have been joined.
  app::StatusDisplay display;
  if (display.setup() != 0) return kExitNoDisplay;
  return run_lobby(settings, &display);
}
