// The system calls of handing the running process over to a new program
// (app/upgrade.h): the program file the process was started from, a file
// in memory for the state image, a connected pair of sockets for the two
// programs' handshake, the start of the new program with the descriptors
// it inherits, and its end when it fails. Linux only (the upgrade is not
// offered on Windows). Every function returns an int result and never
// throws; errors are errno values.
#ifndef PLATFORM_HANDOVER_H_
#define PLATFORM_HANDOVER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The path of the running program's file as the system resolves it now;
// empty when it cannot be read. Read at the start: a package that puts a
// new file at that path later is then what the path names.
std::string program_path();
int process_id();

// A file in memory holding `size` bytes of `data`, read from its start,
// closed on exec. The descriptor, or -1 with `*error`.
int memory_file(const char* name, const uint8_t* data, size_t size, int* error);
// Reads the whole file `fd` from its start into `*out`, at most `most`
// bytes. 0, or -1 with `*error` (EFBIG for a larger file).
int read_whole_file(int fd, size_t most, std::string* out, int* error);

// A connected pair of stream sockets, closed on exec. 0, or -1 with
// `*error`.
int socket_pair(int fds[2], int* error);
// Writes all of `size` bytes, waiting as needed. 0, or -1.
int write_all(int fd, const char* data, size_t size);
// Reads what arrives within `timeout_ms` (-1: no bound): the bytes read
// (at most `size`), 0 at the end of the stream, kReadTimedOut when nothing
// came, or -1 with `*error`.
constexpr int kReadTimedOut = -2;
int read_within(int fd, char* buffer, int size, int timeout_ms, int* error);
void close_descriptor(int fd);
// True when `fd` is an open socket.
bool is_open_socket(int fd);

// Starts `program` with `args` (argv[0] first) and the environment `env`
// ("NAME=value" texts) in a new process that inherits the descriptors of
// `keep`, each under its own number; every other descriptor the process
// marked close-on-exec stays with it. The new program starts with no
// signal blocked or ignored. The new process's id, or -1 with `*error`
// (the program could not be run: ENOENT, EACCES, ...).
int start_program(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env, const std::vector<int>& keep, int* error);
// Runs `program` with `args` (argv[0] first), its standard input empty and
// its standard error dropped, and reads what it writes to its standard
// output (at most `most` bytes) until it ends, for at most `timeout_ms`;
// past that it is killed. 0 with the text in `*out` and its wait status in
// `*status`, or -1 with `*error`.
int program_output(const std::string& program, const std::vector<std::string>& args, int timeout_ms,
                   size_t most, std::string* out, int* status, int* error);
// Waits up to `timeout_ms` for the child `pid` to end, reaping it. 1 when
// it ended (its wait status in `*status`), 0 while it runs, -1 on failure.
int wait_child(int pid, int timeout_ms, int* status);
// Ends the child `pid` at once (SIGKILL) and reaps it.
void kill_child(int pid);
// "exited with status N", or "was killed by signal N (NAME)".
std::string wait_status_text(int status);

// The environment of the process, as "NAME=value" texts.
std::vector<std::string> environment();

}  // namespace platform

#endif  // PLATFORM_HANDOVER_H_
