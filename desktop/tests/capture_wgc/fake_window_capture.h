// A scripted window-capture port for the capture's tests.
//
// Every call is recorded by name in `calls`; a call whose name is in
// `failures` fails with that HRESULT. The performance counter runs at 10 MHz
// from `qpc_base` on the test's FakeClock (plus any scripted jumps), and the
// frames in `frames` arrive at their time after StartCapture; a frame's
// `SystemRelativeTime` is the counter at StartCapture plus its offset.
//
//   FakeWindowCapture capture(desk.clock);
//   capture.failures["staging_map"] = kHrDeviceRemoved;
#pragma once

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture_wgc/window_capture_port.h"
#include "support/fake_desktop.h"

namespace vor::desktop::testing {

struct FakeOutput {
  OutputDescription description{{0, 0, 1920, 1080}, true, 1};
  std::optional<HResult> enum_error;         // EnumOutputs fails at this index
  std::optional<HResult> description_error;  // GetDesc fails
  Hr<bool> color_interface = true;
  Hr<std::int32_t> color_space = 0;
};

struct FakeAdapter {
  std::vector<FakeOutput> outputs{FakeOutput{}};
  std::optional<HResult> enum_error;  // EnumAdapters1 fails at this index
};

struct FakeWindowFrame {
  std::chrono::nanoseconds arrives_after{0};  // after StartCapture
  std::optional<CaptureSize> content;         // default: the item's first size
  std::int64_t time_from_start_100ns = 0;     // SystemRelativeTime - counter at StartCapture
  std::int64_t qpc_jump_100ns = 0;            // the counter leaps ahead when it arrives
  std::function<void()> on_arrival;           // runs when TryGetNextFrame returns it
};

class FakeWindowCapture final : public WindowCaptureSys {
 public:
  explicit FakeWindowCapture(FakeClock& clock) : clock_(clock) {}

  // --- script ---
  std::map<std::string, HResult> failures;
  std::uint64_t monitor = 1;
  Hr<Rect> frame_bounds = Rect{100, 100, 740, 580};
  std::vector<FakeAdapter> adapters{FakeAdapter{}};
  std::optional<HResult> factory_error;
  std::int64_t qpc_base = 930'000'000'000;  // about 26 hours of uptime at 10 MHz
  std::int64_t qpc_frequency = 10'000'000;
  bool qpc_fails = false;
  HResult apartment = 0;
  Hr<bool> supported = true;
  bool item_present = true;
  bool device_present = true;
  bool staging_present = true;
  // get_Size of the item, call by call; the last repeats.
  std::vector<Hr<CaptureSize>> item_sizes{CaptureSize{640, 480}};
  // get_IsBorderRequired, call by call; the last repeats.
  std::vector<Hr<bool>> border_reads{true};
  std::deque<FakeWindowFrame> frames{FakeWindowFrame{}};
  std::optional<SurfaceDescription> texture;  // default: the item's first size, format 87
  // Map results before the mapping succeeds (e.g. DXGI_ERROR_WAS_STILL_DRAWING).
  std::deque<HResult> map_refusals;
  std::optional<MappedSurface> mapping;  // default: `pixels` at width x 4
  // The staging texture's bytes; default: opaque colours over the whole item.
  std::vector<std::uint8_t> pixels;
  std::function<void()> on_start_capture;

  // --- record ---
  std::vector<std::string> calls;
  std::shared_ptr<ClosedFlag> handler_flag;
  std::int64_t start_qpc_100ns = 0;
  int frames_delivered = 0;
  int maps = 0;  // successful mappings
  std::vector<std::string> closed_objects;  // "frame", "session", "pool" in closing order
  std::size_t count(std::string_view call) const {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
  }

  // --- WindowCaptureSys ---
  std::uint64_t monitor_from_window(WindowHandle) override { return note("monitor_from_window"), monitor; }
  Hr<Rect> extended_frame_bounds(WindowHandle) override { return note("extended_frame_bounds"), frame_bounds; }
  Hr<std::unique_ptr<DisplayFactory>> open_display_factory() override;
  std::optional<std::int64_t> performance_counter() override;
  std::optional<std::int64_t> performance_frequency() override {
    if (qpc_fails) return std::nullopt;
    return qpc_frequency;
  }
  HResult initialize_runtime() override { return note("initialize_runtime"), apartment; }
  void uninitialize_runtime() override { note("uninitialize_runtime"); }
  Hr<bool> capture_supported() override {
    if (auto hr = failing("support_query")) return hr_error(*hr);
    return supported;
  }
  Hr<void> open_item_factory() override { return step("item_factory"); }
  Hr<bool> create_item(WindowHandle) override { return present("create_for_window", item_present); }
  Hr<void> add_closed_handler(std::shared_ptr<ClosedFlag> flag) override {
    if (auto hr = failing("closed_subscription")) return hr_error(*hr);
    handler_flag = std::move(flag);
    return {};
  }
  void remove_closed_handler() override { note("remove_closed_handler"); }
  Hr<CaptureSize> item_size() override;
  Hr<bool> create_device() override { return present("d3d_device", device_present); }
  Hr<void> open_dxgi_device() override { return step("dxgi_device"); }
  Hr<void> create_winrt_device() override { return step("winrt_device"); }
  Hr<void> open_winrt_device_interface() override { return step("winrt_device_interface"); }
  Hr<void> create_frame_pool(CaptureSize size) override {
    pool_size = size;
    return step("frame_pool");
  }
  Hr<void> create_session() override { return step("capture_session"); }
  Hr<void> require_border() override { return step("require_border"); }
  Hr<bool> border_required() override;
  Hr<void> start_capture() override;
  Hr<bool> next_frame() override;
  Hr<CaptureSize> frame_content_size() override;
  Hr<std::int64_t> frame_time() override;
  Hr<void> open_frame_surface() override { return step("frame_surface"); }
  Hr<void> open_surface_access() override { return step("surface_access"); }
  Hr<SurfaceDescription> open_surface_texture() override;
  Hr<bool> create_staging_texture(const SurfaceDescription&) override {
    return present("staging_texture", staging_present);
  }
  void copy_to_staging() override { note("copy_to_staging"); }
  Hr<MappedSurface> map_staging() override;
  void unmap_staging() override { note("unmap_staging"); }
  void close_frame() override { note("close_frame"), closed_objects.push_back("frame"); }
  void close_session() override { note("close_session"), closed_objects.push_back("session"); }
  void close_pool() override { note("close_pool"), closed_objects.push_back("pool"); }
  void release_objects() override { note("release_objects"); }

  std::optional<CaptureSize> pool_size;

 private:
  void note(std::string call) { calls.push_back(std::move(call)); }
  std::optional<HResult> failing(const std::string& call) {
    note(call);
    auto it = failures.find(call);
    if (it == failures.end()) return std::nullopt;
    return it->second;
  }
  Hr<void> step(const std::string& call) {
    if (auto hr = failing(call)) return hr_error(*hr);
    return {};
  }
  Hr<bool> present(const std::string& call, bool value) {
    if (auto hr = failing(call)) return hr_error(*hr);
    return value;
  }
  CaptureSize first_size() const { return item_sizes.front().value_or(CaptureSize{}); }
  std::int64_t qpc_now() const;

  FakeClock& clock_;
  std::int64_t qpc_jumps_ = 0;
  std::optional<std::chrono::nanoseconds> started_at_;
  std::optional<FakeWindowFrame> current_;
  std::size_t item_size_calls_ = 0;
  std::size_t border_calls_ = 0;
};

}  // namespace vor::desktop::testing
