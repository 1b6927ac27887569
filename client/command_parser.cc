#include "client/command_parser.h"

#include <cstdint>

#include "client/wire_codec.h"
#include "wire/protocol.h"

namespace client {
namespace {

constexpr int64_t kI32Min = INT32_MIN;
constexpr int64_t kI32Max = INT32_MAX;
constexpr int64_t kU16Max = 0xffff;
// Rooms have eight seats, 0..7.
constexpr int64_t kLastSeat = 7;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The line without the blanks around it.
std::string trim(const std::string& line) {
  size_t begin = 0;
  size_t end = line.size();
  while (begin < end && is_blank(line[begin])) ++begin;
  while (end > begin && is_blank(line[end - 1])) --end;
  return line.substr(begin, end - begin);
}

std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_blank(text[i])) ++i;
    size_t start = i;
    while (i < text.size() && !is_blank(text[i])) ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

// What follows the command word, with the blanks after the word dropped and
// the inner spacing kept (chat text is sent as typed).
std::string rest_after_word(const std::string& trimmed) {
  size_t i = 0;
  while (i < trimmed.size() && !is_blank(trimmed[i])) ++i;
  while (i < trimmed.size() && is_blank(trimmed[i])) ++i;
  return trimmed.substr(i);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Collects the arguments of one command and reports the first problem
// with them, naming the command and its usage.
class Args {
 public:
  Args(const std::vector<std::string>& words, const char* usage, std::string* error)
      : words_(words), usage_(usage), error_(error) {}

  // Between `min` and `max` arguments after the command word.
  bool count(size_t min, size_t max) {
    const size_t n = words_.size() - 1;
    if (n < min) return fail("missing argument");
    if (n > max) return fail("too many arguments");
    return true;
  }
  bool has(size_t index) const { return index < words_.size(); }
  const std::string& word(size_t index) const { return words_[index]; }

  bool number(size_t index, int64_t min, int64_t max, const char* what, int32_t* out) {
    int64_t value = 0;
    std::string why;
    if (parse_number(words_[index], min, max, what, &value, &why) != kParseOk) return fail(why);
    *out = static_cast<int32_t>(value);
    return true;
  }
  bool optional_number(size_t index, int64_t min, int64_t max, const char* what, int32_t* out) {
    return !has(index) || number(index, min, max, what, out);
  }
  bool name(size_t index, std::string* out) {
    if (words_[index].size() > static_cast<size_t>(kNameBytes)) {
      return fail("NAME '" + words_[index] + "' is longer than 16 bytes");
    }
    *out = words_[index];
    return true;
  }
  bool fail(const std::string& why) {
    *error_ = words_[0] + ": " + why + " (usage: " + usage_ + ")";
    return false;
  }

 private:
  const std::vector<std::string>& words_;
  const char* usage_;
  std::string* error_;
};

bool parse_login_fields(Args& args, size_t first, Command* c) {
  return args.number(first, kI32Min, kI32Max, "ID", &c->id) &&
         args.number(first + 1, kI32Min, kI32Max, "KEY", &c->key) &&
         args.optional_number(first + 2, 0, kU16Max, "SEATS", &c->seats) &&
         args.optional_number(first + 3, 0, kU16Max, "START", &c->start_size);
}

// Commands without arguments.
struct Simple {
  const char* word;
  CommandKind kind;
};
constexpr Simple kSimpleCommands[] = {
    {"help", CommandKind::kHelp},   {"quit", CommandKind::kQuit},
    {"list", CommandKind::kList},   {"create", CommandKind::kCreate},
    {"leave", CommandKind::kLeave}, {"leavegame", CommandKind::kLeaveGame},
    {"ping", CommandKind::kPing},
};

bool parse_words(const std::string& trimmed, const std::vector<std::string>& words, Command* c,
                 std::string* error) {
  const std::string& verb = words[0];
  for (const Simple& simple : kSimpleCommands) {
    if (verb != simple.word) continue;
    Args args(words, simple.word, error);
    c->kind = simple.kind;
    return args.count(0, 0);
  }
  if (verb == "name") {
    Args args(words, "name ID NAME", error);
    c->kind = CommandKind::kName;
    return args.count(2, 2) && args.number(1, kI32Min, kI32Max, "ID", &c->id) &&
           args.name(2, &c->name);
  }
  if (verb == "validate") {
    Args args(words, "validate [V]", error);
    c->kind = CommandKind::kValidate;
    c->value = 1;
    return args.count(0, 1) && args.optional_number(1, kI32Min, kI32Max, "V", &c->value);
  }
  if (verb == "login") {
    Args args(words, "login ID KEY [SEATS] [START]", error);
    c->kind = CommandKind::kLogin;
    return args.count(2, 4) && parse_login_fields(args, 1, c);
  }
  if (verb == "enter") {
    Args args(words, "enter ID NAME KEY [SEATS] [START]", error);
    c->kind = CommandKind::kEnter;
    return args.count(3, 5) && args.number(1, kI32Min, kI32Max, "ID", &c->id) &&
           args.name(2, &c->name) && args.number(3, kI32Min, kI32Max, "KEY", &c->key) &&
           args.optional_number(4, 0, kU16Max, "SEATS", &c->seats) &&
           args.optional_number(5, 0, kU16Max, "START", &c->start_size);
  }
  if (verb == "join") {
    // Negative values are the other room operations, which have commands
    // of their own.
    Args args(words, "join ROOM", error);
    c->kind = CommandKind::kJoin;
    return args.count(1, 1) && args.number(1, 0, kI32Max, "ROOM", &c->value);
  }
  if (verb == "chat") {
    Args args(words, "chat TEXT...", error);
    c->kind = CommandKind::kChat;
    if (!args.count(1, SIZE_MAX)) return false;
    c->text = rest_after_word(trimmed);
    if (c->text.size() > static_cast<size_t>(kMaxChatText)) {
      return args.fail("text of " + std::to_string(c->text.size()) + " bytes is longer than " +
                       std::to_string(kMaxChatText) +
                       " (the lobby drops lines above 80 bytes in all)");
    }
    return true;
  }
  if (verb == "direct") {
    Args args(words, "direct SEAT|host VALUE", error);
    c->kind = CommandKind::kDirect;
    if (!args.count(2, 2)) return false;
    if (words[1] == "host") {
      c->target = kHostTarget;
    } else if (!args.number(1, 0, kLastSeat, "SEAT", &c->target)) {
      return false;
    }
    return args.number(2, kI32Min, kI32Max, "VALUE", &c->value);
  }
  if (verb == "raw") {
    Args args(words, "raw HEX...", error);
    c->kind = CommandKind::kRaw;
    if (!args.count(1, SIZE_MAX)) return false;
    std::string why;
    std::vector<std::string> tokens(words.begin() + 1, words.end());
    if (parse_hex_bytes(tokens, &c->bytes, &why) != kParseOk) return args.fail(why);
    return true;
  }
  if (verb == "wait") {
    Args args(words, "wait MS", error);
    c->kind = CommandKind::kWait;
    return args.count(1, 1) && args.number(1, 0, kMaxWaitMs, "MS", &c->wait_ms);
  }
  if (verb == "expect") {
    Args args(words, "expect TEXT...", error);
    c->kind = CommandKind::kExpect;
    c->wait_ms = kDefaultExpectMs;
    if (!args.count(1, SIZE_MAX)) return false;
    c->text = rest_after_word(trimmed);
    return true;
  }
  *error = "unknown command '" + verb + "' (type help for the list)";
  return false;
}

}  // namespace

int parse_number(const std::string& token, int64_t min, int64_t max, const char* what,
                 int64_t* value, std::string* error) {
  size_t i = 0;
  bool negative = false;
  if (i < token.size() && (token[i] == '-' || token[i] == '+')) negative = token[i++] == '-';
  int base = 10;
  if (token.size() >= i + 2 && token[i] == '0' && (token[i + 1] == 'x' || token[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  const char* kind = base == 16 ? "hexadecimal " : "";
  if (i == token.size()) {
    *error = std::string(what) + " '" + token + "' is not a " + kind + "number";
    return kParseError;
  }
  // Accumulated with a cap, so that any number of digits is judged without
  // overflow: anything above the cap is out of every range we accept.
  constexpr int64_t kCap = int64_t{1} << 40;
  int64_t magnitude = 0;
  for (; i < token.size(); ++i) {
    const int digit = hex_digit(token[i]);
    if (digit < 0 || digit >= base) {
      *error = std::string(what) + " '" + token + "' is not a " + kind + "number";
      return kParseError;
    }
    magnitude = magnitude * base + digit;
    if (magnitude > kCap) magnitude = kCap;
  }
  const int64_t signed_value = negative ? -magnitude : magnitude;
  if (signed_value < min || signed_value > max) {
    *error = std::string(what) + " " + token + " is out of range " + std::to_string(min) + ".." +
             std::to_string(max);
    return kParseError;
  }
  *value = signed_value;
  return kParseOk;
}

int parse_hex_bytes(const std::vector<std::string>& tokens, std::string* bytes,
                    std::string* error) {
  std::string out;
  for (const std::string& token : tokens) {
    size_t i = 0;
    if (token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) i = 2;
    if (i == token.size() || (token.size() - i) % 2 != 0) {
      *error = "'" + token + "' is not whole hexadecimal bytes (two digits each)";
      return kParseError;
    }
    for (; i < token.size(); i += 2) {
      const int high = hex_digit(token[i]);
      const int low = hex_digit(token[i + 1]);
      if (high < 0 || low < 0) {
        *error = "'" + token + "' is not hexadecimal";
        return kParseError;
      }
      out += static_cast<char>(high * 16 + low);
    }
  }
  if (out.empty()) {
    *error = "no bytes given";
    return kParseError;
  }
  *bytes = out;
  return kParseOk;
}

int parse_command(const std::string& line, Command* command, std::string* error) {
  *command = Command();
  const std::string trimmed = trim(line);
  if (trimmed.empty() || trimmed[0] == '#') return kParseOk;
  const std::vector<std::string> words = split_words(trimmed);
  return parse_words(trimmed, words, command, error) ? kParseOk : kParseError;
}

std::string command_bytes(const Command& c) {
  switch (c.kind) {
    case CommandKind::kName:
      return encode_name(c.id, c.name);
    case CommandKind::kValidate:
      return encode_validation(c.value);
    case CommandKind::kLogin:
      return encode_login(c.id, c.key, c.seats, c.start_size);
    case CommandKind::kEnter:
      return encode_name(c.id, c.name) + encode_validation(1) +
             encode_login(c.id, c.key, c.seats, c.start_size);
    case CommandKind::kCreate:
      return encode_room_op(wire::kOpCreate);
    case CommandKind::kJoin:
      return encode_room_op(c.value);
    case CommandKind::kLeave:
      return encode_room_op(wire::kOpLeaveRoom);
    case CommandKind::kLeaveGame:
      return encode_room_op(wire::kOpLeaveGame);
    case CommandKind::kChat:
      return encode_chat(0, c.text);
    case CommandKind::kDirect:
      return encode_direct(c.target, c.value);
    case CommandKind::kPing:
      return encode_keep_alive();
    case CommandKind::kRaw:
      return c.bytes;
    default:
      return "";
  }
}

const char* help_text() {
  return "commands (numbers are decimal or 0x hexadecimal):\n"
         "  name ID NAME                       send 2N: user id, name of at most 16 bytes\n"
         "  validate [V]                       send 2V with V (default 1)\n"
         "  login ID KEY [SEATS] [START]       send 2G (SEATS and START 0..65535, default 8)\n"
         "  enter ID NAME KEY [SEATS] [START]  name, validate 1 and login in one go\n"
         "  list                               the room list: the lobby sends it only on login,\n"
         "                                     so this repeats validate 1 and the last login\n"
         "  create                             send 2L -1: create a room\n"
         "  join ROOM                          send 2L ROOM: join room ROOM (0 and above)\n"
         "  leave                              send 2L -2: leave the room\n"
         "  leavegame                          send 2L -3: leave the game\n"
         "  chat TEXT...                       send 2C with value 0; at most 73 bytes of text\n"
         "  direct SEAT|host VALUE             send 2D to seat 0..7 or to the room's host\n"
         "  ping                               send 2P (also sent by itself every 30 s)\n"
         "  raw HEX...                         send raw bytes, e.g. raw 32 50\n"
         "  wait MS                            keep receiving for MS ms (at most 60000)\n"
         "  expect TEXT...                     wait up to 5 s for a received line containing\n"
         "                                     TEXT; a script fails when it does not come\n"
         "  help                               this list\n"
         "  quit                               close the connection and exit\n"
         "lines starting with # are comments\n";
}

}  // namespace client
