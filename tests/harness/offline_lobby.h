// A lobby driven without sockets or threads, through the server's own
// serving loop: each slot's connection runs over an in-memory transport, a
// pass is serve_client as a worker makes it, and what the pass queued is
// read back from the slot's send queue. For tests and fuzzing; one thread
// per slot (a test may pass slots of different workers on different
// threads, as the server does).
#ifndef TESTS_HARNESS_OFFLINE_LOBBY_H_
#define TESTS_HARNESS_OFFLINE_LOBBY_H_

#include <cstdint>
#include <memory>
#include <string>

#include "config/settings.h"
#include "lobby/lobby_state.h"
#include "net/transport.h"

namespace lobby {

// The kernel's side of each slot's socket, in memory: what the client sent
// and the server has not read yet, and whether the client has closed its
// end. The client reads only when a test takes a slot's output, so a send
// is never taken and messages stay in the send queue until then. Socket
// numbers are slot numbers.
class MemoryTransport : public net::Transport {
 public:
  // A new connection on socket `socket`: nothing sent, nothing closed.
  void open(int socket);
  // The client sends `bytes`, or closes its end.
  void send_from_client(int socket, const std::string& bytes);
  void close_from_client(int socket);

  int recv(int socket, uint8_t* buffer, int size) override;
  int sendv(int socket, const net::IoSlice* slices, int count) override;
  void close(int socket) override;

 private:
  struct Pipe {
    std::string unread;  // sent by the client, not yet received
    bool client_closed = false;
  };
  Pipe pipes_[kSlots];
};

class OfflineLobby {
 public:
  // `events` may be null; it must outlive the lobby.
  explicit OfflineLobby(const config::Settings& settings, LobbyEvents* events = nullptr);

  // Places a connection in the lowest free served slot; the slot, or -1.
  int connect();
  bool is_open(int slot) const;
  // The client sends `bytes`: they wait in the kernel until a pass
  // receives them, at most one receive's worth a pass.
  void feed(int slot, const std::string& bytes);
  // One pass of serve_client, as the slot's worker makes it: its socket is
  // read unless flood pacing holds the client back. False once the client
  // was dropped (or the slot is free).
  bool pass(int slot);
  // The client closes its end, and the slot has one pass: the client is
  // dropped once everything it sent before has been received.
  void disconnect(int slot);
  // Takes every message queued for the slot, oldest first, concatenated.
  std::string take_output(int slot);
  // One second passes.
  void tick();
  // The time (clock milliseconds) that placements and passes see, for flood
  // pacing. Starts at 0 and moves only when set.
  void set_time_ms(int64_t now_ms) { now_ms_ = now_ms; }
  int64_t time_ms() const { return now_ms_; }

  Lobby& lobby() { return *lobby_; }

 private:
  MemoryTransport transport_;
  std::unique_ptr<Lobby> lobby_;
  int64_t now_ms_ = 0;
};

}  // namespace lobby

#endif  // TESTS_HARNESS_OFFLINE_LOBBY_H_
