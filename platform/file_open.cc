#include "platform/file_open.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

int judge(const struct stat& info, long max_bytes) {
  if (!S_ISREG(info.st_mode)) return kFileNotRegular;
  if (info.st_size > max_bytes) return kFileTooBig;
  return kFileOpened;
}

}  // namespace

int open_regular_file(const char* path, long max_bytes, std::FILE** file, int* error) {
  *file = nullptr;
  *error = 0;
  struct stat info;
  if (::stat(path, &info) != 0) {
    *error = errno;
    return errno == ENOENT ? kFileMissing : kFileFailed;
  }
  int rc = judge(info, max_bytes);
  if (rc != kFileOpened) return rc;
  // Non-blocking, so that a file swapped for a pipe meanwhile cannot hold
  // the open; judged again by what was opened.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return errno == ENOENT ? kFileMissing : kFileFailed;
  }
  if (::fstat(fd, &info) != 0) {
    *error = errno;
    ::close(fd);
    return kFileFailed;
  }
  rc = judge(info, max_bytes);
  if (rc != kFileOpened) {
    ::close(fd);
    return rc;
  }
  *file = ::fdopen(fd, "rb");
  if (*file == nullptr) {
    *error = errno;
    ::close(fd);
    return kFileFailed;
  }
  return kFileOpened;
}

std::FILE* open_log_file(const char* path, bool append) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  const int fd = ::open(path, flags, 0640);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, append ? "a" : "w");
  if (file == nullptr) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
  }
  return file;
}

}  // namespace platform
