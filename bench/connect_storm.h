// The connect storm: connect-login-disconnect cycles against one lobby, a
// given number in flight at once, and what each cycle costs the server.
// A cycle connects, sends 2N, 2V 1 and 2G, waits for the room list's end
// and the group count, and closes. A cycle answered 2A (every slot still
// taken) is counted and tried again at once.
#ifndef BENCH_CONNECT_STORM_H_
#define BENCH_CONNECT_STORM_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace bench {

struct StormFigures {
  int in_flight = 0;
  int64_t cycles = 0;    // completed
  int64_t refused = 0;   // 2A answers, each followed by a new attempt
  int64_t failed = 0;    // connections lost before their login ended
  double seconds = 0;    // from the first connect to the last close
  int64_t wakeups = -1;  // the server's voluntary context switches, all threads
  int64_t cpu_ns = -1;   // the server's CPU time, all threads
  std::string error;     // why the run stopped early; empty when it did not
};

// `cycles` cycles, `in_flight` at a time (1..32), against host:port;
// `pid` (0 for none) is the server's process, whose wake-ups and CPU time
// are read before the first connect and after the last close, once the
// server has had a moment to finish its part. 0, or -1 with
// `figures->error` set.
int run_connect_storm(const std::string& host, int port, pid_t pid, int cycles, int in_flight,
                      StormFigures* figures);

// The figures as table lines, and as a JSON object.
void print_storm(const StormFigures& figures);
std::string storm_json(const StormFigures& figures);

}  // namespace bench

#endif  // BENCH_CONNECT_STORM_H_
