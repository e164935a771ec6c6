#include "capture_wgc/window_capture_win32.h"

namespace vor::desktop {

std::unique_ptr<WindowCaptureSys> make_window_capture_sys() { return make_winrt_window_capture(); }

}  // namespace vor::desktop
