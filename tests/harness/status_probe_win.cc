// Looks at the lobby server's status window from outside, as an operator's
// eye would, for tests of the Windows build: finds the window by its title
// and prints, in UTF-8, one line each:
//
//   title LOBBYサーバ(Ver0.9.4)
//   position X Y              the window's top-left corner on the screen
//   frame caption=1 close=1 minimize=0 maximize=0 buttons=0
//   1002 <text>               the four line controls, top to bottom
//   1001 <text>
//   1003 <text>
//   1000 <text>
//
//   status_probe [--wait MS] [--expect ID TEXT] [--enter | --escape | --close]
//
// --wait: how long to wait for the window (and for --expect), default
// 10000 ms. --expect: first wait until control ID shows TEXT. Then
// --enter and --escape post those keys to the window, --close clicks its
// close box. Exit status: 0, 1 when no window appeared, 2 for bad
// arguments, 3 when the expected text did not show in time.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNoWindow = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotShown = 3;
constexpr int kLineControls[] = {1002, 1001, 1003, 1000};
constexpr DWORD kPollMs = 50;
constexpr UINT kTextTimeoutMs = 2000;
constexpr char kTitle[] = "LOBBYサーバ(Ver0.9.4)";

std::wstring to_wide(const char* text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring wide(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), n);
  wide.resize(wide.size() - 1);
  return wide;
}

std::string to_utf8(const std::wstring& wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                      nullptr, nullptr);
  return text;
}

// A window of another process answers WM_GETTEXT through the system; a
// hung one must not hang the probe.
std::string window_text(HWND window) {
  wchar_t text[256];
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, sizeof text / sizeof text[0],
                           reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, kTextTimeoutMs,
                           &length)) {
    return "?";
  }
  return to_utf8(std::wstring(text, static_cast<size_t>(length)));
}

BOOL CALLBACK count_button(HWND child, LPARAM count) {
  wchar_t name[32];
  if (GetClassNameW(child, name, 32) > 0 && _wcsicmp(name, L"Button") == 0) {
    ++*reinterpret_cast<int*>(count);
  }
  return TRUE;
}

void print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

HWND wait_for_window(DWORD wait_ms) {
  const std::wstring title = to_wide(kTitle);
  const ULONGLONG deadline = GetTickCount64() + wait_ms;
  for (;;) {
    HWND window = FindWindowW(nullptr, title.c_str());
    if (window != nullptr && IsWindowVisible(window)) return window;
    if (GetTickCount64() >= deadline) return nullptr;
    Sleep(kPollMs);
  }
}

bool wait_for_text(HWND window, int id, const std::string& text, DWORD wait_ms) {
  const ULONGLONG deadline = GetTickCount64() + wait_ms;
  for (;;) {
    HWND control = GetDlgItem(window, id);
    if (control != nullptr && window_text(control) == text) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(kPollMs);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The lines are UTF-8 bytes with plain line feeds, whatever the code page.
  _setmode(_fileno(stdout), _O_BINARY);
  DWORD wait_ms = 10000;
  int expect_id = 0;
  const char* expect_text = nullptr;
  const char* action = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--wait") == 0 && i + 1 < argc) {
      wait_ms = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--expect") == 0 && i + 2 < argc) {
      expect_id = std::atoi(argv[++i]);
      expect_text = argv[++i];
    } else if (std::strcmp(argv[i], "--enter") == 0 || std::strcmp(argv[i], "--escape") == 0 ||
               std::strcmp(argv[i], "--close") == 0) {
      action = argv[i];
    } else {
      std::fputs("usage: status_probe [--wait MS] [--expect ID TEXT] [--enter|--escape|--close]\n",
                 stderr);
      return kExitUsage;
    }
  }

  HWND window = wait_for_window(wait_ms);
  if (window == nullptr) {
    std::fputs("status_probe: no status window\n", stderr);
    return kExitNoWindow;
  }
  if (expect_text != nullptr && !wait_for_text(window, expect_id, expect_text, wait_ms)) {
    std::fprintf(stderr, "status_probe: control %d does not show the text\n", expect_id);
    return kExitNotShown;
  }

  print("title " + window_text(window));
  RECT rect;
  GetWindowRect(window, &rect);
  print("position " + std::to_string(rect.left) + " " + std::to_string(rect.top));
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  int buttons = 0;
  EnumChildWindows(window, count_button, reinterpret_cast<LPARAM>(&buttons));
  print(std::string("frame caption=") + ((style & WS_CAPTION) == WS_CAPTION ? "1" : "0") +
        " close=" + ((style & WS_SYSMENU) != 0 ? "1" : "0") +
        " minimize=" + ((style & WS_MINIMIZEBOX) != 0 ? "1" : "0") + " maximize=" +
        ((style & WS_MAXIMIZEBOX) != 0 ? "1" : "0") + " buttons=" + std::to_string(buttons));
  for (int id : kLineControls) {
    HWND control = GetDlgItem(window, id);
    print(std::to_string(id) + " " + (control != nullptr ? window_text(control) : "(none)"));
  }

  if (action == nullptr) return kExitOk;
  if (std::strcmp(action, "--close") == 0) {
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  } else {
    // Posted to the window's queue as a typed key would be, so that the
    // dialog manager of its message loop sees it.
    const WPARAM key = std::strcmp(action, "--enter") == 0 ? VK_RETURN : VK_ESCAPE;
    PostMessageW(window, WM_KEYDOWN, key, 1);
    PostMessageW(window, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
  }
  return kExitOk;
}
