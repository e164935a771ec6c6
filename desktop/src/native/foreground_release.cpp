#include "native/ports_win32.h"

namespace vor::desktop {

bool set_foreground_window(HWND window) { return ::SetForegroundWindow(window) != FALSE; }

}  // namespace vor::desktop
