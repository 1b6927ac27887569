// The process's sink for lobby events: lines go to the event log, with the
// refusals, drops and refused logins of connections without a login, the
// automatic bans and a proxy's health checks, folded by address and across
// addresses (RepeatFolder);
// count changes go to the status display and, when a service manager asked
// for them, its notices. Any thread.
#ifndef APP_APP_EVENTS_H_
#define APP_APP_EVENTS_H_

#include "app/repeat_folder.h"
#include "app/service_notify.h"
#include "lobby/clock.h"
#include "lobby/lobby_events.h"

namespace app {

class AppEvents : public lobby::LobbyEvents {
 public:
  // `notifier` may be null; it must outlive the server threads. `clock`
  // is the server's (its now_ms times the folded windows); null for a
  // clock of the events' own.
  explicit AppEvents(ServiceNotifier* notifier = nullptr, lobby::Clock* clock = nullptr);

  void event(const char* line) override;
  void refused(const net::IpAddress& addr, int reason, const char* line) override;
  void dropped(const net::IpAddress& addr, int reason, const char* line) override;
  void health_check(const net::IpAddress& proxy, const char* line) override;
  void login_refused(const net::IpAddress& addr, int reason, const char* line) override;
  void banned(const net::IpAddress& addr, const char* line) override;
  void counts_changed() override;
  void drain_finished() override;
  void listening(int port, const char* reason) override;
  int keeper_pass(int64_t now_ms) override;
  // The moderation log (app/event_log.h).
  bool chat_log_on() const override;
  void chat_line(const lobby::ChatRecord& record) override;

  // Writes the counts of the folded windows still open: before the
  // shutdown line, so that the log's counts are whole.
  void tell_repeats();

 private:
  ServiceNotifier* notifier_;
  lobby::SteadyClock own_clock_;
  lobby::Clock* clock_;
  RepeatFolder repeats_;
};

}  // namespace app

#endif  // APP_APP_EVENTS_H_
