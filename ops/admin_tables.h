// lobbyctl's view of the admin channel's replies: status, users, rooms and
// bans as aligned tables, every other reply as a short line.
#ifndef OPS_ADMIN_TABLES_H_
#define OPS_ADMIN_TABLES_H_

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace ops {

// The text to print for the reply to `command` (its first word), ending
// with a line feed.
std::string format_admin_reply(const std::string& command, const nlohmann::ordered_json& reply);

// Rows of cells as columns padded to their widest cell (in terminal
// columns: East Asian wide characters count two); the last column is not
// padded. Each row ends with a line feed.
std::string format_table(const std::vector<std::vector<std::string>>& rows);
// Terminal columns that UTF-8 `text` takes.
int display_width(const std::string& text);
// `text` with every control character (C0, DEL and, as UTF-8, C1) written
// as \xNN: names come from game clients, and a terminal would obey them.
std::string printable(const std::string& text);

}  // namespace ops

#endif  // OPS_ADMIN_TABLES_H_
