#include "native/desktop_text.h"

#include <cstdint>

namespace vor::desktop {
namespace {

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one code point of UTF-8 starting at `i` (the text is assumed valid;
// a stray byte is taken as itself so that the walk always advances).
char32_t next_utf8(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t b0 = byte(i);
  std::size_t n = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 1;
  if (i + n > text.size()) n = 1;
  char32_t c = n == 1 ? b0 : n == 2 ? (b0 & 0x1F) : n == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (byte(i + k) & 0x3F);
  i += n;
  return c;
}

}  // namespace

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

bool has_control_character(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (is_control_character(next_utf8(text, i))) return true;
  }
  return false;
}

std::size_t utf16_length(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) units += next_utf8(text, i) >= 0x10000 ? 2 : 1;
  return units;
}

}  // namespace vor::desktop
