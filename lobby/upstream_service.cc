#include "lobby/upstream_service.h"

#include <cstdio>
#include <cstring>
#include <random>

namespace lobby {
namespace {

// Queues 2I, then a 2N for every user the upstream server should know of,
// in slot order; the number of users. The link was connected in the same
// hold of lock_groups, so that no notice comes before it.
int announce(Lobby& lobby) REQUIRES(lobby.lock_groups) {
  upstream::UpstreamLink& link = lobby.upstream;
  link.send_registration(lobby.settings.L_PORT, 0, lobby.settings.L_IP);
  int users = 0;
  for (const ClientSlot& client : lobby.slots) {
    if (client.announced_user_id < 0) continue;
    link.report_login(client.announced_user_id);
    ++users;
  }
  return users;
}

// Acts on what the link reported (a connection is announced) and writes
// the event's log line into `line`, empty for none; the line is logged
// after lock_groups is released.
void take_event(Lobby& lobby, int event, int64_t now_ms, char* line, int size)
    REQUIRES(lobby.lock_groups) {
  upstream::UpstreamLink& link = lobby.upstream;
  const char* host = link.host();
  const int port = link.port() & 0xffff;
  const long long wait_ms = static_cast<long long>(link.deadline_ms() - now_ms);
  const size_t room = static_cast<size_t>(size);
  int n = 0;
  line[0] = 0;
  switch (event) {
    case upstream::kLinkConnected: {
      const int users = announce(lobby);
      n = std::snprintf(
          line, room, "upstream connected to %s:%d; announced %d users after %lld failed attempts",
          host, port, users, static_cast<long long>(link.failures_before_connect()));
      break;
    }
    case upstream::kLinkLost:
      n = std::snprintf(line, room, "upstream lost (%s); next attempt in %lld ms",
                        upstream::loss_reason_text(link.last_loss()), wait_ms);
      break;
    case upstream::kLinkAttemptFailed:
      n = std::snprintf(line, room,
                        "upstream connect to %s:%d failed (%s); failed attempts since the last "
                        "report: %lld; next attempt in %lld ms",
                        host, port, link.failure_text(),
                        static_cast<long long>(link.reported_failures()), wait_ms);
      break;
    default:
      return;
  }
  if (n < 0 || n >= size) return;
  std::snprintf(line + n, room - static_cast<size_t>(n), "; state %s, reconnects %lld",
                upstream::link_state_text(link.link_state()),
                static_cast<long long>(link.reconnects()));
}

// Runs `pass` (which gives a link event) under lock_groups, acts on the
// event in the same hold, and logs its line once the lock is released.
template <typename Pass>
void run_and_report(Lobby& lobby, int64_t now_ms, Pass pass) {
  char line[kEventLineBytes];
  {
    platform::MutexLock guard(lobby.lock_groups);
    take_event(lobby, pass(), now_ms, line, sizeof line);
  }
  if (line[0] != 0) report_event(lobby.events, "%s", line);
}

}  // namespace

void open_upstream(Lobby& lobby, int64_t now_ms) {
  const config::Settings& settings = lobby.settings;
  upstream::UpstreamLink& link = lobby.upstream;
  link.set_remote(settings.N_IP, settings.N_PORT);
  if (settings.N_PORT == 0) return;
  // Lobbies that lost one upstream server together draw different waits.
  const uint32_t seed =
      settings.test_upstream_seed != 0 ? settings.test_upstream_seed : std::random_device{}();
  link.set_tuning(settings.test_send_buffer, seed);
  // The wait for the connect holds no lock.
  int64_t finished_ms = now_ms;
  const int event = link.open(now_ms, &finished_ms);
  // Reported as of the attempt's end, so that the next attempt's wait in
  // the line is the one that remains.
  run_and_report(lobby, finished_ms, [event] { return event; });
}

void move_upstream(Lobby& lobby, const int32_t ip[4], int32_t port, int64_t now_ms) {
  upstream::UpstreamLink& link = lobby.upstream;
  char host[net::kRemoteHostBytes];
  std::snprintf(host, sizeof host, "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
  const bool was_off = link.link_state() == upstream::LinkState::kOff;
  if (port == link.port() && std::strcmp(host, link.host()) == 0) return;
  if (was_off && port != 0) {
    const config::Settings& settings = lobby.settings;
    const uint32_t seed =
        settings.test_upstream_seed != 0 ? settings.test_upstream_seed : std::random_device{}();
    link.set_tuning(settings.test_send_buffer, seed);
  }
  if (port == 0) {
    report_event(lobby.events, "upstream moved: none (was %s:%d)", link.host(),
                 link.port() & 0xffff);
  } else {
    report_event(lobby.events, "upstream moved to %s:%d", host, port & 0xffff);
  }
  run_and_report(lobby, now_ms, [&] { return link.retarget(ip, port, now_ms); });
}

void service_upstream(Lobby& lobby, int64_t now_ms) {
  const int found = lobby.upstream.exchange();
  run_and_report(lobby, now_ms, [&] { return lobby.upstream.service_upstream(now_ms, found); });
}

bool upstream_wait_entry(Lobby& lobby, net::PollEntry* entry, bool* send_now) {
  platform::MutexLock guard(lobby.lock_groups);
  int fd = -1;
  const int events = lobby.upstream.wait_events(&fd, send_now);
  if (events == 0) return false;
  *entry = {fd, events, 0};
  return true;
}

}  // namespace lobby
