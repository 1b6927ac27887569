#include "config/settings.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/setting_keys.h"
#include "platform/file_open.h"

namespace config {
namespace {

static_assert(kSettingKeyCount <= kMaxSettingKeys, "a ConfigReading holds every key");

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A cursor over one line, matching the formatted-input rules: a number skips
// leading white space, takes an optional sign and at least one decimal digit;
// a literal dot must be the very next character.
struct Scanner {
  const char* p;

  void skip_blanks() {
    while (*p != '\0' && is_blank(*p)) ++p;
  }
  // Copies the next word (at most `size` - 1 characters kept). false if none.
  bool word(char* out, int size) {
    skip_blanks();
    if (*p == '\0') return false;
    int n = 0;
    while (*p != '\0' && !is_blank(*p)) {
      if (n < size - 1) out[n++] = *p;
      ++p;
    }
    out[n] = '\0';
    return true;
  }
  bool number(int32_t* out) {
    skip_blanks();
    const char* q = p;
    bool negative = false;
    if (*q == '+' || *q == '-') negative = *q++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*q))) return false;
    uint32_t value = 0;  // wraps like a 32-bit store of a longer number
    while (std::isdigit(static_cast<unsigned char>(*q))) {
      value = value * 10u + static_cast<uint32_t>(*q - '0');
      ++q;
    }
    p = q;
    *out = static_cast<int32_t>(negative ? 0u - value : value);
    return true;
  }
  // As number(), but a longer number stays large instead of wrapping, so
  // that a limit written too big is clamped, not turned into some small or
  // negative value.
  bool limit_number(int64_t* out) {
    constexpr int64_t kCap = 1000000000000000;  // far past every limit
    skip_blanks();
    const char* q = p;
    bool negative = false;
    if (*q == '+' || *q == '-') negative = *q++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*q))) return false;
    int64_t value = 0;
    while (std::isdigit(static_cast<unsigned char>(*q))) {
      if (value < kCap) value = value * 10 + (*q - '0');
      ++q;
    }
    p = q;
    *out = negative ? -value : value;
    return true;
  }
  bool literal(char c) {
    if (*p != c) return false;
    ++p;
    return true;
  }
  // True when nothing but blanks, or a comment, follows: a strict value
  // ends there.
  bool at_value_end() {
    if (*p != '\0' && *p != ';' && !is_blank(*p)) return false;
    skip_blanks();
    return *p == '\0' || *p == ';';
  }
};

char* field_bytes(Settings* settings, const SettingKey& key) {
  return reinterpret_cast<char*>(settings) + key.offset;
}
const char* field_bytes(const Settings& settings, const SettingKey& key) {
  return reinterpret_cast<const char*>(&settings) + key.offset;
}

// Stores `text` whole, the rest of the field zero, so that two fields that
// hold the same text hold the same bytes.
void store_text(Settings* settings, const SettingKey& key, const char* text) {
  char* field = field_bytes(settings, key);
  std::memset(field, 0, key.size);
  std::memcpy(field, text, std::strlen(text));
}

// "%d.%d.%d.%d": stops at the first field that does not match. With
// `byte_parts`, a part outside 0..255 is refused and keeps its old value,
// so the dotted text built from the parts always fits its field.
// False when a part is missing or refused.
bool scan_address(Scanner* s, int32_t parts[4], bool byte_parts) {
  bool whole = true;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && !s->literal('.')) return false;
    int32_t value;
    if (!s->number(&value)) return false;
    if (!byte_parts || (value >= 0 && value <= 255)) {
      parts[i] = value;
    } else {
      whole = false;
    }
  }
  return whole;
}

// Bytes of `text` up to its end, without a line end or trailing blanks, with
// control characters as \xNN, cut to fit `size` with "...": a line quoted
// in a report must not drive a terminal, nor grow without bound.
void quote_text(const char* text, int length, char* out, int size) {
  while (length > 0 && is_blank(text[length - 1])) --length;
  int n = 0;
  for (int i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    char piece[5] = {static_cast<char>(c), 0};
    if (c < 0x20 || c == 0x7f) std::snprintf(piece, sizeof piece, "\\x%02X", c);
    const int width = static_cast<int>(std::strlen(piece));
    if (n + width > size - 4) {
      std::memcpy(out + n, "...", 3);
      n += 3;
      break;
    }
    std::memcpy(out + n, piece, static_cast<size_t>(width));
    n += width;
  }
  out[n] = '\0';
}

// The words of an L_PROXY line, separated by blanks or commas, up to the
// line's end or a word that starts with ";": IPv4 addresses or prefixes,
// added to those of the lines before; "-" alone empties the list. A line
// with any other word, or one that would take the list past kProxyEntries,
// adds nothing, and a note says so: a proxy left out silently would cost
// its every player.
bool add_proxies(const char* p, Settings* settings, ConfigReading* reading) {
  ProxyList& list = settings->L_PROXY;
  Scanner first{p};
  char dash[3];
  if (first.word(dash, sizeof dash) && std::strcmp(dash, "-") == 0) {
    first.skip_blanks();
    if (*first.p == '\0' || *first.p == ';') {
      list = ProxyList();
      return true;
    }
  }
  net::IpPrefix found[kProxyEntries];
  int count = 0;
  const char* problem = nullptr;
  char word[kLineBytes];
  for (;;) {
    while (*p != '\0' && (is_blank(*p) || *p == ',')) ++p;
    if (*p == '\0' || *p == ';') break;
    int n = 0;
    for (; *p != '\0' && !is_blank(*p) && *p != ','; ++p) {
      if (n < kLineBytes - 1) word[n++] = *p;
    }
    word[n] = '\0';
    net::IpPrefix prefix;
    if (net::parse_ip_prefix(word, &prefix) != 0 || !prefix.address.is_v4()) {
      problem = "not an IPv4 address or prefix";
      break;
    }
    if (list.count + count >= kProxyEntries) {
      problem = "past the 64 entries it holds";
      break;
    }
    found[count++] = prefix;
  }
  if (problem != nullptr) {
    if (reading != nullptr) {
      reading->add_note("L_PROXY %.24s: %s; the line is ignored", word, problem);
    }
    return false;
  }
  if (count == 0) return false;  // a key without a value
  for (int i = 0; i < count; ++i) list.entries[list.count++] = found[i];
  return true;
}

// Reads key `key`'s value from `s` into `settings`; true when it was read.
// `line` is its line number (0 for a default), `reading` (or null) where
// notes and sources go.
bool read_value(const SettingKey& key, Scanner* s, Settings* settings, int32_t line,
                ConfigReading* reading) {
  KeySource* source = reading != nullptr ? &reading->sources[&key - kSettingKeys] : nullptr;
  bool read = false;
  switch (key.kind) {
    case ValueKind::kNumber:
    case ValueKind::kRooms: {
      int32_t value;
      read = s->number(&value);
      if (!read) break;
      if (key.kind == ValueKind::kRooms && value > kMaxRooms) value = kMaxRooms;
      settings->*key.number = value;
      break;
    }
    case ValueKind::kName: {
      // The field holds its size less one characters and its zero: a
      // longer name is cut.
      char name[kNameBytes] = {};
      read = s->word(
          name, static_cast<int>(key.size) < kNameBytes ? static_cast<int>(key.size) : kNameBytes);
      if (read) store_text(settings, key, name);
      break;
    }
    case ValueKind::kAddress:
    case ValueKind::kByteAddress:
      read = scan_address(s, reinterpret_cast<int32_t*>(field_bytes(settings, key)),
                          key.kind == ValueKind::kByteAddress);
      break;
    case ValueKind::kLimit: {
      int64_t value;
      s->skip_blanks();
      const char* given = s->p;
      if (!s->limit_number(&value)) return false;
      // The number as written, for the note: a long one is clamped whole.
      const int given_length = static_cast<int>(s->p - given);
      if (!s->at_value_end()) return false;
      int64_t used = value < key.least ? key.least : value > key.most ? key.most : value;
      if (key.zero_off && value == 0) used = 0;
      settings->*key.number = static_cast<int32_t>(used);
      if (source != nullptr) {
        source->clamped = used != value;
        std::snprintf(source->given, sizeof source->given, "%.*s", given_length, given);
      }
      if (used != value && reading != nullptr) {
        reading->add_note("%s %.*s is outside %s%d..%d: %d used", key.name, given_length, given,
                          key.zero_off ? "0 or " : "", key.least, key.most, static_cast<int>(used));
      }
      return true;
    }
    case ValueKind::kProxyList:
      // Strict: a line with any word that is no address or prefix adds
      // nothing.
      if (!add_proxies(s->p, settings, reading)) return false;
      s->p += std::strlen(s->p);
      if (source != nullptr) source->clamped = false;
      return true;
    case ValueKind::kWord:
    case ValueKind::kOptionalWord: {
      // A word that does not fit is refused whole and the field keeps its
      // value: a cut path or name would name something else.
      char word[kLineBytes];
      if (!s->word(word, sizeof word) || !s->at_value_end()) return false;
      if (std::strlen(word) >= key.size) return false;
      const bool none = key.kind == ValueKind::kOptionalWord && std::strcmp(word, "-") == 0;
      store_text(settings, key, none ? "" : word);
      if (source != nullptr) source->clamped = false;
      return true;
    }
  }
  // The keys of the first file: text after the value is ignored, and said.
  if (read && reading != nullptr && line > 0) {
    const char* rest = s->p;
    while (*rest != '\0' && is_blank(*rest)) ++rest;
    if (*rest != '\0' && *rest != ';') {
      char quoted[kReportBytes / 2];
      quote_text(rest, static_cast<int>(std::strlen(rest)), quoted, sizeof quoted);
      reading->add_note("%s on line %d: \"%s\" after the value ignored", key.name,
                        static_cast<int>(line), quoted);
    }
  }
  return read;
}

// One line (or piece of one): true when it is blank, a comment, or a key
// whose value was read.
bool apply_line(const char* line, Settings* settings, int32_t number, ConfigReading* reading) {
  char key[kLineBytes];
  Scanner s{line};
  if (!s.word(key, sizeof key)) return true;  // blank line
  if (key[0] == ';') return true;             // comment
  const int index = setting_index(key);
  if (index < 0) return false;
  const bool read = read_value(kSettingKeys[index], &s, settings, number, reading);
  if (reading != nullptr) {
    KeySource& source = reading->sources[index];
    if (read) {
      source.line = number;
      source.from_environment = false;
    } else {
      source.bad_line = number;
    }
  }
  return read;
}

std::string address_text(const int32_t parts[4]) {
  char text[48];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", parts[0], parts[1], parts[2], parts[3]);
  return text;
}

}  // namespace

bool ProxyList::covers(const net::IpAddress& address) const {
  for (int i = 0; i < count; ++i) {
    if (entries[i].contains(address)) return true;
  }
  return false;
}

int ProxyList::format(char* out, int size) const {
  int used = 0;
  if (size > 0) out[0] = '\0';
  for (int i = 0; i < count && used < size; ++i) {
    char text[net::kIpPrefixTextBytes];
    entries[i].format(text);
    used += std::snprintf(out + used, static_cast<size_t>(size - used), "%s%s", i == 0 ? "" : ", ",
                          text);
  }
  return used < size ? used : size - 1;
}

bool ProxyList::operator==(const ProxyList& other) const {
  if (count != other.count) return false;
  for (int i = 0; i < count; ++i) {
    if (!(entries[i] == other.entries[i])) return false;
  }
  return true;
}

Settings::Settings() {
  for (const SettingKey& key : kSettingKeys) {
    Scanner s{key.default_value};
    read_value(key, &s, this, 0, nullptr);
  }
}

int setting_index(const char* name) {
  for (int i = 0; i < kSettingKeyCount; ++i) {
    if (std::strcmp(kSettingKeys[i].name, name) == 0) return i;
  }
  return -1;
}

void ConfigReading::add_bad(int32_t line, const char* text, int length) {
  if (bad_count++ >= kMaxReported) return;
  char quoted[kReportBytes - 24];
  quote_text(text, length, quoted, sizeof quoted);
  std::snprintf(bad[bad_count - 1].text, kReportBytes, "line %d: %s", static_cast<int>(line),
                quoted);
}

void ConfigReading::add_note(const char* format, ...) {
  if (note_count++ >= kMaxReported) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(notes[note_count - 1].text, kReportBytes, format, args);
  va_end(args);
}

std::string file_problem(const char* path, const ConfigReading& reading) {
  switch (reading.result) {
    case FileResult::kTooBig:
      return std::string(path) + ": too big, over " +
             std::to_string(kMaxConfigBytes / 1024 / 1024) + " MiB";
    case FileResult::kNotRegular:
      return std::string(path) + ": not a regular file";
    case FileResult::kUnreadable:
      return std::string("cannot read ") + path + ": " + std::strerror(reading.error);
    default:
      return "";
  }
}

bool apply_config_line(const char* line, Settings* settings) {
  return apply_line(line, settings, 0, nullptr);
}

int read_config_file(const char* path, Settings* settings, ConfigReading* reading) {
  ConfigReading own;
  if (reading == nullptr) reading = &own;
  // What the environment set stays said.
  const bool environment = reading->sources[setting_index("L_ADMIN_GROUP")].from_environment;
  *reading = ConfigReading();
  reading->sources[setting_index("L_ADMIN_GROUP")].from_environment = environment;
  std::FILE* file = nullptr;
  const int opened = platform::open_regular_file(path, kMaxConfigBytes, &file, &reading->error);
  switch (opened) {
    case platform::kFileOpened:
      break;
    case platform::kFileMissing:
      reading->result = FileResult::kMissing;
      return -1;
    case platform::kFileNotRegular:
      reading->result = FileResult::kNotRegular;
      return -1;
    case platform::kFileTooBig:
      reading->result = FileResult::kTooBig;
      return -1;
    default:
      reading->result = FileResult::kUnreadable;
      return -1;
  }
  // Read into a copy: a file found too big or unreadable on the way is
  // refused whole.
  Settings work = *settings;
  char line[kLineBytes];
  int32_t number = 1;  // of the line the next piece starts on
  long total = 0;      // bytes read from the file
  int line_bytes = 0;  // bytes of the current line read so far
  FileResult result = FileResult::kRead;
  for (;;) {
    // One piece: at most 319 characters, up to and including a line feed.
    // A carriage return right before a line feed is dropped, as a text-mode
    // read does.
    int n = 0;
    int c = 0;
    while (n < kLineBytes - 1 && (c = std::fgetc(file)) != EOF) {
      ++total;
      if (c == '\r') {
        int next = std::fgetc(file);
        if (next == '\n') {
          ++total;
          c = '\n';
        } else if (next != EOF) {
          std::ungetc(next, file);
        }
      }
      line[n++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    if (total > kMaxConfigBytes) {
      result = FileResult::kTooBig;  // it grew since it was judged
      break;
    }
    if (n == 0) break;
    line[n] = '\0';
    line_bytes += n;
    if (line_bytes > kMaxLineBytes) {
      // The rest of an over-long line is read away unread.
      while (c != '\n' && c != EOF && total <= kMaxConfigBytes) {
        c = std::fgetc(file);
        if (c != EOF) ++total;
      }
      char note[64];
      const int length =
          std::snprintf(note, sizeof note, "longer than %d bytes; the rest ignored", kMaxLineBytes);
      reading->add_bad(number, note, length);
    } else if (!apply_line(line, &work, number, reading)) {
      reading->add_bad(number, line, n);
    }
    if (c == '\n') {
      ++number;
      line_bytes = 0;
    }
    if (c == EOF) break;
  }
  if (result == FileResult::kRead && std::ferror(file)) {
    result = FileResult::kUnreadable;
    reading->error = errno != 0 ? errno : EIO;
  }
  std::fclose(file);
  if (result != FileResult::kRead) {
    const int error = reading->error;
    *reading = ConfigReading();
    reading->result = result;
    reading->error = error;
    return -1;
  }
  *settings = work;
  reading->result = FileResult::kRead;
  return 0;
}

int load_config_file(const char* path, Settings* settings) {
  return read_config_file(path, settings, nullptr);
}

int load_config(Settings* settings, ConfigReading* reading) {
  return read_config_file(kConfigFileName, settings, reading);
}

void apply_environment(Settings* settings, ConfigReading* reading) {
  const char* group = std::getenv(kAdminGroupVariable);
  if (group == nullptr) return;
  // Read as the key's value in the file: one word that fits; empty or "-"
  // for none.
  const int index = setting_index("L_ADMIN_GROUP");
  const SettingKey& key = kSettingKeys[index];
  Scanner s{group};
  store_text(settings, key, "");
  read_value(key, &s, settings, 0, nullptr);
  if (reading != nullptr) reading->sources[index].from_environment = true;
}

void turn_off_protections(Settings* settings) {
  for (const SettingKey& key : kSettingKeys) {
    if (key.kind == ValueKind::kLimit && key.zero_off) settings->*key.number = 0;
  }
  settings->L_DENY[0] = '\0';
}

void differing_keys(const Settings& a, const Settings& b, std::vector<std::string>* live,
                    std::vector<std::string>* restart) {
  for (const SettingKey& key : kSettingKeys) {
    const bool same = key.kind == ValueKind::kProxyList
                          ? a.L_PROXY == b.L_PROXY
                          : std::memcmp(field_bytes(a, key), field_bytes(b, key), key.size) == 0;
    if (same) continue;
    (key.takes == Takes::kAtOnce ? live : restart)->push_back(key.name);
  }
}

std::string setting_text(const Settings& settings, int index) {
  const SettingKey& key = kSettingKeys[index];
  const char* field = field_bytes(settings, key);
  switch (key.kind) {
    case ValueKind::kNumber:
    case ValueKind::kRooms:
    case ValueKind::kLimit:
      return std::to_string(settings.*key.number);
    case ValueKind::kAddress:
    case ValueKind::kByteAddress:
      return address_text(reinterpret_cast<const int32_t*>(field));
    case ValueKind::kProxyList: {
      if (settings.L_PROXY.count == 0) return "-";
      char list[kProxyEntries * (net::kIpPrefixTextBytes + 2)];
      settings.L_PROXY.format(list, sizeof list);
      return list;
    }
    case ValueKind::kOptionalWord:
      if (field[0] == '\0') return "-";
      break;
    case ValueKind::kName:
    case ValueKind::kWord:
      break;
  }
  const void* end = std::memchr(field, 0, key.size);
  return std::string(field, end != nullptr ? static_cast<const char*>(end) - field : key.size);
}

}  // namespace config
