// Thin wrappers over the Unix-domain stream socket calls that the admin
// channel's stream needs on POSIX (local_stream.cc; Windows serves a named
// pipe instead). Int results, no exceptions; nothing above net/ includes a
// socket header.
#ifndef NET_UNIX_SOCKET_H_
#define NET_UNIX_SOCKET_H_

#include <cstdint>
#include <string>

namespace net {

// Results of unix_listen (a descriptor is 0 or more).
constexpr int kUnixFailed = -1;       // socket, bind or listen failed: see *error
constexpr int kUnixPathTooLong = -2;  // the path does not fit a socket address
constexpr int kUnixInUse = -3;        // a live server answers on the path
constexpr int kUnixNotSocket = -4;    // something other than a socket is there
constexpr int kUnixNoGroup = -5;      // unix_share_with_group: no group of that name

// Creates a non-blocking listening socket at `path`, readable and writable
// by the owner only: it is bound under a umask of 0177, so that it never
// exists with wider rights. A socket file that nobody answers on is left
// from an earlier run and is replaced; a live one is never taken over.
// Changes the process's umask for a moment: call it before other threads
// create files. The descriptor, or a negative result with *error set to
// the errno that explains it (0 when there is none), for error_text.
int unix_listen(const char* path, int backlog, int* error);
// Lets the members of `group` use the socket at `path` as its owner does:
// the file is given to the group first and only then opened to it (mode
// 0660), so that it is never open to anyone else. The process must be a
// member of the group (or root). 0; kUnixNoGroup; or kUnixFailed with
// *error set to the errno.
int unix_share_with_group(const char* path, const char* group, int* error);
// Connects to the socket at `path` without blocking: a listener whose
// queue is full counts as not answering. The descriptor (non-blocking), or
// -1 with errno telling why.
int unix_connect(const char* path);
// Accepts one waiting connection, non-blocking. The descriptor, or
// kIoWouldBlock (socket_ops.h) when none waits, or -1.
int unix_accept(int listen_fd);

// The user name of the process at the other end of the connected socket
// `fd` (its credentials as the kernel took them at connect), or "uid N"
// when the user has no name; "unknown" when the kernel will not say.
std::string unix_peer_user(int fd);

// The identity (device and inode) of the file at `path`; 0, or -1 when it
// cannot be read.
int file_identity(const char* path, uint64_t identity[2]);
// Removes `path` if it is still the file of `identity`: a file put there by
// someone else since is left alone. 0 when removed, -1 otherwise.
int remove_if_same(const char* path, const uint64_t identity[2]);

}  // namespace net

#endif  // NET_UNIX_SOCKET_H_
