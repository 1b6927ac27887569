// The server's settings, read from "dorvik.txt" before any thread starts;
// a reload reads the file again into a new record and publishes the keys
// that take effect at once (see config/live_settings.h).
#ifndef CONFIG_SETTINGS_H_
#define CONFIG_SETTINGS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "net/ip_address.h"

namespace config {

// Rows of the key table (config/setting_keys.h) that fit a ConfigReading.
constexpr int kMaxSettingKeys = 48;

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
// The room of one line of a note (a deny list's report, say).
constexpr int kNoteBytes = 96;
// The settings file is read whole only up to this size, and each of its
// lines up to kMaxLineBytes: a bigger file is refused, the rest of a longer
// line ignored, so that reading it costs the same memory whatever it holds.
constexpr long kMaxConfigBytes = 1024 * 1024;
constexpr int kMaxLineBytes = 4096;
// Bad lines and notes a reading keeps (the rest are counted), and the room
// of each.
constexpr int kMaxReported = 32;
constexpr int kReportBytes = 160;

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
// L_PROXY: the proxies trusted to say whom they carry, at most this many
// IPv4 addresses or prefixes.
constexpr int kProxyEntries = 64;
constexpr int32_t kSendBufferMin = 8 * 1024;  // L_SEND_BUFFER, bytes
constexpr int32_t kSendBufferMax = 4 * 1024 * 1024;

// The trusted proxies: a connection from an address one of them covers
// begins with a PROXY header, which names the client.
struct ProxyList {
  int32_t count = 0;
  net::IpPrefix entries[kProxyEntries] = {};

  bool covers(const net::IpAddress& address) const;
  // "10.0.0.1, 192.0.2.0/24"; "" for none. Returns the length.
  int format(char* out, int size) const;
  bool operator==(const ProxyList& other) const;
};

// Every key's value. A fresh Settings holds every key's default (from the
// key table, config/setting_keys.h); the test seams below are never read
// from the file.
struct Settings {
  Settings();

  int32_t VER = 0;
  int32_t ROOM = 0;
  char L_NAME[kNameBytes] = {};
  int32_t L_IP[4] = {};
  int32_t L_PORT = 0;
  int32_t N_IP[4] = {};
  int32_t N_PORT = 0;
  // The operator's admin channel: a Unix-domain socket at this path,
  // relative to the working directory (on Windows the named pipe named
  // after its file name); "-" turns it off.
  char L_ADMIN[kPathBytes] = {};
  // A group whose members may use the admin socket as its owner does
  // (mode 0660, the file given to the group); empty: the owner alone.
  // POSIX only.
  char L_ADMIN_GROUP[kGroupBytes] = {};
  // The character set of names, titles and chat text on the wire, for the
  // admin channel's text (an iconv name).
  char L_CHARSET[kCharsetBytes] = {};

  // Protections for a lobby open to anyone (each 0 turns it off, except
  // the bursts): seconds from the connection to an accepted login, open
  // connections per address (an IPv4 address, an IPv6 /64), messages a
  // second per client and the burst a client may send at once, chat lines a
  // second per address (all its connections together) and the burst it may
  // send at once, and the deny list's file (empty: none).
  int32_t L_LOGIN_WAIT = 0;
  int32_t L_PER_IP = 0;
  int32_t L_FLOOD_RATE = 0;
  int32_t L_FLOOD_BURST = 0;
  int32_t L_CHAT_RATE = 0;
  int32_t L_CHAT_BURST = 0;
  char L_DENY[kPathBytes] = {};
  // Open connections per network (an IPv4 /24, an IPv6 /48); new
  // connections per address a minute (a bucket that holds as many and
  // refills at that pace); seconds a logged-in client outside every room
  // may send only keep-alives before it may give its slot to a newcomer;
  // rooms one address may host at once; drops of one address within 10
  // minutes that ban it, and for how many seconds (L_AUTOBAN_S is never 0).
  int32_t L_PER_NET = 0;
  int32_t L_CONN_RATE = 0;
  int32_t L_LURK = 0;
  int32_t L_ROOMS_PER_IP = 0;
  int32_t L_AUTOBAN = 0;
  int32_t L_AUTOBAN_S = 0;
  // The kernel's send buffer of each client socket, in bytes, so that a
  // client that stops reading holds at most that much of the host's memory;
  // 0 leaves the kernel's own sizing. With it on, a client dropped for its
  // own fault (not reading, flooding, bad framing, a ban) is reset rather
  // than closed: what the kernel still holds for it is thrown away.
  int32_t L_SEND_BUFFER = 0;
  // The operator's chat lines (say): the value of their bytes 2-5.
  int32_t L_SAY_ID = 0;
  // The moderation log's file; empty: none.
  char L_CHAT_LOG[kPathBytes] = {};
  // The proxies whose connections begin with a PROXY header (empty: none,
  // and every connection is the client's own). Several lines add up.
  ProxyList L_PROXY;

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

// What became of the settings file at a reading.
enum class FileResult : uint8_t {
  kRead,
  kMissing,     // no file: the defaults
  kTooBig,      // over kMaxConfigBytes: refused whole
  kNotRegular,  // a directory, a device, a pipe...: refused whole
  kUnreadable,  // cannot be opened or read (`error` says why)
};

// Where one key's value came from.
struct KeySource {
  int32_t line = 0;               // the line that set it; 0 for none
  int32_t bad_line = 0;           // the last bad line for the key, 0 for none
  bool from_environment = false;  // set by the environment, no line since
  bool kept = false;              // a reload kept the value in force: its lines were bad
  bool clamped = false;           // the line's number was outside the range
  char given[24] = {};            // the number a clamped line gave
};

// One bad line or note, as the event log and the listings show it.
struct ReportLine {
  char text[kReportBytes] = {};
};

// What one reading of the settings file found besides the values: how the
// file was, where each key came from, the bad lines (an unknown key, a
// value that cannot be read, text after a strict value) and the notes (a
// value clamped, text ignored after a value). Fixed size, whatever the
// file holds: the first kMaxReported of each are kept, all are counted.
struct ConfigReading {
  FileResult result = FileResult::kMissing;
  int error = 0;  // errno, for kUnreadable
  KeySource sources[kMaxSettingKeys];
  ReportLine bad[kMaxReported];
  int32_t bad_count = 0;
  ReportLine notes[kMaxReported];
  int32_t note_count = 0;
  // Keeps "line N: TEXT", or counts it when the list is full.
  void add_bad(int32_t line, const char* text, int length);
  void add_note(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// The operator's text for a file that was not read: "dorvik.txt: too big,
// over 1 MiB", "dorvik.txt: not a regular file", "cannot read dorvik.txt:
// REASON"; empty for kRead and kMissing.
std::string file_problem(const char* path, const ConfigReading& reading);

// Reads the settings file at `path` into `settings`, which keeps the value
// it has for every key the file does not set, and notes in `reading` (when
// given, as fresh) where each value came from. A file that is missing
// leaves `settings` as it was; one that is refused (too big, not a regular
// file, unreadable) too, and none of it is applied. 0 when the file was
// read, -1 otherwise (`reading->result` says why).
int read_config_file(const char* path, Settings* settings, ConfigReading* reading);
int load_config_file(const char* path, Settings* settings);
// Reads "dorvik.txt" from the working directory, as read_config_file does.
int load_config(Settings* settings, ConfigReading* reading = nullptr);

// Takes L_ADMIN_GROUP from the environment variable of that name, when it
// is set: the default that dorvik.txt may then override.
void apply_environment(Settings* settings, ConfigReading* reading = nullptr);

// Turns every protection off (each key whose 0 turns it off, and no deny
// file): the lobby then serves exactly as it did before they existed.
void turn_off_protections(Settings* settings);

// Reads one configuration line (or piece of one) into `settings`. False
// for a line with an unknown key or a value that could not be read whole.
bool apply_config_line(const char* line, Settings* settings);

// The keys whose values differ between `a` and `b`, in the table's order,
// split into those that take effect at once and those that need a restart.
void differing_keys(const Settings& a, const Settings& b, std::vector<std::string>* live,
                    std::vector<std::string>* restart);

// Key `index`'s value in `settings` as a line of the file would give it
// ("-" for an optional word that is empty).
std::string setting_text(const Settings& settings, int index);

}  // namespace config

#endif  // CONFIG_SETTINGS_H_
