#include "lobby/offline_lobby.h"

#include "lobby/dispatcher.h"
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
  return slot;
}

bool OfflineLobby::is_open(int slot) const {
  return lobby_->slots[slot].state.load() != net::kStateClosed;
}

int OfflineLobby::feed(int slot, const std::string& bytes) {
  return lobby_->slots[slot].append_received(reinterpret_cast<const uint8_t*>(bytes.data()),
                                             static_cast<int>(bytes.size()));
}

bool OfflineLobby::pass(int slot) {
  if (!is_open(slot)) return false;
  ClientSlot& client = lobby_->slots[slot];
  if (take_drop_request(*lobby_, client)) return false;
  return !run_pass(*lobby_, client, now_ms_);
}

void OfflineLobby::disconnect(int slot) {
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

void OfflineLobby::tick() { tick_idle(*lobby_); }

}  // namespace lobby
