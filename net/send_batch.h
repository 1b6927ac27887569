// Sends to several sockets in one system call. A worker that relays a line
// to its eight clients would otherwise make eight sends, and each wakes the
// receiver, which on a busy machine then takes the sender's core at once:
// the sender is switched out after every send. Made together, the sends
// wake their receivers once and the sender runs on to its next wait.
//
// Linux submits them to an io_uring of the calling thread's own (made on
// its first batch); where io_uring cannot be had (an older kernel, a
// container that forbids it) and on Windows, the sends are made one after
// another. Any thread; each thread's ring is its own.
#ifndef NET_SEND_BATCH_H_
#define NET_SEND_BATCH_H_

#include "net/socket_ops.h"

namespace net {

// One socket's gathered send and, once sent, its result as sendv_nb gives
// it: bytes taken, kIoWouldBlock, kIoError.
struct SendJob {
  int fd = -1;
  const IoSlice* slices = nullptr;
  int count = 0;
  int result = 0;
};
// The most jobs of one batch: a worker's eight slots.
constexpr int kMaxSendJobs = 8;

// Makes every job's send without waiting, each as sendv_nb would.
void sendv_batch(SendJob* jobs, int count);

}  // namespace net

#endif  // NET_SEND_BATCH_H_
