// POSIX: the local stream is a Unix-domain stream socket, and its handles
// are the sockets' descriptors.
#include "net/local_stream.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/unix_socket.h"
#include "platform/wake_up.h"

namespace net {

static_assert(kLocalFailed == kUnixFailed && kLocalNameTooLong == kUnixPathTooLong &&
              kLocalInUse == kUnixInUse && kLocalNotSocket == kUnixNotSocket &&
              kLocalNoGroup == kUnixNoGroup);

std::string local_address(const char* path) { return path; }

int local_listen(const char* path, int backlog, uint64_t identity[2], int* error) {
  const int fd = unix_listen(path, backlog, error);
  if (fd >= 0) file_identity(path, identity);
  return fd;
}

int local_share_with_group(const char* path, const char* group, int* error) {
  return unix_share_with_group(path, group, error);
}

void local_unlisten(int listener, const char* path, const uint64_t identity[2]) {
  if (listener < 0) return;
  close_fd(listener);
  remove_if_same(path, identity);
}

int local_accept(int listener) { return unix_accept(listener); }

bool local_peer_is_owner(int handle) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(handle, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return peer.uid == 0 || peer.uid == getuid();
}
std::string local_peer_user(int handle) { return unix_peer_user(handle); }

int local_connect(const char* path, int* error) {
  const int fd = unix_connect(path);
  *error = fd < 0 ? errno : 0;
  return fd;
}

int local_recv(int handle, uint8_t* buffer, int size) { return recv_nb(handle, buffer, size); }

int local_send(int handle, const uint8_t* bytes, int length) {
  return send_nb(handle, bytes, length);
}

int local_make_wake() { return platform::make_wake_fd(); }

void local_wake(int handle) { platform::wake(handle); }

void local_drain_wake(int handle) { platform::drain_wake(handle); }

int local_poll(PollEntry* entries, int count, int timeout_ms) {
  return poll_many(entries, count, timeout_ms);
}

void local_close(int handle) { close_fd(handle); }

}  // namespace net
