// A client's address as a plain value: IPv4 or IPv6, its text in the
// standard forms, prefixes, and the keys by which the per-address
// protections count. No system call and no allocation; any thread (a value
// is not shared, AtomicIpAddress is the shared form).
//
// Text: IPv4 dotted ("203.0.113.9"); IPv6 lower case, the longest run of two
// or more zero groups written "::" (the leftmost of equal runs), no leading
// zeros in a group ("2001:db8::1"). An IPv4-mapped IPv6 address
// (::ffff:a.b.c.d) is the IPv4 address a.b.c.d everywhere: a dual-stack
// socket or a proxy that writes one means the IPv4 client.
#ifndef NET_IP_ADDRESS_H_
#define NET_IP_ADDRESS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace net {

// "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff" and its zero; IPv4 is shorter.
constexpr int kIpTextBytes = 40;
// The same with "/128".
constexpr int kIpPrefixTextBytes = kIpTextBytes + 4;
// "[" address "]:65535".
constexpr int kIpPortTextBytes = kIpTextBytes + 8;

enum class IpFamily : uint8_t { kV4 = 4, kV6 = 6 };

class IpAddress {
 public:
  static constexpr int kBytes = 16;
  static constexpr int kV4Bits = 32;
  static constexpr int kV6Bits = 128;
  // Set in every IPv6 key and in no IPv4 key (those are the 32-bit address
  // itself), so that the two families never share a key.
  static constexpr uint64_t kV6KeyTag = uint64_t{1} << 63;

  // 0.0.0.0.
  constexpr IpAddress() = default;
  // An IPv4 address in host order (203.0.113.9 is 0xCB007109).
  static IpAddress from_v4(uint32_t host_order);
  // 16 bytes in network order; ::ffff:a.b.c.d gives the IPv4 a.b.c.d.
  static IpAddress from_bytes(const uint8_t bytes[kBytes]);

  IpFamily family() const { return family_; }
  bool is_v4() const { return family_ == IpFamily::kV4; }
  // The IPv4 address in host order; 0 for IPv6.
  uint32_t v4_value() const;
  // The 16 bytes in network order; IPv4 as ::ffff:a.b.c.d.
  const uint8_t* bytes() const { return bytes_; }
  // 32 or 128.
  int bits() const { return is_v4() ? kV4Bits : kV6Bits; }
  // The address with every bit after the first `prefix_bits` cleared;
  // `prefix_bits` is bounded to 0..bits().
  IpAddress masked(int prefix_bits) const;

  // The key of the per-address mechanisms (L_PER_IP, L_CONN_RATE,
  // L_CHAT_RATE, automatic bans, ...): an IPv4 address itself; for IPv6 its
  // /64, which one host or home network is given, so that an address per
  // connection buys nothing. Distinct IPv4 addresses give distinct keys.
  // An IPv6 key is the /64's 64 bits with kV6KeyTag set over the first of
  // them: two /64s that differ in their first bit alone share a key, and of
  // each such pair at most one lies in an assigned block (the upper half,
  // 8000::/1, holds only fc00::/7, fe80::/10, fec0::/10 and ff00::/8, whose
  // twins in 0000::/1 are reserved), so distinct /64s of real clients give
  // distinct keys.
  uint64_t address_key() const;
  // The prefix that address_key stands for: 32 or 64 bits.
  int key_bits() const { return is_v4() ? kV4Bits : 64; }
  // The key of the per-network mechanisms (L_PER_NET, the lurker rule's
  // order): an IPv4 /24, an IPv6 /48 (a site's prefix). The /48's 48 bits
  // with kV6KeyTag: distinct for every /48 and every IPv4 /24.
  uint64_t network_key() const;
  // The prefix that network_key stands for: 24 or 48 bits.
  int network_bits() const { return is_v4() ? 24 : 48; }

  // The standard text; returns its length.
  int format(char out[kIpTextBytes]) const;
  // "203.0.113.9:40000", "[2001:db8::1]:40000"; returns its length.
  int format_with_port(int port, char out[kIpPortTextBytes]) const;

  bool operator==(const IpAddress& other) const = default;

 private:
  // IPv4 as ::ffff:a.b.c.d, so that equal addresses have equal bytes.
  uint8_t bytes_[kBytes] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
  IpFamily family_ = IpFamily::kV4;
};

// An address and the number of its leading bits that count; the bits after
// them are clear.
struct IpPrefix {
  IpAddress address;
  int bits = IpAddress::kV4Bits;

  // `address` cut to `bits` (bounded to its family's width).
  static IpPrefix of(const IpAddress& address, int bits);
  // Whether `other` is of the same family and starts with the prefix. An
  // IPv6 prefix holds no IPv4 address, not even ::/0.
  bool contains(const IpAddress& other) const;
  // The address alone for a whole address, else "address/bits"; returns
  // its length.
  int format(char out[kIpPrefixTextBytes]) const;

  bool operator==(const IpPrefix& other) const = default;
};

// Parses an address in either family's text (IPv6 also with a dotted IPv4
// ending, "64:ff9b::192.0.2.1"); the whole of `text` must be one. 0, or -1.
// The first form reads `length` bytes, which need no terminating zero.
int parse_ip_address(const char* text, size_t length, IpAddress* out);
int parse_ip_address(const char* text, IpAddress* out);
// Parses an address with an optional "/BITS" (0..32 after IPv4 text,
// 0..128 after IPv6 text); the bits after the prefix are cleared. A prefix
// of an IPv4-mapped address at least 96 bits long is the IPv4 prefix of 96
// bits fewer. 0, or -1.
int parse_ip_prefix(const char* text, IpPrefix* out);

// An address that one thread writes while others may read it: a sequence
// lock over atomic words, so that a reader gets a whole address (one that
// was stored), never half of one and half of the next, and no access is a
// data race. One writer at a time; a reader retries while a write is under
// way (four stores), so it never waits for long. Any thread.
class AtomicIpAddress {
 public:
  AtomicIpAddress() { store(IpAddress()); }
  AtomicIpAddress(const AtomicIpAddress&) = delete;
  AtomicIpAddress& operator=(const AtomicIpAddress&) = delete;

  void store(const IpAddress& address);
  IpAddress load() const;

 private:
  // Odd while a write is under way.
  std::atomic<uint32_t> sequence_{0};
  // The 16 bytes, big-endian in two words.
  std::atomic<uint64_t> high_{0};
  std::atomic<uint64_t> low_{0};
};

}  // namespace net

#endif  // NET_IP_ADDRESS_H_
