// Addresses of both families: text in and out, prefixes, the keys the
// per-address protections count by, and the shared form's whole reads.
#include "net/ip_address.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

using net::IpAddress;
using net::IpPrefix;

std::string text_of(const IpAddress& address) {
  char text[net::kIpTextBytes];
  const int length = address.format(text);
  EXPECT_EQ(static_cast<int>(std::string(text).size()), length);
  return text;
}

IpAddress parsed(const char* text) {
  IpAddress address;
  EXPECT_EQ(0, net::parse_ip_address(text, &address)) << text;
  return address;
}

TEST(IpAddressTest, TextRoundTripsInTheStandardForm) {
  struct Case {
    const char* in;
    const char* out;
    bool v4;
  };
  const Case cases[] = {
      {"203.0.113.9", "203.0.113.9", true},
      {"0.0.0.0", "0.0.0.0", true},
      {"255.255.255.255", "255.255.255.255", true},
      {"::", "::", false},
      {"::1", "::1", false},
      {"2001:DB8:0:0:0:0:0:1", "2001:db8::1", false},
      {"2001:0db8:0000:0000:0000:ff00:0042:8329", "2001:db8::ff00:42:8329", false},
      // The leftmost of two equal runs; the longest of two unequal ones.
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1", false},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3", false},
      {"0:0:1:0:0:0:0:0", "0:0:1::", false},
      // A single zero group is not compressed, even where "::" stands for it.
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1", false},
      {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8", false},
      {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0", false},
      {"1::", "1::", false},
      {"FE80::1:2", "fe80::1:2", false},
      // IPv4-mapped is IPv4; other embedded forms stay IPv6.
      {"::ffff:192.0.2.1", "192.0.2.1", true},
      {"::FFFF:c000:0201", "192.0.2.1", true},
      {"64:ff9b::192.0.2.1", "64:ff9b::c000:201", false},
      {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8", false},
  };
  for (const Case& c : cases) {
    const IpAddress address = parsed(c.in);
    EXPECT_EQ(c.out, text_of(address)) << c.in;
    EXPECT_EQ(c.v4, address.is_v4()) << c.in;
    EXPECT_EQ(address, parsed(c.out)) << c.in;
  }
  for (const char* bad : {"", "1:2:3:4:5:6:7:8:9", "1::2::3", "12345::", ":1", "1:", "1:::2",
                          "::ffff:1.2.3", "1.2.3.4:5", "g::", "1:2:3:4:5:6:7:1.2.3.4", "::1%eth0",
                          "[::1]", " ::1", "1.2.3.4 ", "::1.2.3.4.5", "1.2.3.256", "1.2.3"}) {
    IpAddress address;
    EXPECT_EQ(-1, net::parse_ip_address(bad, &address)) << bad;
  }
  // A length-bounded text needs no zero after it.
  IpAddress address;
  ASSERT_EQ(0, net::parse_ip_address("2001:db8::7 rest", 11, &address));
  EXPECT_EQ("2001:db8::7", text_of(address));
  EXPECT_EQ(0xCB007109u, parsed("203.0.113.9").v4_value());
  EXPECT_EQ(parsed("203.0.113.9"), IpAddress::from_v4(0xCB007109u));
  EXPECT_EQ(0u, parsed("::1").v4_value());

  char with_port[net::kIpPortTextBytes];
  IpAddress::from_v4(0xCB007109u).format_with_port(40000, with_port);
  EXPECT_STREQ("203.0.113.9:40000", with_port);
  parsed("2001:db8::1").format_with_port(40000, with_port);
  EXPECT_STREQ("[2001:db8::1]:40000", with_port);
  parsed("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff").format_with_port(65535, with_port);
  EXPECT_STREQ("[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535", with_port);
}

TEST(IpAddressTest, PrefixesClearTheirHostBitsAndHoldTheirOwnFamilyOnly) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"10.1.2.3/8", "10.0.0.0/8"},
      {"10.1.2.3/32", "10.1.2.3"},
      {"10.1.2.3", "10.1.2.3"},
      {"2001:db8:abcd:12ff::/40", "2001:db8:ab00::/40"},
      {"2001:db8::1/128", "2001:db8::1"},
      {"2001:db8::1/127", "2001:db8::/127"},
      {"::/0", "::/0"},
      {"0.0.0.0/0", "0.0.0.0/0"},
      // A mapped address's prefix past its fixed 96 bits is an IPv4 one.
      {"::ffff:10.1.2.3/104", "10.0.0.0/8"},
      {"::ffff:10.1.2.3/80", "::/80"},
  };
  for (const Case& c : cases) {
    IpPrefix prefix;
    ASSERT_EQ(0, net::parse_ip_prefix(c.in, &prefix)) << c.in;
    char text[net::kIpPrefixTextBytes];
    prefix.format(text);
    EXPECT_STREQ(c.out, text) << c.in;
  }
  for (const char* bad :
       {"::/129", "1.2.3.4/33", "::1/", "::1/-1", "::1/1a", "/8", "1.2.3.4/0008"}) {
    IpPrefix prefix;
    EXPECT_EQ(-1, net::parse_ip_prefix(bad, &prefix)) << bad;
  }

  IpPrefix site;
  ASSERT_EQ(0, net::parse_ip_prefix("2001:db8::/32", &site));
  EXPECT_TRUE(site.contains(parsed("2001:db8:1::5")));
  EXPECT_FALSE(site.contains(parsed("2001:db9::")));
  IpPrefix odd;
  ASSERT_EQ(0, net::parse_ip_prefix("2001:db8:ff80::/41", &odd));
  EXPECT_TRUE(odd.contains(parsed("2001:db8:ffff::")));
  EXPECT_FALSE(odd.contains(parsed("2001:db8:ff7f::")));
  IpPrefix all_v4, all_v6;
  ASSERT_EQ(0, net::parse_ip_prefix("0.0.0.0/0", &all_v4));
  ASSERT_EQ(0, net::parse_ip_prefix("::/0", &all_v6));
  EXPECT_TRUE(all_v4.contains(parsed("::ffff:1.2.3.4")));
  EXPECT_FALSE(all_v4.contains(parsed("::1")));
  EXPECT_FALSE(all_v6.contains(parsed("1.2.3.4")));
  EXPECT_TRUE(all_v6.contains(parsed("::1")));
  EXPECT_EQ("2001:db8:1:2::/64", [] {
    char text[net::kIpPrefixTextBytes];
    const IpAddress a = parsed("2001:db8:1:2:3:4:5:6");
    IpPrefix::of(a, a.key_bits()).format(text);
    return std::string(text);
  }());
}

TEST(IpAddressTest, KeysSeparateAddressesNetworksAndFamilies) {
  // An IPv4 address is its own key; a /24 its network.
  EXPECT_EQ(0xCB007109u, parsed("203.0.113.9").address_key());
  EXPECT_NE(parsed("203.0.113.9").address_key(), parsed("203.0.113.10").address_key());
  EXPECT_EQ(parsed("203.0.113.9").network_key(), parsed("203.0.113.200").network_key());
  EXPECT_NE(parsed("203.0.113.9").network_key(), parsed("203.0.112.9").network_key());
  // An IPv6 player is its /64, its network the /48.
  EXPECT_EQ(parsed("2001:db8:1:2::1").address_key(), parsed("2001:db8:1:2:ffff::9").address_key());
  EXPECT_NE(parsed("2001:db8:1:2::1").address_key(), parsed("2001:db8:1:3::1").address_key());
  EXPECT_NE(parsed("2001:db8:1:2::1").address_key(), parsed("fd00:db8:1:2::1").address_key());
  EXPECT_EQ(parsed("2001:db8:1:2::1").network_key(), parsed("2001:db8:1:ffff::1").network_key());
  EXPECT_NE(parsed("2001:db8:1::").network_key(), parsed("2001:db8:2::").network_key());
  EXPECT_NE(parsed("2001:db8:1::").network_key(), parsed("8001:db8:1::").network_key());
  // No IPv6 key is an IPv4 one, not even for the IPv6 addresses whose bits
  // an IPv4 key would spell.
  for (const char* v6 : {"::", "::1", "::cb00:7109", "::cb00:7100", "0:0:0:0:cb00:7109::"}) {
    const IpAddress address = parsed(v6);
    for (const char* v4 : {"0.0.0.0", "0.0.0.1", "203.0.113.9", "203.0.113.0"}) {
      EXPECT_NE(parsed(v4).address_key(), address.address_key()) << v6 << " " << v4;
      EXPECT_NE(parsed(v4).network_key(), address.network_key()) << v6 << " " << v4;
    }
    EXPECT_NE(0u, address.address_key() & IpAddress::kV6KeyTag) << v6;
  }
  EXPECT_EQ(32, parsed("1.2.3.4").key_bits());
  EXPECT_EQ(64, parsed("::1").key_bits());
  EXPECT_EQ(24, parsed("1.2.3.4").network_bits());
  EXPECT_EQ(48, parsed("::1").network_bits());
}

// A reader racing the writer gets one of the addresses stored, never a
// mix of two.
TEST(IpAddressTest, TheSharedFormIsReadWhole) {
  const IpAddress a = parsed("2001:db8::1");
  const IpAddress b = parsed("203.0.113.9");
  net::AtomicIpAddress shared;
  EXPECT_EQ(IpAddress(), shared.load());
  shared.store(a);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) shared.store(i % 2 == 0 ? b : a);
    done.store(true);
  });
  int reads = 0;
  while (!done.load() || reads == 0) {
    const IpAddress seen = shared.load();
    ASSERT_TRUE(seen == a || seen == b) << text_of(seen);
    ++reads;
  }
  writer.join();
  EXPECT_EQ(a, shared.load());
}

}  // namespace
