#include "app/lobby_process.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/app_events.h"
#include "app/event_log.h"
#include "app/operator_channel.h"
#include "app/service_notify.h"
#include "app/status_lines.h"
#include "app/status_notify.h"
#include "config/build_info.h"
#include "config/settings.h"
#include "lobby/server.h"

namespace app {

bool print_info_option(const char* arg, const char* help_text) {
  if (std::strcmp(arg, "--help") == 0) {
    std::fputs(help_text, stdout);
  } else if (std::strcmp(arg, "--version") == 0) {
    std::printf("lobby_server %s\ncommit %s\n", config::kProgramVersion, config::kBuildCommit);
  } else {
    return false;
  }
  return true;
}

namespace {

// What the reading of the settings file found, told once the log is open.
void log_reading(const config::ConfigReading& reading) {
  const std::string problem = config::file_problem(config::kConfigFileName, reading);
  if (!problem.empty()) log_format("%s; every setting keeps its default", problem.c_str());
  for (int i = 0; i < reading.bad_count && i < config::kMaxReported; ++i) {
    log_format("setting: bad %s; that key keeps its default", reading.bad[i].text);
  }
  if (reading.bad_count > config::kMaxReported) {
    log_format("setting: and %d more bad lines",
               static_cast<int>(reading.bad_count - config::kMaxReported));
  }
  for (int i = 0; i < reading.note_count && i < config::kMaxReported; ++i) {
    log_format("setting %s", reading.notes[i].text);
  }
}

}  // namespace

int run_lobby(const config::Settings& settings,
              std::shared_ptr<const config::ConfigReading> reading, const RunDisplay& run_display) {
  // Without a log the lobby still runs; open_log has then left logging off.
  open_log(kLogFileName);
  // Declared before the server, which reports to it until it is joined.
  ServiceNotifier notifier;
  const int notify = notifier.setup();
  // One clock for the server and the events: the folded windows of the log
  // are timed by the clock of the server that reports them.
  lobby::SteadyClock clock;
  AppEvents events(notify == ServiceNotifier::kOn ? &notifier : nullptr, &clock);
  lobby::Server server(settings, &clock, &events);
  notifier.watch(&server.lobby());
  log_format("start %s port %d rooms %d", settings.L_NAME, settings.L_PORT,
             server.lobby().room_limit());
  // The settings were read before the log existed: what the reading found
  // is told now.
  if (reading != nullptr) log_reading(*reading);
  if (settings.L_CHAT_LOG[0] != '\0') {
    const int error = open_chat_log(settings.L_CHAT_LOG, settings.L_CHARSET);
    if (error != 0) {
      log_format("moderation log %s cannot be opened: %s; chat lines are not logged",
                 settings.L_CHAT_LOG, std::strerror(error));
    } else {
      log_format("moderation log %s: every chat line is written there", settings.L_CHAT_LOG);
    }
  }
  OperatorChannel channel(server, std::move(reading));
  // Before any server thread runs.
  channel.open();
  if (notify == ServiceNotifier::kUnreachable) {
    log_text("service manager: NOTIFY_SOCKET cannot be reached; no notices");
  } else if (notifier.watchdog_period_ms() > 0) {
    log_format("service manager: watchdog every %lld ms",
               static_cast<long long>(notifier.watchdog_period_ms()));
  }
  server.start();
  channel.start();

  const int result = run_display(server.lobby());
  if (notify == ServiceNotifier::kOn) notifier.stopping();

  // The socket file goes first: nobody should find a lobby there that no
  // longer answers.
  channel.stop();
  char counts[lobby::kDropCountsBytes];
  server.lobby().format_drop_counts(counts, sizeof counts);
  const char* how = result == kStatusOk       ? "OK"
                    : stop_cause() != nullptr ? stop_cause()
                    : shutdown_requested()    ? "drained"
                                              : "Cancel";
  events.tell_repeats();
  char shutdown[lobby::kDropCountsBytes + 32];
  std::snprintf(shutdown, sizeof shutdown, "shutdown (%s; %s)", how, counts);
  // The shutdown line is the last: the log takes no line after it, and
  // writes every line before it first.
  close_log(shutdown);
  // Joins every server thread; only then may the display release what
  // those threads use to wake it.
  server.stop();
  return result;
}

}  // namespace app
