// say: a chat line from the operator to the players, before a drain or a
// kick. The text comes in UTF-8 and goes out in the clients' character
// set, through the ChatRing like any client's line (lobby/operator_line.h).
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "admin/commands.h"
#include "admin/json_line.h"
#include "admin/replies.h"
#include "config/live_settings.h"
#include "lobby/lobby_events.h"
#include "lobby/operator_line.h"
#include "lobby/ring_readers.h"

namespace admin {
namespace {

// How long say waits for a reader that keeps the chat ring full: past the
// time after which such a reader is dropped as not reading, with a margin.
constexpr int64_t kRingWaitMs = 3 * lobby::kReaderStallMs;
constexpr auto kRingLookAgain = std::chrono::milliseconds(10);

// The next blank-separated word of `line` from `*at`, which moves past it.
std::string next_word(const std::string& line, size_t* at) {
  size_t i = *at;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  const size_t start = i;
  while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
  *at = i;
  return line.substr(start, i - start);
}

// A control character (C0, DEL, or C1 written in UTF-8) in `text`, which
// is UTF-8.
bool has_control(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return true;
    if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      return true;
    }
  }
  return false;
}

// Clients outside games that a line to `key` (kNone: every group) reaches
// now, counted from a snapshot.
int clients_outside_games(const lobby::LobbySnapshot& s, int32_t key) {
  int count = 0;
  for (const lobby::SlotSnapshot& slot : s.slots) {
    if (!slot.open || !slot.logged_in || (key != lobby::kNone && slot.group_key != key)) continue;
    const bool in_game = slot.room != lobby::kNone && s.rooms[slot.room].started;
    if (!in_game) ++count;
  }
  return count;
}

// Posts `line`, waiting while a reader that still reads keeps the ring
// full: it moves on, or is dropped as not reading, within a second.
int post(lobby::Lobby& lobby, lobby::Clock& clock, const lobby::OperatorLine& line) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRingWaitMs);
  for (;;) {
    const int rc = lobby::post_operator_line(lobby, line);
    if (rc != lobby::kLineRingFull || std::chrono::steady_clock::now() >= give_up) return rc;
    lobby::wait_for_chat_readers(lobby, lobby::kNone, clock.now_ms());
    std::this_thread::sleep_for(kRingLookAgain);
  }
}

}  // namespace

std::string run_say(AdminCommands& admin, const CommandCall& call) {
  lobby::Lobby& lobby = admin.lobby();
  const std::string& line = call.line;
  size_t at = 0;
  next_word(line, &at);  // "say"
  std::string option;
  std::string argument;
  for (;;) {
    size_t after = at;
    const std::string word = next_word(line, &after);
    if (word.rfind("--", 0) != 0) break;
    at = after;
    if (word == "--") break;  // the text follows, whatever it starts with
    if (!option.empty() || (word != "--group" && word != "--room" && word != "--to")) {
      return usage_error("say");
    }
    option = word;
    argument = next_word(line, &at);
    if (argument.empty()) return usage_error("say");
  }
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  std::string text = line.substr(at);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  if (text.empty()) return usage_error("say");
  if (!valid_utf8(text)) return argument_error("TEXT is not UTF-8");
  if (has_control(text)) return argument_error("TEXT holds a control character");
  const config::Settings settings = lobby.live.current();
  std::string bytes;
  if (!admin.names().encode(text, &bytes)) {
    return argument_error(std::string("TEXT holds a character that ") + settings.L_CHARSET +
                          " cannot write");
  }
  if (bytes.size() > static_cast<size_t>(wire::kMaxChatText)) {
    return argument_error("TEXT is " + std::to_string(bytes.size()) + " bytes in " +
                          settings.L_CHARSET + "; a chat line holds at most " +
                          std::to_string(wire::kMaxChatText));
  }

  lobby::OperatorLine said;
  said.value = lobby.live.number<&config::Settings::L_SAY_ID>();
  said.text = reinterpret_cast<const uint8_t*>(bytes.data());
  said.length = static_cast<int>(bytes.size());
  lobby::ChatRecord record;
  record.by = call.by.c_str();
  record.text = said.text;
  record.length = said.length;
  std::string to;
  int reached = 0;
  std::vector<lobby::OperatorLine> lines;
  const lobby::LobbySnapshot& s = admin.snapshot();
  if (option.empty()) {
    said.scope = lobby::ChatScope::kEveryone;
    record.to = lobby::ChatRecord::kEveryone;
    to = "everyone outside games";
    reached = clients_outside_games(s, lobby::kNone);
    lines.push_back(said);
  } else if (option == "--group") {
    int key = 0;
    if (!parse_count(argument, 0x7fffffff, &key) || key == 0) {
      return argument_error("not a group key: " + argument);
    }
    said.scope = lobby::ChatScope::kTarget;
    said.group_key = key;
    record.to = lobby::ChatRecord::kGroup;
    record.to_value = key;
    to = "group " + argument;
    reached = clients_outside_games(s, key);
    lines.push_back(said);
  } else if (option == "--room") {
    int room = 0;
    if (!parse_count(argument, lobby.room_limit() - 1, &room)) {
      return argument_error("no room " + argument + " (rooms are 0 to " +
                            std::to_string(lobby.room_limit() - 1) + ")");
    }
    said.scope = lobby::ChatScope::kTarget;
    said.room = room;
    record.to = lobby::ChatRecord::kGame;
    record.to_value = room;
    to = "the game of room " + argument;
    reached = s.rooms[room].in_use && s.rooms[room].started ? s.rooms[room].members : 0;
    lines.push_back(said);
  } else {
    std::vector<Target> targets;
    bool matched = false;
    bool malformed = false;
    std::string error;
    if (!find_targets(lobby, argument, &targets, &matched, &error, &malformed)) {
      if (!matched) return argument_error("--to takes #ID or user:N, not " + argument);
      return malformed ? argument_error(error) : error_reply(error);
    }
    said.scope = lobby::ChatScope::kConnection;
    for (const Target& t : targets) {
      said.slot = t.slot;
      said.serial = t.serial;
      lines.push_back(said);
    }
    record.to = lobby::ChatRecord::kConnection;
    to = argument;
    reached = static_cast<int>(targets.size());
  }
  for (const lobby::OperatorLine& one : lines) {
    const int rc = post(lobby, admin.server().clock(), one);
    if (rc == lobby::kLineNoGame) return error_reply("room " + argument + " has no game running");
    if (rc != lobby::kLinePosted) {
      return error_reply("the chat ring stays full: a reader is a whole ring behind; not sent");
    }
    if (lobby.events->chat_log_on()) {
      if (one.scope == lobby::ChatScope::kConnection) {
        record.to_value = lobby.slots[one.slot].connection_id.load(std::memory_order_relaxed);
      }
      lobby.events->chat_line(record);
    }
  }
  report_event(lobby.events, "admin: say to %s (%d clients) by %s: %s", to.c_str(), reached,
               call.by.c_str(), text.c_str());
  JsonLine reply;
  reply.open_object().member("said", text).member("to", to).member("clients", reached);
  return reply.close_object().text();
}

}  // namespace admin
