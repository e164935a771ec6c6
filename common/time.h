// Instants in UTC and their RFC 3339 text form, shared by every document.
//
// `Time` is a UTC instant with nanosecond resolution anywhere from
// 0000-01-01T00:00:00Z (`Time::min()`) to 9999-12-31T23:59:59.999999999Z
// (`Time::max()`), the years that RFC 3339 text can hold. It is kept as whole
// seconds since 1970-01-01 and nanoseconds apart, so every such instant reads
// and writes back exactly. Arithmetic saturates: adding a duration stops at the
// ends of the range, and the difference of two instants (a std::chrono
// nanosecond count, which spans only about 292 years each way) stops at that
// count's ends, so an age or a comparison never wraps around.
//
// `parse_rfc3339` reads "YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)"
// (also a lower-case "t" and "z"; 1 to 9 fraction digits; no leap second),
// converts any offset to UTC, and refuses a text whose UTC instant lies outside
// the range. `format_rfc3339` writes UTC with "Z" and 0, 3, 6 or 9 fraction
// digits, the fewest that hold the instant exactly:
//
//   auto t = parse_rfc3339("2026-01-02T05:04:05.5+02:00");  // 03:04:05.5 UTC
//   format_rfc3339(*t) == "2026-01-02T03:04:05.500Z"
//   *t - Time::min()   == std::chrono::nanoseconds::max()  // saturated
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <limits>
#include <optional>
#include <ratio>
#include <string>
#include <string_view>

namespace vor {

class Time {
 public:
  static constexpr std::int64_t kMinSeconds = -62'167'219'200;  // 0000-01-01T00:00:00Z
  static constexpr std::int64_t kMaxSeconds = 253'402'300'799;  // 9999-12-31T23:59:59Z
  static constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

  // 1970-01-01T00:00:00Z.
  constexpr Time() = default;
  // The instant `since_epoch` after (or before) 1970-01-01T00:00:00Z, clamped
  // to the range.
  template <class Rep, class Period>
  constexpr explicit Time(std::chrono::duration<Rep, Period> since_epoch) : Time(Time{} + since_epoch) {}
  // An instant of the system clock (or any sys_time), clamped to the range.
  template <class Duration>
  constexpr explicit Time(std::chrono::sys_time<Duration> instant) : Time(instant.time_since_epoch()) {}

  static constexpr Time min() { return Time(kMinSeconds, 0); }
  static constexpr Time max() { return Time(kMaxSeconds, kNanosPerSecond - 1); }
  // Seconds since 1970 and the nanoseconds within that second (0 to
  // 999,999,999), clamped to the range.
  static constexpr Time from_unix(std::int64_t seconds, std::int64_t nanos) { return normalized(seconds, nanos); }

  constexpr std::int64_t unix_seconds() const { return seconds_; }
  constexpr std::int64_t subsecond_nanos() const { return nanos_; }

  friend constexpr bool operator==(const Time&, const Time&) = default;
  friend constexpr std::strong_ordering operator<=>(const Time&, const Time&) = default;

  template <class Rep, class Period>
  friend constexpr Time operator+(Time t, std::chrono::duration<Rep, Period> d) {
    const Split s = split(d);
    if (s.overflow > 0) return max();
    if (s.overflow < 0) return min();
    return normalized(t.seconds_ + s.seconds, t.nanos_ + s.nanos);
  }
  template <class Rep, class Period>
  friend constexpr Time operator-(Time t, std::chrono::duration<Rep, Period> d) {
    const Split s = split(d);
    if (s.overflow > 0) return min();
    if (s.overflow < 0) return max();
    return normalized(t.seconds_ - s.seconds, t.nanos_ - s.nanos);
  }
  template <class Rep, class Period>
  constexpr Time& operator+=(std::chrono::duration<Rep, Period> d) { return *this = *this + d; }
  template <class Rep, class Period>
  constexpr Time& operator-=(std::chrono::duration<Rep, Period> d) { return *this = *this - d; }

  // a - b in nanoseconds, saturated at the ends of std::chrono::nanoseconds.
  friend constexpr std::chrono::nanoseconds operator-(Time a, Time b) {
    // Both second counts lie within the range, so neither difference below
    // can overflow; only the count of nanoseconds can.
    constexpr std::int64_t kHighest = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t seconds = a.seconds_ - b.seconds_;
    std::int64_t nanos = a.nanos_ - b.nanos_;
    if (nanos < 0) {
      nanos += kNanosPerSecond;
      --seconds;
    }
    if (seconds >= 0) {
      if (seconds > (kHighest - nanos) / kNanosPerSecond) return std::chrono::nanoseconds::max();
      return std::chrono::nanoseconds(seconds * kNanosPerSecond + nanos);
    }
    // Below zero the count is (seconds + 1) whole seconds less `below`
    // nanoseconds; division truncates toward zero, so the bound is rounded up.
    const std::int64_t whole = seconds + 1;
    const std::int64_t below = kNanosPerSecond - nanos;  // 1 to 1e9
    if (whole < (kLowest + below) / kNanosPerSecond) return std::chrono::nanoseconds::min();
    return std::chrono::nanoseconds(whole * kNanosPerSecond - below);
  }

 private:
  constexpr Time(std::int64_t seconds, std::int64_t nanos) : seconds_(seconds), nanos_(nanos) {}

  // Any seconds and nanos (each within +-2^62): the nanos carried into
  // [0, 1e9) and clamped to the range.
  static constexpr Time normalized(std::int64_t seconds, std::int64_t nanos) {
    seconds += nanos / kNanosPerSecond;
    nanos %= kNanosPerSecond;
    if (nanos < 0) {
      nanos += kNanosPerSecond;
      --seconds;
    }
    if (seconds < kMinSeconds) return min();
    if (seconds > kMaxSeconds) return max();
    return Time(seconds, nanos);
  }

  // A duration as whole seconds plus nanoseconds (of the same sign), or the
  // direction in which it lies beyond any distance inside the range.
  struct Split {
    std::int64_t seconds = 0;
    std::int64_t nanos = 0;
    int overflow = 0;
  };
  template <class Rep, class Period>
  static constexpr Split split(std::chrono::duration<Rep, Period> d) {
    static_assert(std::numeric_limits<Rep>::is_integer, "Time takes integral durations");
    // Any distance beyond this many seconds leaves the range from anywhere in it.
    constexpr std::int64_t kSpan = kMaxSeconds - kMinSeconds + 1;
    using PerUnit = std::ratio_divide<Period, std::nano>;  // nanoseconds per tick
    static_assert(PerUnit::den == 1, "Time holds whole nanoseconds");
    constexpr std::int64_t unit_nanos = PerUnit::num;
    const std::int64_t count = static_cast<std::int64_t>(d.count());
    if constexpr (unit_nanos % kNanosPerSecond == 0) {
      constexpr std::int64_t unit_seconds = unit_nanos / kNanosPerSecond;
      if (count > kSpan / unit_seconds) return {0, 0, 1};
      if (count < -(kSpan / unit_seconds)) return {0, 0, -1};
      return {count * unit_seconds, 0, 0};
    } else {
      static_assert(kNanosPerSecond % unit_nanos == 0, "Time takes units that divide a second");
      constexpr std::int64_t per_second = kNanosPerSecond / unit_nanos;
      const std::int64_t seconds = count / per_second;
      if (seconds > kSpan) return {0, 0, 1};
      if (seconds < -kSpan) return {0, 0, -1};
      return {seconds, (count % per_second) * unit_nanos, 0};
    }
  }

  std::int64_t seconds_ = 0;  // since 1970-01-01T00:00:00Z
  std::int64_t nanos_ = 0;    // 0 to 999,999,999
};

std::optional<Time> parse_rfc3339(std::string_view text);
std::string format_rfc3339(Time time);
void append_rfc3339(std::string& out, Time time);

}  // namespace vor
