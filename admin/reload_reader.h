// A reading of the settings file for a reload, on a thread of its own: a
// file that reads slowly (a stalled network file system), whatever its
// size or kind, holds neither the admin channel, which answers other
// commands meanwhile, nor the process's stop, which never waits for it.
// The reading thread touches only the job it was given, which it shares
// with the reader; a thread still reading when the process ends is left
// to end with it. Admin thread only.
#ifndef ADMIN_RELOAD_READER_H_
#define ADMIN_RELOAD_READER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "config/settings.h"

namespace admin {

class ReloadReader {
 public:
  ReloadReader() = default;
  ReloadReader(const ReloadReader&) = delete;
  ReloadReader& operator=(const ReloadReader&) = delete;

  // Starts reading `path` over `base` (the defaults and the environment),
  // noting the time `now_ms`. False when a reading is under way already.
  bool start(const std::string& path, const config::Settings& base,
             const config::ConfigReading& base_reading, int64_t now_ms);
  bool busy() const { return job_ != nullptr; }
  // When the reading under way began.
  int64_t started_ms() const;
  // A wake-up handle (net/local_stream.h) that is woken when the reading is
  // done; -1 while none runs.
  int wake_handle() const;
  // Takes a finished reading: the settings read, what the reading found,
  // and read_config_file's result. False while it still reads.
  bool take(config::Settings* next, config::ConfigReading* reading, int* result);

 private:
  struct Job;
  std::shared_ptr<Job> job_;
};

}  // namespace admin

#endif  // ADMIN_RELOAD_READER_H_
