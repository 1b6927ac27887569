// Checks run on an in-memory lobby (tests/harness/offline_lobby, which
// drives the server's own serving loop) by the fuzz targets and by the test
// that replays their seed corpora: a strict parser for what the lobby sends a
// client, the consistency rules of the lobby's tables, and one "run one
// input" function per fuzz target.
//
// Every function reports a fault as a non-empty description and returns ""
// when everything held; the fuzz targets turn a fault into an abort, the
// replay test into a failed expectation.
#ifndef FUZZ_FUZZ_CHECKS_H_
#define FUZZ_FUZZ_CHECKS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lobby/lobby_state.h"

namespace fuzz {

// Parses the bytes queued for one client (as OfflineLobby::take_output
// returns them) as whole lobby-to-client messages: a known letter, its exact
// length, a chat line of at most 80 bytes, and field values the lobby can
// legitimately produce for a lobby of `room_limit` rooms. Appends each
// message to `messages` when it is not null.
std::string check_client_output(const std::string& stream, int room_limit,
                                std::vector<std::string>* messages);

// The consistency rules of the tables between passes: group counts match
// the clients that joined them, seat tables match member counts and the
// users' own records, free rooms and free slots hold nothing.
std::string check_tables(const lobby::Lobby& lobby);

// One input of the client stream target: one client's bytes cut into
// fuzzed chunks, compared against the same bytes in whole receives.
std::string run_client_stream(const uint8_t* data, size_t size);

// One input of the lobby script target: a fuzzed sequence of connects,
// drops, messages, passes and clock ticks on a lobby of several clients.
std::string run_lobby_script(const uint8_t* data, size_t size);

// One input of the state image target: an image, as given and with its
// length and checksum made right. Each is refused, or restored into a
// lobby where, written again, it must read back to the same bytes, and
// where every open slot is served for a few passes.
std::string run_state_image(const uint8_t* data, size_t size);

// One input of the proxy header target: the bytes a trusted connection
// sends, read as the accept thread reads them, after every byte. A whole
// header is never longer than its version allows, every beginning of it
// reads as incomplete and what follows it changes nothing; a bad beginning
// stays bad; an address the header names is of its family.
std::string run_proxy_header(const uint8_t* data, size_t size);

// Space-separated upper-case hex, for fault descriptions.
std::string hex(const std::string& bytes);

}  // namespace fuzz

#endif  // FUZZ_FUZZ_CHECKS_H_
