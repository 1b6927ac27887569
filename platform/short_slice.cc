#include "platform/short_slice.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {

// The kernel's `struct sched_attr` (its second version, with the
// utilization clamps). The C library neither declares it nor wraps the two
// calls on the systems served, and the kernel's header clashes with its own.
struct SchedAttr {
  uint32_t size = sizeof(SchedAttr);
  uint32_t policy = 0;
  uint64_t flags = 0;
  int32_t nice = 0;
  uint32_t priority = 0;
  uint64_t runtime = 0;
  uint64_t deadline = 0;
  uint64_t period = 0;
  uint32_t util_min = 0;
  uint32_t util_max = 0;
};
static_assert(sizeof(SchedAttr) == 56);

// The one scheduling flag written back: the others set utilization clamps.
constexpr uint64_t kResetOnFork = 0x01;

}  // namespace

int request_short_slice() {
  SchedAttr attr;
  if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0) return -1;
  if (attr.policy != SCHED_OTHER) return -1;
  // Everything read is written back, the nice value included; the
  // utilization clamps are left alone by leaving out their flags.
  attr.size = sizeof attr;
  attr.flags &= kResetOnFork;
  attr.runtime = kShortSliceNs;
  return syscall(SYS_sched_setattr, 0, &attr, 0) == 0 ? 0 : -1;
}

}  // namespace platform
