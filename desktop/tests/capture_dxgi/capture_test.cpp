#include <gtest/gtest.h>

#include <functional>

#include "capture_dxgi/capture.h"
#include "desktop/tests/capture_dxgi/fake_duplication.h"
#include "desktop/tests/capture_dxgi/png_read.h"
#include "desktop/tests/capture_dxgi/test_images.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using testing::Bgra;
using testing::ScriptedAdapter;
using testing::FakeClock;
using testing::FakeDuplication;
using testing::FakeFrame;
using testing::ScriptedOutput;

constexpr Rect kCrop{100, 50, 420, 290};  // 320 x 240 on the first monitor
constexpr Rect kLeft{0, 0, 1920, 1080};
constexpr Rect kRight{1920, 0, 3840, 1080};

ScriptedOutput output_at(Rect r, std::uint32_t rotation = kDxgiModeRotationIdentity, bool attached = true) {
  ScriptedOutput o;
  o.desc = {r, attached, rotation};
  return o;
}

FakeFrame pointer_only_frame(std::chrono::milliseconds takes) {
  FakeFrame f;
  f.info = {0, 55, 0, false, 0};
  f.takes = takes;
  return f;
}

FakeFrame error_frame(std::int32_t hresult) {
  FakeFrame f;
  f.error = hresult;
  return f;
}

struct World {
  FakeClock clock;
  FakeDuplication dup{clock};
};

struct Case {
  const char* name;
  Rect rect;
  std::function<void(World&)> script;
  const char* code;
  bool capture_failure;  // the error carries a CaptureFailure
  std::function<void(const CaptureDiagnostic&)> diagnostic = nullptr;
};

void run_cases(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    c.script(w);
    auto r = capture_screen_dxgi(w.dup, w.clock, c.rect);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().outermost(), c.code);
    EXPECT_EQ(r.error().display_chain(), c.code) << "the mapped error is a plain message";
    const CaptureFailure* failure = r.error().find<CaptureFailure>();
    EXPECT_EQ(failure != nullptr, c.capture_failure);
    if (failure) {
      EXPECT_EQ(failure->code, c.code);
      ASSERT_TRUE(failure->diagnostic.dxgi.has_value());
      if (c.diagnostic) c.diagnostic(failure->diagnostic);
    }
    EXPECT_TRUE(w.dup.all_released()) << "live " << w.dup.live << ", frames " << w.dup.acquired << "/"
                                      << w.dup.released << ", maps " << w.dup.maps << "/" << w.dup.unmaps;
  }
}

TEST(CaptureScreenDxgi, RefusalsBeforeAnyFrameArePlainErrors) {
  run_cases({
      {"empty rectangle", Rect{10, 10, 10, 50}, [](World&) {}, "DESKTOP_WINDOW_BOUNDS_INVALID", false},
      {"a side over 8192", Rect{0, 0, 8193, 10}, [](World&) {}, "DESKTOP_WINDOW_BOUNDS_INVALID", false},
      {"one row over 64 MiB", Rect{0, 0, 8192, 2049}, [](World&) {}, "DESKTOP_CAPTURE_REGION_TOO_LARGE", false},
      {"exactly 64 MiB passes the size check", Rect{0, 0, 8192, 2048}, [](World&) {},
       "DESKTOP_CAPTURE_REGION_UNSUPPORTED", false},
      {"factory refused", kCrop, [](World& w) { w.dup.factory_error = testing::kFakeEFail; },
       "DESKTOP_CAPTURE_GPU_UNAVAILABLE", false},
      {"factory access denied", kCrop, [](World& w) { w.dup.factory_error = kEAccessDenied; },
       "DESKTOP_CAPTURE_ACCESS_DENIED", false},
      {"factory without an object", kCrop, [](World& w) { w.dup.factory_null = true; },
       "DESKTOP_CAPTURE_GPU_UNAVAILABLE", false},
      {"spanning two monitors", Rect{1800, 100, 2000, 300},
       [](World& w) { w.dup.adapters = {{{output_at(kLeft), output_at(kRight)}}}; },
       "DESKTOP_CAPTURE_REGION_UNSUPPORTED", false},
      {"partly off every monitor", Rect{-10, 0, 100, 100}, [](World&) {}, "DESKTOP_CAPTURE_REGION_UNSUPPORTED", false},
      {"the only output holding it is detached", kCrop,
       [](World& w) { w.dup.adapters = {{{output_at(kLeft, 1, false)}}}; }, "DESKTOP_CAPTURE_REGION_UNSUPPORTED",
       false},
      {"mirrored outputs on two adapters", kCrop,
       [](World& w) { w.dup.adapters = {{{output_at(kLeft)}}, {{output_at(kLeft)}}}; },
       "DESKTOP_CAPTURE_OUTPUT_AMBIGUOUS", false},
      {"portrait-rotated monitor", kCrop, [](World& w) { w.dup.adapters = {{{output_at(kLeft, 2)}}}; },
       "DESKTOP_CAPTURE_ROTATION_UNSUPPORTED", false},
      {"a rotated mirror after the chosen output is still ambiguous", kCrop,
       [](World& w) { w.dup.adapters = {{{output_at(kLeft), output_at(kLeft, 4)}}}; },
       "DESKTOP_CAPTURE_OUTPUT_AMBIGUOUS", false},
      {"adapter enumeration failed", kCrop,
       [](World& w) { w.dup.adapters_end_error = kDxgiErrorNotCurrentlyAvailable; }, "DESKTOP_CAPTURE_BUSY", false},
      {"output enumeration failed after the chosen output", kCrop,
       [](World& w) { w.dup.adapters[0].outputs_end_error = testing::kFakeEFail; },
       "DESKTOP_CAPTURE_GPU_UNAVAILABLE", false},
      {"output description failed", kCrop,
       [](World& w) { w.dup.adapters[0].outputs[0].desc_error = kDxgiErrorSessionDisconnected; },
       "DESKTOP_CAPTURE_SESSION_DISCONNECTED", false},
      {"device refused", kCrop, [](World& w) { w.dup.adapters[0].device_error = testing::kFakeENotImpl; },
       "DESKTOP_CAPTURE_GPU_UNAVAILABLE", false},
      {"device without a context", kCrop, [](World& w) { w.dup.adapters[0].no_context = true; },
       "DESKTOP_CAPTURE_GPU_UNAVAILABLE", false},
      {"duplication not implemented", kCrop,
       [](World& w) { w.dup.adapters[0].outputs[0].duplicate_error = testing::kFakeENotImpl; },
       "DESKTOP_CAPTURE_GPU_UNAVAILABLE", false},
      {"duplication busy (another program duplicates)", kCrop,
       [](World& w) { w.dup.adapters[0].outputs[0].duplicate_error = kDxgiErrorNotCurrentlyAvailable; },
       "DESKTOP_CAPTURE_BUSY", false},
      {"duplication without an object", kCrop, [](World& w) { w.dup.adapters[0].outputs[0].duplicate_null = true; },
       "DESKTOP_CAPTURE_GPU_UNAVAILABLE", false},
      {"access lost before any frame", kCrop,
       [](World& w) { w.dup.frames.push_back(error_frame(kDxgiErrorAccessLost)); }, "DESKTOP_CAPTURE_MODE_CHANGED",
       false},
      {"only time-outs for 1.8 s", kCrop, [](World&) {}, "DESKTOP_CAPTURE_FRAME_NOT_FRESH", false},
  });
}

TEST(CaptureScreenDxgi, ErrorsAfterTheFirstFrameCarryTheLatestDiagnostic) {
  run_cases({
      {"pointer-only frames until the deadline", kCrop,
       [](World& w) {
         for (int i = 0; i < 8; ++i) w.dup.frames.push_back(pointer_only_frame(300ms));
       },
       "DESKTOP_CAPTURE_FRAME_NOT_FRESH", true,
       [](const CaptureDiagnostic& d) {
         EXPECT_TRUE(d.pointer_only);
         EXPECT_EQ(d.last_present_time_qpc, "0");
         EXPECT_EQ(d.dxgi->acquire_attempts, 6u);  // 6 x 300 ms reach 1.8 s
         EXPECT_EQ(d.dxgi->pointer_only_frames_skipped, 6u);
         EXPECT_EQ(d.dxgi->last_mouse_update_time_qpc, "55");
         EXPECT_EQ(d.dxgi->source_texture, std::nullopt);
       }},
      {"eight frames without a new image", kCrop,
       [](World& w) {
         for (int i = 0; i < 9; ++i) {
           FakeFrame f = pointer_only_frame(1ms);
           f.info.last_present_time = i % 2 == 0 ? -5 : 100;  // negative, or presented without accumulation
           f.info.total_metadata_buffer_size = i % 2 == 0 ? 0 : 64;
           w.dup.frames.push_back(f);
         }
       },
       "DESKTOP_CAPTURE_FRAME_NOT_FRESH", true,
       [](const CaptureDiagnostic& d) {
         EXPECT_EQ(d.dxgi->acquire_attempts, 8u);
         EXPECT_EQ(d.dxgi->pointer_only_frames_skipped, 0u) << "none was pointer-only";
         EXPECT_EQ(d.last_present_time_qpc, "100");
         EXPECT_FALSE(d.pointer_only);
       }},
      {"protected content", kCrop,
       [](World& w) {
         FakeFrame f;
         f.info.protected_content_masked_out = true;
         w.dup.frames.push_back(f);
       },
       "DESKTOP_CAPTURE_PROTECTED_CONTENT", true,
       [](const CaptureDiagnostic& d) { EXPECT_TRUE(d.dxgi->protected_content_masked_out); }},
      {"access lost after a skipped frame", kCrop,
       [](World& w) {
         w.dup.frames.push_back(pointer_only_frame(5ms));
         w.dup.frames.push_back(error_frame(kDxgiErrorAccessLost));
       },
       "DESKTOP_CAPTURE_MODE_CHANGED", true,
       [](const CaptureDiagnostic& d) {
         EXPECT_EQ(d.dxgi->acquire_attempts, 1u);
         EXPECT_TRUE(d.pointer_only);
       }},
      {"surface one pixel narrower than the crop (mode changed)", Rect{1600, 900, 1920, 1080},
       [](World& w) {
         FakeFrame f;
         f.surface.width = 1919;
         w.dup.frames.push_back(f);
       },
       "DESKTOP_CAPTURE_MODE_CHANGED", true,
       [](const CaptureDiagnostic& d) {
         ASSERT_TRUE(d.dxgi->source_texture);
         EXPECT_EQ(d.dxgi->source_texture->width, 1919u);
         EXPECT_EQ(d.dxgi->staging_texture, std::nullopt);
       }},
      {"half-float surface", kCrop,
       [](World& w) {
         FakeFrame f;
         f.surface.format = 10;
         w.dup.frames.push_back(f);
       },
       "DESKTOP_CAPTURE_FORMAT_UNSUPPORTED", true,
       [](const CaptureDiagnostic& d) { EXPECT_EQ(d.dxgi->source_texture->format, 10); }},
      {"all-black crop", kCrop,
       [](World& w) {
         FakeFrame f;
         f.paint = [](std::uint32_t, std::uint32_t) { return Bgra{0, 0, 0, 0}; };
         w.dup.frames.push_back(f);
       },
       "DESKTOP_CAPTURE_BLACK_FRAME", true,
       [](const CaptureDiagnostic& d) {
         EXPECT_EQ(d.dxgi->raw_nonzero_rgb_pixels, 0u);
         EXPECT_EQ(d.dxgi->raw_nonzero_alpha_pixels, 0u);
         EXPECT_EQ(d.dxgi->row_pitch, 320u * 4);
       }},
      {"frame without a resource", kCrop,
       [](World& w) {
         FakeFrame f;
         f.null_resource = true;
         w.dup.frames.push_back(f);
       },
       "DESKTOP_CAPTURE_GPU_UNAVAILABLE", true},
      {"resource is not a texture", kCrop,
       [](World& w) {
         FakeFrame f;
         f.query_error = static_cast<std::int32_t>(0x80004002u);
         w.dup.frames.push_back(f);
       },
       "DESKTOP_CAPTURE_GPU_UNAVAILABLE", true},
      {"staging texture refused", kCrop,
       [](World& w) {
         w.dup.frames.push_back(FakeFrame{});
         w.dup.staging_error = kDxgiErrorNotCurrentlyAvailable;
       },
       "DESKTOP_CAPTURE_BUSY", true},
      {"staging texture without an object", kCrop,
       [](World& w) {
         w.dup.frames.push_back(FakeFrame{});
         w.dup.staging_null = true;
       },
       "DESKTOP_CAPTURE_GPU_UNAVAILABLE", true},
      {"still drawing past the deadline", kCrop,
       [](World& w) {
         w.dup.frames.push_back(FakeFrame{});
         for (int i = 0; i < 1000; ++i) w.dup.map_errors.push_back(kDxgiErrorWasStillDrawing);
       },
       "DESKTOP_CAPTURE_GPU_UNAVAILABLE", true,
       [](const CaptureDiagnostic& d) { EXPECT_EQ(d.dxgi->row_pitch, std::nullopt); }},
      {"map refused: device lost its output", kCrop,
       [](World& w) {
         w.dup.frames.push_back(FakeFrame{});
         w.dup.map_errors.push_back(kDxgiErrorAccessLost);
       },
       "DESKTOP_CAPTURE_MODE_CHANGED", true},
      {"mapped pointer null", kCrop,
       [](World& w) {
         w.dup.frames.push_back(FakeFrame{});
         w.dup.map_null = true;
       },
       "DESKTOP_CAPTURE_BUFFER_INVALID", true},
      {"mapped pitch beyond the slack", kCrop,
       [](World& w) {
         w.dup.frames.push_back(FakeFrame{});
         w.dup.row_pitch = 320 * 4 + 4096 + 67108864 / 240 + 1;
       },
       "DESKTOP_CAPTURE_BUFFER_INVALID", true,
       [](const CaptureDiagnostic& d) { EXPECT_EQ(d.dxgi->row_pitch, std::nullopt); }},
      {"mapped pitch shorter than a row", kCrop,
       [](World& w) {
         w.dup.frames.push_back(FakeFrame{});
         w.dup.row_pitch = 320 * 4 - 4;
       },
       "DESKTOP_CAPTURE_BUFFER_INVALID", true,
       [](const CaptureDiagnostic& d) { EXPECT_EQ(d.dxgi->row_pitch, 1276u); }},
      {"read ends past the deadline", kCrop,
       [](World& w) {
         FakeFrame f;
         f.takes = 1790ms;
         w.dup.frames.push_back(f);
         w.dup.map_takes = 20ms;
       },
       "DESKTOP_CAPTURE_FRAME_TIMEOUT", true,
       [](const CaptureDiagnostic& d) { EXPECT_EQ(d.dxgi->raw_nonzero_rgb_pixels, 320u * 240); }},
  });
}

TEST(CaptureScreenDxgi, FrameWaitsAreTheTimeLeftBetweenOneAnd400Ms) {
  struct Case {
    const char* name;
    std::vector<std::chrono::nanoseconds> timeouts;  // how long each scripted time-out takes
    std::vector<std::uint32_t> waits;
  };
  const Case cases[] = {
      {"every wait runs out", {}, {400, 400, 400, 400, 200}},
      {"1 ms left", {1799ms}, {400, 1}},
      {"0.4 ms left: at least 1 ms", {1799ms + 600us}, {400, 1}},
      {"a time-out that returns early", {100ms}, {400, 400, 400, 400, 400, 100}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    for (auto t : c.timeouts) {
      FakeFrame f = error_frame(kDxgiErrorWaitTimeout);
      f.takes = t;
      w.dup.frames.push_back(f);
    }
    auto r = capture_screen_dxgi(w.dup, w.clock, kCrop);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display_chain(), "DESKTOP_CAPTURE_FRAME_NOT_FRESH");
    EXPECT_EQ(w.dup.waits, c.waits);
    EXPECT_GE(w.clock.elapsed(), 1800ms);
  }
}

// Paints each surface pixel from its coordinates, so a crop shows where it came from.
Bgra coordinate_colour(std::uint32_t x, std::uint32_t y) {
  return Bgra{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(x + y), 0};
}

TEST(CaptureScreenDxgi, ASuccessfulCaptureReturnsTheCroppedPixelsAndItsDiagnostic) {
  World w;
  // The chosen output is adapter 1's third output, at the right of the desktop.
  w.dup.adapters = {{{output_at(kLeft)}}, {{output_at(Rect{0, 1080, 100, 1180}), output_at(Rect{-5, -5, 0, 0}),
                                             output_at(kRight)}}};
  w.dup.frames.push_back(pointer_only_frame(10ms));
  FakeFrame f;
  f.info = {987654321, -3, 2, false, 16};
  f.paint = coordinate_colour;
  w.dup.frames.push_back(f);
  w.dup.map_errors = {kDxgiErrorWasStillDrawing, kDxgiErrorWasStillDrawing};
  w.dup.row_padding = 64;
  const Rect crop{2020, 30, 2120, 90};  // 100 x 60 at (100, 30) of the right output

  auto r = capture_screen_dxgi(w.dup, w.clock, crop);
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_TRUE(w.dup.all_released());
  EXPECT_EQ(r->width, 100u);
  EXPECT_EQ(r->height, 60u);
  auto png = testing::read_png(r->png);
  ASSERT_TRUE(png);
  ASSERT_EQ(png->width, 100u);
  ASSERT_EQ(png->height, 60u);
  for (std::uint32_t y : {0u, 31u, 59u}) {
    for (std::uint32_t x : {0u, 50u, 99u}) {
      const Bgra source = coordinate_colour(100 + x, 30 + y);
      const std::uint8_t* p = png->at(x, y);
      EXPECT_EQ(p[0], source[2]) << x << "," << y;  // red
      EXPECT_EQ(p[1], source[1]);
      EXPECT_EQ(p[2], source[0]);
      EXPECT_EQ(p[3], 255) << "alpha forced opaque";
    }
  }
  EXPECT_EQ(w.dup.copies, (std::vector<CopyBox>{{100, 30, 0, 200, 90, 1}}));
  ASSERT_EQ(w.clock.sleeps().size(), 2u) << "two 3 ms waits while still drawing";
  EXPECT_EQ(w.clock.sleeps()[0], 3ms);

  const CaptureDiagnostic& d = r->diagnostic;
  EXPECT_EQ(d.method, "dxgi_desktop_duplication");
  EXPECT_EQ(d.last_present_time_qpc, "987654321");
  EXPECT_EQ(d.accumulated_frames, 2u);
  EXPECT_FALSE(d.pointer_only);
  EXPECT_EQ(d.crop_desktop_rect, crop);
  EXPECT_EQ(d.output_desktop_rect, kRight);
  ASSERT_TRUE(d.dxgi);
  EXPECT_EQ(d.dxgi->adapter_index, 1u);
  EXPECT_EQ(d.dxgi->output_index, 2u);
  EXPECT_EQ(d.dxgi->last_mouse_update_time_qpc, "-3");
  EXPECT_EQ(d.dxgi->total_metadata_buffer_size, 16u);
  EXPECT_EQ(d.dxgi->acquire_attempts, 2u);
  EXPECT_EQ(d.dxgi->pointer_only_frames_skipped, 1u);
  EXPECT_EQ(d.dxgi->source_texture, (TextureDiagnostic{1920, 1080, 87, 0, 0, 1}));
  EXPECT_EQ(d.dxgi->staging_texture, (TextureDiagnostic{100, 60, 87, 3, 0x20000, 1}));
  EXPECT_EQ(d.dxgi->row_pitch, 100u * 4 + 64);
  // Pixel (0, 0) of the crop would be black only where x, y and x + y wrap to 0.
  EXPECT_EQ(d.dxgi->raw_nonzero_rgb_pixels, 6000u);
  EXPECT_EQ(d.dxgi->raw_nonzero_alpha_pixels, 0u);
  ASSERT_EQ(w.dup.staging_descs.size(), 1u);
  EXPECT_EQ(w.dup.staging_descs[0],
            (TextureDesc{100, 60, 1, 1, 87, 1, 0, kD3d11UsageStaging, 0, kD3d11CpuAccessRead, 0}));
}

TEST(CaptureScreenDxgi, ACropThatEndsAtTheSurfacesEdgeIsRead) {
  World w;
  w.dup.frames.push_back(FakeFrame{});
  auto r = capture_screen_dxgi(w.dup, w.clock, Rect{1600, 900, 1920, 1080});
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(w.dup.copies, (std::vector<CopyBox>{{1600, 900, 0, 1920, 1080, 1}}));
}

TEST(CaptureScreenDxgi, TheScanLooksAtEveryOutputAndStopsEachListAtNotFound) {
  World w;
  w.dup.adapters = {{{output_at(kLeft), output_at(kRight)}}, {{}}};
  w.dup.frames.push_back(FakeFrame{});
  ASSERT_TRUE(capture_screen_dxgi(w.dup, w.clock, kCrop));
  const std::vector<std::string> scan(w.dup.calls.begin(), w.dup.calls.begin() + 8);
  EXPECT_EQ(scan, (std::vector<std::string>{"create_factory", "enum_adapter 0", "enum_output 0.0", "enum_output 0.1",
                                            "enum_output 0.2", "enum_adapter 1", "enum_output 1.0", "enum_adapter 2"}));
  EXPECT_EQ(w.dup.calls[8], "create_device 0");
  EXPECT_EQ(w.dup.calls.back(), "release_frame");
}

Result<std::vector<std::uint8_t>> refuse_large(const RgbaPreview& p) {
  if (p.width > kFallbackMaxWidth) return fail(Error::io(std::string(kCaptureTooLarge)));
  return encode_png(p);
}
Result<std::vector<std::uint8_t>> refuse_all(const RgbaPreview&) { return fail(Error::io(std::string(kCaptureTooLarge))); }

TEST(CaptureScreenDxgi, AnOverBoundPngIsEncodedOnceMoreAt640By480) {
  // A noisy 1280 x 960 crop: its PNG is over 1,433,600 bytes with the real encoder.
  World w;
  FakeFrame noisy;
  noisy.paint = [](std::uint32_t x, std::uint32_t y) {
    const std::uint32_t h = (x * 2654435761u) ^ (y * 2246822519u);
    return Bgra{static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h >> 16), 255};
  };
  w.dup.frames.push_back(noisy);
  auto r = capture_screen_dxgi(w.dup, w.clock, Rect{0, 0, 1280, 960});
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(r->width, 640u);
  EXPECT_EQ(r->height, 480u);
  EXPECT_LE(r->png.size(), kPngMaxBytes);
  auto png = testing::read_png(r->png);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, 640u);

  World v;
  v.dup.frames.push_back(FakeFrame{});
  auto s = capture_screen_dxgi(v.dup, v.clock, Rect{0, 0, 1920, 1080}, refuse_large);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->width, 640u);
  EXPECT_EQ(s->height, 360u);

  World u;
  u.dup.frames.push_back(FakeFrame{});
  auto t = capture_screen_dxgi(u.dup, u.clock, Rect{0, 0, 1920, 1080}, refuse_all);
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error().outermost(), "DESKTOP_CAPTURE_TOO_LARGE");
  ASSERT_NE(t.error().find<CaptureFailure>(), nullptr);
  EXPECT_TRUE(u.dup.all_released());
}

// The frame loop as the pixel proof runs it: its own attempt limit and wait,
// a guard pass at the start of every attempt, before every map try and
// after every read, and frames that it looks at and gives back.
TEST(RunFrameLoop, RunsWithTheCallersLimitsGuardAndVerdict) {
  World w;
  for (int i = 0; i < 3; ++i) w.dup.frames.push_back(FakeFrame{});
  w.dup.map_errors = {kDxgiErrorWasStillDrawing};
  auto session = open_duplication(w.dup, kCrop);
  ASSERT_TRUE(session);
  std::vector<std::string> log;
  int frames_seen = 0;
  FrameLoopOptions proof;
  proof.max_attempts = 32;
  proof.max_wait = 50ms;
  proof.guard = [&]() -> Status {
    log.push_back("guard after " + (w.dup.calls.empty() ? std::string() : w.dup.calls.back()));
    return {};
  };
  proof.use_frame = [&](const RgbaPreview& p, const CaptureDiagnostic& d) -> Result<bool> {
    log.push_back("use " + std::to_string(d.dxgi->acquire_attempts));
    EXPECT_EQ(p.width, 320u);
    return ++frames_seen == 2;
  };
  w.dup.calls.clear();
  auto used = run_frame_loop(*session, w.clock, kCrop, proof);
  ASSERT_TRUE(used) << used.error().display_chain();
  EXPECT_EQ(used->dxgi->acquire_attempts, 2u);
  EXPECT_EQ(log, (std::vector<std::string>{
                     "guard after ",                     // attempt 1
                     "guard after copy_subresource_region",  // before the first map try
                     "guard after map_read",              // before the second (still drawing)
                     "guard after unmap",                 // after the read
                     "use 1",
                     "guard after release_frame",         // attempt 2
                     "guard after copy_subresource_region",
                     "guard after unmap",
                     "use 2"}));
  EXPECT_EQ(w.dup.waits, (std::vector<std::uint32_t>{50, 50}));
  session = std::unexpected(Error());
  EXPECT_TRUE(w.dup.all_released());
  EXPECT_EQ(w.dup.frames.size(), 1u);
}

TEST(RunFrameLoop, AGuardFailureAfterAFrameLeavesAsACaptureFailure) {
  World w;
  w.dup.frames.push_back(FakeFrame{});
  int guards = 0;
  FrameLoopOptions proof;
  proof.max_attempts = 32;
  proof.max_wait = 50ms;
  proof.guard = [&]() -> Status {
    if (++guards == 3) return fail("DESKTOP_HUMAN_INPUT_CHANGED");  // the pass after the read
    return {};
  };
  proof.use_frame = [](const RgbaPreview&, const CaptureDiagnostic&) -> Result<bool> { return true; };
  {
    auto session = open_duplication(w.dup, kCrop);
    ASSERT_TRUE(session);
    auto used = run_frame_loop(*session, w.clock, kCrop, proof);
    ASSERT_FALSE(used);
    EXPECT_EQ(used.error().outermost(), "DESKTOP_HUMAN_INPUT_CHANGED");
    ASSERT_NE(used.error().find<CaptureFailure>(), nullptr);
    EXPECT_EQ(used.error().find<CaptureFailure>()->diagnostic.dxgi->raw_nonzero_rgb_pixels, 320u * 240);
  }
  EXPECT_TRUE(w.dup.all_released());

  World v;  // no frame yet: the guard's error stays plain
  proof.guard = []() -> Status { return fail("DESKTOP_STOP_REQUESTED"); };
  auto session = open_duplication(v.dup, kCrop);
  auto used = run_frame_loop(*session, v.clock, kCrop, proof);
  ASSERT_FALSE(used);
  EXPECT_EQ(used.error().find<CaptureFailure>(), nullptr);
  EXPECT_TRUE(v.dup.calls.back() == "duplicate");
}

TEST(RunFrameLoop, TheAttemptLimitEndsTheLoop) {
  World w;
  for (int i = 0; i < 40; ++i) w.dup.frames.push_back(FakeFrame{});
  FrameLoopOptions proof;
  proof.max_attempts = 32;
  proof.max_wait = 50ms;
  proof.use_frame = [](const RgbaPreview&, const CaptureDiagnostic&) -> Result<bool> { return false; };
  auto session = open_duplication(w.dup, kCrop);
  auto used = run_frame_loop(*session, w.clock, kCrop, proof);
  ASSERT_FALSE(used);
  EXPECT_EQ(used.error().outermost(), "DESKTOP_CAPTURE_FRAME_NOT_FRESH");
  EXPECT_EQ(used.error().find<CaptureFailure>()->diagnostic.dxgi->acquire_attempts, 32u);
  EXPECT_EQ(w.dup.frames.size(), 8u);
}

TEST(ToCaptureFailure, KeepsACodeAndDropsEverythingElse) {
  const CaptureDiagnostic d{.method = "dxgi_desktop_duplication"};
  const std::string ninety_nine = "DESKTOP_" + std::string(91, 'X');
  struct Case {
    Error error;
    std::string code;
  };
  const Case cases[] = {
      {Error::os(5).context("DESKTOP_CAPTURE_BUSY"), "DESKTOP_CAPTURE_BUSY"},
      {Error(ninety_nine), ninety_nine},
      {Error(ninety_nine + "X"), "DESKTOP_CAPTURE_GPU_UNAVAILABLE"},
      {Error("DESKTOP"), "DESKTOP_CAPTURE_GPU_UNAVAILABLE"},
      {Error("zlib stream error"), "DESKTOP_CAPTURE_GPU_UNAVAILABLE"},
  };
  for (const auto& c : cases) {
    const Error e = to_capture_failure(c.error, d);
    EXPECT_EQ(e.display_chain(), c.code);
    EXPECT_EQ(e.os_error(), std::nullopt);
    ASSERT_NE(e.find<CaptureFailure>(), nullptr);
    EXPECT_EQ(e.find<CaptureFailure>()->code, c.code);
  }
}

TEST(MapDxgiError, TheTable) {
  const std::pair<std::int32_t, const char*> cases[] = {
      {kDxgiErrorNotCurrentlyAvailable, "DESKTOP_CAPTURE_BUSY"},
      {kDxgiErrorAccessLost, "DESKTOP_CAPTURE_MODE_CHANGED"},
      {kDxgiErrorWaitTimeout, "DESKTOP_CAPTURE_FRAME_TIMEOUT"},
      {kDxgiErrorSessionDisconnected, "DESKTOP_CAPTURE_SESSION_DISCONNECTED"},
      {kEAccessDenied, "DESKTOP_CAPTURE_ACCESS_DENIED"},
      {kDxgiErrorWasStillDrawing, "DESKTOP_CAPTURE_GPU_UNAVAILABLE"},
      {testing::kFakeENotImpl, "DESKTOP_CAPTURE_GPU_UNAVAILABLE"},
      {0, "DESKTOP_CAPTURE_GPU_UNAVAILABLE"},
  };
  for (const auto& [hresult, code] : cases) EXPECT_EQ(map_dxgi_error(hresult).display_chain(), code);
}

}  // namespace
}  // namespace vor::desktop
