// Wine stand-in: Wine's SetForegroundWindow on another thread's window
// answers TRUE while GetForegroundWindow still reports no window, until the
// target thread has processed its activation (a few milliseconds, measured
// under Wine 8.0). Windows changes the foreground before it returns, so the
// stand-in waits for the change, and nothing else.
#include "native/ports_win32.h"

namespace vor::desktop {

bool set_foreground_window(HWND window) {
  if (!::SetForegroundWindow(window)) return false;
  for (int waited = 0; ::GetForegroundWindow() == nullptr && waited < 200; waited += 5) ::Sleep(5);
  return true;
}

}  // namespace vor::desktop
