// Synthetic frames for the preview and PNG tests and the benchmark.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "capture_dxgi/preview.h"

namespace vor::desktop::testing {

// A BGRA source frame of width x height, rows `pitch` bytes apart (0: packed),
// every byte `fill` (padding included).
struct Frame {
  std::vector<std::uint8_t> bytes;
  std::uint32_t pitch = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;

  Frame(std::uint32_t w, std::uint32_t h, std::uint8_t fill = 0, std::uint32_t row_pitch = 0)
      : bytes(std::size_t{row_pitch ? row_pitch : w * 4} * h, fill),
        pitch(row_pitch ? row_pitch : w * 4),
        width(w),
        height(h) {}

  std::uint8_t* at(std::uint32_t x, std::uint32_t y) { return bytes.data() + std::size_t{y} * pitch + std::size_t{x} * 4; }
  void set(std::uint32_t x, std::uint32_t y, std::uint8_t b, std::uint8_t g, std::uint8_t r, std::uint8_t a) {
    std::uint8_t* p = at(x, y);
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = a;
  }
};

// Every colour byte random (a fixed seed, so both platforms see the same
// image): incompressible for deflate.
inline RgbaPreview noise_preview(std::uint32_t w, std::uint32_t h, std::uint32_t seed = 7) {
  RgbaPreview p{std::vector<std::uint8_t>(std::size_t{w} * h * 4), w, h};
  std::mt19937 rng(seed);
  for (std::size_t i = 0; i < p.pixels.size(); ++i) {
    p.pixels[i] = i % 4 == 3 ? 0xFF : static_cast<std::uint8_t>(rng());
  }
  return p;
}

// Something like a desktop: a gradient wallpaper, flat window rectangles with
// title bars, and rows of small "glyph" blocks of varying shade.
inline Frame desktop_like_frame(std::uint32_t w, std::uint32_t h) {
  Frame f(w, h);
  std::mt19937 rng(11);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      f.set(x, y, static_cast<std::uint8_t>(120 + y * 100 / h), static_cast<std::uint8_t>(60 + x * 60 / w), 30, 0xFF);
    }
  }
  for (int win = 0; win < 6; ++win) {
    const std::uint32_t x0 = rng() % (w / 2), y0 = rng() % (h / 2);
    const std::uint32_t x1 = std::min(w, x0 + w / 3), y1 = std::min(h, y0 + h / 3);
    for (std::uint32_t y = y0; y < y1; ++y) {
      for (std::uint32_t x = x0; x < x1; ++x) {
        const bool title = y < y0 + 24;
        const bool glyph = !title && (y - y0) % 16 < 10 && (x - x0) % 8 < 6 && (rng() % 3 != 0);
        const std::uint8_t shade = glyph ? static_cast<std::uint8_t>(rng() % 96) : 0xF0;
        if (title) f.set(x, y, 0xC0, 0x60, 0x20, 0xFF);
        else f.set(x, y, shade, shade, shade, 0xFF);
      }
    }
  }
  return f;
}

}  // namespace vor::desktop::testing
