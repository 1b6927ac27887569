#include "lobby/lobby_events.h"

#include <cstdarg>
#include <cstdio>

namespace lobby {
namespace {

class QuietEvents : public LobbyEvents {
 public:
  void event(const char* /*line*/) override {}
  void counts_changed() override {}
};

}  // namespace

LobbyEvents* quiet_events() {
  static QuietEvents quiet;
  return &quiet;
}

void report_event(LobbyEvents* events, const char* format, ...) {
  char line[kEventLineBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  events->event(line);
}

void report_refused(LobbyEvents* events, const net::IpAddress& addr, int reason, const char* format,
                    ...) {
  char line[kEventLineBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  events->refused(addr, reason, line);
}

void report_dropped(LobbyEvents* events, const net::IpAddress& addr, int reason, const char* format,
                    ...) {
  char line[kEventLineBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  events->dropped(addr, reason, line);
}

void report_health_check(LobbyEvents* events, const net::IpAddress& proxy, const char* format,
                         ...) {
  char line[kEventLineBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  events->health_check(proxy, line);
}

void report_login_refused(LobbyEvents* events, const net::IpAddress& addr, int reason,
                          const char* format, ...) {
  char line[kEventLineBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  events->login_refused(addr, reason, line);
}

void report_banned(LobbyEvents* events, const net::IpAddress& addr, const char* format, ...) {
  char line[kEventLineBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  events->banned(addr, line);
}

}  // namespace lobby
