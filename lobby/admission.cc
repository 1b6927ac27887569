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
    if (client.state.load(std::memory_order_acquire) != net::kStateClosed &&
        (client.peer_address.load().*key_of)() == key) {
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
  if (lobby.deny_list.denies(addr)) {
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
  const int closing = pick_closing(&serial, &closed);
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

int Admission::pick_closing(uint32_t* serial, bool* closed) const {
  const Lobby& lobby = lobby_;
  for (int i = 0; i < lobby.served_slots() && i < kSlots; ++i) {
    const ClientSlot& client = lobby.slots[i];
    // The serial before the state, as for every request from this thread.
    const uint32_t this_serial = client.drop_request.serial();
    const bool open = client.state.load(std::memory_order_acquire) != net::kStateClosed;
    const int socket = client.open_socket.load(std::memory_order_acquire);
    *closed = open && socket >= 0 && client.transport->peer_shut(socket);
    // A slot freed since find_free_slot is as good.
    if (!open || *closed || client.drop_request.pending()) {
      *serial = this_serial;
      return i;
    }
  }
  return kNone;
}

void Admission::place(int slot, int socket, const PeerInfo& peer) {
  Lobby& lobby = lobby_;
  ClientSlot& client = lobby.slots[slot];
  // Logged before the slot opens to its worker, so that the client's own
  // lines (its login, say) always follow this one in the log.
  char address[net::kIpTextBytes];
  peer.addr.format(address);
  report_event(lobby.events, "accepted slot %d from %s", slot, address);
  place_client(lobby, client, socket, peer);
  // A ban that came after this connection was let in, but before the
  // operator's sweep of open connections could see it, is applied here:
  // the sweep reads the slots after writing the list, this reads the list
  // after opening the slot, so one of the two finds the other.
  if (lobby.deny_list.denies(peer.addr)) {
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
    for (int i = 0; i < 4 && refusal.recv_some(refusal.out_buf.data(), net::kOutBufSize) > 0; ++i) {
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
    if (client.state.load(std::memory_order_acquire) == net::kStateClosed) continue;
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
  for (const LostLurker& lost : lost_lurkers_) {
    if (lost.used && lost.key == key && now_ms - lost.at_ms < lurk_ms) return true;
  }
  return false;
}

void Admission::note_lurker_lost(uint64_t key, int64_t now_ms) {
  lost_lurkers_[next_lost_lurker_] = {key, now_ms, true};
  next_lost_lurker_ = (next_lost_lurker_ + 1) % kLostLurkers;
}

int Admission::pick_lurker(int64_t now_ms, uint32_t* serial) const {
  Lobby& lobby = lobby_;
  const int64_t lurk_ms =
      static_cast<int64_t>(lobby.live.number<&config::Settings::L_LURK>()) * 1000;
  const int served = lobby.served_slots() < kSlots ? lobby.served_slots() : kSlots;
  int best = kNone;
  int best_net = 0;
  int64_t best_since = 0;
  // A user's room changes only under lock_rooms; one whose record names a
  // room (even one freed under it, or the room of its game) is never taken.
  platform::MutexLock guard(lobby.lock_rooms);
  for (int i = 0; i < served; ++i) {
    const ClientSlot& client = lobby.slots[i];
    const uint32_t this_serial = client.drop_request.serial();
    if (client.state.load(std::memory_order_acquire) == net::kStateClosed) continue;
    if (!client.login_accepted.load(std::memory_order_acquire)) continue;
    if (lobby.users[i].room != kNone) continue;
    const int64_t since = client.active_ms.load(std::memory_order_relaxed);
    if (now_ms - since < lurk_ms) continue;
    const int on_network = open_with_key(lobby, client.peer_address.load().network_key(),
                                         &net::IpAddress::network_key);
    if (best == kNone || on_network > best_net || (on_network == best_net && since < best_since)) {
      best = i;
      best_net = on_network;
      best_since = since;
      *serial = this_serial;
    }
  }
  return best;
}

void Admission::apply_auto_bans() {
  Lobby& lobby = lobby_;
  DueBan due;
  while (lobby.auto_bans.take_due(&due)) {
    // An IPv4 address, or an IPv6 address's /64: what its strikes counted.
    config::DenyEntry entry;
    entry.prefix = net::IpPrefix::of(due.addr, due.addr.key_bits());
    char address[config::kDenyTextBytes];
    config::format_deny_entry(entry, address);
    // "flooding 3, no login 2": the reasons of the drops that earned it.
    char reasons[kDropCountsBytes] = "";
    int used = 0;
    for (int r = 0; r < kDropReasons && used < static_cast<int>(sizeof reasons); ++r) {
      if (due.strikes[r] == 0) continue;
      used += std::snprintf(reasons + used, sizeof reasons - static_cast<size_t>(used), "%s%s %d",
                            used == 0 ? "" : ", ", drop_reason_text(r), due.strikes[r]);
    }
    char detail[kDropCountsBytes + 64];
    int strikes = 0;
    for (int32_t count : due.strikes) strikes += count;
    std::snprintf(detail, sizeof detail, "dropped %d times in 10 minutes (%s)", strikes, reasons);
    // Its line keeps its own reason, "auto" as who banned, and since when.
    config::BanNote note;
    note.by = "auto";
    note.since_s = lobby.deny_list.now_utc_s();
    note.reason = detail;
    const std::string comment = config::format_ban_comment(note);
    entry.until_s = note.since_s + lobby.live.number<&config::Settings::L_AUTOBAN_S>();
    int error = 0;
    const int rc = lobby.deny_list.add(entry, &error, comment.c_str());
    if (rc != config::kDenyOk) {
      report_event(lobby.events, "automatic ban of %s failed: %s", address,
                   rc == config::kDenyFull ? "the deny list is full" : net::error_text(error));
      continue;
    }
    // Its connections still open go, as with the operator's ban.
    int closed = 0;
    for (int i = 0; i < kSlots; ++i) {
      ClientSlot& client = lobby.slots[i];
      const uint32_t this_serial = client.drop_request.serial();
      if (client.state.load(std::memory_order_acquire) == net::kStateClosed) continue;
      if (!entry.prefix.contains(client.peer_address.load())) continue;
      request_drop(lobby, i, this_serial, kDropBanned);
      ++closed;
    }
    char until[config::kUntilTextBytes];
    config::format_until(entry.until_s, until);
    report_event(lobby.events, "automatic ban %s until %s: %s; %d connections closed", address,
                 until, detail, closed);
  }
}

void Admission::serve_held() {
  if (held_.socket < 0) return;
  Lobby& lobby = lobby_;
  // Before the look at the slots: a drop after it wakes this thread.
  lobby.await_drops(true);
  int slot = held_.slot;
  if (lobby.slots[slot].state.load(std::memory_order_acquire) != net::kStateClosed) {
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
