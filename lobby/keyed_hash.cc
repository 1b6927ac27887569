#include "lobby/keyed_hash.h"

#include <random>

namespace lobby {
namespace {

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  // One 8-byte word of the message, two rounds.
  void absorb(uint64_t m) {
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
};

}  // namespace

KeyedHash::KeyedHash() {
  std::random_device source;
  auto word = [&source] {
    return static_cast<uint64_t>(source()) << 32 | static_cast<uint64_t>(source());
  };
  k0_ = word();
  k1_ = word();
}

uint64_t KeyedHash::operator()(uint64_t word) const {
  SipState s{k0_ ^ 0x736f6d6570736575ULL, k1_ ^ 0x646f72616e646f6dULL, k0_ ^ 0x6c7967656e657261ULL,
             k1_ ^ 0x7465646279746573ULL};
  // The message is the word's 8 bytes, little-endian, then the final block:
  // the length (8) in its top byte.
  s.absorb(word);
  s.absorb(uint64_t{8} << 56);
  s.v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace lobby
