// Name, validation, keep-alive and login, the room list and the group
// table: how a client enters the lobby and learns its group's size.
#include <cstring>

#include "lobby/handlers.h"
#include "lobby/message_reader.h"

namespace lobby {

int handle_name(Lobby& lobby, ClientSlot& client) {
  if (!message_complete(client, wire::kLenName)) return kIncomplete;
  UserRecord& user = lobby.users[client.slot];
  client.user_id.store(msg_i32(client, 2), std::memory_order_relaxed);
  {
    platform::MutexLock guard(user.name_lock);
    msg_copy(client, 6, user.name, wire::kNameLen);
    user.name[wire::kNameLen] = 0;
  }
  client.validation = 0;
  consume_message(client, wire::kLenName);
  return kHandled;
}

int handle_validation(Lobby& /*lobby*/, ClientSlot& client) {
  if (!message_complete(client, wire::kLenValidation)) return kIncomplete;
  client.validation = msg_i32(client, 2);
  consume_message(client, wire::kLenValidation);
  return kHandled;
}

int handle_keep_alive(Lobby& /*lobby*/, ClientSlot& client) {
  if (!message_complete(client, wire::kLenKeepAlive)) return kIncomplete;
  consume_message(client, wire::kLenKeepAlive);
  return kHandled;
}

namespace {

// A refused login's line. A connection that has no accepted login is one
// of as many as an attacker can open, so its line may be folded with the
// others of its address and reason; a logged-in client's is its own.
void report_refused_login(Lobby& lobby, const ClientSlot& client, int32_t id, int32_t key,
                          int reason) {
  if (client.login_accepted.load(std::memory_order_relaxed)) {
    report_event(lobby.events, "login refused slot %d user %d key %d (%s)", client.slot, id, key,
                 login_refusal_text(reason));
  } else {
    report_login_refused(lobby.events, client.peer_address.load(), reason,
                         "login refused slot %d user %d key %d (%s)", client.slot, id, key,
                         login_refusal_text(reason));
  }
}

}  // namespace

int handle_login(Lobby& lobby, ClientSlot& client) {
  if (!message_complete(client, wire::kLenLogin)) return kIncomplete;
  UserRecord& user = lobby.users[client.slot];
  int32_t id = msg_i32(client, 2);
  int32_t key = msg_i32(client, 6);
  int32_t seat_count = msg_u16(client, 10);
  int32_t start_size = msg_u16(client, 12);
  consume_message(client, wire::kLenLogin);
  uint8_t out[wire::kLenRefused];
  if (key <= 0) {
    // Key 0 marks free rooms and the negated key of a chat line would name a
    // room's game, so such keys would open other groups to the client. The
    // login is refused and nothing else changes.
    reply(client, out, wire::compose_header_only(out, wire::kMsgRefused));
    lobby.count(kCountLoginsRefused);
    report_refused_login(lobby, client, id, key, kLoginKeyNotPositive);
    return kHandled;
  }
  client.user_id.store(id, std::memory_order_relaxed);
  int32_t old_key = user.group_key.load(std::memory_order_relaxed);
  user.group_key.store(key, std::memory_order_relaxed);
  // A line posted for this group meanwhile either finds this key (and wakes
  // this worker) or is seen by the pending-work check of this pass.
  lobby.order_post();
  {
    platform::MutexLock guard(lobby.lock_groups);
    // A repeated login gives back the earlier entry first, so that every
    // group count stays exact.
    release_group(lobby, client, old_key);
    client.last_group_count = 0;
    client.group_index = join_group(lobby, key);
  }
  // The members of its group, and of the group it left, have a new count
  // to hear.
  const int own_worker = client.slot / kSlotsPerWorker;
  lobby.wake_workers_of_group(key, own_worker);
  if (old_key != kNone && old_key != key) lobby.wake_workers_of_group(old_key, own_worker);
  user.seat_count = seat_count;
  user.start_size = start_size;
  if (client.validation == 1) {
    // One-way for the connection: a later refused login leaves it in its
    // group and room, so it is still a logged-in client, never one for the
    // login deadline or for displacement.
    client.login_accepted.store(true, std::memory_order_release);
    {
      platform::MutexLock guard(lobby.lock_groups);
      lobby.upstream.report_login(id);
      client.announced_user_id = id;
    }
    send_room_list(lobby, client);
    lobby.count(kCountLoginsAccepted);
    // A connection's one line of its own: the rest of its kind (refused,
    // dropped before a login) are folded, so that connections from any
    // number of addresses cannot fill the log.
    char address[net::kIpTextBytes];
    client.peer_address.load().format(address);
    report_event(lobby.events, "login accepted slot %d user %d key %d from %s", client.slot, id,
                 key, address);
  } else {
    reply(client, out, wire::compose_header_only(out, wire::kMsgRefused));
    lobby.count(kCountLoginsRefused);
    report_refused_login(lobby, client, id, key, kLoginNotValidated);
  }
  return kHandled;
}

void send_room_list(Lobby& lobby, ClientSlot& client) {
  const int32_t key = lobby.users[client.slot].group_key.load(std::memory_order_relaxed);
  uint8_t out[wire::kLenRoomEntry];
  {
    platform::MutexLock guard(lobby.lock_rooms);
    for (int r = 0; r < lobby.room_limit(); ++r) {
      const RoomRecord& room = lobby.rooms[r];
      if (room.group_key != key) continue;
      reply(client, out, wire::compose_room_entry(out, r, room.member_count, room.title));
    }
    // Taken under the same lock as the list, so that the notices that follow
    // continue exactly where the list left off.
    client.notice_read = lobby.notices.notice_head.load(std::memory_order_acquire);
    client.notice_stall_ms = -1;
  }
  reply(client, out, wire::compose_header_only(out, wire::kMsgListEnd));
}

int join_group(Lobby& lobby, int32_t key) {
  for (int i = 0; i < kGroupEntries; ++i) {
    GroupEntry& entry = lobby.groups[i];
    if (entry.key == key) {
      entry.count.fetch_add(1, std::memory_order_release);
      return i;
    }
  }
  for (int i = 0; i < kGroupEntries; ++i) {
    GroupEntry& entry = lobby.groups[i];
    if (entry.key == kNone) {
      entry.key = key;
      entry.count.store(1, std::memory_order_release);
      return i;
    }
  }
  return kNone;
}

void release_group(Lobby& lobby, ClientSlot& client, int32_t key) {
  if (key == kNone || client.group_index == kNone) return;
  GroupEntry& entry = lobby.groups[client.group_index];
  if (entry.key != key) return;
  if (entry.count.fetch_sub(1, std::memory_order_release) - 1 < 1) {
    entry.key = kNone;
    entry.count.store(0, std::memory_order_release);
  }
  client.group_index = kNone;
}

void send_group_count(ClientSlot& client, int32_t count) {
  uint8_t out[wire::kLenGroupCount];
  reply(client, out, wire::compose_i32(out, wire::kMsgGroupCount, count));
}

}  // namespace lobby
