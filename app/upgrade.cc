#include "app/upgrade.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "app/app_events.h"
#include "app/event_log.h"
#include "app/service_notify.h"
#include "config/build_info.h"
#include "config/live_settings.h"
#include "config/setting_keys.h"
#include "platform/handover.h"
#include "platform/local_time.h"

namespace app {
namespace {

// Main thread (the handler) and the thread that hands over (the hook); set
// before the server threads start.
std::function<void()> signal_handler;
std::function<void()> exit_hook;
std::string program_at_start;

int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The environment of the new program. WATCHDOG_PID names this process
// when a service manager set it; the new program feeds the watchdog from
// now on, and must not take it for another's.
std::vector<std::string> new_program_environment(bool feeds_watchdog) {
  std::vector<std::string> env;
  for (std::string& entry : platform::environment()) {
    if (feeds_watchdog && entry.rfind("WATCHDOG_PID=", 0) == 0) continue;
    env.push_back(std::move(entry));
  }
  return env;
}

// Whether `program` takes a lobby over: its --help names the option. One
// that does not know it would ignore it and start a lobby of its own
// beside this one, emptying its event log on the way.
bool takes_over(const std::string& program, std::string* why) {
  std::string help;
  int status = 0;
  int error = 0;
  constexpr int kHelpWaitMs = 2000;
  if (platform::program_output(program, {program, "--help"}, kHelpWaitMs, 64 * 1024, &help, &status,
                               &error) != 0) {
    *why = "cannot start " + program + ": " + std::strerror(error);
    return false;
  }
  if (help.find(kTakeoverOption) == std::string::npos) {
    *why = program + " does not take a lobby over: its --help names no " + kTakeoverOption;
    return false;
  }
  return true;
}

// Takes the first line of `text` (up to its line feed) into `*line`;
// false while none is whole.
bool take_line(std::string* text, std::string* line) {
  const size_t end = text->find('\n');
  if (end == std::string::npos) return false;
  *line = text->substr(0, end);
  text->erase(0, end + 1);
  return true;
}

}  // namespace

void note_own_program() { program_at_start = platform::program_path(); }
const std::string& own_program() { return program_at_start; }
int own_process_id() { return platform::process_id(); }

void set_upgrade_signal_handler(std::function<void()> handler) {
  signal_handler = std::move(handler);
}

void upgrade_signal() {
  if (signal_handler) signal_handler();
}

void set_hand_over_exit_hook(std::function<void()> hook) { exit_hook = std::move(hook); }

Upgrader::Upgrader(lobby::Server& server, AppEvents& events, ServiceNotifier* notifier,
                   const admin::ProcessFacts& facts)
    : server_(server), events_(events), notifier_(notifier), facts_(facts) {}

std::string Upgrader::hand_over(const std::string& requested, const lobby::ProcessImage& admin) {
  const std::string program = requested.empty() ? own_program() : requested;
  lobby::LobbyEvents* events = server_.lobby().events;
  if (busy_.exchange(true)) return "upgrade failed: another upgrade is under way";
  std::string reason;
  if (program.empty()) {
    reason = "the program this lobby was started from is unknown; name one";
  } else if (server_.drain_finished()) {
    reason = "the lobby is stopping: its drain has ended";
  } else if (takes_over(program, &reason)) {
    lobby::report_event(events, "upgrade: handing the lobby over to %s", program.c_str());
    if (!server_.pause(kUpgradePauseWaitMs)) {
      reason =
          "the lobby did not pause within " + std::to_string(kUpgradePauseWaitMs / 1000) + " s";
    } else {
      lobby::ProcessImage image = admin;
      image.paused_at_ns = steady_ns();
      reason = start_and_wait(program, image);
      // Exactly where it paused: nothing was read or sent meanwhile.
      server_.resume();
    }
  }
  busy_.store(false);
  lobby::report_event(events, "upgrade to %s failed: %s; this program serves on", program.c_str(),
                      reason.c_str());
  return "upgrade failed: " + reason;
}

std::string Upgrader::start_and_wait(const std::string& program, const lobby::ProcessImage& admin) {
  lobby::ProcessImage image = admin;
  image.pid = own_process_id();
  image.server_version = config::kProgramVersion;
  image.commit = config::kBuildCommit;
  image.serving_since_unix_s = facts_.serving_since_unix_s;
  image.serving_since_ms = facts_.serving_since_ms;
  image.upgrades = facts_.upgrades;
  std::string bytes;
  lobby::write_state_image(server_, image, server_.clock().now_ms(), steady_ns(), &bytes);

  int error = 0;
  const int image_fd = platform::memory_file(
      "lobby-state", reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &error);
  if (image_fd < 0) return std::string("cannot hold the state image: ") + std::strerror(error);
  int handshake[2];
  if (platform::socket_pair(handshake, &error) != 0) {
    platform::close_descriptor(image_fd);
    return std::string("cannot make the handshake: ") + std::strerror(error);
  }
  std::vector<int> keep;
  lobby::image_descriptors(server_, image, &keep);
  keep.push_back(image_fd);
  keep.push_back(handshake[1]);
  const std::vector<std::string> args = {
      program, kTakeoverOption, std::to_string(image_fd) + ":" + std::to_string(handshake[1])};
  const bool feeds_watchdog = notifier_ != nullptr && notifier_->feeds_watchdog();
  const int pid =
      platform::start_program(program, args, new_program_environment(feeds_watchdog), keep, &error);
  // The new program has its own copies: once it ends, the handshake ends.
  platform::close_descriptor(image_fd);
  platform::close_descriptor(handshake[1]);
  if (pid < 0) {
    platform::close_descriptor(handshake[0]);
    return "cannot start " + program + ": " + std::strerror(error);
  }
  const std::string why = wait_ready(handshake[0], pid, program);
  if (!why.empty()) {
    platform::kill_child(pid);
    platform::close_descriptor(handshake[0]);
    return why;
  }

  // The new program holds everything now and waits for this one to end.
  if (notifier_ != nullptr) notifier_->hand_over(pid);
  // The counts of folded log lines still open are told here, as at a stop.
  events_.tell_repeats();
  char last[320];
  std::snprintf(last, sizeof last,
                "upgrade: pid %d (%s) took the lobby over with %d users; image %zu bytes; "
                "pid %d ends",
                pid, program.c_str(), server_.lobby().connected_count.load(), bytes.size(),
                own_process_id());
  if (exit_hook) exit_hook();
  close_log(last, kUpgradeLogWaitMs);
  // Nothing is shut down, closed or removed: every socket, and the admin
  // socket's file, is the new program's. Ending closes this process's
  // copies, the handshake's end among them, which tells the new program
  // to begin.
  std::fflush(stdout);
  std::_Exit(0);
}

std::string Upgrader::wait_ready(int handshake, int pid, const std::string& program) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kUpgradeReadyWaitMs);
  lobby::Clock& clock = server_.clock();
  std::string received;
  for (;;) {
    std::string line;
    while (take_line(&received, &line)) {
      if (line.rfind("ready ", 0) == 0) return "";
      if (line.rfind("error ", 0) == 0) return program + ": " + line.substr(6);
    }
    const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(
                             deadline - std::chrono::steady_clock::now())
                             .count();
    if (left <= 0) {
      return program + " did not say it was ready within " +
             std::to_string(kUpgradeReadyWaitMs / 1000) + " s";
    }
    // The accept thread is paused: its keeper's work (the watchdog) is
    // done here meanwhile.
    int wait_ms = events_.keeper_pass(clock.now_ms());
    if (wait_ms < 0 || wait_ms > left) wait_ms = static_cast<int>(left);
    char buffer[512];
    int error = 0;
    const int n = platform::read_within(handshake, buffer, sizeof buffer, wait_ms, &error);
    if (n > 0) {
      received.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == platform::kReadTimedOut) continue;
    // The handshake ended: the new program ended before it was ready.
    int status = 0;
    if (platform::wait_child(pid, 1000, &status) == 1) {
      return program + " " + platform::wait_status_text(status) + " before it was ready";
    }
    return program + " closed the handshake before it was ready";
  }
}

int begin_takeover(const char* descriptors, Takeover* takeover, std::string* error) {
  int image_fd = -1;
  int handshake_fd = -1;
  char end = 0;
  if (descriptors == nullptr ||
      std::sscanf(descriptors, "%d:%d%c", &image_fd, &handshake_fd, &end) != 2 || image_fd < 0 ||
      handshake_fd < 0) {
    *error = std::string("not IMAGE_FD:HANDSHAKE_FD: ") + (descriptors ? descriptors : "");
    return -1;
  }
  takeover->handshake_fd = handshake_fd;
  int code = 0;
  const int rc =
      platform::read_whole_file(image_fd, lobby::kImageMostBytes, &takeover->image, &code);
  platform::close_descriptor(image_fd);
  if (rc != 0) {
    *error = std::string("cannot read the state image: ") + std::strerror(code);
    return -1;
  }
  // The time zone the log's lines are stamped in is read here, once: read
  // for the log's first line, on the log's own thread, it would keep the
  // lobby waiting for that line.
  std::tm local{};
  platform::local_time(std::time(nullptr), &local);
  lobby::ImageHead head;
  if (lobby::read_image_head(reinterpret_cast<const uint8_t*>(takeover->image.data()),
                             takeover->image.size(), &head, error) != 0) {
    return -1;
  }
  takeover->image_settings = head.settings;
  takeover->written_at_ns = head.written_at_ns;
  return 0;
}

config::Settings takeover_settings(Takeover* takeover, const char* config_path,
                                   config::ConfigReading* reading) {
  const config::Settings& image = takeover->image_settings;
  // Read as a reload reads it: the defaults, the environment, the file.
  config::Settings next;
  config::apply_environment(&next, reading);
  if (config::read_config_file(config_path, &next, reading) != 0 &&
      reading->result != config::FileResult::kMissing) {
    // A file that cannot be read changes nothing.
    next = image;
  }
  for (int i = 0; i < reading->bad_count && i < config::kMaxReported; ++i) {
    takeover->bad_lines.push_back(reading->bad[i].text);
  }
  config::differing_keys(image, next, &takeover->changed, &takeover->restart_kept);
  // The keys that need a restart keep their values: the sockets they made
  // came with the lobby. So do the test seams, which no file sets.
  for (const config::SettingKey& key : config::kSettingKeys) {
    if (key.takes != config::Takes::kRestart) continue;
    std::memcpy(reinterpret_cast<char*>(&next) + key.offset,
                reinterpret_cast<const char*>(&image) + key.offset, key.size);
  }
  next.test_send_buffer = image.test_send_buffer;
  next.test_send_buffer_from = image.test_send_buffer_from;
  next.test_worker_wait_ms = image.test_worker_wait_ms;
  next.test_upstream_seed = image.test_upstream_seed;
  return next;
}

int restore_takeover(Takeover* takeover, lobby::Server* server, lobby::ProcessImage* process,
                     std::string* error) {
  // The server clock's time when the image was written: both programs'
  // clocks are the machine's monotonic clock, and the time since then is
  // taken off, so that each deadline keeps its moment and the pause counts
  // as time that passed (a flood hold, the idle limit and a lurker's lurk
  // time go on through it).
  int64_t since_ms = (steady_ns() - takeover->written_at_ns) / 1000000;
  if (since_ms < 0 || since_ms > kUpgradeReadyWaitMs) since_ms = 0;
  if (lobby::restore_state_image(reinterpret_cast<const uint8_t*>(takeover->image.data()),
                                 takeover->image.size(), server, process,
                                 server->clock().now_ms() - since_ms, error) != 0) {
    return -1;
  }
  // The image is no use any more; its memory goes back.
  std::string().swap(takeover->image);
  std::vector<int> fds;
  lobby::image_descriptors(*server, *process, &fds);
  std::set<int> seen;
  for (int fd : fds) {
    if (!seen.insert(fd).second) {
      *error = "the image names socket " + std::to_string(fd) + " twice";
      return -1;
    }
    if (!platform::is_open_socket(fd)) {
      *error = "socket " + std::to_string(fd) + " of the image was not handed over";
      return -1;
    }
  }
  return 0;
}

void refuse_takeover(Takeover* takeover, const std::string& why) {
  const std::string line = "error " + why + "\n";
  platform::write_all(takeover->handshake_fd, line.data(), line.size());
  platform::close_descriptor(takeover->handshake_fd);
  takeover->handshake_fd = -1;
}

void complete_takeover(Takeover* takeover) {
  const std::string line = "ready " + std::to_string(own_process_id()) + "\n";
  // A failed write means the old program has gone already: the lobby is
  // this program's all the same.
  platform::write_all(takeover->handshake_fd, line.data(), line.size());
  char buffer[64];
  int error = 0;
  while (platform::read_within(takeover->handshake_fd, buffer, sizeof buffer, -1, &error) != 0) {
    if (error != 0) break;
  }
  platform::close_descriptor(takeover->handshake_fd);
  takeover->handshake_fd = -1;
}

}  // namespace app
