// Windows only: where refresh_status() sends its news. The status window
// gets one posted message per change that it has not yet taken (only the
// main thread touches the window); the console display gets its event set.
#ifndef APP_STATUS_NOTIFY_WIN_H_
#define APP_STATUS_NOTIFY_WIN_H_

#include <windows.h>

namespace app {

// Posted to the status window when the counts changed.
constexpr UINT kStatusChangedMessage = WM_APP + 1;

// Either may be null. Main thread, before the server threads start and
// after the window is gone.
void set_status_target(HWND window, HANDLE event);

}  // namespace app

#endif  // APP_STATUS_NOTIFY_WIN_H_
