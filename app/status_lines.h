// What every status display shows, on any platform: the title, the four
// lines and the two results that end a display. Any thread.
#ifndef APP_STATUS_LINES_H_
#define APP_STATUS_LINES_H_

#include <string>

#include "lobby/lobby_state.h"

namespace app {

constexpr int kStatusLineCount = 4;
// The display ends with OK (Enter) or Cancel (Escape, the close box, a stop
// signal or Ctrl-C); the process exits with that result.
constexpr int kStatusOk = 1;
constexpr int kStatusCancel = 0;
constexpr char kStatusTitle[] = "LOBBYサーバ(Ver0.9.4)";

// The four lines as they read now, top to bottom, in UTF-8.
void format_status_lines(const lobby::Lobby& lobby, std::string lines[kStatusLineCount]);

// Line output for a display without a terminal: every line the first time
// (`drawn` false), afterwards each line whose text differs from `shown`,
// each followed by a line feed, appended to `*out`.
void append_changed_lines(const std::string lines[kStatusLineCount],
                          const std::string shown[kStatusLineCount], bool drawn, std::string* out);

}  // namespace app

#endif  // APP_STATUS_LINES_H_
