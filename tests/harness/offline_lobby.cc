#include "tests/harness/offline_lobby.h"

#include <cstring>

#include "lobby/dispatcher.h"
#include "lobby/server.h"
#include "net/socket_ops.h"

namespace lobby {

void MemoryTransport::open(int socket) { pipes_[socket] = Pipe(); }

void MemoryTransport::send_from_client(int socket, const std::string& bytes) {
  pipes_[socket].unread += bytes;
}

void MemoryTransport::close_from_client(int socket) { pipes_[socket].client_closed = true; }

int MemoryTransport::recv(int socket, uint8_t* buffer, int size) {
  if (socket < 0 || socket >= kSlots) return net::kIoError;
  Pipe& pipe = pipes_[socket];
  if (pipe.unread.empty()) return pipe.client_closed ? 0 : net::kIoWouldBlock;
  const size_t n = pipe.unread.size() < static_cast<size_t>(size) ? pipe.unread.size()
                                                                  : static_cast<size_t>(size);
  std::memcpy(buffer, pipe.unread.data(), n);
  pipe.unread.erase(0, n);
  return static_cast<int>(n);
}

int MemoryTransport::sendv(int socket, const net::IoSlice* /*slices*/, int /*count*/) {
  if (socket < 0 || socket >= kSlots) return net::kIoError;
  return net::kIoWouldBlock;
}

void MemoryTransport::close(int socket) {
  if (socket >= 0 && socket < kSlots) pipes_[socket] = Pipe();
}

OfflineLobby::OfflineLobby(const config::Settings& settings, LobbyEvents* events)
    : lobby_(new Lobby(settings, events, &transport_)) {}

int OfflineLobby::connect() {
  int slot = find_free_slot(*lobby_);
  if (slot == kNone) return kNone;
  PeerInfo peer;
  peer.placed_ms = now_ms_;
  transport_.open(slot);
  place_client(*lobby_, lobby_->slots[slot], slot, peer);
  return slot;
}

bool OfflineLobby::is_open(int slot) const { return lobby_->slots[slot].is_open(); }

void OfflineLobby::feed(int slot, const std::string& bytes) {
  transport_.send_from_client(slot, bytes);
}

bool OfflineLobby::pass(int slot) {
  if (!is_open(slot)) return false;
  ClientSlot& client = lobby_->slots[slot];
  // The worker's readiness wait leaves the socket of a held client out.
  serve_client(*lobby_, client, !client.input_held(), now_ms_);
  ClientSlot* served = &client;
  if (client.is_open()) flush_clients(&served, 1);
  return is_open(slot);
}

void OfflineLobby::disconnect(int slot) {
  if (!is_open(slot)) return;
  transport_.close_from_client(slot);
  pass(slot);
}

std::string OfflineLobby::take_output(int slot) {
  ClientSlot& client = lobby_->slots[slot];
  std::string out;
  uint8_t message[net::kSendSlotBytes];
  for (int n = client.take_unsent(message); n > 0; n = client.take_unsent(message)) {
    out.append(reinterpret_cast<const char*>(message), static_cast<size_t>(n));
  }
  return out;
}

void OfflineLobby::tick() { now_ms_ += 1000; }

}  // namespace lobby
