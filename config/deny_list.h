// The deny list: IPv4 and IPv6 addresses and prefixes whose connections are
// closed at once. Its file (L_DENY) holds one address or CIDR prefix a line
// ("203.0.113.0/24", "2001:db8::/32"), with ";" comments as in dorvik.txt;
// an entry may end at a time, written after it as "until
// 2026-12-09T10:00:00Z" (UTC), and denies nothing from then on. The server
// reads the file at start and again whenever its modification time or size
// changes. This class is the one place that reads and writes that file: the
// operator's ban and unban rewrite it as a whole new file renamed over the
// old one, keeping every other line as the operator wrote it.
//
// Any thread: the entries are guarded by the list's own lock, the file and
// what was last read of it by a second one (taken first when both are);
// neither is ever held with a lock of the lobby.
#ifndef CONFIG_DENY_LIST_H_
#define CONFIG_DENY_LIST_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "config/settings.h"
#include "net/ip_address.h"
#include "platform/annotated_mutex.h"

namespace lobby {
struct ImageAccess;
}  // namespace lobby

namespace config {

constexpr int kDenyEntries = 1024;
// The longest address with "/128", and its zero.
constexpr int kDenyTextBytes = net::kIpPrefixTextBytes;
// "2026-12-09T10:00:00Z" and its zero.
constexpr int kUntilTextBytes = 21;

// One address (a prefix of all its bits) or prefix. An IPv6 entry denies
// IPv6 clients only, an IPv4 one IPv4 clients (and the IPv4-mapped IPv6
// addresses, which are those).
struct DenyEntry {
  net::IpPrefix prefix;
  int64_t until_s = 0;  // UTC seconds at which it ends; 0: never
};

// Parses an address or "ADDRESS/N" of either family (parse_ip_prefix). 0,
// or -1 when `text` is neither. Bits beyond the prefix are cleared.
int parse_deny_entry(const char* text, DenyEntry* out);
// The address alone for a whole address, else "ADDRESS/N".
void format_deny_entry(const DenyEntry& entry, char out[kDenyTextBytes]);
// "YYYY-MM-DDTHH:MM:SSZ" for UTC seconds, and back (0, or -1).
void format_until(int64_t until_s, char out[kUntilTextBytes]);
int parse_until(const char* text, int64_t* until_s);

// Who banned an entry, since when and why, as the comment of its line
// keeps it: "by alice since 2026-12-09T09:09:13Z: cheating" for an
// operator's ban, "automatic ban since 2026-12-09T09:09:13Z: dropped 5
// times ..." for the lobby's own. A comment in another form is the reason
// alone (one the operator wrote by hand).
struct BanNote {
  std::string by;       // the operator's user name; "auto" for an automatic ban; "" unsaid
  int64_t since_s = 0;  // UTC seconds; 0 unsaid
  std::string reason;   // "" for none
};
// The longest reason a ban takes, so that its line always fits one read of
// the file.
constexpr size_t kMaxBanReasonBytes = 120;
// The longest user name a ban's line keeps.
constexpr size_t kMaxBanByBytes = 32;
std::string format_ban_comment(const BanNote& note);
BanNote parse_ban_comment(const std::string& comment);

// Results of DenyList::add and DenyList::remove.
constexpr int kDenyOk = 0;
constexpr int kDenyNoFile = -1;       // no file is named (L_DENY empty)
constexpr int kDenyFull = -2;         // kDenyEntries entries already
constexpr int kDenyWriteFailed = -3;  // the new file could not be written; nothing changed
constexpr int kDenyNotFound = -4;     // remove: no such entry
constexpr int kDenyNotAFile = -5;     // the path names something else than a regular file

class DenyList {
 public:
  // Receives one line for the event log: a bad line, a (re)load.
  using Report = std::function<void(const char* line)>;
  // The wall clock in UTC seconds, for entries that end.
  using Now = std::function<int64_t()>;

  DenyList() = default;
  DenyList(const DenyList&) = delete;
  DenyList& operator=(const DenyList&) = delete;

  // Names the file (empty or null: no file, nothing denied) and where to
  // report. Before the threads start.
  void set_file(const char* path, Report report);
  // Names another file (empty: none) and reads it at once, waiting for a
  // write under way: the list then holds what that file holds, nothing
  // when it is missing. A reload's new L_DENY. Any thread.
  void change_file(const char* path);
  // Replaces the wall clock (test seam). Before the threads start.
  void set_clock(Now now) { now_ = std::move(now); }
  // Reads the file when it differs from the last reading by modification
  // time or size (a missing file denies nothing); true when the list
  // changed. The accept thread calls it at most once a second; it never
  // waits for a write under way (the writer updates the list itself).
  bool reload_if_changed();

  // Whether a file is named (bans can be written). Any thread.
  bool has_file() const { return has_file_.load(std::memory_order_acquire); }
  // The list's wall clock, in UTC seconds.
  int64_t now_utc_s() const { return now_s(); }
  // Whether an entry in force covers `addr`.
  bool denies(const net::IpAddress& addr) const;
  int entry_count() const;
  // Copies the entries in force, in file order, up to `max`; their number.
  int entries_in_force(DenyEntry* out, int max) const;
  // The same, with what each one's line says of it, read from the file
  // (for the operator's list of bans; the file is read only then). Falls
  // back to the entries in force, with nothing said, when the file cannot
  // be read.
  int entries_with_notes(DenyEntry* out, BanNote* notes, int max) const EXCLUDES(file_lock_);

  // Adds `entry` to the file, in place of any line with the same address
  // and prefix, and drops lines whose time has passed; the list then holds
  // what the new file holds. `*error` is the errno of a failed write.
  // `comment` (one line, or null) ends the entry's line after "; ";
  // without one, a line replaced keeps its own comment.
  int add(const DenyEntry& entry, int* error, const char* comment = nullptr);
  // Removes every line of the entry's address and prefix, likewise.
  int remove(const DenyEntry& entry, int* error);

 private:
  // The state image carries what was read of the file, and the bad lines
  // already told, across a hand-over.
  friend struct lobby::ImageAccess;

  // What identifies one version of the file.
  struct Signature {
    bool exists = false;
    int64_t mtime_ns = 0;
    int64_t size = 0;
    bool operator==(const Signature&) const = default;
  };
  Signature read_signature() const;
  // Reads the file into `entries`; the number of entries, or minus the
  // errno when the file is there but cannot be opened.
  int read_file(std::array<DenyEntry, kDenyEntries>* entries) REQUIRES(file_lock_);
  // Notes a bad line unless the same line (number and text) was noted at
  // an earlier reading: each reload, and each ban written into the file,
  // reads the operator's bad lines again.
  void note_bad_line(int number, const char* text, bool too_long) REQUIRES(file_lock_);
  // Reads the file into the list and notes its signature.
  void load(bool report_count) REQUIRES(file_lock_) EXCLUDES(lock_);
  // The rewrite shared by add and remove: `entry` replaces (add) or
  // removes (remove) its lines.
  int rewrite(const DenyEntry& entry, bool add, const char* comment, int* error)
      REQUIRES(file_lock_) EXCLUDES(lock_);
  int64_t now_s() const;
  void note(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  // Taken before lock_ when both are.
  mutable platform::Mutex file_lock_ ACQUIRED_BEFORE(lock_);
  mutable platform::Mutex lock_;
  std::array<DenyEntry, kDenyEntries> entries_ GUARDED_BY(lock_){};
  int count_ GUARDED_BY(lock_) = 0;
  // Set before the threads start; changed under file_lock_ (every later
  // reader holds it).
  char path_[kPathBytes] = {};
  // Atomic: path_ is not empty; stored with path_, read without a lock.
  std::atomic<bool> has_file_{false};
  // Set before the threads start.
  Report report_;
  Now now_;
  Signature seen_ GUARDED_BY(file_lock_);
  // Digests of the bad lines noted so far, a ring (0 is a free place).
  std::array<uint32_t, 32> noted_bad_ GUARDED_BY(file_lock_){};
  int noted_bad_next_ GUARDED_BY(file_lock_) = 0;
  bool unreadable_noted_ GUARDED_BY(file_lock_) = false;
};

}  // namespace config

#endif  // CONFIG_DENY_LIST_H_
