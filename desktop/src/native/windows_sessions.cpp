#include "native/windows_sessions.h"

namespace vor::desktop {

std::vector<std::uint32_t> active_user_sessions(const std::vector<WindowsSession>& sessions) {
  std::vector<std::uint32_t> out;
  for (const WindowsSession& s : sessions) {
    if (s.active && s.id != 0) out.push_back(s.id);
  }
  return out;
}

}  // namespace vor::desktop
