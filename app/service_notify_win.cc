// Windows has no service manager that speaks this protocol: the notifier
// stays silent (setup() reports that nobody asked).
#include "app/service_notify.h"

namespace app {

void format_service_status(int users, int rooms, char* out, int size) {
  if (size > 0) out[0] = '\0';
  (void)users;
  (void)rooms;
}

void format_drain_status(int users, int64_t ends_unix_s, char* out, int size) {
  if (size > 0) out[0] = '\0';
  (void)users;
  (void)ends_unix_s;
}

ServiceNotifier::~ServiceNotifier() = default;

int ServiceNotifier::setup() { return kNotAsked; }

bool ServiceNotifier::send_text(const char* /*text*/) { return false; }

void ServiceNotifier::ready() {}

void ServiceNotifier::listen_failed(const char* /*reason*/) {}

void ServiceNotifier::stopping() {}

void ServiceNotifier::hand_over(int /*pid*/) {}

void ServiceNotifier::counts_changed() {}

void ServiceNotifier::send_status_locked() {}

void ServiceNotifier::format_status_locked(char* out, int size) const {
  if (size > 0) out[0] = '\0';
}

int ServiceNotifier::keeper_pass(int64_t /*now_ms*/) { return -1; }

}  // namespace app
