// A small PNG reader for tests on both platforms (libpng exists only
// natively): 8-bit RGBA, not interlaced, every filter type; zlib inflates.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

namespace vor::desktop::testing {

struct ReadPng {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;  // rows packed
  const std::uint8_t* at(std::uint32_t x, std::uint32_t y) const { return rgba.data() + (std::size_t{y} * width + x) * 4; }
};

inline std::optional<ReadPng> read_png(const std::vector<std::uint8_t>& png) {
  auto be32 = [&](std::size_t at) {
    return std::uint32_t{png[at]} << 24 | std::uint32_t{png[at + 1]} << 16 | std::uint32_t{png[at + 2]} << 8 | png[at + 3];
  };
  if (png.size() < 8) return std::nullopt;
  ReadPng out;
  std::vector<std::uint8_t> idat;
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const std::uint32_t length = be32(at);
    const std::string type(png.begin() + at + 4, png.begin() + at + 8);
    if (at + 12 + length > png.size()) return std::nullopt;
    const std::uint8_t* data = png.data() + at + 8;
    if (type == "IHDR") {
      out.width = be32(at + 8);
      out.height = be32(at + 12);
      if (data[8] != 8 || data[9] != 6 || data[12] != 0) return std::nullopt;
    } else if (type == "IDAT") {
      idat.insert(idat.end(), data, data + length);
    }
    at += 12 + length;
  }
  const std::size_t stride = std::size_t{out.width} * 4;
  std::vector<std::uint8_t> raw((stride + 1) * out.height);
  uLongf raw_size = static_cast<uLongf>(raw.size());
  if (uncompress(raw.data(), &raw_size, idat.data(), static_cast<uLong>(idat.size())) != Z_OK || raw_size != raw.size()) {
    return std::nullopt;
  }
  out.rgba.resize(stride * out.height);
  for (std::uint32_t y = 0; y < out.height; ++y) {
    const std::uint8_t filter = raw[y * (stride + 1)];
    const std::uint8_t* in = raw.data() + y * (stride + 1) + 1;
    std::uint8_t* row = out.rgba.data() + y * stride;
    const std::uint8_t* up = y > 0 ? row - stride : nullptr;
    for (std::size_t i = 0; i < stride; ++i) {
      const int a = i >= 4 ? row[i - 4] : 0;
      const int b = up ? up[i] : 0;
      const int c = i >= 4 && up ? up[i - 4] : 0;
      int predicted = 0;
      switch (filter) {
        case 0: predicted = 0; break;
        case 1: predicted = a; break;
        case 2: predicted = b; break;
        case 3: predicted = (a + b) / 2; break;
        case 4: {
          const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
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
