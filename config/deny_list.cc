#include "config/deny_list.h"

#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace config {
namespace {

// Longest line text quoted in a note about a bad line.
constexpr int kQuotedBytes = 80;

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Digits only, no sign, at most `max`.
const char* scan_part(const char* p, uint32_t max, uint32_t* out) {
  if (!std::isdigit(static_cast<unsigned char>(*p))) return nullptr;
  uint32_t value = 0;
  int digits = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    value = value * 10u + static_cast<uint32_t>(*p++ - '0');
    if (++digits > 3 || value > max) return nullptr;
  }
  *out = value;
  return p;
}

}  // namespace

int parse_deny_entry(const char* text, DenyEntry* out) {
  const char* p = text;
  uint32_t addr = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && *p++ != '.') return -1;
    uint32_t part;
    p = scan_part(p, 255, &part);
    if (p == nullptr) return -1;
    addr = addr << 8 | part;
  }
  uint32_t bits = 32;
  if (*p == '/') {
    p = scan_part(p + 1, 32, &bits);
    if (p == nullptr) return -1;
  }
  if (*p != '\0') return -1;
  out->mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  out->addr = addr & out->mask;
  return 0;
}

void DenyList::set_file(const char* path, Report report) {
  std::snprintf(path_, sizeof path_, "%s", path != nullptr ? path : "");
  report_ = std::move(report);
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

int DenyList::read_file(std::array<DenyEntry, kDenyEntries>* entries) const {
  std::FILE* file = std::fopen(path_, "r");
  if (file == nullptr) return 0;
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
    while (*p != '\0' && is_blank(*p)) ++p;
    if (*p == '\0' || *p == ';') continue;
    // The entry is the first word; only a comment may follow it.
    char word[kLineBytes];
    int n = 0;
    while (p[n] != '\0' && !is_blank(p[n])) {
      word[n] = p[n];
      ++n;
    }
    word[n] = '\0';
    const char* rest = p + n;
    while (*rest != '\0' && is_blank(*rest)) ++rest;
    DenyEntry entry;
    if (too_long) {
      note("deny list %s line %d ignored (too long): %.*s", path_, number, kQuotedBytes, p);
    } else if ((*rest != '\0' && *rest != ';') || parse_deny_entry(word, &entry) != 0) {
      note("deny list %s line %d ignored: %.*s", path_, number, kQuotedBytes, p);
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

bool DenyList::reload_if_changed() {
  const Signature now = read_signature();
  if (now == seen_) return false;
  const bool existed = seen_.exists;
  seen_ = now;
  std::array<DenyEntry, kDenyEntries> fresh;
  const int count = now.exists ? read_file(&fresh) : 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (int i = 0; i < count; ++i) entries_[i] = fresh[i];
    count_ = count;
  }
  if (now.exists) {
    note("deny list %s: %d entries", path_, count);
  } else if (existed) {
    note("deny list %s: removed, nothing denied", path_);
  }
  return true;
}

bool DenyList::denies(uint32_t addr) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (int i = 0; i < count_; ++i) {
    if ((addr & entries_[i].mask) == entries_[i].addr) return true;
  }
  return false;
}

int DenyList::entry_count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return count_;
}

}  // namespace config
