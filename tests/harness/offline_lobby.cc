#include "tests/harness/offline_lobby.h"

#include <algorithm>

#include "lobby/dispatcher.h"
#include "lobby/flood_pacing.h"
#include "lobby/server.h"

namespace lobby {

OfflineLobby::OfflineLobby(const config::Settings& settings, LobbyEvents* events)
    : lobby_(new Lobby(settings, events)) {}

int OfflineLobby::connect() {
  int slot = find_free_slot(*lobby_);
  if (slot == kNone) return kNone;
  PeerInfo peer;
  peer.placed_ms = now_ms_;
  place_client(*lobby_, lobby_->slots[slot], -1, peer);
  unread_[slot].clear();
  return slot;
}

bool OfflineLobby::is_open(int slot) const {
  return lobby_->slots[slot].state.load() != net::kStateClosed;
}

int OfflineLobby::feed(int slot, const std::string& bytes) {
  if (held_back(lobby_->slots[slot]) || !unread_[slot].empty()) {
    unread_[slot] += bytes;
    return static_cast<int>(bytes.size());
  }
  return lobby_->slots[slot].append_received(reinterpret_cast<const uint8_t*>(bytes.data()),
                                             static_cast<int>(bytes.size()));
}

void OfflineLobby::receive_waiting(int slot) {
  std::string& unread = unread_[slot];
  ClientSlot& client = lobby_->slots[slot];
  const size_t n = std::min<size_t>({unread.size(), static_cast<size_t>(net::kRecvChunk),
                                     static_cast<size_t>(net::kRecvRingSize - client.recv_count)});
  const int taken =
      client.append_received(reinterpret_cast<const uint8_t*>(unread.data()), static_cast<int>(n));
  unread.erase(0, static_cast<size_t>(taken));
}

bool OfflineLobby::run(int slot) {
  if (!run_pass(*lobby_, lobby_->slots[slot], now_ms_)) return true;
  unread_[slot].clear();
  return false;
}

bool OfflineLobby::pass(int slot) {
  if (!is_open(slot)) return false;
  ClientSlot& client = lobby_->slots[slot];
  if (take_drop_request(*lobby_, client)) {
    unread_[slot].clear();
    return false;
  }
  if (!held_back(client)) receive_waiting(slot);
  if (!run(slot)) return false;
  // As serve_client: a hold goes on while input waits unread.
  if (!hold_paused(client)) return true;
  if (unread_[slot].empty()) {
    end_hold(client);
    return true;
  }
  receive_waiting(slot);
  if (!run(slot)) return false;
  if (hold_paused(client)) end_hold(client);
  return true;
}

void OfflineLobby::disconnect(int slot) {
  unread_[slot].clear();
  if (!is_open(slot)) return;
  leave_and_drop(*lobby_, lobby_->slots[slot], kDropPeerClosed);
}

std::string OfflineLobby::take_output(int slot) {
  ClientSlot& client = lobby_->slots[slot];
  std::lock_guard<std::mutex> guard(client.send_lock);
  std::string out;
  while (client.send_count > 0) {
    const auto& message = client.send_slot[client.send_read];
    out.append(reinterpret_cast<const char*>(message.data()),
               static_cast<size_t>(client.send_len[client.send_read]));
    client.send_read = (client.send_read + 1) & net::kSendSlotMask;
    client.send_count -= 1;
  }
  return out;
}

void OfflineLobby::tick() { now_ms_ += 1000; }

}  // namespace lobby
