#include "lobby/dispatcher.h"

#include <cstring>

#include "lobby/flood_pacing.h"
#include "lobby/handlers.h"
#include "lobby/ring_readers.h"
#include "upstream/upstream_link.h"
#include "wire/message_table.h"

namespace lobby {
namespace {

// Each client message's letter with its handler, from the wire's list.
struct HandlerEntry {
  uint8_t letter;
  Handler handler;
};
#define LOBBY_HANDLER_ENTRY(letter, length, counted, handler) {letter, handler},
constexpr HandlerEntry kHandlers[] = {WIRE_CLIENT_MESSAGES(LOBBY_HANDLER_ENTRY)};
#undef LOBBY_HANDLER_ENTRY

// Pump, and drop a client whose send queue overflowed: it does not read
// what it is sent, and cannot be served. What is queued is sent at the end
// of the worker's pass (flush_clients).
bool pump_and_judge(Lobby& lobby, ClientSlot& client) {
  delivery_pump(lobby, client);
  if (client.send_overflowed()) {
    leave_and_drop(lobby, client, kDropNotReading);
    return true;
  }
  return false;
}

// Whether a client dropped for `reason` is reset rather than closed. With
// L_SEND_BUFFER on, a client dropped for its own fault (not reading,
// flooding, bad framing, a ban) gets nothing more: whatever the kernel still
// holds for it would otherwise wait there, against a window the peer may
// keep shut, for as long as the peer likes. So does one that closed its end
// without taking what was sent. A drop that is no client's fault (idle, a
// kick, no login, a newcomer needing the slot) closes as ever: what was
// sent still arrives.
bool resets_on_drop(const Lobby& lobby, const ClientSlot& client, int reason) {
  if (lobby.live.number<&config::Settings::L_SEND_BUFFER>() <= 0) return false;
  switch (reason) {
    case kDropNotReading:
    case kDropFlooding:
    case kDropBadFraming:
    case kDropBanned:
      return true;
    case kDropPeerClosed:
      return client.kernel_unsent() > 0;
    default:
      return false;
  }
}

}  // namespace

Handler handler_for(uint8_t letter) {
  for (const HandlerEntry& entry : kHandlers) {
    if (entry.letter == letter) return entry.handler;
  }
  return nullptr;
}

void serve_client(Lobby& lobby, ClientSlot& client, bool readable, int64_t now_ms) {
  if (!client.is_open()) return;
  client.pass_ms = now_ms;
  if (take_drop_request(lobby, client)) return;
  // A client whose own pace (its flooding, or its address's chat pace)
  // holds its input back is not read, so its close would show only after
  // every waiting line had its turn: minutes of slot, seat and group count
  // for a client that has gone. It leaves as soon as its end is closed;
  // lines it was not yet allowed to say go with it. A hold for room in a
  // ring is left to run out (it ends within a second), so no line a client
  // was allowed to say is lost.
  const bool own_pace_holds =
      client.flood.held() ||
      client.line_hold.load(std::memory_order_relaxed) == ClientSlot::LineHold::kChatPace;
  if (own_pace_holds && client.peer_shut()) {
    leave_and_drop(lobby, client, kDropPeerClosed);
    return;
  }
  // The worker's readiness wait has already run: no further wait here. A
  // client about to be judged idle is read all the same: what it sent may
  // have arrived after that wait, or while the whole process was stopped,
  // and it must be handled before the client is called silent. (A client
  // whose input is held back is left unread; its waiting messages keep it
  // from being idle.)
  const int64_t idle_at = idle_deadline_ms(lobby, client);
  const bool idle_due = idle_at >= 0 && now_ms >= idle_at && !client.input_held();
  if ((readable || idle_due) && client.receive() == 1) {
    leave_and_drop(lobby, client, kDropPeerClosed);
    return;
  }
  if (run_pass(lobby, client, now_ms) || !client.flood.paused()) return;
  // A held-back client worked through its ring. What it sent meanwhile
  // waits unread in the kernel, and then its hold goes on; with nothing
  // there, it has had a break. A client that waits for each answer before
  // it sends again has one after every answer: it is slowed, never dropped.
  const int before = client.received();
  if (client.receive() == 1) {
    leave_and_drop(lobby, client, kDropPeerClosed);
    return;
  }
  if (client.received() == before) {
    client.flood.end_hold();
    return;
  }
  if (run_pass(lobby, client, now_ms)) return;
  // Not held again after what waited in the kernel: every whole message it
  // had sent is handled, which is a break too. Left paused, the hold would
  // keep its start, and the next burst, however much later, would count
  // from there.
  if (client.flood.paused()) client.flood.end_hold();
}

bool run_pass(Lobby& lobby, ClientSlot& client, int64_t now_ms) {
  client.pass_ms = now_ms;
  FloodPacing& flood = client.flood;
  // A reload's flood settings apply to connections already open, from
  // their next pass on.
  const uint32_t generation = lobby.live.generation();
  if (generation != client.settings_generation) {
    client.settings_generation = generation;
    flood.retune(lobby.live.number<&config::Settings::L_FLOOD_RATE>(),
                 lobby.live.number<&config::Settings::L_FLOOD_BURST>(), now_ms);
  }
  const bool pacing = flood.on();
  if (pacing) flood.begin_pass(now_ms);
  // Seats vacated while the queue was nearly full go out before anything
  // this pass adds, as if they had been queued at once. While some are
  // still marked, the client's own messages wait: their replies must not
  // overtake those of the room it is in.
  const bool handle = send_vacated_seats(lobby, client);
  // Its own full queue stops it, not its pace: it is no longer held back,
  // so it counts for the idle clock and its worker waits for writability
  // instead of passing at the pace of tokens it cannot use.
  if (pacing && !handle && flood.held()) flood.end_hold();
  bool held = false;
  ClientSlot::LineHold line_hold = ClientSlot::LineHold::kFree;
  int64_t hold_until = -1;
  while (handle && client.received() >= 2) {
    const bool whole = complete_message_waiting(client);
    // With its bucket empty, a whole message waits for the next token; the
    // worker then leaves the socket unread, so the sender is slowed by TCP.
    if (pacing && !flood.has_token() && whole) {
      held = true;
      break;
    }
    if (client.ring_byte(0) != wire::kMsgMark) {
      leave_and_drop(lobby, client, kDropBadFraming);
      return true;
    }
    const uint8_t letter = client.ring_byte(1);
    const Handler handler = handler_for(letter);
    if (handler == nullptr) {
      leave_and_drop(lobby, client, kDropBadFraming);
      return true;
    }
    // A whole chat line takes a token of its address's chat pace, and
    // waits, as a flood hold does, while there is none.
    const uint64_t key = client.peer_address.load().address_key();
    const int32_t chat_rate = lobby.live.number<&config::Settings::L_CHAT_RATE>();
    const bool paced_line = whole && letter == wire::kMsgChat && chat_rate > 0;
    if (paced_line) {
      int wait_ms = 1;
      if (!lobby.chat_pace.take(key, chat_rate,
                                lobby.live.number<&config::Settings::L_CHAT_BURST>(), now_ms,
                                &wait_ms)) {
        line_hold = ClientSlot::LineHold::kChatPace;
        hold_until = now_ms + wait_ms;
        break;
      }
    }
    client.advance_read(1);
    const int result = handler(lobby, client);
    if (result == kWaitChatRing || result == kWaitNoticeRing) {
      // The handler has put the message back, whole, as an incomplete one.
      if (paced_line) lobby.chat_pace.give_back(key);
      const int own_worker = client.slot / kSlotsPerWorker;
      if (result == kWaitChatRing) {
        line_hold = ClientSlot::LineHold::kChatRing;
        hold_until = wait_for_chat_readers(lobby, own_worker, now_ms);
      } else {
        line_hold = ClientSlot::LineHold::kNoticeRing;
        hold_until = wait_for_notice_readers(lobby, own_worker, now_ms);
      }
      break;
    }
    if (result == kIncomplete) break;
    client.last_message_ms.store(now_ms, std::memory_order_relaxed);
    if (result == kActed) client.active_ms.store(now_ms, std::memory_order_relaxed);
    if (pacing) flood.spend_token();
  }
  client.line_hold.store(line_hold, std::memory_order_relaxed);
  client.line_hold_until_ms = hold_until;
  if (pump_and_judge(lobby, client)) return true;
  // The whole messages it sent count for the idle limit, handled yet or not.
  if (held || line_hold != ClientSlot::LineHold::kFree) {
    client.last_message_ms.store(now_ms, std::memory_order_relaxed);
  }
  if (line_hold != ClientSlot::LineHold::kFree) {
    // Something other than its own pace holds it: its address's chat pace,
    // which others from the address share, or room for others to read. Not
    // the client's flooding, and a break in any flood hold.
    if (pacing) flood.end_hold();
  } else if (pacing && handle && flood.end_pass(held, now_ms)) {
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

void flush_clients(ClientSlot* const* clients, int count) {
  if (count <= 0) return;
  if (count > net::kMaxSendJobs) count = net::kMaxSendJobs;
  bool done[net::kMaxSendJobs] = {};
  // While the kernel takes what is queued, so that a pass that took many
  // deliveries sends them all; a client whose sends the kernel refused
  // waits for writability.
  for (int round = 0; round < net::kSendSlots / net::kFlushBatch + 1; ++round) {
    net::SendJob jobs[net::kMaxSendJobs];
    net::IoSlice slices[net::kMaxSendJobs][net::kFlushBatch];
    ClientSlot* of[net::kMaxSendJobs];
    int n = 0;
    for (int i = 0; i < count; ++i) {
      if (done[i]) continue;
      ClientSlot& client = *clients[i];
      const int pieces = client.begin_flush(slices[n]);
      if (pieces == 0) {
        done[i] = true;
        continue;
      }
      jobs[n].fd = client.socket_fd();
      jobs[n].slices = slices[n];
      jobs[n].count = pieces;
      of[n] = &client;
      ++n;
    }
    if (n == 0) return;
    clients[0]->transport()->send_batch(jobs, n);
    for (int j = 0; j < n; ++j) of[j]->end_flush(slices[j], jobs[j].count, jobs[j].result);
    for (int i = 0; i < count; ++i) {
      if (!done[i] && clients[i]->send_blocked()) done[i] = true;
    }
  }
}

int64_t idle_deadline_ms(const Lobby& lobby, const ClientSlot& client) {
  if (lobby.users[client.slot].group_key.load(std::memory_order_relaxed) == kNone) return -1;
  return client.last_message_ms.load(std::memory_order_relaxed) + kIdleLimitMs + 1;
}

void request_drop(Lobby& lobby, int slot, uint32_t serial, int reason, bool logged_in) {
  lobby.slots[slot].drop_request.ask(serial, reason, logged_in);
  lobby.wake_worker(slot / kSlotsPerWorker);
}

bool take_drop_request(Lobby& lobby, ClientSlot& client) {
  const int reason =
      client.drop_request.take(client.login_accepted.load(std::memory_order_acquire));
  if (reason == kNoDrop) return false;
  leave_and_drop(lobby, client, reason);
  return true;
}

int64_t expire_logins(Lobby& lobby, int64_t now_ms) {
  const int64_t wait_ms =
      static_cast<int64_t>(lobby.live.number<&config::Settings::L_LOGIN_WAIT>()) * 1000;
  if (wait_ms <= 0) return -1;
  int64_t next = -1;
  for (int i = 0; i < kSlots; ++i) {
    ClientSlot& client = lobby.slots[i];
    // The serial first: a slot freed and placed anew after it was read gets
    // a request for the connection that left, which is ignored.
    const uint32_t serial = client.drop_request.serial();
    if (!client.is_open()) continue;
    if (client.login_accepted.load(std::memory_order_acquire)) continue;
    // One already asked to go is not asked again on every pass.
    if (client.drop_request.waiting_for(serial)) continue;
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
  const bool logged_in = client.login_accepted.load(std::memory_order_relaxed);
  const int32_t key = user.group_key.load(std::memory_order_relaxed);
  {
    platform::MutexLock guard(lobby.lock_groups);
    lobby.upstream.report_logout(user_id);
    client.announced_user_id = kNone;
    release_group(lobby, client, key);
    user.group_key.store(kNone, std::memory_order_relaxed);
    client.group_index = kNone;
  }
  // The group's other members have a new count to hear.
  if (key != kNone) lobby.wake_workers_of_group(key, client.slot / kSlotsPerWorker);
  client.user_id.store(kNone, std::memory_order_relaxed);
  client.login_accepted.store(false, std::memory_order_release);
  // The client has left its seat (leave_room ran first), so nothing more
  // can be pushed for it: what is left is nobody's and goes.
  clear_direct_queue(lobby, client.slot);
  user.vacated_seats.store(0, std::memory_order_relaxed);
  client.flood.end_hold();
  client.line_hold.store(ClientSlot::LineHold::kFree, std::memory_order_relaxed);
  lobby.drops[reason].fetch_add(1, std::memory_order_relaxed);
  char counts[kDropCountsBytes];
  lobby.format_drop_counts(counts, sizeof counts);
  const net::IpAddress addr = client.peer_address.load();
  if (logged_in) {
    // A session's end has its line, as its login had.
    report_event(lobby.events, "drop slot %d user %d: %s (%s)", client.slot, user_id,
                 drop_reason_text(reason), counts);
  } else {
    report_dropped(lobby.events, addr, reason, "drop slot %d user %d: %s (%s)", client.slot,
                   user_id, drop_reason_text(reason), counts);
  }
  // The strike comes before the close: once the client sees its connection
  // end it may connect again at once, and the accept thread, which takes the
  // bans due before it places a connection, must find this one due by then.
  // The ban's sweep may still find this connection open; it is going anyway.
  // A proxy's own address is never banned for what its clients do.
  const bool ban_due =
      AutoBan::is_strike(reason, logged_in) &&
      !client.proxy_itself.load(std::memory_order_relaxed) &&
      lobby.auto_bans.strike(addr, reason, lobby.live.number<&config::Settings::L_AUTOBAN>(),
                             client.pass_ms);
  // Last: from this store on the accept thread may place a new connection.
  client.open_socket.store(-1, std::memory_order_release);
  if (resets_on_drop(lobby, client, reason)) {
    client.abort();
  } else {
    client.close();
  }
  lobby.connected_count.fetch_sub(1, std::memory_order_acq_rel);
  lobby.events->counts_changed();
  // The accept thread hears of a drop only when it waits for one (a
  // newcomer held for a free slot, a drain for the last client to go) or
  // has a ban to take. order_post orders the close above before the look
  // at what it waits for, as Lobby::await_drops orders its own; one of the
  // two sees the other.
  lobby.order_post();
  if (ban_due || lobby.drops_awaited()) lobby.wake_accept();
  // Writers may have waited for this reader.
  reader_moved(lobby);
}

void place_client(Lobby& lobby, ClientSlot& client, int socket, const PeerInfo& peer) {
  // No chat line older than the connection. Room notices are different:
  // the read index moves to the head only with an accepted login's room
  // list, so a refused client of a group may still be shown its older
  // notices. Nothing of a stall of the slot's last reader is left.
  {
    platform::MutexLock rooms_guard(lobby.lock_rooms);
    client.notice_stall_ms = -1;
    platform::MutexLock chat_guard(lobby.lock_chat);
    client.chat_read = lobby.chat.chat_head.load(std::memory_order_acquire);
    client.chat_stall_ms = -1;
  }
  client.ring_released.store(false, std::memory_order_release);
  client.line_hold.store(ClientSlot::LineHold::kFree, std::memory_order_relaxed);
  client.validation = 0;
  lobby.users[client.slot].vacated_seats.store(0, std::memory_order_relaxed);
  client.game_room = kNone;
  // A client that logs in without a name message must not pass on its
  // predecessor's name (as a room title or in a seat list).
  {
    UserRecord& user = lobby.users[client.slot];
    platform::MutexLock guard(user.name_lock);
    std::memset(user.name, 0, sizeof user.name);
  }
  clear_direct_queue(lobby, client.slot);
  client.peer_address.store(peer.addr);
  client.peer_port.store(peer.port, std::memory_order_relaxed);
  client.proxy_itself.store(peer.proxy_itself, std::memory_order_relaxed);
  client.placed_ms.store(peer.placed_ms, std::memory_order_relaxed);
  client.connection_id.store(lobby.counters[kCountConnections].fetch_add(1) + 1,
                             std::memory_order_relaxed);
  client.last_message_ms.store(peer.placed_ms, std::memory_order_relaxed);
  client.active_ms.store(peer.placed_ms, std::memory_order_relaxed);
  client.login_accepted.store(false, std::memory_order_relaxed);
  client.drop_request.begin_connection();
  client.settings_generation = lobby.live.generation();
  client.flood.reset(lobby.live.number<&config::Settings::L_FLOOD_RATE>(),
                     lobby.live.number<&config::Settings::L_FLOOD_BURST>(), peer.placed_ms);
  // What came with a proxy's header is the client's first input: the
  // worker's first pass over the slot handles it, whether or not more
  // arrives.
  if (peer.first_length > 0) lobby.count(kCountBytesReceived, peer.first_length);
  client.open_socket.store(socket, std::memory_order_release);
  client.attach(socket, peer.first_bytes, peer.first_length);
  lobby.connected_count.fetch_add(1, std::memory_order_acq_rel);
  lobby.events->counts_changed();
  // Its worker starts watching the new socket.
  lobby.wake_worker(client.slot / kSlotsPerWorker);
}

bool has_pending_work(const Lobby& lobby, const ClientSlot& client) {
  if (!client.is_open()) return false;
  if (client.drop_request.pending()) return true;
  if (client.chat_read != lobby.chat_head().load(std::memory_order_acquire)) return true;
  if (client.notice_read != lobby.notice_head().load(std::memory_order_acquire)) return true;
  // A group count the pump has yet to send. (A game start is not looked
  // for: the join that starts a room wakes every member's worker.)
  if (client.group_index != kNone &&
      lobby.group_count(client.group_index).load(std::memory_order_acquire) !=
          client.last_group_count) {
    return true;
  }
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
