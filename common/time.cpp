#include "common/time.h"

#include <cstdint>

#include <date/date.h>

namespace vor {
namespace {

// Reads exactly `count` ASCII digits at text[pos]; advances pos.
std::optional<int> digits(std::string_view text, std::size_t& pos, std::size_t count) {
  if (pos + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  pos += count;
  return value;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

void append_digits(std::string& out, std::int64_t value, int width) {
  char buf[24];
  for (int i = width - 1; i >= 0; --i) {
    buf[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(buf, static_cast<std::size_t>(width));
}

}  // namespace

std::optional<Time> parse_rfc3339(std::string_view text) {
  using namespace std::chrono;
  std::size_t pos = 0;
  const auto year = digits(text, pos, 4);
  if (!year || !expect(text, pos, '-')) return std::nullopt;
  const auto month = digits(text, pos, 2);
  if (!month || !expect(text, pos, '-')) return std::nullopt;
  const auto day = digits(text, pos, 2);
  if (!day) return std::nullopt;
  if (pos >= text.size() || (text[pos] != 'T' && text[pos] != 't')) return std::nullopt;
  ++pos;
  const auto hour = digits(text, pos, 2);
  if (!hour || !expect(text, pos, ':')) return std::nullopt;
  const auto minute = digits(text, pos, 2);
  if (!minute || !expect(text, pos, ':')) return std::nullopt;
  const auto second = digits(text, pos, 2);
  if (!second) return std::nullopt;
  std::int64_t fraction_ns = 0;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    std::size_t count = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (++count > 9) return std::nullopt;
      fraction_ns = fraction_ns * 10 + (text[pos] - '0');
      ++pos;
    }
    if (count == 0) return std::nullopt;
    for (std::size_t i = count; i < 9; ++i) fraction_ns *= 10;
  }
  int offset_minutes = 0;
  if (pos >= text.size()) return std::nullopt;
  if (text[pos] == 'Z' || text[pos] == 'z') {
    ++pos;
  } else if (text[pos] == '+' || text[pos] == '-') {
    const int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    const auto off_h = digits(text, pos, 2);
    if (!off_h || !expect(text, pos, ':')) return std::nullopt;
    const auto off_m = digits(text, pos, 2);
    if (!off_m || *off_h > 23 || *off_m > 59) return std::nullopt;
    offset_minutes = sign * (*off_h * 60 + *off_m);
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;
  if (*hour > 23 || *minute > 59 || *second > 59) return std::nullopt;

  const date::year_month_day ymd{date::year{*year}, date::month{static_cast<unsigned>(*month)},
                                 date::day{static_cast<unsigned>(*day)}};
  if (!ymd.ok()) return std::nullopt;
  const std::int64_t day_number = date::sys_days(ymd).time_since_epoch().count();
  const std::int64_t seconds =
      day_number * 86400 + *hour * 3600 + *minute * 60 + *second - std::int64_t{offset_minutes} * 60;
  // An offset can carry the instant out of the years 0000 to 9999 in UTC,
  // where it has no RFC 3339 form to be written back in.
  if (seconds < Time::kMinSeconds || seconds > Time::kMaxSeconds) return std::nullopt;
  return Time::from_unix(seconds, fraction_ns);
}

void append_rfc3339(std::string& out, Time time) {
  const std::int64_t unix_seconds = time.unix_seconds();
  // Days since 1970 rounded down, also before 1970.
  const std::int64_t day_number = unix_seconds / 86400 - (unix_seconds % 86400 < 0 ? 1 : 0);
  const date::year_month_day ymd{date::sys_days{date::days(static_cast<int>(day_number))}};
  const std::int64_t secs = unix_seconds - day_number * 86400;  // 0 .. 86399
  const std::int64_t frac = time.subsecond_nanos();
  append_digits(out, static_cast<int>(ymd.year()), 4);
  out += '-';
  append_digits(out, static_cast<unsigned>(ymd.month()), 2);
  out += '-';
  append_digits(out, static_cast<unsigned>(ymd.day()), 2);
  out += 'T';
  append_digits(out, secs / 3600, 2);
  out += ':';
  append_digits(out, secs / 60 % 60, 2);
  out += ':';
  append_digits(out, secs % 60, 2);
  if (frac != 0) {
    out += '.';
    if (frac % 1'000'000 == 0) {
      append_digits(out, frac / 1'000'000, 3);
    } else if (frac % 1'000 == 0) {
      append_digits(out, frac / 1'000, 6);
    } else {
      append_digits(out, frac, 9);
    }
  }
  out += 'Z';
}

std::string format_rfc3339(Time time) {
  std::string out;
  append_rfc3339(out, time);
  return out;
}

}  // namespace vor
