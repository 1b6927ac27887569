// The server's settings, read from "dorvik.txt" before any thread starts;
// a reload reads the file again into a new record and publishes the keys
// that take effect at once (see config/live_settings.h).
#ifndef CONFIG_SETTINGS_H_
#define CONFIG_SETTINGS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace config {

constexpr char kConfigFileName[] = "dorvik.txt";
constexpr int kNameBytes = 64;    // L_NAME with its terminating zero
constexpr int kLineBytes = 320;   // one line piece with its terminating zero
constexpr int32_t kMaxRooms = 4;  // ROOM above this is lowered to it
constexpr int32_t kDefaultPort = 30009;
constexpr int kPathBytes = 256;    // L_ADMIN and L_DENY with their terminating zero
constexpr int kCharsetBytes = 32;  // L_CHARSET with its terminating zero
constexpr int kGroupBytes = 64;    // L_ADMIN_GROUP with its terminating zero
// The environment variable that gives L_ADMIN_GROUP before dorvik.txt is
// read (a service unit sets it; a line in the file wins).
constexpr char kAdminGroupVariable[] = "L_ADMIN_GROUP";
// L_ADMIN that turns the admin channel off.
constexpr char kAdminOff[] = "-";
// Notes on values the reader clamped, kept until the event log is open.
constexpr int kMaxNotes = 8;
constexpr int kNoteBytes = 96;

// Ranges of the protections; 0 turns off each but the bursts and
// L_AUTOBAN_S.
constexpr int32_t kLoginWaitMax = 3600;  // L_LOGIN_WAIT, seconds
constexpr int32_t kPerIpMax = 32;        // L_PER_IP, open connections
constexpr int32_t kPerNetMax = 32;       // L_PER_NET, open connections
constexpr int32_t kFloodMax = 10000;     // L_FLOOD_RATE (a second) and L_FLOOD_BURST
constexpr int32_t kChatPaceMax = 10000;  // L_CHAT_RATE (a second) and L_CHAT_BURST
constexpr int32_t kConnRateMax = 6000;   // L_CONN_RATE, connections a minute
constexpr int32_t kLurkMin = 30;         // L_LURK, seconds
constexpr int32_t kLurkMax = 3600;
constexpr int32_t kRoomsPerIpMax = kMaxRooms;           // L_ROOMS_PER_IP
constexpr int32_t kAutoBanMax = 32;                     // L_AUTOBAN, drops
constexpr int32_t kAutoBanSecondsMax = 30 * 24 * 3600;  // L_AUTOBAN_S
constexpr int32_t kSendBufferMin = 8 * 1024;            // L_SEND_BUFFER, bytes
constexpr int32_t kSendBufferMax = 4 * 1024 * 1024;

struct Settings {
  int32_t VER = 0;
  int32_t ROOM = kMaxRooms;
  char L_NAME[kNameBytes] = "sample_lobby";
  int32_t L_IP[4] = {0, 0, 0, 0};
  int32_t L_PORT = kDefaultPort;
  int32_t N_IP[4] = {127, 0, 0, 1};
  int32_t N_PORT = 0;
  // The operator's admin channel: a Unix-domain socket at this path,
  // relative to the working directory (on Windows the named pipe named
  // after its file name); "-" turns it off.
  char L_ADMIN[kPathBytes] = "lobby.sock";
  // A group whose members may use the admin socket as its owner does
  // (mode 0660, the file given to the group); empty, or "-" in the file:
  // the owner alone. POSIX only.
  char L_ADMIN_GROUP[kGroupBytes] = "";
  // The character set of names and titles on the wire, for the admin
  // channel's text (an iconv name).
  char L_CHARSET[kCharsetBytes] = "CP932";

  // Protections for a lobby open to anyone (each 0 turns it off, except
  // the bursts): seconds from the connection to an accepted login, open
  // connections per address (an IPv4 address, an IPv6 /64), messages a
  // second per client and the burst a client may send at once, chat lines a
  // second per address (all its connections together) and the burst it may
  // send at once, and the deny list's file (empty: none).
  int32_t L_LOGIN_WAIT = 30;
  int32_t L_PER_IP = 8;
  int32_t L_FLOOD_RATE = 25;
  int32_t L_FLOOD_BURST = 50;
  int32_t L_CHAT_RATE = 2;
  int32_t L_CHAT_BURST = 10;
  char L_DENY[kPathBytes] = "deny.txt";
  // Open connections per network (an IPv4 /24, an IPv6 /48); new
  // connections per address a minute (a bucket that holds as many and
  // refills at that pace); seconds a logged-in client outside every room
  // may send only keep-alives before it may give its slot to a newcomer;
  // rooms one address may host at once; drops of one address within 10
  // minutes that ban it, and for how many seconds (L_AUTOBAN_S is never 0).
  int32_t L_PER_NET = 16;
  int32_t L_CONN_RATE = 20;
  int32_t L_LURK = 300;
  int32_t L_ROOMS_PER_IP = 1;
  int32_t L_AUTOBAN = 5;
  int32_t L_AUTOBAN_S = 600;
  // The kernel's send buffer of each client socket, in bytes, so that a
  // client that stops reading holds at most that much of the host's memory;
  // 0 leaves the kernel's own sizing. With it on, a client dropped for its
  // own fault (not reading, flooding, bad framing, a ban) is reset rather
  // than closed: what the kernel still holds for it is thrown away.
  int32_t L_SEND_BUFFER = 64 * 1024;

  // What the reader clamped into range, one line each ("L_PER_IP 40 is
  // outside 1..32: 32 used"); the process logs them once its log is open.
  char notes[kMaxNotes][kNoteBytes] = {};
  int32_t note_count = 0;

  // Test seams, never read from the file: 0 keeps the kernel's default.
  int32_t test_send_buffer = 0;  // SO_SNDBUF of client and upstream sockets
  // Only client connections from this IPv4 address (host order) get
  // test_send_buffer; 0: all of them.
  uint32_t test_send_buffer_from = 0;
  // Longest readiness wait of a worker thread in ms; 0 for no bound beyond
  // the deadlines of its clients (a worker otherwise waits until it is
  // woken). Tests set one so that a wait that runs out is counted.
  int32_t test_worker_wait_ms = 0;
  // Seed of the jitter of the upstream link's reconnect waits; 0 draws one.
  // Tests fix it to know every wait.
  uint32_t test_upstream_seed = 0;
};

// Reads "dorvik.txt" from the working directory into `settings`, which
// keeps its defaults for every key the file does not set. 0 when the file
// was read, -1 when it could not be opened. `bad_lines`, when given,
// receives "line N: TEXT" for each line with an unknown key or a value
// that could not be read.
int load_config(Settings* settings);
int load_config_file(const char* path, Settings* settings,
                     std::vector<std::string>* bad_lines = nullptr);

// Takes L_ADMIN_GROUP from the environment variable of that name, when it
// is set: the default that dorvik.txt may then override.
void apply_environment(Settings* settings);

// Turns every protection off (L_LOGIN_WAIT, L_PER_IP, L_FLOOD_RATE,
// L_CHAT_RATE, L_PER_NET, L_CONN_RATE, L_LURK, L_ROOMS_PER_IP, L_AUTOBAN
// and L_SEND_BUFFER 0, no deny file): the lobby then serves exactly as it did
// before they existed.
void turn_off_protections(Settings* settings);

// Reads one configuration line (or piece of one) into `settings`. False
// for a line with an unknown key or a value that could not be read whole.
bool apply_config_line(const char* line, Settings* settings);

}  // namespace config

#endif  // CONFIG_SETTINGS_H_
