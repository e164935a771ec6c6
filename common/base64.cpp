#include "common/base64.h"

#include <array>

namespace vor {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr std::uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& v : table) v = kNotInAlphabet;
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = make_decode_table();

}  // namespace

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out += kAlphabet[(v >> 18) & 0x3F];
    out += kAlphabet[(v >> 12) & 0x3F];
    out += kAlphabet[(v >> 6) & 0x3F];
    out += kAlphabet[v & 0x3F];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    out += kAlphabet[(v >> 18) & 0x3F];
    out += kAlphabet[(v >> 12) & 0x3F];
    out += kPad;
    out += kPad;
  } else if (rest == 2) {
    const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
    out += kAlphabet[(v >> 18) & 0x3F];
    out += kAlphabet[(v >> 12) & 0x3F];
    out += kAlphabet[(v >> 6) & 0x3F];
    out += kPad;
  }
  return out;
}

Result<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return fail(coded(kBase64Invalid));
  std::size_t pads = 0;
  if (!text.empty() && text.back() == kPad) pads = text[text.size() - 2] == kPad ? 2 : 1;

  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3 - pads);
  const std::size_t data_chars = text.size() - pads;
  std::uint32_t acc = 0;
  for (std::size_t i = 0; i < data_chars; ++i) {
    const std::uint8_t v = kDecode[static_cast<unsigned char>(text[i])];
    if (v == kNotInAlphabet) return fail(coded(kBase64Invalid));  // includes a misplaced "="
    acc = (acc << 6) | v;
    if (i % 4 == 3) {
      out.push_back(static_cast<std::uint8_t>(acc >> 16));
      out.push_back(static_cast<std::uint8_t>(acc >> 8));
      out.push_back(static_cast<std::uint8_t>(acc));
      acc = 0;
    }
  }
  // The last quantum: 2 characters carry 1 byte (4 bits left over), 3 carry 2
  // bytes (2 bits left over); the left-over bits must be zero.
  if (pads == 2) {
    if (acc & 0x0F) return fail(coded(kBase64Invalid));
    out.push_back(static_cast<std::uint8_t>(acc >> 4));
  } else if (pads == 1) {
    if (acc & 0x03) return fail(coded(kBase64Invalid));
    out.push_back(static_cast<std::uint8_t>(acc >> 10));
    out.push_back(static_cast<std::uint8_t>(acc >> 2));
  }
  return out;
}

}  // namespace vor
