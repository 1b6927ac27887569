// Winsock first: windows.h would otherwise bring in the old winsock.h.
#include <winsock2.h>
// (after it)
#include <shellapi.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/annotated_mutex.h"
#include "platform/console_io.h"
#include "platform/wake_up.h"

namespace platform {
namespace {

constexpr int kInputChunk = 4096;

std::atomic<int> stop_fd{-1};

BOOL WINAPI on_console_stop(DWORD) {
  wake(stop_fd.load(std::memory_order_acquire));
  return TRUE;
}

// What the input thread has read and the waiter not yet taken. Never
// destroyed: the thread stays blocked in ReadFile until the process ends.
struct InputBuffer {
  Mutex lock;
  std::string bytes GUARDED_BY(lock);
  bool ended GUARDED_BY(lock) = false;  // the input ended after `bytes`
  int wake_fd = -1;                     // set before the thread starts
};

InputBuffer& input_buffer() {
  static InputBuffer* const buffer = new InputBuffer;
  return *buffer;
}

// Copies standard input into the buffer and wakes the waiter, until the
// input ends.
void feed_input(InputBuffer* buffer) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char chunk[kInputChunk];
  DWORD n = 0;
  while (ReadFile(input, chunk, sizeof chunk, &n, nullptr) && n > 0) {
    {
      MutexLock guard(buffer->lock);
      buffer->bytes.append(chunk, n);
    }
    wake(buffer->wake_fd);
  }
  {
    MutexLock guard(buffer->lock);
    buffer->ended = true;
  }
  wake(buffer->wake_fd);
}

}  // namespace

bool input_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

int open_input() {
  InputBuffer& buffer = input_buffer();
  if (buffer.wake_fd >= 0) return buffer.wake_fd;
  buffer.wake_fd = make_wake_fd();
  if (buffer.wake_fd < 0) return -1;
  // Blocked in ReadFile until the input ends or the process does.
  std::thread(feed_input, &buffer).detach();
  return buffer.wake_fd;
}

int read_input(int fd, char* buffer, int size) {
  InputBuffer& input = input_buffer();
  if (fd != input.wake_fd || size <= 0) return kInputError;
  drain_wake(fd);
  MutexLock guard(input.lock);
  if (input.bytes.empty()) return input.ended ? 0 : kInputWouldBlock;
  const int n =
      input.bytes.size() < static_cast<size_t>(size) ? static_cast<int>(input.bytes.size()) : size;
  input.bytes.copy(buffer, static_cast<size_t>(n));
  input.bytes.erase(0, static_cast<size_t>(n));
  // What is left, and the end after it, must wake the waiter again.
  if (!input.bytes.empty() || input.ended) wake(fd);
  return n;
}

void print_text(std::FILE* stream, const std::string& text) {
  std::fflush(stream);
  HANDLE out = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) {
    std::fwrite(text.data(), 1, text.size(), stream);
    return;
  }
  const int length = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (n <= 0) return;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), n);
  DWORD written = 0;
  WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

int open_stop_signal() {
  const int fd = make_wake_fd();
  if (fd < 0) return -1;
  stop_fd.store(fd, std::memory_order_release);
  return SetConsoleCtrlHandler(on_console_stop, TRUE) ? fd : -1;
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr || count != argc) {
    if (wide != nullptr) LocalFree(wide);
    return std::vector<std::string>(argv, argv + argc);
  }
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), n, nullptr, nullptr);
    text.resize(text.size() - 1);  // its terminating zero
    arguments.push_back(text);
  }
  LocalFree(wide);
  return arguments;
}

}  // namespace platform
