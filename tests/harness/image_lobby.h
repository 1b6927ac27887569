// A lobby with something of every table in it, for the state image: its
// golden file (tests/data), its tests and its fuzz target's seeds. A server
// whose threads never start, over the in-memory transport, on a clock that
// moves only when told, driven through the server's own serving loop by a
// fixed script: clients logged in to two groups (one from IPv6), a game with direct
// messages waiting, chat lines held by their address's pace, a half chat
// line, a client held by its flood pace, one that never logged in with a
// drop asked for it, strikes against its address, and a drain.
#ifndef TESTS_HARNESS_IMAGE_LOBBY_H_
#define TESTS_HARNESS_IMAGE_LOBBY_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "config/settings.h"
#include "lobby/clock.h"
#include "lobby/server.h"
#include "lobby/state_image.h"
#include "tests/harness/offline_lobby.h"

namespace lobby {

// A clock that moves only when set. Any thread.
class HeldClock : public Clock {
 public:
  explicit HeldClock(int64_t now_ms) : now_ms_(now_ms) {}
  int64_t now_ms() override { return now_ms_.load(); }
  int ms_until(int64_t deadline_ms) override { return deadline_ms <= now_ms_.load() ? 0 : -1; }
  void advance(int64_t ms) { now_ms_.fetch_add(ms); }

 private:
  std::atomic<int64_t> now_ms_;
};

class ImageLobby {
 public:
  // The clock's time when the script starts.
  static constexpr int64_t kStartMs = 5000000;
  // The script's steps, each ending with an image worth keeping.
  static constexpr int kStages = 5;
  // The steady clock's time its images say they were written at.
  static constexpr int64_t kWrittenAtNs = 987654321;

  explicit ImageLobby(const config::Settings& settings = script_settings(),
                      int64_t now_ms = kStartMs);
  ImageLobby(const ImageLobby&) = delete;
  ImageLobby& operator=(const ImageLobby&) = delete;

  // The settings of the script: the shipped protections, a small chat
  // burst, no files and no upstream server.
  static config::Settings script_settings();
  // The process's part of the script's images.
  static ProcessImage script_process();

  // Runs the script's stages 1..`stages`.
  void run_script(int stages);

  // Places a connection from `addr` in the lowest free slot, its socket the
  // slot's number; the slot, or -1.
  int connect(const net::IpAddress& addr);
  // The client of `slot` sends `bytes`; the slot's pass receives them.
  void feed(int slot, const std::string& bytes);
  // One pass of serve_client, as the slot's worker makes it. False once
  // the slot is free.
  bool pass(int slot);
  // Every message queued for the slot, oldest first, taken out.
  std::string take_output(int slot);

  Server& server() { return *server_; }
  Lobby& lobby() { return server_->lobby(); }
  HeldClock& clock() { return clock_; }

  // The lobby's image now, with `process` as its process's part.
  std::string image(const ProcessImage& process = script_process());
  // Restores `image` into this lobby (which must not have served). 0, or
  // -1 with `*error`.
  int restore(const std::string& image, ProcessImage* process, std::string* error);

 private:
  HeldClock clock_;
  MemoryTransport transport_;
  std::unique_ptr<Server> server_;
};

}  // namespace lobby

#endif  // TESTS_HARNESS_IMAGE_LOBBY_H_
