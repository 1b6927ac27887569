// A keyed hash of 64-bit keys (SipHash-2-4 of one word), for the tables
// that place clients' addresses: with a key drawn at random for each table,
// an attacker who picks addresses cannot pick ones that land on the same
// place, as anyone can for an unkeyed multiplicative hash.
//
// A value: const after construction, so any thread.
#ifndef LOBBY_KEYED_HASH_H_
#define LOBBY_KEYED_HASH_H_

#include <cstdint>

namespace lobby {

class KeyedHash {
 public:
  // A key drawn from the system's random source.
  KeyedHash();
  // A given key (tests, and the reference values).
  KeyedHash(uint64_t k0, uint64_t k1) : k0_(k0), k1_(k1) {}

  uint64_t operator()(uint64_t word) const;

 private:
  // The state image carries the key, and with it the table's places.
  friend struct ImageAccess;
  uint64_t k0_;
  uint64_t k1_;
};

}  // namespace lobby

#endif  // LOBBY_KEYED_HASH_H_
