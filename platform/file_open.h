// Opening the files the server reads and writes by name: the settings file,
// which must be a regular file of bounded size (a link to a device or a
// pipe must never make a reader wait or read without end), and the logs,
// which only their owner and group may read. POSIX (file_open.cc) and
// Windows (file_open_win.cc). Any thread.
#ifndef PLATFORM_FILE_OPEN_H_
#define PLATFORM_FILE_OPEN_H_

#include <cstdio>

namespace platform {

// Results of open_regular_file.
constexpr int kFileOpened = 0;
constexpr int kFileMissing = -1;
constexpr int kFileNotRegular = -2;  // a directory, a device, a pipe, a socket
constexpr int kFileTooBig = -3;      // more than the bytes allowed
constexpr int kFileFailed = -4;      // the system refused: see *error

// Opens `path` for reading in binary mode, when it is a regular file of at
// most `max_bytes`; anything else is judged before it is opened for
// reading (a pipe with no writer would block the open, a device would
// read forever). A file that grows past `max_bytes` afterwards is the
// reader's to notice. *error receives an errno for kFileFailed.
int open_regular_file(const char* path, long max_bytes, std::FILE** file, int* error);

// Creates or empties `path` (or, with `append`, opens it for appending)
// for writing, made readable by its owner and group only (0640) when it is
// created. Null, with errno set, when it cannot be.
std::FILE* open_log_file(const char* path, bool append);

}  // namespace platform

#endif  // PLATFORM_FILE_OPEN_H_
