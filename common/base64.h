// Standard Base64 (RFC 4648 section 4: the alphabet with "+" and "/", "="
// padding). The executor encodes captured PNG bytes into `pngBase64`; the
// broker decodes them again before it stores the image.
//
//   std::string text = base64_encode(png);
//   Result<std::vector<std::uint8_t>> back = base64_decode(text);
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace vor {

// Always padded to a multiple of 4 characters; no line breaks.
std::string base64_encode(std::span<const std::uint8_t> bytes);

// Strict decoding: the length is a multiple of 4, every character is from the
// alphabet, "=" appears only as the last one or two characters, and the bits
// that padding leaves over are zero (so each byte string has exactly one
// accepted text). Whitespace is refused. Anything else fails with
// `kBase64Invalid`.
Result<std::vector<std::uint8_t>> base64_decode(std::string_view text);

inline constexpr std::string_view kBase64Invalid = "base64 text invalid";

}  // namespace vor
