// The Windows twin of wake_up.cc: the descriptor is a loopback UDP socket
// connected to itself, since WSAPoll waits on sockets only.
// Winsock first: windows.h would otherwise bring in the old winsock.h.
#include <winsock2.h>
// (after it)
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "platform/wake_up.h"

namespace platform {
namespace {

SOCKET handle(int fd) { return static_cast<SOCKET>(static_cast<uintptr_t>(fd)); }

}  // namespace

int make_wake_fd() {
  SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return -1;
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  int len = sizeof addr;
  u_long on = 1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ioctlsocket(s, FIONBIO, &on) != 0) {
    closesocket(s);
    return -1;
  }
  return static_cast<int>(s);
}

void wake(int fd) {
  if (fd < 0) return;
  const char one = 1;
  ::send(handle(fd), &one, 1, 0);
}

void drain_wake(int fd) {
  if (fd < 0) return;
  char bytes[64];
  while (::recv(handle(fd), bytes, sizeof bytes, 0) > 0) {
  }
}

void close_wake_fd(int fd) {
  if (fd >= 0) closesocket(handle(fd));
}

bool WakeUp::open() {
  if (fd_ < 0) fd_ = make_wake_fd();
  return fd_ >= 0;
}

}  // namespace platform
