// Functions of Windows DLLs that only some commands need, bound on first use.
//
// Every start of a program pays for each DLL in its import table, whether the
// command calls into it or not. DLLs that only a few commands need (DPAPI in
// crypt32, the user environment in userenv, the shell's notification state in
// shell32) are therefore not imported: an adapter binds the one function it
// calls through `SystemFunction`, the first time it calls it. The DLL is
// loaded from System32 only, never from the program's own folder (the runtime
// may run as SYSTEM), and stays loaded for the life of the process. A DLL or a
// function that cannot be loaded is the raw Win32 error of LoadLibraryExW or
// GetProcAddress, which the adapter returns like the error of the call itself.
//
//   constinit SystemFunction<decltype(::CryptProtectData)> kProtect(L"crypt32.dll", "CryptProtectData");
//   auto fn = kProtect.get();
//   if (!fn) return fail(Error::os(fn.error(), "CryptProtectData unavailable"));
//   (*fn)(...);
//
// DLLs that are called from too many places for that (user32, gdi32,
// wtsapi32), and winsock, which the event loop's library references but never
// calls here, are delay-loaded instead (cmake/VorDelayLoad.cmake): the first
// call of each function binds it. The delay-load hook in this file's source
// makes that binding go through `system_procedure` too, and a function that
// cannot be bound answers like a failed call of its own (0, or SOCKET_ERROR
// for winsock, with the error in GetLastError) instead of raising an
// exception.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>

namespace vor {

// The address of `procedure` in the System32 DLL `dll`, loading the DLL
// (LoadLibraryExW with LOAD_LIBRARY_SEARCH_SYSTEM32) when the process has not
// loaded it yet; else the Win32 error of the load or the lookup.
std::expected<void*, std::uint32_t> system_procedure(const wchar_t* dll, const char* procedure);

// One function of a System32 DLL, bound on the first successful `get` and
// kept. Safe to call from several threads: a race binds the same address twice.
template <class Fn>
class SystemFunction {
 public:
  constexpr SystemFunction(const wchar_t* dll, const char* procedure) : dll_(dll), procedure_(procedure) {}
  SystemFunction(const SystemFunction&) = delete;
  SystemFunction& operator=(const SystemFunction&) = delete;

  std::expected<Fn*, std::uint32_t> get() {
    if (void* bound = address_.load(std::memory_order_acquire)) return reinterpret_cast<Fn*>(bound);
    auto found = system_procedure(dll_, procedure_);
    if (!found) return std::unexpected(found.error());
    address_.store(*found, std::memory_order_release);
    return reinterpret_cast<Fn*>(*found);
  }

 private:
  const wchar_t* dll_;
  const char* procedure_;
  std::atomic<void*> address_{nullptr};
};

}  // namespace vor
