// The Windows twin of upgrade.cc: the hand-over to a new program is not
// offered (it needs descriptors a new program inherits under the same
// numbers); the drain stays the way to change programs there.
#include <windows.h>

#include <ctime>

#include "app/upgrade.h"

namespace app {
namespace {

std::function<void()> signal_handler;

}  // namespace

void note_own_program() {}
const std::string& own_program() {
  static const std::string none;
  return none;
}
int own_process_id() { return static_cast<int>(GetCurrentProcessId()); }

void set_upgrade_signal_handler(std::function<void()> handler) {
  signal_handler = std::move(handler);
}
void upgrade_signal() {
  if (signal_handler) signal_handler();
}
void set_hand_over_exit_hook(std::function<void()>) {}

Upgrader::Upgrader(lobby::Server& server, AppEvents& events, ServiceNotifier* notifier,
                   const admin::ProcessFacts& facts)
    : server_(server), events_(events), notifier_(notifier), facts_(facts) {}

std::string Upgrader::hand_over(const std::string&, const lobby::ProcessImage&) {
  return "upgrade is not supported on Windows; use drain";
}

std::string Upgrader::start_and_wait(const std::string&, const lobby::ProcessImage&) { return ""; }
std::string Upgrader::wait_ready(int, int, const std::string&) { return ""; }

int begin_takeover(const char*, Takeover*, std::string* error) {
  *error = "upgrade is not supported on Windows";
  return -1;
}
config::Settings takeover_settings(Takeover* takeover, const char*, config::ConfigReading*) {
  return takeover->image_settings;
}
int restore_takeover(Takeover*, lobby::Server*, lobby::ProcessImage*, std::string* error) {
  *error = "upgrade is not supported on Windows";
  return -1;
}
void refuse_takeover(Takeover*, const std::string&) {}
void complete_takeover(Takeover*) {}

}  // namespace app
