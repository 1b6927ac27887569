// One service pass of a client slot, and the drop of a client: the only
// place where a client leaves the lobby. Worker thread of the slot only.
#ifndef LOBBY_DISPATCHER_H_
#define LOBBY_DISPATCHER_H_

#include "lobby/lobby_state.h"

namespace lobby {

// Takes a drop request first; then receives (without waiting; when the
// worker's readiness wait found the socket `readable`, or when the client
// is about to be judged idle), then run_pass. Does nothing for a free
// slot. `now_ms` is the server clock's time. What the pass queued is sent
// by flush_clients.
void serve_client(Lobby& lobby, ClientSlot& client, bool readable, int64_t now_ms);
// Everything of a pass after the receive: cuts the ring into messages and
// hands each complete one to its handler as far as flood pacing lets it
// (each marks `now_ms` as the client's last message), runs the delivery
// pump, and drops the client for bad framing, an overflowing send queue,
// flooding or idleness. Returns true when the client was dropped.
bool run_pass(Lobby& lobby, ClientSlot& client, int64_t now_ms);
// Sends what the passes queued for `clients` (at most one worker's eight,
// all on one transport), together, as long as the kernel takes it: the
// end of every worker's pass. Worker thread of those slots.
void flush_clients(ClientSlot* const* clients, int count);
// Asks the worker of `slot` to drop its connection number `serial` for
// `reason` at the start of its next pass, as DropRequest's rules allow,
// and wakes it. `logged_in`: asked of a client with an accepted login (a
// lurker displaced), which its login does not void. Any thread.
void request_drop(Lobby& lobby, int slot, uint32_t serial, int reason, bool logged_in = false);
// Drops the client when a request for its connection is pending; true when
// it did. Worker thread of the slot only.
bool take_drop_request(Lobby& lobby, ClientSlot& client);
// Requests the drop of every connection that has gone L_LOGIN_WAIT seconds
// without an accepted login. Returns the clock time at which the next
// connection without one reaches its limit, -1 for none. Accept thread.
int64_t expire_logins(Lobby& lobby, int64_t now_ms);
// The clock time from which a logged-in client counts as idle: more than
// kIdleLimitMs after its last complete message. -1 for a client without a
// login, which is never dropped as idle. Worker thread of the slot.
int64_t idle_deadline_ms(const Lobby& lobby, const ClientSlot& client);
// Leaves the room, then drops the client for `reason`.
void leave_and_drop(Lobby& lobby, ClientSlot& client, int reason);
// Reports the logout, releases the group entry, clears the client's
// identity and direct messages, notes a strike against its address when
// the reason is one (AutoBan), and closes the connection, last.
void drop_client(Lobby& lobby, ClientSlot& client, int reason);
// Places a new connection in a free slot (accept thread, or a test): it
// starts at the rings' current heads, with no validation and no direct
// messages left by the slot's previous client.
void place_client(Lobby& lobby, ClientSlot& client, int socket, const PeerInfo& peer);
// True when the client's next pass has something to do without new input:
// ring entries it has not looked at, sends the kernel would take, direct
// messages its send queue has room for. Its worker then does not wait.
bool has_pending_work(const Lobby& lobby, const ClientSlot& client);

}  // namespace lobby

#endif  // LOBBY_DISPATCHER_H_
