// The Desktop Window Manager functions that the adapters call, bound on first
// use (common/system_library_win32.h) rather than imported: dwmapi imports
// user32, which most commands never need. Each call site answers
// HRESULT_FROM_WIN32 of the binding's error when a function cannot be bound.
#pragma once

#include <windows.h>
#include <dwmapi.h>

#include "common/system_library_win32.h"

namespace vor::desktop {

inline constinit SystemFunction<decltype(::DwmGetWindowAttribute)> dwm_get_window_attribute(L"dwmapi.dll",
                                                                                           "DwmGetWindowAttribute");
inline constinit SystemFunction<decltype(::DwmIsCompositionEnabled)> dwm_is_composition_enabled(
    L"dwmapi.dll", "DwmIsCompositionEnabled");
inline constinit SystemFunction<decltype(::DwmFlush)> dwm_flush_fn(L"dwmapi.dll", "DwmFlush");

}  // namespace vor::desktop
