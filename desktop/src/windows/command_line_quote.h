// Quoting of one argument for a Windows command line, as the C runtime's
// argument splitter reads it back: used for the command lines of launched
// applications and of the session host.
//
//   std::string line = quote_windows_argument(exe) + " session-host";
#pragma once

#include <string>
#include <string_view>

namespace vor::desktop {

// The text in double quotes, always (even without a space in it): a run of n
// backslashes before a double quote becomes 2n + 1 backslashes and the
// quote; a run of n backslashes at the end becomes 2n before the closing
// quote; every other character, backslashes included, is copied.
std::string quote_windows_argument(std::string_view text);

}  // namespace vor::desktop
