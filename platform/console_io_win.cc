// Winsock first: windows.h would otherwise bring in the old winsock.h.
#include <winsock2.h>
// (after it)
#include <shellapi.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "net/socket_ops.h"
#include "platform/console_io.h"

namespace platform {
namespace {

constexpr int kInputChunk = 4096;
constexpr uint32_t kLoopback = 0x7f000001;  // 127.0.0.1, host order
constexpr int kPairTimeoutMs = 3000;

std::atomic<int> stop_fd{-1};

BOOL WINAPI on_console_stop(DWORD) {
  net::wake(stop_fd.load(std::memory_order_acquire));
  return TRUE;
}

// A connected pair of loopback sockets: `*reader` for the wait, `*writer`
// for the thread that feeds it.
int socket_pair(int* reader, int* writer) {
  const int listener = net::tcp_socket();
  if (listener < 0) return -1;
  int32_t ip[4];
  int32_t port = 0;
  int error = 0;
  int accepted = -1;
  const int connecting = net::tcp_socket();
  if (net::bind_ipv4(listener, kLoopback, 0) == 0 && net::listen_fd(listener, 1) == 0 &&
      connecting >= 0 &&
      net::connect_ipv4(connecting, htonl(kLoopback), net::local_port(listener), kPairTimeoutMs) ==
          0 &&
      net::poll_fd(listener, net::kPollIn, kPairTimeoutMs) > 0) {
    accepted = net::accept_ipv4(listener, ip, &port, &error);
  }
  net::close_fd(listener);
  if (accepted < 0) {
    net::close_fd(connecting);
    return -1;
  }
  *reader = accepted;
  *writer = connecting;
  return 0;
}

// Copies standard input to the socket until the input ends, then ends the
// socket's stream, which the reader sees as the end of input.
void feed_input(int writer) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[kInputChunk];
  DWORD n = 0;
  while (ReadFile(input, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    DWORD sent = 0;
    while (sent < n) {
      if (net::poll_fd(writer, net::kPollOut, -1) < 0) break;
      const int taken = net::send_nb(writer, reinterpret_cast<const uint8_t*>(buffer) + sent,
                                     static_cast<int>(n - sent));
      if (taken == net::kIoError) return;
      if (taken > 0) sent += static_cast<DWORD>(taken);
    }
  }
  net::shutdown_fd(writer);
}

}  // namespace

bool input_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

int open_input() {
  int reader = -1;
  int writer = -1;
  if (socket_pair(&reader, &writer) != 0) return -1;
  // Blocked in ReadFile until the input ends or the process does.
  std::thread(feed_input, writer).detach();
  return reader;
}

int read_input(int fd, char* buffer, int size) {
  return net::recv_nb(fd, reinterpret_cast<uint8_t*>(buffer), size);
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
  const int fd = net::make_wake_fd();
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
