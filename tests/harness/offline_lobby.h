// A lobby driven without sockets or threads: bytes are written straight into
// a slot's receive ring, a pass runs the handlers and the pump, and what the
// pass queued is read back from the slot's send queue. For tests and
// fuzzing; one thread only.
#ifndef TESTS_HARNESS_OFFLINE_LOBBY_H_
#define TESTS_HARNESS_OFFLINE_LOBBY_H_

#include <cstdint>
#include <memory>
#include <string>

#include "config/settings.h"
#include "lobby/lobby_state.h"

namespace lobby {

class OfflineLobby {
 public:
  // `events` may be null; it must outlive the lobby.
  explicit OfflineLobby(const config::Settings& settings, LobbyEvents* events = nullptr);

  // Places a connection in the lowest free served slot; the slot, or -1.
  int connect();
  bool is_open(int slot) const;
  // Appends bytes as one receive would; returns how many fit in the ring.
  // While flood pacing holds the client back, or input from before still
  // waits unread, the bytes wait behind it as in the kernel (all are taken).
  int feed(int slot, const std::string& bytes);
  // One pass as a worker makes it: input that waited unread is received
  // first unless the client is held back, then the handlers as far as
  // flood pacing lets them, pump, drops. False once the client was dropped
  // (or the slot is free).
  bool pass(int slot);
  // The peer closed: the pass drops the client.
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
  // Moves what waits unread into the ring, as far as one receive takes.
  void receive_waiting(int slot);
  // A pass after the receive; false once the client was dropped.
  bool run(int slot);

  std::unique_ptr<Lobby> lobby_;
  int64_t now_ms_ = 0;
  std::string unread_[kSlots];  // sent by the client, not yet received
};

}  // namespace lobby

#endif  // TESTS_HARNESS_OFFLINE_LOBBY_H_
