#include "app/app_events.h"

#include "app/event_log.h"
#include "app/status_notify.h"

namespace app {

void AppEvents::event(const char* line) { log_text(line); }

void AppEvents::counts_changed() {
  refresh_status();
  if (notifier_ != nullptr) notifier_->counts_changed();
}

void AppEvents::listening(int port) {
  if (notifier_ == nullptr) return;
  if (port < 0) {
    // The service manager then sees why the start does not complete, and
    // its start time-out ends the process.
    notifier_->listen_failed();
    return;
  }
  notifier_->ready();
  notifier_->counts_changed();
}

int AppEvents::keeper_pass(int64_t now_ms) {
  return notifier_ != nullptr ? notifier_->keeper_pass(now_ms) : -1;
}

void AppEvents::drain_finished() { request_shutdown(); }

}  // namespace app
