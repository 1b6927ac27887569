// The command language of the interactive client and of its scripts: one
// command per line, words separated by blanks. Parsing checks every
// argument's form and range, so that whatever parses can be encoded.
#ifndef CLIENT_COMMAND_PARSER_H_
#define CLIENT_COMMAND_PARSER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace client {

// Results of the parsing functions.
constexpr int kParseOk = 0;
constexpr int kParseError = -1;

// Chat text that fits the lobby's 80-byte line: 80 less the 7-byte head.
constexpr int kMaxChatText = 73;
// Bounds of the script-only waits, so that no script can hang the client.
constexpr int kMaxWaitMs = 60000;
constexpr int kDefaultExpectMs = 5000;
// The target of a direct message addressed to the room's host.
constexpr int32_t kHostTarget = 0xffff;

enum class CommandKind {
  kEmpty,  // blank line or comment
  kHelp,
  kQuit,
  kName,       // id, name
  kValidate,   // value
  kLogin,      // id, key, seats, start_size
  kEnter,      // id, name, key, seats, start_size
  kList,       // repeats the last login
  kCreate,     // 2L -1
  kJoin,       // 2L room
  kLeave,      // 2L -2
  kLeaveGame,  // 2L -3
  kChat,       // text (value 0)
  kDirect,     // target, value
  kPing,       // 2P
  kRaw,        // bytes
  kWait,       // wait_ms
  kExpect,     // text, wait_ms
};

struct Command {
  CommandKind kind = CommandKind::kEmpty;
  int32_t id = 0;
  std::string name;
  int32_t key = 0;
  int32_t seats = 8;
  int32_t start_size = 8;
  // Validation value, room number or direct-message value.
  int32_t value = 0;
  int32_t target = 0;  // direct: seat 0..7 or kHostTarget
  std::string text;    // chat text, or the text `expect` waits for
  std::string bytes;   // raw
  int32_t wait_ms = 0;
};

// Parses one line. On kParseError `*error` says what is wrong in words an
// operator can act on, and `*command` is unspecified. Lines that are blank
// or start with '#' parse as kEmpty.
int parse_command(const std::string& line, Command* command, std::string* error);

// A decimal number (optionally signed) or a 0x-prefixed hexadecimal one,
// within [min, max]. kParseOk, or kParseError with `*error` naming `what`.
int parse_number(const std::string& token, int64_t min, int64_t max, const char* what,
                 int64_t* value, std::string* error);

// Hexadecimal bytes in any grouping of whole pairs: "32 4e", "324e",
// "0x32 4E". At least one byte.
int parse_hex_bytes(const std::vector<std::string>& tokens, std::string* bytes, std::string* error);

// The bytes a command sends, for the commands whose bytes depend on nothing
// but the command itself (kName, kValidate, kLogin, kEnter, kCreate, kJoin,
// kLeave, kLeaveGame, kChat, kDirect, kPing, kRaw); empty for the others.
std::string command_bytes(const Command& command);

// The help text: every command, one line each.
const char* help_text();

}  // namespace client

#endif  // CLIENT_COMMAND_PARSER_H_
