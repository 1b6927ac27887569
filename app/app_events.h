// The process's sink for lobby events: lines go to the event log, count
// changes to the status display and, when a service manager asked for
// them, its notices. Any thread.
#ifndef APP_APP_EVENTS_H_
#define APP_APP_EVENTS_H_

#include "app/service_notify.h"
#include "lobby/lobby_events.h"

namespace app {

class AppEvents : public lobby::LobbyEvents {
 public:
  // `notifier` may be null; it must outlive the server threads.
  explicit AppEvents(ServiceNotifier* notifier = nullptr) : notifier_(notifier) {}

  void event(const char* line) override;
  void counts_changed() override;
  void drain_finished() override;
  void listening(int port) override;
  int keeper_pass(int64_t now_ms) override;

 private:
  ServiceNotifier* notifier_;
};

}  // namespace app

#endif  // APP_APP_EVENTS_H_
