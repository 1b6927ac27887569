#include "bench/socket_memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace bench {

SocketMemory read_socket_memory(int port) {
  SocketMemory memory;
  const std::string command =
      "ss -tmnH state all '( sport = :" + std::to_string(port) + " )' 2>/dev/null";
  std::FILE* out = ::popen(command.c_str(), "r");
  if (out == nullptr) return memory;
  char line[512];
  bool closed = false;
  while (std::fgets(line, sizeof line, out) != nullptr) {
    // A socket's own line starts with its state; its skmem follows on an
    // indented line.
    if (line[0] != ' ' && line[0] != '\t') {
      ++memory.sockets;
      closed = std::strncmp(line, "FIN-WAIT", 8) == 0 || std::strncmp(line, "CLOSING", 7) == 0 ||
               std::strncmp(line, "LAST-ACK", 8) == 0;
      memory.closed += closed ? 1 : 0;
      continue;
    }
    const char* w = std::strstr(line, ",w");
    if (std::strstr(line, "skmem:(") == nullptr || w == nullptr) continue;
    const int64_t bytes = std::atoll(w + 2);
    memory.send_bytes += bytes;
    if (closed) memory.closed_send_bytes += bytes;
  }
  memory.read = ::pclose(out) == 0;
  return memory;
}

}  // namespace bench
