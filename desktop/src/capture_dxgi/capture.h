// Desktop duplication capture: the pixels on screen inside a rectangle, from
// the one display output that holds the whole rectangle, read through a
// CPU-readable staging texture, cropped, made a preview and encoded as PNG
// (`capture_screen_dxgi`, used by the `capture` action).
//
// The same engine serves the notice banner's pixel proof, which opens the
// duplication with `open_duplication` and runs `run_frame_loop` with its own
// attempt limit, wait and guard pass, verifying each read frame instead of
// encoding it:
//
//   auto session = open_duplication(sys, banner_rect);
//   FrameLoopOptions proof{.max_attempts = 32, .max_wait = 50ms, .guard = guard_pass,
//                          .use_frame = [&](const RgbaPreview& p, const CaptureDiagnostic& d) { ... }};
//   auto used = run_frame_loop(*session, clock, banner_rect, proof);
//
// From the first acquired frame on, every error leaves as a `CaptureFailure`
// carrying the latest frame's diagnostic; earlier errors are plain.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "capture_dxgi/capture_codes.h"
#include "capture_dxgi/duplication_ports.h"
#include "capture_dxgi/png.h"
#include "capture_dxgi/preview.h"
#include "common/error.h"
#include "native/ports.h"
#include "protocol/diagnostics.h"

namespace vor::desktop {

inline constexpr std::string_view kDxgiCaptureMethod = "dxgi_desktop_duplication";

// The scan covers adapters 0 to 15 and, on each, outputs 0 to 31.
inline constexpr std::uint32_t kMaxAdapters = 16;
inline constexpr std::uint32_t kMaxOutputsPerAdapter = 32;

// Frames are waited for during 1.8 s from the start of the frame loop; the
// capture tries 8 frames, each wait at most 400 ms and at least 1 ms.
inline constexpr std::chrono::milliseconds kFrameWindow{1800};
inline constexpr std::uint32_t kCaptureMaxAttempts = 8;
inline constexpr std::chrono::milliseconds kCaptureMaxWait{400};
inline constexpr std::chrono::milliseconds kMinFrameWait{1};

// The staging map is retried every 3 ms while the copy is still drawing,
// for at most 2 s (and never past the frame loop's deadline).
inline constexpr std::chrono::milliseconds kMapWindow{2000};
inline constexpr std::chrono::milliseconds kMapRetrySleep{3};

// A mapped region may be at most this much larger per row than the region.
inline constexpr std::uint64_t kMappedRowSlack = 4096;

// The error of a capture that failed after a frame was acquired: its display
// text is `code`; `diagnostic` is the latest frame's.
struct CaptureFailure {
  std::string code;
  CaptureDiagnostic diagnostic;
};

// Any error as a `CaptureFailure`: the code is its display text (outermost
// message) when that is 8 to 99 characters and begins with "DESKTOP_", else
// "DESKTOP_CAPTURE_GPU_UNAVAILABLE"; the error itself is dropped.
Error to_capture_failure(const Error& error, const CaptureDiagnostic& diagnostic);

// The code of a failed DXGI or Direct3D call, as a plain message (the
// HRESULT does not travel with it): busy, mode changed (access lost), frame
// time-out, session disconnected, access denied, else GPU unavailable.
Error map_dxgi_error(std::int32_t hresult);

// The chosen output with everything opened on it. Members are released in
// the reverse order of their declaration: duplication first, factory last.
struct DuplicationSession {
  std::unique_ptr<DxgiFactory> factory;
  std::unique_ptr<DxgiAdapter> adapter;
  std::unique_ptr<DxgiOutput> output;
  std::uint32_t adapter_index = 0;
  std::uint32_t output_index = 0;
  Rect output_rect{};
  std::unique_ptr<D3dDevice> device;
  std::unique_ptr<D3dContext> context;
  std::unique_ptr<OutputDuplication> duplication;
};

// The factory, the one attached output in identity rotation whose desktop
// rectangle holds all of `rect` (every adapter and output is looked at, so a
// second candidate is "DESKTOP_CAPTURE_OUTPUT_AMBIGUOUS"), the device on its
// adapter and the duplication of the output.
Result<DuplicationSession> open_duplication(DuplicationSys& sys, const Rect& rect);

// How the frame loop runs for its caller.
struct FrameLoopOptions {
  std::uint32_t max_attempts = kCaptureMaxAttempts;
  std::chrono::milliseconds max_wait = kCaptureMaxWait;
  // When set: run at the start of every attempt, before every map try and
  // after every read; its error ends the loop.
  std::function<Status()> guard;
  // Given each read frame's preview and diagnostic while the frame is still
  // held: true ends the loop with that frame, false releases it and goes on
  // to the next attempt.
  std::function<Result<bool>(const RgbaPreview&, const CaptureDiagnostic&)> use_frame;
};

// Acquires frames on `session` until `use_frame` takes one. An attempt that
// starts at or past the deadline (1.8 s after the call) or beyond
// `max_attempts` ends with "DESKTOP_CAPTURE_FRAME_NOT_FRESH"; a wait
// time-out goes on to the next attempt; protected content is
// "DESKTOP_CAPTURE_PROTECTED_CONTENT"; a frame without a new presentation is
// released and skipped; a read that ends at or past the deadline is
// "DESKTOP_CAPTURE_FRAME_TIMEOUT". Returns the used frame's diagnostic.
Result<CaptureDiagnostic> run_frame_loop(DuplicationSession& session, Clock& clock, const Rect& rect,
                                         const FrameLoopOptions& options);

// Reads `rect` (width x height, inside `output_rect`) out of an acquired
// frame into an RGBA preview through a staging texture, filling `diagnostic`
// (`dxgi` must be present) as it learns; `guard`, when set, runs before
// every map try. Every object it makes is released, and the staging texture
// unmapped, on every path.
Result<RgbaPreview> read_duplicated_frame(FrameResource* frame, D3dDevice& device, D3dContext& context,
                                          const Rect& rect, std::uint32_t width, std::uint32_t height,
                                          const Rect& output_rect, Clock::Monotonic deadline, Clock& clock,
                                          CaptureDiagnostic& diagnostic, const std::function<Status()>& guard);

struct CaptureResult {
  std::vector<std::uint8_t> png;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  CaptureDiagnostic diagnostic;
};

using PngEncoder = Result<std::vector<std::uint8_t>> (*)(const RgbaPreview&);

// The `capture` action's pixels of `rect` (sides 1 to 8192, at most 64 MiB
// of pixels): a PNG of the preview, or of the preview scaled to fit
// 640 x 480 when the first PNG is over its bound; a second failure fails
// the capture. `encode` is the bounded encoder of png.h (tests give one that
// refuses on purpose).
Result<CaptureResult> capture_screen_dxgi(DuplicationSys& sys, Clock& clock, const Rect& rect,
                                          PngEncoder encode = encode_png);

}  // namespace vor::desktop
