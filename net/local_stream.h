// The admin channel's transport: a local byte stream between a lobby and
// the operator's tools, reached by a path. On POSIX it is a Unix-domain
// stream socket at that path (local_stream.cc, over unix_socket.h); on
// Windows a named pipe (local_stream_win.cc), named \\.\pipe\lobby-
// followed by the path's file name, or the path itself when it starts with
// \\.\pipe\, so that lobbyctl finds the lobby by the same L_ADMIN text.
//
// Handles are ints, 0 or more (-1 for none), good only for the functions
// below: on POSIX they are descriptors, on Windows places in a fixed table
// of pipe ends. Each handle is used by one thread at a time. Int results,
// no exceptions; nothing above net/ includes a system header for them.
#ifndef NET_LOCAL_STREAM_H_
#define NET_LOCAL_STREAM_H_

#include <cstdint>
#include <string>

#include "net/socket_ops.h"

namespace net {

// Results of local_listen (a handle is 0 or more).
constexpr int kLocalFailed = -1;       // the system refused: see *error
constexpr int kLocalNameTooLong = -2;  // the path does not fit an address
constexpr int kLocalInUse = -3;        // another server answers there
constexpr int kLocalNotSocket = -4;    // something other than a socket is at the path
constexpr int kLocalNoGroup = -5;      // local_share_with_group: no group of that name

// The address the path stands for, as an operator should read it: the path
// itself on POSIX, the pipe's name on Windows.
std::string local_address(const char* path);

// Listens at `path`, readable and writable by the process's own user only
// (a socket file made under a umask of 0177; a pipe whose security
// descriptor grants its user alone, and no remote client). A socket file
// nobody answers on is left from an earlier run and is replaced; a live
// server is never taken over. `identity` receives what local_unlisten
// needs to recognise the socket file later. A handle, or a negative result
// above with *error set to the system's code that explains it (0 when
// there is none), for error_text. On POSIX it changes the process's umask
// for a moment: call it before other threads create files.
int local_listen(const char* path, int backlog, uint64_t identity[2], int* error);
// Lets the members of `group` use the stream at `path` as the process's
// user does: on POSIX the socket file is given to the group first and only
// then opened to it (mode 0660), so that it is never open to anyone else;
// the process must be a member of the group (or root). 0; kLocalNoGroup;
// or kLocalFailed with *error set (always on Windows, whose pipe keeps its
// user alone).
int local_share_with_group(const char* path, const char* group, int* error);
// Closes the listener and removes its socket file, if that is still the
// one local_listen made.
void local_unlisten(int listener, const char* path, const uint64_t identity[2]);
// Takes one client that has connected: its handle, or kIoWouldBlock when
// none waits, or -1.
int local_accept(int listener);

// True when the client at the other end of stream `handle` runs as the
// process's own user (or as root): on POSIX by the credentials the kernel
// recorded at its connect; on Windows always, since the pipe admits the
// process's user alone.
bool local_peer_is_owner(int handle);
// The user name of the client at the other end of the stream `handle`
// (a Unix-domain socket's peer credentials; the pipe client's user on
// Windows), as the operator's commands are logged under it.
std::string local_peer_user(int handle);

// Connects to the server at `path`, waiting at most about a second for a
// busy one. The handle, or -1 with *error set to the system's code.
int local_connect(const char* path, int* error);

// Like recv_nb and send_nb: bytes moved, 0 (receive only) when the peer
// closed, kIoWouldBlock, kIoError. Neither ever blocks; a send takes what
// the stream can hold now.
int local_recv(int handle, uint8_t* buffer, int size);
int local_send(int handle, const uint8_t* bytes, int length);

// A wake-up handle for local_poll: any thread may wake it, the waiting
// thread drains it. -1 when none can be made.
int local_make_wake();
void local_wake(int handle);
void local_drain_wake(int handle);

// Like poll_many, over handles of this file only (listeners, streams and
// wake-ups): a listener is readable when a client waits, a stream when
// bytes or its end can be received, writable when a send would take bytes.
int local_poll(PollEntry* entries, int count, int timeout_ms);

// Closes a stream or a wake-up handle; -1 is ignored. A stream's bytes
// already sent stay readable by its peer.
void local_close(int handle);

}  // namespace net

#endif  // NET_LOCAL_STREAM_H_
