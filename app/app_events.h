// The process's sink for lobby events: lines go to the event log, count
// changes to the status display. Any thread.
#ifndef APP_APP_EVENTS_H_
#define APP_APP_EVENTS_H_

#include "lobby/lobby_events.h"

namespace app {

class AppEvents : public lobby::LobbyEvents {
 public:
  void event(const char* line) override;
  void counts_changed() override;
  void drain_finished() override;
};

}  // namespace app

#endif  // APP_APP_EVENTS_H_
