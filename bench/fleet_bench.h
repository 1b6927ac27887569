// The fleet benchmark: many lobby processes on one machine, each with 32
// simulated players on a realistic mix, and what the servers cost together.
//
// Each lobby gets its own server process (in a temporary directory, on a
// free port, with default settings). Its 32 players come from four loopback
// addresses (127.0.0.1 to 127.0.0.4, eight each, so the default limit per
// address holds) and form four parties of eight, one group key each. A
// player sends a keep-alive every 20 s and a chat line every 10 s; every
// 60 s each party makes a room, fills it, plays a game of 20 s in it (with
// a direct message to the host now and then) and leaves it. Chat lines
// and direct messages carry their send time, so every delivery gives one
// relay latency, and every one is accounted for: a party changes between
// lobby and game only once all its lines have arrived (or a bound has
// passed), so each line has exactly eight readers (its sender gets it back
// too), each direct message one.
//
// The players run in as many threads as the machine has cores, each on
// its own epoll, each owning whole lobbies. The servers' CPU comes from
// /proc/PID/stat, their wake-ups from the voluntary context switches of
// every thread (/proc/PID/task/*/status), first while every player is
// logged in and silent, then during the mix.
#ifndef BENCH_FLEET_BENCH_H_
#define BENCH_FLEET_BENCH_H_

#include <cstdint>
#include <string>

#include "bench/stats.h"

namespace bench {

struct FleetOptions {
  int lobbies = 1;
  int seconds = 60;       // the mix
  int idle_seconds = 10;  // every player logged in and silent
  std::string server_path;
  int threads = 0;  // client threads; 0: as many as the machine has cores
};

// The servers over one window; -1 where it could not be read.
struct WindowFigures {
  double seconds = 0;
  double cpu_percent = -1;  // all servers together, % of one core
  double wakeups_per_lobby_s = -1;
  double bench_cpu_percent = -1;  // the benchmark's own players, % of one core
};

struct FleetFigures {
  int lobbies = 0;
  int players = 0;
  int client_threads = 0;
  std::string server_path;
  WindowFigures idle;  // every player logged in, nobody sends
  WindowFigures mix;
  int64_t rss_kb_sum = -1;       // VmRSS at the end of the mix
  int64_t peak_rss_kb_sum = -1;  // VmHWM
  LatencySummary relay;          // chat lines and direct messages together
  LatencySummary chat;
  LatencySummary direct;
  int64_t chat_sent = 0;
  int64_t direct_sent = 0;
  int64_t keep_alives = 0;
  int64_t games = 0;
  int64_t expected = 0;    // deliveries owed
  int64_t delivered = 0;   // of those, arrived
  int64_t lost = 0;        // owed and never arrived
  int64_t unexpected = 0;  // arrived but not owed: foreign, duplicate, corrupt
  int64_t connections_lost = 0;
  std::string error;
};

// Runs the whole benchmark: starts the servers, logs the players in,
// measures the idle window, runs the mix and stops everything. 0, or -1
// with figures->error set (the figures gathered so far stay).
int run_fleet(const FleetOptions& options, FleetFigures* figures);

void print_fleet(const FleetFigures& figures);
// {"fleet": {...}} with every figure.
std::string fleet_json(const FleetFigures& figures);

}  // namespace bench

#endif  // BENCH_FLEET_BENCH_H_
