#include "app/server_options.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/lobby_process.h"
#include "config/deny_list.h"
#include "config/settings_listing.h"

namespace app {
namespace {

// `name` inside `dir`, unless it is a path from the root already.
std::string in_dir(const std::string& dir, const std::string& name) {
  const bool absolute =
      !name.empty() && (name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':'));
  if (absolute || dir.empty() || dir == ".") return name;
  return dir + "/" + name;
}

}  // namespace

int parse_server_options(int argc, char** argv, const char* usage, bool console_option,
                         bool takeover_option, ServerOptions* options) {
  bool dir_given = false;
  for (int i = 1; i < argc; ++i) {
    if (print_info_option(argv[i], usage)) return 0;
    if (console_option && std::strcmp(argv[i], "--console") == 0) {
      options->console = true;
    } else if (takeover_option && std::strcmp(argv[i], "--takeover") == 0 && i + 1 < argc) {
      options->takeover = argv[++i];
    } else if (std::strcmp(argv[i], "--check") == 0) {
      options->check = true;
    } else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
      options->dir = argv[++i];
      dir_given = true;
    } else {
      std::fprintf(stderr, "lobby_server: unknown option %s\n", argv[i]);
      std::fputs(usage, stderr);
      return kExitUsage;
    }
  }
  if (dir_given && !options->check) {
    std::fputs("lobby_server: --dir goes with --check\n", stderr);
    std::fputs(usage, stderr);
    return kExitUsage;
  }
  if (options->check) return check_settings(options->dir);
  return -1;
}

void read_start_settings(config::Settings* settings, config::ConfigReading* reading) {
  // The environment first: a line of the file wins over it.
  config::apply_environment(settings, reading);
  // A missing file leaves every setting at its default; one refused (too
  // big, not a regular file) as well, which the log says once it is open.
  config::load_config(settings, reading);
}

int check_settings(const std::string& dir) {
  config::Settings settings;
  auto reading = std::make_unique<config::ConfigReading>();
  config::apply_environment(&settings, reading.get());
  const std::string path = in_dir(dir, config::kConfigFileName);
  config::read_config_file(path.c_str(), &settings, reading.get());
  int problems = 0;
  const std::string problem = config::file_problem(path.c_str(), *reading);
  if (!problem.empty()) {
    std::printf("%s; every setting has its default\n", problem.c_str());
    ++problems;
  } else if (reading->result == config::FileResult::kMissing) {
    std::printf("%s: none; every setting has its default\n", path.c_str());
  }
  std::fputs(config::settings_table(config::setting_rows(settings, reading->sources)).c_str(),
             stdout);
  for (int i = 0; i < reading->bad_count && i < config::kMaxReported; ++i) {
    std::printf("bad %s\n", reading->bad[i].text);
  }
  if (reading->bad_count > config::kMaxReported) {
    std::printf("and %d more bad lines\n",
                static_cast<int>(reading->bad_count - config::kMaxReported));
  }
  problems += reading->bad_count;
  for (int i = 0; i < reading->note_count && i < config::kMaxReported; ++i) {
    std::printf("setting %s\n", reading->notes[i].text);
  }
  if (settings.L_DENY[0] != '\0') {
    // The deny list reads its file as the lobby does and reports each bad
    // entry; the count of entries it took comes last.
    std::vector<std::string> deny_lines;
    config::DenyList deny;
    const std::string deny_path = in_dir(dir, settings.L_DENY);
    deny.set_file(deny_path.c_str(),
                  [&deny_lines](const char* line) { deny_lines.push_back(line); });
    deny.reload_if_changed();
    for (const std::string& line : deny_lines) {
      std::printf("%s\n", line.c_str());
      if (line.find(" ignored") != std::string::npos) ++problems;
    }
  }
  if (problems == 0) {
    std::printf("no problems\n");
  } else {
    std::printf("%d problems\n", problems);
  }
  return problems == 0 ? 0 : 1;
}

}  // namespace app
