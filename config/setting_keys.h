// The keys of "dorvik.txt", one row each: the field a key sets, its
// default, its range, whether a reload applies it at once or it waits for
// a restart, and a line of help. The reading of the file, the defaults of
// a fresh Settings, the settings a reload publishes and reports, and the
// settings listing (lobby_server --check, lobbyctl settings) all go by this
// table, and tests hold the README, the example file and the manual page
// to it. A new key is a field of Settings and a row here.
#ifndef CONFIG_SETTING_KEYS_H_
#define CONFIG_SETTING_KEYS_H_

#include <cstddef>
#include <cstdint>
#include <limits>

#include "config/settings.h"

namespace config {

// How a key's value is written and read.
enum class ValueKind : uint8_t {
  // The seven keys the file first had keep their lenient reading: the
  // value's leading part counts and text after it is ignored (a note names
  // it).
  kNumber,       // a decimal int32; longer numbers wrap as a 32-bit store does
  kRooms,        // kNumber, then lowered to kMaxRooms (never raised)
  kName,         // a word, cut to fit the field
  kAddress,      // four dotted decimal parts, each kept as given
  kByteAddress,  // the same; a part outside 0..255 is refused and keeps its value
  // Every later key is read strictly: the value and after it nothing but
  // blanks or a ";" comment, or the line is bad and the key keeps its value.
  kLimit,         // a whole decimal number, clamped into least..most
  kWord,          // one word that fits the field whole
  kOptionalWord,  // kWord, where "-" stands for none (an empty field)
  // IPv4 addresses or prefixes separated by blanks or commas; several lines
  // add up, "-" alone empties the list.
  kProxyList,
};

// When a changed value takes effect.
enum class Takes : uint8_t { kAtOnce, kRestart };

struct SettingKey {
  const char* name;
  ValueKind kind;
  // The field: the number (null for a text or an address) and its bytes.
  int32_t Settings::*number;
  size_t offset;
  size_t size;
  // The value as a line of the file would give it.
  const char* default_value;
  // kLimit only: the range, and whether 0 turns the key's feature off
  // (rather than being clamped to `least`).
  int32_t least;
  int32_t most;
  bool zero_off;
  Takes takes;
  const char* help;
};

#define CONFIG_NUMBER_FIELD(f) &Settings::f, offsetof(Settings, f), sizeof(Settings::f)
#define CONFIG_BYTES_FIELD(f) nullptr, offsetof(Settings, f), sizeof(Settings::f)

constexpr int32_t kInt32Least = std::numeric_limits<int32_t>::min();
constexpr int32_t kInt32Most = std::numeric_limits<int32_t>::max();

// In the order the README and the listings give them.
inline constexpr SettingKey kSettingKeys[] = {
    {"VER", ValueKind::kNumber, CONFIG_NUMBER_FIELD(VER), "0", 0, 0, false, Takes::kAtOnce,
     "game-data version shown in the status lines"},
    {"ROOM", ValueKind::kRooms, CONFIG_NUMBER_FIELD(ROOM), "4", 0, 0, false, Takes::kRestart,
     "rooms (at most 4); also worker threads and 8 x ROOM client slots"},
    {"L_NAME", ValueKind::kName, CONFIG_BYTES_FIELD(L_NAME), "sample_lobby", 0, 0, false,
     Takes::kAtOnce, "lobby name shown in the status lines (one word, at most 63 characters)"},
    {"L_IP", ValueKind::kAddress, CONFIG_BYTES_FIELD(L_IP), "0.0.0.0", 0, 0, false, Takes::kRestart,
     "the lobby's own address, reported to the upstream server"},
    {"L_PORT", ValueKind::kNumber, CONFIG_NUMBER_FIELD(L_PORT), "30009", 0, 0, false,
     Takes::kRestart, "TCP port for game clients"},
    {"N_IP", ValueKind::kByteAddress, CONFIG_BYTES_FIELD(N_IP), "127.0.0.1", 0, 0, false,
     Takes::kAtOnce, "upstream server address (parts outside 0..255 are ignored)"},
    {"N_PORT", ValueKind::kNumber, CONFIG_NUMBER_FIELD(N_PORT), "0", 0, 0, false, Takes::kAtOnce,
     "upstream server port; 0: no upstream link"},
    {"L_LOGIN_WAIT", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_LOGIN_WAIT), "30", 1, kLoginWaitMax,
     true, Takes::kAtOnce, "seconds a connection may go without an accepted login"},
    {"L_PER_IP", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_PER_IP), "8", 1, kPerIpMax, true,
     Takes::kAtOnce, "open connections per address: an IPv4 address, an IPv6 /64"},
    {"L_FLOOD_RATE", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_FLOOD_RATE), "25", 1, kFloodMax, true,
     Takes::kAtOnce, "messages a second per client"},
    {"L_FLOOD_BURST", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_FLOOD_BURST), "50", 1, kFloodMax,
     false, Takes::kAtOnce, "messages a client may send at once"},
    {"L_CHAT_RATE", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_CHAT_RATE), "2", 1, kChatPaceMax, true,
     Takes::kAtOnce, "chat lines a second per address (an IPv6 /64), all its connections together"},
    {"L_CHAT_BURST", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_CHAT_BURST), "10", 1, kChatPaceMax,
     false, Takes::kAtOnce, "chat lines an address may send at once"},
    {"L_DENY", ValueKind::kOptionalWord, CONFIG_BYTES_FIELD(L_DENY), "deny.txt", 0, 0, false,
     Takes::kAtOnce, "file of denied addresses; a missing file denies nothing; -: none"},
    {"L_PER_NET", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_PER_NET), "16", 1, kPerNetMax, true,
     Takes::kAtOnce, "open connections per network: an IPv4 /24, an IPv6 /48"},
    {"L_CONN_RATE", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_CONN_RATE), "20", 1, kConnRateMax,
     true, Takes::kAtOnce, "new connections per address (an IPv6 /64) a minute"},
    {"L_LURK", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_LURK), "300", kLurkMin, kLurkMax, true,
     Takes::kAtOnce,
     "seconds a logged-in client outside every room may send only keep-alives before a "
     "newcomer may take its slot"},
    {"L_ROOMS_PER_IP", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_ROOMS_PER_IP), "1", 1,
     kRoomsPerIpMax, true, Takes::kAtOnce, "rooms the clients of one address may host at once"},
    {"L_AUTOBAN", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_AUTOBAN), "5", 1, kAutoBanMax, true,
     Takes::kAtOnce, "drops of one address within 10 minutes that ban it automatically"},
    {"L_AUTOBAN_S", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_AUTOBAN_S), "600", 1,
     kAutoBanSecondsMax, false, Takes::kAtOnce, "seconds an automatic ban lasts"},
    {"L_SEND_BUFFER", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_SEND_BUFFER), "65536",
     kSendBufferMin, kSendBufferMax, true, Takes::kAtOnce,
     "bytes of kernel send buffer of each new client socket: what a client that stops reading "
     "can hold of the host's memory"},
    {"L_PROXY", ValueKind::kProxyList, CONFIG_BYTES_FIELD(L_PROXY), "-", 0, 0, false,
     Takes::kAtOnce,
     "the proxies and load balancers trusted to name their players with a PROXY header: IPv4 "
     "addresses or prefixes separated by blanks or commas, at most 64; several lines add up; -: "
     "none"},
    {"L_SAY_ID", ValueKind::kLimit, CONFIG_NUMBER_FIELD(L_SAY_ID), "0", kInt32Least, kInt32Most,
     false, Takes::kAtOnce,
     "the value in bytes 2-5 of the operator's chat lines (lobbyctl say), which a game client "
     "shows as their sender"},
    {"L_CHAT_LOG", ValueKind::kOptionalWord, CONFIG_BYTES_FIELD(L_CHAT_LOG), "-", 0, 0, false,
     Takes::kAtOnce,
     "moderation log: every chat line, with who sent it, appended to this file; -: none"},
    {"L_ADMIN", ValueKind::kWord, CONFIG_BYTES_FIELD(L_ADMIN), "lobby.sock", 0, 0, false,
     Takes::kRestart,
     "path of the admin socket (relative to the working directory); - turns the admin "
     "channel off"},
    {"L_ADMIN_GROUP", ValueKind::kOptionalWord, CONFIG_BYTES_FIELD(L_ADMIN_GROUP), "-", 0, 0, false,
     Takes::kRestart,
     "a group whose members may use the admin socket too (mode 0660); -: the owner alone"},
    {"L_CHARSET", ValueKind::kWord, CONFIG_BYTES_FIELD(L_CHARSET), "CP932", 0, 0, false,
     Takes::kAtOnce, "character set of names, titles and chat text on the wire"},
};

#undef CONFIG_NUMBER_FIELD
#undef CONFIG_BYTES_FIELD

constexpr int kSettingKeyCount = static_cast<int>(sizeof kSettingKeys / sizeof kSettingKeys[0]);

// The row of the number field `field`; -1 for none.
constexpr int setting_index(int32_t Settings::*field) {
  for (int i = 0; i < kSettingKeyCount; ++i) {
    if (kSettingKeys[i].number == field) return i;
  }
  return -1;
}

// The row of the key called `name`; -1 for none.
int setting_index(const char* name);

// True for the keys read strictly (every key but the seven the file first
// had).
constexpr bool is_strict(ValueKind kind) {
  return kind == ValueKind::kLimit || kind == ValueKind::kWord ||
         kind == ValueKind::kOptionalWord || kind == ValueKind::kProxyList;
}

}  // namespace config

#endif  // CONFIG_SETTING_KEYS_H_
