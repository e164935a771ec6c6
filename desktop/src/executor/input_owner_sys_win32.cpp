#include "executor/input_owner_sys_win32.h"

#include <windows.h>

#include "common/handle_win32.h"

namespace vor::desktop {
namespace {

class Win32Mutex final : public InputOwnerSys::Mutex {
 public:
  explicit Win32Mutex(HANDLE handle) : handle_(handle) {}
  ~Win32Mutex() override { ::CloseHandle(handle_); }
  std::uint32_t wait_now() override { return ::WaitForSingleObject(handle_, 0); }
  Win32<void> release() override {
    if (!::ReleaseMutex(handle_)) return win32_error(::GetLastError());
    return {};
  }

 private:
  HANDLE handle_;
};

class Win32InputOwnerSys final : public InputOwnerSys {
 public:
  Win32<std::unique_ptr<Mutex>> create_mutex(const std::u16string& name) override {
    const std::wstring wide(name.begin(), name.end());
    HANDLE handle = ::CreateMutexW(nullptr, FALSE, wide.c_str());
    if (handle == nullptr) return win32_error(::GetLastError());
    return std::unique_ptr<Mutex>(std::make_unique<Win32Mutex>(handle));
  }
  bool set_dpi_awareness_context(std::intptr_t context) override {
    return ::SetProcessDpiAwarenessContext(reinterpret_cast<DPI_AWARENESS_CONTEXT>(context)) != FALSE;
  }
};

}  // namespace

std::unique_ptr<InputOwnerSys> make_win32_input_owner_sys() { return std::make_unique<Win32InputOwnerSys>(); }

}  // namespace vor::desktop
