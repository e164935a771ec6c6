// Cost of the PNG previews. The encoder is compared with libpng at its
// defaults (all five filters scored per row, zlib level 6) on the same
// desktop-like frames in the same run; after the table the run prints, per
// frame, the ratio of the median CPU times (libpng / ours: how many times faster
// ours is) and of the sizes (ours / libpng).
//
//   taskset -c 3 build/native/bin/capture_png_bench
//   taskset -c 3 build/native/bin/capture_png_bench --benchmark_filter=Encode
#include <benchmark/benchmark.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

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

// libpng with nothing but the image header set: its default filters,
// compression level, strategy and window.
std::vector<std::uint8_t> libpng_default_encode(const RgbaPreview& p) {
  std::vector<std::uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return {};
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(
      png, &out,
      [](png_structp s, png_bytep data, png_size_t n) {
        auto* o = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(s));
        o->insert(o->end(), data, data + n);
      },
      nullptr);
  png_set_IHDR(png, info, p.width, p.height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (std::uint32_t y = 0; y < p.height; ++y) {
    png_write_row(png, p.pixels.data() + std::size_t{y} * p.width * kBytesPerPixel);
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

struct Frame {
  const char* name;
  std::uint32_t width, height;
};
constexpr Frame kFrames[] = {{"1280x960", 1280, 960}, {"1280x720", 1280, 720}};
constexpr int kRepetitions = 9;

template <class Encode>
void encode_frame(benchmark::State& state, const Frame& frame, Encode encode) {
  const RgbaPreview p = testing::desktop_scene(frame.width, frame.height);
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes = encode(p);
    if (bytes == 0) {
      state.SkipWithError("encode failed");
      return;
    }
  }
  state.counters["png_bytes"] = static_cast<double>(bytes);
}

void register_encoders() {
  for (const Frame& frame : kFrames) {
    benchmark::RegisterBenchmark((std::string("Encode/ours/") + frame.name).c_str(),
                                 [frame](benchmark::State& s) {
                                   encode_frame(s, frame, [](const RgbaPreview& p) {
                                     auto png = encode_png(p);
                                     return png ? png->size() : 0;
                                   });
                                 })
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark((std::string("Encode/libpng/") + frame.name).c_str(),
                                 [frame](benchmark::State& s) {
                                   encode_frame(s, frame,
                                                [](const RgbaPreview& p) { return libpng_default_encode(p).size(); });
                                 })
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true);
  }
}

// The console table, and the medians of the Encode runs kept for the ratios.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal (a reporter of one's own does not read
  // --benchmark_color).
  RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      const std::string& name = run.run_name.function_name;
      auto bytes = run.counters.find("png_bytes");
      medians_[name] = {run.GetAdjustedCPUTime(), bytes == run.counters.end() ? 0.0 : bytes->second.value};
    }
  }

  void print_ratios() const {
    for (const Frame& frame : kFrames) {
      auto ours = medians_.find(std::string("Encode/ours/") + frame.name);
      auto libpng = medians_.find(std::string("Encode/libpng/") + frame.name);
      if (ours == medians_.end() || libpng == medians_.end() || ours->second.ms <= 0 || libpng->second.bytes <= 0) {
        continue;
      }
      std::printf("%s: ours %.2f ms %.0f bytes, libpng %.2f ms %.0f bytes: %.2f times as fast, %.3f of the size\n",
                  frame.name, ours->second.ms, ours->second.bytes, libpng->second.ms, libpng->second.bytes,
                  libpng->second.ms / ours->second.ms, ours->second.bytes / libpng->second.bytes);
    }
  }

 private:
  struct Median {
    double ms = 0;
    double bytes = 0;
  };
  std::map<std::string, Median> medians_;
};

}  // namespace
}  // namespace vor::desktop

int main(int argc, char** argv) {
  // Repetitions of the two encoders interleave, so that a change in the
  // machine's load during the run reaches both; a flag given on the command
  // line still wins.
  std::vector<char*> args(argv, argv + argc);
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  vor::desktop::register_encoders();
  vor::desktop::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
