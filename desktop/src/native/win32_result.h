// Raw Win32 outcomes and their conversion into error values.
//
// Ports return `Win32<T>`: the value, or the raw number that GetLastError gave
// right after the failing call (the adapter reads it before anything else can
// change it). `check_win32` turns a failed outcome into the error that
// subsystems report: the "DESKTOP_" code as the outermost message and the OS
// error with its number as the source.
//
//   auto session = ports.processes.process_id_to_session_id(pid);
//   VOR_RETURN_IF_ERROR(check_win32(session, kProcessSessionUnavailable));
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "common/error.h"

namespace vor::desktop {

// A value or the raw Win32 error number of the call that failed.
template <class T>
using Win32 = std::expected<T, std::uint32_t>;

inline std::unexpected<std::uint32_t> win32_error(std::uint32_t number) {
  return std::unexpected<std::uint32_t>(number);
}

// The code as the outermost message over the OS error `number`: `coded_os`
// with the arguments of the broker's and the launcher's older calls.
inline Error win32_failure(std::uint32_t number, std::string_view code) { return coded_os(code, number); }

// Success when the call succeeded, else the code over its OS error number.
template <class T>
Status check_win32(const Win32<T>& outcome, std::string_view code) {
  if (outcome) return {};
  return fail(coded_os(code, outcome.error()));
}

}  // namespace vor::desktop
