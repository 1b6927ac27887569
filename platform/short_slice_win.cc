#include "platform/short_slice.h"

namespace platform {

// Windows gives a thread no say in its time slice.
int request_short_slice() { return -1; }

}  // namespace platform
