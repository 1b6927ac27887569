// The lobby behind a trusted proxy (L_PROXY 127.0.0.1), over real TCP with
// the server's clock driven by hand: the "proxy" is a raw client that
// connects from 127.0.0.1 and writes PROXY headers naming its clients.
// Every protection counts the client the header names; the proxy's own
// address is never refused or banned for them; bad headers, slow headers
// and health checks take no slot; a header from an untrusted address is
// game bytes, as it always was.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "admin/replies.h"
#include "lobby/proxy_stage.h"
#include "lobby/snapshot.h"
#include "tests/support/child_process.h"
#include "tests/support/door_fixture.h"

namespace {

using testing_support::TcpClient;
namespace w = test_wire;

std::string v1(const std::string& client, int port) {
  return "PROXY TCP4 " + client + " 127.0.0.1 " + std::to_string(port) + " 30009\r\n";
}
// Version 2: LOCAL, and PROXY with no address (UNSPEC) or an IPv6 client
// (2001:db8::7 port 40000), each with a TLV after it.
const std::string kV2Signature("\r\n\r\n\0\r\nQUIT\n", 12);
const std::string kV2Local = kV2Signature + std::string("\x20\x00\x00\x00", 4);
const std::string kV2Unspec = kV2Signature + std::string("\x21\x00\x00\x03\x04\x00\x00", 7);
std::string v2_inet6() {
  std::string body = std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + '\x07';
  body += std::string(15, '\0') + '\x01' + std::string("\x9c\x40\x75\x39", 4);
  body += std::string("\x04\x00\x01z", 4);
  return kV2Signature + std::string("\x21\x21\x00", 3) + static_cast<char>(body.size()) + body;
}

class ProxyDoorTest : public testing_support::DoorTest {
 protected:
  ProxyDoorTest() {
    settle_after_close = true;
    EXPECT_TRUE(config::apply_config_line("L_PROXY 127.0.0.1", &settings));
  }

  // A connection through the proxy: its header, and the client's bytes in
  // the same write.
  TcpClient via_proxy(const std::string& header, const std::string& then = "") {
    TcpClient c = connect_from("127.0.0.1");
    if (!header.empty() || !then.empty()) c.send(header + then);
    settle(2);
    return c;
  }
  TcpClient enter_via(const std::string& header, int32_t id) {
    TcpClient c = via_proxy(header, w::enter(id, "u" + std::to_string(id), id));
    expect_bytes(c, w::list_end() + w::group_count(1));
    return c;
  }
  // The address (with port) the lobby knows slot `slot`'s client by.
  std::string address_of(int slot) {
    lobby::LobbySnapshot snapshot;
    lobby::take_snapshot(lobby(), clock.now_ms(), &snapshot);
    return admin::address_text(snapshot.slots[slot].addr, snapshot.slots[slot].port);
  }
  std::string status() {
    lobby::LobbySnapshot snapshot;
    lobby::take_snapshot(lobby(), clock.now_ms(), &snapshot);
    return admin::status_reply(snapshot, admin::StatusInfo());
  }
  void use_deny_file() {
    ASSERT_TRUE(dir.write_file("deny.txt", ""));
    std::snprintf(settings.L_DENY, sizeof settings.L_DENY, "%s", dir.file("deny.txt").c_str());
  }

  testing_support::TempDir dir;
};

// The per-address limit counts each client's own address, IPv6 included;
// a login in the header's packet is served at once; the slots, the log and
// the operator's snapshot show the clients. A direct client is untouched,
// and a header from it is game bytes that break the framing.
TEST_F(ProxyDoorTest, EachClientIsCountedByTheAddressItsHeaderNames) {
  settings.L_PER_IP = 2;
  start();
  TcpClient a = enter_via(v1("198.51.100.7", 40001), 1);
  TcpClient b = enter_via(v1("198.51.100.7", 40002), 2);
  TcpClient third = via_proxy(v1("198.51.100.7", 40003));
  expect_refused(third);
  TcpClient six = enter_via(v2_inet6(), 3);
  // The header alone, the login later: as a direct client.
  TcpClient late = via_proxy(v1("198.51.100.8", 40004));
  log_in(late, 4, 4);
  TcpClient direct = enter_from("127.0.0.2", 5, 5);
  TcpClient forged = connect_from("127.0.0.3");
  forged.send(v1("198.51.100.9", 1) + w::enter(6, "u6", 6));
  expect_closed_silently(forged);

  for (TcpClient* c : {&a, &b, &six, &late, &direct}) expect_served(*c);
  EXPECT_EQ("198.51.100.7:40001", address_of(0));
  EXPECT_EQ("198.51.100.7:40002", address_of(1));
  EXPECT_EQ("[2001:db8::7]:40000", address_of(2));
  EXPECT_EQ("198.51.100.8:40004", address_of(3));
  EXPECT_EQ("127.0.0.2", address_of(4).substr(0, 9));
  EXPECT_EQ(1, refusals(lobby::kRefusedPerAddress));
  EXPECT_EQ(1u, logged("refused 198.51.100.7: per-address limit"));
  EXPECT_EQ(1u, logged("login accepted slot 2 user 3 key 3 from 2001:db8::7"));
  EXPECT_EQ(1, drops(lobby::kDropBadFraming));
  EXPECT_EQ(1u, logged("proxies trusted (L_PROXY): 127.0.0.1"));
  EXPECT_EQ(0, refusals(lobby::kRefusedBadProxyHeader));
}

// A header that cannot be one, one not whole within 3 s and one cut off by
// a close are "bad proxy header", closed without a byte and never a
// strike. Health checks (LOCAL, a header naming the proxy itself, a close
// before any byte) take no slot and count toward nothing; each is
// reported as one (the process's log folds them, repeat_folder_test.cc).
TEST_F(ProxyDoorTest, BadHeadersAreRefusedAndHealthChecksTakeNothing) {
  use_deny_file();
  settings.L_AUTOBAN = 1;
  start();
  TcpClient garbage = via_proxy("GET / HTTP/1.0\r\n\r\n");
  expect_closed_silently(garbage);
  TcpClient slow = via_proxy("PROXY TCP4 198.51");
  clock.advance_ms(lobby::kProxyHeaderWaitMs - 1);
  settle();
  EXPECT_EQ("", slow.read_available());
  TcpClient cut = via_proxy("PROXY TCP4 198.51.100.7 ");
  cut.close();
  clock.advance_ms(1);
  expect_closed_silently(slow);
  settle();
  EXPECT_EQ(3, refusals(lobby::kRefusedBadProxyHeader));
  EXPECT_EQ(3u, logged("refused 127.0.0.1: bad proxy header"));

  for (const std::string& check :
       {kV2Local, kV2Local + w::enter(1, "x", 1), v1("127.0.0.1", 50000), std::string()}) {
    TcpClient c = via_proxy(check);
    if (check.empty()) c.close();
    if (!check.empty()) expect_closed_silently(c);
  }
  settle();
  EXPECT_EQ(2u, logged("proxy 127.0.0.1: health check (LOCAL)"));
  EXPECT_EQ(1u, logged("proxy 127.0.0.1: health check (a header naming a trusted proxy)"));
  EXPECT_EQ(1u, logged("proxy 127.0.0.1: health check (closed without a header)"));

  EXPECT_EQ(0, lobby().counters[lobby::kCountConnections].load());
  EXPECT_EQ(0, lobby().deny_list.entry_count());
  EXPECT_NE(std::string::npos, status().find("\"connecting too fast\":0,\"bad proxy header\":3}"));
  char counts[lobby::kDropCountsBytes];
  lobby().format_drop_counts(counts, sizeof counts);
  EXPECT_NE(std::string::npos, std::string(counts).find(", bad proxy header 3"));
}

// A proxy that cannot name its client (UNKNOWN, UNSPEC) passes it on with
// its own address, under every limit; the drops of such clients ban
// nobody. A client the header names is banned for its own drops, and the
// proxy's other clients still get in.
TEST_F(ProxyDoorTest, UnknownClientsShareTheProxysAddressButNeverBanIt) {
  use_deny_file();
  settings.L_AUTOBAN = 2;
  settings.L_PER_IP = 2;
  start();
  TcpClient u1 = enter_via("PROXY UNKNOWN\r\n", 1);
  TcpClient u2 = enter_via(kV2Unspec, 2);
  TcpClient u3 = via_proxy("PROXY UNKNOWN\r\n");
  expect_refused(u3);
  EXPECT_EQ("127.0.0.1", address_of(0).substr(0, 9));
  for (TcpClient* u : {&u1, &u2}) {
    u->send("2Z");
    expect_closed_silently(*u);
  }
  for (int i = 0; i < 2; ++i) {
    TcpClient bad = enter_via(v1("198.51.100.9", 40000 + i), 10 + i);
    bad.send("2Z");
    expect_closed_silently(bad);
  }
  settle();
  TcpClient banned = via_proxy(v1("198.51.100.9", 40009));
  expect_closed_silently(banned);
  TcpClient other = enter_via(v1("198.51.100.10", 40010), 20);
  TcpClient unknown = enter_via("PROXY UNKNOWN\r\n", 21);
  expect_served(other);
  expect_served(unknown);
  EXPECT_EQ(1, lobby().auto_ban_table.count());
  EXPECT_TRUE(lobby().auto_ban_table.bans(net::IpAddress::from_v4(0xC6336409), clock.now_ms()));
  EXPECT_FALSE(lobby().auto_ban_table.bans(net::IpAddress::from_v4(0x7f000001), clock.now_ms()));
  EXPECT_EQ(4, drops(lobby::kDropBadFraming));
  EXPECT_EQ(1, refusals(lobby::kRefusedDenied));
}

// At most kProxyWaiting connections wait for their headers; the next one,
// trusted or not, waits in the listen queue until one of them is done. A
// reload that drops the proxy applies to later connections only: one
// already waiting still has its header read.
TEST_F(ProxyDoorTest, AFullTableLeavesTheListenQueueAloneAndAReloadAppliesToNewcomers) {
  start();
  std::vector<TcpClient> waiting;
  for (int i = 0; i < lobby::kProxyWaiting; ++i) waiting.push_back(via_proxy(""));
  TcpClient direct = connect_from("127.0.0.2");
  EXPECT_EQ(0u, logged("accepted"));
  waiting[0].send(v1("198.51.100.1", 40001) + w::enter(1, "u1", 1));
  expect_bytes(waiting[0], w::list_end() + w::group_count(1));
  log_in(direct, 2, 2);
  EXPECT_EQ("198.51.100.1:40001", address_of(0));

  config::Settings next = lobby().live.current();
  next.L_PROXY = config::ProxyList();
  lobby().live.publish(next);
  settle();
  EXPECT_EQ(1u, logged("proxies trusted (L_PROXY): none"));
  TcpClient now_untrusted = connect_from("127.0.0.1");
  settle();
  EXPECT_EQ("127.0.0.1:", address_of(2).substr(0, 10));
  now_untrusted.send(v1("198.51.100.2", 40002));
  expect_closed_silently(now_untrusted);
  waiting[1].send(v1("198.51.100.3", 40003) + w::enter(3, "u3", 3));
  expect_bytes(waiting[1], w::list_end() + w::group_count(1));
  EXPECT_EQ(1u, logged("login accepted slot 2 user 3 key 3 from 198.51.100.3"));
}

// A proxied newcomer that must wait for a displaced connection's slot keeps
// the login that came with its header, and is served it once placed.
TEST_F(ProxyDoorTest, AHeldNewcomerKeepsTheBytesThatCameWithItsHeader) {
  settings.ROOM = 1;
  settings.L_LOGIN_WAIT = 30;
  start();
  std::vector<TcpClient> silent;
  for (int i = 0; i < lobby::kSlotsPerWorker; ++i) silent.push_back(connect_from("127.0.0.2"));
  clock.advance_ms(lobby::kDisplaceAfterMs);
  settle();
  TcpClient newcomer = via_proxy(v1("198.51.100.1", 40001), w::enter(1, "u1", 1));
  expect_bytes(newcomer, w::list_end() + w::group_count(1));
  expect_closed_silently(silent[0]);
  EXPECT_EQ(1, drops(lobby::kDropDisplaced));
  EXPECT_EQ("198.51.100.1:40001", address_of(0));
}

}  // namespace
