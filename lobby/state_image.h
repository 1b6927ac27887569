// The state image: everything a running lobby holds, written by the program
// that hands the lobby over to a new one and read by the new program, which
// takes over every socket and serves on from exactly where the old one
// stopped (the upgrade of app/upgrade.h).
//
// One writer and one reader, side by side in state_image.cc: each table is
// one visit function that both run, the writer copying every field out and
// the reader copying it back in and checking it, so that the two cannot
// disagree about a field or its order. Adding a table is one visit function,
// one row of the section table, and a new kImageVersion; the golden image in
// tests/data (state_image_test.cc) fails until the version is new.
//
// Layout: "LOBBYIMG", the version (u32), the payload's length (u32) and its
// CRC-32 (u32), then the payload: sections in a fixed order, each its tag
// (four letters), its length (u32) and its fields. Integers are
// little-endian; times travel as distances from the moment the image was
// written (a server's clock may have any origin), and come back as
// distances from that same moment on the new program's clock, so that
// every deadline keeps its moment across the hand-over. Sockets travel by
// descriptor number: the new program inherits them under the same numbers.
//
// A reader that finds anything amiss (another version, a bad checksum, a
// field outside its range, a section cut short) rejects the image whole
// and says why; the fuzz target state_image_fuzzer feeds it damaged images.
//
// Threading: write while the server's threads are paused (Server::pause)
// or before they start; restore before they start.
#ifndef LOBBY_STATE_IMAGE_H_
#define LOBBY_STATE_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"

namespace lobby {

class Server;

constexpr uint32_t kImageVersion = 1;
constexpr char kImageMagic[8] = {'L', 'O', 'B', 'B', 'Y', 'I', 'M', 'G'};
// Magic, version, payload length, checksum.
constexpr size_t kImageHeaderBytes = 8 + 4 + 4 + 4;
// Offset of the version field, for tests that change it.
constexpr size_t kImageVersionOffset = 8;
// An image larger than this is no image: the largest real one is a few
// hundred KiB (full rings and queues).
constexpr size_t kImageMostBytes = 16 * 1024 * 1024;

// Bounds of what the admin channel hands over (admin/admin_channel.h keeps
// within them).
constexpr int kImageAdminConnections = 8;
constexpr size_t kImageAdminLineBytes = 1025;
constexpr size_t kImageAdminReplyBytes = 1024 * 1024;

// One connection of the operator's admin channel.
struct AdminConnectionImage {
  int32_t fd = -1;
  std::string in;   // received, not yet a whole command
  std::string out;  // replies the stream has not taken yet
  bool input_ended = false;
  int64_t last_command_ms = 0;  // the server clock's time
  // It asked for this upgrade: the new program owes it the reply.
  bool awaits_upgrade = false;
};

// What the image carries of the process around the lobby.
struct ProcessImage {
  int32_t pid = 0;  // of the program that wrote the image
  std::string server_version;
  std::string commit;
  // When the lobby began to serve (UTC seconds, and the server clock's
  // time), kept across upgrades.
  int64_t serving_since_unix_s = 0;
  int64_t serving_since_ms = 0;
  int32_t upgrades = 0;  // hand-overs before this one
  // The steady clock's nanoseconds when the old program stopped serving:
  // the one value read across the two programs, whose monotonic clock is
  // the machine's (the pause is measured with it).
  int64_t paused_at_ns = 0;
  // The admin channel: its listening socket (-1 for none), the identity of
  // its socket file (removed at a clean stop only if it is still that
  // one), and its connections.
  int32_t admin_listen_fd = -1;
  uint64_t admin_identity[2] = {0, 0};
  std::vector<AdminConnectionImage> admin;
};

// Writes everything `server` holds, and `process`, into `*out` (replaced);
// its times as distances from `now_ms`, the server clock's time now, which
// is `written_at_ns` on the steady clock.
void write_state_image(Server& server, const ProcessImage& process, int64_t now_ms,
                       int64_t written_at_ns, std::string* out);

// What a new program reads of an image before it builds its lobby: the
// settings its program ran with, and when the image was written on the
// steady clock, the machine's monotonic clock, which both programs read.
struct ImageHead {
  config::Settings settings;
  int64_t written_at_ns = 0;
};

// Checks an image's frame (magic, version, length, checksum) and reads its
// head. 0, or -1 with `*error` saying why (an unknown version: "image
// format N not understood").
int read_image_head(const uint8_t* bytes, size_t size, ImageHead* head, std::string* error);

// Restores the image into `server`, which must have been built with the
// image's settings for the keys that need a restart (ROOM, L_PORT, L_IP,
// L_ADMIN, L_ADMIN_GROUP) and not started. Every time comes back at its
// distance from `now_ms`: the server clock's time at the moment the image
// was written, so that every deadline keeps its moment (a new program
// takes its clock's time now less the time since written_at_ns). 0, or -1
// with `*error` saying why: the server is then unusable.
int restore_state_image(const uint8_t* bytes, size_t size, Server* server, ProcessImage* process,
                        int64_t now_ms, std::string* error);

// Every descriptor the image hands over: the sockets of the slots, the held
// newcomer, the listener, the upstream link and the admin channel. For the
// program that takes them, to check they are open, and for the one that
// hands them, to keep them open across the new program's start.
void image_descriptors(Server& server, const ProcessImage& process, std::vector<int>* fds);

// Gives the tables that place clients' addresses by a keyed hash (the
// connection rate, the automatic bans) the key `k0`:`k1` in place of the
// random one each drew. For a test whose image must be the same at every
// run; before the server has placed anything.
void fix_hash_keys(Server& server, uint64_t k0, uint64_t k1);

// The CRC-32 (IEEE) of `size` bytes.
uint32_t image_crc32(const uint8_t* bytes, size_t size);

}  // namespace lobby

#endif  // LOBBY_STATE_IMAGE_H_
