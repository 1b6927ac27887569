// The status display without a terminal: the lines it writes to a pipe, and
// what it still writes when a stop comes first.
#include "app/status_display.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <string>

namespace {

std::unique_ptr<lobby::Lobby> make_lobby(int rooms) {
  config::Settings settings;
  settings.ROOM = rooms;
  return std::make_unique<lobby::Lobby>(settings, nullptr);
}

TEST(StatusLinesTest, ShowTheConfiguredRoomCountAsWritten) {
  std::string lines[app::StatusDisplay::kLineCount];
  app::StatusDisplay::format_lines(*make_lobby(4), lines);
  EXPECT_EQ("■【 sample_lobby 】■", lines[0]);
  EXPECT_EQ("GAME_DATA  Ver( 0 )", lines[1]);
  EXPECT_EQ("USER_DATA: 0 / 32", lines[2]);
  EXPECT_EQ("ROOM_DATA: 0 / 4", lines[3]);
  // A negative count serves nobody but is shown as it stands; the capacity
  // wraps as a 32-bit product instead of overflowing.
  app::StatusDisplay::format_lines(*make_lobby(-2), lines);
  EXPECT_EQ("USER_DATA: 0 / -16", lines[2]);
  EXPECT_EQ("ROOM_DATA: 0 / -2", lines[3]);
  app::StatusDisplay::format_lines(*make_lobby(INT_MIN), lines);
  EXPECT_EQ("USER_DATA: 0 / 0", lines[2]);
  EXPECT_EQ("ROOM_DATA: 0 / -2147483648", lines[3]);
}

// A stop signal already waiting when the display starts: the four lines
// still reach the pipe before it ends.
TEST(StatusDisplayTest, AStopBeforeTheFirstWriteStillWritesTheLines) {
  int out[2];
  ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
  const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(input, 0);
  auto lobby = make_lobby(4);
  int result = -1;
  {
    app::StatusDisplay display(input, out[1]);
    ASSERT_EQ(0, display.setup());
    ASSERT_FALSE(display.interactive());
    // Blocked by setup: it waits for the display's signal descriptor.
    ASSERT_EQ(0, raise(SIGTERM));
    result = display.run(*lobby);
  }
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
  EXPECT_EQ(app::StatusDisplay::kResultCancel, result);

  close(out[1]);
  std::string written;
  char buffer[512];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0)
    written.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  close(input);
  EXPECT_EQ("■【 sample_lobby 】■\nGAME_DATA  Ver( 0 )\nUSER_DATA: 0 / 32\nROOM_DATA: 0 / 4\n",
            written);
}

}  // namespace
