#include "platform/file_replace.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace platform {

int replace_file(const char* path, const char* text, size_t size, int* error) {
  *error = 0;
  struct stat old;
  const mode_t mode = ::stat(path, &old) == 0 ? (old.st_mode & 07777) : 0644;
  std::string temp = std::string(path) + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  bool ok = ::fchmod(fd, mode) == 0;
  size_t written = 0;
  while (ok && written < size) {
    const ssize_t n = ::write(fd, text + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  if (!ok) *error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    *error = errno;
  }
  if (ok && ::rename(temp.c_str(), path) != 0) {
    ok = false;
    *error = errno;
  }
  if (!ok) ::unlink(temp.c_str());
  return ok ? 0 : -1;
}

}  // namespace platform
