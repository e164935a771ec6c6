#include "common/text.h"

#include <cstdint>

namespace vor {

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

namespace {

// Decodes one code point at text[i], advancing i; nullopt on invalid input.
std::optional<char32_t> next_code_point(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra;
  char32_t cp;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    return std::nullopt;
  }
  if (i + static_cast<std::size_t>(extra) >= text.size()) return std::nullopt;
  for (int k = 1; k <= extra; ++k) {
    const std::uint8_t b = byte(i + k);
    if ((b & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  i += extra + 1;
  return cp;
}

template <class Char>
std::optional<std::basic_string<Char>> to_utf16_units(std::string_view text) {
  std::basic_string<Char> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto cp = next_code_point(text, i);
    if (!cp) return std::nullopt;
    if (*cp >= 0x10000) {
      const char32_t v = *cp - 0x10000;
      out += static_cast<Char>(0xD800 + (v >> 10));
      out += static_cast<Char>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<Char>(*cp);
    }
  }
  return out;
}

template <class Char>
std::optional<std::string> from_utf16_units(std::basic_string_view<Char> text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t u = static_cast<std::uint16_t>(text[i]);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= text.size()) return std::nullopt;
      const char32_t low = static_cast<std::uint16_t>(text[i + 1]);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return std::nullopt;
    } else {
      append_utf8(out, u);
    }
  }
  return out;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (!next_code_point(text, i)) return false;
  }
  return true;
}

std::optional<std::u16string> utf8_to_utf16(std::string_view text) { return to_utf16_units<char16_t>(text); }
std::optional<std::string> utf16_to_utf8(std::u16string_view text) { return from_utf16_units<char16_t>(text); }

#ifdef _WIN32
std::optional<std::wstring> to_wide(std::string_view text) { return to_utf16_units<wchar_t>(text); }
std::optional<std::string> from_wide(std::wstring_view text) { return from_utf16_units<wchar_t>(text); }
#endif

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<std::uint32_t> parse_u32_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace vor
