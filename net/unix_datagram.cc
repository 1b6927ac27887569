#include "net/unix_datagram.h"

#include <fcntl.h>
#include <poll.h>
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

int unix_datagram_barrier(int fd, const char* text, int timeout_ms) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  iovec piece{const_cast<char*>(text), std::strlen(text)};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  std::memset(control, 0, sizeof control);
  msghdr message{};
  message.msg_iov = &piece;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &ends[1], sizeof(int));
  const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
  // Only the receiver's copy of the write end is left: its close, once
  // the notice is handled, ends the pipe.
  ::close(ends[1]);
  int rc = -1;
  if (sent >= 0) {
    pollfd wait{ends[0], POLLIN, 0};
    rc = ::poll(&wait, 1, timeout_ms) > 0 ? 0 : -1;
  }
  ::close(ends[0]);
  return rc;
}

}  // namespace net
