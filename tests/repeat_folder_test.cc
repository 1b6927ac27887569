// Repeated refusals and drops of one address folded into one line a
// minute: the folder's rules on a clock of the test's. The real server on
// the real clock: timer_process_test.cc.
#include "app/repeat_folder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr char kTimes[] = "\xC3\x97";  // the multiplication sign in UTF-8

class RepeatFolderTest : public ::testing::Test {
 protected:
  // Every line handed on since the last call.
  std::vector<std::string> take() {
    std::vector<std::string> taken;
    taken.swap(lines);
    return taken;
  }
  void refused(uint32_t addr, const char* reason, int64_t now_ms, int number = 2) {
    folder.report(app::RepeatFolder::kRefused, net::IpAddress::from_v4(addr), number, reason,
                  ("line " + std::to_string(addr) + " " + reason).c_str(), now_ms);
  }

  std::vector<std::string> lines;
  app::RepeatFolder folder{[this](const char* line) { lines.push_back(line); }};
};

constexpr uint32_t kAddr = 0xCB007109;  // 203.0.113.9

TEST_F(RepeatFolderTest, TheFirstIsWrittenTheRestCountedAndToldWhenTheMinuteEnds) {
  EXPECT_EQ(-1, folder.tell_ended(0));
  refused(kAddr, "denied", 1000);
  for (int i = 0; i < 5; ++i) refused(kAddr, "denied", 1000 + i * 10000);
  // Another reason, another kind and another address each open their own.
  refused(kAddr, "full", 2000, 0);
  folder.report(app::RepeatFolder::kDropped, net::IpAddress::from_v4(kAddr), 1, "bad framing",
                "drop line", 3000);
  folder.report(app::RepeatFolder::kDropped, net::IpAddress::from_v4(kAddr), 1, "bad framing",
                "drop line", 4000);
  refused(kAddr + 1, "denied", 5000);
  EXPECT_EQ((std::vector<std::string>{"line 3405803785 denied", "line 3405803785 full", "drop line",
                                      "line 3405803786 denied"}),
            take())
      << "first lines";
  // Not a millisecond early.
  EXPECT_EQ(1, folder.tell_ended(60999));
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(1000, folder.tell_ended(61000));
  EXPECT_EQ(std::vector<std::string>{"refused 203.0.113.9: denied " + std::string(kTimes) +
                                     "5 in the last 60 s"},
            take());
  // A window with nothing after its first closes without a line; a
  // window told late counts only its own minute.
  EXPECT_EQ(1000, folder.tell_ended(62000));
  EXPECT_TRUE(take().empty());
  refused(kAddr, "denied", 62500);
  EXPECT_EQ(std::vector<std::string>{"line 3405803785 denied"}, take()) << "a new minute";
  EXPECT_EQ(1000, folder.tell_ended(64000));
  EXPECT_EQ(std::vector<std::string>{"dropped 203.0.113.9: bad framing " + std::string(kTimes) +
                                     "1 in the last 60 s"},
            take());
  // An event after a window's end tells that window before its own line,
  // even when the keeper has not come by.
  refused(kAddr, "denied", 70000);
  refused(kAddr, "denied", 122500);
  EXPECT_EQ((std::vector<std::string>{
                "refused 203.0.113.9: denied " + std::string(kTimes) + "1 in the last 60 s",
                "line 3405803785 denied"}),
            take());
  // At the end every open window is told with the time it was open.
  refused(kAddr, "denied", 123000);
  refused(kAddr, "denied", 124000);
  folder.tell_all(125001);
  EXPECT_EQ(std::vector<std::string>{"refused 203.0.113.9: denied " + std::string(kTimes) +
                                     "2 in the last 3 s"},
            take());
  EXPECT_EQ(-1, folder.tell_ended(200000));

  // An IPv6 address is folded with the rest of its /64, which the count's
  // line names; the /64 next to it, and an IPv4 address that shares its
  // bits, have windows of their own.
  auto dropped = [this](const char* text, int64_t now_ms) {
    net::IpAddress address;
    ASSERT_EQ(0, net::parse_ip_address(text, &address));
    folder.report(app::RepeatFolder::kDropped, address, 1, "bad framing", text, now_ms);
  };
  dropped("2001:db8:0:7::1", 300000);
  dropped("2001:db8:0:7:ffff::2", 300001);
  dropped("2001:db8:0:7::3", 300002);
  dropped("2001:db8:0:8::1", 300003);
  dropped("::cb00:7109", 300004);
  dropped("203.0.113.9", 300005);
  EXPECT_EQ((std::vector<std::string>{"2001:db8:0:7::1", "2001:db8:0:8::1", "::cb00:7109",
                                      "203.0.113.9"}),
            take());
  folder.tell_all(360000);
  EXPECT_EQ(std::vector<std::string>{"dropped 2001:db8:0:7::/64: bad framing " +
                                     std::string(kTimes) + "2 in the last 60 s"},
            take());

  // A proxy's health checks are a kind of their own, by the proxy.
  for (int i = 0; i < 600; ++i) {
    folder.report(app::RepeatFolder::kChecked, net::IpAddress::from_v4(0x0A000001), 0,
                  "health checks", "proxy 10.0.0.1: health check (LOCAL)", 400000 + i * 100);
  }
  folder.tell_ended(460000);
  EXPECT_EQ((std::vector<std::string>{
                "proxy 10.0.0.1: health check (LOCAL)",
                "proxy 10.0.0.1: health checks " + std::string(kTimes) + "599 in the last 60 s"}),
            take());
}

// The table holds kRepeatEntries windows; beyond it further addresses
// share one window per kind and reason. Each kind and reason has its own
// ten addresses a minute before its crowd, so the table fills with many
// reasons at once.
TEST_F(RepeatFolderTest, BeyondTheTableAddressesAreFoldedByReasonAndEndedWindowsGiveWay) {
  int filled = 0;
  for (int reason = 0; reason < app::kRepeatReasons && filled < app::kRepeatEntries; ++reason) {
    for (int i = 0; i < app::kCrowdAfter && filled < app::kRepeatEntries; ++i, ++filled) {
      for (int kind = 0; kind < 2 && filled < app::kRepeatEntries; ++kind) {
        folder.report(static_cast<app::RepeatFolder::Kind>(kind),
                      net::IpAddress::from_v4(0x0A000000u + static_cast<uint32_t>(filled)), reason,
                      "r", "first", 0);
        filled += kind == 0 ? 1 : 0;
      }
    }
  }
  const size_t first_lines = take().size();
  EXPECT_GE(first_lines, static_cast<size_t>(app::kRepeatEntries));
  // The table is full: further addresses share one window per reason.
  folder.report(app::RepeatFolder::kLoginRefused, net::IpAddress::from_v4(0x0B000001u), 1,
                "not validated", "line b1", 100);
  folder.report(app::RepeatFolder::kLoginRefused, net::IpAddress::from_v4(0x0B000002u), 1,
                "not validated", "line b2", 200);
  folder.report(app::RepeatFolder::kLoginRefused, net::IpAddress::from_v4(0x0B000003u), 0,
                "key not positive", "line b3", 300);
  refused(0x0B000005u, "huge reason", 500, app::kRepeatReasons);
  refused(0x0B000005u, "huge reason", 600, app::kRepeatReasons);
  EXPECT_EQ((std::vector<std::string>{"line b1", "line b3", "line 184549381 huge reason",
                                      "line 184549381 huge reason"}),
            take());
  // Once the table's windows have ended, a new address gets an entry of
  // its own again.
  folder.report(app::RepeatFolder::kLoginRefused, net::IpAddress::from_v4(0x0C000001u), 1,
                "not validated", "line c1", 60000);
  EXPECT_EQ(std::vector<std::string>{"line c1"}, take());
  folder.tell_all(60100);
  EXPECT_EQ(std::vector<std::string>{"login refused other addresses: not validated " +
                                     std::string(kTimes) + "1 in the last 60 s"},
            take());
}

// More than ten addresses of one kind and reason in a minute: the first ten
// are written and folded each on its own, the rest of the minute (the ten
// included) is counted as one crowd and told at its end with the number of
// addresses and events and the five busiest. Every event is in one line or
// count (an address's count is what it surely had: one that came into the
// busiest few late may have had one more before). The next minute starts
// afresh; a fifth crowd at once is counted without its addresses.
TEST_F(RepeatFolderTest, ACrowdOfAddressesIsOneLineAtTheEndOfItsMinute) {
  auto drop = [this](uint32_t addr, int64_t now_ms) {
    folder.report(app::RepeatFolder::kDropped, net::IpAddress::from_v4(addr), 0, "peer closed",
                  ("drop " + std::to_string(addr & 0xffff)).c_str(), now_ms);
  };
  const uint32_t base = 0x7F010000u;  // 127.1.0.0
  for (uint32_t i = 1; i <= 10; ++i) drop(base + i, 1000);
  drop(base + 1, 1500);  // a repeat of one of the ten: its own window
  EXPECT_EQ(10u, take().size());
  // The eleventh address: from here on, a crowd.
  int64_t events = 0;
  for (uint32_t i = 11; i <= 2000; ++i, ++events) drop(base + i, 2000 + i);
  for (int i = 0; i < 300; ++i, ++events) drop(base + 500, 30000);
  for (int i = 0; i < 200; ++i, ++events) drop(base + 7, 30000);  // one of the ten
  for (int i = 0; i < 100; ++i, ++events) drop(base + 900, 30000);
  for (int i = 0; i < 50; ++i, ++events) drop(base + 1200, 30000);
  for (int i = 0; i < 40; ++i, ++events) drop(base + 1300, 30000);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(1000, folder.tell_ended(60000));
  EXPECT_TRUE(take().empty());
  folder.tell_ended(61000);
  const std::string x = kTimes;
  EXPECT_EQ(
      (std::vector<std::string>{
          "dropped 127.1.0.1: peer closed " + x + "1 in the last 60 s",
          "dropped 1991 addresses: peer closed " + x + std::to_string(events) +
              " in the last 60 s; most 127.1.1.244 " + x + "300, 127.1.0.7 " + x +
              "200, 127.1.3.132 " + x + "100, 127.1.4.176 " + x + "50, 127.1.5.20 " + x + "40"}),
      take());
  // The next minute: ten lines again, then its own crowd.
  for (uint32_t i = 1; i <= 12; ++i) drop(base + 5000 + i, 70000);
  EXPECT_EQ(10u, take().size());
  folder.tell_all(80000);
  const std::vector<std::string> told = take();
  ASSERT_EQ(1u, told.size());
  EXPECT_EQ("dropped 2 addresses: peer closed " + x + "2 in the last 10 s; most 127.1.19.147 " + x +
                "1, 127.1.19.148 " + x + "1",
            told[0]);

  // Past the crowd's exact set, an estimate within 2%, marked "about".
  for (uint32_t i = 0; i < 30000; ++i) {
    refused(0x0A000000u + i * 7, "denied", 100000);
  }
  take();
  folder.tell_all(100500);
  const std::vector<std::string> estimated = take();
  ASSERT_EQ(1u, estimated.size());
  const std::string head = "refused about ";
  ASSERT_EQ(0u, estimated[0].find(head)) << estimated[0];
  const long addresses = std::stol(estimated[0].substr(head.size()));
  EXPECT_NEAR(29990, addresses, 600) << estimated[0];
  EXPECT_NE(std::string::npos, estimated[0].find("denied " + x + "29990 in the last 1 s"))
      << estimated[0];

  // Five crowds at once: the fifth is counted without its addresses.
  for (int reason = 0; reason < 5; ++reason) {
    for (uint32_t i = 0; i < 12; ++i) {
      folder.report(app::RepeatFolder::kRefused, net::IpAddress::from_v4(0x0B000000u + i), reason,
                    "why", "line", 200000);
    }
  }
  take();
  folder.tell_all(200000);
  const std::vector<std::string> crowds = take();
  ASSERT_EQ(5u, crowds.size());
  EXPECT_EQ("refused more than 10 addresses: why " + x + "2 in the last 1 s", crowds[4]);
}
}  // namespace
