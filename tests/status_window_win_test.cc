// The Windows status display in console mode: a finished drain ends it as
// Cancel does, whether the request comes before the display runs or while
// it waits. (Run under Wine; a display that missed the request would wait
// for ever and the run would time out.)
#include "app/status_window_win.h"

#include <gtest/gtest.h>

#include <thread>

#include "app/status_notify.h"
#include "config/settings.h"
#include "lobby/lobby_state.h"

namespace {

TEST(StatusWindowTest, AFinishedDrainEndsTheConsoleDisplay) {
  config::Settings settings;
  lobby::Lobby lobby(settings, nullptr);
  app::StatusWindow display(true);
  ASSERT_EQ(0, display.setup());
  std::thread drain([] { app::request_shutdown(); });
  EXPECT_EQ(app::kStatusCancel, display.run(lobby));
  drain.join();
  EXPECT_TRUE(app::shutdown_requested());
}

}  // namespace
