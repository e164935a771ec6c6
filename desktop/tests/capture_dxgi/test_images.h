// Synthetic frames for the preview and PNG tests and the benchmark.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
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

// An RGBA preview that looks like a desktop at preview size: a gradient
// wallpaper with a column of icons, a taskbar, and overlapping windows with
// flat title bars, anti-aliased text rows (dark on white, and a dark code
// editor with coloured text), buttons, a toolbar of icons and a small photo
// area (smooth shapes with sensor noise). A fixed seed, so both platforms and
// every run see the same pixels.
class DesktopScene {
 public:
  DesktopScene(std::uint32_t w, std::uint32_t h) : p_{std::vector<std::uint8_t>(std::size_t{w} * h * 4), w, h} {
    make_font();
    wallpaper();
    for (std::uint32_t i = 0; i < 6 && 24 + i * 84 + 64 < h; ++i) desktop_icon(16, 24 + i * 84, i);
    const std::uint32_t wx = w / 10, wy = h / 12;
    text_window(wx, wy, w * 11 / 20, h * 3 / 5, false);
    code_window(w * 2 / 5, h / 4, w / 2, h / 2);
    photo_window(w * 3 / 5, h / 20, w * 7 / 20, h * 2 / 5);
    taskbar();
  }
  RgbaPreview take() && { return std::move(p_); }

 private:
  struct Rgb {
    std::uint8_t r, g, b;
  };

  void put(std::uint32_t x, std::uint32_t y, Rgb c) {
    if (x >= p_.width || y >= p_.height) return;
    std::uint8_t* q = p_.pixels.data() + (std::size_t{y} * p_.width + x) * 4;
    q[0] = c.r;
    q[1] = c.g;
    q[2] = c.b;
    q[3] = 0xFF;
  }
  Rgb get(std::uint32_t x, std::uint32_t y) const {
    const std::uint8_t* q = p_.pixels.data() + (std::size_t{y} * p_.width + x) * 4;
    return {q[0], q[1], q[2]};
  }
  // Mixes c over the pixel by coverage k of 4.
  void blend(std::uint32_t x, std::uint32_t y, Rgb c, int k) {
    if (x >= p_.width || y >= p_.height || k == 0) return;
    const Rgb o = get(x, y);
    auto mix = [k](int a, int b) { return static_cast<std::uint8_t>((a * (4 - k) + b * k) / 4); };
    put(x, y, {mix(o.r, c.r), mix(o.g, c.g), mix(o.b, c.b)});
  }
  void fill(std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h, Rgb c) {
    for (std::uint32_t y = y0; y < y0 + h; ++y)
      for (std::uint32_t x = x0; x < x0 + w; ++x) put(x, y, c);
  }
  void frame(std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h, Rgb c) {
    fill(x0, y0, w, 1, c);
    fill(x0, y0 + h - 1, w, 1, c);
    fill(x0, y0, 1, h, c);
    fill(x0 + w - 1, y0, 1, h, c);
  }

  // 64 glyphs of 6 x 10 pixels, each drawn as random strokes on a 12 x 20
  // grid and reduced 2 x 2, so edges carry grey levels as anti-aliased text
  // does.
  void make_font() {
    for (auto& g : font_) {
      bool hi[20][12] = {};
      const int strokes = 2 + static_cast<int>(rng_() % 3);
      for (int s = 0; s < strokes; ++s) {
        const bool vertical = rng_() % 2;
        const int at = 2 + static_cast<int>(rng_() % 8), from = 4 + static_cast<int>(rng_() % 6);
        const int len = 4 + static_cast<int>(rng_() % 9);
        for (int t = 0; t < len; ++t)
          for (int d = 0; d < 2; ++d) {
            const int yy = vertical ? from + t : at + 6 + d, xx = vertical ? at + d : (from - 4 + t) % 12;
            if (yy < 20 && xx < 12) hi[yy][xx] = true;
          }
      }
      for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 6; ++x)
          g[y][x] = static_cast<std::uint8_t>(hi[2 * y][2 * x] + hi[2 * y][2 * x + 1] + hi[2 * y + 1][2 * x] +
                                              hi[2 * y + 1][2 * x + 1]);
    }
  }
  // A line of words of random glyphs from x0 up to x1; returns nothing, the
  // caller steps the baseline.
  void text_line(std::uint32_t x0, std::uint32_t x1, std::uint32_t y, Rgb ink, bool colourful = false) {
    std::uint32_t x = x0;
    const Rgb palette[] = {ink, {0x56, 0x9C, 0xD6}, {0xCE, 0x91, 0x78}, {0x6A, 0x99, 0x55}, {0xDC, 0xDC, 0xAA}};
    while (x + 6 < x1) {
      const std::uint32_t word = 2 + rng_() % 8;
      const Rgb c = colourful ? palette[rng_() % 5] : ink;
      for (std::uint32_t k = 0; k < word && x + 6 < x1; ++k, x += 7) {
        const auto& g = font_[rng_() % font_.size()];
        for (std::uint32_t gy = 0; gy < 10; ++gy)
          for (std::uint32_t gx = 0; gx < 6; ++gx) blend(x + gx, y + gy, c, g[gy][gx]);
      }
      x += 7;
    }
  }
  void icon(std::uint32_t x0, std::uint32_t y0, std::uint32_t size, std::uint32_t seed) {
    const Rgb base{static_cast<std::uint8_t>(40 + seed * 53 % 200), static_cast<std::uint8_t>(90 + seed * 31 % 150),
                   static_cast<std::uint8_t>(60 + seed * 71 % 190)};
    for (std::uint32_t y = 0; y < size; ++y)
      for (std::uint32_t x = 0; x < size; ++x) {
        const int dx = static_cast<int>(2 * x) - static_cast<int>(size), dy = static_cast<int>(2 * y) - static_cast<int>(size);
        const int d2 = dx * dx + dy * dy, r2 = static_cast<int>(size * size);
        if (d2 > r2) continue;
        const int light = 60 - 60 * d2 / r2 - static_cast<int>(y * 40 / size);
        auto ch = [light](int v) { return static_cast<std::uint8_t>(std::clamp(v + light, 0, 255)); };
        Rgb c{ch(base.r), ch(base.g), ch(base.b)};
        if (d2 > r2 - 2 * static_cast<int>(size)) c = {20, 20, 30};
        put(x0 + x, y0 + y, c);
      }
  }
  void wallpaper() {
    const std::uint32_t w = p_.width, h = p_.height;
    for (std::uint32_t y = 0; y < h; ++y)
      for (std::uint32_t x = 0; x < w; ++x)
        put(x, y, {static_cast<std::uint8_t>(20 + 90 * x / w), static_cast<std::uint8_t>(50 + 110 * y / h),
                   static_cast<std::uint8_t>(110 + 70 * (x + y) / (w + h))});
  }
  void desktop_icon(std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
    icon(x + 8, y, 48, seed);
    text_line(x, x + 64, y + 54, {0xFF, 0xFF, 0xFF});
  }
  void title_bar(std::uint32_t x, std::uint32_t y, std::uint32_t w, Rgb bar, Rgb ink) {
    fill(x, y, w, 30, bar);
    icon(x + 8, y + 7, 16, w);
    text_line(x + 32, x + w / 2, y + 10, ink);
    for (std::uint32_t b = 1; b <= 3; ++b) frame(x + w - 46 * b + 16, y + 10, 12, 10, ink);
  }
  void text_window(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h, bool) {
    fill(x, y, w, h, {0xFF, 0xFF, 0xFF});
    frame(x, y, w, h, {0x70, 0x70, 0x70});
    title_bar(x + 1, y + 1, w - 2, {0x00, 0x5A, 0x9E}, {0xFF, 0xFF, 0xFF});
    fill(x + 1, y + 31, w - 2, 34, {0xF3, 0xF3, 0xF3});
    for (std::uint32_t i = 0; i < 10 && 12 + i * 30 + 24 < w; ++i) icon(x + 12 + i * 30, y + 36, 24, i + 7);
    for (std::uint32_t ty = y + 80; ty + 40 < y + h; ty += 18) text_line(x + 16, x + w - 24, ty, {0x20, 0x20, 0x20});
    fill(x + w - 200, y + h - 36, 84, 26, {0xE1, 0xE1, 0xE1});
    frame(x + w - 200, y + h - 36, 84, 26, {0xAD, 0xAD, 0xAD});
    fill(x + w - 104, y + h - 36, 84, 26, {0x00, 0x78, 0xD4});
  }
  void code_window(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h) {
    fill(x, y, w, h, {0x1E, 0x1E, 0x1E});
    title_bar(x, y, w, {0x32, 0x32, 0x33}, {0xCC, 0xCC, 0xCC});
    fill(x, y + 30, 48, h - 30, {0x25, 0x25, 0x26});
    for (std::uint32_t ty = y + 40; ty + 12 < y + h; ty += 16) {
      text_line(x + 8, x + 36, ty, {0x85, 0x85, 0x85});
      const std::uint32_t indent = 7 * 4 * (rng_() % 4);
      text_line(x + 60 + indent, x + 60 + indent + (rng_() % (w - 100 - indent)), ty, {0xD4, 0xD4, 0xD4}, true);
    }
  }
  void photo_window(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h) {
    fill(x, y, w, h, {0xF0, 0xF0, 0xF0});
    title_bar(x, y, w, {0xFF, 0xFF, 0xFF}, {0x10, 0x10, 0x10});
    const std::uint32_t pw = std::min(w - 20, 280u), ph = std::min(h - 50, 190u);
    for (std::uint32_t yy = 0; yy < ph; ++yy)
      for (std::uint32_t xx = 0; xx < pw; ++xx) {
        const double u = double(xx) / pw, v = double(yy) / ph;
        const double sky = v < 0.45 + 0.1 * std::sin(u * 9.0) ? 1.0 : 0.0;
        const int n = static_cast<int>(rng_() % 13) - 6;
        auto ch = [n](double c) { return static_cast<std::uint8_t>(std::clamp(static_cast<int>(c) + n, 0, 255)); };
        const double shade = 40.0 * std::sin(u * 5.0 + v * 3.0);
        put(x + 10 + xx, y + 40 + yy,
            sky ? Rgb{ch(110 + 80 * v), ch(160 + 50 * v), ch(230 - 20 * v)}
                : Rgb{ch(70 + shade), ch(110 + shade * 0.8 - 40 * v), ch(40 + shade * 0.3)});
      }
    text_line(x + 10, x + w - 10, y + 50 + ph, {0x30, 0x30, 0x30});
  }
  void taskbar() {
    const std::uint32_t w = p_.width, h = p_.height, y = h - 40;
    fill(0, y, w, 40, {0x20, 0x20, 0x2A});
    for (std::uint32_t i = 0; i < 12 && 8 + i * 40 + 32 < w; ++i) icon(8 + i * 40, y + 4, 32, i + 3);
    text_line(w - 80, w - 10, y + 8, {0xFF, 0xFF, 0xFF});
    text_line(w - 80, w - 10, y + 22, {0xFF, 0xFF, 0xFF});
  }

  RgbaPreview p_;
  std::mt19937 rng_{1234};
  std::array<std::array<std::array<std::uint8_t, 6>, 10>, 64> font_{};
};

inline RgbaPreview desktop_scene(std::uint32_t w, std::uint32_t h) { return DesktopScene(w, h).take(); }

}  // namespace vor::desktop::testing
