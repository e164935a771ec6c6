#include "installer/utc_time.h"


namespace vor::setup {

Time time_from_filetime(std::uint64_t filetime) {
  constexpr std::int64_t kTicksPerSecond = 10'000'000;
  constexpr std::int64_t kUnixEpochSeconds = 11'644'473'600;  // 1970-01-01 in seconds since 1601
  // Every FILETIME lies at or after 1601; those after year 9999 saturate.
  const auto seconds = static_cast<std::int64_t>(filetime / kTicksPerSecond) - kUnixEpochSeconds;
  const auto nanos = static_cast<std::int64_t>(filetime % kTicksPerSecond) * 100;
  return Time::from_unix(seconds, nanos);
}

std::string format_display(Time time) {
  std::string text = format_rfc3339(time);  // "YYYY-MM-DDTHH:MM:SS[.f]Z"
  text[10] = ' ';
  text.pop_back();
  text += " UTC";
  return text;
}

}  // namespace vor::setup
