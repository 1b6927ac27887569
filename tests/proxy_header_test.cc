// The PROXY header reader, bytes in and a result out: every form a proxy
// sends, every way a header can be wrong, a header that arrives a byte at a
// time, and the client's bytes that follow it in the same read.
#include "net/proxy_header.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/wire.h"

namespace {

using net::ProxyFamily;
using net::ProxyHeader;

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

// A version 2 header: command byte (0x20 LOCAL, 0x21 PROXY), family byte,
// then `body` with its length.
std::string v2(int command, int family, const std::string& body) {
  std::string out = kSignature;
  out += static_cast<char>(command);
  out += static_cast<char>(family);
  out += static_cast<char>(body.size() >> 8);
  out += static_cast<char>(body.size() & 0xff);
  return out + body;
}

// 203.0.113.9:40000 to 192.0.2.1:30009, version 2's AF_INET block.
const std::string kInet4Block("\xCB\x00\x71\x09\xC0\x00\x02\x01\x9C\x40\x75\x39", 12);
// 2001:db8::7:40000 to 2001:db8::1:30009.
std::string inet6_block() {
  std::string block("\x20\x01\x0d\xb8", 4);
  block += std::string(11, '\0') + '\x07';
  block += std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + '\x01';
  return block + std::string("\x9C\x40\x75\x39", 4);
}

int read(const std::string& bytes, ProxyHeader* out) {
  return net::read_proxy_header(reinterpret_cast<const uint8_t*>(bytes.data()),
                                static_cast<int>(bytes.size()), out);
}

std::string text(const net::IpAddress& address) {
  char out[net::kIpTextBytes];
  address.format(out);
  return out;
}

// What a complete header said, in one line: "v1 PROXY inet4 203.0.113.9:40000
// > 192.0.2.1:30009 (46)".
std::string said(const std::string& bytes) {
  ProxyHeader h;
  const int rc = read(bytes, &h);
  if (rc != net::kProxyComplete) return rc == net::kProxyBad ? "bad" : "incomplete";
  static const char* const kFamilies[] = {"unspec", "inet4", "inet6", "unix"};
  std::string out = "v" + std::to_string(h.version) +
                    (h.command == net::ProxyCommand::kLocal ? " LOCAL " : " PROXY ") +
                    kFamilies[static_cast<int>(h.family)];
  if (h.has_address()) {
    out += " " + text(h.source) + ":" + std::to_string(h.source_port) + " > " +
           text(h.destination) + ":" + std::to_string(h.destination_port);
  }
  return out + " (" + std::to_string(h.length) + ")";
}

TEST(ProxyHeaderTest, EveryFormAProxySends) {
  EXPECT_EQ("v1 PROXY inet4 203.0.113.9:40000 > 192.0.2.1:30009 (46)",
            said("PROXY TCP4 203.0.113.9 192.0.2.1 40000 30009\r\n"));
  EXPECT_EQ("v1 PROXY inet6 2001:db8::7:40000 > 2001:db8::1:30009 (48)",
            said("PROXY TCP6 2001:db8::7 2001:db8::1 40000 30009\r\n"));
  // A mapped address in TCP6 is the IPv4 client it stands for.
  EXPECT_EQ("v1 PROXY inet6 198.51.100.2:1 > 2001:db8::1:0 (48)",
            said("PROXY TCP6 ::ffff:198.51.100.2 2001:db8::1 1 0\r\n"));
  EXPECT_EQ("v1 PROXY unspec (15)", said("PROXY UNKNOWN\r\n"));
  EXPECT_EQ("v1 PROXY unspec (47)", said("PROXY UNKNOWN ffff:f::1 ffff:f::2 65535 65535\r\n"));

  EXPECT_EQ("v2 PROXY inet4 203.0.113.9:40000 > 192.0.2.1:30009 (28)",
            said(v2(0x21, 0x11, kInet4Block)));
  EXPECT_EQ("v2 PROXY inet6 2001:db8::7:40000 > 2001:db8::1:30009 (52)",
            said(v2(0x21, 0x21, inet6_block())));
  EXPECT_EQ("v2 PROXY unspec (16)", said(v2(0x21, 0x00, "")));
  EXPECT_EQ("v2 PROXY unix (232)", said(v2(0x21, 0x31, std::string(216, 'u'))));
  // LOCAL: the proxy's own connection; whatever family it names is ignored.
  EXPECT_EQ("v2 LOCAL unspec (16)", said(v2(0x20, 0x00, "")));
  EXPECT_EQ("v2 LOCAL unspec (28)", said(v2(0x20, 0x11, kInet4Block)));
  EXPECT_EQ("v2 LOCAL unspec (20)", said(v2(0x20, 0x77, "abcd")));
  // TLVs after the addresses (an ALPN, a unique id) are skipped.
  const std::string tlvs = std::string("\x01\x00\x02h2\x05\x00\x03xyz", 11);
  EXPECT_EQ("v2 PROXY inet4 203.0.113.9:40000 > 192.0.2.1:30009 (39)",
            said(v2(0x21, 0x11, kInet4Block + tlvs)));
  EXPECT_EQ("v2 PROXY inet6 2001:db8::7:40000 > 2001:db8::1:30009 (1040)",
            said(v2(0x21, 0x22, inet6_block() + std::string(1024 - 36, 'T'))));
}

TEST(ProxyHeaderTest, WhatCannotBeAHeaderIsBadAsSoonAsItShows) {
  for (const std::string& bad :
       {// Wrong signatures: a game message, the other version's start.
        std::string("2N"), std::string("PROXX"), std::string("proxy "),
        std::string("\r\n\r\n\0\r\nQUIX", 11), std::string("GET / HTTP/1.1\r\n"),
        // Version 1: an unknown protocol, fields missing or doubled, an
        // address of the other family, a port too large, a bare LF, no
        // CR LF within 107 bytes, a control byte.
        std::string("PROXY TCP5 1.2.3.4 5.6.7.8 1 2\r\n"),
        std::string("PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n"),
        std::string("PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n"),
        std::string("PROXY TCP4  1.2.3.4 5.6.7.8 1 2\r\n"),
        std::string("PROXY TCP4 1.2.3.4 5.6.7.8 1 2 \r\n"),
        std::string("PROXY TCP4 ::1 ::2 1 2\r\n"),
        std::string("PROXY TCP6 1.2.3.4 5.6.7.8 1 2\r\n"),
        std::string("PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n"),
        std::string("PROXY TCP4 1.2.3.4 5.6.7.8 -1 2\r\n"),
        std::string("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n"), std::string("PROXY TCP4\r\n"),
        std::string("PROXY UNKNOWNX\r\n"), std::string("PROXY UNKNOWN\r\r"),
        "PROXY UNKNOWN " + std::string(92, 'x') + "\r\n",  // 108 bytes
        "PROXY UNKNOWN " + std::string(100, 'x'), std::string("PROXY UNKNOWN \x01"),
        // Version 2: version 1 or 3 in the command byte, an unknown command,
        // an unknown family, a length past 1,024 or short of the family's
        // addresses.
        v2(0x11, 0x11, kInet4Block), v2(0x31, 0x11, kInet4Block), v2(0x22, 0x11, kInet4Block),
        v2(0x21, 0x13, kInet4Block), v2(0x21, 0x41, kInet4Block),
        v2(0x21, 0x11, std::string(1025, 'x')).substr(0, 16), v2(0x21, 0x11, "short"),
        v2(0x21, 0x21, kInet4Block), v2(0x21, 0x31, std::string(215, 'u'))}) {
    ProxyHeader h;
    EXPECT_EQ(net::kProxyBad, read(bad, &h)) << test_wire::hex(bad);
  }
  // A longest header is fine; one byte more is not, and says so from its
  // length field, before its body comes.
  ProxyHeader h;
  EXPECT_EQ(net::kProxyComplete, read(v2(0x20, 0x00, std::string(1024, 'x')), &h));
  EXPECT_EQ(1040, h.length);
  EXPECT_EQ(net::kProxyBad, read(v2(0x20, 0x00, std::string(1025, 'x')).substr(0, 16), &h));
  const std::string longest_v1 = "PROXY UNKNOWN " + std::string(91, 'x') + "\r\n";
  EXPECT_EQ(107u, longest_v1.size());
  EXPECT_EQ(net::kProxyComplete, read(longest_v1, &h));
}

// Every beginning of a header is incomplete, never bad: a header that comes
// one byte a read is read whole at its last byte. What follows it (a login
// sent in the same packet) is left for the caller, after h.length.
TEST(ProxyHeaderTest, AHeaderByteByByteAndTheLoginAfterIt) {
  const std::string login = test_wire::enter(7, "alice", 5, 4, 2);
  for (const std::string& header :
       {std::string("PROXY TCP4 203.0.113.9 192.0.2.1 40000 30009\r\n"),
        std::string("PROXY TCP6 2001:db8::7 2001:db8::1 40000 30009\r\n"),
        std::string("PROXY UNKNOWN\r\n"), v2(0x21, 0x11, kInet4Block + "\x04\x00\x01z"),
        v2(0x21, 0x21, inet6_block()), v2(0x20, 0x00, "")}) {
    ProxyHeader h;
    for (size_t n = 0; n < header.size(); ++n) {
      ASSERT_EQ(net::kProxyIncomplete, read(header.substr(0, n), &h))
          << n << " of " << test_wire::hex(header);
    }
    EXPECT_EQ(net::kProxyComplete, read(header, &h)) << test_wire::hex(header);
    ProxyHeader with_login;
    ASSERT_EQ(net::kProxyComplete, read(header + login, &with_login));
    EXPECT_EQ(static_cast<int>(header.size()), with_login.length);
    EXPECT_EQ(said(header), said(header + login));
  }
}

}  // namespace
