// The one argument of vor-kerno-setup-recovery. The process command line is
// split by the usual Windows rules (program name first; blanks and tabs
// separate; double quotes group; backslashes escape quotes), then exactly one
// argument must follow, compared byte for byte.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vor::setup {

enum class Invocation { kVersion, kRecover, kInvalid };

inline constexpr std::string_view kVersionLine = "Vor Kerno Setup Recovery 0.5.0-preview.9\n";

// Program name first. The name ends at the next blank outside quotes and has
// no escapes; arguments follow the backslash-and-quote rules, "" inside
// quotes being a literal quote.
std::vector<std::u16string> split_windows_command_line(std::u16string_view command_line);

// "--version" or "--recover" as the only argument; anything else (including
// text that is not valid UTF-16) is kInvalid.
Invocation parse_invocation(std::u16string_view command_line);

}  // namespace vor::setup
