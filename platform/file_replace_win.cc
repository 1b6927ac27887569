// The Windows twin of file_replace.cc.
#include <windows.h>

#include <string>

#include "platform/file_replace.h"

namespace platform {

int replace_file(const char* path, const char* text, size_t size, int* error) {
  *error = 0;
  // A name of its own beside the old file, from this process and moment.
  const std::string temp = std::string(path) + "." + std::to_string(GetCurrentProcessId()) + "." +
                           std::to_string(GetTickCount64()) + ".tmp";
  HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(GetLastError());
    return -1;
  }
  bool ok = true;
  size_t written = 0;
  while (ok && written < size) {
    DWORD n = 0;
    const DWORD chunk =
        size - written > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size - written);
    ok = WriteFile(file, text + written, chunk, &n, nullptr) != 0 && n > 0;
    written += n;
  }
  ok = ok && FlushFileBuffers(file) != 0;
  if (!ok) *error = static_cast<int>(GetLastError());
  CloseHandle(file);
  if (ok &&
      MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    ok = false;
    *error = static_cast<int>(GetLastError());
  }
  if (!ok) DeleteFileA(temp.c_str());
  return ok ? 0 : -1;
}

}  // namespace platform
