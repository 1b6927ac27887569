#include "app/status_lines.h"

#include <cstdio>

namespace app {

void format_status_lines(const lobby::Lobby& lobby, std::string lines[kStatusLineCount]) {
  // The configured value, as the operator wrote it: a negative ROOM serves
  // nobody and shows as it stands.
  const int rooms = lobby.settings.ROOM;
  const int users = lobby.connected_count.load(std::memory_order_acquire);
  const int rooms_in_use = lobby.rooms_in_use.load(std::memory_order_acquire);
  // The name and version as a reload left them.
  const config::Settings live = lobby.live.current();
  char text[160];
  std::snprintf(text, sizeof text, "■【 %s 】■", live.L_NAME);
  lines[0] = text;
  std::snprintf(text, sizeof text, "GAME_DATA  Ver( %d )", live.VER);
  lines[1] = text;
  // Eight slots a room, wrapping as a 32-bit product would for the most
  // negative values instead of overflowing.
  const int capacity = static_cast<int32_t>(static_cast<uint32_t>(rooms) *
                                            static_cast<uint32_t>(lobby::kSlotsPerWorker));
  std::snprintf(text, sizeof text, "USER_DATA: %d / %d", users, capacity);
  lines[2] = text;
  std::snprintf(text, sizeof text, "ROOM_DATA: %d / %d", rooms_in_use, rooms);
  lines[3] = text;
}

void append_changed_lines(const std::string lines[kStatusLineCount],
                          const std::string shown[kStatusLineCount], bool drawn, std::string* out) {
  for (int i = 0; i < kStatusLineCount; ++i) {
    if (drawn && lines[i] == shown[i]) continue;
    *out += lines[i];
    *out += '\n';
  }
}

}  // namespace app
