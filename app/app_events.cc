#include "app/app_events.h"

#include "app/event_log.h"
#include "app/status_notify.h"

namespace app {

void AppEvents::event(const char* line) { log_text(line); }

void AppEvents::counts_changed() { refresh_status(); }

void AppEvents::drain_finished() { request_shutdown(); }

}  // namespace app
