#include <limits>

#include "capture_wgc/window_capture.h"
#include "native/observation.h"

namespace vor::desktop {

std::string_view wgc_error_code(HResult hr) {
  if (hr == kHrAccessDenied) return kCaptureAccessDenied;
  if (hr == kHrDeviceRemoved || hr == kHrDeviceReset) return kCaptureModeChanged;
  return kCaptureWgcUnavailable;
}

Error map_wgc_error(std::string_view phase, HResult hr) {
  return Error::with(std::string(wgc_error_code(hr)), WindowCaptureFailure{std::string(phase), hr});
}

Result<std::int64_t> qpc_to_100ns(std::optional<std::int64_t> counter, std::optional<std::int64_t> frequency) {
  if (!counter || !frequency || *counter <= 0 || *frequency <= 0) return fail(std::string(kCaptureFrameNotFresh));
  // counter x 10^7 overflows 64 bits after about a day at 10 MHz; the
  // product is formed in 128 bits and floored once.
  constexpr unsigned __int128 kTicksPerSecond = 10'000'000;
  const unsigned __int128 ticks =
      static_cast<unsigned __int128>(*counter) * kTicksPerSecond / static_cast<unsigned __int128>(*frequency);
  if (ticks > static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max())) {
    return fail(std::string(kCaptureFrameNotFresh));
  }
  return static_cast<std::int64_t>(ticks);
}

Result<std::int64_t> qpc_now_100ns(WindowCaptureSys& capture) {
  const auto counter = capture.performance_counter();
  const auto frequency = capture.performance_frequency();
  return qpc_to_100ns(counter, frequency);
}

Status check_capture_size(CaptureSize size) {
  const std::int64_t w = size.width, h = size.height;
  if (w < 1 || h < 1 || w > kMaxWindowSide || h > kMaxWindowSide || w * h > kCaptureItemMaxPixels) {
    return fail(std::string(kCaptureRegionTooLarge));
  }
  return {};
}

}  // namespace vor::desktop
