#include "config/deny_list.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/file_replace.h"

namespace config {
namespace {

// Longest line text quoted in a note about a bad line.
constexpr int kQuotedBytes = 80;

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// What one line of the file is.
enum LineKind { kLineNothing, kLineEntry, kLineBad };

// Classifies one line (without its line feed): blank or a comment, an
// entry (then in `*entry`), or something else. The entry is the first
// word; "until" and a time may follow it, then only a comment.
LineKind parse_line(const char* line, DenyEntry* entry) {
  const char* p = line;
  while (*p != '\0' && is_blank(*p)) ++p;
  if (*p == '\0' || *p == ';') return kLineNothing;
  char words[3][kLineBytes] = {};
  int count = 0;
  while (*p != '\0' && *p != ';' && count < 3) {
    int n = 0;
    while (p[n] != '\0' && !is_blank(p[n]) && n < kLineBytes - 1) {
      words[count][n] = p[n];
      ++n;
    }
    words[count++][n] = '\0';
    p += n;
    while (*p != '\0' && is_blank(*p)) ++p;
  }
  if (*p != '\0' && *p != ';') return kLineBad;
  if (parse_deny_entry(words[0], entry) != 0) return kLineBad;
  if (count == 1) return kLineEntry;
  if (count == 3 && std::strcmp(words[1], "until") == 0 &&
      parse_until(words[2], &entry->until_s) == 0) {
    return kLineEntry;
  }
  return kLineBad;
}

// Whether `path` names something that is there but no regular file (a
// directory, a device such as /dev/zero that never ends, a pipe): reading
// it could block or never finish.
bool other_than_a_file(const char* path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  return !error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
}

}  // namespace

int parse_deny_entry(const char* text, DenyEntry* out) {
  if (net::parse_ip_prefix(text, &out->prefix) != 0) return -1;
  out->until_s = 0;
  return 0;
}

void format_deny_entry(const DenyEntry& entry, char out[kDenyTextBytes]) {
  entry.prefix.format(out);
}

void format_until(int64_t until_s, char out[kUntilTextBytes]) {
  // The civil date of a day count since 1970-01-01 (proleptic Gregorian),
  // by whole eras of 400 years: no time zone and no C library in between.
  int64_t days = until_s / 86400;
  int64_t secs = until_s % 86400;
  if (secs < 0) {
    secs += 86400;
    days -= 1;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  // Years beyond 9999 would not fit the field: such a time is cut, and
  // parse_until never gives one.
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(secs / 3600),
                static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
  std::memcpy(out, text, kUntilTextBytes - 1);
  out[kUntilTextBytes - 1] = '\0';
}

int parse_until(const char* text, int64_t* until_s) {
  int year, month, day, hour, minute, second;
  char zone = 0;
  int used = 0;
  if (std::strlen(text) != kUntilTextBytes - 1 ||
      std::sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &year, &month, &day, &hour, &minute, &second,
                  &zone, &used) != 7 ||
      zone != 'Z' || text[used] != '\0') {
    return -1;
  }
  // Days since 1970-01-01 of the civil date, the inverse of format_until's.
  const int64_t y = month <= 2 ? year - 1 : year;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468;
  const int64_t t = days * 86400 + hour * 3600 + minute * 60 + second;
  // A date that does not exist (February 30th, hour 24) comes back as
  // another text.
  char again[kUntilTextBytes];
  format_until(t, again);
  if (t <= 0 || std::strcmp(again, text) != 0) return -1;
  *until_s = t;
  return 0;
}

std::string format_ban_comment(const BanNote& note) {
  char since[kUntilTextBytes];
  format_until(note.since_s, since);
  const std::string reason = note.reason.substr(0, kMaxBanReasonBytes);
  if (note.by == "auto") return std::string("automatic ban since ") + since + ": " + reason;
  // The name comes from the system; a control byte in it must not break
  // the line.
  std::string by = note.by.substr(0, kMaxBanByBytes);
  for (char& c : by) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  std::string text = "by " + by + " since " + since;
  return reason.empty() ? text : text + ": " + reason;
}

BanNote parse_ban_comment(const std::string& comment) {
  BanNote note;
  std::string text = comment;
  while (!text.empty() && is_blank(text.back())) text.pop_back();
  size_t at = 0;
  // "by USER since TIME[: REASON]", "automatic ban since TIME: REASON", and
  // the form automatic bans were written in before they kept their time,
  // "automatic ban: REASON".
  if (text.rfind("by ", 0) == 0) {
    // A user name may hold blanks ("uid 1001", a Windows name): it ends at
    // the first " since " that a time follows.
    size_t since = text.find(" since ", 3);
    int64_t unused = 0;
    while (since != std::string::npos &&
           parse_until(text.substr(since + 7, kUntilTextBytes - 1).c_str(), &unused) != 0) {
      since = text.find(" since ", since + 1);
    }
    if (since == std::string::npos || since == 3) {
      note.reason = text;
      return note;
    }
    note.by = text.substr(3, since - 3);
    at = since + 7;
  } else if (text.rfind("automatic ban since ", 0) == 0) {
    note.by = "auto";
    at = 20;
  } else if (text.rfind("automatic ban: ", 0) == 0) {
    note.by = "auto";
    note.reason = text.substr(15);
    return note;
  } else {
    note.reason = text;
    return note;
  }
  const std::string time = text.substr(at, kUntilTextBytes - 1);
  if (parse_until(time.c_str(), &note.since_s) != 0) {
    note = BanNote();
    note.reason = text;
    return note;
  }
  at += time.size();
  if (text.compare(at, 2, ": ") == 0) note.reason = text.substr(at + 2);
  return note;
}

void DenyList::set_file(const char* path, Report report) {
  std::snprintf(path_, sizeof path_, "%s", path != nullptr ? path : "");
  has_file_.store(path_[0] != '\0', std::memory_order_release);
  report_ = std::move(report);
}

void DenyList::change_file(const char* path) {
  platform::MutexLock file_guard(file_lock_);
  std::snprintf(path_, sizeof path_, "%s", path != nullptr ? path : "");
  has_file_.store(path_[0] != '\0', std::memory_order_release);
  noted_bad_.fill(0);
  unreadable_noted_ = false;
  load(true);
}

DenyList::Signature DenyList::read_signature() const {
  Signature signature;
  if (path_[0] == '\0') return signature;
  // The error-code forms: a missing or unreadable file is no exception.
  std::error_code error;
  const std::filesystem::path path(path_);
  if (!std::filesystem::is_regular_file(path, error) || error) return signature;
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return signature;
  const auto time = std::filesystem::last_write_time(path, error);
  if (error) return signature;
  signature.exists = true;
  signature.size = static_cast<int64_t>(size);
  signature.mtime_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
  return signature;
}

void DenyList::note(const char* format, ...) const {
  if (!report_) return;
  char line[kNoteBytes + kPathBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  report_(line);
}

void DenyList::note_bad_line(int number, const char* text, bool too_long) {
  // FNV-1a over the line number and the quoted text.
  uint32_t digest = 2166136261u;
  auto mix = [&digest](uint8_t byte) { digest = (digest ^ byte) * 16777619u; };
  for (int shift = 0; shift < 32; shift += 8) mix(static_cast<uint8_t>(number >> shift));
  for (int i = 0; i < kQuotedBytes && text[i] != '\0'; ++i) mix(static_cast<uint8_t>(text[i]));
  digest |= 1;
  for (uint32_t seen : noted_bad_) {
    if (seen == digest) return;
  }
  noted_bad_[noted_bad_next_] = digest;
  noted_bad_next_ = (noted_bad_next_ + 1) % static_cast<int>(noted_bad_.size());
  note("deny list %s line %d ignored%s: %.*s", path_, number, too_long ? " (too long)" : "",
       kQuotedBytes, text);
}

int DenyList::read_file(std::array<DenyEntry, kDenyEntries>* entries) {
  std::FILE* file = std::fopen(path_, "r");
  if (file == nullptr) return errno == ENOENT ? 0 : -errno;
  int count = 0;
  int ignored = 0;
  int number = 0;
  char line[kLineBytes];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    ++number;
    size_t length = std::strlen(line);
    const bool too_long = !(length > 0 && line[length - 1] == '\n') && !std::feof(file);
    if (too_long) {
      // Longer than any entry: the rest of the line goes with it.
      int c;
      while ((c = std::fgetc(file)) != EOF && c != '\n') {
      }
    }
    while (length > 0 && is_blank(line[length - 1])) line[--length] = '\0';
    const char* p = line;
    // A byte order mark, as Windows editors write, is not part of line 1.
    if (number == 1 && std::strncmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
    while (*p != '\0' && is_blank(*p)) ++p;
    DenyEntry entry;
    const LineKind kind = too_long ? kLineBad : parse_line(p, &entry);
    if (kind == kLineNothing && !too_long) continue;
    if (kind == kLineBad) {
      note_bad_line(number, p, too_long);
    } else if (count < kDenyEntries) {
      (*entries)[count++] = entry;
    } else {
      ++ignored;
    }
  }
  std::fclose(file);
  if (ignored > 0) {
    note("deny list %s: %d entries beyond the first %d ignored", path_, ignored, kDenyEntries);
  }
  return count;
}

int64_t DenyList::now_s() const { return now_ ? now_() : static_cast<int64_t>(std::time(nullptr)); }

void DenyList::load(bool report_count) {
  seen_ = read_signature();
  std::array<DenyEntry, kDenyEntries> fresh;
  const int count = seen_.exists ? read_file(&fresh) : 0;
  if (count < 0) {
    // The entries stay as they were, and the file is tried again each
    // second (a change of its rights alone leaves its signature as it is).
    seen_.mtime_ns = -1;
    if (!unreadable_noted_) {
      note("deny list %s: cannot be read (%s); the entries in force stay", path_,
           std::strerror(-count));
    }
    unreadable_noted_ = true;
    return;
  }
  unreadable_noted_ = false;
  {
    platform::MutexLock guard(lock_);
    for (int i = 0; i < count; ++i) entries_[i] = fresh[i];
    count_ = count;
  }
  if (report_count && seen_.exists) note("deny list %s: %d entries", path_, count);
}

bool DenyList::reload_if_changed() {
  // A write under way updates the list itself; this pass need not wait.
  if (!file_lock_.try_lock()) return false;
  platform::MutexLock file_guard(file_lock_, std::adopt_lock);
  const Signature now = read_signature();
  if (now == seen_) return false;
  const bool existed = seen_.exists;
  load(true);
  if (!now.exists && existed) note("deny list %s: removed, nothing denied", path_);
  return true;
}

bool DenyList::denies(const net::IpAddress& addr) const {
  const int64_t now = now_s();
  platform::MutexLock guard(lock_);
  for (int i = 0; i < count_; ++i) {
    const DenyEntry& entry = entries_[i];
    if (entry.prefix.contains(addr) && (entry.until_s == 0 || now < entry.until_s)) {
      return true;
    }
  }
  return false;
}

int DenyList::entry_count() const {
  platform::MutexLock guard(lock_);
  return count_;
}

int DenyList::entries_in_force(DenyEntry* out, int max) const {
  const int64_t now = now_s();
  platform::MutexLock guard(lock_);
  int n = 0;
  for (int i = 0; i < count_ && n < max; ++i) {
    if (entries_[i].until_s == 0 || now < entries_[i].until_s) out[n++] = entries_[i];
  }
  return n;
}

int DenyList::entries_with_notes(DenyEntry* out, BanNote* notes, int max) const {
  const int64_t now = now_s();
  platform::MutexLock file_guard(file_lock_);
  std::FILE* file =
      path_[0] != '\0' && !other_than_a_file(path_) ? std::fopen(path_, "r") : nullptr;
  if (file == nullptr) {
    const int n = entries_in_force(out, max);
    for (int i = 0; i < n; ++i) notes[i] = BanNote();
    return n;
  }
  // Line by line as read_file reads it, each entry in force with its
  // comment; the first kDenyEntries entries, as the list holds them.
  int n = 0;
  int entries = 0;
  bool first = true;
  char line[kLineBytes];
  while (n < max && entries < kDenyEntries && std::fgets(line, sizeof line, file) != nullptr) {
    size_t length = std::strlen(line);
    if (!(length > 0 && line[length - 1] == '\n') && !std::feof(file)) {
      int c;
      while ((c = std::fgetc(file)) != EOF && c != '\n') {
      }
      first = false;
      continue;  // too long: a bad line
    }
    while (length > 0 && is_blank(line[length - 1])) line[--length] = '\0';
    const char* p = line;
    if (first && std::strncmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
    first = false;
    DenyEntry entry;
    if (parse_line(p, &entry) != kLineEntry) continue;
    ++entries;
    if (entry.until_s != 0 && entry.until_s <= now) continue;
    const char* comment = std::strchr(p, ';');
    out[n] = entry;
    notes[n] = comment != nullptr ? parse_ban_comment(comment + 1 + (comment[1] == ' ' ? 1 : 0))
                                  : BanNote();
    ++n;
  }
  std::fclose(file);
  return n;
}

int DenyList::add(const DenyEntry& entry, int* error, const char* comment) {
  platform::MutexLock file_guard(file_lock_);
  return rewrite(entry, true, comment, error);
}

int DenyList::remove(const DenyEntry& entry, int* error) {
  platform::MutexLock file_guard(file_lock_);
  return rewrite(entry, false, nullptr, error);
}

int DenyList::rewrite(const DenyEntry& entry, bool add, const char* comment, int* error) {
  *error = 0;
  if (path_[0] == '\0') return kDenyNoFile;
  if (other_than_a_file(path_)) return kDenyNotAFile;
  // The file as it is now, line by line: the operator may have edited it
  // since it was last read.
  std::string old_text;
  std::FILE* file = std::fopen(path_, "r");
  // Only a missing file is an empty one: one that cannot be read would be
  // replaced by the new entry alone, and the operator's list lost.
  if (file == nullptr && errno != ENOENT) {
    *error = errno;
    return kDenyWriteFailed;
  }
  if (file != nullptr) {
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) old_text.append(chunk, n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
      *error = EIO;
      return kDenyWriteFailed;
    }
  }
  // A leading byte order mark would hide line 1's entry from the match.
  if (old_text.compare(0, 3, "\xEF\xBB\xBF") == 0) old_text.erase(0, 3);
  const int64_t now = now_s();
  std::string entry_text;
  if (add) {
    char address[kDenyTextBytes];
    format_deny_entry(entry, address);
    entry_text = address;
    if (entry.until_s != 0) {
      char until[kUntilTextBytes];
      format_until(entry.until_s, until);
      entry_text += std::string(" until ") + until;
    }
  }
  std::string text;
  int kept_entries = 0;
  bool found = false;
  size_t start = 0;
  while (start < old_text.size()) {
    size_t end = old_text.find('\n', start);
    if (end == std::string::npos) end = old_text.size();
    const std::string line = old_text.substr(start, end - start);
    start = end + 1;
    DenyEntry parsed;
    const LineKind kind = line.size() < static_cast<size_t>(kLineBytes)
                              ? parse_line(line.c_str(), &parsed)
                              : kLineBad;
    if (kind == kLineEntry) {
      if (parsed.prefix == entry.prefix) {
        // A ban of an address already listed takes the place of its first
        // line and keeps that line's comment; later ones go.
        if (add && !found) {
          text += entry_text;
          const size_t old_comment = line.find(';');
          if (comment != nullptr) {
            text += std::string(" ; ") + comment;
          } else if (old_comment != std::string::npos) {
            text += " " + line.substr(old_comment);
          } else if (!line.empty() && line.back() == '\r') {
            text += '\r';
          }
          text += '\n';
        }
        found = true;
        continue;
      }
      // An entry whose time has passed goes with the rewrite.
      if (parsed.until_s != 0 && parsed.until_s <= now) continue;
      ++kept_entries;
    }
    text += line;
    text += '\n';
  }
  if (!add && !found) return kDenyNotFound;
  if (add && !found) {
    if (kept_entries >= kDenyEntries) return kDenyFull;
    text += entry_text;
    if (comment != nullptr) text += std::string(" ; ") + comment;
    text += "\n";
  }

  // A whole new file beside the old one, renamed over it: a crash leaves
  // the old file or the new one, never a torn one.
  if (platform::replace_file(path_, text.data(), text.size(), error) != 0) return kDenyWriteFailed;
  load(false);
  return kDenyOk;
}

}  // namespace config
