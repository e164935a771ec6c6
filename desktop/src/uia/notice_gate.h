// What element_action needs from the notice banner and the stop hotkey.
//
// Before an element is acted on, the banner is shown above the target and
// proven on screen; it is torn down right after the proof, whatever its
// outcome, and a stop hotkey still queued after the teardown stops the
// action. The banner module implements this over its `show_notice`,
// `prove_notice_on_screen` and teardown; tests script it.
//
//   auto banner = gate.show(window.rect);
//   if (!banner) return fail(...);
//   Status proof = gate.prove(*banner, window.last_input_tick);
//   gate.tear_down(*banner);
#pragma once

#include <cstdint>

#include "common/error.h"
#include "native/ports.h"
#include "protocol/observation.h"

namespace vor::desktop::uia {

class NoticeGate {
 public:
  virtual ~NoticeGate() = default;
  // Shows the banner above `target` and registers the stop hotkey (id 1,
  // Ctrl+Alt+F12): the banner's window handle, or an error leaving neither.
  virtual Result<WindowHandle> show(const Rect& target) = 0;
  // The pixel proof and its one-second hold; "DESKTOP_HUMAN_INPUT_CHANGED"
  // when the last-input tick moves from `expected_last_input_tick`,
  // "DESKTOP_STOP_REQUESTED" when the stop hotkey is pressed, otherwise the
  // proof's own failure.
  virtual Status prove(WindowHandle banner, std::uint32_t expected_last_input_tick) = 0;
  // DestroyWindow of the banner, then UnregisterHotKey (no window, id 1).
  virtual void tear_down(WindowHandle banner) = 0;
  // PeekMessageW for WM_HOTKEY on the thread queue with PM_REMOVE: whether
  // a stop hotkey message was waiting.
  virtual bool take_queued_stop() = 0;
};

}  // namespace vor::desktop::uia
