// UTC instants of the lock: Windows FILETIME to `vor::Time`, and the display
// form of the "another component update is active" message.
//
//   format_display(t)  -> "2026-12-09 09:41:26.123456700 UTC"
#pragma once

#include <cstdint>
#include <string>

#include "common/time.h"

namespace vor::setup {

// 100 ns units since 1601-01-01 UTC, exactly; instants after year 9999
// saturate at `Time::max()`.
Time time_from_filetime(std::uint64_t filetime);

// "YYYY-MM-DD HH:MM:SS[.fraction] UTC", the fraction as in RFC 3339 text
// (left out when zero, else 3, 6 or 9 digits, the fewest that hold it).
std::string format_display(Time time);

}  // namespace vor::setup
