// The Win32 adapter of the input-owner port (kernel32 mutex calls and
// user32's SetProcessDpiAwarenessContext).
#pragma once

#include <memory>

#include "executor/input_owner_sys.h"

namespace vor::desktop {

std::unique_ptr<InputOwnerSys> make_win32_input_owner_sys();

}  // namespace vor::desktop
