// Thin wrappers over the socket calls. Every function returns an int result
// and never throws; nothing above net/ includes a socket header. The POSIX
// calls are in socket_ops.cc, their Winsock twins in socket_ops_win.cc; the
// build picks one. A socket is an int on both (-1 for none).
#ifndef NET_SOCKET_OPS_H_
#define NET_SOCKET_OPS_H_

#include <cstddef>
#include <cstdint>

namespace net {

// Results shared by the receive and send wrappers.
constexpr int kIoWouldBlock = -2;  // nothing to read / kernel takes nothing now
constexpr int kIoError = -1;       // the socket failed or the peer reset it

// Readiness bits for poll_fd.
constexpr int kPollIn = 1;
constexpr int kPollOut = 2;

// Prepares the socket layer for the whole process, before any socket is
// made: POSIX ignores SIGPIPE (as ignore_sigpipe), Windows starts Winsock
// 2.2. 0, or -1 when sockets cannot be used.
int start_sockets();
// Ignores SIGPIPE for the whole process, so that a send to a closed peer
// fails with EPIPE instead of ending the process.
void ignore_sigpipe();
// The error code of the calling thread's last failed socket call (errno,
// or WSAGetLastError on Windows), for error_text.
int last_error();

// IPv4 stream socket, or -1.
int tcp_socket();
int set_reuse_addr(int fd);
int set_nonblocking(int fd);
// Sends small writes at once instead of holding them for the peer's
// acknowledgement: messages are small and latency matters more than
// segment count.
int set_no_delay(int fd);
// Shrinks the kernel's send buffer (test seam for peers that stop reading).
int set_send_buffer(int fd, int bytes);
int set_recv_buffer(int fd, int bytes);
// Binds to the IPv4 wildcard address (or to `ip`, host order, when nonzero).
int bind_ipv4(int fd, uint32_t ip, int port);
int listen_fd(int fd, int backlog);
// Port the socket is bound to, or -1.
int local_port(int fd);
// True when a connected socket's two ends are the same address and port:
// a connect to a free local port in the ephemeral range can meet itself.
bool connected_to_itself(int fd);

// Waits up to `timeout_ms` for `events` on one descriptor. Returns the ready
// bits (kPollIn/kPollOut; hang-up and error count as readable), 0 on time-out
// or an interrupted wait, -1 when poll itself fails.
int poll_fd(int fd, int events, int timeout_ms);

// True when the peer has closed its end of a connected socket, even while
// bytes it sent before wait unread; never waits.
bool peer_shut(int fd);

// One descriptor of a readiness wait over several: `events` asked for,
// `ready` filled in (kPollIn/kPollOut; hang-up and error count as readable).
struct PollEntry {
  int fd;
  int events;
  int ready;
};
// The largest wait is the accept thread's: its listener, the upstream
// link, its wake-up and up to 64 connections that wait for a proxy's
// header.
constexpr int kMaxPollEntries = 72;

// Waits up to `timeout_ms` for any of `count` (at most kMaxPollEntries)
// descriptors. The number of ready entries, 0 on time-out or an interrupted
// wait, -1 when poll itself fails.
int poll_many(PollEntry* entries, int count, int timeout_ms);

// Accepts one connection. Returns the new descriptor and fills `peer_ip` with
// the four address bytes in dotted order and `*peer_port` with the peer's
// port; kIoWouldBlock when no connection is waiting after all, -1 on
// failure, with `*error` set in both cases.
int accept_ipv4(int listen_fd, int32_t peer_ip[4], int32_t* peer_port, int* error);

// One non-blocking recv: bytes received, 0 when the peer closed,
// kIoWouldBlock when nothing is there (EAGAIN or EINTR), kIoError otherwise.
int recv_nb(int fd, uint8_t* buffer, int size);
// One non-blocking send without SIGPIPE: bytes taken, kIoWouldBlock when the
// kernel takes nothing now, kIoError when the connection failed.
int send_nb(int fd, const uint8_t* bytes, int length);

// One piece of a gathered send.
struct IoSlice {
  const uint8_t* data;
  int length;
};
// One non-blocking gathered send of `count` slices (at most
// kMaxSendSlices), without SIGPIPE: bytes taken, kIoWouldBlock, kIoError.
constexpr int kMaxSendSlices = 32;
int sendv_nb(int fd, const IoSlice* slices, int count);

// Parses a dotted IPv4 address into network-order bytes; -1 when `text` is
// not one.
int parse_ipv4(const char* text, uint32_t* addr_be);
// Looks up a host name; the first IPv4 address in network order. -1 when
// the name does not resolve.
int resolve_ipv4(const char* host, uint32_t* addr_be);
// Connects to `addr_be`:`port`, giving up after `timeout_ms`. 0 or -1.
int connect_ipv4(int fd, uint32_t addr_be, int port, int timeout_ms);

// A connect in two halves, for a caller that must never wait: the first
// starts it on a socket it makes non-blocking, the second tells, without
// waiting, whether it has finished (the caller waits for writability of the
// socket in its own readiness wait). Each gives 0 when connected,
// kConnectPending while the connect is under way, or -1 with `*error` set.
constexpr int kConnectPending = 1;
int connect_start_ipv4(int fd, uint32_t addr_be, int port, int* error);
int connect_check(int fd, int* error);
// Waits up to `timeout_ms` for a connect under way on `fd` (any family) to
// end, then checks it as connect_check does.
int connect_finish(int fd, int timeout_ms, int* error);

void shutdown_fd(int fd);
void close_fd(int fd);
// Closes a connected socket with a zero linger: the kernel throws away
// whatever it still holds to send and resets the connection, so that a peer
// that does not read keeps nothing of the host's memory once it is dropped.
void abort_fd(int fd);
// Bytes the kernel still holds to send on a connected socket (sent but not
// acknowledged, or not sent yet); -1 where the system cannot tell.
int unsent_bytes(int fd);

// Error text for the event log: of errno on POSIX; on Windows of a
// Winsock or system error code (GetLastError), which share one space.
const char* error_text(int error);

}  // namespace net

#endif  // NET_SOCKET_OPS_H_
