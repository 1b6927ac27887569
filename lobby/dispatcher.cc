#include "lobby/dispatcher.h"

#include <cstring>

#include "lobby/flood_pacing.h"
#include "lobby/handlers.h"
#include "net/socket_ops.h"
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
// read what it is sent, and cannot be served. The flush goes on while the
// kernel takes what is queued, so that a pass that took many deliveries
// sends them all.
bool pump_and_flush(Lobby& lobby, ClientSlot& client) {
  delivery_pump(lobby, client);
  for (int i = 0; i < net::kSendSlots / net::kFlushBatch + 1; ++i) {
    client.flush();
    if (client.send_pending() == 0 || client.send_blocked()) break;
  }
  if (client.send_overflowed()) {
    leave_and_drop(lobby, client, kDropNotReading);
    return true;
  }
  return false;
}

// A drop request packs the connection's serial and the reason plus one, so
// that no request is 0.
uint64_t pack_request(uint32_t serial, int reason) {
  return static_cast<uint64_t>(serial) << 32 | static_cast<uint32_t>(reason + 1);
}
// The login deadline and displacement are only for connections that never
// logged in.
bool voided_by_login(int reason) { return reason == kDropNoLogin || reason == kDropDisplaced; }

uint32_t request_serial(uint64_t request) { return static_cast<uint32_t>(request >> 32); }
int request_reason(uint64_t request) { return static_cast<int>(request & 0xffffffffu) - 1; }

}  // namespace

void serve_client(Lobby& lobby, ClientSlot& client, bool readable, int64_t now_ms) {
  if (client.state.load(std::memory_order_acquire) == net::kStateClosed) return;
  if (take_drop_request(lobby, client)) return;
  // The worker's readiness wait has already run: no further wait here. A
  // client about to be judged idle is read all the same: what it sent may
  // have arrived after that wait, or while the whole process was stopped,
  // and it must be handled before the client is called silent. (A client
  // held back by flood pacing is left unread; its waiting messages keep it
  // from being idle.)
  const int64_t idle_at = idle_deadline_ms(lobby, client);
  const bool idle_due = idle_at >= 0 && now_ms >= idle_at && !held_back(client);
  if ((readable || idle_due) && client.receive(0) == 1) {
    leave_and_drop(lobby, client, kDropPeerClosed);
    return;
  }
  if (run_pass(lobby, client, now_ms) || !hold_paused(client)) return;
  // A held-back client worked through its ring. What it sent meanwhile
  // waits unread in the kernel, and then its hold goes on; with nothing
  // there, it has had a break. A client that waits for each answer before
  // it sends again has one after every answer: it is slowed, never dropped.
  const int before = client.recv_count;
  if (client.receive(0) == 1) {
    leave_and_drop(lobby, client, kDropPeerClosed);
    return;
  }
  if (client.recv_count == before) {
    end_hold(client);
    return;
  }
  if (run_pass(lobby, client, now_ms)) return;
  // Not held again after what waited in the kernel: every whole message it
  // had sent is handled, which is a break too. Left paused, the hold would
  // keep its start, and the next burst, however much later, would count
  // from there.
  if (hold_paused(client)) end_hold(client);
}

bool run_pass(Lobby& lobby, ClientSlot& client, int64_t now_ms) {
  const config::Settings& settings = lobby.settings;
  const bool pacing = settings.L_FLOOD_RATE > 0;
  if (pacing) refill_flood_bucket(settings, client, now_ms);
  // Seats vacated while the queue was nearly full go out before anything
  // this pass adds, as if they had been queued at once. While some are
  // still marked, the client's own messages wait: their replies must not
  // overtake those of the room it is in.
  const bool handle = send_vacated_seats(lobby, client);
  // Its own full queue stops it, not its pace: it is no longer held back,
  // so it counts for the idle clock and its worker waits for writability
  // instead of passing at the pace of tokens it cannot use.
  if (pacing && !handle && held_back(client)) {
    client.flood_held.store(false, std::memory_order_relaxed);
    end_hold(client);
  }
  bool held = false;
  while (handle && client.recv_count >= 2) {
    // With its bucket empty, a whole message waits for the next token; the
    // worker then leaves the socket unread, so the sender is slowed by TCP.
    if (pacing && !has_flood_token(client) && complete_message_waiting(client)) {
      held = true;
      break;
    }
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
    if (handler(lobby, client) == kIncomplete) break;
    client.last_message_ms.store(now_ms, std::memory_order_relaxed);
    if (pacing) spend_flood_token(client);
  }
  if (pump_and_flush(lobby, client)) return true;
  if (pacing && handle && note_held_back(client, held, now_ms)) {
    leave_and_drop(lobby, client, kDropFlooding);
    return true;
  }
  // Part of a message waiting for its rest changes nothing here: only
  // whole messages keep a client from being idle.
  const int64_t idle_at = idle_deadline_ms(lobby, client);
  if (idle_at >= 0 && now_ms >= idle_at) {
    leave_and_drop(lobby, client, kDropIdle);
    return true;
  }
  return false;
}

int64_t idle_deadline_ms(const Lobby& lobby, const ClientSlot& client) {
  if (lobby.users[client.slot].group_key.load(std::memory_order_relaxed) == kNone) return -1;
  return client.last_message_ms.load(std::memory_order_relaxed) + kIdleLimitMs + 1;
}

void request_drop(Lobby& lobby, int slot, uint32_t serial, int reason) {
  ClientSlot& client = lobby.slots[slot];
  const uint64_t wanted = pack_request(serial, reason);
  uint64_t current = client.drop_request.load(std::memory_order_acquire);
  for (;;) {
    // A request for a connection that has gone is not stored: it could
    // take the place of one for the connection the slot holds now. (The
    // accept thread advances the serial before it clears the request, so a
    // store that wins the race below is cleared with the old connection.)
    const uint32_t live = client.serial.load(std::memory_order_acquire);
    if (serial != live) return;
    // A request already there for this connection stays, unless a login
    // could void it and this one stands whatever the login.
    if (current != 0 && request_serial(current) == live &&
        !(voided_by_login(request_reason(current)) && !voided_by_login(reason))) {
      break;
    }
    if (client.drop_request.compare_exchange_weak(current, wanted, std::memory_order_acq_rel)) {
      break;
    }
  }
  net::wake(lobby.worker_wake[slot / kSlotsPerWorker]);
}

bool take_drop_request(Lobby& lobby, ClientSlot& client) {
  if (client.drop_request.load(std::memory_order_acquire) == 0) return false;
  const uint64_t request = client.drop_request.exchange(0, std::memory_order_acq_rel);
  if (request == 0 || request_serial(request) != client.serial.load(std::memory_order_relaxed)) {
    return false;
  }
  const int reason = request_reason(request);
  // A login accepted after the request was made outranks it.
  if (voided_by_login(reason) && client.login_accepted.load(std::memory_order_acquire)) {
    return false;
  }
  leave_and_drop(lobby, client, reason);
  return true;
}

int64_t expire_logins(Lobby& lobby, int64_t now_ms) {
  const int64_t wait_ms = static_cast<int64_t>(lobby.settings.L_LOGIN_WAIT) * 1000;
  if (wait_ms <= 0) return -1;
  int64_t next = -1;
  for (int i = 0; i < kSlots; ++i) {
    ClientSlot& client = lobby.slots[i];
    // The serial first: a slot freed and placed anew after it was read gets
    // a request for the connection that left, which is ignored.
    const uint32_t serial = client.serial.load(std::memory_order_acquire);
    if (client.state.load(std::memory_order_acquire) == net::kStateClosed) continue;
    if (client.login_accepted.load(std::memory_order_acquire)) continue;
    // One already asked to go is not asked again on every pass.
    const uint64_t pending = client.drop_request.load(std::memory_order_acquire);
    if (pending != 0 && request_serial(pending) == serial) continue;
    const int64_t deadline = client.placed_ms.load(std::memory_order_relaxed) + wait_ms;
    if (now_ms >= deadline) {
      request_drop(lobby, i, serial, kDropNoLogin);
    } else if (next < 0 || deadline < next) {
      next = deadline;
    }
  }
  return next;
}

void leave_and_drop(Lobby& lobby, ClientSlot& client, int reason) {
  leave_room(lobby, client);
  drop_client(lobby, client, reason);
}

void drop_client(Lobby& lobby, ClientSlot& client, int reason) {
  UserRecord& user = lobby.users[client.slot];
  const int32_t user_id = client.user_id.load(std::memory_order_relaxed);
  {
    std::lock_guard<std::recursive_mutex> guard(lobby.lock_groups);
    lobby.upstream.report_logout(user_id);
    client.announced_user_id = kNone;
    release_group(lobby, client, user.group_key.load(std::memory_order_relaxed));
    user.group_key.store(kNone, std::memory_order_relaxed);
    client.group_index = kNone;
  }
  lobby.wake_workers();
  client.user_id.store(kNone, std::memory_order_relaxed);
  client.login_accepted.store(false, std::memory_order_release);
  // The client has left its seat (leave_room ran first), so nothing more
  // can be pushed for it: what is left is nobody's and goes.
  clear_direct_queue(lobby, client.slot);
  user.vacated_seats.store(0, std::memory_order_relaxed);
  client.flood_held.store(false, std::memory_order_relaxed);
  lobby.drops[reason].fetch_add(1, std::memory_order_relaxed);
  char counts[kDropCountsBytes];
  lobby.format_drop_counts(counts, sizeof counts);
  report_dropped(lobby.events, client.peer_addr.load(std::memory_order_relaxed), reason,
                 "drop slot %d user %d: %s (%s)", client.slot, user_id, drop_reason_text(reason),
                 counts);
  // Last: from this store on the accept thread may place a new connection.
  client.close();
  // A newcomer may be held for this slot.
  net::wake(lobby.accept_wake);
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
  {
    UserRecord& user = lobby.users[client.slot];
    std::lock_guard<std::mutex> guard(user.name_lock);
    std::memset(user.name, 0, sizeof user.name);
  }
  clear_direct_queue(lobby, client.slot);
  client.peer_addr.store(peer.addr, std::memory_order_relaxed);
  client.peer_port.store(peer.port, std::memory_order_relaxed);
  client.placed_ms.store(peer.placed_ms, std::memory_order_relaxed);
  client.last_message_ms.store(peer.placed_ms, std::memory_order_relaxed);
  client.login_accepted.store(false, std::memory_order_relaxed);
  client.serial.store(client.serial.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  client.drop_request.store(0, std::memory_order_release);
  reset_flood_bucket(lobby.settings, client, peer.placed_ms);
  client.attach(socket);
  // Its worker starts watching the new socket.
  lobby.wake_workers();
}

bool has_pending_work(const Lobby& lobby, const ClientSlot& client) {
  if (client.state.load(std::memory_order_acquire) == net::kStateClosed) return false;
  if (client.drop_request.load(std::memory_order_acquire) != 0) return true;
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

}  // namespace lobby
