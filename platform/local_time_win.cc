#include <cstring>

#include "platform/local_time.h"

namespace platform {

int local_time(std::time_t when, std::tm* out) {
  if (localtime_s(out, &when) == 0) return 0;
  std::memset(out, 0, sizeof *out);
  return -1;
}

int utc_time(std::time_t when, std::tm* out) {
  if (gmtime_s(out, &when) == 0) return 0;
  std::memset(out, 0, sizeof *out);
  return -1;
}

}  // namespace platform
