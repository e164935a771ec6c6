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
      "0000-01-01T00:00:00+00:01",   // a minute before year 0000 in UTC
      "9999-12-31T23:59:59.999999999-00:01",  // in year 10000 in UTC
      "0000-00-01T00:00:00Z",        // month 0
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

// Every instant of the years 0000 to 9999 reads and writes back exactly,
// also those outside a 64-bit count of nanoseconds (1677-09-21 to 2262-04-11).
TEST(Rfc3339, WholeYearRangeReadsAndWritesBackExactly) {
  struct Case {
    const char* text;
    const char* utc;
  };
  const Case cases[] = {
      {"0000-01-01T00:00:00Z", "0000-01-01T00:00:00Z"},
      {"0000-01-01T01:00:00+01:00", "0000-01-01T00:00:00Z"},
      {"0000-02-29T12:00:00.5Z", "0000-02-29T12:00:00.500Z"},  // year 0000 is a leap year
      {"1600-01-01T00:00:00Z", "1600-01-01T00:00:00Z"},
      {"1601-01-01T00:00:00Z", "1601-01-01T00:00:00Z"},
      {"1677-09-21T00:12:43.145224191Z", "1677-09-21T00:12:43.145224191Z"},  // 1 ns before the 64-bit range
      {"2262-04-11T23:47:16.854775808Z", "2262-04-11T23:47:16.854775808Z"},  // 1 ns after it
      {"2263-01-01T00:00:00Z", "2263-01-01T00:00:00Z"},
      {"9999-12-31T23:59:59.999999999Z", "9999-12-31T23:59:59.999999999Z"},
      {"9999-12-31T22:59:59.999999999-01:00", "9999-12-31T23:59:59.999999999Z"},
  };
  for (const Case& c : cases) {
    const auto t = parse_rfc3339(c.text);
    ASSERT_TRUE(t) << c.text;
    EXPECT_EQ(format_rfc3339(*t), c.utc) << c.text;
    EXPECT_EQ(parse_rfc3339(format_rfc3339(*t)), t) << c.text;
  }
  const auto first = parse_rfc3339("0000-01-01T00:00:00Z");
  const auto windows_epoch = parse_rfc3339("1601-01-01T00:00:00Z");
  const auto last = parse_rfc3339("9999-12-31T23:59:59.999999999Z");
  ASSERT_TRUE(first && windows_epoch && last);
  EXPECT_LT(*first, *windows_epoch);
  EXPECT_LT(*windows_epoch, *last);
}

Time parsed(const char* text) {
  const auto t = parse_rfc3339(text);
  EXPECT_TRUE(t) << text;
  return t.value_or(Time{});
}

TEST(TimeArithmetic, DifferencesAreExactUntilTheyLeaveTheNanosecondCount) {
  struct Case {
    const char* name;
    Time a, b;
    nanoseconds difference;
  };
  const Case cases[] = {
      {"one nanosecond across a second", parsed("2026-01-01T00:00:00Z"), parsed("2025-12-31T23:59:59.999999999Z"),
       nanoseconds{1}},
      {"before 1970", parsed("1969-12-31T23:59:59.5Z"), parsed("1969-12-31T23:59:58.75Z"), milliseconds{750}},
      {"negative", parsed("1969-12-31T23:59:58.75Z"), parsed("1969-12-31T23:59:59.5Z"), -milliseconds{750}},
      {"largest count", parsed("2262-04-11T23:47:16.854775807Z"), Time{}, nanoseconds::max()},
      {"smallest count", parsed("1677-09-21T00:12:43.145224192Z"), Time{}, nanoseconds::min()},
      {"one past the largest", parsed("2262-04-11T23:47:16.854775808Z"), Time{}, nanoseconds::max()},
      {"one past the smallest", parsed("1677-09-21T00:12:43.145224191Z"), Time{}, nanoseconds::min()},
      {"whole range", Time::max(), Time::min(), nanoseconds::max()},
      {"whole range backwards", Time::min(), Time::max(), nanoseconds::min()},

  };
  for (const Case& c : cases) EXPECT_EQ(c.a - c.b, c.difference) << c.name;
}

TEST(TimeArithmetic, AddingSaturatesAtTheEndsOfTheRange) {
  EXPECT_EQ(format_rfc3339(Time::min()), "0000-01-01T00:00:00Z");
  EXPECT_EQ(format_rfc3339(Time::max()), "9999-12-31T23:59:59.999999999Z");
  EXPECT_EQ(Time::max() + nanoseconds{1}, Time::max());
  EXPECT_EQ(Time::min() - nanoseconds{1}, Time::min());
  EXPECT_EQ(Time::min() + hours::max(), Time::max());
  EXPECT_EQ(Time::max() - hours::max(), Time::min());
  EXPECT_EQ(Time::max() + hours::min(), Time::min());
  EXPECT_EQ(Time{} + nanoseconds::min(), parsed("1677-09-21T00:12:43.145224192Z"));
  EXPECT_EQ(Time::max() - nanoseconds{999'999'999} - seconds{1}, parsed("9999-12-31T23:59:58Z"));
  EXPECT_EQ(parsed("1601-01-01T00:00:00Z") + seconds{11'644'473'600} - milliseconds{1},
            parsed("1969-12-31T23:59:59.999Z"));
  // Comparisons hold across the whole range, also where differences saturate.
  EXPECT_LT(Time::min() + nanoseconds{1}, parsed("1601-01-01T00:00:00Z"));
  EXPECT_GT(Time::max() - nanoseconds{1}, parsed("2263-01-01T00:00:00Z"));
  EXPECT_LT(Time::max() - nanoseconds{1}, Time::max());
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
