// Room in the two broadcast rings, the chat ring and the room-notice ring.
//
// A ring has no room while some reader that still takes lines is so far
// behind that the next entry would overwrite one it has not looked at yet:
// the writer's message then waits, unread, in its own receive ring and
// socket, as a message held back by flood pacing does, and is handled in
// order once the reader has moved on. So no reader ever misses an entry
// unseen. A reader that a writer waits for has its worker woken at once
// (readers are woken only by the posts that concern them, and one of
// another group may simply not have passed yet). A reader that no longer
// takes lines must not hold the lobby: one that has not moved for
// kReaderStallMs while a writer waits for it, or whose socket and send
// queue are both full, is asked to go as "not reading", and from that
// moment no writer waits for it.
//
// The room-notice ring keeps kNoticeReserve entries for the drops: a
// client's drop writes the notice of its departure from a room without
// asking (a drop cannot wait), and each client has at most one such notice
// to write, so a room operation waits while fewer than its own two notices
// and that reserve are free.
//
// Readers move their index under the ring's lock (lock_chat for the chat
// ring, lock_rooms for the notices) and writers judge them under it.
#ifndef LOBBY_RING_READERS_H_
#define LOBBY_RING_READERS_H_

#include <cstdint>

#include "lobby/lobby_state.h"

namespace lobby {

// A reader that has not moved for this long while a writer waits for it is
// dropped as not reading.
constexpr int64_t kReaderStallMs = 1000;
// Notices written by a room operation at most: leaving the room the client
// is in, and the room it creates or joins.
constexpr int kRoomOpNotices = 2;
// Notices the drops may write without asking: one for each client.
constexpr int kNoticeReserve = kSlots;

// True when a chat line may be written now.
bool chat_ring_has_room(const Lobby& lobby) REQUIRES(lobby.lock_chat);
// True when a room operation may write its notices now.
bool notice_ring_has_room(const Lobby& lobby) REQUIRES(lobby.lock_rooms);

// A client of worker `own_worker` waits for room in the chat ring (or the
// notice ring): wakes the workers of the readers it waits for, asks for the
// drop of those that no longer take lines, and notes the worker as one to
// wake when a reader moves (kNone: a writer that is no worker, the
// operator's, which looks again by itself). Returns the clock time at which to look again:
// `now_ms` when the ring has room already, else when the first of those
// readers is due to be judged stalled. Takes the ring's lock.
int64_t wait_for_chat_readers(Lobby& lobby, int own_worker, int64_t now_ms)
    EXCLUDES(lobby.lock_chat);
int64_t wait_for_notice_readers(Lobby& lobby, int own_worker, int64_t now_ms)
    EXCLUDES(lobby.lock_rooms);

// A reader moved on in a ring: wakes the workers whose clients wait for
// room. Any thread.
void reader_moved(const Lobby& lobby);
// The start of a pass of worker `k`: it is no longer one to wake until one
// of its clients waits again.
void forget_ring_waiter(Lobby& lobby, int k);

}  // namespace lobby

#endif  // LOBBY_RING_READERS_H_
