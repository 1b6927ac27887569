// lobby_server with a worker that can be stalled on demand, for the test of
// the service manager's watchdog. LOBBY_TEST_STALL_WORKER names the worker;
// SIGUSR1 stalls it at the start of its next pass, as a handler stuck for
// good would stall it, and SIGUSR2 lets it go on. Everything else is the
// lobby_server program, with the same settings, display and exit statuses.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "app/lobby_process.h"
#include "app/server_options.h"
#include "app/status_display.h"
#include "config/settings.h"
#include "lobby/server.h"
#include "net/socket_ops.h"

namespace {

std::atomic<int> stalled_worker{-1};
std::atomic<bool> stall_wanted{false};
std::atomic<bool> release_wanted{false};

void on_stall_signal(int) { stall_wanted.store(true); }
void on_release_signal(int) { release_wanted.store(true); }

void stall_hook(int worker) {
  if (worker != stalled_worker.load() || !stall_wanted.load()) return;
  while (!release_wanted.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  stall_wanted.store(false);
  release_wanted.store(false);
}

}  // namespace

int main() {
  const char* worker = std::getenv("LOBBY_TEST_STALL_WORKER");
  if (worker != nullptr) stalled_worker.store(std::atoi(worker));
  struct sigaction action = {};
  action.sa_handler = on_stall_signal;
  sigaction(SIGUSR1, &action, nullptr);
  action.sa_handler = on_release_signal;
  sigaction(SIGUSR2, &action, nullptr);
  lobby::set_worker_pass_hook(stall_hook);

  net::start_sockets();
  config::Settings settings;
  auto reading = std::make_shared<config::ConfigReading>();
  app::read_start_settings(&settings, reading.get());
  app::StatusDisplay display;
  if (display.setup() != 0) return app::kExitNoDisplay;
  return app::run_lobby(settings, reading,
                        [&display](const lobby::Lobby& lobby) { return display.run(lobby); });
}
