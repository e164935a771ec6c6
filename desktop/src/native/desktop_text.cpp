#include "native/desktop_text.h"

#include "common/text.h"

namespace vor::desktop {

std::string clean_desktop_text(std::u16string_view text, std::size_t max_characters) {
  std::string out;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < text.size() && kept < max_characters; ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (is_control_character(c)) continue;
    append_utf8(out, c);
    ++kept;
  }
  return out;
}

std::optional<std::u16string> caller_text_units(std::string_view text) {
  auto units = utf8_to_utf16(text);
  if (!units) return std::nullopt;
  // Every control character is a single unit; surrogates never match.
  for (char16_t u : *units) {
    if (is_control_character(u)) return std::nullopt;
  }
  return units;
}

}  // namespace vor::desktop
