// The Win32 adapter of `NoticeSys`: user32, gdi32 and dwmapi calls on the
// calling thread, which owns the banner and receives its hotkey.
//
//   auto notice = make_win32_notice_sys();
//   ScreenNoticeGate gate({ports, *desktop, *notice, *duplication});
#pragma once

#include <memory>

#include "readiness/notice_sys.h"

namespace vor::desktop {

std::unique_ptr<NoticeSys> make_win32_notice_sys();

}  // namespace vor::desktop
