// The message handlers, the room and group operations they share, and the
// delivery pump. A handler for each message of WIRE_CLIENT_MESSAGES
// (wire/message_table.h) is declared here from that list, and the
// dispatcher finds it through the same list. Each handler runs on the
// worker thread of the sender's slot, holding no lobby lock, and keeps to
// one contract:
//   entered with recv_read on the command letter and recv_count counting
//   the whole message, "2" included;
//   complete: consumes exactly one message and returns kHandled (the
//   dispatcher then counts it as a sign of life for the idle limit), or
//   kActed for a message that is more than that (a room operation, a chat
//   line, a direct message: a client that sends none of these lurks);
//   incomplete: moves recv_read back onto the "2", consumes nothing and
//   returns kIncomplete;
//   waiting: a whole message that would write into a ring without room
//   for it (ring_readers.h) does the same and returns kWaitChatRing or
//   kWaitNoticeRing; the dispatcher holds the client's input back until
//   the readers have moved on.
#ifndef LOBBY_HANDLERS_H_
#define LOBBY_HANDLERS_H_

#include <cstdint>

#include "lobby/after_lock.h"
#include "lobby/lobby_state.h"
#include "wire/message_table.h"

namespace lobby {

constexpr int kHandled = 0;
constexpr int kActed = 1;
constexpr int kIncomplete = -1;
constexpr int kWaitChatRing = -2;
constexpr int kWaitNoticeRing = -3;

// Every client message's handler.
#define LOBBY_DECLARE_HANDLER(letter, length, counted, handler) \
  int handler(Lobby& lobby, ClientSlot& client)                 \
      EXCLUDES(lobby.lock_rooms, lobby.lock_chat, lobby.lock_groups);
WIRE_CLIENT_MESSAGES(LOBBY_DECLARE_HANDLER)
#undef LOBBY_DECLARE_HANDLER
// The handler of client message `letter`, or null for a letter that names
// none.
using Handler = int (*)(Lobby& lobby, ClientSlot& client);
Handler handler_for(uint8_t letter);

// Login and presence.
void send_room_list(Lobby& lobby, ClientSlot& client) EXCLUDES(lobby.lock_rooms);
int join_group(Lobby& lobby, int32_t key) REQUIRES(lobby.lock_groups);
void release_group(Lobby& lobby, ClientSlot& client, int32_t key) REQUIRES(lobby.lock_groups);
void send_group_count(ClientSlot& client, int32_t count);

// Rooms.
// Takes the client out of its room and its game and tells the others.
// Takes lock_rooms itself.
void leave_room(Lobby& lobby, ClientSlot& client) EXCLUDES(lobby.lock_rooms);
// The same, for a caller that already holds lock_rooms (the room handler,
// whose create and join leave the client's old room first); the others
// hear of it, and the log of it, through `later`.
void leave_room_locked(Lobby& lobby, ClientSlot& client, AfterLock& later)
    REQUIRES(lobby.lock_rooms);
// Writes a 2Q notice with the room's current member count.
void write_member_count_notice(Lobby& lobby, int room, int32_t key) REQUIRES(lobby.lock_rooms);
// Tells `member` that `seat` of its room was vacated: straight into its send
// queue, or, while that is nearly full, as a marked seat its own pass sends
// later. Others leaving and joining over and over can so never fill the
// queue of a member that reads and get it dropped.
void post_seat_vacated(Lobby& lobby, int member, int seat)
    REQUIRES(lobby.lock_rooms, lobby.lock_chat);
// Sends the client's marked seats, lowest first, as far as its send queue
// has room beyond the reserve; true when none is left marked.
bool send_vacated_seats(Lobby& lobby, ClientSlot& client) EXCLUDES(lobby.lock_chat);

// Chat lines and direct messages.
// Empties the client's DirectQueue under lock_chat.
void clear_direct_queue(Lobby& lobby, int slot) EXCLUDES(lobby.lock_chat);

// Queues for the client what others posted for it: the chat lines, the
// seat list and start of its game, its direct messages, the room notices,
// then its group count.
void delivery_pump(Lobby& lobby, ClientSlot& client) EXCLUDES(lobby.lock_rooms, lobby.lock_chat);

}  // namespace lobby

#endif  // LOBBY_HANDLERS_H_
