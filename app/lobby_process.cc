#include "app/lobby_process.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "app/app_events.h"
#include "app/event_log.h"
#include "app/operator_channel.h"
#include "app/service_notify.h"
#include "app/status_lines.h"
#include "app/status_notify.h"
#include "app/upgrade.h"
#include "config/build_info.h"
#include "config/settings.h"
#include "lobby/server.h"
#include "lobby/state_image.h"

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

// The steady clock's nanoseconds, the clock the pause of an upgrade is
// measured on across the two programs.
int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string joined(const std::vector<std::string>& list) {
  std::string text;
  for (const std::string& item : list) text += (text.empty() ? "" : ", ") + item;
  return text.empty() ? std::string("nothing") : text;
}

// The log lines of a lobby taken over from `image`'s program, once the log
// is open: what it took over and what reading dorvik.txt again changed.
void log_takeover(lobby::Server& server, const config::Settings& settings, const Takeover& takeover,
                  const lobby::ProcessImage& image, const admin::ProcessFacts& facts) {
  const lobby::Lobby& lobby = server.lobby();
  log_format(
      "start %s port %d rooms %d: upgrade %d, took the lobby over from pid %d (%s, commit %s) "
      "with %d users and %d rooms",
      settings.L_NAME, settings.L_PORT, lobby.room_limit(), facts.upgrades, image.pid,
      image.server_version.c_str(), image.commit.c_str(), lobby.connected_count.load(),
      lobby.rooms_in_use.load());
  log_format(
      "upgrade: dorvik.txt read again: changed %s; needs a restart, kept as it runs: %s; "
      "bad lines %d",
      joined(takeover.changed).c_str(), joined(takeover.restart_kept).c_str(),
      static_cast<int>(takeover.bad_lines.size()));
  for (const std::string& line : takeover.bad_lines) log_format("upgrade: bad %s", line.c_str());
}

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
              std::shared_ptr<const config::ConfigReading> reading, const RunDisplay& run_display,
              Takeover* takeover) {
  admin::ProcessFacts facts;
  facts.pid = own_process_id();
  facts.process_started_unix_s = static_cast<int64_t>(std::time(nullptr));
  facts.serving_since_unix_s = facts.process_started_unix_s;
  // Without a log the lobby still runs; open_log has then left logging
  // off. A lobby taken over opens it once the old program has gone.
  if (takeover == nullptr) open_log(kLogFileName);
  // Declared before the server, which reports to it until it is joined.
  ServiceNotifier notifier;
  const int notify = notifier.setup();
  // One clock for the server and the events: the folded windows of the log
  // are timed by the clock of the server that reports them.
  lobby::SteadyClock clock;
  AppEvents events(notify == ServiceNotifier::kOn ? &notifier : nullptr, &clock);
  lobby::Server server(settings, &clock, &events);
  notifier.watch(&server.lobby(), &clock);
  facts.serving_since_ms = clock.now_ms();
  lobby::ProcessImage handed;
  if (takeover != nullptr) {
    std::string error;
    if (restore_takeover(takeover, &server, &handed, &error) != 0) {
      refuse_takeover(takeover, error);
      return kExitTakeoverFailed;
    }
    facts.serving_since_unix_s = handed.serving_since_unix_s;
    facts.serving_since_ms = handed.serving_since_ms;
    facts.upgrades = handed.upgrades + 1;
    facts.old_pid = handed.pid;
    facts.paused_at_ns = handed.paused_at_ns;
  }
  Upgrader upgrader(server, events, notify == ServiceNotifier::kOn ? &notifier : nullptr, facts);
  OperatorChannel channel(server, reading, &facts, &upgrader);
  if (takeover != nullptr) {
    // From here on the lobby is this program's alone.
    complete_takeover(takeover);
    open_log(kLogFileName, true);
    log_takeover(server, settings, *takeover, handed, facts);
    // A new deny file is read now, before anyone is let in.
    if (std::strcmp(takeover->image_settings.L_DENY, settings.L_DENY) != 0) {
      server.lobby().deny_list.reload_if_changed();
    }
  } else {
    log_format("start %s port %d rooms %d", settings.L_NAME, settings.L_PORT,
               server.lobby().room_limit());
    // The settings were read before the log existed: what the reading
    // found is told now.
    if (reading != nullptr) log_reading(*reading);
    // Before any server thread runs.
    channel.open();
  }
  if (settings.L_CHAT_LOG[0] != '\0') {
    const int error = open_chat_log(settings.L_CHAT_LOG, settings.L_CHARSET);
    if (error != 0) {
      log_format("moderation log %s cannot be opened: %s; chat lines are not logged",
                 settings.L_CHAT_LOG, std::strerror(error));
    } else {
      log_format("moderation log %s: every chat line is written there", settings.L_CHAT_LOG);
    }
  }
  if (notify == ServiceNotifier::kUnreachable) {
    log_text("service manager: NOTIFY_SOCKET cannot be reached; no notices");
  } else if (notifier.watchdog_period_ms() > 0) {
    log_format("service manager: watchdog every %lld ms",
               static_cast<long long>(notifier.watchdog_period_ms()));
  }
  server.start();
  // The channel of a lobby taken over is set up once the lobby serves:
  // what it needs (its character set's tables) is no part of the pause.
  if (takeover != nullptr) channel.adopt(handed);
  channel.start();
  if (takeover != nullptr) {
    // The pause ends with the first pass of every thread of this program.
    const int64_t give_up = steady_ns() + int64_t{2000} * 1000000;
    while (server.first_passes_done_ns() == 0 && steady_ns() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int64_t done = server.first_passes_done_ns();
    if (done != 0) {
      log_format("upgrade %d: serving again after a pause of %lld ms", facts.upgrades,
                 static_cast<long long>((done - facts.paused_at_ns + 999999) / 1000000));
    }
  }
  // SIGUSR2: the admin channel's thread upgrades, or, with no channel
  // running, this thread does (nothing else then acts on the lobby).
  set_upgrade_signal_handler([&channel, &upgrader] {
    if (!channel.request_upgrade()) upgrader.hand_over("", lobby::ProcessImage());
  });

  const int result = run_display(server.lobby());
  set_upgrade_signal_handler(nullptr);
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
