// The door's per-address tables under attackers who bring more addresses
// than a table holds, or pick addresses that land on one place: each stays
// within its fixed size, keeps limiting the address that attacks right now,
// and holds a newcomer it has no place for as strictly as its most limited
// address. Pure logic on a clock of the test's; the door over TCP is in
// admission_test.cc and protection_test.cc.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "lobby/auto_ban.h"
#include "lobby/ban_table.h"
#include "lobby/chat_pace.h"
#include "lobby/connection_rate.h"
#include "lobby/keyed_hash.h"

namespace {

// The place the connection-rate table gave an IPv4 address before its hash
// was keyed: anyone could compute addresses that share it.
int unkeyed_place(uint32_t addr) { return static_cast<int>((addr * 2654435769u) >> 22) & 1023; }

// The addresses from 127.100.0.0 on that shared 127.100.0.7's place.
std::vector<uint32_t> colliding_addresses(int count) {
  std::vector<uint32_t> found;
  const uint32_t first = 0x7F640007u;  // 127.100.0.7
  for (uint32_t a = first; found.size() < static_cast<size_t>(count); ++a) {
    if (unkeyed_place(a) == unkeyed_place(first)) found.push_back(a);
  }
  return found;
}

TEST(KeyedHashTest, IsSipHash24OfTheWord) {
  // The reference vector of SipHash-2-4 for the 8 bytes 00..07 under the
  // key 00..0f.
  const lobby::KeyedHash hash(0x0706050403020100ULL, 0x0F0E0D0C0B0A0908ULL);
  EXPECT_EQ(0x93F5F5799A932462ULL, hash(0x0706050403020100ULL));
  // Two tables draw two keys.
  EXPECT_NE(lobby::KeyedHash()(1), lobby::KeyedHash()(1));
}

// Addresses that shared one place of yesterday's table each loop
// connections: each gets its 20 at once and then one every 3 s, 20 a
// minute, never more. 9 of them got 1,784 in a minute before.
TEST(ConnectionRateTest, AddressesChosenToCollideEachGetTwentyThenTwentyAMinute) {
  const std::vector<uint32_t> addrs = colliding_addresses(18);
  ASSERT_EQ(127 * 16777216u + 100 * 65536u + 2 * 256u + 105, addrs[1]);  // 127.100.2.105
  lobby::ConnectionRate rate(20);
  std::vector<int> admitted(addrs.size(), 0);
  for (int64_t ms = 0; ms < 60000; ms += 100) {
    for (size_t i = 0; i < addrs.size(); ++i) admitted[i] += rate.admit(addrs[i], ms) ? 1 : 0;
  }
  for (size_t i = 0; i < addrs.size(); ++i) EXPECT_EQ(39, admitted[i]) << i;  // 20 + 19 in 59.9 s
  for (size_t i = 0; i < addrs.size(); ++i) EXPECT_TRUE(rate.admit(addrs[i], 60000)) << i;
}

// A spray of fresh addresses, more than the table holds, each once: the
// address that was cycling before stays limited (its bucket limits it, so it
// is never forgotten), and nearly every honest newcomer still gets in.
// When every place holds a bucket that is empty, a newcomer without a place
// is held as strictly as they are.
TEST(ConnectionRateTest, ASprayOfAddressesNeitherFreesTheAttackerNorLocksOutNewcomers) {
  lobby::ConnectionRate rate(20, lobby::KeyedHash(1, 2));
  const uint64_t cycler = 0x7F000009u;
  int cycler_in = 0;
  for (int i = 0; i < 40; ++i) cycler_in += rate.admit(cycler, 0) ? 1 : 0;
  EXPECT_EQ(20, cycler_in);
  int newcomers_in = 0;
  for (uint32_t a = 0; a < 50000; ++a) {
    rate.admit(0x0A000000u + a, a / 50);  // 50 a millisecond
    if (a % 500 == 0) newcomers_in += rate.admit(0x0B000000u + a, a / 50) ? 1 : 0;
    if (a % 100 == 0) cycler_in += rate.admit(cycler, a / 50) ? 1 : 0;
  }
  // 1 s of spray: a connection back every 3 s at most.
  EXPECT_LE(cycler_in, 21);
  EXPECT_GE(newcomers_in, 95);

  // Every address at its limit: a newcomer with no place gets nothing.
  lobby::ConnectionRate spent(1, lobby::KeyedHash(3, 4));
  for (uint32_t a = 1; a <= 2 * lobby::kRateEntries; ++a) spent.admit(a, 0);
  int refused = 0;
  for (uint32_t a = 0; a < 100; ++a) refused += spent.admit(0x0C000000u + a, 0) ? 0 : 1;
  EXPECT_GE(refused, 95);
}

// A bucket that still limits its address is never forgotten for others; a
// newcomer with no place of its own shares the emptiest bucket.
TEST(ChatPaceTest, AnEmptyBucketIsKeptWhileManyAddressesComeAndGo) {
  lobby::ChatPace pace;
  int wait_ms = 0;
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(pace.take(1, 2, 10, 0, &wait_ms));
  EXPECT_FALSE(pace.take(1, 2, 10, 0, &wait_ms));
  EXPECT_EQ(500, wait_ms);
  // 1000 other addresses each say a line: every bucket but the full ones
  // still limits its address.
  for (uint64_t a = 100; a < 1100; ++a) pace.take(a, 2, 10, 1, &wait_ms);
  EXPECT_FALSE(pace.take(1, 2, 10, 2, &wait_ms));
  // 256 addresses empty theirs: a newcomer without a bucket waits with the
  // emptiest.
  for (uint64_t a = 2000; a < 2000 + lobby::kChatPaceEntries; ++a) {
    for (int i = 0; i < 10; ++i) pace.take(a, 2, 10, 3, &wait_ms);
  }
  EXPECT_FALSE(pace.take(9999, 2, 10, 3, &wait_ms));
  // Full again 5 s later: forgetting them gives nothing away.
  EXPECT_TRUE(pace.take(9999, 2, 10, 5003, &wait_ms));
  EXPECT_TRUE(pace.take(1, 2, 10, 5003, &wait_ms));
}

// 127.77.0.1 is dropped four times, 256 other addresses once each, then
// 127.77.0.1 a fifth time: banned, its count not forgotten. Then 1,100
// more addresses once each: those that find the table full share one
// count, which bans each of them from its fifth on, and so a new attacker
// with no place is banned at once.
TEST(AutoBanTest, AnAddressStrikesAreNotForgottenForOthers) {
  lobby::AutoBan bans;
  lobby::DueBan due;
  const net::IpAddress attacker = net::IpAddress::from_v4(0x7F4D0001u);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(bans.strike(attacker, lobby::kDropBadFraming, 5, i));
  for (uint32_t a = 0; a < 256; ++a) {
    EXPECT_FALSE(bans.strike(net::IpAddress::from_v4(0x0A000000u + a), lobby::kDropNoLogin, 5, 10));
  }
  EXPECT_TRUE(bans.strike(attacker, lobby::kDropBadFraming, 5, 20));
  ASSERT_TRUE(bans.take_due(&due));
  EXPECT_EQ(attacker, due.addr);
  EXPECT_EQ(5, due.strikes[lobby::kDropBadFraming]);
  EXPECT_FALSE(due.shared);
  EXPECT_FALSE(bans.take_due(&due));

  int banned = 0;
  for (uint32_t a = 256; a < 256 + 1100; ++a) {
    if (!bans.strike(net::IpAddress::from_v4(0x0A000000u + a), lobby::kDropNoLogin, 5, 30))
      continue;
    ++banned;
    ASSERT_TRUE(bans.take_due(&due));
    EXPECT_TRUE(due.shared);
  }
  EXPECT_EQ(lobby::kStrikeEntries, bans.entries_in_use());
  const int homeless = 256 + 1100 - lobby::kStrikeEntries;
  EXPECT_EQ(homeless, bans.shared_strikes());
  EXPECT_EQ(homeless - 4, banned);
  const net::IpAddress newcomer = net::IpAddress::from_v4(0x0B000001u);
  EXPECT_TRUE(bans.strike(newcomer, lobby::kDropBadFraming, 5, 40));
  ASSERT_TRUE(bans.take_due(&due));
  EXPECT_EQ(newcomer, due.addr);
  EXPECT_EQ(5, due.strikes[lobby::kDropNoLogin] + due.strikes[lobby::kDropBadFraming]);
  // Ten minutes on, the old counts limit nothing and give their places.
  EXPECT_FALSE(bans.strike(newcomer, lobby::kDropBadFraming, 5, 41 + lobby::kStrikeWindowMs));
  EXPECT_EQ(homeless + 1, bans.shared_strikes());
}

// The automatic bans' own table: bans by address, found by network when
// the table was full, the soonest to end giving way when no network can be
// folded, and lifted or expired one by one.
TEST(BanTableTest, AFullTableBansTheNetworkAndNeverRefusesABan) {
  lobby::BanTable table;
  const std::array<int32_t, lobby::kDropReasons> strikes = {0, 5};
  net::IpPrefix banned;
  // One address of each of kAutoBans /24s, 10.x.y.1, the first ending first.
  for (int i = 0; i < lobby::kAutoBans; ++i) {
    const net::IpAddress addr =
        net::IpAddress::from_v4(0x0A000001u + (static_cast<uint32_t>(i) << 8));
    table.add(addr, strikes, false, i, 1000000 + i, 600, &banned);
    EXPECT_EQ(32, banned.bits);
  }
  EXPECT_EQ(lobby::kAutoBans, table.count());
  const net::IpAddress first = net::IpAddress::from_v4(0x0A000001u);
  EXPECT_TRUE(table.bans(first, 5000));
  EXPECT_FALSE(table.bans(net::IpAddress::from_v4(0x0A000002u), 5000));
  // Full, and no ban of 11.0.0.0/24: the ban ending soonest gives way.
  table.add(net::IpAddress::from_v4(0x0B000001u), strikes, false, 5000, 1005000, 600, &banned);
  EXPECT_EQ(32, banned.bits);
  EXPECT_FALSE(table.bans(first, 5000));
  EXPECT_TRUE(table.bans(net::IpAddress::from_v4(0x0B000001u), 5000));
  // Full, and 10.0.1.0/24 holds a ban: the network is banned as one entry.
  const net::IpAddress neighbour = net::IpAddress::from_v4(0x0A000107u);
  table.add(neighbour, strikes, false, 6000, 1006000, 600, &banned);
  char text[net::kIpPrefixTextBytes];
  banned.format(text);
  EXPECT_STREQ("10.0.1.0/24", text);
  EXPECT_TRUE(table.bans(net::IpAddress::from_v4(0x0A0001FEu), 6000));
  EXPECT_EQ(lobby::kAutoBans, table.count());
  std::vector<lobby::AutoBanRecord> listed(lobby::kAutoBans);
  ASSERT_EQ(lobby::kAutoBans, table.list(6000, listed.data(), lobby::kAutoBans));
  const lobby::AutoBanRecord& network = listed.back();
  EXPECT_EQ(banned, network.prefix);
  EXPECT_EQ(2, network.addresses);
  EXPECT_EQ(10, network.strikes[1]);
  char reason[256];
  lobby::format_auto_ban_reason(network, reason, sizeof reason);
  EXPECT_STREQ("2 addresses dropped 10 times in 10 minutes (bad framing 10)", reason);
  // Lifted by its exact prefix; its time up, a ban is gone.
  EXPECT_TRUE(table.remove(banned));
  EXPECT_FALSE(table.remove(banned));
  EXPECT_FALSE(table.bans(neighbour, 6000));
  EXPECT_TRUE(table.bans(net::IpAddress::from_v4(0x0A000201u), 600001));
  EXPECT_FALSE(table.bans(net::IpAddress::from_v4(0x0A000201u), 600002));
  table.expire(600002 + lobby::kAutoBans);
  EXPECT_EQ(1, table.count());  // 11.0.0.1, put in force last
}

// A reload's L_AUTOBAN counts from the next drop: each strike is judged by
// the limit in force when it comes, and the ban carries the strikes that
// made it due. 0 notes nothing at all.
TEST(AutoBanTest, EachStrikeIsJudgedByTheLimitInForceThen) {
  lobby::AutoBan bans;
  const net::IpAddress addr = net::IpAddress::from_v4(0x7f000009);
  EXPECT_FALSE(bans.strike(addr, lobby::kDropNoLogin, 0, 0));
  EXPECT_FALSE(bans.strike(addr, lobby::kDropNoLogin, 3, 10));
  EXPECT_FALSE(bans.strike(addr, lobby::kDropFlooding, 3, 20));
  lobby::DueBan due;
  EXPECT_FALSE(bans.take_due(&due));
  // Lowered to 2: this strike is the second within the window.
  EXPECT_TRUE(bans.strike(addr, lobby::kDropBadFraming, 2, 30));
  ASSERT_TRUE(bans.take_due(&due));
  EXPECT_EQ(addr, due.addr);
  EXPECT_EQ(0, due.strikes[lobby::kDropNoLogin]);
  EXPECT_EQ(1, due.strikes[lobby::kDropFlooding]);
  EXPECT_EQ(1, due.strikes[lobby::kDropBadFraming]);
  EXPECT_FALSE(bans.take_due(&due));
}

// A reload's L_CONN_RATE: the same value keeps every bucket; another one
// starts every address afresh at the new pace; 0 lets everything through.
TEST(ConnectionRateTest, ARetuneToANewPaceStartsEveryAddressAfresh) {
  lobby::ConnectionRate rate(2);
  const uint32_t addr = 0x7f000002;
  EXPECT_TRUE(rate.admit(addr, 0));
  EXPECT_TRUE(rate.admit(addr, 0));
  EXPECT_FALSE(rate.admit(addr, 0));
  rate.retune(2);
  EXPECT_FALSE(rate.admit(addr, 0));
  rate.retune(3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(rate.admit(addr, 0)) << i;
  EXPECT_FALSE(rate.admit(addr, 0));
  EXPECT_TRUE(rate.admit(addr, 20000));
  rate.retune(0);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(rate.admit(addr, 20000)) << i;
}

}  // namespace
