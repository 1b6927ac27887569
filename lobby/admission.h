// Admission: what becomes of each new connection, and the automatic bans.
// The accept thread hands every accepted connection to place_or_refuse
// with its client's address, which decides, in this order:
//
//  1. Automatic bans that came due are put in force first (apply_auto_bans),
//     so that a ban earned before the connection arrived applies to it.
//  2. An address the deny list or an automatic ban (BanTable) covers is
//     closed without a byte: "denied".
//  3. An address past its L_CONN_RATE is closed without a byte:
//     "connecting too fast". Every connection counts toward the rate,
//     whatever becomes of it; one refused for its pace takes nothing.
//  4. A draining lobby answers 2A: "draining".
//  5. An address with L_PER_IP open connections, or a network with
//     L_PER_NET, answers 2A: "per-address limit", "per-network limit".
//  6. The lowest free served slot takes it (place).
//  7. With every slot taken, a connection gives way to it: the one that has
//     gone longest without an accepted login, once kDisplaceAfterMs old
//     (none with L_LOGIN_WAIT 0); failing that a lurker (pick_lurker; none
//     with L_LURK 0, nor for an address that lost a lurker within L_LURK).
//     A lurker is due after L_LURK divided by the lurkers of its address or
//     of its network, whichever are more, and never before kLurkFloorMs.
//     The newcomer is held until that slot is free (serve_held), at most
//     kDisplaceHoldMs, while later connections wait in the listen queue.
//  8. With nobody to give way, a slot about to come free (pick_closing):
//     one whose client has closed its end, which its worker is asked to
//     drop now, or whose drop is under way. The newcomer is held for it,
//     kReclaimWaitMs at most: a player who reconnects at once is not
//     turned away while his own last connection still has its slot.
//  9. Else 2A: "full".
//
// Every per-address count is by IpAddress::address_key (an IPv4 address,
// an IPv6 /64), every per-network one by network_key (an IPv4 /24, an IPv6
// /48). Refusals are counted and logged by reason.
//
// Accept thread only; owned by the Server.
#ifndef LOBBY_ADMISSION_H_
#define LOBBY_ADMISSION_H_

#include <array>
#include <cstdint>
#include <memory>

#include "lobby/clock.h"
#include "lobby/connection_rate.h"
#include "lobby/lobby_state.h"
#include "net/ip_address.h"
#include "net/proxy_header.h"

namespace lobby {

class Admission {
 public:
  // `lobby` and `clock` must outlive it.
  Admission(Lobby& lobby, Clock& clock);
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;

  // Places the connection on `socket`, whose client is `addr`:`port`, or
  // refuses it, or holds it for a displaced connection's slot (see above).
  // The socket is the lobby's from then on.
  void place_or_refuse(int socket, const net::IpAddress& addr, int32_t port);
  // The same for a connection a trusted proxy carries: `client` names the
  // client, its first bytes and whether its address is the proxy's own.
  // The first bytes are copied when the connection is held.
  void place_or_refuse(int socket, const PeerInfo& client);
  // Places the held newcomer once a slot is free, or refuses it once its
  // wait has run out.
  void serve_held();
  // Whether a newcomer is held: the accept thread then leaves later
  // connections in the listen queue.
  bool holding() const { return held_.socket >= 0; }
  // The clock time at which the held newcomer's wait ends; -1 when none is
  // held.
  int64_t held_deadline_ms() const { return holding() ? held_.deadline_ms : -1; }
  // Closes the held newcomer's socket, if any: the accept thread ends.
  void close_held();
  // Puts every automatic ban that has come due in force, closes the banned
  // address's connections that are not in good standing (in_good_standing)
  // and logs it.
  void apply_auto_bans();
  // Ends a connection that gets no slot, counted and logged by `reason`:
  // 2A before the close, except for a denied address, one connecting too
  // fast and a bad proxy header.
  void refuse(int socket, int reason, const net::IpAddress& addr);

 private:
  // The state image carries the held newcomer, the connection rate and the
  // lost lurkers across a hand-over.
  friend struct ImageAccess;

  void place(int slot, int socket, const PeerInfo& peer);
  // The open slot whose connection has gone longest without an accepted
  // login, if it has been open kDisplaceAfterMs; -1 for none. `*serial`:
  // its connection's serial, read before it was looked at.
  int pick_displaced(int64_t now_ms, uint32_t* serial) const;
  // A lurker that is due: a logged-in client outside every room whose last
  // room operation, chat line or direct message lies further back than
  // L_LURK divided by k, where k is the number of lurkers (of at least
  // kLurkFloorMs) of its address or, when more, of its network; never less
  // than kLurkFloorMs. A lone lurker keeps the whole L_LURK; a crowd of
  // them from one address or network gives way sooner. A lurker found due
  // stays due until it acts. Of several due, the one whose network holds
  // the most slots, then the one that has lurked longest; -1 for none.
  // Takes lock_rooms.
  int pick_lurker(int64_t now_ms, uint32_t* serial);
  // Whether the client of `slot` (an open one whose serial was read) keeps
  // its connection through an automatic ban of its address: it has an
  // accepted login, is not held back for flooding, and sent a whole message
  // within the last kIdleLimitMs or sits in a room. `room`: its room, read
  // under lock_rooms.
  bool in_good_standing(const ClientSlot& client, int32_t room, int64_t now_ms) const;
  // True when a lurker of the address of `key` (an address_key) gave way to
  // a newcomer less than `lurk_ms` ago. Such an address does not displace a
  // lurker in turn: one that reconnected each lurker it lost would
  // otherwise trade, one by one, every lurker that had waited long enough
  // for one that has not, and lock the next newcomers out for another
  // L_LURK.
  bool lost_lurker_lately(uint64_t key, int64_t now_ms, int64_t lurk_ms) const;
  void note_lurker_lost(uint64_t key, int64_t now_ms);
  // A slot that will be free in a moment: a drop has been asked of it, its
  // worker is closing it, or its client has closed its end (`*closed` then;
  // its worker has not yet dropped it). -1 for none. `*serial`: as for
  // pick_displaced. `newcomer` is the socket to be placed.
  int pick_closing(int newcomer, uint32_t* serial, bool* closed) const;
  // Holds the newcomer for `slot`, until `deadline_ms` at most.
  void hold(int socket, const PeerInfo& peer, int slot, int64_t deadline_ms);

  Lobby& lobby_;
  Clock& clock_;
  // Carries 2A to a connection that gets no slot.
  std::unique_ptr<ClientSlot> refusal_;
  // Each address's pace of new connections.
  std::unique_ptr<ConnectionRate> connection_rate_;
  // The addresses whose lurkers gave way within L_LURK. Only an entry that
  // limits nothing (older than L_LURK) gives its place to another address.
  // A slot gives way as a lurker at most once a kLurkFloorMs, so no lobby
  // can fill the table; were it full all the same, every address not in it
  // would be held as one that lost a lurker lately, never let off.
  struct LostLurker {
    uint64_t key = 0;  // an address_key; 0 for a free place
    int64_t at_ms = 0;
  };
  static constexpr int kLostLurkers = 4096;
  static_assert(kLostLurkers >= kSlots * (config::kLurkMax / config::kLurkMin),
                "the lost lurkers of a whole L_LURK must fit");
  std::array<LostLurker, kLostLurkers> lost_lurkers_{};

  // The lurkers found due, by slot: the connection (its serial) and the
  // start of its lurk then. A new connection, or activity, starts afresh.
  struct LurkDue {
    uint32_t serial = 0;
    int64_t since = -1;
  };
  std::array<LurkDue, kSlots> lurk_due_{};

  // A newcomer that displaced a connection and waits for its slot.
  struct HeldNewcomer {
    int socket = -1;  // -1: none held
    int slot = kNone;
    int64_t deadline_ms = 0;
    PeerInfo peer;
    // The copy of peer's first bytes, which peer then points at.
    uint8_t first_bytes[net::kProxyHeaderMaxBytes];
  };
  HeldNewcomer held_;
};

}  // namespace lobby

#endif  // LOBBY_ADMISSION_H_
