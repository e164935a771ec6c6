#include "common/time.h"

#include <gtest/gtest.h>

#include <date/date.h>

namespace vor {
namespace {

using namespace std::chrono;

Time at(int y, unsigned m, unsigned d, int hh, int mm, int ss, std::int64_t ns = 0) {
  return Time{date::sys_days(date::year{y} / m / d)} + hours{hh} + minutes{mm} + seconds{ss} + nanoseconds{ns};
}

TEST(Rfc3339, ParsesOffsetsToUtc) {
  struct Case {
    const char* text;
    Time expected;
  };
  const Case cases[] = {
      {"2026-03-04T05:06:07Z", at(2026, 3, 4, 5, 6, 7)},
      {"2026-03-04T05:06:07z", at(2026, 3, 4, 5, 6, 7)},
      {"2026-03-04t05:06:07Z", at(2026, 3, 4, 5, 6, 7)},
      {"2026-03-04T07:06:07+02:00", at(2026, 3, 4, 5, 6, 7)},
      {"2026-03-04T00:30:00-05:30", at(2026, 3, 4, 6, 0, 0)},
      {"2026-01-01T01:00:00+02:00", at(2025, 12, 31, 23, 0, 0)},
      {"2026-03-04T05:06:07.5Z", at(2026, 3, 4, 5, 6, 7, 500'000'000)},
      {"2026-03-04T05:06:07.000000001Z", at(2026, 3, 4, 5, 6, 7, 1)},
      {"2026-03-04T05:06:07.1234567Z", at(2026, 3, 4, 5, 6, 7, 123'456'700)},
      {"2024-02-29T00:00:00Z", at(2024, 2, 29, 0, 0, 0)},
      {"1970-01-01T00:00:00Z", Time{}},
      {"1969-12-31T23:59:59.999999999Z", Time{} - nanoseconds{1}},
  };
  for (const auto& c : cases) {
    const auto t = parse_rfc3339(c.text);
    ASSERT_TRUE(t) << c.text;
    EXPECT_EQ(*t, c.expected) << c.text;
  }
}

TEST(Rfc3339, RefusesMalformedText) {
  const char* cases[] = {
      "",
      "2026-03-04",
      "2026-03-04T05:06:07",         // no offset
      "2026-03-04 05:06:07Z",        // space separator
      "2026-03-04T05:06Z",           // no seconds
      "2026-3-04T05:06:07Z",         // one-digit month
      "2026-13-04T05:06:07Z",        // month 13
      "2025-02-29T05:06:07Z",        // not a leap year
      "2026-03-04T24:00:00Z",        // hour 24
      "2026-03-04T05:60:00Z",        // minute 60
      "2026-03-04T05:06:60Z",        // leap second
      "2026-03-04T05:06:07.Z",       // empty fraction
      "2026-03-04T05:06:07.1234567890Z",  // more than 9 digits
      "2026-03-04T05:06:07+0200",    // offset without colon
      "2026-03-04T05:06:07+24:00",   // offset hour 24
      "2026-03-04T05:06:07Z ",       // trailing space
      " 2026-03-04T05:06:07Z",       // leading space
      "2026-03-04T05:06:07ZZ",
      "+2026-03-04T05:06:07Z",
      "1600-01-01T00:00:00Z",        // before the nanosecond range
      "2263-01-01T00:00:00Z",        // after it
  };
  for (const char* text : cases) EXPECT_FALSE(parse_rfc3339(text)) << text;
}

TEST(Rfc3339, FormatsUtcWithFewestExactFractionDigits) {
  struct Case {
    Time time;
    const char* text;
  };
  const Case cases[] = {
      {at(2026, 3, 4, 5, 6, 7), "2026-03-04T05:06:07Z"},
      {at(2026, 3, 4, 5, 6, 7, 500'000'000), "2026-03-04T05:06:07.500Z"},
      {at(2026, 3, 4, 5, 6, 7, 1'000'000), "2026-03-04T05:06:07.001Z"},
      {at(2026, 3, 4, 5, 6, 7, 123'456'000), "2026-03-04T05:06:07.123456Z"},
      {at(2026, 3, 4, 5, 6, 7, 1'000), "2026-03-04T05:06:07.000001Z"},
      {at(2026, 3, 4, 5, 6, 7, 123'456'700), "2026-03-04T05:06:07.123456700Z"},
      {at(2026, 3, 4, 5, 6, 7, 1), "2026-03-04T05:06:07.000000001Z"},
      {Time{} - nanoseconds{1}, "1969-12-31T23:59:59.999999999Z"},
      {at(1678, 1, 1, 0, 0, 0), "1678-01-01T00:00:00Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_rfc3339(c.time), c.text);
}

TEST(Rfc3339, FormatThenParseIsIdentity) {
  for (const char* text : {"2026-03-04T07:06:07.25+02:00", "2000-02-29T23:59:59.999999999-00:01"}) {
    const auto t = parse_rfc3339(text);
    ASSERT_TRUE(t);
    EXPECT_EQ(parse_rfc3339(format_rfc3339(*t)), t);
  }
}

}  // namespace
}  // namespace vor
