// What the tools need of the console beyond sockets, with a POSIX and a
// Windows implementation (console_io.cc, console_io_win.cc): standard
// input as a descriptor that a readiness wait over sockets can include,
// UTF-8 text on standard output whatever the console, and a descriptor
// that becomes readable when the operator stops the tool. Where standard
// input cannot be waited on with sockets (Windows), a thread of its own
// reads it and wakes the waiter through a wake-up descriptor
// (platform/wake_up.h). Main thread.
#ifndef PLATFORM_CONSOLE_IO_H_
#define PLATFORM_CONSOLE_IO_H_

#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// True when standard input is a terminal (an operator types the commands).
bool input_is_terminal();
// Results of read_input besides a count of bytes.
constexpr int kInputError = -1;
constexpr int kInputWouldBlock = -2;  // nothing there after all

// Standard input as a descriptor for a readiness wait over sockets
// (net::poll_many): standard input itself on POSIX; on Windows, where only
// sockets can be waited on together, a wake-up descriptor that a thread of
// its own wakes whenever it has read more. -1 when none can be made.
int open_input();
// Reads what `open_input()` delivered: bytes read, 0 at the end of input,
// kInputWouldBlock when nothing is there after all, kInputError.
int read_input(int fd, char* buffer, int size);

// Writes the UTF-8 `text` to `stream` (stdout or stderr). A Windows console
// is handed the characters, which it shows whatever its code page; a pipe,
// a file and a POSIX terminal get the bytes.
void print_text(std::FILE* stream, const std::string& text);

// The program's arguments in UTF-8, its name first: argv itself on POSIX;
// on Windows, where argv is in the ANSI code page and loses what that
// cannot write, the command line as the system keeps it, in UTF-16, turned
// into UTF-8.
std::vector<std::string> utf8_arguments(int argc, char** argv);

// A descriptor that becomes readable once a stop is asked for: SIGINT or
// SIGTERM on POSIX; Ctrl-C, Ctrl-Break or a closing console on Windows.
// Installs the handlers; -1 when that failed.
int open_stop_signal();

}  // namespace platform

#endif  // PLATFORM_CONSOLE_IO_H_
