#include "net/unix_socket.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "net/socket_ops.h"

namespace net {
namespace {

constexpr size_t kMaxGroupEntryBytes = 1024 * 1024;

// False when `path` does not fit sun_path with its terminating zero.
bool fill_address(const char* path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  const size_t length = std::strlen(path);
  if (length == 0 || length >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path, length);
  return true;
}

int bind_owner_only(int fd, const sockaddr_un& addr) {
  const mode_t old = umask(0177);
  const int rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int saved = errno;
  umask(old);
  errno = saved;
  return rc;
}

}  // namespace

int unix_listen(const char* path, int backlog, int* error) {
  *error = 0;
  sockaddr_un addr;
  if (!fill_address(path, &addr)) return kUnixPathTooLong;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return kUnixFailed;
  }
  int rc = bind_owner_only(fd, addr);
  if (rc != 0 && errno == EADDRINUSE) {
    // Something is there. Only a socket file is ever removed, and only when
    // a connection to it is refused: nobody listens on it any more.
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISSOCK(st.st_mode)) {
      ::close(fd);
      return kUnixNotSocket;
    }
    const int probe = unix_connect(path);
    const int probe_error = errno;
    if (probe >= 0 || probe_error != ECONNREFUSED) {
      if (probe >= 0) ::close(probe);
      ::close(fd);
      return kUnixInUse;
    }
    ::unlink(path);
    rc = bind_owner_only(fd, addr);
  }
  if (rc != 0 || ::listen(fd, backlog) != 0) {
    *error = errno;
    ::close(fd);
    return kUnixFailed;
  }
  return fd;
}

int unix_share_with_group(const char* path, const char* group, int* error) {
  *error = 0;
  // The group database's entries can be long (a group of many members).
  std::vector<char> buffer(16 * 1024);
  struct group entry;
  struct group* found = nullptr;
  int rc;
  while ((rc = getgrnam_r(group, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < kMaxGroupEntryBytes) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0) {
    *error = rc;
    return kUnixFailed;
  }
  if (found == nullptr) return kUnixNoGroup;
  // The group first, while the mode still shuts everyone else out.
  if (::lchown(path, static_cast<uid_t>(-1), entry.gr_gid) != 0 || ::chmod(path, 0660) != 0) {
    *error = errno;
    return kUnixFailed;
  }
  return 0;
}

int unix_connect(const char* path) {
  sockaddr_un addr;
  if (!fill_address(path, &addr)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

int unix_accept(int listen_fd) {
  const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0) return fd;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
    return kIoWouldBlock;
  }
  return -1;
}

int file_identity(const char* path, uint64_t identity[2]) {
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  identity[0] = static_cast<uint64_t>(st.st_dev);
  identity[1] = static_cast<uint64_t>(st.st_ino);
  return 0;
}

int remove_if_same(const char* path, const uint64_t identity[2]) {
  uint64_t now[2];
  if (file_identity(path, now) != 0 || now[0] != identity[0] || now[1] != identity[1]) return -1;
  return ::unlink(path);
}

std::string unix_peer_user(int fd) {
  uid_t uid = 0;
#ifdef SO_PEERCRED
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return "unknown";
  uid = credentials.uid;
#else
  gid_t gid = 0;
  if (getpeereid(fd, &uid, &gid) != 0) return "unknown";
#endif
  std::vector<char> buffer(1024);
  passwd entry{};
  passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < 65536) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0 || found == nullptr) return "uid " + std::to_string(uid);
  return found->pw_name;
}

}  // namespace net
