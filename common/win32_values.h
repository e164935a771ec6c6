// Win32 numbers the portable rules of both programs look at, so that rules
// can tell failures and file kinds apart without including <windows.h>.
// Ports pass these numbers through raw; common/win32_values_win32.cpp checks
// each one against the SDK.
#pragma once

#include <cstdint>

namespace vor {

// Error numbers (GetLastError).
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;  // from OpenProcess: no process has that id
inline constexpr std::uint32_t kErrorDirNotEmpty = 145;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorPipeBusy = 231;          // every instance of a pipe is taken
inline constexpr std::uint32_t kErrorPipeNotConnected = 233;  // no process on the other end

// FILE_ATTRIBUTE_* bits.
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeReparsePoint = 0x400;

// A reparse tag with this bit names another file (symbolic link, junction).
inline constexpr std::uint32_t kReparseTagNameSurrogate = 0x20000000;

}  // namespace vor
