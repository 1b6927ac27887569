// The PROXY protocol header, versions 1 (a text line) and 2 (binary), that
// a trusted proxy or load balancer sends before its client's own bytes to
// say whom it carries. The reader is pure: the bytes received so far in,
// a result out; it makes no system call and keeps no state, so a
// connection whose header arrives one byte at a time is read again from
// its first byte at each arrival. Any thread.
//
// Version 1: "PROXY TCP4 203.0.113.9 192.0.2.1 40000 30009\r\n", TCP6 with
// IPv6 texts, or "PROXY UNKNOWN" and anything up to the line's end; at
// most 107 bytes with the line end.
// Version 2: a 12-byte signature, a version-and-command byte (version 2,
// LOCAL or PROXY), a family byte, a 16-bit big-endian length, then that
// many bytes: the addresses and ports of the family, then TLVs, which are
// skipped. A length above 1,024 is refused.
#ifndef NET_PROXY_HEADER_H_
#define NET_PROXY_HEADER_H_

#include <cstdint>

#include "net/ip_address.h"

namespace net {

constexpr int kProxyV1MaxBytes = 107;
constexpr int kProxyV2SignatureBytes = 12;
// Signature, version and command, family, length.
constexpr int kProxyV2FixedBytes = kProxyV2SignatureBytes + 1 + 1 + 2;
constexpr int kProxyV2MaxBody = 1024;
// The longest header read: a version 2 header with the longest body.
constexpr int kProxyHeaderMaxBytes = kProxyV2FixedBytes + kProxyV2MaxBody;
// The address blocks of version 2: two addresses, then two ports.
constexpr int kProxyV2Inet4Block = 4 + 4 + 2 + 2;
constexpr int kProxyV2Inet6Block = 16 + 16 + 2 + 2;
constexpr int kProxyV2UnixBlock = 108 + 108;

// Results of read_proxy_header.
constexpr int kProxyComplete = 1;
constexpr int kProxyIncomplete = 0;  // a beginning of a header: more bytes needed
constexpr int kProxyBad = -1;        // no header can begin with these bytes

// LOCAL: the proxy's own connection (a health check), not a client's.
// Version 1 has only PROXY.
enum class ProxyCommand : uint8_t { kProxy, kLocal };
// What the header tells of the client. kUnspec (version 1 UNKNOWN,
// version 2 AF_UNSPEC) and kUnix carry no address the lobby can use: the
// proxy could not tell whom it carries.
enum class ProxyFamily : uint8_t { kUnspec, kInet4, kInet6, kUnix };

struct ProxyHeader {
  int version = 0;  // 1 or 2
  ProxyCommand command = ProxyCommand::kProxy;
  // kUnspec for a LOCAL command, whose addresses a receiver ignores.
  ProxyFamily family = ProxyFamily::kUnspec;
  // Set for kInet4 and kInet6 only.
  IpAddress source;
  IpAddress destination;
  int32_t source_port = 0;
  int32_t destination_port = 0;
  // Bytes of the header: the client's own bytes begin after them.
  int length = 0;

  // Whether the header names the client's address.
  bool has_address() const {
    return family == ProxyFamily::kInet4 || family == ProxyFamily::kInet6;
  }
};

// Reads a header at the start of `bytes` (the first `length` bytes a
// connection sent). kProxyComplete fills `*out`; kProxyIncomplete while
// `bytes` may still grow into a header; kProxyBad as soon as they cannot.
// A complete header is never longer than kProxyHeaderMaxBytes, and a
// beginning that would be is bad.
int read_proxy_header(const uint8_t* bytes, int length, ProxyHeader* out);

}  // namespace net

#endif  // NET_PROXY_HEADER_H_
