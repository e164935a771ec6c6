#include <windows.h>

#include "native/process_control.h"

namespace vor::desktop {

void set_current_thread_name(const char* name) {
  // SetThreadDescription is absent from older systems: look it up.
  using SetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto fn = reinterpret_cast<SetDescriptionFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (fn == nullptr) return;
  wchar_t wide[64] = {};
  for (int i = 0; name[i] != '\0' && i < 63; ++i) wide[i] = static_cast<wchar_t>(name[i]);
  fn(::GetCurrentThread(), wide);
}

void terminate_current_process(int exit_code) {
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exit_code));
  ::ExitProcess(static_cast<UINT>(exit_code));
}

}  // namespace vor::desktop
