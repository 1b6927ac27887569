// The life of the server process shared by every platform's entry: the
// log opened, the lobby started, the status display run until it ends,
// the shutdown logged and the threads joined. Main thread.
#ifndef APP_LOBBY_PROCESS_H_
#define APP_LOBBY_PROCESS_H_

#include <functional>
#include <memory>

#include "config/settings.h"
#include "lobby/lobby_state.h"

namespace app {

struct Takeover;

// Exit status when no status display could be set up; the lobby never
// started.
constexpr int kExitNoDisplay = 255;

// Answers --help (with `help_text`) and --version on standard output:
// "lobby_server VERSION" and, on a line of its own, "commit COMMIT".
// True when `arg` was one of them: the process then ends with status 0.
bool print_info_option(const char* arg, const char* help_text);

// Shows the lobby on the main thread until the display ends; its result
// (kStatusOk or kStatusCancel).
using RunDisplay = std::function<int(const lobby::Lobby& lobby)>;

// Runs the lobby with `settings` while `run_display` shows it, and returns
// the display's result. `reading` is what the reading of the settings file
// found (bad lines, notes, a file refused), which the event log tells at
// the start and the admin channel's settings command lists. The display
// must outlive this call: server threads may wake it until they are
// joined, which happens last. With `takeover` (app/upgrade.h), the lobby
// is the one a running program hands over: restored from its image, it
// serves once that program has gone; a takeover that fails returns
// kExitTakeoverFailed at once.
int run_lobby(const config::Settings& settings,
              std::shared_ptr<const config::ConfigReading> reading, const RunDisplay& run_display,
              Takeover* takeover = nullptr);

}  // namespace app

#endif  // APP_LOBBY_PROCESS_H_
