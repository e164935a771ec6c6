// UTF-8 <-> UTF-16 conversion. Text is UTF-8 inside both programs and UTF-16
// only at Win32 calls; both directions refuse invalid input (unpaired
// surrogates, overlong or truncated sequences) instead of replacing it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vor {

bool is_valid_utf8(std::string_view text);
std::optional<std::u16string> utf8_to_utf16(std::string_view text);
std::optional<std::string> utf16_to_utf8(std::u16string_view text);

#ifdef _WIN32
// The same conversions over wchar_t, which is UTF-16 on Windows.
std::optional<std::wstring> to_wide(std::string_view text);
std::optional<std::string> from_wide(std::wstring_view text);
#endif

// Appends the UTF-8 form of one Unicode scalar value.
void append_utf8(std::string& out, char32_t code_point);

// Lower-cases ASCII letters only.
std::string ascii_lower(std::string_view text);

// Unsigned 32-bit decimal with an optional leading '+' (session and process
// ids on a command line); nullopt for anything else.
std::optional<std::uint32_t> parse_u32_decimal(std::string_view text);

}  // namespace vor
