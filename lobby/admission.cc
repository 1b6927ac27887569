#include "lobby/admission.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "lobby/dispatcher.h"
#include "lobby/server.h"
#include "net/socket_ops.h"

namespace lobby {
namespace {

// Open slots whose connection came from an address of `key`, as `key_of`
// keys it (address_key or network_key).
int open_with_key(const Lobby& lobby, uint64_t key, uint64_t (net::IpAddress::*key_of)() const) {
  int count = 0;
  for (const ClientSlot& client : lobby.slots) {
    if (client.is_open() && (client.peer_address.load().*key_of)() == key) {
      ++count;
    }
  }
  return count;
}

}  // namespace

Admission::Admission(Lobby& lobby, Clock& clock)
    : lobby_(lobby),
      clock_(clock),
      refusal_(new ClientSlot()),
      connection_rate_(new ConnectionRate(lobby.settings.L_CONN_RATE)) {
  refusal_->count_bytes(&lobby.counters[kCountBytesReceived], &lobby.counters[kCountBytesSent]);
}

void Admission::place_or_refuse(int socket, const net::IpAddress& addr, int32_t port) {
  PeerInfo peer;
  peer.addr = addr;
  peer.port = port;
  place_or_refuse(socket, peer);
}

void Admission::place_or_refuse(int socket, const PeerInfo& client) {
  Lobby& lobby = lobby_;
  const config::Settings& settings = lobby.settings;
  PeerInfo peer = client;
  const net::IpAddress addr = peer.addr;
  peer.placed_ms = clock_.now_ms();
  const uint64_t key = addr.address_key();
  // A ban that came due before this connection arrived applies to it: the
  // strike is noted before the dropped connection closes.
  apply_auto_bans();
  if (lobby.deny_list.denies(addr) || lobby.auto_ban_table.bans(addr, peer.placed_ms)) {
    refuse(socket, kRefusedDenied, addr);
    return;
  }
  // Every connection the address opens counts, whatever becomes of it;
  // one refused for its pace takes nothing.
  connection_rate_->retune(lobby.live.number<&config::Settings::L_CONN_RATE>());
  if (!connection_rate_->admit(key, peer.placed_ms)) {
    refuse(socket, kRefusedTooFast, addr);
    return;
  }
  net::set_no_delay(socket);
  // A client that stops reading holds at most this much of the host's
  // memory; the kernel would otherwise grow the buffer to its maximum. The
  // kernel takes one more write once its buffer is full, so it is asked for
  // that much less, and the whole stays within L_SEND_BUFFER.
  const int32_t send_buffer = lobby.live.number<&config::Settings::L_SEND_BUFFER>();
  if (send_buffer > 0) net::set_send_buffer(socket, send_buffer - kSendBufferSlack);
  if (settings.test_send_buffer > 0 &&
      (settings.test_send_buffer_from == 0 ||
       (addr.is_v4() && settings.test_send_buffer_from == addr.v4_value()))) {
    net::set_send_buffer(socket, settings.test_send_buffer);
  }
  // A draining lobby takes nobody new, even into a free slot.
  if (lobby.drain_deadline_ms.load(std::memory_order_acquire) >= 0) {
    refuse(socket, kRefusedDraining, addr);
    return;
  }
  const int32_t per_ip = lobby.live.number<&config::Settings::L_PER_IP>();
  if (per_ip > 0 && open_with_key(lobby, key, &net::IpAddress::address_key) >= per_ip) {
    refuse(socket, kRefusedPerAddress, addr);
    return;
  }
  const int32_t per_net = lobby.live.number<&config::Settings::L_PER_NET>();
  if (per_net > 0 &&
      open_with_key(lobby, addr.network_key(), &net::IpAddress::network_key) >= per_net) {
    refuse(socket, kRefusedPerNetwork, addr);
    return;
  }
  const int slot = find_free_slot(lobby);
  if (slot != kNone) {
    place(slot, socket, peer);
    return;
  }
  // Every slot is taken. A connection that has not logged in gives way
  // (with L_LOGIN_WAIT 0 none does), failing that a lurker (with L_LURK 0
  // none is): its worker drops it, and the newcomer waits for that slot.
  uint32_t serial = 0;
  bool lurker = false;
  int displaced = lobby.live.number<&config::Settings::L_LOGIN_WAIT>() > 0
                      ? pick_displaced(peer.placed_ms, &serial)
                      : kNone;
  const int64_t lurk_ms =
      static_cast<int64_t>(lobby.live.number<&config::Settings::L_LURK>()) * 1000;
  if (displaced == kNone && lurk_ms > 0 && !lost_lurker_lately(key, peer.placed_ms, lurk_ms)) {
    displaced = pick_lurker(peer.placed_ms, &serial);
    lurker = displaced != kNone;
    if (lurker) {
      note_lurker_lost(lobby.slots[displaced].peer_address.load().address_key(), peer.placed_ms);
    }
  }
  if (displaced != kNone) {
    request_drop(lobby, displaced, serial, kDropDisplaced, lurker);
    hold(socket, peer, displaced, peer.placed_ms + kDisplaceHoldMs);
    return;
  }
  // Nobody gives way, but a slot may be about to come free.
  bool closed = false;
  const int closing = pick_closing(socket, &serial, &closed);
  if (closing == kNone) {
    refuse(socket, kRefusedFull, addr);
    return;
  }
  // Its worker may not have looked yet (its client's input held back, say):
  // it is asked to drop it now.
  if (closed) request_drop(lobby, closing, serial, kDropPeerClosed, true);
  hold(socket, peer, closing, peer.placed_ms + kReclaimWaitMs);
}

void Admission::hold(int socket, const PeerInfo& peer, int slot, int64_t deadline_ms) {
  held_.socket = socket;
  held_.slot = slot;
  held_.deadline_ms = deadline_ms;
  held_.peer = peer;
  // The proxy stage's buffer is given back once this returns.
  const int first =
      peer.first_length < net::kProxyHeaderMaxBytes ? peer.first_length : net::kProxyHeaderMaxBytes;
  if (first > 0) std::memcpy(held_.first_bytes, peer.first_bytes, static_cast<size_t>(first));
  held_.peer.first_bytes = held_.first_bytes;
  held_.peer.first_length = first;
}

int Admission::pick_closing(int newcomer, uint32_t* serial, bool* closed) const {
  const Lobby& lobby = lobby_;
  for (int i = 0; i < lobby.served_slots() && i < kSlots; ++i) {
    const ClientSlot& client = lobby.slots[i];
    // The serial before the state, as for every request from this thread.
    const uint32_t this_serial = client.drop_request.serial();
    const bool open = client.is_open();
    const int socket = client.open_socket.load(std::memory_order_acquire);
    // Its worker is closing it: the number is -1 from just before the
    // socket's close until the slot is free, and a number the newcomer's
    // socket has taken was this slot's socket, closed since.
    const bool going = open && (socket < 0 || socket == newcomer);
    *closed = open && !going && client.transport()->peer_shut(socket);
    // A slot freed since find_free_slot is as good.
    if (!open || going || *closed || client.drop_request.pending()) {
      *serial = this_serial;
      return i;
    }
  }
  return kNone;
}

void Admission::place(int slot, int socket, const PeerInfo& peer) {
  Lobby& lobby = lobby_;
  ClientSlot& client = lobby.slots[slot];
  // No line of its own: the connection is logged with its login, and one
  // that leaves without a login is counted with the others of its reason.
  place_client(lobby, client, socket, peer);
  // A ban that came after this connection was let in, but before the
  // operator's sweep of open connections could see it, is applied here:
  // the sweep reads the slots after writing the list, this reads the list
  // after opening the slot, so one of the two finds the other.
  if (lobby.deny_list.denies(peer.addr) || lobby.auto_ban_table.bans(peer.addr, peer.placed_ms)) {
    request_drop(lobby, slot, client.drop_request.serial(), kDropBanned);
  }
}

void Admission::refuse(int socket, int reason, const net::IpAddress& addr) {
  Lobby& lobby = lobby_;
  ClientSlot& refusal = *refusal_;
  refusal.attach(socket);
  // A denied address, and one that connects too fast, get not one byte:
  // nothing is spent on them.
  if (reason != kRefusedDenied && reason != kRefusedTooFast && reason != kRefusedBadProxyHeader) {
    uint8_t out[wire::kLenFull];
    refusal.enqueue(out, wire::compose_header_only(out, wire::kMsgFull));
    refusal.flush();
    // Whatever the client already sent is read away first: closing a socket
    // with unread input resets the connection, which could destroy the 2A
    // before the client reads it.
    for (int i = 0; i < 4 && refusal.recv_some(refusal.compose_buffer(), net::kOutBufSize) > 0;
         ++i) {
    }
  }
  // Counted and logged before the close, which the client may see at once.
  lobby.refusals[reason].fetch_add(1, std::memory_order_relaxed);
  char address[net::kIpTextBytes];
  addr.format(address);
  report_refused(lobby.events, addr, reason, "refused %s: %s", address,
                 refusal_reason_text(reason));
  refusal.close_sockets();
}

int Admission::pick_displaced(int64_t now_ms, uint32_t* serial) const {
  const Lobby& lobby = lobby_;
  int oldest = kNone;
  int64_t oldest_ms = 0;
  for (int i = 0; i < lobby.served_slots() && i < kSlots; ++i) {
    const ClientSlot& client = lobby.slots[i];
    // The serial before the state, as for every request from this thread.
    const uint32_t this_serial = client.drop_request.serial();
    if (!client.is_open()) continue;
    if (client.login_accepted.load(std::memory_order_acquire)) continue;
    const int64_t placed = client.placed_ms.load(std::memory_order_relaxed);
    if (now_ms - placed < kDisplaceAfterMs) continue;
    if (oldest == kNone || placed < oldest_ms) {
      oldest = i;
      oldest_ms = placed;
      *serial = this_serial;
    }
  }
  return oldest;
}

bool Admission::lost_lurker_lately(uint64_t key, int64_t now_ms, int64_t lurk_ms) const {
  bool room = false;
  for (const LostLurker& lost : lost_lurkers_) {
    const bool limits = lost.key != 0 && now_ms - lost.at_ms < lurk_ms;
    if (limits && lost.key == key) return true;
    room = room || !limits;
  }
  // Every place holds an address that lost a lurker lately: one that is not
  // among them cannot be told from them.
  return !room;
}

void Admission::note_lurker_lost(uint64_t key, int64_t now_ms) {
  const int64_t lurk_ms =
      static_cast<int64_t>(lobby_.live.number<&config::Settings::L_LURK>()) * 1000;
  LostLurker* spare = nullptr;
  for (LostLurker& lost : lost_lurkers_) {
    if (lost.key == key) {
      lost.at_ms = now_ms;
      return;
    }
    if (spare == nullptr && (lost.key == 0 || now_ms - lost.at_ms >= lurk_ms)) spare = &lost;
  }
  if (spare != nullptr) *spare = {key, now_ms};
}

int Admission::pick_lurker(int64_t now_ms, uint32_t* serial) {
  Lobby& lobby = lobby_;
  const int64_t lurk_ms =
      static_cast<int64_t>(lobby.live.number<&config::Settings::L_LURK>()) * 1000;
  const int served = lobby.served_slots() < kSlots ? lobby.served_slots() : kSlots;
  // Every logged-in client outside a room that has lurked kLurkFloorMs.
  struct Lurker {
    int slot;
    uint32_t serial;
    int64_t since;
    uint64_t address;
    uint64_t network;
  };
  Lurker lurkers[kSlots];
  int count = 0;
  {
    // A user's room changes only under lock_rooms; one whose record names a
    // room (even one freed under it, or the room of its game) is never taken.
    platform::MutexLock guard(lobby.lock_rooms);
    for (int i = 0; i < served; ++i) {
      const ClientSlot& client = lobby.slots[i];
      const uint32_t this_serial = client.drop_request.serial();
      if (!client.is_open()) continue;
      if (!client.login_accepted.load(std::memory_order_acquire)) continue;
      if (lobby.users[i].room != kNone) continue;
      const int64_t since = client.active_ms.load(std::memory_order_relaxed);
      if (now_ms - since < kLurkFloorMs) continue;
      const net::IpAddress addr = client.peer_address.load();
      lurkers[count++] = {i, this_serial, since, addr.address_key(), addr.network_key()};
    }
  }
  int best = kNone;
  int best_net = 0;
  int64_t best_since = 0;
  for (int a = 0; a < count; ++a) {
    const Lurker& lurker = lurkers[a];
    int of_address = 0;
    int of_network = 0;
    for (int b = 0; b < count; ++b) {
      of_address += lurkers[b].address == lurker.address ? 1 : 0;
      of_network += lurkers[b].network == lurker.network ? 1 : 0;
    }
    const int k = of_address > of_network ? of_address : of_network;
    const int64_t due_ms = lurk_ms / k > kLurkFloorMs ? lurk_ms / k : kLurkFloorMs;
    // Once due, due until it acts: the crowd that made it due thins as its
    // lurkers give way, which must not make the rest due later again.
    LurkDue& latch = lurk_due_[lurker.slot];
    const bool latched = latch.serial == lurker.serial && latch.since == lurker.since;
    if (!latched && now_ms - lurker.since < due_ms) continue;
    latch = {lurker.serial, lurker.since};
    const int on_network = open_with_key(lobby, lurker.network, &net::IpAddress::network_key);
    if (best == kNone || on_network > best_net ||
        (on_network == best_net && lurker.since < best_since)) {
      best = lurker.slot;
      best_net = on_network;
      best_since = lurker.since;
      *serial = lurker.serial;
    }
  }
  return best;
}

bool Admission::in_good_standing(const ClientSlot& client, int32_t room, int64_t now_ms) const {
  if (!client.login_accepted.load(std::memory_order_acquire)) return false;
  if (client.flood.held()) return false;
  if (room != kNone) return true;
  return now_ms - client.last_message_ms.load(std::memory_order_relaxed) <= kIdleLimitMs;
}

void Admission::apply_auto_bans() {
  Lobby& lobby = lobby_;
  DueBan due;
  while (lobby.auto_bans.take_due(&due)) {
    const int64_t now = clock_.now_ms();
    const int32_t seconds = lobby.live.number<&config::Settings::L_AUTOBAN_S>();
    const int64_t now_utc_s = lobby.deny_list.now_utc_s();
    net::IpPrefix banned;
    lobby.auto_ban_table.add(due.addr, due.strikes, due.shared, now, now_utc_s, seconds, &banned);
    char address[net::kIpPrefixTextBytes];
    banned.format(address);
    char detail[kDropCountsBytes + 160];
    format_auto_ban_reason(due.strikes, 1, due.shared, detail, sizeof detail);
    if (banned.bits != due.addr.key_bits()) {
      char from[net::kIpTextBytes];
      due.addr.format(from);
      const size_t used = std::strlen(detail);
      std::snprintf(detail + used, sizeof detail - used,
                    "; the table of automatic bans is full: the network of %s is banned", from);
    }
    // Its connections go, but for the players in good standing: a neighbour
    // behind the same address (a home or a carrier's NAT) who plays on.
    int32_t rooms[kSlots];
    {
      platform::MutexLock guard(lobby.lock_rooms);
      for (int i = 0; i < kSlots; ++i) rooms[i] = lobby.users[i].room;
    }
    int closed = 0;
    int kept = 0;
    for (int i = 0; i < kSlots; ++i) {
      ClientSlot& client = lobby.slots[i];
      const uint32_t this_serial = client.drop_request.serial();
      if (!client.is_open()) continue;
      if (!banned.contains(client.peer_address.load())) continue;
      if (in_good_standing(client, rooms[i], now)) {
        ++kept;
        continue;
      }
      request_drop(lobby, i, this_serial, kDropBanned);
      ++closed;
    }
    char until[config::kUntilTextBytes];
    config::format_until(now_utc_s + seconds, until);
    char kept_text[64] = "";
    if (kept > 0) {
      std::snprintf(kept_text, sizeof kept_text, "; %d logged in and in good standing kept", kept);
    }
    report_banned(lobby.events, due.addr, "automatic ban %s until %s: %s; %d connections closed%s",
                  address, until, detail, closed, kept_text);
  }
}

void Admission::serve_held() {
  if (held_.socket < 0) return;
  Lobby& lobby = lobby_;
  // Before the look at the slots: a drop after it wakes this thread.
  lobby.await_drops(true);
  int slot = held_.slot;
  if (lobby.slots[slot].is_open()) {
    slot = find_free_slot(lobby);
  }
  if (slot != kNone) {
    // Its time of placement is now, not when it arrived.
    held_.peer.placed_ms = clock_.now_ms();
    place(slot, held_.socket, held_.peer);
  } else if (clock_.now_ms() >= held_.deadline_ms) {
    refuse(held_.socket, kRefusedFull, held_.peer.addr);
  } else {
    return;
  }
  held_.socket = -1;
  lobby.await_drops(false);
}

void Admission::close_held() {
  if (held_.socket < 0) return;
  net::close_fd(held_.socket);
  held_.socket = -1;
}

}  // namespace lobby
