// Cost of turning one 2560 x 1440 desktop frame into its PNG preview.
#include <benchmark/benchmark.h>

#include "capture_dxgi/png.h"
#include "test_images.h"

namespace vor::desktop {
namespace {

void BM_DesktopFramePreviewAndPng(benchmark::State& state) {
  const testing::Frame f = testing::desktop_like_frame(2560, 1440);
  std::size_t png_bytes = 0;
  for (auto _ : state) {
    auto p = to_rgba_preview(f.bytes, f.pitch, f.width, f.height);
    auto png = encode_png(*p);
    if (!png) {
      state.SkipWithError("encode failed");
      return;
    }
    png_bytes = png->size();
    benchmark::DoNotOptimize(png->data());
  }
  state.counters["png_bytes"] = static_cast<double>(png_bytes);
}
BENCHMARK(BM_DesktopFramePreviewAndPng)->Unit(benchmark::kMillisecond);

void BM_PreviewOnly(benchmark::State& state) {
  const testing::Frame f = testing::desktop_like_frame(2560, 1440);
  for (auto _ : state) {
    auto p = to_rgba_preview(f.bytes, f.pitch, f.width, f.height);
    benchmark::DoNotOptimize(p->pixels.data());
  }
}
BENCHMARK(BM_PreviewOnly)->Unit(benchmark::kMillisecond);

void BM_NoisyFullPreviewRefused(benchmark::State& state) {
  const RgbaPreview p = testing::noise_preview(1280, 960);
  for (auto _ : state) {
    auto png = encode_png(p);
    benchmark::DoNotOptimize(png.has_value());
  }
}
BENCHMARK(BM_NoisyFullPreviewRefused)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vor::desktop

BENCHMARK_MAIN();
