// The server's command line, the same on every platform: --help,
// --version, --check [--dir DIR] (the settings listing, for an operator
// before a start or a reload), on Windows --console and elsewhere
// --takeover. Anything else is
// refused with the usage before anything is opened. Main thread.
#ifndef APP_SERVER_OPTIONS_H_
#define APP_SERVER_OPTIONS_H_

#include <string>

#include "config/settings.h"

namespace app {

// Exit status of a command line the program does not take.
constexpr int kExitUsage = 2;

struct ServerOptions {
  bool console = false;  // Windows: the status lines on standard output
  bool check = false;
  std::string dir = ".";  // where --check looks
  // POSIX: --takeover IMAGE_FD:HANDSHAKE_FD, how a running lobby starts the
  // program it upgrades to; null for none.
  const char* takeover = nullptr;
};

// Reads the command line. -1 to run the lobby with `*options`; otherwise
// the exit status (0 after --help or --version, which print their text;
// kExitUsage after printing the usage to standard error; the result of
// --check after printing its listing). `usage` is the program's help
// text; `console_option` whether --console is one, `takeover_option`
// whether --takeover is.
int parse_server_options(int argc, char** argv, const char* usage, bool console_option,
                         bool takeover_option, ServerOptions* options);

// The settings as the lobby reads them at its start: the defaults, the
// environment, then dorvik.txt in the working directory. What the reading
// found goes to `reading`, for the event log once it is open.
void read_start_settings(config::Settings* settings, config::ConfigReading* reading);

// lobby_server --check: reads dorvik.txt and its deny file from `dir` as
// the lobby would, opening no port, log or socket, and prints every
// setting in force with where it came from, each bad line of the settings
// and each bad entry of the deny file. 0 when there is none, 1 otherwise.
int check_settings(const std::string& dir);

}  // namespace app

#endif  // APP_SERVER_OPTIONS_H_
