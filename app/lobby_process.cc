#include "app/lobby_process.h"

#include <cstdio>
#include <cstring>

#include "app/app_events.h"
#include "app/event_log.h"
#include "app/operator_channel.h"
#include "app/status_lines.h"
#include "app/status_notify.h"
#include "lobby/server.h"

namespace app {

bool print_info_option(const char* arg, const char* help_text) {
  const char* text = std::strcmp(arg, "--help") == 0      ? help_text
                     : std::strcmp(arg, "--version") == 0 ? kVersionText
                                                          : nullptr;
  if (text == nullptr) return false;
  std::fputs(text, stdout);
  return true;
}

int run_lobby(const config::Settings& settings, const RunDisplay& run_display) {
  // Without a log the lobby still runs; open_log has then left logging off.
  open_log(kLogFileName);
  AppEvents events;
  lobby::Server server(settings, nullptr, &events);
  log_format("start %s port %d rooms %d", settings.L_NAME, settings.L_PORT,
             server.lobby().room_limit());
  // The settings were read before the log existed: what they clamped is
  // told now.
  for (int i = 0; i < settings.note_count; ++i) log_format("setting %s", settings.notes[i]);
  OperatorChannel channel(server);
  // Before any server thread runs.
  channel.open();
  server.start();
  channel.start();

  const int result = run_display(server.lobby());

  // The socket file goes first: nobody should find a lobby there that no
  // longer answers.
  channel.stop();
  char counts[lobby::kDropCountsBytes];
  server.lobby().format_drop_counts(counts, sizeof counts);
  const char* how = result == kStatusOk ? "OK" : shutdown_requested() ? "drained" : "Cancel";
  log_format("shutdown (%s; %s)", how, counts);
  close_log();
  // Joins every server thread; only then may the display release what
  // those threads use to wake it.
  server.stop();
  return result;
}

}  // namespace app
