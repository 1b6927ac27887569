// The Windows twin of file_open.cc.
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/file_open.h"

namespace platform {

int open_regular_file(const char* path, long max_bytes, std::FILE** file, int* error) {
  *file = nullptr;
  *error = 0;
  // Named pipes and devices ("\\.\pipe\x", "CON", "NUL") are no files on
  // a disk.
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return kFileMissing;
    *error = EACCES;  // an errno, as for a failed open below
    return kFileFailed;
  }
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return kFileNotRegular;
  }
  std::FILE* opened = std::fopen(path, "rb");
  if (opened == nullptr) {
    *error = errno;
    return kFileFailed;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(opened)));
  LARGE_INTEGER size;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    std::fclose(opened);
    return kFileNotRegular;
  }
  if (GetFileSizeEx(handle, &size) == 0) {
    *error = EIO;
    std::fclose(opened);
    return kFileFailed;
  }
  if (size.QuadPart > max_bytes) {
    std::fclose(opened);
    return kFileTooBig;
  }
  *file = opened;
  return kFileOpened;
}

// Windows gives a new file the folder's permissions; there is no mode.
std::FILE* open_log_file(const char* path, bool append) {
  return std::fopen(path, append ? "a" : "w+");
}

}  // namespace platform
