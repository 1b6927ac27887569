#include "config/settings.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace config {
namespace {

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
  // that a protection's limit written too big is clamped, not turned into
  // some small or negative value.
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
};

bool scan_number(Scanner* s, int32_t* field) {
  int32_t value;
  if (!s->number(&value)) return false;
  *field = value;
  return true;
}

// "%s %d.%d.%d.%d": stops at the first field that does not match. With
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

// A protection's value: 0 keeps it off where `zero_is_off`; anything else
// outside `min`..`max` is clamped, with a note for the event log.
bool scan_limit(Scanner* s, const char* key, int32_t min, int32_t max, bool zero_is_off,
                Settings* settings, int32_t* field) {
  int64_t value;
  if (!s->limit_number(&value)) return false;
  int32_t used = static_cast<int32_t>(value < min ? min : value > max ? max : value);
  if (zero_is_off && value == 0) used = 0;
  *field = used;
  if (used == value || settings->note_count >= kMaxNotes) return true;
  std::snprintf(settings->notes[settings->note_count++], kNoteBytes,
                "%s %lld is outside %s%d..%d: %d used", key, static_cast<long long>(value),
                zero_is_off ? "0 or " : "", min, max, used);
  return true;
}

// "%s %s" into a text field of `size` bytes. A word that does not fit is
// refused whole and the field keeps its value: a cut path or character set
// name would name something else.
bool scan_text(Scanner* s, char* field, int size) {
  char word[kLineBytes];
  if (!s->word(word, sizeof word)) return false;
  if (std::strlen(word) >= static_cast<size_t>(size)) return false;
  std::strcpy(field, word);
  return true;
}

// "-" stands for no group, so that a file can undo what the environment
// gave.
bool set_admin_group(Scanner* s, Settings* settings) {
  const bool read = scan_text(s, settings->L_ADMIN_GROUP, kGroupBytes);
  if (std::strcmp(settings->L_ADMIN_GROUP, "-") == 0) settings->L_ADMIN_GROUP[0] = '\0';
  return read;
}

}  // namespace

bool apply_config_line(const char* line, Settings* settings) {
  char key[kLineBytes];
  Scanner s{line};
  if (!s.word(key, sizeof key)) return true;  // blank line
  if (key[0] == ';') return true;             // comment
  if (std::strcmp(key, "VER") == 0) {
    return scan_number(&s, &settings->VER);
  } else if (std::strcmp(key, "ROOM") == 0) {
    if (!scan_number(&s, &settings->ROOM)) return false;
    if (settings->ROOM > kMaxRooms) settings->ROOM = kMaxRooms;
    return true;
  } else if (std::strcmp(key, "L_NAME") == 0) {
    // The field holds 63 characters and its zero: a longer name is cut.
    char name[kNameBytes] = {};
    if (!s.word(name, sizeof name)) return false;
    std::memcpy(settings->L_NAME, name, sizeof name);
    return true;
  } else if (std::strcmp(key, "L_IP") == 0) {
    return scan_address(&s, settings->L_IP, false);
  } else if (std::strcmp(key, "L_PORT") == 0) {
    return scan_number(&s, &settings->L_PORT);
  } else if (std::strcmp(key, "N_IP") == 0) {
    return scan_address(&s, settings->N_IP, true);
  } else if (std::strcmp(key, "N_PORT") == 0) {
    return scan_number(&s, &settings->N_PORT);
  } else if (std::strcmp(key, "L_LOGIN_WAIT") == 0) {
    return scan_limit(&s, key, 1, kLoginWaitMax, true, settings, &settings->L_LOGIN_WAIT);
  } else if (std::strcmp(key, "L_PER_IP") == 0) {
    return scan_limit(&s, key, 1, kPerIpMax, true, settings, &settings->L_PER_IP);
  } else if (std::strcmp(key, "L_FLOOD_RATE") == 0) {
    return scan_limit(&s, key, 1, kFloodMax, true, settings, &settings->L_FLOOD_RATE);
  } else if (std::strcmp(key, "L_FLOOD_BURST") == 0) {
    return scan_limit(&s, key, 1, kFloodMax, false, settings, &settings->L_FLOOD_BURST);
  } else if (std::strcmp(key, "L_PER_NET") == 0) {
    return scan_limit(&s, key, 1, kPerNetMax, true, settings, &settings->L_PER_NET);
  } else if (std::strcmp(key, "L_CONN_RATE") == 0) {
    return scan_limit(&s, key, 1, kConnRateMax, true, settings, &settings->L_CONN_RATE);
  } else if (std::strcmp(key, "L_LURK") == 0) {
    return scan_limit(&s, key, kLurkMin, kLurkMax, true, settings, &settings->L_LURK);
  } else if (std::strcmp(key, "L_ROOMS_PER_IP") == 0) {
    return scan_limit(&s, key, 1, kRoomsPerIpMax, true, settings, &settings->L_ROOMS_PER_IP);
  } else if (std::strcmp(key, "L_AUTOBAN") == 0) {
    return scan_limit(&s, key, 1, kAutoBanMax, true, settings, &settings->L_AUTOBAN);
  } else if (std::strcmp(key, "L_AUTOBAN_S") == 0) {
    return scan_limit(&s, key, 1, kAutoBanSecondsMax, false, settings, &settings->L_AUTOBAN_S);
  } else if (std::strcmp(key, "L_SEND_BUFFER") == 0) {
    return scan_limit(&s, key, kSendBufferMin, kSendBufferMax, true, settings,
                      &settings->L_SEND_BUFFER);
  } else if (std::strcmp(key, "L_CHAT_RATE") == 0) {
    return scan_limit(&s, key, 1, kChatPaceMax, true, settings, &settings->L_CHAT_RATE);
  } else if (std::strcmp(key, "L_CHAT_BURST") == 0) {
    return scan_limit(&s, key, 1, kChatPaceMax, false, settings, &settings->L_CHAT_BURST);
  } else if (std::strcmp(key, "L_DENY") == 0) {
    // A path that does not fit is refused, like L_ADMIN's: cut, it would
    // name another file, which a ban would then replace.
    return scan_text(&s, settings->L_DENY, kPathBytes);
  } else if (std::strcmp(key, "L_ADMIN") == 0) {
    return scan_text(&s, settings->L_ADMIN, kPathBytes);
  } else if (std::strcmp(key, "L_CHARSET") == 0) {
    return scan_text(&s, settings->L_CHARSET, kCharsetBytes);
  } else if (std::strcmp(key, "L_ADMIN_GROUP") == 0) {
    return set_admin_group(&s, settings);
  }
  return false;
}

int load_config_file(const char* path, Settings* settings, std::vector<std::string>* bad_lines) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return -1;
  char line[kLineBytes];
  int number = 1;  // of the line the next piece starts on
  for (;;) {
    // One piece: at most 319 characters, up to and including a line feed.
    // A carriage return right before a line feed is dropped, as a text-mode
    // read does.
    int n = 0;
    int c = 0;
    while (n < kLineBytes - 1 && (c = std::fgetc(file)) != EOF) {
      if (c == '\r') {
        int next = std::fgetc(file);
        if (next == '\n') {
          c = '\n';
        } else if (next != EOF) {
          std::ungetc(next, file);
        }
      }
      line[n++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    if (n == 0) break;
    line[n] = '\0';
    if (!apply_config_line(line, settings) && bad_lines != nullptr) {
      std::string text(line);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      bad_lines->push_back("line " + std::to_string(number) + ": " + text);
    }
    if (c == '\n') ++number;
    if (c == EOF) break;
  }
  std::fclose(file);
  return 0;
}

void apply_environment(Settings* settings) {
  const char* group = std::getenv(kAdminGroupVariable);
  if (group == nullptr) return;
  // Read as the key's value in the file: one word that fits; empty or "-"
  // for none.
  settings->L_ADMIN_GROUP[0] = '\0';
  Scanner s{group};
  set_admin_group(&s, settings);
}

void turn_off_protections(Settings* settings) {
  settings->L_LOGIN_WAIT = 0;
  settings->L_PER_IP = 0;
  settings->L_FLOOD_RATE = 0;
  settings->L_CHAT_RATE = 0;
  settings->L_PER_NET = 0;
  settings->L_CONN_RATE = 0;
  settings->L_LURK = 0;
  settings->L_ROOMS_PER_IP = 0;
  settings->L_AUTOBAN = 0;
  settings->L_SEND_BUFFER = 0;
  settings->L_DENY[0] = '\0';
}

int load_config(Settings* settings) {
  std::strcpy(settings->L_NAME, "sample_lobby");
  settings->N_IP[0] = 127;
  settings->N_IP[1] = 0;
  settings->N_IP[2] = 0;
  settings->N_IP[3] = 1;
  return load_config_file(kConfigFileName, settings);
}

}  // namespace config
