#include "ops/admin_tables.h"

#include <cstdint>
#include <cstdio>

#include "admin/json_line.h"

namespace ops {
namespace {

using Json = nlohmann::ordered_json;

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Wide ranges of East Asian text (Hangul Jamo, CJK and kana, Hangul
// syllables, compatibility ideographs, vertical and full-width forms).
bool is_wide(uint32_t c) {
  return (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0xa4cf && c != 0x303f) ||
         (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) ||
         (c >= 0xfe30 && c <= 0xfe4f) || (c >= 0xff00 && c <= 0xff60) ||
         (c >= 0xffe0 && c <= 0xffe6) || (c >= 0x20000 && c <= 0x3fffd);
}

std::string text_of(const Json& value) {
  if (value.is_string()) return printable(value.get<std::string>());
  if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
  if (value.is_number_integer() && value.get<int64_t>() == -1) return "-";
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The member `key` of `object`; null when there is none. Never throws,
// whatever the reply holds.
Json member(const Json& object, const char* key) {
  if (!object.is_object() || !object.contains(key)) return Json();
  return object[key];
}

// Members iterated over must be arrays.
Json list(const Json& value) { return value.is_array() ? value : Json::array(); }

std::string field(const Json& object, const char* key) {
  if (!object.is_object() || !object.contains(key)) return "?";
  return text_of(object[key]);
}

std::string seconds_text(const Json& value) {
  if (!value.is_number_integer()) return "?";
  int64_t s = value.get<int64_t>();
  std::string text;
  if (s >= 86400) text += std::to_string(s / 86400) + "d ";
  if (s >= 3600) text += std::to_string(s / 3600 % 24) + "h ";
  if (s >= 60) text += std::to_string(s / 60 % 60) + "m ";
  return text + std::to_string(s % 60) + "s";
}

// "a 1, b 2" from {"a": 1, "b": 2}.
std::string counts_text(const Json& counts) {
  if (!counts.is_object()) return "?";
  std::string text;
  for (const auto& item : counts.items()) {
    if (!text.empty()) text += ", ";
    text += item.key() + " " + text_of(item.value());
  }
  return text.empty() ? "none" : text;
}

using Rows = std::vector<std::vector<std::string>>;

std::string build_text(const Json& r) {
  return field(r, "server_version") + ", commit " + field(r, "commit");
}

std::string upstream_text(const Json& r) {
  const Json upstream = member(r, "upstream");
  return field(upstream, "state") + ", " + field(upstream, "reconnects") + " reconnects";
}

std::string status_text(const Json& r) {
  Rows rows;
  rows.push_back({"name", field(r, "name")});
  rows.push_back({"version", field(r, "version")});
  rows.push_back({"port", field(r, "port")});
  rows.push_back({"listening", field(r, "listening")});
  rows.push_back({"users", field(r, "users") + " / " + field(r, "slots")});
  rows.push_back({"rooms", field(r, "rooms_in_use") + " / " + field(r, "rooms")});
  rows.push_back({"uptime", seconds_text(member(r, "uptime_s"))});
  std::string draining = field(r, "draining");
  // While it drains: how long until the drain's time is up, or how long past.
  const Json left = member(r, "drain_left_s");
  if (left.is_number_integer()) {
    const int64_t s = left.get<int64_t>();
    draining +=
        s >= 0 ? ", " + seconds_text(s) + " left" : ", " + seconds_text(-s) + " past its time";
  }
  rows.push_back({"draining", draining});
  rows.push_back({"drops", counts_text(member(r, "drops"))});
  rows.push_back({"refused", counts_text(member(r, "refused"))});
  rows.push_back({"counters", counts_text(member(r, "counters"))});
  rows.push_back({"upstream", upstream_text(r)});
  rows.push_back({"build", build_text(r)});
  return format_table(rows);
}

// The tables of the replies with one row per entry: the header, the rows
// of `reply`, and what is printed when there are none.
struct ListTable {
  std::vector<std::string> header;
  Rows rows;
  const char* none = "";
};

bool list_table(const std::string& command, const Json& r, ListTable* table) {
  if (command == "users") {
    table->header = {"SLOT", "ID",   "ADDRESS", "USER",      "NAME", "GROUP",
                     "ROOM", "SEAT", "LOGIN",   "CONNECTED", "IDLE"};
    table->none = "no users\n";
    for (const Json& u : list(member(r, "users"))) {
      table->rows.push_back({field(u, "slot"), "#" + field(u, "id"), field(u, "address"),
                             field(u, "user_id"), field(u, "name"), field(u, "group"),
                             field(u, "room"), field(u, "seat"), field(u, "logged_in"),
                             seconds_text(member(u, "connected_s")),
                             seconds_text(member(u, "idle_s"))});
    }
    return true;
  }
  if (command == "rooms") {
    table->header = {"ROOM", "GROUP", "TITLE", "MEMBERS", "START", "STARTED", "SEATS"};
    table->none = "no rooms in use\n";
    for (const Json& room : list(member(r, "rooms"))) {
      std::string seats;
      for (const Json& seat : list(member(room, "seats"))) {
        if (!seats.empty()) seats += ", ";
        seats +=
            field(seat, "seat") + " " + field(seat, "name") + " (slot " + field(seat, "slot") + ")";
      }
      table->rows.push_back({field(room, "room"), field(room, "group"), field(room, "title"),
                             field(room, "members"), field(room, "start_size"),
                             field(room, "started"), seats});
    }
    return true;
  }
  if (command == "bans") {
    table->header = {"ADDRESS", "EXPIRES"};
    table->none = "no bans\n";
    // Automatic bans, when there are any, add who put each ban in force,
    // since when and why.
    bool automatic = false;
    for (const Json& ban : list(member(r, "bans"))) automatic = automatic || ban.contains("by");
    if (automatic) table->header = {"ADDRESS", "EXPIRES", "BY", "SINCE", "REASON"};
    for (const Json& ban : list(member(r, "bans"))) {
      const Json expires = member(ban, "expires");
      std::vector<std::string> row = {
          field(ban, "address"),
          expires.is_string() ? printable(expires.get<std::string>()) : std::string("never")};
      if (automatic) {
        const bool by = ban.contains("by");
        row.push_back(by ? field(ban, "by") : "operator");
        row.push_back(by ? field(ban, "since") : "-");
        row.push_back(by ? field(ban, "reason") : "-");
      }
      table->rows.push_back(row);
    }
    return true;
  }
  return false;
}

Rows help_rows(const Json& r) {
  Rows rows;
  for (const Json& command : list(member(r, "commands"))) {
    rows.push_back({field(command, "usage"), field(command, "text")});
  }
  return rows;
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const int length = admin::utf8_char_length(p, end);
    if (length == 0) {
      // Not UTF-8: the output stays UTF-8 all the same.
      out += kReplacement;
      ++p;
      continue;
    }
    // Whole characters are judged, never single bytes: the continuation
    // bytes of kana and kanji (E3 83 86 is テ) lie in 0x80..0xBF.
    uint32_t code = *p;
    if (length == 2) code = ((p[0] & 0x1fu) << 6) | (p[1] & 0x3fu);
    if (code < 0x20 || code == 0x7f || (length == 2 && code >= 0x80 && code <= 0x9f)) {
      char escaped[8];  // "\xNN" and its zero, with room for any code a compiler may assume
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(code));
      out += escaped;
    } else {
      out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(length));
    }
    p += length;
  }
  return out;
}

int display_width(const std::string& text) {
  int width = 0;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    int length = 1;
    uint32_t c = lead;
    if (lead >= 0xf0) {
      length = 4;
      c = lead & 0x07;
    } else if (lead >= 0xe0) {
      length = 3;
      c = lead & 0x0f;
    } else if (lead >= 0xc0) {
      length = 2;
      c = lead & 0x1f;
    }
    for (int k = 1; k < length && i + static_cast<size_t>(k) < text.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(text[i + static_cast<size_t>(k)]) & 0x3f);
    }
    width += is_wide(c) ? 2 : 1;
    i += static_cast<size_t>(length);
  }
  return width;
}

std::string format_table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<int> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t c = 0; c < row.size(); ++c) {
      const int w = display_width(row[c]);
      if (w > widths[c]) widths[c] = w;
    }
  }
  std::string text;
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      text += row[c];
      if (c + 1 == row.size()) break;
      text.append(static_cast<size_t>(widths[c] - display_width(row[c]) + 2), ' ');
    }
    // Empty last cells leave no blanks at the end of the line.
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text += '\n';
  }
  return text;
}

std::string format_admin_reply(const std::string& command, const Json& reply) {
  if (command == "status") return status_text(reply);
  ListTable table;
  if (list_table(command, reply, &table)) {
    if (table.rows.empty()) return table.none;
    table.rows.insert(table.rows.begin(), table.header);
    return format_table(table.rows);
  }
  if (command == "help") return format_table(help_rows(reply));
  if (command == "drain" && member(reply, "draining") == Json(false)) {
    return "drain cancelled: new connections are taken again\n";
  }
  if (command == "reload") {
    auto joined = [&reply](const char* key) {
      std::string text;
      for (const Json& item : list(member(reply, key))) {
        text += (text.empty() ? "" : ", ") + text_of(item);
      }
      return text.empty() ? std::string("nothing") : text;
    };
    std::string text = "reloaded: changed " + joined("changed") +
                       "; needs a restart: " + joined("restart_needed") + "\n";
    for (const Json& line : list(member(reply, "bad_lines"))) text += "bad " + text_of(line) + "\n";
    for (const Json& note : list(member(reply, "notes"))) text += "setting " + text_of(note) + "\n";
    return text;
  }
  if (command == "kick" && member(reply, "kicked").is_array()) {
    std::string text;
    for (const Json& k : list(member(reply, "kicked"))) {
      text += "kicked #" + field(k, "id") + " in slot " + field(k, "slot") + " (user " +
              field(k, "user_id") + ", " + field(k, "address") + ")\n";
    }
    return text;
  }
  if (command == "drain") {
    return "draining: stops when nobody is connected, or in " +
           seconds_text(member(reply, "seconds")) + "; " + field(reply, "users") +
           " users connected now\n";
  }
  if (command == "reopen") return "event log reopened\n";
  if (command == "kick") {
    return "kicked slot " + field(reply, "kicked") + " (user " + field(reply, "user_id") + ", " +
           field(reply, "address") + ")\n";
  }
  if (command == "ban") {
    const Json expires = member(reply, "expires");
    return "banned " + field(reply, "banned") + " " +
           (expires.is_string() ? "until " + printable(expires.get<std::string>())
                                : std::string("for good")) +
           "; " + field(reply, "closed") + " connections closed\n";
  }
  if (command == "unban") return "unbanned " + field(reply, "unbanned") + "\n";
  return reply.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

void FleetTable::add(const std::string& lobby, const Json& reply) {
  const std::string name = printable(lobby);
  if (command_ == "status") {
    header_ = {"LOBBY", "NAME",   "PORT",     "LISTENING", "USERS",
               "ROOMS", "UPTIME", "DRAINING", "UPSTREAM",  "BUILD"};
    rows_.push_back({name, field(reply, "name"), field(reply, "port"), field(reply, "listening"),
                     field(reply, "users") + " / " + field(reply, "slots"),
                     field(reply, "rooms_in_use") + " / " + field(reply, "rooms"),
                     seconds_text(member(reply, "uptime_s")), field(reply, "draining"),
                     upstream_text(reply), build_text(reply)});
    return;
  }
  Rows rows;
  ListTable table;
  if (list_table(command_, reply, &table)) {
    header_ = table.header;
    none_ = table.none;
    rows = std::move(table.rows);
  } else if (command_ == "help") {
    header_ = {"COMMAND", "DOES"};
    rows = help_rows(reply);
  } else {
    header_ = {"REPLY"};
    std::string text = format_admin_reply(command_, reply);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    rows.push_back({text});
  }
  header_.insert(header_.begin(), "LOBBY");
  for (auto& row : rows) {
    row.insert(row.begin(), name);
    rows_.push_back(std::move(row));
  }
}

std::string FleetTable::text() const {
  if (rows_.empty()) return none_;
  Rows all = rows_;
  all.insert(all.begin(), header_);
  return format_table(all);
}

}  // namespace ops
