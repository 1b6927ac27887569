#include "app/status_window_win.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "app/status_notify.h"
#include "app/status_notify_win.h"

namespace app {
namespace {

// The window in dialog units, and its four line controls, top to bottom,
// with the line of format_status_lines each one shows.
constexpr short kWindowWidth = 146;
constexpr short kWindowHeight = 61;
constexpr int kLineControls[kStatusLineCount] = {1002, 1001, 1003, 1000};
constexpr short kLineTop[kStatusLineCount] = {7, 21, 33, 45};
constexpr short kLineLeft = 32;
constexpr short kLineWidth = 107;
constexpr short kLineHeight = 8;
// Texts of the template, replaced before the window is shown.
constexpr const wchar_t* kTemplateTexts[kStatusLineCount] = {L"LOBBY_NAME", L"GAME_MAX",
                                                             L"USER_MAX", L"ROOM_MAX:"};
constexpr short kIconLeft = 6;
constexpr short kIconTop = 7;
constexpr short kIconSize = 20;
constexpr WORD kIconControl = 0xffff;  // no id of its own
constexpr WORD kStaticClass = 0x0082;
constexpr WORD kFontPoints = 9;
constexpr wchar_t kFontName[] = L"ＭＳ Ｐゴシック";

// How long an ending display may wait for its output to take the last
// lines: a reader that has stopped must not hold up the shutdown.
constexpr int kFinalWriteMs = 200;

// How long a handler for a closing console waits for the shutdown before
// it lets the system end the process (which allows about five seconds).
constexpr DWORD kCloseWaitMs = 4000;

// Ctrl-C and its kin arrive on a thread of the system's: they only record
// the stop and wake the main thread.
std::atomic<bool> stop_requested{false};
std::atomic<HANDLE> handler_wake{nullptr};
std::atomic<HANDLE> handler_done{nullptr};

// A status line in UTF-16 for the wide-character API.
std::wstring to_wide(const std::string& text) {
  const int length = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), n);
  return wide;
}

// An in-memory dialog template: a DLGTEMPLATE and its items, each item
// aligned to four bytes, the strings and class ordinals as 16-bit words.
class DialogTemplate {
 public:
  void header(DWORD style, WORD items, const std::wstring& title) {
    add_dword(style);
    add_dword(0);  // extended style
    words_.push_back(items);
    add_rect(0, 0, kWindowWidth, kWindowHeight);
    words_.push_back(0);  // no menu
    words_.push_back(0);  // the dialog class
    add_string(title.c_str());
    words_.push_back(kFontPoints);
    add_string(kFontName);
  }
  void item(DWORD style, short x, short y, short cx, short cy, WORD id, const wchar_t* text) {
    if (words_.size() % 2 != 0) words_.push_back(0);
    add_dword(style);
    add_dword(0);
    add_rect(x, y, cx, cy);
    words_.push_back(id);
    words_.push_back(0xffff);  // a class given by ordinal follows
    words_.push_back(kStaticClass);
    add_string(text);
    words_.push_back(0);  // no creation data
  }
  const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void add_dword(DWORD value) {
    words_.push_back(static_cast<WORD>(value & 0xffff));
    words_.push_back(static_cast<WORD>(value >> 16));
  }
  void add_rect(short x, short y, short cx, short cy) {
    for (short v : {x, y, cx, cy}) words_.push_back(static_cast<WORD>(v));
  }
  void add_string(const wchar_t* text) {
    for (; *text != 0; ++text) words_.push_back(static_cast<WORD>(*text));
    words_.push_back(0);
  }
  // DWORD-aligned because a vector's storage is aligned for its allocator.
  std::vector<WORD> words_;
};

}  // namespace

// Standard output of the console mode, written on a thread of its own.
struct StatusWindow::LineWriter {
  // Main thread: queues `text` for the writer.
  void post(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock);
    if (failed) return;
    pending += text;
    changed.notify_all();
  }

  // True when everything posted has been written (or never will be).
  bool idle() {
    std::lock_guard<std::mutex> guard(lock);
    return failed || (pending.empty() && !writing);
  }

  // Main thread: waits at most `ms` until everything posted is written.
  // True when it was.
  bool wait_idle(int ms) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(ms),
                            [this] { return failed || (pending.empty() && !writing); });
  }

  // Main thread: the writer ends once it has nothing more to write.
  void stop() {
    std::lock_guard<std::mutex> guard(lock);
    quit = true;
    changed.notify_all();
  }

  // The writer's thread.
  void run() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(out, &mode) != 0;
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
      changed.wait(guard, [this] { return quit || !pending.empty(); });
      if (pending.empty()) return;
      std::string text;
      text.swap(pending);
      writing = true;
      guard.unlock();
      const bool written = write(out, console, text);
      guard.lock();
      writing = false;
      if (!written) {
        // The reader is gone: the lobby goes on without a display.
        failed = true;
        pending.clear();
      }
      changed.notify_all();
      // The main thread holds changes back while a write is under way.
      if (wake != nullptr) SetEvent(wake);
    }
  }

  static bool write(HANDLE out, bool console, const std::string& text) {
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    if (console) {
      // A console shows UTF-16 whatever its code page.
      const std::wstring wide = to_wide(text);
      return WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) !=
             0;
    }
    // A pipe or a file gets the bytes themselves, as on Linux.
    for (size_t done = 0; done < text.size(); done += written) {
      if (!WriteFile(out, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                     nullptr) ||
          written == 0) {
        return false;
      }
    }
    return true;
  }

  HANDLE wake = nullptr;  // the main thread's event; set before the start
  std::mutex lock;
  std::condition_variable changed;
  std::string pending;   // Guarded by lock.
  bool writing = false;  // Guarded by lock.
  bool failed = false;   // Guarded by lock.
  bool quit = false;     // Guarded by lock.
};

bool has_desktop() {
  HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags;
  std::memset(&flags, 0, sizeof flags);
  if (station == nullptr ||
      !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) {
    return false;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

StatusWindow::StatusWindow(bool console) : console_(console) {}

StatusWindow::~StatusWindow() {
  set_status_target(nullptr, nullptr);
  if (window_ != nullptr) DestroyWindow(window_);
  if (console_) {
    SetConsoleCtrlHandler(console_handler, FALSE);
    handler_wake.store(nullptr, std::memory_order_release);
  }
  if (done_event_ != nullptr) {
    SetEvent(done_event_);
    // A handler still waiting holds no reference to the event after its
    // wait ends; the process is ending in any case.
    handler_done.store(nullptr, std::memory_order_release);
  }
  if (wake_event_ != nullptr) CloseHandle(wake_event_);
}

int StatusWindow::setup() {
  wake_event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (wake_event_ == nullptr) return -1;
  // Without a window (no display to show it on) the operator still gets
  // the lines, as on Linux without a terminal.
  if (!console_ && setup_window() == 0) return 0;
  console_ = true;
  return setup_console();
}

int StatusWindow::setup_console() {
  done_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (done_event_ == nullptr) return -1;
  handler_wake.store(wake_event_, std::memory_order_release);
  handler_done.store(done_event_, std::memory_order_release);
  if (!SetConsoleCtrlHandler(console_handler, TRUE)) return -1;
  writer_ = std::make_shared<LineWriter>();
  writer_->wake = wake_event_;
  std::shared_ptr<LineWriter> writer = writer_;
  // Detached: a writer blocked on a reader that never reads must not hold
  // the process, and it owns its share of the queue.
  std::thread([writer] { writer->run(); }).detach();
  set_status_target(nullptr, wake_event_);
  return 0;
}

int StatusWindow::setup_window() {
  DialogTemplate dialog;
  dialog.header(DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU,
                static_cast<WORD>(1 + kStatusLineCount), to_wide(kStatusTitle));
  dialog.item(WS_CHILD | WS_VISIBLE | SS_ICON, kIconLeft, kIconTop, kIconSize, kIconSize,
              kIconControl, L"");
  for (int i = 0; i < kStatusLineCount; ++i) {
    dialog.item(WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, kLineLeft, kLineTop[i], kLineWidth,
                kLineHeight, static_cast<WORD>(kLineControls[i]), kTemplateTexts[i]);
  }
  window_ = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), dialog.get(), nullptr,
                                       dialog_proc, reinterpret_cast<LPARAM>(this));
  if (window_ == nullptr) return -1;
  // A console that Windows opened for this process alone (a start from the
  // desktop) would only stand empty beside the window.
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) == 1) FreeConsole();
  set_status_target(window_, nullptr);
  return 0;
}

int StatusWindow::run(const lobby::Lobby& lobby) {
  lobby_ = &lobby;
  return console_ ? run_console() : run_window();
}

int StatusWindow::run_window() {
  take_status_change();
  show_changes();
  ShowWindow(window_, SW_SHOWNORMAL);
  SetForegroundWindow(window_);
  MSG message;
  while (!ended_) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) break;  // WM_QUIT, or no queue any more
    // The dialog manager turns Enter into IDOK and Escape into IDCANCEL.
    if (window_ != nullptr && IsDialogMessageW(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return result_;
}

INT_PTR CALLBACK StatusWindow::dialog_proc(HWND window, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, DWLP_USER, lparam);
    HICON icon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    SendDlgItemMessageW(window, kIconControl, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    // The top-left corner of the screen, whatever the template's origin
    // means to the system.
    SetWindowPos(window, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return TRUE;
  }
  auto* self = reinterpret_cast<StatusWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK) {
        self->end_window(kStatusOk);
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL) {
        self->end_window(kStatusCancel);
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      self->end_window(kStatusCancel);
      return TRUE;
    case kStatusChangedMessage:
      // A finished drain ends the display as Cancel does.
      if (shutdown_requested()) {
        self->end_window(kStatusCancel);
        return TRUE;
      }
      if (take_status_change()) self->show_changes();
      return TRUE;
    default:
      return FALSE;
  }
}

void StatusWindow::end_window(int result) {
  if (ended_) return;
  ended_ = true;
  result_ = result;
  // No thread may post to the window once it is gone.
  set_status_target(nullptr, nullptr);
  HWND window = window_;
  window_ = nullptr;
  DestroyWindow(window);
}

void StatusWindow::show_changes() {
  if (lobby_ == nullptr || window_ == nullptr) return;
  std::string lines[kStatusLineCount];
  format_status_lines(*lobby_, lines);
  for (int i = 0; i < kStatusLineCount; ++i) {
    if (drawn_ && lines[i] == shown_[i]) continue;
    SetDlgItemTextW(window_, kLineControls[i], to_wide(lines[i]).c_str());
    shown_[i] = lines[i];
  }
  drawn_ = true;
}

BOOL WINAPI StatusWindow::console_handler(DWORD event) {
  note_stop_cause(event == CTRL_C_EVENT       ? "Ctrl-C"
                  : event == CTRL_BREAK_EVENT ? "Ctrl-Break"
                  : event == CTRL_CLOSE_EVENT ? "console closed"
                                              : "logoff or shutdown");
  stop_requested.store(true, std::memory_order_release);
  HANDLE wake = handler_wake.load(std::memory_order_acquire);
  if (wake != nullptr) SetEvent(wake);
  // After these the system ends the process once the handler returns: wait
  // for the log to be closed and the threads joined first.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    HANDLE done = handler_done.load(std::memory_order_acquire);
    if (done != nullptr) WaitForSingleObject(done, kCloseWaitMs);
  }
  return TRUE;
}

int StatusWindow::run_console() {
  take_status_change();
  // Changes are turned into text only when the output has taken everything
  // posted before, so a stalled reader holds one screen's worth of text at
  // most and sees the latest counts once it reads again.
  bool changed = true;
  for (;;) {
    if (changed && writer_->idle()) {
      write_changes();
      changed = false;
    }
    if (stop_requested.load(std::memory_order_acquire) || shutdown_requested()) break;
    WaitForSingleObject(wake_event_, INFINITE);
    if (take_status_change()) changed = true;
  }
  // A change that came with the stop is still written, if the output takes
  // it soon.
  if (writer_->wait_idle(kFinalWriteMs)) {
    write_changes();
    writer_->wait_idle(kFinalWriteMs);
  }
  writer_->stop();
  return kStatusCancel;
}

void StatusWindow::write_changes() {
  std::string lines[kStatusLineCount];
  format_status_lines(*lobby_, lines);
  std::string text;
  append_changed_lines(lines, shown_, drawn_, &text);
  for (int i = 0; i < kStatusLineCount; ++i) shown_[i] = lines[i];
  drawn_ = true;
  if (!text.empty()) writer_->post(text);
}

}  // namespace app
