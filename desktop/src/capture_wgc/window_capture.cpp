#include "capture_wgc/window_capture.h"

#include <string>
#include <variant>

#include "capture_dxgi/png.h"
#include "native/capture_source.h"
#include "native/observation.h"

namespace vor::desktop {
namespace {

// What one capture opened, closed and released in this order when the
// capture ends, whichever way it ends: the mapping, the frame, the session,
// the frame pool, the `Closed` handler, every object, and last the runtime.
class OpenedObjects {
 public:
  explicit OpenedObjects(WindowCaptureSys& capture) : capture_(capture) {}
  OpenedObjects(const OpenedObjects&) = delete;
  OpenedObjects& operator=(const OpenedObjects&) = delete;
  ~OpenedObjects() {
    unmap();
    close_frame();
    if (session) capture_.close_session();
    if (pool) capture_.close_pool();
    if (handler) capture_.remove_closed_handler();
    capture_.release_objects();
    capture_.uninitialize_runtime();
  }

  void unmap() {
    if (mapped) capture_.unmap_staging();
    mapped = false;
  }
  void close_frame() {
    if (frame) capture_.close_frame();
    frame = false;
  }

  bool handler = false;
  bool pool = false;
  bool session = false;
  bool frame = false;
  bool mapped = false;

 private:
  WindowCaptureSys& capture_;
};

std::unexpected<Error> code(std::string_view c) { return fail(std::string(c)); }

// A size that passes the limits and equals the capture's reference size.
Status check_same_size(CaptureSize size, CaptureSize reference) {
  if (auto s = check_capture_size(size); !s) return s;
  if (size != reference) return code(kTargetChangedCode);
  return {};
}

bool texture_matches(const SurfaceDescription& d, CaptureSize reference) {
  return d.width == static_cast<std::uint32_t>(reference.width) &&
         d.height == static_cast<std::uint32_t>(reference.height) && d.format == kCapturePixelFormat &&
         d.sample_count == 1 && d.mip_levels == 1 && d.array_size == 1;
}

bool mapping_valid(const MappedSurface& m, CaptureSize reference) {
  const std::uint64_t width = static_cast<std::uint64_t>(reference.width);
  const std::uint64_t height = static_cast<std::uint64_t>(reference.height);
  return m.data != nullptr && m.row_pitch >= width * kBytesPerPixel &&
         height * m.row_pitch <= height * kMappedRowAllowance + kCaptureRegionMaxBytes;
}

// A frame is fresh when it was rendered after the capture started, not in
// the future, and at most 1.8 s ago.
bool frame_is_fresh(std::int64_t frame_time, std::int64_t capture_start, std::int64_t now) {
  return now >= frame_time && frame_time >= capture_start && frame_time > 0 &&
         now - frame_time <= kFrameMaxAge100ns;
}

}  // namespace

Status wgc_guard(const ClosedFlag& closed, const WindowCaptureContext& context, const Request& request) {
  if (closed.closed.load(std::memory_order_acquire)) return code(kWindowUnavailable);
  auto fresh =
      check_window_capture_source(context.ports, request, TargetPhase::kDuringCapture, context.check_session_ready);
  if (!fresh) return fail(std::move(fresh.error()));
  return {};
}

Result<WindowCaptureResult> capture_window_wgc(const WindowCaptureContext& context, const Request& request) {
  WindowCaptureSys& sys = context.capture;
  Clock& clock = context.ports.clock;
  const Clock::Monotonic deadline = clock.monotonic_now() + kWindowCaptureBudget;
  const auto past_deadline = [&] { return clock.monotonic_now() >= deadline; };

  auto source =
      check_window_capture_source(context.ports, request, TargetPhase::kDuringCapture, context.check_session_ready);
  if (!source) return fail(std::move(source.error()));
  const WindowHandle window = std::get<CaptureWindow>(request.action).window.handle;

  const HResult apartment = sys.initialize_runtime();
  if (apartment < 0) return fail(map_wgc_error("apartment", apartment));
  // S_FALSE (already initialized on this thread) is balanced like S_OK.
  OpenedObjects opened(sys);

  auto supported = sys.capture_supported();
  if (!supported) return fail(map_wgc_error("support_query", supported.error()));
  if (!*supported) return code(kCaptureWgcUnsupported);

  if (auto s = find_window_display(sys, window); !s) return fail(std::move(s.error()));

  if (auto s = sys.open_item_factory(); !s) return fail(map_wgc_error("item_factory", s.error()));
  auto item = sys.create_item(window);
  if (!item) return fail(map_wgc_error("create_for_window", item.error()));
  if (!*item) return fail(map_wgc_error("create_for_window", 0));

  const auto closed = std::make_shared<ClosedFlag>();
  if (auto s = sys.add_closed_handler(closed); !s) return fail(map_wgc_error("closed_subscription", s.error()));
  opened.handler = true;

  auto item_size = sys.item_size();
  if (!item_size) return fail(map_wgc_error("item_size", item_size.error()));
  if (auto s = check_capture_size(*item_size); !s) return fail(std::move(s.error()));
  const CaptureSize reference = *item_size;

  auto device = sys.create_device();
  if (!device) return fail(map_wgc_error("d3d_device", device.error()));
  if (!*device) return code(kCaptureGpuUnavailable);
  if (auto s = sys.open_dxgi_device(); !s) return fail(map_wgc_error("dxgi_device", s.error()));
  if (auto s = sys.create_winrt_device(); !s) return fail(map_wgc_error("winrt_device", s.error()));
  if (auto s = sys.open_winrt_device_interface(); !s) {
    return fail(map_wgc_error("winrt_device_interface", s.error()));
  }

  if (auto s = sys.create_frame_pool(reference); !s) return fail(map_wgc_error("frame_pool", s.error()));
  opened.pool = true;
  if (auto s = sys.create_session(); !s) return fail(map_wgc_error("capture_session", s.error()));
  opened.session = true;

  if (auto s = sys.require_border(); !s) return fail(map_wgc_error("require_border", s.error()));
  auto border = sys.border_required();
  if (!border) return fail(map_wgc_error("border_query", border.error()));
  if (!*border) return code(kCaptureBorderUnavailable);

  if (auto s = wgc_guard(*closed, context, request); !s) return fail(std::move(s.error()));
  auto capture_start = qpc_now_100ns(sys);
  if (!capture_start) return fail(std::move(capture_start.error()));
  if (auto s = sys.start_capture(); !s) return fail(map_wgc_error("start_capture", s.error()));

  // Poll the pool until a fresh frame of the reference size arrives.
  std::int64_t frame_time = 0;
  for (;;) {
    if (auto s = wgc_guard(*closed, context, request); !s) return fail(std::move(s.error()));
    if (past_deadline()) return code(kCaptureFrameTimeout);
    auto got = sys.next_frame();
    if (!got) return fail(map_wgc_error("next_frame", got.error()));
    if (!*got) {
      clock.sleep(kFramePollInterval);
      continue;
    }
    opened.frame = true;

    auto content = sys.frame_content_size();
    if (!content) return fail(map_wgc_error("frame_size", content.error()));
    if (auto s = check_same_size(*content, reference); !s) return fail(std::move(s.error()));
    auto item_now = sys.item_size();
    if (!item_now) return fail(map_wgc_error("item_size_after_frame", item_now.error()));
    if (auto s = check_same_size(*item_now, reference); !s) return fail(std::move(s.error()));
    auto rendered = sys.frame_time();
    if (!rendered) return fail(map_wgc_error("frame_time", rendered.error()));
    auto now = qpc_now_100ns(sys);
    if (!now) return fail(std::move(now.error()));
    if (frame_is_fresh(*rendered, *capture_start, *now)) {
      frame_time = *rendered;
      break;
    }
    clock.sleep(kFramePollInterval);
    opened.close_frame();
  }

  if (auto s = sys.open_frame_surface(); !s) return fail(map_wgc_error("frame_surface", s.error()));
  if (auto s = sys.open_surface_access(); !s) return fail(map_wgc_error("surface_access", s.error()));
  auto texture = sys.open_surface_texture();
  if (!texture) return fail(map_wgc_error("surface_texture", texture.error()));
  if (!texture_matches(*texture, reference)) return code(kCaptureBufferInvalid);

  auto staging = sys.create_staging_texture(*texture);
  if (!staging) return fail(map_wgc_error("staging_texture", staging.error()));
  if (!*staging) return code(kCaptureGpuUnavailable);
  sys.copy_to_staging();

  MappedSurface mapped;
  for (;;) {
    if (auto s = wgc_guard(*closed, context, request); !s) return fail(std::move(s.error()));
    if (past_deadline()) return code(kCaptureFrameTimeout);
    auto m = sys.map_staging();
    if (m) {
      mapped = *m;
      opened.mapped = true;
      break;
    }
    if (m.error() != kHrWasStillDrawing) return fail(map_wgc_error("staging_map", m.error()));
    clock.sleep(kMapPollInterval);
  }
  if (!mapping_valid(mapped, reference)) return code(kCaptureBufferInvalid);

  const auto width = static_cast<std::uint32_t>(reference.width);
  const auto height = static_cast<std::uint32_t>(reference.height);
  const std::span<const std::uint8_t> pixels(mapped.data, std::size_t{height} * mapped.row_pitch);
  auto preview = unpremultiply_preview(pixels, mapped.row_pitch, width, height);
  if (!preview) return fail(std::move(preview.error()));
  // A window capture has no smaller second try: a PNG over the bound fails.
  auto png = encode_png(*preview);
  if (!png) return fail(std::move(png.error()));
  opened.unmap();

  if (auto s = wgc_guard(*closed, context, request); !s) return fail(std::move(s.error()));
  if (auto s = find_window_display(sys, window); !s) return fail(std::move(s.error()));
  if (past_deadline()) return code(kCaptureFrameTimeout);
  auto final_size = sys.item_size();
  if (!final_size) return fail(map_wgc_error("final_size", final_size.error()));
  if (auto s = check_same_size(*final_size, reference); !s) return fail(std::move(s.error()));
  auto final_border = sys.border_required();
  if (!final_border) return fail(map_wgc_error("final_border", final_border.error()));
  if (!*final_border) return code(kCaptureBorderUnavailable);

  WindowCaptureResult result;
  result.png = std::move(*png);
  result.width = preview->width;
  result.height = preview->height;
  result.diagnostic.method = std::string(kWindowCaptureMethod);
  result.diagnostic.acquired_at = clock.utc_now();
  result.diagnostic.frame_time_100ns = std::to_string(frame_time);
  result.diagnostic.capture_start_100ns = std::to_string(*capture_start);
  result.diagnostic.source_width = width;
  result.diagnostic.source_height = height;
  result.diagnostic.border_required = true;
  result.diagnostic.coordinate_space = std::string(kWindowCoordinateSpace);
  return result;
}

}  // namespace vor::desktop
