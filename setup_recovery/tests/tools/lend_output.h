// Shared by the test programs: gives a copy of this process's standard output
// handle to another process, which then keeps the pipe behind it open for as
// long as it lives, whatever job this process is in.
#pragma once

#include <windows.h>

inline bool lend_std_output(DWORD holder_pid) {
  HANDLE holder = ::OpenProcess(PROCESS_DUP_HANDLE, FALSE, holder_pid);
  if (holder == nullptr) return false;
  HANDLE copy = nullptr;
  const bool lent = ::DuplicateHandle(::GetCurrentProcess(), ::GetStdHandle(STD_OUTPUT_HANDLE), holder, &copy, 0,
                                      FALSE, DUPLICATE_SAME_ACCESS) != FALSE;
  ::CloseHandle(holder);
  return lent;
}
