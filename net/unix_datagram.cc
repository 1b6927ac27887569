#include "net/unix_datagram.h"

#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace net {

int unix_datagram_to(const char* address) {
  sockaddr_un target;
  std::memset(&target, 0, sizeof target);
  target.sun_family = AF_UNIX;
  const size_t length = address != nullptr ? std::strlen(address) : 0;
  // A path needs its terminating zero inside sun_path; an abstract name is
  // counted by the address length instead and needs none.
  if (length == 0 || length >= sizeof target.sun_path) return -1;
  if (address[0] == '@' && length < 2) return -1;
  std::memcpy(target.sun_path, address, length);
  if (address[0] == '@') target.sun_path[0] = '\0';
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length +
                                                (address[0] == '@' ? 0 : 1));
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), size) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace net
