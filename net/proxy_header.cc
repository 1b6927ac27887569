#include "net/proxy_header.h"

#include <cstring>

namespace net {
namespace {

constexpr char kV1Signature[] = "PROXY ";
constexpr int kV1SignatureBytes = sizeof kV1Signature - 1;
constexpr uint8_t kV2Signature[kProxyV2SignatureBytes] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                          0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
// Version 2's command byte: the version in the high half, the command in
// the low one; the family byte: the address family high, the transport low.
constexpr uint8_t kV2Version = 0x20;
constexpr uint8_t kV2Local = 0x0;
constexpr uint8_t kV2Proxy = 0x1;
constexpr uint8_t kV2Unspec = 0x00;
constexpr uint8_t kV2Inet4Stream = 0x11;
constexpr uint8_t kV2Inet4Datagram = 0x12;
constexpr uint8_t kV2Inet6Stream = 0x21;
constexpr uint8_t kV2Inet6Datagram = 0x22;
constexpr uint8_t kV2UnixStream = 0x31;
constexpr uint8_t kV2UnixDatagram = 0x32;

// Whether the first `length` bytes match as much of `signature`.
bool matches_so_far(const uint8_t* bytes, int length, const uint8_t* signature, int size) {
  const int n = length < size ? length : size;
  return std::memcmp(bytes, signature, static_cast<size_t>(n)) == 0;
}

// A field of a version 1 line: [begin, end).
struct Field {
  const char* begin;
  const char* end;
  int size() const { return static_cast<int>(end - begin); }
  bool is(const char* text) const {
    const size_t n = std::strlen(text);
    return static_cast<size_t>(size()) == n && std::memcmp(begin, text, n) == 0;
  }
};

// Splits [p, end) at single spaces into at most `max` fields; -1 when a
// field is empty (two spaces in a row, or a space at either end), or when
// there are more than `max`.
int split_fields(const char* p, const char* end, Field* fields, int max) {
  int count = 0;
  while (p <= end) {
    const char* space = static_cast<const char*>(std::memchr(p, ' ', static_cast<size_t>(end - p)));
    const char* field_end = space != nullptr ? space : end;
    if (field_end == p || count == max) return -1;
    fields[count++] = {p, field_end};
    if (space == nullptr) break;
    p = space + 1;
  }
  return count;
}

// A port in decimal: 1 to 5 digits, at most 65535.
bool read_port(const Field& field, int32_t* port) {
  if (field.size() < 1 || field.size() > 5) return false;
  int32_t value = 0;
  for (const char* p = field.begin; p < field.end; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
  }
  if (value > 0xffff) return false;
  *port = value;
  return true;
}

// An address of the family the line names: TCP4 takes dotted IPv4 text
// only, TCP6 IPv6 text only (an IPv4-mapped one gives its IPv4 address).
bool read_address(const Field& field, bool v6, IpAddress* out) {
  const bool v6_text = std::memchr(field.begin, ':', static_cast<size_t>(field.size())) != nullptr;
  if (v6_text != v6) return false;
  return parse_ip_address(field.begin, static_cast<size_t>(field.size()), out) == 0;
}

int read_v1(const uint8_t* bytes, int length, ProxyHeader* out) {
  if (!matches_so_far(bytes, length, reinterpret_cast<const uint8_t*>(kV1Signature),
                      kV1SignatureBytes)) {
    return kProxyBad;
  }
  // The line ends at the first CR, which an LF must follow; every byte
  // before it is printable.
  const int limit = length < kProxyV1MaxBytes ? length : kProxyV1MaxBytes;
  int cr = -1;
  for (int i = kV1SignatureBytes; i < limit; ++i) {
    if (bytes[i] == '\r') {
      cr = i;
      break;
    }
    if (bytes[i] < 0x20 || bytes[i] > 0x7e) return kProxyBad;
  }
  if (cr < 0) return length >= kProxyV1MaxBytes ? kProxyBad : kProxyIncomplete;
  if (cr + 1 >= kProxyV1MaxBytes) return kProxyBad;
  if (cr + 1 >= length) return kProxyIncomplete;
  if (bytes[cr + 1] != '\n') return kProxyBad;

  const char* line = reinterpret_cast<const char*>(bytes);
  Field fields[5];
  // UNKNOWN may be followed by anything, which is ignored.
  const char* rest = line + kV1SignatureBytes;
  const char* line_end = line + cr;
  const char* space =
      static_cast<const char*>(std::memchr(rest, ' ', static_cast<size_t>(line_end - rest)));
  const Field protocol{rest, space != nullptr ? space : line_end};
  ProxyHeader header;
  header.version = 1;
  header.length = cr + 2;
  if (protocol.is("UNKNOWN")) {
    header.family = ProxyFamily::kUnspec;
    *out = header;
    return kProxyComplete;
  }
  const bool v6 = protocol.is("TCP6");
  if (!v6 && !protocol.is("TCP4")) return kProxyBad;
  if (space == nullptr) return kProxyBad;
  if (split_fields(space + 1, line_end, fields, 4) != 4) return kProxyBad;
  if (!read_address(fields[0], v6, &header.source) ||
      !read_address(fields[1], v6, &header.destination) ||
      !read_port(fields[2], &header.source_port) ||
      !read_port(fields[3], &header.destination_port)) {
    return kProxyBad;
  }
  header.family = v6 ? ProxyFamily::kInet6 : ProxyFamily::kInet4;
  *out = header;
  return kProxyComplete;
}

uint32_t load_be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
int32_t load_be16(const uint8_t* p) { return static_cast<int32_t>(p[0] << 8 | p[1]); }

int read_v2(const uint8_t* bytes, int length, ProxyHeader* out) {
  if (!matches_so_far(bytes, length, kV2Signature, kProxyV2SignatureBytes)) return kProxyBad;
  if (length <= kProxyV2SignatureBytes) return kProxyIncomplete;
  const uint8_t version_command = bytes[kProxyV2SignatureBytes];
  const uint8_t command = version_command & 0x0f;
  if ((version_command & 0xf0) != kV2Version || (command != kV2Local && command != kV2Proxy)) {
    return kProxyBad;
  }
  if (length <= kProxyV2SignatureBytes + 1) return kProxyIncomplete;
  // A LOCAL header's family and addresses are ignored, whatever they are.
  const uint8_t family = bytes[kProxyV2SignatureBytes + 1];
  int block = 0;
  ProxyFamily kind = ProxyFamily::kUnspec;
  if (command == kV2Proxy) {
    switch (family) {
      case kV2Unspec:
        break;
      case kV2Inet4Stream:
      case kV2Inet4Datagram:
        kind = ProxyFamily::kInet4;
        block = kProxyV2Inet4Block;
        break;
      case kV2Inet6Stream:
      case kV2Inet6Datagram:
        kind = ProxyFamily::kInet6;
        block = kProxyV2Inet6Block;
        break;
      case kV2UnixStream:
      case kV2UnixDatagram:
        kind = ProxyFamily::kUnix;
        block = kProxyV2UnixBlock;
        break;
      default:
        return kProxyBad;
    }
  }
  if (length < kProxyV2FixedBytes) return kProxyIncomplete;
  const int body = load_be16(bytes + kProxyV2SignatureBytes + 2);
  if (body > kProxyV2MaxBody || body < block) return kProxyBad;
  if (length < kProxyV2FixedBytes + body) return kProxyIncomplete;

  ProxyHeader header;
  header.version = 2;
  header.length = kProxyV2FixedBytes + body;
  header.command = command == kV2Local ? ProxyCommand::kLocal : ProxyCommand::kProxy;
  header.family = kind;
  const uint8_t* p = bytes + kProxyV2FixedBytes;
  if (kind == ProxyFamily::kInet4) {
    header.source = IpAddress::from_v4(load_be32(p));
    header.destination = IpAddress::from_v4(load_be32(p + 4));
    header.source_port = load_be16(p + 8);
    header.destination_port = load_be16(p + 10);
  } else if (kind == ProxyFamily::kInet6) {
    header.source = IpAddress::from_bytes(p);
    header.destination = IpAddress::from_bytes(p + 16);
    header.source_port = load_be16(p + 32);
    header.destination_port = load_be16(p + 34);
  }
  *out = header;
  return kProxyComplete;
}

}  // namespace

int read_proxy_header(const uint8_t* bytes, int length, ProxyHeader* out) {
  if (length <= 0) return kProxyIncomplete;
  // The two versions differ in their first byte: "P", or version 2's CR.
  if (bytes[0] == kV1Signature[0]) return read_v1(bytes, length, out);
  if (bytes[0] == kV2Signature[0]) return read_v2(bytes, length, out);
  return kProxyBad;
}

}  // namespace net
