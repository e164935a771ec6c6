#include "common/system_library_win32.h"

#include <winsock2.h>
#include <windows.h>
#include <delayimp.h>

#include <asio/detail/winsock_init.hpp>

#include <string>

namespace vor {

std::expected<void*, std::uint32_t> system_procedure(const wchar_t* dll, const char* procedure) {
  // Already loaded: no search at all. Else System32 only, whatever the
  // process's DLL search order says.
  HMODULE module = ::GetModuleHandleW(dll);
  if (module == nullptr) module = ::LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return std::unexpected(static_cast<std::uint32_t>(::GetLastError()));
  const FARPROC address = ::GetProcAddress(module, procedure);
  if (address == nullptr) return std::unexpected(static_cast<std::uint32_t>(::GetLastError()));
  return reinterpret_cast<void*>(address);
}

namespace {

// The Win32 error of the last delay-loaded function that could not be bound.
std::atomic<std::uint32_t> unbound_error{0};

// Stand in for a delay-loaded function that could not be bound, in the
// width of the hook's function type. Winsock functions report failure by a
// non-zero int (WSAStartup its error, the others SOCKET_ERROR); the user32,
// gdi32 and wtsapi32 functions that the programs call report it by 0 (FALSE,
// a null handle), with the error to read from GetLastError.
INT_PTR WINAPI unbound_winsock_function() {
  ::SetLastError(unbound_error.load());
  return SOCKET_ERROR;
}
INT_PTR WINAPI unbound_function() {
  ::SetLastError(unbound_error.load());
  return 0;
}

// Binds each delay-loaded function itself, before the runtime's helper would
// search for the DLL (its own search starts in the program's folder): from
// System32 only, writing the address into the import slot so that later calls
// go straight to it. A function that cannot be bound answers through a stand-in
// above instead of the helper's exception.
FARPROC WINAPI bind_delay_loaded(unsigned note, PDelayLoadInfo info) {
  if (note != dliStartProcessing || info == nullptr || !info->dlp.fImportByName) return nullptr;
  const std::string narrow = info->szDll;
  const std::wstring dll(narrow.begin(), narrow.end());  // DLL names in import tables are ASCII
  auto address = system_procedure(dll.c_str(), info->dlp.szProcName);
  if (address) {
    const FARPROC bound = reinterpret_cast<FARPROC>(*address);
    if (info->ppfn != nullptr) *info->ppfn = bound;
    return bound;
  }
  unbound_error.store(address.error());
  return ::lstrcmpiA(info->szDll, "ws2_32.dll") == 0 ? &unbound_winsock_function : &unbound_function;
}

// asio initialises winsock from a static initialiser of every file that
// includes its event loop, and again in each io_context, although the named
// pipes, timers and process handles that both programs use need no winsock.
// Declaring the initialisation done by the program, before any of those
// initialisers runs (the highest priority a program may use), keeps asio
// from calling WSAStartup, so that winsock is never loaded.
__attribute__((init_priority(101))) const asio::detail::winsock_init<>::manual winsock_managed_by_program;

}  // namespace
}  // namespace vor

// The delay-load helper's notification hook (declared extern "C" by
// <delayimp.h>). The build makes the linker take this definition rather than
// the runtime's empty one (-u __pfnDliNotifyHook2, cmake/VorDelayLoad.cmake),
// which also brings in the winsock declaration above.
PfnDliHook __pfnDliNotifyHook2 = vor::bind_delay_loaded;
