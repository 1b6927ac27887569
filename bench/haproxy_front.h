// HAProxy in front of a lobby, for the benchmark: started in the
// foreground with a configuration of its own in a temporary directory (tcp
// mode, send-proxy-v2 to the lobby, its connections to the lobby made from
// a source address of the caller's choice), stopped by its process id.
#ifndef BENCH_HAPROXY_FRONT_H_
#define BENCH_HAPROXY_FRONT_H_

#include <sys/types.h>

#include <string>

namespace bench {

class HaproxyFront {
 public:
  HaproxyFront() = default;
  // Stops HAProxy if it still runs and removes its directory.
  ~HaproxyFront();
  HaproxyFront(const HaproxyFront&) = delete;
  HaproxyFront& operator=(const HaproxyFront&) = delete;

  // Starts the haproxy at `path` listening on 127.0.0.1:`port`, passing
  // each connection to the lobby at 127.0.0.1:`lobby_port` from the
  // address `source`, with a version 2 PROXY header. 0, or -1 with
  // `*error` set. Whether it listens shows only when a client connects.
  int start(const std::string& path, int port, int lobby_port, const std::string& source,
            std::string* error);
  // SIGTERM, then SIGKILL after `timeout_ms`.
  void stop(int timeout_ms);

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string dir_;
};

}  // namespace bench

#endif  // BENCH_HAPROXY_FRONT_H_
