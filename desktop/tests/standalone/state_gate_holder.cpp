// Test helper (Windows): holds a state root's `.gate` the way a second
// process would, so that the store's own open is refused.
//   state_gate_holder GATE READY RELEASE
// Opens GATE without sharing, creates READY, waits (up to 20 s) until RELEASE
// exists, then exits 0. Exit 2 when the gate cannot be opened.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 4) return 64;
  HANDLE gate = ::CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (gate == INVALID_HANDLE_VALUE) return 2;
  HANDLE ready = ::CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready != INVALID_HANDLE_VALUE) ::CloseHandle(ready);
  for (int i = 0; i < 2000; ++i) {
    if (::GetFileAttributesA(argv[3]) != INVALID_FILE_ATTRIBUTES) break;
    ::Sleep(10);
  }
  ::CloseHandle(gate);
  return 0;
}
