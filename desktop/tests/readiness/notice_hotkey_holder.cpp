// Test helper (Windows): holds the stop hotkey the way another program
// would, so that the banner's own registration is refused.
//   notice_hotkey_holder READY RELEASE
// Registers Ctrl+Alt+F12 as a thread hotkey, sets the named event READY,
// waits (up to 20 s) for the named event RELEASE, then exits 0. Exit 2 when
// the hotkey cannot be registered, 3 when an event cannot be opened.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 3) return 64;
  if (!::RegisterHotKey(nullptr, 1, MOD_CONTROL | MOD_ALT | MOD_NOREPEAT, VK_F12)) return 2;
  HANDLE ready = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
  HANDLE release = ::OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
  if (ready == nullptr || release == nullptr) return 3;
  ::SetEvent(ready);
  ::WaitForSingleObject(release, 20000);
  ::UnregisterHotKey(nullptr, 1);
  ::CloseHandle(ready);
  ::CloseHandle(release);
  return 0;
}
