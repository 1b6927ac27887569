#include "net/ip_address.h"

#include <cstdio>
#include <cstring>
#include <thread>

namespace net {
namespace {

constexpr int kV4MappedOffset = 12;  // where a.b.c.d sits in ::ffff:a.b.c.d
constexpr int kGroups = 8;           // 16-bit groups of an IPv6 address

bool is_mapped(const uint8_t bytes[IpAddress::kBytes]) {
  for (int i = 0; i < 10; ++i) {
    if (bytes[i] != 0) return false;
  }
  return bytes[10] == 0xff && bytes[11] == 0xff;
}

uint64_t load_be64(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | p[i];
  return value;
}

void store_be64(uint64_t value, uint8_t* p) {
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A decimal number of 1 to 3 digits, at most `max`; the position after it,
// or null.
const char* scan_decimal(const char* p, const char* end, uint32_t max, uint32_t* out) {
  if (p == end || !is_digit(*p)) return nullptr;
  uint32_t value = 0;
  int digits = 0;
  while (p != end && is_digit(*p)) {
    value = value * 10u + static_cast<uint32_t>(*p++ - '0');
    if (++digits > 3 || value > max) return nullptr;
  }
  *out = value;
  return p;
}

// "a.b.c.d", each part 0..255, up to `end`; the position after it, or null.
const char* scan_dotted(const char* p, const char* end, uint32_t* out) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && (p == end || *p++ != '.')) return nullptr;
    uint32_t part;
    p = scan_decimal(p, end, 255, &part);
    if (p == nullptr) return nullptr;
    value = value << 8 | part;
  }
  *out = value;
  return p;
}

// IPv6 text into its 16 bytes: groups of 1 to 4 hex digits, at most one
// "::" for one or more zero groups, and optionally a dotted IPv4 address
// for the last two groups. The whole of [p, end) must be one address.
bool scan_v6(const char* p, const char* end, uint8_t out[IpAddress::kBytes]) {
  uint16_t groups[kGroups] = {};
  int count = 0;
  int gap = -1;  // groups before the "::", -1 without one
  if (end - p >= 2 && p[0] == ':' && p[1] == ':') {
    gap = 0;
    p += 2;
  }
  while (p != end) {
    const char* start = p;
    uint32_t value = 0;
    int digits = 0;
    while (p != end && hex_value(*p) >= 0 && digits < 5) {
      value = value << 4 | static_cast<uint32_t>(hex_value(*p++));
      ++digits;
    }
    if (p != end && *p == '.') {
      // A dotted IPv4 ending fills the last two groups.
      uint32_t v4;
      if (count > kGroups - 2 || scan_dotted(start, end, &v4) != end) return false;
      groups[count++] = static_cast<uint16_t>(v4 >> 16);
      groups[count++] = static_cast<uint16_t>(v4);
      break;
    }
    if (digits == 0 || digits > 4 || count == kGroups) return false;
    groups[count++] = static_cast<uint16_t>(value);
    if (p == end) break;
    if (*p++ != ':' || p == end) return false;
    if (*p == ':') {
      if (gap >= 0) return false;
      gap = count;
      ++p;
    }
  }
  if (gap < 0 ? count != kGroups : count > kGroups - 1) return false;
  uint16_t full[kGroups] = {};
  const int tail = gap < 0 ? 0 : count - gap;
  for (int i = 0; i < count - tail; ++i) full[i] = groups[i];
  for (int i = 0; i < tail; ++i) full[kGroups - tail + i] = groups[count - tail + i];
  for (int i = 0; i < kGroups; ++i) {
    out[2 * i] = static_cast<uint8_t>(full[i] >> 8);
    out[2 * i + 1] = static_cast<uint8_t>(full[i]);
  }
  return true;
}

// The address of [p, end) as 16 bytes, not yet taken apart by family;
// `*v4_text` tells whether it was written as IPv4.
bool scan_address(const char* p, const char* end, uint8_t out[IpAddress::kBytes], bool* v4_text) {
  uint32_t v4;
  if (scan_dotted(p, end, &v4) == end) {
    *v4_text = true;
    std::memcpy(out, IpAddress::from_v4(v4).bytes(), IpAddress::kBytes);
    return true;
  }
  *v4_text = false;
  return scan_v6(p, end, out);
}

// Clears every bit of `bytes` after the first `bits`.
void clear_after(uint8_t bytes[IpAddress::kBytes], int bits) {
  for (int i = 0; i < IpAddress::kBytes; ++i) {
    const int keep = bits - 8 * i;
    if (keep >= 8) continue;
    bytes[i] = keep <= 0 ? 0 : static_cast<uint8_t>(bytes[i] & (0xff00 >> keep));
  }
}

}  // namespace

IpAddress IpAddress::from_v4(uint32_t host_order) {
  IpAddress address;
  for (int i = 0; i < 4; ++i) {
    address.bytes_[kV4MappedOffset + i] = static_cast<uint8_t>(host_order >> (24 - 8 * i));
  }
  return address;
}

IpAddress IpAddress::from_bytes(const uint8_t bytes[kBytes]) {
  IpAddress address;
  std::memcpy(address.bytes_, bytes, kBytes);
  address.family_ = is_mapped(bytes) ? IpFamily::kV4 : IpFamily::kV6;
  return address;
}

uint32_t IpAddress::v4_value() const {
  if (!is_v4()) return 0;
  const uint8_t* b = bytes_ + kV4MappedOffset;
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

IpAddress IpAddress::masked(int prefix_bits) const {
  if (prefix_bits < 0) prefix_bits = 0;
  if (prefix_bits > bits()) prefix_bits = bits();
  IpAddress out = *this;
  // An IPv4 prefix counts from the mapped form's 96 fixed bits.
  clear_after(out.bytes_, is_v4() ? prefix_bits + (kV6Bits - kV4Bits) : prefix_bits);
  return out;
}

uint64_t IpAddress::address_key() const {
  if (is_v4()) return v4_value();
  return load_be64(bytes_) | kV6KeyTag;
}

uint64_t IpAddress::network_key() const {
  if (is_v4()) return v4_value() & 0xffffff00u;
  return load_be64(bytes_) >> 16 | kV6KeyTag;
}

int IpAddress::format(char out[kIpTextBytes]) const {
  if (is_v4()) {
    const uint8_t* b = bytes_ + kV4MappedOffset;
    return std::snprintf(out, kIpTextBytes, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  }
  uint16_t groups[kGroups];
  for (int i = 0; i < kGroups; ++i)
    groups[i] = static_cast<uint16_t>(bytes_[2 * i] << 8 | bytes_[2 * i + 1]);
  // The longest run of two or more zero groups, the leftmost of equals.
  int best = -1;
  int best_length = 1;
  for (int i = 0; i < kGroups;) {
    int length = 0;
    while (i + length < kGroups && groups[i + length] == 0) ++length;
    if (length > best_length) {
      best = i;
      best_length = length;
    }
    i += length > 0 ? length : 1;
  }
  int used = 0;
  for (int i = 0; i < kGroups; ++i) {
    if (i == best) {
      used += std::snprintf(out + used, static_cast<size_t>(kIpTextBytes - used), "::");
      i += best_length - 1;
      continue;
    }
    const bool after_gap = best >= 0 && i == best + best_length;
    used += std::snprintf(out + used, static_cast<size_t>(kIpTextBytes - used), "%s%x",
                          i == 0 || after_gap ? "" : ":", groups[i]);
  }
  return used;
}

int IpAddress::format_with_port(int port, char out[kIpPortTextBytes]) const {
  char text[kIpTextBytes];
  format(text);
  return std::snprintf(out, kIpPortTextBytes, is_v4() ? "%s:%d" : "[%s]:%d", text, port);
}

IpPrefix IpPrefix::of(const IpAddress& address, int bits) {
  IpPrefix prefix;
  prefix.bits = bits < 0 ? 0 : (bits > address.bits() ? address.bits() : bits);
  prefix.address = address.masked(prefix.bits);
  return prefix;
}

bool IpPrefix::contains(const IpAddress& other) const {
  return other.family() == address.family() && other.masked(bits) == address;
}

int IpPrefix::format(char out[kIpPrefixTextBytes]) const {
  int used = address.format(out);
  if (bits != address.bits()) {
    used += std::snprintf(out + used, static_cast<size_t>(kIpPrefixTextBytes - used), "/%d", bits);
  }
  return used;
}

int parse_ip_address(const char* text, size_t length, IpAddress* out) {
  uint8_t bytes[IpAddress::kBytes];
  bool v4_text = false;
  if (!scan_address(text, text + length, bytes, &v4_text)) return -1;
  *out = IpAddress::from_bytes(bytes);
  return 0;
}

int parse_ip_address(const char* text, IpAddress* out) {
  return parse_ip_address(text, std::strlen(text), out);
}

int parse_ip_prefix(const char* text, IpPrefix* out) {
  const char* end = text + std::strlen(text);
  const char* slash = std::strchr(text, '/');
  const char* address_end = slash != nullptr ? slash : end;
  uint8_t bytes[IpAddress::kBytes];
  bool v4_text = false;
  if (!scan_address(text, address_end, bytes, &v4_text)) return -1;
  const int most = v4_text ? IpAddress::kV4Bits : IpAddress::kV6Bits;
  uint32_t bits = static_cast<uint32_t>(most);
  if (slash != nullptr && scan_decimal(slash + 1, end, static_cast<uint32_t>(most), &bits) != end) {
    return -1;
  }
  // Bits of the 16 bytes: an IPv4 text's prefix counts after the 96 fixed
  // bits of its mapped form.
  int v6_bits = static_cast<int>(bits) + (v4_text ? IpAddress::kV6Bits - IpAddress::kV4Bits : 0);
  const bool mapped = is_mapped(bytes);
  if (mapped && v6_bits < IpAddress::kV6Bits - IpAddress::kV4Bits) {
    // A prefix shorter than the mapped block is an IPv6 one: its address,
    // cut, is no longer mapped.
    clear_after(bytes, v6_bits);
    *out = IpPrefix::of(IpAddress::from_bytes(bytes), v6_bits);
    return 0;
  }
  const IpAddress address = IpAddress::from_bytes(bytes);
  *out =
      IpPrefix::of(address, mapped ? v6_bits - (IpAddress::kV6Bits - IpAddress::kV4Bits) : v6_bits);
  return 0;
}

void AtomicIpAddress::store(const IpAddress& address) {
  const uint32_t sequence = sequence_.load(std::memory_order_relaxed);
  sequence_.store(sequence + 1, std::memory_order_relaxed);
  // Release on each word: a reader that sees either new word also sees the
  // odd sequence stored before it, and so tries again.
  high_.store(load_be64(address.bytes()), std::memory_order_release);
  low_.store(load_be64(address.bytes() + 8), std::memory_order_release);
  sequence_.store(sequence + 2, std::memory_order_release);
}

IpAddress AtomicIpAddress::load() const {
  for (;;) {
    const uint32_t before = sequence_.load(std::memory_order_acquire);
    uint8_t bytes[IpAddress::kBytes];
    store_be64(high_.load(std::memory_order_acquire), bytes);
    store_be64(low_.load(std::memory_order_acquire), bytes + 8);
    if ((before & 1) == 0 && sequence_.load(std::memory_order_relaxed) == before) {
      return IpAddress::from_bytes(bytes);
    }
    std::this_thread::yield();
  }
}

}  // namespace net
