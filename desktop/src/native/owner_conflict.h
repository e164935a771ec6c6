// The code of an operation refused because another operation of the same
// Windows session owns the desktop: the input-owner mutex (executor) and the
// state directory's `.gate` (state store) answer it alike.
#pragma once

#include <string_view>

namespace vor::desktop {

inline constexpr std::string_view kOwnerConflict = "DESKTOP_OWNER_CONFLICT";

}  // namespace vor::desktop
