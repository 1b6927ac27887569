// The lobby's side of the upstream link: the first attempt at start, the
// accept thread's service pass, and the announcement that tells each new
// upstream connection who is online. Every transition is written to the
// event log with the link's state and reconnect count.
//
// Accept thread only; each call takes lock_groups itself, except the first
// attempt, which runs before any other thread can use the link, and the
// socket's reads and sends, which need no lobby lock (see
// UpstreamLink::exchange).
#ifndef LOBBY_UPSTREAM_SERVICE_H_
#define LOBBY_UPSTREAM_SERVICE_H_

#include <cstdint>

#include "lobby/lobby_state.h"
#include "net/socket_ops.h"

namespace lobby {

// Points the link at N_IP:N_PORT and, when N_PORT is not 0, makes the
// first attempt (waiting up to 3 s). Before the lobby listens.
void open_upstream(Lobby& lobby, int64_t now_ms);
// Moves the link to `ip`:`port` (0: no upstream server), logged, when it
// points elsewhere. A reload's new N_IP or N_PORT.
void move_upstream(Lobby& lobby, const int32_t ip[4], int32_t port, int64_t now_ms);
// One pass: reads and sends on a link that is up, notices its loss, and
// starts or finishes a connection attempt when one is due.
void service_upstream(Lobby& lobby, int64_t now_ms);
// The link's entry of the accept thread's readiness wait; false when it
// has no descriptor to watch. `*send_now` when queued messages could leave
// at once, so that the wait must not sleep.
bool upstream_wait_entry(Lobby& lobby, net::PollEntry* entry, bool* send_now);

}  // namespace lobby

#endif  // LOBBY_UPSTREAM_SERVICE_H_
