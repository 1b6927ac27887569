// lobbyctl's view of the admin channel's replies: status, users, rooms and
// bans as aligned tables, every other reply as a short line; and the
// replies of a whole host in one table.
#ifndef OPS_ADMIN_TABLES_H_
#define OPS_ADMIN_TABLES_H_

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace ops {

// The text to print for the reply to `command` (its first word), ending
// with a line feed.
std::string format_admin_reply(const std::string& command, const nlohmann::ordered_json& reply);

// The replies of every lobby of a host to one command, as one table whose
// first column, LOBBY, names the lobby of each row: status as a row per
// lobby, users, rooms, bans and help as their own rows, any other reply
// as its short line. One thread.
class FleetTable {
 public:
  explicit FleetTable(std::string command) : command_(std::move(command)) {}
  // The reply of the lobby called `lobby` (an object, not an error).
  void add(const std::string& lobby, const nlohmann::ordered_json& reply);
  // The table; when no lobby gave a row, what a single lobby prints then
  // ("no users"), or nothing.
  std::string text() const;

 private:
  const std::string command_;
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> rows_;
  std::string none_;
};

// Rows of cells as columns padded to their widest cell (in terminal
// columns: East Asian wide characters count two); the last column is not
// padded. Each row ends with a line feed.
std::string format_table(const std::vector<std::vector<std::string>>& rows);
// Terminal columns that UTF-8 `text` takes.
int display_width(const std::string& text);
// UTF-8 `text` with every control character (C0, DEL and C1, U+0080 to
// U+009F) written as \xNN, its code point: names come from game clients,
// and a terminal would obey them. Other characters stay whole, wide ones
// included; a byte that is not UTF-8 becomes U+FFFD, so the result is
// always UTF-8.
std::string printable(const std::string& text);

}  // namespace ops

#endif  // OPS_ADMIN_TABLES_H_
