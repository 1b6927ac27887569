// A moderation log line on its way to the file: the chat line's record as
// plain bytes, copied whole into the log's queue by the thread that relayed
// the line and turned into text by the log's writer thread, which alone
// decodes names and text (one character-set converter, its own). Any
// thread for make_chat_entry; the writer for format_chat_entry.
#ifndef APP_CHAT_ENTRY_H_
#define APP_CHAT_ENTRY_H_

#include <cstdint>

#include "admin/name_text.h"
#include "lobby/lobby_events.h"
#include "net/ip_address.h"
#include "wire/protocol.h"

namespace app {

// The operator's user name as the log keeps it, with its zero.
constexpr int kChatByBytes = 33;
// A chat line's text as the wire allows it.
constexpr int kChatTextBytes = 255;

struct ChatEntry {
  int64_t connection_id = 0;
  int64_t to_value = 0;
  int32_t user_id = -1;
  net::IpAddress addr;
  int32_t length = 0;
  uint8_t to = 0;  // a lobby::ChatRecord::To
  uint8_t has_name = 0;
  uint8_t name[wire::kNameLen] = {};
  char by[kChatByBytes] = {};
  uint8_t text[kChatTextBytes] = {};
};

ChatEntry make_chat_entry(const lobby::ChatRecord& record);

// The line for the file, without its line end, its time first (UTC,
// "2026-12-09T09:09:13Z"); name and text decoded by `names`, with control
// characters, quotes and backslashes escaped:
//   TIME from=#12 user=7 name="alice" addr=127.0.0.1 to=group:5 text="hello"
//   TIME from=operator user=- name="root" addr=- to=everyone text="..."
// The length written into `out`, at most size - 1.
int format_chat_entry(const ChatEntry& entry, int64_t unix_s, admin::NameText* names, char* out,
                      int size);

}  // namespace app

#endif  // APP_CHAT_ENTRY_H_
