// The pixel proof of the notice banner: the pattern, its verification, the
// guard passes, the frame loop with the proof's own limits, the hold and the
// mapping of its errors.
#include <algorithm>
#include <array>
#include <limits>
#include <optional>

#include "capture_dxgi/capture.h"
#include "common/crypto.h"
#include "native/observation.h"
#include "readiness/notice.h"
#include "readiness/occlusion.h"
#include "readiness/readiness.h"

namespace vor::desktop {
namespace {

Error plain(std::string_view code) { return Error(std::string(code)); }

std::uint32_t colorref(const ProofColour& c) {
  return std::uint32_t{c.red} | (std::uint32_t{c.green} << 8) | (std::uint32_t{c.blue} << 16);
}

// The banner's device context, released when the object goes.
class BannerDc {
 public:
  BannerDc(NoticeSys& notice, WindowHandle window) : notice_(notice), window_(window), dc_(notice.get_dc(window)) {}
  ~BannerDc() {
    if (dc_ != 0) notice_.release_dc(window_, dc_);
  }
  BannerDc(const BannerDc&) = delete;
  BannerDc& operator=(const BannerDc&) = delete;
  DeviceContext get() const { return dc_; }

 private:
  NoticeSys& notice_;
  WindowHandle window_;
  DeviceContext dc_;
};

// A solid brush, deleted when the object goes.
class SolidBrush {
 public:
  SolidBrush(NoticeSys& notice, std::uint32_t colour) : notice_(notice), brush_(notice.create_solid_brush(colour)) {}
  ~SolidBrush() {
    if (brush_ != 0) notice_.delete_brush(brush_);
  }
  SolidBrush(const SolidBrush&) = delete;
  SolidBrush& operator=(const SolidBrush&) = delete;
  BrushHandle get() const { return brush_; }

 private:
  NoticeSys& notice_;
  BrushHandle brush_;
};

bool pattern_matches(const ProofState& state, std::span<const std::uint8_t> rgba, std::uint32_t width) {
  for (std::uint32_t i = 0; i < kProofSquares; ++i) {
    const ProofColour want = square_colour(state, i);
    const Rect square = square_rect(i);
    for (std::int32_t y = square.top + kSampleInset; y < square.top + kSampleInset + kSampleSide; ++y) {
      for (std::int32_t x = square.left + kSampleInset; x < square.left + kSampleInset + kSampleSide; ++x) {
        const std::uint8_t* p = rgba.data() + (std::size_t(y) * width + std::size_t(x)) * 4;
        if (p[0] != want.red || p[1] != want.green || p[2] != want.blue) return false;
      }
    }
  }
  return true;
}

bool is_reported_as_reason(std::string_view code) {
  static constexpr std::array<std::string_view, 15> kReasons{
      kCaptureBusy,
      kTargetOccluded,
      kCaptureBlackFrame,
      kCaptureModeChanged,
      kCaptureFrameTimeout,
      kCaptureAccessDenied,
      kCaptureFrameNotFresh,
      kCaptureOutputAmbiguous,
      kCaptureProtectedContent,
      kCaptureOcclusionUnknown,
      kCaptureSessionDisconnected,
      kCaptureRotationUnsupported,
      kCaptureRegionUnsupported,
      kCaptureFormatUnsupported,
      kCaptureLayeredVisibilityUnconfirmed,
  };
  return std::find(kReasons.begin(), kReasons.end(), code) != kReasons.end();
}

// Reads the foreground window and the banner's rectangle.
struct Expectation {
  WindowHandle foreground = 0;
  Rect rect{};
};
Result<Expectation> read_expectation(NoticePorts& ports, WindowHandle banner) {
  Expectation e;
  e.foreground = ports.desktop.windows.foreground_window();
  const auto rect = ports.desktop.windows.window_rect(banner);
  if (!rect) return fail(win32_failure(rect.error(), kNoticeProofUnavailable));
  e.rect = *rect;
  return e;
}

Status check_tick(InputSys& input, std::uint32_t expected) {
  auto tick = read_last_input_tick(input);
  if (!tick) return fail(std::move(tick.error()));
  if (*tick != expected) return fail(plain(kHumanInputChanged));
  return {};
}

// Everything of the proof after the first paint, before the mapping.
Status capture_and_hold(NoticePorts& ports, WindowHandle banner, std::uint32_t expected_tick, ProofState& state,
                        const Expectation& hold, const Expectation& guard) {
  auto size = check_window_size(guard.rect);
  if (!size) return fail(std::move(size.error()));
  if (static_cast<std::uint64_t>(size->width * size->height) * kBytesPerPixel > kCaptureRegionMaxBytes) {
    return fail(plain(kCaptureRegionTooLarge));
  }

  {
    // Every Direct3D and DXGI object lives only in this scope, before the hold.
    auto session = open_duplication(ports.duplication, guard.rect);
    if (!session) return fail(std::move(session.error()));
    FrameLoopOptions options;
    options.max_attempts = kProofMaxAttempts;
    options.max_wait = kProofMaxWait;
    options.guard = [&]() { return run_guard_pass(ports, banner, expected_tick, guard.foreground, guard.rect); };
    options.use_frame = [&](const RgbaPreview& image, const CaptureDiagnostic& frame) -> Result<bool> {
      return verify_notice_proof(state, ports.notice, banner, image.pixels, image.width, image.height,
                                 frame.last_present_time_qpc);
    };
    auto used = run_frame_loop(*session, ports.desktop.clock, guard.rect, options);
    if (!used) return fail(std::move(used.error()));
  }

  Clock& clock = ports.desktop.clock;
  const Clock::Monotonic until = clock.monotonic_now() + kProofHold;
  while (clock.monotonic_now() < until) {
    if (auto desk = check_input_desktop(ports.desktop.windows); !desk) return desk;
    // The tick is read before the queue is drained, as in the guard pass.
    if (auto tick = check_tick(ports.desktop.input, expected_tick); !tick) return tick;
    if (auto drained = drain_messages(ports.notice); !drained) return drained;
    if (auto visible = check_notice_visible(ports, banner, hold.foreground, hold.rect); !visible) return visible;
    clock.sleep(kGuardSleep);
  }
  return {};
}

}  // namespace

Result<ProofState> new_proof_state() {
  auto hex = uuid_v4_hex();
  if (!hex) return fail(std::move(hex.error()).context(std::string(kNoticeProofUnavailable)));
  ProofState state;
  for (std::size_t i = 0; i < state.random.size(); ++i) {
    auto nibble = [](char c) { return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10); };
    state.random[i] = static_cast<std::uint8_t>((nibble((*hex)[2 * i]) << 4) | nibble((*hex)[2 * i + 1]));
  }
  return state;
}

ProofColour square_colour(const ProofState& state, std::uint32_t index) {
  return kProofColours[(state.random[index] & 1u) ^ (state.phase & 1u)];
}

Rect square_rect(std::uint32_t index) {
  const std::int32_t left = kSquareLeft + kSquareStep * static_cast<std::int32_t>(index);
  return Rect{left, kSquareTop, left + kSquareSide, kSquareTop + kSquareSide};
}

Status paint_proof_pattern(NoticeSys& notice, WindowHandle banner, const ProofState& state) {
  {
    const BannerDc dc(notice, banner);
    if (dc.get() == 0) return fail(plain(kNoticeProofUnavailable));
    for (std::uint32_t i = 0; i < kProofSquares; ++i) {
      const SolidBrush brush(notice, colorref(square_colour(state, i)));
      if (brush.get() == 0) return fail(plain(kNoticeProofUnavailable));
      if (auto filled = notice.fill_rect(dc.get(), square_rect(i), brush.get()); !filled) {
        return fail(win32_failure(filled.error(), kNoticeProofUnavailable));
      }
    }
  }
  if (auto flushed = notice.gdi_flush(); !flushed) return fail(win32_failure(flushed.error(), kNoticeProofUnavailable));
  if (notice.dwm_flush() < 0) return fail(plain(kNoticeProofUnavailable));
  return {};
}

std::int64_t parse_present_time(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return 0;
  // Accumulated as a negative number, whose range holds the smallest value.
  std::int64_t value = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    const int digit = c - '0';
    if (value < (kMin + digit) / 10) return 0;
    value = value * 10 - digit;
  }
  if (negative) return value;
  if (value == kMin) return 0;
  return -value;
}

Result<bool> verify_notice_proof(ProofState& state, NoticeSys& notice, WindowHandle banner,
                                 std::span<const std::uint8_t> rgba, std::uint32_t width, std::uint32_t height,
                                 std::string_view present_time) {
  if (state.proven) return true;
  const std::int64_t presented = parse_present_time(present_time);
  const bool comparable = height >= kProofMinHeight && width >= kProofMinWidth && presented > 0 &&
                          rgba.size() == std::uint64_t{width} * height * 4;
  const bool fresh = state.phase == 0 || presented > state.present_time;
  if (!comparable || !fresh || !pattern_matches(state, rgba, width)) return false;

  if (state.phase == 1) {
    state.proven = true;
    return true;
  }
  state.phase = 1;
  state.present_time = presented;
  // Every square flips colour, so the next frame must show a new paint.
  if (auto painted = paint_proof_pattern(notice, banner, state); !painted) return fail(std::move(painted.error()));
  return false;
}

Status check_notice_visible(NoticePorts& ports, WindowHandle banner, WindowHandle expected_foreground,
                            const Rect& expected_rect) {
  if (auto ready = check_session_ready(ports.desktop, ports.readiness); !ready) return ready;
  WindowSys& windows = ports.desktop.windows;
  if (windows.foreground_window() != expected_foreground || !windows.is_visible(banner) ||
      windows.is_minimized(banner)) {
    return fail(plain(kNoticeProofUnavailable));
  }
  const auto rect = windows.window_rect(banner);
  if (!rect || *rect != expected_rect) return fail(plain(kNoticeProofUnavailable));
  return check_occlusion(windows, ports.notice, banner, expected_rect);
}

Status drain_messages(NoticeSys& notice) {
  while (auto message = notice.peek_message(0, 0)) {
    if (message->message == kWmHotkey) return fail(plain(kStopRequested));
    notice.translate_and_dispatch(*message);
  }
  return {};
}

Status run_guard_pass(NoticePorts& ports, WindowHandle banner, std::uint32_t expected_last_input_tick,
                      WindowHandle expected_foreground, const Rect& expected_rect) {
  // The pass's own window is 1 ms, shorter than its sleep, so it runs once.
  if (auto desk = check_input_desktop(ports.desktop.windows); !desk) return desk;
  // The tick is read before the queue is drained: a person pressing the stop
  // keys moves the tick, so that press usually ends the proof as human
  // input; the hotkey code is what a posted hotkey message gives. Either
  // way nothing is sent.
  if (auto tick = check_tick(ports.desktop.input, expected_last_input_tick); !tick) return tick;
  if (auto drained = drain_messages(ports.notice); !drained) return drained;
  ports.desktop.clock.sleep(kGuardSleep);
  return check_notice_visible(ports, banner, expected_foreground, expected_rect);
}

Status prove_notice_on_screen(NoticePorts& ports, WindowHandle banner, std::uint32_t expected_last_input_tick) {
  // The first pair is what the hold expects, the second what the guard
  // passes and the capture expect.
  auto hold = read_expectation(ports, banner);
  if (!hold) return fail(std::move(hold.error()));
  auto guard = read_expectation(ports, banner);
  if (!guard) return fail(std::move(guard.error()));

  auto state = new_proof_state();
  if (!state) return fail(std::move(state.error()));
  ports.notice.update_window(banner);
  if (auto painted = paint_proof_pattern(ports.notice, banner, *state); !painted) return painted;

  auto proven = capture_and_hold(ports, banner, expected_last_input_tick, *state, *hold, *guard);
  if (!proven) return fail(to_proof_failure(std::move(proven.error())));
  return {};
}

Error to_proof_failure(Error error) {
  const std::string& code = error.outermost();
  if (code == kStopRequested || code == kLockedOrUnavailable || code == kHumanInputChanged) return error;
  const std::string reason = is_reported_as_reason(code) ? code : std::string(kNoticeProofUnavailable);
  return Error::with(std::string(kNoticeProofUnavailable),
                     ProofFailure{reason, Diagnostic{std::string(kNoticeVisibilityPhase), reason}});
}

Status ScreenNoticeGate::show_and_prove(const Rect& target, std::uint32_t expected_last_input_tick) {
  auto banner = show_notice(ports_, target);
  if (!banner) return fail(std::move(banner.error()));
  auto proven = prove_notice_on_screen(ports_, banner->window(), expected_last_input_tick);
  banner->close();
  return proven;
}

Status ScreenNoticeGate::check_stop_request() {
  if (ports_.notice.peek_message(kWmHotkey, kWmHotkey)) return fail(plain(kStopRequested));
  return {};
}

}  // namespace vor::desktop
