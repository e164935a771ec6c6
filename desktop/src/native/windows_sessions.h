// The Windows sessions of this machine, for the `sessions` verb.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace vor::desktop {

inline constexpr std::string_view kSessionsUnavailable = "DESKTOP_SESSIONS_UNAVAILABLE";

struct WindowsSession {
  std::uint32_t id = 0;
  bool active = false;
};

// In the order the system lists them. Failure: "DESKTOP_SESSIONS_UNAVAILABLE"
// over the Win32 error.
Result<std::vector<WindowsSession>> enumerate_windows_sessions();

// The sessions a caller may drive: active ones other than session 0.
std::vector<std::uint32_t> active_user_sessions(const std::vector<WindowsSession>& sessions);

}  // namespace vor::desktop
