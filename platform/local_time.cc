#include "platform/local_time.h"

#include <cstring>

namespace platform {

int local_time(std::time_t when, std::tm* out) {
  if (localtime_r(&when, out) != nullptr) return 0;
  std::memset(out, 0, sizeof *out);
  return -1;
}

int utc_time(std::time_t when, std::tm* out) {
  if (gmtime_r(&when, out) != nullptr) return 0;
  std::memset(out, 0, sizeof *out);
  return -1;
}

}  // namespace platform
