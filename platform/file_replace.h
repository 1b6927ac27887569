// Replacing a file whole: the new text goes into a file of its own beside
// the old one, reaches the disk, and is then renamed over the old one, so
// that a crash leaves the old file or the new one, never a torn one. The
// one platform difference of the deny list's writer (mkstemp, fsync and
// rename on POSIX; CreateFile, FlushFileBuffers and MoveFileEx on
// Windows). Any thread.
#ifndef PLATFORM_FILE_REPLACE_H_
#define PLATFORM_FILE_REPLACE_H_

#include <cstddef>

namespace platform {

// Writes `size` bytes of `text` as the new content of `path`, keeping the
// old file's permissions (0644 for a new file). 0, or -1 with the errno
// (on Windows, the system's error code) in `*error`; the old file is then
// untouched.
int replace_file(const char* path, const char* text, size_t size, int* error);

}  // namespace platform

#endif  // PLATFORM_FILE_REPLACE_H_
