#include "capture_dxgi/capture.h"

#include <algorithm>
#include <optional>
#include <span>

#include "native/observation.h"

namespace vor::desktop {
namespace {

Error code_error(std::string_view code) { return Error(std::string(code)); }

bool contains(const Rect& outer, const Rect& inner) {
  return outer.left <= inner.left && outer.top <= inner.top && outer.right >= inner.right &&
         outer.bottom >= inner.bottom;
}

TextureDiagnostic texture_diagnostic(const TextureDesc& d) {
  return {d.width, d.height, d.format, d.usage, d.cpu_access_flags, d.sample_count};
}

// An acquired frame: its resource is dropped and the frame released (once)
// when the object goes, on every path.
class HeldFrame {
 public:
  HeldFrame(OutputDuplication& duplication, std::unique_ptr<FrameResource> resource)
      : duplication_(duplication), resource_(std::move(resource)) {}
  ~HeldFrame() {
    resource_.reset();
    duplication_.release_frame();
  }
  HeldFrame(const HeldFrame&) = delete;
  HeldFrame& operator=(const HeldFrame&) = delete;
  FrameResource* resource() const { return resource_.get(); }

 private:
  OutputDuplication& duplication_;
  std::unique_ptr<FrameResource> resource_;
};

// Unmaps a mapped texture when the object goes.
class MappedGuard {
 public:
  MappedGuard(D3dContext& context, Texture2D& texture) : context_(context), texture_(texture) {}
  ~MappedGuard() { context_.unmap(texture_); }
  MappedGuard(const MappedGuard&) = delete;
  MappedGuard& operator=(const MappedGuard&) = delete;

 private:
  D3dContext& context_;
  Texture2D& texture_;
};

std::uint32_t wait_milliseconds(Clock::Monotonic now, Clock::Monotonic deadline, std::chrono::milliseconds max_wait) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
  return static_cast<std::uint32_t>(std::clamp(left, kMinFrameWait, max_wait).count());
}

// The counts of pixels whose colour bytes, and whose alpha byte, are not all
// zero, over width x height pixels rows `pitch` apart.
void count_raw_pixels(std::span<const std::uint8_t> region, std::uint32_t pitch, std::uint32_t width,
                      std::uint32_t height, DxgiFrameDiagnostic& dxgi) {
  std::uint64_t rgb = 0;
  std::uint64_t alpha = 0;
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint8_t* row = region.data() + std::size_t{y} * pitch;
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint8_t* p = row + std::size_t{x} * kBytesPerPixel;
      rgb += (p[0] | p[1] | p[2]) != 0;
      alpha += p[3] != 0;
    }
  }
  dxgi.raw_nonzero_rgb_pixels = rgb;
  dxgi.raw_nonzero_alpha_pixels = alpha;
}

// The geometry checks of the preview conversion, for the raw counts that run
// before it.
bool region_geometry_valid(std::size_t bytes, std::uint32_t pitch, std::uint32_t width, std::uint32_t height) {
  return width > 0 && height > 0 && std::uint64_t{width} * height * kBytesPerPixel <= kCaptureRegionMaxBytes &&
         std::uint64_t{pitch} >= std::uint64_t{width} * kBytesPerPixel && bytes >= std::uint64_t{pitch} * height;
}

}  // namespace

Error to_capture_failure(const Error& error, const CaptureDiagnostic& diagnostic) {
  const std::string& text = error.outermost();
  const bool usable = text.size() >= 8 && text.size() <= 99 && text.starts_with("DESKTOP_");
  std::string code = usable ? text : std::string(kCaptureGpuUnavailable);
  return Error::with(code, CaptureFailure{code, diagnostic});
}

Error map_dxgi_error(std::int32_t hresult) {
  switch (hresult) {
    case kDxgiErrorNotCurrentlyAvailable: return code_error(kCaptureBusy);
    case kDxgiErrorAccessLost: return code_error(kCaptureModeChanged);
    case kDxgiErrorWaitTimeout: return code_error(kCaptureFrameTimeout);
    case kDxgiErrorSessionDisconnected: return code_error(kCaptureSessionDisconnected);
    case kEAccessDenied: return code_error(kCaptureAccessDenied);
    default: return code_error(kCaptureGpuUnavailable);
  }
}

Result<DuplicationSession> open_duplication(DuplicationSys& sys, const Rect& rect) {
  DuplicationSession session;
  auto factory = sys.create_factory();
  if (!factory) return fail(map_dxgi_error(factory.error()));
  if (!*factory) return fail(code_error(kCaptureGpuUnavailable));
  session.factory = std::move(*factory);

  for (std::uint32_t a = 0; a < kMaxAdapters; ++a) {
    auto adapter = session.factory->enum_adapter(a);
    if (!adapter && adapter.error() == kDxgiErrorNotFound) break;
    if (!adapter) return fail(map_dxgi_error(adapter.error()));
    if (!*adapter) return fail(code_error(kCaptureGpuUnavailable));
    bool chosen_here = false;
    for (std::uint32_t o = 0; o < kMaxOutputsPerAdapter; ++o) {
      auto output = (*adapter)->enum_output(o);
      if (!output && output.error() == kDxgiErrorNotFound) break;
      if (!output) return fail(map_dxgi_error(output.error()));
      if (!*output) return fail(code_error(kCaptureGpuUnavailable));
      auto desc = (*output)->desc();
      if (!desc) return fail(map_dxgi_error(desc.error()));
      if (!desc->attached || !contains(desc->desktop, rect)) continue;
      if (session.output) return fail(code_error(kCaptureOutputAmbiguous));
      if (desc->rotation != kDxgiModeRotationIdentity) return fail(code_error(kCaptureRotationUnsupported));
      session.output = std::move(*output);
      session.adapter_index = a;
      session.output_index = o;
      session.output_rect = desc->desktop;
      chosen_here = true;
    }
    if (chosen_here) session.adapter = std::move(*adapter);
  }
  if (!session.output) return fail(code_error(kCaptureRegionUnsupported));

  auto created = session.adapter->create_device();
  if (!created) return fail(map_dxgi_error(created.error()));
  if (!created->device || !created->context) return fail(code_error(kCaptureGpuUnavailable));
  session.device = std::move(created->device);
  session.context = std::move(created->context);

  auto duplication = session.output->duplicate(*session.device);
  if (!duplication) return fail(map_dxgi_error(duplication.error()));
  if (!*duplication) return fail(code_error(kCaptureGpuUnavailable));
  session.duplication = std::move(*duplication);
  return session;
}

Result<RgbaPreview> read_duplicated_frame(FrameResource* frame, D3dDevice& device, D3dContext& context,
                                          const Rect& rect, std::uint32_t width, std::uint32_t height,
                                          const Rect& output_rect, Clock::Monotonic deadline, Clock& clock,
                                          CaptureDiagnostic& diagnostic, const std::function<Status()>& guard) {
  DxgiFrameDiagnostic& dxgi = *diagnostic.dxgi;
  if (frame == nullptr) return fail(code_error(kCaptureGpuUnavailable));
  auto source = frame->query_texture();
  if (!source) return fail(map_dxgi_error(source.error()));
  if (!*source) return fail(code_error(kCaptureGpuUnavailable));
  const TextureDesc source_desc = (*source)->desc();
  dxgi.source_texture = texture_diagnostic(source_desc);
  if (source_desc.format != kDxgiFormatB8G8R8A8Unorm) return fail(code_error(kCaptureFormatUnsupported));

  // The crop must lie inside the surface: a smaller surface means the mode
  // changed since the output was described.
  const std::int64_t x0 = std::int64_t{rect.left} - output_rect.left;
  const std::int64_t y0 = std::int64_t{rect.top} - output_rect.top;
  if (x0 < 0 || y0 < 0 || x0 + width > source_desc.width || y0 + height > source_desc.height) {
    return fail(code_error(kCaptureModeChanged));
  }

  TextureDesc staging_desc;
  staging_desc.width = width;
  staging_desc.height = height;
  staging_desc.mip_levels = 1;
  staging_desc.array_size = 1;
  staging_desc.format = kDxgiFormatB8G8R8A8Unorm;
  staging_desc.sample_count = 1;
  staging_desc.sample_quality = 0;
  staging_desc.usage = kD3d11UsageStaging;
  staging_desc.bind_flags = 0;
  staging_desc.cpu_access_flags = kD3d11CpuAccessRead;
  staging_desc.misc_flags = 0;
  auto staging = device.create_texture_2d(staging_desc);
  if (!staging) return fail(map_dxgi_error(staging.error()));
  if (!*staging) return fail(code_error(kCaptureGpuUnavailable));
  dxgi.staging_texture = texture_diagnostic((*staging)->desc());

  const auto left = static_cast<std::uint32_t>(x0);
  const auto top = static_cast<std::uint32_t>(y0);
  context.copy_subresource_region(**staging, 0, 0, 0, **source, CopyBox{left, top, 0, left + width, top + height, 1});

  const Clock::Monotonic map_deadline = std::min(clock.monotonic_now() + kMapWindow, deadline);
  MappedTexture mapped;
  for (;;) {
    if (guard) {
      if (auto g = guard(); !g) return fail(std::move(g.error()));
    }
    auto attempt = context.map_read(**staging, kD3d11MapFlagDoNotWait);
    if (attempt) {
      mapped = *attempt;
      break;
    }
    if (attempt.error() == kDxgiErrorWasStillDrawing && clock.monotonic_now() < map_deadline) {
      clock.sleep(kMapRetrySleep);
      continue;
    }
    return fail(map_dxgi_error(attempt.error()));
  }
  const MappedGuard unmap(context, **staging);

  const std::uint64_t mapped_bytes = std::uint64_t{height} * mapped.row_pitch;
  if (mapped.data == nullptr || mapped_bytes > std::uint64_t{height} * kMappedRowSlack + kCaptureRegionMaxBytes) {
    return fail(code_error(kCaptureBufferInvalid));
  }
  dxgi.row_pitch = mapped.row_pitch;
  const std::span<const std::uint8_t> region(mapped.data, static_cast<std::size_t>(mapped_bytes));
  if (!region_geometry_valid(region.size(), mapped.row_pitch, width, height)) {
    return fail(code_error(kCaptureBufferInvalid));
  }
  count_raw_pixels(region, mapped.row_pitch, width, height, dxgi);
  return to_rgba_preview(region, mapped.row_pitch, width, height);
}

Result<CaptureDiagnostic> run_frame_loop(DuplicationSession& session, Clock& clock, const Rect& rect,
                                         const FrameLoopOptions& options) {
  auto size = check_window_size(rect);
  if (!size) return fail(std::move(size.error()));
  const auto width = static_cast<std::uint32_t>(size->width);
  const auto height = static_cast<std::uint32_t>(size->height);

  const Clock::Monotonic deadline = clock.monotonic_now() + kFrameWindow;
  std::optional<CaptureDiagnostic> latest;
  auto failed = [&](Error error) { return latest ? to_capture_failure(error, *latest) : std::move(error); };
  std::uint32_t pointer_only_frames = 0;

  for (std::uint32_t attempt = 1;; ++attempt) {
    if (options.guard) {
      if (auto g = options.guard(); !g) return fail(failed(std::move(g.error())));
    }
    if (attempt > options.max_attempts) return fail(failed(code_error(kCaptureFrameNotFresh)));
    const Clock::Monotonic now = clock.monotonic_now();
    if (now >= deadline) return fail(failed(code_error(kCaptureFrameNotFresh)));

    auto acquired = session.duplication->acquire_next_frame(wait_milliseconds(now, deadline, options.max_wait));
    if (!acquired && acquired.error() == kDxgiErrorWaitTimeout) continue;
    if (!acquired) return fail(failed(map_dxgi_error(acquired.error())));
    const HeldFrame held(*session.duplication, std::move(acquired->resource));
    const FrameInfo& info = acquired->info;

    const bool pointer_only =
        info.last_present_time == 0 && info.accumulated_frames == 0 && info.total_metadata_buffer_size == 0;
    if (pointer_only) ++pointer_only_frames;
    CaptureDiagnostic d;
    d.method = std::string(kDxgiCaptureMethod);
    d.acquired_at = clock.utc_now();
    d.last_present_time_qpc = std::to_string(info.last_present_time);
    d.accumulated_frames = info.accumulated_frames;
    d.pointer_only = pointer_only;
    d.crop_desktop_rect = rect;
    d.output_desktop_rect = session.output_rect;
    DxgiFrameDiagnostic& dxgi = d.dxgi.emplace();
    dxgi.adapter_index = session.adapter_index;
    dxgi.output_index = session.output_index;
    dxgi.last_mouse_update_time_qpc = std::to_string(info.last_mouse_update_time);
    dxgi.total_metadata_buffer_size = info.total_metadata_buffer_size;
    dxgi.protected_content_masked_out = info.protected_content_masked_out;
    dxgi.acquire_attempts = attempt;
    dxgi.pointer_only_frames_skipped = pointer_only_frames;
    latest = std::move(d);

    if (info.protected_content_masked_out) return fail(failed(Error(std::string(kCaptureProtectedContent))));
    // No new image in this frame: released, and the next attempt follows.
    if (info.last_present_time <= 0 || info.accumulated_frames == 0) continue;

    auto preview = read_duplicated_frame(held.resource(), *session.device, *session.context, rect, width, height,
                                         session.output_rect, deadline, clock, *latest, options.guard);
    if (!preview) return fail(failed(std::move(preview.error())));
    if (options.guard) {
      if (auto g = options.guard(); !g) return fail(failed(std::move(g.error())));
    }
    if (clock.monotonic_now() >= deadline) return fail(failed(code_error(kCaptureFrameTimeout)));
    auto used = options.use_frame(*preview, *latest);
    if (!used) return fail(failed(std::move(used.error())));
    if (*used) return *latest;
  }
}

Result<CaptureResult> capture_screen_dxgi(DuplicationSys& sys, Clock& clock, const Rect& rect, PngEncoder encode) {
  auto size = check_window_size(rect);
  if (!size) return fail(std::move(size.error()));
  if (static_cast<std::uint64_t>(size->width * size->height) * kBytesPerPixel > kCaptureRegionMaxBytes) {
    return fail(code_error(kCaptureRegionTooLarge));
  }
  auto session = open_duplication(sys, rect);
  if (!session) return fail(std::move(session.error()));

  CaptureResult result;
  FrameLoopOptions options;
  options.use_frame = [&result, encode](const RgbaPreview& preview, const CaptureDiagnostic&) -> Result<bool> {
    auto png = encode(preview);
    if (png) {
      result.width = preview.width;
      result.height = preview.height;
    } else {
      // Too large at the first size: once more at 640 x 480 at most.
      auto fallback = scale_preview_to_fallback(preview);
      if (!fallback) return fail(std::move(fallback.error()));
      png = encode(*fallback);
      if (!png) return fail(std::move(png.error()));
      result.width = fallback->width;
      result.height = fallback->height;
    }
    result.png = std::move(*png);
    return true;
  };
  auto used = run_frame_loop(*session, clock, rect, options);
  if (!used) return fail(std::move(used.error()));
  result.diagnostic = std::move(*used);
  return result;
}

}  // namespace vor::desktop
