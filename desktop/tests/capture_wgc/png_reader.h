// Reads back the 8-bit RGBA PNGs the encoder writes (IHDR, IDAT, IEND; any
// of the five row filters), so that the tests on both platforms can look at
// the captured pixels. Not a general decoder: anything else fails.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace vor::desktop::testing {

struct DecodedPng {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;  // rows packed
  const std::uint8_t* at(std::uint32_t x, std::uint32_t y) const { return rgba.data() + (std::size_t{y} * width + x) * 4; }
};

inline std::optional<DecodedPng> read_png(const std::vector<std::uint8_t>& png) {
  const auto be32 = [&](std::size_t at) {
    return (std::uint32_t{png[at]} << 24) | (std::uint32_t{png[at + 1]} << 16) | (std::uint32_t{png[at + 2]} << 8) |
           png[at + 3];
  };
  const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < 8 || !std::equal(signature, signature + 8, png.begin())) return std::nullopt;
  DecodedPng out;
  std::vector<std::uint8_t> zdata;
  bool ended = false;
  for (std::size_t at = 8; at + 12 <= png.size() && !ended;) {
    const std::uint32_t length = be32(at);
    if (png.size() - at - 12 < length) return std::nullopt;
    const std::string type(png.begin() + at + 4, png.begin() + at + 8);
    const std::uint8_t* data = png.data() + at + 8;
    if (type == "IHDR") {
      if (length != 13 || data[8] != 8 || data[9] != 6 || data[12] != 0) return std::nullopt;
      out.width = be32(at + 8);
      out.height = be32(at + 12);
    } else if (type == "IDAT") {
      zdata.insert(zdata.end(), data, data + length);
    } else if (type == "IEND") {
      ended = true;
    }
    at += 12 + length;
  }
  if (!ended || out.width == 0 || out.height == 0) return std::nullopt;
  const std::size_t stride = std::size_t{out.width} * 4;
  std::vector<std::uint8_t> raw((stride + 1) * out.height);
  uLongf raw_len = raw.size();
  if (uncompress(raw.data(), &raw_len, zdata.data(), zdata.size()) != Z_OK || raw_len != raw.size()) return std::nullopt;
  out.rgba.assign(stride * out.height, 0);
  for (std::uint32_t y = 0; y < out.height; ++y) {
    const std::uint8_t filter = raw[y * (stride + 1)];
    const std::uint8_t* in = raw.data() + y * (stride + 1) + 1;
    std::uint8_t* row = out.rgba.data() + y * stride;
    const std::uint8_t* up = y ? row - stride : nullptr;
    for (std::size_t i = 0; i < stride; ++i) {
      const int a = i >= 4 ? row[i - 4] : 0, b = up ? up[i] : 0, c = (up && i >= 4) ? up[i - 4] : 0;
      int predicted = 0;
      switch (filter) {
        case 0: predicted = 0; break;
        case 1: predicted = a; break;
        case 2: predicted = b; break;
        case 3: predicted = (a + b) / 2; break;
        case 4: {
          const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          predicted = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
          break;
        }
        default: return std::nullopt;
      }
      row[i] = static_cast<std::uint8_t>(in[i] + predicted);
    }
  }
  return out;
}

}  // namespace vor::desktop::testing
