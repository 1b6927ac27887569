// The local calendar time of a moment, the one platform difference of the
// clock and the event log's time stamps (localtime_r on POSIX, localtime_s
// on Windows). Any thread.
#ifndef PLATFORM_LOCAL_TIME_H_
#define PLATFORM_LOCAL_TIME_H_

#include <ctime>

namespace platform {

// Fills `*out` with `when` in local time. 0, or -1 when it cannot be
// converted (`*out` is then zeroed).
int local_time(std::time_t when, std::tm* out);

}  // namespace platform

#endif  // PLATFORM_LOCAL_TIME_H_
