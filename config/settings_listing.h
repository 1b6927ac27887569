// The settings listing: every key with its value in force and where that
// value came from, as lobby_server --check prints it for a file and the
// admin channel's settings command gives it for a running lobby. Any
// thread.
#ifndef CONFIG_SETTINGS_LISTING_H_
#define CONFIG_SETTINGS_LISTING_H_

#include <string>
#include <vector>

#include "config/settings.h"

namespace config {

struct SettingRow {
  std::string key;
  std::string value;
  std::string from;
};

// Where a value came from: "line 4", "line 7, clamped from 40",
// "default", "environment", "default; line 9 is bad" (at the start),
// "kept; line 9 is bad" (a reload that kept the value in force).
std::string source_text(const KeySource& source);

// One row per key of the table, in its order.
std::vector<SettingRow> setting_rows(const Settings& settings, const KeySource* sources);

// The rows under a header KEY VALUE FROM, each column as wide as its widest
// cell and two blanks, one line each.
std::string settings_table(const std::vector<SettingRow>& rows);

}  // namespace config

#endif  // CONFIG_SETTINGS_LISTING_H_
