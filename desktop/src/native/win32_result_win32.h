// The Win32 result conversion for code that calls Win32 directly: a BOOL
// result is checked and, when zero, GetLastError is read at once.
#pragma once

#include <windows.h>

#include <string_view>

#include "native/win32_result.h"

namespace vor::desktop {

// Success when `ok` is non-zero; else the code over GetLastError().
inline Status check_win32(BOOL ok, std::string_view code) {
  if (ok) return {};
  const DWORD number = ::GetLastError();
  return fail(coded_os(code, number));
}

// The outcome of a BOOL call as a port result (GetLastError read at once).
inline Win32<void> win32_bool(BOOL ok) {
  if (ok) return {};
  return win32_error(::GetLastError());
}

}  // namespace vor::desktop
