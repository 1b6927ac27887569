#include "admin/reload_reader.h"

#include <atomic>
#include <system_error>
#include <thread>

#include "net/local_stream.h"

namespace admin {

// Shared by the reader and the reading thread; whichever lets go of it
// last closes the wake-up.
struct ReloadReader::Job {
  ~Job() { net::local_close(wake); }
  std::string path;
  config::Settings next;
  config::ConfigReading reading;
  int result = -1;
  int64_t started_ms = 0;
  int wake = -1;
  // Release: the thread's writes above come before; acquire on take.
  std::atomic<bool> done{false};
};

bool ReloadReader::start(const std::string& path, const config::Settings& base,
                         const config::ConfigReading& base_reading, int64_t now_ms) {
  if (job_ != nullptr) return false;
  auto job = std::make_shared<Job>();
  job->path = path;
  job->next = base;
  job->reading = base_reading;
  job->started_ms = now_ms;
  job->wake = net::local_make_wake();
  auto read = [job] {
    job->result = config::read_config_file(job->path.c_str(), &job->next, &job->reading);
    job->done.store(true, std::memory_order_release);
    net::local_wake(job->wake);
  };
  try {
    std::thread(read).detach();
  } catch (const std::system_error&) {
    // No thread to be had: read here, as the file is bounded.
    read();
  }
  job_ = std::move(job);
  return true;
}

int64_t ReloadReader::started_ms() const { return job_ != nullptr ? job_->started_ms : 0; }

int ReloadReader::wake_handle() const { return job_ != nullptr ? job_->wake : -1; }

bool ReloadReader::take(config::Settings* next, config::ConfigReading* reading, int* result) {
  if (job_ == nullptr || !job_->done.load(std::memory_order_acquire)) return false;
  net::local_drain_wake(job_->wake);
  *next = job_->next;
  *reading = job_->reading;
  *result = job_->result;
  job_.reset();
  return true;
}

}  // namespace admin
