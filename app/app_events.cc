#include "app/app_events.h"

#include "app/event_log.h"
#include "app/status_notify.h"
#include "lobby/lobby_state.h"

namespace app {

AppEvents::AppEvents(ServiceNotifier* notifier, lobby::Clock* clock)
    : notifier_(notifier),
      clock_(clock != nullptr ? clock : &own_clock_),
      repeats_([](const char* line) { log_text(line); }) {}

void AppEvents::event(const char* line) { log_text(line); }

// A refusal and a drop are told before the connection closes: the line is
// in the file by the time the client sees the close. The folder's lock is
// let go before the wait.
void AppEvents::refused(const net::IpAddress& addr, int reason, const char* line) {
  repeats_.report(RepeatFolder::kRefused, addr, reason, lobby::refusal_reason_text(reason), line,
                  clock_->now_ms());
  log_settle();
}

void AppEvents::dropped(const net::IpAddress& addr, int reason, const char* line) {
  repeats_.report(RepeatFolder::kDropped, addr, reason, lobby::drop_reason_text(reason), line,
                  clock_->now_ms());
  log_settle();
}

void AppEvents::health_check(const net::IpAddress& proxy, const char* line) {
  // Every kind of check is one reason: a proxy's checks are one count.
  repeats_.report(RepeatFolder::kChecked, proxy, 0, "health checks", line, clock_->now_ms());
}

void AppEvents::login_refused(const net::IpAddress& addr, int reason, const char* line) {
  repeats_.report(RepeatFolder::kLoginRefused, addr, reason, lobby::login_refusal_text(reason),
                  line, clock_->now_ms());
}

void AppEvents::banned(const net::IpAddress& addr, const char* line) {
  repeats_.report(RepeatFolder::kBanned, addr, 0, "automatic ban", line, clock_->now_ms());
}

void AppEvents::counts_changed() {
  refresh_status();
  if (notifier_ != nullptr) notifier_->counts_changed();
}

void AppEvents::listening(int port, const char* reason) {
  if (notifier_ == nullptr) return;
  if (port < 0) {
    // The service manager then sees why the start does not complete; the
    // port is tried again until its start time-out ends the process.
    notifier_->listen_failed(reason);
    return;
  }
  notifier_->ready();
}

int AppEvents::keeper_pass(int64_t now_ms) {
  // The keeper comes back by the end of the next folded window.
  const int window = repeats_.tell_ended(now_ms);
  const int notify = notifier_ != nullptr ? notifier_->keeper_pass(now_ms) : -1;
  if (window < 0) return notify;
  if (notify < 0) return window;
  return window < notify ? window : notify;
}

void AppEvents::tell_repeats() { repeats_.tell_all(clock_->now_ms()); }

void AppEvents::drain_finished() { request_shutdown(); }

bool AppEvents::chat_log_on() const { return app::chat_log_on(); }

void AppEvents::chat_line(const lobby::ChatRecord& record) { log_chat(record); }

}  // namespace app
