// A datagram socket to a Unix-domain address, for short notices to a local
// service manager. Same conventions as socket_ops.h: int results, no
// exceptions, no socket header above net/.
#ifndef NET_UNIX_DATAGRAM_H_
#define NET_UNIX_DATAGRAM_H_

namespace net {

// A non-blocking, close-on-exec datagram socket connected to `address`: a
// file path, or "@name" for a name in the abstract namespace (the '@'
// stands for the leading zero byte). -1 when the address is empty or too
// long, or nothing is bound there. Send on it with send_nb: a full queue
// gives kIoWouldBlock and never blocks the sender.
int unix_datagram_to(const char* address);

// Sends `text` on the datagram socket `fd` together with a descriptor that
// the receiver closes once it has taken the datagram, and waits up to
// `timeout_ms` for that close: a service manager's BARRIER=1, after which
// every notice sent before it has been handled. 0 once it was handled, -1
// when it could not be sent or the wait ran out.
int unix_datagram_barrier(int fd, const char* text, int timeout_ms);

}  // namespace net

#endif  // NET_UNIX_DATAGRAM_H_
