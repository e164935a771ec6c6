// The executor's own port: the per-session input-owner mutex and the
// process's DPI awareness. Everything else the executor reaches goes through
// the ports of the modules it calls (native, readiness, notice, captures,
// UI Automation).
//
// Each method is one Win32 call and returns its raw result. The Win32
// adapter is `make_win32_input_owner_sys` (input_owner_sys_win32.h); tests
// script `FakeInputOwnerSys` (desktop/tests/executor/fake_executor.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "native/win32_result.h"

namespace vor::desktop {

class InputOwnerSys {
 public:
  // A mutex handle; the destructor closes it (CloseHandle).
  class Mutex {
   public:
    virtual ~Mutex() = default;
    // WaitForSingleObject(handle, 0): its raw result.
    virtual std::uint32_t wait_now() = 0;
    virtual Win32<void> release() = 0;  // ReleaseMutex
  };

  virtual ~InputOwnerSys() = default;
  // CreateMutexW(no security attributes, not initially owned, name).
  virtual Win32<std::unique_ptr<Mutex>> create_mutex(const std::u16string& name) = 0;
  // SetProcessDpiAwarenessContext(context): whether it succeeded.
  virtual bool set_dpi_awareness_context(std::intptr_t context) = 0;
};

}  // namespace vor::desktop
