#include <windows.h>

#include "session/lease.h"

namespace vor::desktop {

void terminate_own_process(int exit_code) {
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exit_code));
  // TerminateProcess of the own process does not return; if it ever does,
  // the process must still not go on.
  __builtin_trap();
}

void name_current_thread(const char* name) {
  // SetThreadDescription is absent from older systems: look it up.
  using SetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto fn = reinterpret_cast<SetDescriptionFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (fn == nullptr) return;
  wchar_t wide[64] = {};
  for (int i = 0; name[i] != '\0' && i < 63; ++i) wide[i] = static_cast<wchar_t>(name[i]);
  fn(::GetCurrentThread(), wide);
}

}  // namespace vor::desktop
