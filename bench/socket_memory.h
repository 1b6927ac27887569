// What the kernel holds for the TCP sockets of one local port, as Debian's
// iproute2 reports it (`ss -tm`): the send memory of each socket (the `w`
// of its skmem, bytes queued to send with their bookkeeping), summed over
// all of them and over those already closed by this side that the kernel
// keeps on for the peer (FIN-WAIT-1, FIN-WAIT-2, CLOSING, LAST-ACK).
// Linux only; any thread.
#ifndef BENCH_SOCKET_MEMORY_H_
#define BENCH_SOCKET_MEMORY_H_

#include <cstdint>

namespace bench {

struct SocketMemory {
  bool read = false;  // ss ran and answered
  int sockets = 0;
  int64_t send_bytes = 0;
  int closed = 0;  // sockets this side has closed that the kernel keeps
  int64_t closed_send_bytes = 0;
};

// The sockets whose local port is `port`.
SocketMemory read_socket_memory(int port);

}  // namespace bench

#endif  // BENCH_SOCKET_MEMORY_H_
