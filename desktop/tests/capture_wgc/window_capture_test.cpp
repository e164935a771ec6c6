// The whole window capture over the scripted desktop and capture port: each
// step's refusal with its code, phase and HRESULT, the frame wait, the
// final checks, the diagnostic, and that every path closes the frame, the
// session and the pool, removes the handler and releases everything once.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "capture_wgc/window_capture.h"
#include "expect_wgc_error.h"
#include "fake_window_capture.h"
#include "native/observation.h"
#include "png_reader.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using testing::FakeAdapter;
using testing::FakeDesktop;
using testing::FakeWindowFrame;
using testing::FakeOutput;
using testing::FakeWindowCapture;

constexpr HResult kHrClassNotRegistered = static_cast<HResult>(0x80040154);
constexpr HResult kHrNoInterface = static_cast<HResult>(0x80004002);
constexpr HResult kHrChangedMode = static_cast<HResult>(0x80010106);
constexpr HResult kHrProcNotFound = static_cast<HResult>(0x8007007F);
constexpr HResult kHrFail = static_cast<HResult>(0x80004005);

struct Rig {
  FakeDesktop desk;
  FakeWindowCapture capture{desk.clock};
  WindowHandle window = 0;
  Request request;

  Rig() {
    desk.add_process(100, {.session = 1, .created = 42});
    window = desk.add_window({.process_id = 100, .title = u"Doc", .rect = {100, 100, 740, 580}});
    desk.foreground = window;
    Window observed = snapshot_window(desk.ports(), window, 1, false).value();
    desk.clock.advance(100ms);
    request = Request{1, "cap-1", 1, CaptureWindow{observed}};
  }

  Result<WindowCaptureResult> run() {
    const DesktopPorts ports = desk.ports();
    const WindowCaptureContext context{ports, capture, [] { return Status{}; }};
    return capture_window_wgc(context, request);
  }

  // Scripts an item of w x h pixels whose every pixel is (b, g, r, a).
  void fill(std::int32_t w, std::int32_t h, std::array<std::uint8_t, 4> bgra) {
    capture.item_sizes = {CaptureSize{w, h}};
    capture.pixels.resize(std::size_t(w) * std::size_t(h) * 4);
    for (std::size_t i = 0; i < capture.pixels.size(); i += 4) {
      std::copy(bgra.begin(), bgra.end(), capture.pixels.begin() + i);
    }
  }
};

bool succeeded(const FakeWindowCapture& c, std::string_view call) {
  return c.count(call) == 1 && !c.failures.contains(std::string(call));
}

// Whatever happened, each opened object was closed once, in order, and the
// runtime was left exactly when it was entered.
void expect_everything_closed(const FakeWindowCapture& c, const std::string& name) {
  const bool runtime = c.count("initialize_runtime") == 1 && c.apartment >= 0;
  EXPECT_EQ(c.count("uninitialize_runtime"), runtime ? 1u : 0u) << name;
  EXPECT_EQ(c.count("release_objects"), runtime ? 1u : 0u) << name;
  EXPECT_EQ(c.count("close_frame"), static_cast<std::size_t>(c.frames_delivered)) << name;
  EXPECT_EQ(c.count("unmap_staging"), static_cast<std::size_t>(c.maps)) << name;
  EXPECT_EQ(c.count("close_session"), succeeded(c, "capture_session") ? 1u : 0u) << name;
  EXPECT_EQ(c.count("close_pool"), succeeded(c, "frame_pool") ? 1u : 0u) << name;
  EXPECT_EQ(c.count("remove_closed_handler"), succeeded(c, "closed_subscription") ? 1u : 0u) << name;
  if (!runtime) return;
  // The end of the call log: frame, session, pool, handler, objects, runtime.
  std::vector<std::string> expected_tail;
  if (!c.closed_objects.empty() && c.closed_objects.back() == "frame") expected_tail.push_back("close_frame");
  if (c.count("close_session")) expected_tail.push_back("close_session");
  if (c.count("close_pool")) expected_tail.push_back("close_pool");
  if (c.count("remove_closed_handler")) expected_tail.push_back("remove_closed_handler");
  expected_tail.push_back("release_objects");
  expected_tail.push_back("uninitialize_runtime");
  ASSERT_GE(c.calls.size(), expected_tail.size()) << name;
  const std::vector<std::string> tail(c.calls.end() - static_cast<std::ptrdiff_t>(expected_tail.size()), c.calls.end());
  EXPECT_EQ(tail, expected_tail) << name;
}

struct Case {
  const char* name;
  std::function<void(Rig&)> script;
  const char* code;
  const char* phase = "";  // "" = a plain error without WindowCaptureFailure
  HResult hr = 0;
};

TEST(CaptureWindowWgc, EachStepRefusesWithItsCodeAndClosesWhatItOpened) {
  const std::vector<Case> cases = {
      {"window source no longer eligible", [](Rig& r) { r.desk.window(r.window).cloaked = 1u; },
       "DESKTOP_CAPTURE_WINDOW_SOURCE_UNAVAILABLE"},
      {"apartment of another mode", [](Rig& r) { r.capture.apartment = kHrChangedMode; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "apartment", kHrChangedMode},
      {"capture class not registered", [](Rig& r) { r.capture.failures["support_query"] = kHrClassNotRegistered; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "support_query", kHrClassNotRegistered},
      {"IsSupported false", [](Rig& r) { r.capture.supported = false; }, "DESKTOP_CAPTURE_WGC_UNSUPPORTED"},
      {"HDR display", [](Rig& r) { r.capture.adapters[0].outputs[0].color_space = 12; },
       "DESKTOP_CAPTURE_FORMAT_UNSUPPORTED"},
      {"window straddling two monitors", [](Rig& r) {
         r.capture.adapters = {FakeAdapter{{FakeOutput{{{0, 0, 1920, 1080}, true, 1}},
                                            FakeOutput{{{1920, 0, 3840, 1080}, true, 2}}}}};
         r.capture.frame_bounds = Rect{1600, 100, 2240, 580};
       }, "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
      {"item factory denied", [](Rig& r) { r.capture.failures["item_factory"] = kHrAccessDenied; },
       "DESKTOP_CAPTURE_ACCESS_DENIED", "item_factory", kHrAccessDenied},
      {"CreateForWindow fails", [](Rig& r) { r.capture.failures["create_for_window"] = kHrFail; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "create_for_window", kHrFail},
      {"CreateForWindow gives no item", [](Rig& r) { r.capture.item_present = false; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "create_for_window", 0},
      {"Closed subscription fails", [](Rig& r) { r.capture.failures["closed_subscription"] = kHrFail; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "closed_subscription", kHrFail},
      {"item size fails", [](Rig& r) { r.capture.failures["item_size"] = kHrFail; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "item_size", kHrFail},
      {"item of 5000 x 4000", [](Rig& r) { r.capture.item_sizes = {CaptureSize{5000, 4000}}; },
       "DESKTOP_CAPTURE_REGION_TOO_LARGE"},
      {"item 8193 wide", [](Rig& r) { r.capture.item_sizes = {CaptureSize{8193, 10}}; },
       "DESKTOP_CAPTURE_REGION_TOO_LARGE"},
      {"item without height", [](Rig& r) { r.capture.item_sizes = {CaptureSize{10, 0}}; },
       "DESKTOP_CAPTURE_REGION_TOO_LARGE"},
      {"device creation fails", [](Rig& r) { r.capture.failures["d3d_device"] = kHrFail; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "d3d_device", kHrFail},
      {"no device", [](Rig& r) { r.capture.device_present = false; }, "DESKTOP_CAPTURE_GPU_UNAVAILABLE"},
      {"no IDXGIDevice", [](Rig& r) { r.capture.failures["dxgi_device"] = kHrNoInterface; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "dxgi_device", kHrNoInterface},
      {"no interop export", [](Rig& r) { r.capture.failures["winrt_device"] = kHrProcNotFound; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "winrt_device", kHrProcNotFound},
      {"no IDirect3DDevice", [](Rig& r) { r.capture.failures["winrt_device_interface"] = kHrNoInterface; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "winrt_device_interface", kHrNoInterface},
      {"frame pool fails", [](Rig& r) { r.capture.failures["frame_pool"] = kHrDeviceRemoved; },
       "DESKTOP_CAPTURE_MODE_CHANGED", "frame_pool", kHrDeviceRemoved},
      {"session fails", [](Rig& r) { r.capture.failures["capture_session"] = kHrFail; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "capture_session", kHrFail},
      {"border interface missing", [](Rig& r) { r.capture.failures["require_border"] = kHrNoInterface; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "require_border", kHrNoInterface},
      {"border query fails", [](Rig& r) { r.capture.failures["border_query"] = kHrFail; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "border_query", kHrFail},
      {"border reads back false", [](Rig& r) { r.capture.border_reads = {false}; },
       "DESKTOP_CAPTURE_BORDER_UNAVAILABLE"},
      {"performance counter fails", [](Rig& r) { r.capture.qpc_fails = true; }, "DESKTOP_CAPTURE_FRAME_NOT_FRESH"},
      {"StartCapture fails", [](Rig& r) { r.capture.failures["start_capture"] = kHrAccessDenied; },
       "DESKTOP_CAPTURE_ACCESS_DENIED", "start_capture", kHrAccessDenied},
      {"TryGetNextFrame fails", [](Rig& r) { r.capture.failures["next_frame"] = kHrDeviceReset; },
       "DESKTOP_CAPTURE_MODE_CHANGED", "next_frame", kHrDeviceReset},
      {"no frame within 1.8 s", [](Rig& r) { r.capture.frames.clear(); }, "DESKTOP_CAPTURE_FRAME_TIMEOUT"},
      {"frame content size fails", [](Rig& r) { r.capture.failures["frame_size"] = kHrFail; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "frame_size", kHrFail},
      {"frame of another size", [](Rig& r) { r.capture.frames[0].content = CaptureSize{641, 480}; },
       "DESKTOP_TARGET_CHANGED"},
      {"frame over the pixel limit", [](Rig& r) { r.capture.frames[0].content = CaptureSize{5000, 4000}; },
       "DESKTOP_CAPTURE_REGION_TOO_LARGE"},
      {"item resized between reference and frame",
       [](Rig& r) { r.capture.item_sizes = {CaptureSize{640, 480}, CaptureSize{800, 480}}; },
       "DESKTOP_TARGET_CHANGED"},
      {"item size after the frame fails",
       [](Rig& r) { r.capture.item_sizes = {CaptureSize{640, 480}, hr_error(kHrFail)}; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "item_size_after_frame", kHrFail},
      {"frame time fails", [](Rig& r) { r.capture.failures["frame_time"] = kHrFail; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "frame_time", kHrFail},
      {"surface fails", [](Rig& r) { r.capture.failures["frame_surface"] = kHrFail; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "frame_surface", kHrFail},
      {"no DXGI interface access", [](Rig& r) { r.capture.failures["surface_access"] = kHrNoInterface; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "surface_access", kHrNoInterface},
      {"no texture", [](Rig& r) { r.capture.failures["surface_texture"] = kHrNoInterface; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "surface_texture", kHrNoInterface},
      {"texture of another format", [](Rig& r) { r.capture.texture = SurfaceDescription{640, 480, 28, 1, 1, 1, 0}; },
       "DESKTOP_CAPTURE_BUFFER_INVALID"},
      {"texture of another width", [](Rig& r) { r.capture.texture = SurfaceDescription{600, 480, 87, 1, 1, 1, 0}; },
       "DESKTOP_CAPTURE_BUFFER_INVALID"},
      {"multisampled texture", [](Rig& r) { r.capture.texture = SurfaceDescription{640, 480, 87, 1, 1, 4, 0}; },
       "DESKTOP_CAPTURE_BUFFER_INVALID"},
      {"texture with mips", [](Rig& r) { r.capture.texture = SurfaceDescription{640, 480, 87, 2, 1, 1, 0}; },
       "DESKTOP_CAPTURE_BUFFER_INVALID"},
      {"texture array", [](Rig& r) { r.capture.texture = SurfaceDescription{640, 480, 87, 1, 2, 1, 0}; },
       "DESKTOP_CAPTURE_BUFFER_INVALID"},
      {"staging texture fails", [](Rig& r) { r.capture.failures["staging_texture"] = kHrFail; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "staging_texture", kHrFail},
      {"no staging texture", [](Rig& r) { r.capture.staging_present = false; }, "DESKTOP_CAPTURE_GPU_UNAVAILABLE"},
      {"device removed at the mapping", [](Rig& r) { r.capture.failures["staging_map"] = kHrDeviceRemoved; },
       "DESKTOP_CAPTURE_MODE_CHANGED", "staging_map", kHrDeviceRemoved},
      {"still drawing until the deadline",
       [](Rig& r) { r.capture.map_refusals.assign(1000, kHrWasStillDrawing); }, "DESKTOP_CAPTURE_FRAME_TIMEOUT"},
      {"rows shorter than the width", [](Rig& r) {
         r.capture.pixels.assign(640 * 480 * 4, 0x80);
         r.capture.mapping = MappedSurface{r.capture.pixels.data(), 640 * 4 - 4};
       }, "DESKTOP_CAPTURE_BUFFER_INVALID"},
      {"no mapped pointer", [](Rig& r) { r.capture.mapping = MappedSurface{nullptr, 640 * 4}; },
       "DESKTOP_CAPTURE_BUFFER_INVALID"},
      {"row pitch past the mapping allowance", [](Rig& r) {
         // 480 rows of 144,000 bytes: 69,120,000 > 480 x 4096 + 64 MiB.
         r.capture.pixels.assign(16, 0x80);
         r.capture.mapping = MappedSurface{r.capture.pixels.data(), 144'000};
       }, "DESKTOP_CAPTURE_BUFFER_INVALID"},
      {"fully transparent window", [](Rig& r) { r.fill(640, 480, {0, 0, 0, 0}); }, "DESKTOP_CAPTURE_BLACK_FRAME"},
      {"PNG over the bound, no smaller retry", [](Rig& r) {
         r.fill(1280, 960, {0, 0, 0, 255});
         std::mt19937 rng(5);
         for (std::size_t i = 0; i < r.capture.pixels.size(); ++i) {
           if (i % 4 != 3) r.capture.pixels[i] = static_cast<std::uint8_t>(rng());
         }
       }, "DESKTOP_CAPTURE_TOO_LARGE"},
      {"window moved off its display by the end", [](Rig& r) { r.capture.on_start_capture = [&r] { r.capture.monitor = 0; }; },
       "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
      {"final size fails", [](Rig& r) {
         r.capture.item_sizes = {CaptureSize{640, 480}, CaptureSize{640, 480}, hr_error(kHrFail)};
       }, "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "final_size", kHrFail},
      {"resized by the end", [](Rig& r) {
         r.capture.item_sizes = {CaptureSize{640, 480}, CaptureSize{640, 480}, CaptureSize{640, 400}};
       }, "DESKTOP_TARGET_CHANGED"},
      {"final border fails", [](Rig& r) { r.capture.border_reads = {true, hr_error(kHrFail)}; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "final_border", kHrFail},
      {"border dropped by the end", [](Rig& r) { r.capture.border_reads = {true, false}; },
       "DESKTOP_CAPTURE_BORDER_UNAVAILABLE"},
  };
  for (const Case& c : cases) {
    Rig rig;
    c.script(rig);
    auto shot = rig.run();
    ASSERT_FALSE(shot) << c.name;
    testing::expect_wgc_error(shot.error(), c.code, c.phase, c.hr, c.name);
    expect_everything_closed(rig.capture, c.name);
  }
}

TEST(CaptureWindowWgc, RefusalsBeforeTheItemCreateNoItem) {
  const std::vector<std::function<void(Rig&)>> scripts = {
      [](Rig& r) { r.capture.adapters[0].outputs[0].color_space = 12; },  // HDR
      [](Rig& r) { r.capture.supported = false; },
      [](Rig& r) { r.capture.failures["support_query"] = kHrClassNotRegistered; },
  };
  for (const auto& script : scripts) {
    Rig rig;
    script(rig);
    ASSERT_FALSE(rig.run());
    EXPECT_EQ(rig.capture.count("item_factory"), 0u);
    EXPECT_EQ(rig.capture.count("create_for_window"), 0u);
    EXPECT_EQ(rig.capture.count("d3d_device"), 0u);
  }
  Rig large;
  large.capture.item_sizes = {CaptureSize{5000, 4000}};
  ASSERT_FALSE(large.run());
  EXPECT_EQ(large.capture.count("d3d_device"), 0u) << "no device for an item over the limit";
}

TEST(CaptureWindowWgc, CapturesAFreshFrameWithItsDiagnostic) {
  Rig rig;
  rig.fill(2560, 1440, {0x10, 0x20, 0x30, 0xFF});
  rig.capture.frames = {FakeWindowFrame{.arrives_after = 35ms, .time_from_start_100ns = 250'000}};
  const Time begun = rig.desk.clock.utc_now();
  auto shot = rig.run();
  ASSERT_TRUE(shot) << shot.error().display_chain();
  EXPECT_EQ(shot->width, 1280u);
  EXPECT_EQ(shot->height, 720u);
  const auto png = testing::read_png(shot->png);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, 1280u);
  EXPECT_EQ(png->height, 720u);
  EXPECT_EQ(std::vector<std::uint8_t>(png->at(640, 360), png->at(640, 360) + 4),
            (std::vector<std::uint8_t>{0x30, 0x20, 0x10, 0xFF}));

  const WindowCaptureDiagnostic& d = shot->diagnostic;
  EXPECT_EQ(d.method, "windows_graphics_capture");
  EXPECT_EQ(d.coordinate_space, "window_source_pixels_not_input_coordinates");
  EXPECT_TRUE(d.border_required);
  EXPECT_EQ(d.source_width, 2560u);
  EXPECT_EQ(d.source_height, 1440u);
  EXPECT_EQ(d.capture_start_100ns, std::to_string(rig.capture.start_qpc_100ns));
  EXPECT_EQ(d.frame_time_100ns, std::to_string(rig.capture.start_qpc_100ns + 250'000));
  // The counter began at 9.3e11 (a day of uptime) plus the capture's first 100 ms.
  EXPECT_EQ(rig.capture.start_qpc_100ns, 930'000'000'000 + 1'000'000);
  EXPECT_EQ(d.acquired_at, rig.desk.clock.utc_now());
  EXPECT_GE(d.acquired_at, begun + 30ms);

  EXPECT_EQ(rig.capture.pool_size, (CaptureSize{2560, 1440}));
  EXPECT_EQ(rig.capture.count("require_border"), 1u);
  EXPECT_EQ(rig.capture.count("border_query"), 2u);
  EXPECT_EQ(rig.capture.count("item_size"), 3u);
  EXPECT_EQ(rig.capture.count("open_display_factory"), 2u) << "the display is checked again at the end";
  // The frame wait polls every 10 ms.
  for (auto s : rig.desk.clock.sleeps()) EXPECT_EQ(s, 10ms);
  EXPECT_EQ(rig.desk.clock.sleeps().size(), 4u);
  expect_everything_closed(rig.capture, "success");
}

TEST(CaptureWindowWgc, PremultipliedPixelsComeBackWithStraightAlpha) {
  Rig rig;
  rig.fill(64, 32, {0, 0, 64, 128});
  auto shot = rig.run();
  ASSERT_TRUE(shot) << shot.error().display_chain();
  const auto png = testing::read_png(shot->png);
  ASSERT_TRUE(png);
  for (std::uint32_t y = 0; y < png->height; ++y) {
    for (std::uint32_t x = 0; x < png->width; ++x) {
      ASSERT_EQ(std::vector<std::uint8_t>(png->at(x, y), png->at(x, y) + 4),
                (std::vector<std::uint8_t>{127, 0, 0, 128}))
          << x << "," << y;
    }
  }
}

TEST(CaptureWindowWgc, StaleFramesAreSkippedAndClosedUntilAFreshOne) {
  const std::vector<FakeWindowFrame> stale = {
      {.time_from_start_100ns = -1},                                      // rendered before the start
      {.arrives_after = 20ms, .time_from_start_100ns = 5, .qpc_jump_100ns = 18'000'010},  // now 1.8 s past it
      {.arrives_after = 40ms, .time_from_start_100ns = 3'000'000'000},    // from the future
  };
  {
    Rig rig;
    rig.capture.frames.assign(stale.begin(), stale.end());
    auto shot = rig.run();
    ASSERT_FALSE(shot);
    EXPECT_EQ(shot.error().outermost(), "DESKTOP_CAPTURE_FRAME_TIMEOUT");
    EXPECT_EQ(rig.capture.frames_delivered, 3);
    EXPECT_EQ(rig.capture.count("frame_surface"), 0u) << "no stale frame is read";
    EXPECT_GE(rig.desk.clock.elapsed(), 100ms + 1800ms);
    expect_everything_closed(rig.capture, "stale frames");
  }
  {
    Rig rig;
    rig.capture.frames.assign(stale.begin(), stale.end());
    // The counter is 1.8 s ahead since the second frame: this one is 50 ms old.
    rig.capture.frames.push_back({.arrives_after = 60ms, .time_from_start_100ns = 18'100'010});
    auto shot = rig.run();
    ASSERT_TRUE(shot) << shot.error().display_chain();
    EXPECT_EQ(rig.capture.frames_delivered, 4);
    EXPECT_EQ(shot->diagnostic.frame_time_100ns, std::to_string(rig.capture.start_qpc_100ns + 18'100'010));
    expect_everything_closed(rig.capture, "fresh after stale");
  }
}

TEST(CaptureWindowWgc, MappingWaitsWhileTheCopyIsStillDrawing) {
  Rig rig;
  rig.capture.map_refusals = {kHrWasStillDrawing, kHrWasStillDrawing};
  auto shot = rig.run();
  ASSERT_TRUE(shot) << shot.error().display_chain();
  EXPECT_EQ(rig.capture.count("staging_map"), 3u);
  EXPECT_EQ(rig.desk.clock.sleeps(), (std::vector<std::chrono::nanoseconds>{3ms, 3ms}));
}

TEST(CaptureWindowWgc, ClosedFromAnotherThreadEndsTheWait) {
  Rig rig;
  rig.capture.frames = {FakeWindowFrame{.arrives_after = 500ms}};
  rig.capture.on_start_capture = [&] {
    std::thread([flag = rig.capture.handler_flag] { flag->closed.store(true, std::memory_order_release); }).join();
  };
  auto shot = rig.run();
  ASSERT_FALSE(shot);
  EXPECT_EQ(shot.error().outermost(), "DESKTOP_WINDOW_UNAVAILABLE");
  EXPECT_EQ(rig.capture.count("next_frame"), 0u);
  expect_everything_closed(rig.capture, "closed");
  // The handler may still fire after the capture: its flag is still alive.
  ASSERT_TRUE(rig.capture.handler_flag);
  std::thread([flag = rig.capture.handler_flag] { flag->closed.store(true); }).join();
  EXPECT_EQ(rig.capture.handler_flag.use_count(), 1);
}

TEST(CaptureWindowWgc, TargetCheckedAtEveryWait) {
  Rig rig;
  rig.capture.frames = {FakeWindowFrame{.arrives_after = 200ms}};
  rig.capture.on_start_capture = [&] { rig.desk.window(rig.window).rect.left += 4; };
  auto shot = rig.run();
  ASSERT_FALSE(shot);
  EXPECT_EQ(shot.error().outermost(), "DESKTOP_TARGET_CHANGED");
  const auto* t = shot.error().find<TargetChanged>();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->diagnostic.phase, TargetPhase::kDuringCapture);
  EXPECT_TRUE(t->diagnostic.bounds_changed);
  expect_everything_closed(rig.capture, "moved");
}

TEST(CaptureWindowWgc, AnAlreadyInitializedRuntimeIsStillLeft) {
  Rig rig;
  rig.capture.apartment = 1;  // S_FALSE
  ASSERT_TRUE(rig.run());
  EXPECT_EQ(rig.capture.count("uninitialize_runtime"), 1u);
  EXPECT_EQ(rig.capture.calls.back(), "uninitialize_runtime");
}

}  // namespace
}  // namespace vor::desktop
