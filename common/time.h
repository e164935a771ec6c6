// Instants in UTC and their RFC 3339 text form, shared by every document.
//
// `Time` is a UTC instant with nanosecond resolution (1677-09-21 to 2262-04-11;
// a text outside that range does not parse). `parse_rfc3339` reads
// "YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)" (also a lower-case "t"
// and "z"; 1 to 9 fraction digits; no leap second) and converts any offset to
// UTC. `format_rfc3339` writes UTC with "Z" and 0, 3, 6 or 9 fraction digits,
// the fewest that hold the instant exactly:
//
//   auto t = parse_rfc3339("2026-01-02T05:04:05.5+02:00");  // 03:04:05.5 UTC
//   format_rfc3339(*t) == "2026-01-02T03:04:05.500Z"
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vor {

using Time = std::chrono::sys_time<std::chrono::nanoseconds>;

std::optional<Time> parse_rfc3339(std::string_view text);
std::string format_rfc3339(Time time);
void append_rfc3339(std::string& out, Time time);

}  // namespace vor
