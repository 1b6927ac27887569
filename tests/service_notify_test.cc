// The service manager's notices without a process: the datagram address
// forms, which watchdog belongs to us, the watchdog's deadlines as the
// keeper sees them, and the status texts.
#include "app/service_notify.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "config/settings.h"
#include "lobby/lobby_state.h"
#include "net/socket_ops.h"
#include "net/unix_datagram.h"
#include "tests/support/child_process.h"
#include "tests/support/notify_socket.h"

namespace {

using testing_support::FakeNotifySocket;
using testing_support::ScopedEnv;
using testing_support::TempDir;

TEST(UnixDatagramTest, ReachesPathsAndAbstractNamesAndRefusesTheRest) {
  TempDir dir;
  FakeNotifySocket by_path;
  ASSERT_TRUE(by_path.bind_to(dir.file("notify")));
  FakeNotifySocket abstract;
  ASSERT_TRUE(abstract.bind_to("@lobby-datagram-test-" + std::to_string(getpid())));
  for (FakeNotifySocket* target : {&by_path, &abstract}) {
    const int fd = net::unix_datagram_to(target->address().c_str());
    ASSERT_GE(fd, 0) << target->address();
    const std::string text = "STATUS=" + target->address();
    EXPECT_EQ(static_cast<int>(text.size()),
              net::send_nb(fd, reinterpret_cast<const uint8_t*>(text.data()),
                           static_cast<int>(text.size())));
    net::close_fd(fd);
    std::string got;
    ASSERT_TRUE(target->next_notice(&got, 1000));
    EXPECT_EQ(text, got);
  }
  EXPECT_EQ(-1, net::unix_datagram_to(""));
  EXPECT_EQ(-1, net::unix_datagram_to("@"));
  EXPECT_EQ(-1, net::unix_datagram_to(dir.file("nobody-here").c_str()));
  EXPECT_EQ(-1, net::unix_datagram_to(("/" + std::string(200, 'x')).c_str()));
}

TEST(ServiceNotifierTest, SetupReadsTheEnvironment) {
  TempDir dir;
  FakeNotifySocket notify;
  ASSERT_TRUE(notify.bind_to(dir.file("notify")));
  const std::string own_pid = std::to_string(getpid());
  const std::string other_pid = std::to_string(getpid() + 1);
  struct Case {
    const char* socket;
    const char* usec;
    const char* pid;
    int result;
    int64_t period_ms;
  };
  const Case cases[] = {
      {nullptr, "300000", nullptr, app::ServiceNotifier::kNotAsked, 0},
      {"", nullptr, nullptr, app::ServiceNotifier::kNotAsked, 0},
      {"/nonexistent/notify", nullptr, nullptr, app::ServiceNotifier::kUnreachable, 0},
      {notify.address().c_str(), nullptr, nullptr, app::ServiceNotifier::kOn, 0},
      {notify.address().c_str(), "300000", nullptr, app::ServiceNotifier::kOn, 150},
      {notify.address().c_str(), "300000", own_pid.c_str(), app::ServiceNotifier::kOn, 150},
      {notify.address().c_str(), "300000", other_pid.c_str(), app::ServiceNotifier::kOn, 0},
      {notify.address().c_str(), "300000x", nullptr, app::ServiceNotifier::kOn, 0},
      {notify.address().c_str(), "0", nullptr, app::ServiceNotifier::kOn, 0},
      {notify.address().c_str(), "999", nullptr, app::ServiceNotifier::kOn, 1},
  };
  for (const Case& c : cases) {
    ScopedEnv env(
        {{"NOTIFY_SOCKET", c.socket}, {"WATCHDOG_USEC", c.usec}, {"WATCHDOG_PID", c.pid}});
    app::ServiceNotifier notifier;
    EXPECT_EQ(c.result, notifier.setup()) << (c.socket ? c.socket : "(unset)");
    EXPECT_EQ(c.period_ms, notifier.watchdog_period_ms())
        << (c.usec ? c.usec : "(unset)") << " pid " << (c.pid ? c.pid : "(unset)");
  }
}

// The keeper feeds the watchdog at once, then every period, and says how
// long it may sleep; a status is sent once per change of the counts.
TEST(ServiceNotifierTest, KeeperDeadlinesAndStatusChanges) {
  TempDir dir;
  FakeNotifySocket notify;
  ASSERT_TRUE(notify.bind_to(dir.file("notify")));
  ScopedEnv env({{"NOTIFY_SOCKET", notify.address().c_str()},
                 {"WATCHDOG_USEC", "300000"},
                 {"WATCHDOG_PID", nullptr}});
  config::Settings settings;
  lobby::Lobby lobby(settings, nullptr);
  app::ServiceNotifier notifier;
  ASSERT_EQ(app::ServiceNotifier::kOn, notifier.setup());
  notifier.watch(&lobby);

  EXPECT_EQ(150, notifier.keeper_pass(1000));
  EXPECT_EQ(50, notifier.keeper_pass(1100));
  EXPECT_EQ(150, notifier.keeper_pass(1150));
  EXPECT_EQ(150, notifier.keeper_pass(1300));  // exactly due
  EXPECT_EQ(3, notify.count_watchdogs(200));

  notifier.counts_changed();
  lobby.connected_count.store(12);
  lobby.rooms_in_use.store(2);
  notifier.counts_changed();
  notifier.counts_changed();  // nothing changed since
  lobby.connected_count.store(1);
  lobby.rooms_in_use.store(1);
  notifier.counts_changed();
  notifier.ready();
  notifier.stopping();
  std::string notice;
  for (const char* expected : {"STATUS=0 users, 0 rooms", "STATUS=12 users, 2 rooms",
                               "STATUS=1 users, 1 rooms", "READY=1", "STOPPING=1"}) {
    ASSERT_TRUE(notify.next_notice(&notice, 1000)) << expected;
    EXPECT_EQ(expected, notice);
  }
  EXPECT_FALSE(notify.next_notice(&notice, 0)) << notice;

  // A receiver whose queue is full: READY=1 and the last counts are kept
  // and sent by the next keeper pass, in that order.
  for (int users = 2; users <= 40; ++users) {
    lobby.connected_count.store(users);
    notifier.counts_changed();
  }
  notifier.ready();
  while (notify.next_notice(&notice, 0)) EXPECT_NE("READY=1", notice);
  notifier.keeper_pass(2000);
  for (const char* expected : {"READY=1", "STATUS=40 users, 1 rooms"}) {
    ASSERT_TRUE(notify.next_notice(&notice, 1000)) << expected;
    EXPECT_EQ(expected, notice);
  }
}

}  // namespace
