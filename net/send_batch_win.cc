// The Windows twin of send_batch.cc: Winsock has no call that sends on
// several sockets at once, so the sends are made one after another.
#include "net/send_batch.h"

namespace net {

void sendv_batch(SendJob* jobs, int count) {
  for (int i = 0; i < count; ++i)
    jobs[i].result = sendv_nb(jobs[i].fd, jobs[i].slices, jobs[i].count);
}

}  // namespace net
