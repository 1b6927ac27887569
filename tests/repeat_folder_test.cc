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
}

TEST_F(RepeatFolderTest, BeyondTheTableAddressesAreFoldedByReasonAndEndedWindowsGiveWay) {
  for (int i = 0; i < app::kRepeatEntries; ++i) refused(0x0A000000u + i, "denied", 0);
  EXPECT_EQ(static_cast<size_t>(app::kRepeatEntries), take().size());
  // The table is full: further addresses share one window per reason.
  refused(0x0B000001u, "denied", 100);
  refused(0x0B000002u, "denied", 200);
  refused(0x0B000003u, "denied", 300);
  refused(0x0B000004u, "full", 400, 0);
  refused(0x0B000005u, "huge reason", 500, app::kRepeatReasons);
  refused(0x0B000005u, "huge reason", 600, app::kRepeatReasons);
  EXPECT_EQ((std::vector<std::string>{"line 184549377 denied", "line 184549380 full",
                                      "line 184549381 huge reason", "line 184549381 huge reason"}),
            take());
  // Once the table's windows have ended, a new address gets an entry of
  // its own again, and the ended ones are told first.
  refused(0x0A000000u, "denied", 1000);
  refused(0x0C000001u, "denied", 60000);
  EXPECT_EQ((std::vector<std::string>{
                "refused 10.0.0.0: denied " + std::string(kTimes) + "1 in the last 60 s",
                "line 201326593 denied"}),
            take());
  folder.tell_all(60100);
  EXPECT_EQ(std::vector<std::string>{"refused other addresses: denied " + std::string(kTimes) +
                                     "2 in the last 60 s"},
            take());
}

}  // namespace
