// Opening the event log's file: emptied or appended to, in text mode, and
// never inherited by a program the process starts (a new program that
// takes the lobby over opens the log itself). The one platform difference
// is the mode's spelling. Any thread.
#ifndef PLATFORM_TEXT_FILE_H_
#define PLATFORM_TEXT_FILE_H_

#include <cstdio>

namespace platform {

// Opens `path` for writing, emptied (created if missing), or for appending
// when `append`. Null when it cannot be opened, with errno set.
std::FILE* open_text_file(const char* path, bool append);

}  // namespace platform

#endif  // PLATFORM_TEXT_FILE_H_
