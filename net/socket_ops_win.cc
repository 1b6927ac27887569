// The Windows twin of socket_ops.cc: the same wrappers over Winsock 2.2.
//
// A SOCKET is a handle; the layer above keeps it in an int as it keeps a
// POSIX descriptor. Socket handles are small kernel handle values (Windows
// keeps them within 32 bits so that they can be shared with 32-bit
// processes), and INVALID_SOCKET becomes -1, the same "no socket" value.
// Winsock first: windows.h would otherwise bring in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
// (after them)
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "net/socket_ops.h"

namespace net {
namespace {

SOCKET handle(int fd) { return static_cast<SOCKET>(static_cast<uintptr_t>(fd)); }

int as_int(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }

bool would_block(int error) {
  return error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAEINPROGRESS;
}

short poll_events(int events) {
  return static_cast<short>(((events & kPollIn) ? POLLRDNORM : 0) |
                            ((events & kPollOut) ? POLLWRNORM : 0));
}

int ready_bits(short revents) {
  int ready = 0;
  if (revents & (POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR | POLLNVAL)) ready |= kPollIn;
  if (revents & POLLWRNORM) ready |= kPollOut;
  return ready;
}

// WSAPoll refuses an empty set; a wait over nothing is a plain sleep.
int wait_poll(WSAPOLLFD* fds, ULONG count, int timeout_ms) {
  if (count == 0) {
    if (timeout_ms != 0) Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
    return 0;
  }
  return WSAPoll(fds, count, timeout_ms);
}

}  // namespace

int start_sockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
}

// Winsock never raises a signal for a send to a closed peer: the send
// fails with WSAECONNRESET or WSAESHUTDOWN, which the callers report.
void ignore_sigpipe() {}

int last_error() { return WSAGetLastError(); }

int tcp_socket() {
  // Not inherited by child processes, like SOCK_CLOEXEC on POSIX.
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  return as_int(s);
}

int set_reuse_addr(int fd) {
  // SO_REUSEADDR on Windows lets another process bind the same port and
  // take its connections over; exclusive use is the safe choice. (Windows
  // may then refuse a restarted server the port while connections of the
  // previous run wait out their close.)
  BOOL on = TRUE;
  return setsockopt(handle(fd), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&on),
                    sizeof on) == 0
             ? 0
             : -1;
}

int set_nonblocking(int fd) {
  u_long on = 1;
  return ioctlsocket(handle(fd), FIONBIO, &on) == 0 ? 0 : -1;
}

int set_no_delay(int fd) {
  BOOL on = TRUE;
  return setsockopt(handle(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on),
                    sizeof on) == 0
             ? 0
             : -1;
}

int set_send_buffer(int fd, int bytes) {
  return setsockopt(handle(fd), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&bytes),
                    sizeof bytes) == 0
             ? 0
             : -1;
}

int set_recv_buffer(int fd, int bytes) {
  return setsockopt(handle(fd), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&bytes),
                    sizeof bytes) == 0
             ? 0
             : -1;
}

int bind_ipv4(int fd, uint32_t ip, int port) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(ip == 0 ? INADDR_ANY : ip);
  addr.sin_port = htons(static_cast<u_short>(port & 0xffff));
  return ::bind(handle(fd), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : -1;
}

int listen_fd(int fd, int backlog) { return ::listen(handle(fd), backlog) == 0 ? 0 : -1; }

int local_port(int fd) {
  sockaddr_in addr;
  int len = sizeof addr;
  if (getsockname(handle(fd), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  return ntohs(addr.sin_port);
}

bool connected_to_itself(int fd) {
  sockaddr_in local;
  sockaddr_in peer;
  int local_len = sizeof local;
  int peer_len = sizeof peer;
  if (getsockname(handle(fd), reinterpret_cast<sockaddr*>(&local), &local_len) != 0) return false;
  if (getpeername(handle(fd), reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) return false;
  return local.sin_addr.s_addr == peer.sin_addr.s_addr && local.sin_port == peer.sin_port;
}

int poll_fd(int fd, int events, int timeout_ms) {
  WSAPOLLFD p;
  p.fd = handle(fd);
  p.events = poll_events(events);
  p.revents = 0;
  int n = wait_poll(&p, 1, timeout_ms);
  if (n < 0) return WSAGetLastError() == WSAEINTR ? 0 : -1;
  if (n == 0) return 0;
  return ready_bits(p.revents);
}

bool peer_shut(int fd) {
  WSAPOLLFD p;
  p.fd = handle(fd);
  p.events = POLLRDNORM;
  p.revents = 0;
  // A socket closed meanwhile (POLLNVAL) has no peer left either.
  return WSAPoll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int poll_many(PollEntry* entries, int count, int timeout_ms) {
  WSAPOLLFD fds[kMaxPollEntries];
  if (count > kMaxPollEntries) count = kMaxPollEntries;
  for (int i = 0; i < count; ++i) {
    fds[i].fd = handle(entries[i].fd);
    fds[i].events = poll_events(entries[i].events);
    fds[i].revents = 0;
    entries[i].ready = 0;
  }
  int n = wait_poll(fds, static_cast<ULONG>(count), timeout_ms);
  if (n < 0) return WSAGetLastError() == WSAEINTR ? 0 : -1;
  for (int i = 0; i < count; ++i) entries[i].ready = ready_bits(fds[i].revents);
  return n;
}

int accept_ipv4(int listen, int32_t peer_ip[4], int32_t* peer_port, int* error) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  int len = sizeof addr;
  SOCKET s = ::accept(handle(listen), reinterpret_cast<sockaddr*>(&addr), &len);
  if (s == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return (would_block(*error) || *error == WSAECONNRESET) ? kIoWouldBlock : -1;
  }
  // Winsock has no per-call "don't wait" flag: every socket the lobby
  // reads or writes is non-blocking instead, and an accepted one is made
  // so here rather than trusting it to inherit the listener's mode.
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  uint32_t host = ntohl(addr.sin_addr.s_addr);
  peer_ip[0] = static_cast<int32_t>((host >> 24) & 0xff);
  peer_ip[1] = static_cast<int32_t>((host >> 16) & 0xff);
  peer_ip[2] = static_cast<int32_t>((host >> 8) & 0xff);
  peer_ip[3] = static_cast<int32_t>(host & 0xff);
  *peer_port = ntohs(addr.sin_port);
  return as_int(s);
}

int recv_nb(int fd, uint8_t* buffer, int size) {
  int n = ::recv(handle(fd), reinterpret_cast<char*>(buffer), size, 0);
  if (n >= 0) return n;
  return would_block(WSAGetLastError()) ? kIoWouldBlock : kIoError;
}

int send_nb(int fd, const uint8_t* bytes, int length) {
  int n = ::send(handle(fd), reinterpret_cast<const char*>(bytes), length, 0);
  if (n >= 0) return n;
  return would_block(WSAGetLastError()) ? kIoWouldBlock : kIoError;
}

int sendv_nb(int fd, const IoSlice* slices, int count) {
  WSABUF buffers[kMaxSendSlices];
  if (count > kMaxSendSlices) count = kMaxSendSlices;
  for (int i = 0; i < count; ++i) {
    buffers[i].buf = reinterpret_cast<char*>(const_cast<uint8_t*>(slices[i].data));
    buffers[i].len = static_cast<ULONG>(slices[i].length);
  }
  DWORD sent = 0;
  if (WSASend(handle(fd), buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) == 0) {
    return static_cast<int>(sent);
  }
  return would_block(WSAGetLastError()) ? kIoWouldBlock : kIoError;
}

int parse_ipv4(const char* text, uint32_t* addr_be) {
  in_addr addr;
  if (inet_pton(AF_INET, text, &addr) != 1) return -1;
  *addr_be = addr.s_addr;
  return 0;
}

int resolve_ipv4(const char* host, uint32_t* addr_be) {
  // Names under the reserved "invalid" domain never resolve; answering at
  // once spares a wait on a resolver that may not be reachable.
  size_t len = std::strlen(host);
  constexpr char kInvalid[] = ".invalid";
  constexpr size_t kInvalidLen = sizeof kInvalid - 1;
  if (len >= kInvalidLen && _stricmp(host + len - kInvalidLen, kInvalid) == 0) return -1;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr) return -1;
  *addr_be = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(result);
  return 0;
}

int connect_ipv4(int fd, uint32_t addr_be, int port, int timeout_ms) {
  // A non-blocking connect bounded by a wait, so that an address that
  // swallows packets cannot hold the caller for the system's long retry.
  int error = 0;
  int rc = connect_start_ipv4(fd, addr_be, port, &error);
  if (rc == kConnectPending) rc = connect_finish(fd, timeout_ms, &error);
  return rc == 0 ? 0 : -1;
}

int connect_start_ipv4(int fd, uint32_t addr_be, int port, int* error) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = addr_be;
  addr.sin_port = htons(static_cast<u_short>(port & 0xffff));
  if (set_nonblocking(fd) != 0) {
    *error = WSAGetLastError();
    return -1;
  }
  if (::connect(handle(fd), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return 0;
  *error = WSAGetLastError();
  return *error == WSAEWOULDBLOCK ? kConnectPending : -1;
}

int connect_check(int fd, int* error) { return connect_finish(fd, 0, error); }

// Waits up to `timeout_ms` for a connect under way: 0 when connected,
// kConnectPending when it is still under way, -1 with `*error` set when it
// failed. select, not WSAPoll: WSAPoll on Windows 10 before version 2004
// does not report a refused connect at all; select reports it in the
// exception set, where getsockopt(SO_ERROR) then gives the cause.
int connect_finish(int fd, int timeout_ms, int* error) {
  SOCKET s = handle(fd);
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval limit;
  limit.tv_sec = timeout_ms / 1000;
  limit.tv_usec = (timeout_ms % 1000) * 1000;
  const int n = select(0, nullptr, &writable, &failed, &limit);
  if (n < 0) {
    *error = WSAGetLastError();
    return -1;
  }
  if (n == 0) return kConnectPending;
  int pending = 0;
  int len = sizeof pending;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &len) != 0) {
    *error = WSAGetLastError();
    return -1;
  }
  if (pending != 0 || FD_ISSET(s, &failed)) {
    *error = pending != 0 ? pending : WSAECONNREFUSED;
    return -1;
  }
  return 0;
}

void shutdown_fd(int fd) {
  if (fd >= 0) ::shutdown(handle(fd), SD_BOTH);
}

void close_fd(int fd) {
  if (fd >= 0) closesocket(handle(fd));
}

void abort_fd(int fd) {
  if (fd < 0) return;
  // A hard close: Winsock resets the connection and discards what it holds.
  linger off = {1, 0};
  setsockopt(handle(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&off), sizeof off);
  closesocket(handle(fd));
}

// Winsock does not tell what a socket still holds to send.
int unsent_bytes(int /*fd*/) { return -1; }

const char* error_text(int error) {
  // Winsock's own message, in UTF-8 like the rest of the log, followed by
  // the code, which an operator can look up whatever the system language.
  thread_local char text[256];
  wchar_t wide[192];
  DWORD n =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(error), 0, wide, sizeof wide / sizeof wide[0], nullptr);
  // Without the line end and the full stop Windows puts after the message.
  while (n > 0 && (wide[n - 1] == L'\r' || wide[n - 1] == L'\n' || wide[n - 1] == L'.' ||
                   wide[n - 1] == L' ')) {
    --n;
  }
  int used = 0;
  if (n > 0) {
    used = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), text, sizeof text - 32,
                               nullptr, nullptr);
  }
  if (used <= 0) {
    // No text for it on this system (Wine has none for Winsock's codes).
    // The same codes come from file and pipe calls (the deny file, the
    // admin channel's pipe), so the words name no one source.
    std::snprintf(text, sizeof text, "Windows error (%d)", error);
  } else {
    std::snprintf(text + used, sizeof text - static_cast<size_t>(used), " (%d)", error);
  }
  return text;
}

}  // namespace net
