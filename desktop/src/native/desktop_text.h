// Cleaning of text read from the desktop, and the text checks of requests.
//
// Every text the worker reads from the desktop (window titles, UI Automation
// names, ids, class names) is cleaned the same way: converted from UTF-16
// with unpaired surrogates replaced by U+FFFD, control characters dropped,
// and bounded to a number of characters. Texts that callers send are refused
// when they hold a control character.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vor::desktop {

// A control character: below U+0020, or U+007F to U+009F.
constexpr bool is_control_character(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// UTF-8 of `text` with unpaired surrogates as U+FFFD and control characters
// dropped, keeping at most the first `max_characters` remaining characters.
std::string clean_desktop_text(std::u16string_view text, std::size_t max_characters);

// The UTF-16 form of text a caller sent, when it is valid UTF-8 without a
// control character; its size is the length in UTF-16 code units (a
// character outside the Basic Multilingual Plane counts 2).
std::optional<std::u16string> caller_text_units(std::string_view text);

}  // namespace vor::desktop
