// Flood pacing: a token bucket per client over every message it sends.
// L_FLOOD_RATE tokens a second refill it up to L_FLOOD_BURST; each handled
// message takes one. A client whose bucket is empty while a complete
// message waits is held back: its messages wait, unread, in its receive
// ring and then in the kernel, so that TCP slows the sender down, and are
// handled in order as tokens return. Time is passed in (the server's clock,
// or the time an in-memory lobby is given). Worker thread of the slot only.
#ifndef LOBBY_FLOOD_PACING_H_
#define LOBBY_FLOOD_PACING_H_

#include <cstdint>

#include "lobby/lobby_state.h"

namespace lobby {

// A full bucket for a connection placed at `now_ms`.
void reset_flood_bucket(const config::Settings& settings, ClientSlot& client, int64_t now_ms);
// Adds the tokens earned since the last refill.
void refill_flood_bucket(const config::Settings& settings, ClientSlot& client, int64_t now_ms);
bool has_flood_token(const ClientSlot& client);
void spend_flood_token(ClientSlot& client);
// True when the ring holds a whole message from its "2" on (a chat line
// with all its text). Anything that is no message is left to the
// dispatcher's framing check.
bool complete_message_waiting(const net::Connection& client);
// Records how the pass ended: `held` when a whole message waits for a
// token. True when the client has now been held back for kFloodDropMs
// without a break. A pass that worked through the ring of a held-back
// client leaves the hold paused: only its caller knows whether more input
// waits unread (then the hold goes on) or none does (end_hold: a break).
bool note_held_back(ClientSlot& client, bool held, int64_t now_ms);
bool hold_paused(const ClientSlot& client);
void end_hold(ClientSlot& client);
// A whole message waits for a token. Any thread.
bool held_back(const ClientSlot& client);
// Milliseconds until a held-back client earns its next token (at least 1).
int ms_to_next_token(const config::Settings& settings, const ClientSlot& client, int64_t now_ms);

}  // namespace lobby

#endif  // LOBBY_FLOOD_PACING_H_
