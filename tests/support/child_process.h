// Runs an executable as a child process for tests: in a directory of its
// own, with its standard output read back through a pipe or a
// pseudo-terminal, and with every wait bounded.
#ifndef TESTS_SUPPORT_CHILD_PROCESS_H_
#define TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

namespace testing_support {

// A fresh empty directory under $TMPDIR (or /tmp), removed with everything
// in it on destruction. path() is empty when it could not be made.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  bool write_file(const std::string& name, const std::string& text) const;
  // False when the file cannot be read.
  bool read_file(const std::string& name, std::string* text) const;
  bool exists(const std::string& name) const;

 private:
  std::string path_;
};

enum class ChildStdio {
  // Standard input from /dev/null, standard output into a pipe.
  kNullInput,
  // Standard input from a pipe the test writes, standard output into a pipe.
  kPipeInput,
  // Standard input and output on a new pseudo-terminal, which is the
  // controlling terminal of the child's own session (its foreground job).
  kTerminal,
};

class ChildProcess {
 public:
  ChildProcess() = default;
  // A child still running is killed and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] with arguments `argv` in directory `dir`. Standard error
  // stays the test's. False when the child could not be created; a failed
  // chdir or exec shows as exit status 126 or 127.
  bool start(const std::vector<std::string>& argv, const std::string& dir, ChildStdio stdio);
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0 && !exited_; }

  // Writes to the child's standard input (pipe or terminal).
  bool send_input(const std::string& bytes);
  // Ends a piped standard input.
  void close_input();
  bool send_signal(int signal_number);
  // Shrinks the output pipe to `bytes` (kNullInput and kPipeInput), so that
  // a child that writes while the test does not read soon finds it full.
  bool set_output_buffer(int bytes);
  // Bytes the child wrote that the test has not read yet (pipes only).
  int unread_output() const;

  // Everything read from the child's output so far.
  const std::string& output() const { return output_; }
  // The next whole line of output, without its line end ("\n" or "\r\n"),
  // waiting at most `timeout_ms`. False on time-out or end of output.
  bool next_line(std::string* line, int timeout_ms);
  // Waits at most `timeout_ms` until `text` appears in the output after the
  // end of the previous match. False on time-out or end of output.
  bool wait_for_text(const std::string& text, int timeout_ms);

  // Waits at most `timeout_ms` for the child to end; its wait status then
  // goes to `*status`. False when it is still running.
  bool wait_exit(int timeout_ms, int* status);
  // The child handed itself over to its own child `next` (a lobby's
  // upgrade) and ends: waits at most `timeout_ms` for it to end (its wait
  // status to `*status`), then follows `next` as the child from then on.
  // The test process is made a subreaper at start(), so that `next`, left
  // without its parent, becomes its own to wait for and to kill.
  bool follow(pid_t next, int timeout_ms, int* status);

  // The terminal's current settings as the child sees them (kTerminal
  // only; the test keeps its own descriptor of the terminal open).
  bool terminal_settings(termios* settings) const;
  // Changes them, as a shell does while the child is stopped.
  bool set_terminal_settings(const termios& settings) const;

 private:
  // Appends what arrives within `timeout_ms`. False on time-out or end.
  bool read_output(int timeout_ms);
  void close_fds();

  pid_t pid_ = -1;
  int pid_fd_ = -1;
  bool exited_ = false;
  int exit_status_ = 0;
  int input_fd_ = -1;     // pipe write end, or the terminal's master side
  int output_fd_ = -1;    // pipe read end, or the terminal's master side
  int terminal_fd_ = -1;  // the terminal's child side, kept by the test
  bool output_ended_ = false;
  std::string output_;
  size_t line_pos_ = 0;
  size_t text_pos_ = 0;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_CHILD_PROCESS_H_
