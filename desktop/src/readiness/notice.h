// The notice banner and its pixel proof: before the worker sends anything a
// person could take for their own action, it shows an always-on-top banner
// above the target with the stop hotkey Ctrl+Alt+F12, proves through desktop
// duplication that the banner's own pixels are on screen (a pattern of 16
// random squares, seen in two colour phases in two presented frames), and
// holds for one more second while nothing changes. The executor and the
// element actions call it through `NoticeGate`; everything runs on the
// worker's one thread, which owns the banner and receives the hotkey.
//
//   ScreenNoticeGate gate(ports);
//   if (auto shown = gate.show_and_prove(fresh.rect, observed.last_input_tick); !shown) return shown;
//   // the banner is gone and the hotkey unregistered here, whatever happened
//   if (auto stop = gate.check_stop_request(); !stop) return stop;
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "capture_dxgi/duplication_ports.h"
#include "common/error.h"
#include "native/ports.h"
#include "protocol/diagnostics.h"
#include "readiness/desktop_sys.h"
#include "readiness/notice_sys.h"

namespace vor::desktop {

inline constexpr std::string_view kStopHotkeyUnavailable = "DESKTOP_STOP_HOTKEY_UNAVAILABLE";
inline constexpr std::string_view kNoticeUnavailable = "DESKTOP_NOTICE_UNAVAILABLE";
inline constexpr std::string_view kStopRequested = "DESKTOP_STOP_REQUESTED";
inline constexpr std::string_view kNoticeVisibilityPhase = "notice_visibility";

// The banner window: a "STATIC" popup with centred text, not visible until
// shown, that never takes activation and stays above ordinary windows.
inline constexpr std::u16string_view kBannerClass = u"STATIC";
// The title in UTF-8 (52 bytes; each separator is U+2022, a bullet).
inline constexpr std::string_view kBannerTitle = "Vor Marionet \xE2\x80\xA2 remote input \xE2\x80\xA2 Ctrl+Alt+F12: stop";
inline constexpr std::uint32_t kBannerStyle = 0x80000000u | 0x1u;  // WS_POPUP | SS_CENTER
inline constexpr std::uint32_t kBannerExStyle = 0x08000000u | 0x80u | 0x8u;  // WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW | WS_EX_TOPMOST
// SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_SHOWWINDOW | SWP_NOOWNERZORDER.
inline constexpr std::uint32_t kBannerShowFlags = 0x253;
inline constexpr std::int32_t kBannerHeight = 64;
inline constexpr std::int32_t kBannerMaxWidth = 760;
// The smallest monitor the banner is shown on.
inline constexpr std::int64_t kNoticeMinMonitorWidth = 320;
inline constexpr std::int64_t kNoticeMinMonitorHeight = 96;

// The stop hotkey: thread hotkey 1, Ctrl+Alt without repeat, F12.
inline constexpr std::int32_t kStopHotkeyId = 1;
inline constexpr std::uint32_t kStopHotkeyModifiers = 0x4003;  // MOD_CONTROL | MOD_ALT | MOD_NOREPEAT
inline constexpr std::uint32_t kStopHotkeyKey = 0x7B;          // VK_F12
inline constexpr std::uint32_t kWmHotkey = 0x0312;

// The proof's frame loop and hold.
inline constexpr std::uint32_t kProofMaxAttempts = 32;
inline constexpr std::chrono::milliseconds kProofMaxWait{50};
inline constexpr std::chrono::milliseconds kGuardSleep{15};
inline constexpr std::chrono::milliseconds kProofHold{1000};

// The pattern: 16 squares of 12 x 12 pixels in a row at (8 + 12 i, 42) of
// the banner; the verifier samples the central 6 x 6 of each, so an image
// must be at least 200 x 54 pixels to be compared.
inline constexpr std::uint32_t kProofSquares = 16;
inline constexpr std::int32_t kSquareLeft = 8;
inline constexpr std::int32_t kSquareTop = 42;
inline constexpr std::int32_t kSquareStep = 12;
inline constexpr std::int32_t kSquareSide = 12;
inline constexpr std::int32_t kSampleInset = 3;
inline constexpr std::int32_t kSampleSide = 6;
inline constexpr std::uint32_t kProofMinWidth = 200;
inline constexpr std::uint32_t kProofMinHeight = 54;

struct ProofColour {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  bool operator==(const ProofColour&) const = default;
};
inline constexpr std::array<ProofColour, 2> kProofColours{ProofColour{23, 211, 107}, ProofColour{217, 43, 181}};

// Everyone who reaches the desktop for the notice.
struct NoticePorts {
  DesktopPorts desktop;
  DesktopSys& readiness;
  NoticeSys& notice;
  DuplicationSys& duplication;
};

// --- the banner ---

// Where the banner goes on a monitor, for a target rectangle.
struct BannerPlacement {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool operator==(const BannerPlacement&) const = default;
};

// min(760, monitor width) x 64 pixels, its left edge the target's and its
// bottom edge the target's top, moved as little as needed to stay on the
// monitor. A monitor side outside 1 to 8192 is
// "DESKTOP_WINDOW_BOUNDS_INVALID"; a monitor under 320 x 96 is
// "DESKTOP_NOTICE_PROOF_UNAVAILABLE".
Result<BannerPlacement> place_banner(const Rect& monitor, const Rect& target);

// The shown banner with its stop hotkey. Dropping it (or `close`) destroys
// the window and then unregisters the hotkey, so no path leaves either
// behind.
class NoticeBanner {
 public:
  NoticeBanner(NoticeBanner&& other) noexcept
      : notice_(other.notice_), window_(std::exchange(other.window_, 0)), hotkey_(std::exchange(other.hotkey_, false)) {}
  NoticeBanner& operator=(NoticeBanner&&) = delete;
  NoticeBanner(const NoticeBanner&) = delete;
  ~NoticeBanner() { close(); }

  WindowHandle window() const { return window_; }
  void close();

 private:
  friend Result<NoticeBanner> show_notice(NoticePorts& ports, const Rect& target);
  NoticeBanner(NoticeSys& notice, bool hotkey) : notice_(&notice), hotkey_(hotkey) {}

  NoticeSys* notice_;
  WindowHandle window_ = 0;
  bool hotkey_ = false;
};

// Checks the session, places the banner on the monitor nearest to `target`,
// registers the stop hotkey, creates the window and shows it topmost without
// activating it. On failure neither the window nor the hotkey exists.
Result<NoticeBanner> show_notice(NoticePorts& ports, const Rect& target);

// --- the proof ---

struct ProofState {
  std::uint32_t phase = 0;
  std::int64_t present_time = 0;  // presented-frame time of the frame that passed phase 0
  std::array<std::uint8_t, 16> random{};
  bool proven = false;
};

// A state with the 16 bytes of a fresh random version-4 UUID.
Result<ProofState> new_proof_state();

// The colour of square `index` in the state's current phase: the lowest bit
// of its random byte, flipped in phase 1.
ProofColour square_colour(const ProofState& state, std::uint32_t index);

// Square `index` in banner coordinates (right and bottom exclusive).
Rect square_rect(std::uint32_t index);

// Fills the 16 squares of the current phase into the banner's own device
// context and flushes GDI and the compositor. Any failure is
// "DESKTOP_NOTICE_PROOF_UNAVAILABLE"; the context is released on every path.
Status paint_proof_pattern(NoticeSys& notice, WindowHandle banner, const ProofState& state);

// A signed 64-bit decimal with an optional sign; anything else is 0.
std::int64_t parse_present_time(std::string_view text);

// Compares one captured image of the banner (RGBA, rows packed) with the
// pattern and advances the state: true once both phases were seen, the
// second in a frame presented after the first. An image under 200 x 54, a
// buffer that is not exactly width x height x 4 bytes or a present time not
// above 0 is not compared. A passed phase 0 repaints the pattern in the
// other colours (its failure is the call's error).
Result<bool> verify_notice_proof(ProofState& state, NoticeSys& notice, WindowHandle banner,
                                 std::span<const std::uint8_t> rgba, std::uint32_t width, std::uint32_t height,
                                 std::string_view present_time);

// The banner is still as it was when the proof began: the session ready, the
// foreground window the expected one, the banner visible, not minimized, at
// the expected rectangle ("DESKTOP_NOTICE_PROOF_UNAVAILABLE"), and nothing
// covering it (the occlusion walk).
Status check_notice_visible(NoticePorts& ports, WindowHandle banner, WindowHandle expected_foreground,
                            const Rect& expected_rect);

// Empties the thread's message queue, dispatching every message;
// a stop hotkey message is "DESKTOP_STOP_REQUESTED".
Status drain_messages(NoticeSys& notice);

// One pass of the guard that runs between frame attempts and map tries: the
// input desktop, the last-input tick (read before the queue is drained, so a
// physical press of the stop keys usually shows as
// "DESKTOP_HUMAN_INPUT_CHANGED"; a posted hotkey message gives
// "DESKTOP_STOP_REQUESTED"), the message queue, 15 ms of sleep, then the
// banner's visibility.
Status run_guard_pass(NoticePorts& ports, WindowHandle banner, std::uint32_t expected_last_input_tick,
                      WindowHandle expected_foreground, const Rect& expected_rect);

// Paints the pattern, captures the banner's rectangle through duplication
// until both phases are seen (at most 32 frames in 1.8 s, a guard pass
// around every step), releases every duplication object, then holds for
// one second while the input desktop, the last-input tick, the queue and the
// banner stay unchanged. Errors of the first readings and the first paint
// are returned as they are; every later one passes `to_proof_failure`.
Status prove_notice_on_screen(NoticePorts& ports, WindowHandle banner, std::uint32_t expected_last_input_tick);

// The error of a failed proof: displayed as "DESKTOP_NOTICE_PROOF_UNAVAILABLE",
// found with `find<ProofFailure>()`; `diagnostic` is the response's
// `noticeDiagnostic`.
struct ProofFailure {
  std::string reason_code;
  Diagnostic diagnostic;
};

// The stop, lock and human-input codes pass unchanged; capture and
// visibility codes become a `ProofFailure` with themselves as the reason,
// anything else one with the reason "DESKTOP_NOTICE_PROOF_UNAVAILABLE". The
// error replaced is dropped with its whole chain.
Error to_proof_failure(Error error);

// --- what the executor and the element actions call ---

class NoticeGate {
 public:
  virtual ~NoticeGate() = default;
  // Shows the banner above `target`, proves it with the expected last-input
  // tick, then destroys it and unregisters the hotkey whatever happened.
  virtual Status show_and_prove(const Rect& target, std::uint32_t expected_last_input_tick) = 0;
  // A stop hotkey message still queued: "DESKTOP_STOP_REQUESTED" (it is removed).
  virtual Status check_stop_request() = 0;
};

class ScreenNoticeGate final : public NoticeGate {
 public:
  explicit ScreenNoticeGate(NoticePorts ports) : ports_(ports) {}
  Status show_and_prove(const Rect& target, std::uint32_t expected_last_input_tick) override;
  Status check_stop_request() override;

 private:
  NoticePorts ports_;
};

}  // namespace vor::desktop
