#include "installer/utc_time.h"

#include <algorithm>
#include <limits>

namespace vor::setup {

Time time_from_filetime(std::uint64_t filetime) {
  constexpr std::uint64_t kUnixEpochTicks = 116'444'736'000'000'000;  // 1970-01-01 in FILETIME units
  constexpr std::int64_t kMaxTicks = std::numeric_limits<std::int64_t>::max() / 100;
  const std::uint64_t distance = filetime >= kUnixEpochTicks ? filetime - kUnixEpochTicks : kUnixEpochTicks - filetime;
  const auto magnitude = static_cast<std::int64_t>(std::min<std::uint64_t>(distance, kMaxTicks));
  const std::int64_t ticks = filetime >= kUnixEpochTicks ? magnitude : -magnitude;
  return Time(std::chrono::nanoseconds(ticks * 100));
}

std::string format_display(Time time) {
  std::string text = format_rfc3339(time);  // "YYYY-MM-DDTHH:MM:SS[.f]Z"
  text[10] = ' ';
  text.pop_back();
  text += " UTC";
  return text;
}

}  // namespace vor::setup
