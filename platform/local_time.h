// The local and the UTC calendar time of a moment, the platform
// difference of the event log's and the moderation log's time stamps
// (localtime_r and gmtime_r on POSIX, localtime_s and gmtime_s on
// Windows). Any thread.
#ifndef PLATFORM_LOCAL_TIME_H_
#define PLATFORM_LOCAL_TIME_H_

#include <ctime>

namespace platform {

// Fills `*out` with `when` in local time. 0, or -1 when it cannot be
// converted (`*out` is then zeroed).
int local_time(std::time_t when, std::tm* out);
// The same in UTC.
int utc_time(std::time_t when, std::tm* out);

}  // namespace platform

#endif  // PLATFORM_LOCAL_TIME_H_
