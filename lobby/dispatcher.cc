#include "lobby/dispatcher.h"

#include <cstring>

#include "lobby/handlers.h"
#include "upstream/upstream_link.h"

namespace lobby {
namespace {

// The handler for a command letter, or null for a letter that has none.
using Handler = int (*)(Lobby&, ClientSlot&);
Handler handler_for(uint8_t letter) {
  switch (letter) {
    case wire::kCmdChat:
      return handle_chat;
    case wire::kCmdDirect:
      return handle_direct;
    case wire::kCmdLogin:
      return handle_login;
    case wire::kCmdRoom:
      return handle_room_op;
    case wire::kCmdName:
      return handle_name;
    case wire::kCmdKeepAlive:
      return handle_keep_alive;
    case wire::kCmdValidation:
      return handle_validation;
    default:
      return nullptr;
  }
}

// Pump, flush, and drop a client whose send queue overflowed: it does not
// read what it is sent, and cannot be served.
bool pump_and_flush(Lobby& lobby, ClientSlot& client) {
  delivery_pump(lobby, client);
  client.flush();
  if (client.send_overflowed()) {
    leave_and_drop(lobby, client, kDropNotReading);
    return true;
  }
  return false;
}

}  // namespace

void serve_client(Lobby& lobby, ClientSlot& client, bool readable) {
  if (client.state.load(std::memory_order_acquire) == net::kStateClosed) return;
  // The worker's readiness wait has already run: no further wait here.
  if (readable && client.receive(0) == 1) {
    leave_and_drop(lobby, client, kDropPeerClosed);
    return;
  }
  run_pass(lobby, client);
}

bool run_pass(Lobby& lobby, ClientSlot& client) {
  // Seats vacated while the queue was nearly full go out before anything
  // this pass adds, as if they had been queued at once. While some are
  // still marked, the client's own messages wait: their replies must not
  // overtake those of the room it is in.
  bool handle = send_vacated_seats(lobby, client);
  while (handle && client.recv_count >= 2) {
    if (client.ring_byte(0) != wire::kMsgMark) {
      leave_and_drop(lobby, client, kDropBadFraming);
      return true;
    }
    client.recv_read = (client.recv_read + 1) & net::kRecvRingMask;
    Handler handler = handler_for(client.ring_byte(0));
    if (handler == nullptr) {
      leave_and_drop(lobby, client, kDropBadFraming);
      return true;
    }
    // An incomplete message waits for more bytes; the idle check is skipped
    // while it does.
    if (handler(lobby, client) == kIncomplete) return pump_and_flush(lobby, client);
  }
  if (pump_and_flush(lobby, client)) return true;
  if (client.idle_seconds.load(std::memory_order_relaxed) > kIdleLimitSeconds) {
    leave_and_drop(lobby, client, kDropIdle);
    return true;
  }
  return false;
}

void leave_and_drop(Lobby& lobby, ClientSlot& client, int reason) {
  leave_room(lobby, client);
  drop_client(lobby, client, reason);
}

void drop_client(Lobby& lobby, ClientSlot& client, int reason) {
  UserRecord& user = lobby.users[client.slot];
  const int32_t user_id = client.user_id;
  {
    std::lock_guard<std::recursive_mutex> guard(lobby.lock_groups);
    lobby.upstream.report_logout(client.user_id);
    client.announced_user_id = kNone;
    release_group(lobby, client, user.group_key.load(std::memory_order_relaxed));
    user.group_key.store(kNone, std::memory_order_relaxed);
    client.group_index = kNone;
  }
  lobby.wake_workers();
  client.user_id = kNone;
  client.login_accepted.store(false, std::memory_order_release);
  // The client has left its seat (leave_room ran first), so nothing more
  // can be pushed for it: what is left is nobody's and goes.
  clear_direct_queue(lobby, client.slot);
  user.vacated_seats.store(0, std::memory_order_relaxed);
  lobby.drops[reason].fetch_add(1, std::memory_order_relaxed);
  char counts[160];
  lobby.format_drop_counts(counts, sizeof counts);
  report_event(lobby.events, "drop slot %d user %d: %s (%s)", client.slot, user_id,
               drop_reason_text(reason), counts);
  // Last: from this store on the accept thread may place a new connection.
  client.close();
}

void place_client(Lobby& lobby, ClientSlot& client, int socket, const PeerInfo& peer) {
  // No chat line older than the connection. Room notices are different:
  // the read index moves to the head only with an accepted login's room
  // list, so a refused client of a group may still be shown its older
  // notices.
  client.chat_read = lobby.chat.chat_head.load(std::memory_order_acquire);
  client.validation = 0;
  lobby.users[client.slot].vacated_seats.store(0, std::memory_order_relaxed);
  client.game_room = kNone;
  // A client that logs in without a name message must not pass on its
  // predecessor's name (as a room title or in a seat list).
  std::memset(lobby.users[client.slot].name, 0, sizeof lobby.users[client.slot].name);
  clear_direct_queue(lobby, client.slot);
  client.peer_addr.store(peer.addr, std::memory_order_relaxed);
  client.peer_port.store(peer.port, std::memory_order_relaxed);
  client.placed_ms.store(peer.placed_ms, std::memory_order_relaxed);
  client.login_accepted.store(false, std::memory_order_relaxed);
  client.attach(socket);
  // Its worker starts watching the new socket.
  lobby.wake_workers();
}

bool has_pending_work(const Lobby& lobby, const ClientSlot& client) {
  if (client.state.load(std::memory_order_acquire) == net::kStateClosed) return false;
  if (client.chat_read != lobby.chat.chat_head.load(std::memory_order_acquire)) return true;
  if (client.notice_read != lobby.notices.notice_head.load(std::memory_order_acquire)) return true;
  // Sends that the kernel would take, and marked seats and direct messages
  // the send queue has room for. A client whose sends are blocked waits for
  // writability.
  if (client.send_blocked()) return false;
  if (client.send_pending() > 0) return true;
  const UserRecord& user = lobby.users[client.slot];
  const bool waiting = user.vacated_seats.load(std::memory_order_acquire) != 0 ||
                       user.direct_count.load(std::memory_order_acquire) > 0;
  return waiting && client.send_free() > kSendReserve;
}

uint32_t tick_idle(Lobby& lobby) {
  uint32_t due = 0;
  for (int i = 0; i < kSlots; ++i) {
    if (lobby.users[i].group_key.load(std::memory_order_relaxed) != kNone) {
      const int32_t idle = lobby.slots[i].idle_seconds.fetch_add(1, std::memory_order_relaxed) + 1;
      if (idle > kIdleLimitSeconds) due |= 1u << (i / kSlotsPerWorker);
    }
  }
  return due;
}

}  // namespace lobby
