#include "capture_wgc/window_capture.h"

namespace vor::desktop {
namespace {

bool is_empty(const Rect& r) { return r.right <= r.left || r.bottom <= r.top; }

bool lies_within(const Rect& inner, const Rect& outer) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

// The checks at an output that shows the window's monitor.
Status check_matching_output(DisplayOutput& output, const OutputDescription& description, const Rect& bounds) {
  if (is_empty(bounds) || !lies_within(bounds, description.desktop_rect)) {
    return fail(std::string(kCaptureRegionUnsupported));
  }
  auto color = output.open_color_interface();
  if (!color) return fail(map_wgc_error("display_color_interface", color.error()));
  if (!*color) return fail(map_wgc_error("display_color_interface", kHrPointer));
  auto space = output.color_space();
  if (!space) return fail(map_wgc_error("display_color_descriptor", space.error()));
  if (*space != kStandardColorSpace) return fail(std::string(kCaptureFormatUnsupported));
  return {};
}

}  // namespace

Status find_window_display(WindowCaptureSys& capture, WindowHandle window) {
  const std::uint64_t monitor = capture.monitor_from_window(window);
  auto bounds = capture.extended_frame_bounds(window);
  if (monitor == 0 || !bounds) return fail(std::string(kCaptureRegionUnsupported));

  auto factory = capture.open_display_factory();
  if (!factory) return fail(std::string(wgc_error_code(factory.error())));

  bool matched = false;
  for (std::uint32_t a = 0; a < kDisplayMaxAdapters; ++a) {
    auto adapter = (*factory)->adapter(a);
    if (!adapter && adapter.error() == kHrDxgiNotFound) break;
    if (!adapter) return fail(map_wgc_error("display_adapter", adapter.error()));
    for (std::uint32_t o = 0; o < kDisplayMaxOutputs; ++o) {
      auto output = (*adapter)->output(o);
      if (!output && output.error() == kHrDxgiNotFound) break;
      if (!output) return fail(map_wgc_error("display_output", output.error()));
      auto description = (*output)->description();
      if (!description) return fail(map_wgc_error("display_descriptor", description.error()));
      if (!description->attached_to_desktop || description->monitor != monitor) continue;
      if (matched) return fail(std::string(kCaptureOutputAmbiguous));
      matched = true;
      if (auto s = check_matching_output(**output, *description, *bounds); !s) return s;
    }
  }
  if (!matched) return fail(std::string(kCaptureRegionUnsupported));
  return {};
}

}  // namespace vor::desktop
