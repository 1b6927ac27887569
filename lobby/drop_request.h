// Why a client leaves the lobby, and the drop that another thread asks of a
// slot's worker: the accept thread (login deadline, displacement, a ban
// found at placement) and the admin channel (kick, ban). Only the slot's
// worker drops its client; a request waits for its next pass.
//
// The protocol, all of it under the request's own lock:
//   - The accept thread advances the slot's serial for each connection it
//     places, and a request names the serial of the connection it is meant
//     for. A request for a connection that has gone is void: ignored when
//     it is asked and when it is taken, so that it never hits a later
//     client placed in the same slot.
//   - The first request for a connection stands; asking again changes
//     nothing, with one exception: a request that a login cannot void (a
//     kick, a ban) replaces one that a login voids, which would otherwise
//     leave the connection with no request at all after its login.
//   - A login accepted before the worker takes the request voids "no login"
//     and "displaced": both are for connections that never logged in. A
//     lurker's displacement is the one exception: it is asked of a
//     connection that logged in long ago, and stands.
// The asker wakes the slot's worker itself; pending() tells the worker's
// wait that a request may be there.
#ifndef LOBBY_DROP_REQUEST_H_
#define LOBBY_DROP_REQUEST_H_

#include <atomic>
#include <cstdint>

#include "platform/annotated_mutex.h"

namespace lobby {

// Why a client left the lobby; counted and written to the event log.
enum DropReason : int {
  kNoDrop = -1,  // no request
  kDropPeerClosed = 0,
  kDropBadFraming,
  kDropIdle,
  kDropNotReading,
  kDropNoLogin,
  kDropDisplaced,
  kDropFlooding,
  kDropKicked,  // by the operator
  kDropBanned,  // by the operator's ban of its address
  kDropReasons,
};
const char* drop_reason_text(int reason);

// One per slot. Any thread, except as noted.
class DropRequest {
 public:
  DropRequest() = default;
  DropRequest(const DropRequest&) = delete;
  DropRequest& operator=(const DropRequest&) = delete;

  // Accept thread, while the slot is free: the connection about to be
  // placed gets the next serial, and any request left is void.
  void begin_connection();
  // The serial of the slot's current connection (its last one while the
  // slot is free). Read it before looking at the slot: if the slot changes
  // hands meanwhile, a request made with it is void.
  uint32_t serial() const { return serial_.load(std::memory_order_acquire); }
  // Asks for the drop of connection `serial` for `reason`, as the rules
  // above allow. `logged_in`: asked of a connection with an accepted login,
  // which a login then cannot void.
  void ask(uint32_t serial, int reason, bool logged_in = false);
  // A request may be waiting; take() decides.
  bool pending() const { return pending_.load(std::memory_order_acquire); }
  // A request for connection `serial` waits to be taken.
  bool waiting_for(uint32_t serial) const;
  // Worker thread of the slot: takes the request. The reason to drop the
  // connection for, or kNoDrop. `logged_in`: it has an accepted login.
  int take(bool logged_in);

 private:
  // The state image carries a request still waiting across a hand-over.
  friend struct ImageAccess;

  mutable platform::Mutex lock_;  // a leaf lock
  // Atomic: written under lock_, read without it by serial().
  std::atomic<uint32_t> serial_{0};
  int reason_ GUARDED_BY(lock_) = kNoDrop;   // for connection serial_
  bool voidable_ GUARDED_BY(lock_) = false;  // a login voids reason_
  // Atomic: reason_ != kNoDrop, written under lock_, read without it.
  std::atomic<bool> pending_{false};
};

}  // namespace lobby

#endif  // LOBBY_DROP_REQUEST_H_
