#include "config/settings_listing.h"

#include "config/setting_keys.h"

namespace config {

std::string source_text(const KeySource& source) {
  std::string text;
  if (source.line > 0) {
    text = "line " + std::to_string(source.line);
    if (source.clamped) text += std::string(", clamped from ") + source.given;
  } else if (source.kept) {
    text = "kept";
  } else if (source.from_environment) {
    text = "environment";
  } else {
    text = "default";
  }
  if (source.bad_line > source.line)
    text += "; line " + std::to_string(source.bad_line) + " is bad";
  return text;
}

std::vector<SettingRow> setting_rows(const Settings& settings, const KeySource* sources) {
  std::vector<SettingRow> rows;
  for (int i = 0; i < kSettingKeyCount; ++i) {
    rows.push_back({kSettingKeys[i].name, setting_text(settings, i), source_text(sources[i])});
  }
  return rows;
}

std::string settings_table(const std::vector<SettingRow>& rows) {
  size_t key_width = 3;  // "KEY"
  size_t value_width = 5;
  for (const SettingRow& row : rows) {
    if (row.key.size() > key_width) key_width = row.key.size();
    if (row.value.size() > value_width) value_width = row.value.size();
  }
  auto line = [&](const std::string& key, const std::string& value, const std::string& from) {
    return key + std::string(key_width - key.size() + 2, ' ') + value +
           std::string(value_width - value.size() + 2, ' ') + from + "\n";
  };
  std::string text = line("KEY", "VALUE", "FROM");
  for (const SettingRow& row : rows) text += line(row.key, row.value, row.from);
  return text;
}

}  // namespace config
