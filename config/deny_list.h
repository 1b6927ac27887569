// The deny list: IPv4 addresses and prefixes whose connections are closed
// at once. Its file (L_DENY) holds one address or CIDR prefix a line, with
// ";" comments as in dorvik.txt; the server reads it at start and again
// whenever its modification time or size changes. This class is the one
// place that reads (and will write) that file.
//
// Any thread: every member takes the list's own lock, which is never held
// with another lock.
#ifndef CONFIG_DENY_LIST_H_
#define CONFIG_DENY_LIST_H_

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>

#include "config/settings.h"

namespace config {

constexpr int kDenyEntries = 1024;

// One address (mask all ones) or prefix; host order.
struct DenyEntry {
  uint32_t addr = 0;
  uint32_t mask = 0;
};

// Parses "A.B.C.D" or "A.B.C.D/N" (N 0..32). 0, or -1 when `text` is
// neither. Bits of the address beyond the prefix are cleared.
int parse_deny_entry(const char* text, DenyEntry* out);

class DenyList {
 public:
  // Receives one line for the event log: a bad line, a (re)load.
  using Report = std::function<void(const char* line)>;

  DenyList() = default;
  DenyList(const DenyList&) = delete;
  DenyList& operator=(const DenyList&) = delete;

  // Names the file (empty or null: no file, nothing denied) and where to
  // report. Before the threads start.
  void set_file(const char* path, Report report);
  // Reads the file when it differs from the last reading by modification
  // time or size (a missing file denies nothing); true when the list
  // changed. The accept thread calls it at most once a second.
  bool reload_if_changed();

  bool denies(uint32_t addr) const;
  int entry_count() const;

 private:
  // What identifies one version of the file.
  struct Signature {
    bool exists = false;
    int64_t mtime_ns = 0;
    int64_t size = 0;
    bool operator==(const Signature&) const = default;
  };
  Signature read_signature() const;
  // Reads the file into `entries`; the number of entries.
  int read_file(std::array<DenyEntry, kDenyEntries>* entries) const;
  void note(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  mutable std::mutex lock_;
  // Guarded by lock_.
  std::array<DenyEntry, kDenyEntries> entries_{};
  int count_ = 0;
  // Set before the threads start; afterwards the accept thread alone reads
  // and writes `seen_`.
  char path_[kPathBytes] = {};
  Report report_;
  Signature seen_;
};

}  // namespace config

#endif  // CONFIG_DENY_LIST_H_
