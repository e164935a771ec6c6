// Input records for SendInput: the keyboard and mouse records of a key, a
// click and typed text, and the records that release whatever a partly sent
// batch left pressed.
//
// The records are plain portable mirrors of the Win32 INPUT union: a
// `MouseInput` mirrors MOUSEINPUT (INPUT_MOUSE, variant index 0) and a
// `KeyboardInput` mirrors KEYBDINPUT (INPUT_KEYBOARD, variant index 1). The
// Win32 adapter copies them field by field into INPUT (40 bytes on x86-64).
// The builders are pure; the virtual screen is read by the caller.
//
//   auto records = build_click_inputs(screen, window.rect.left, window.rect.top, x, y);
//   if (!records) return fail(std::move(records.error()));
//   std::uint32_t sent = input.send_input(*records);
//   if (sent < records->size()) input.send_input(release_stuck_inputs(*records, records->size(), sent));
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <string>
#include <variant>
#include <vector>

#include "common/error.h"
#include "protocol/request.h"

namespace vor::desktop {

inline constexpr std::string_view kCoordinateOutsideScreen = "DESKTOP_COORDINATE_OUTSIDE_SCREEN";

inline constexpr std::uint32_t kKeyEventExtendedKey = 0x0001;  // KEYEVENTF_EXTENDEDKEY
inline constexpr std::uint32_t kKeyEventKeyUp = 0x0002;        // KEYEVENTF_KEYUP
inline constexpr std::uint32_t kKeyEventUnicode = 0x0004;      // KEYEVENTF_UNICODE
inline constexpr std::uint32_t kMouseEventMove = 0x0001;        // MOUSEEVENTF_MOVE
inline constexpr std::uint32_t kMouseEventLeftDown = 0x0002;    // MOUSEEVENTF_LEFTDOWN
inline constexpr std::uint32_t kMouseEventLeftUp = 0x0004;      // MOUSEEVENTF_LEFTUP
inline constexpr std::uint32_t kMouseEventVirtualDesk = 0x4000;  // MOUSEEVENTF_VIRTUALDESK
inline constexpr std::uint32_t kMouseEventAbsolute = 0x8000;     // MOUSEEVENTF_ABSOLUTE

// Virtual-key codes the key names use.
inline constexpr std::uint16_t kVkBack = 0x08;
inline constexpr std::uint16_t kVkTab = 0x09;
inline constexpr std::uint16_t kVkReturn = 0x0D;
inline constexpr std::uint16_t kVkMenu = 0x12;
inline constexpr std::uint16_t kVkEscape = 0x1B;
inline constexpr std::uint16_t kVkSpace = 0x20;
inline constexpr std::uint16_t kVkLeft = 0x25;
inline constexpr std::uint16_t kVkUp = 0x26;
inline constexpr std::uint16_t kVkRight = 0x27;
inline constexpr std::uint16_t kVkDown = 0x28;
inline constexpr std::uint16_t kVkD = 0x44;
inline constexpr std::uint16_t kVkLeftWin = 0x5B;

// MOUSEINPUT.
struct MouseInput {
  std::int32_t dx = 0;
  std::int32_t dy = 0;
  std::uint32_t mouse_data = 0;
  std::uint32_t flags = 0;
  std::uint32_t time = 0;
  std::uint64_t extra_info = 0;
  bool operator==(const MouseInput&) const = default;
};

// KEYBDINPUT.
struct KeyboardInput {
  std::uint16_t virtual_key = 0;
  std::uint16_t scan = 0;
  std::uint32_t flags = 0;
  std::uint32_t time = 0;
  std::uint64_t extra_info = 0;
  bool operator==(const KeyboardInput&) const = default;
};

// One INPUT; the variant index is the INPUT type (0 mouse, 1 keyboard).
using InputRecord = std::variant<MouseInput, KeyboardInput>;

// The virtual screen as GetSystemMetrics reports it: SM_XVIRTUALSCREEN,
// SM_YVIRTUALSCREEN, SM_CXVIRTUALSCREEN, SM_CYVIRTUALSCREEN.
struct VirtualScreen {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// The key's records: down then up for a single key; for a chord the
// modifier's down, the key's down and up, then the modifier's up.
std::vector<InputRecord> build_key_inputs(KeyName key);

// Move to the window point (left + x, top + y) in absolute virtual-desktop
// coordinates (0..65535), then left down and left up at the same place.
// "DESKTOP_COORDINATE_OUTSIDE_SCREEN" when the point lies outside the virtual
// screen or the screen is 1 pixel or less wide or high.
Result<std::vector<InputRecord>> build_click_inputs(const VirtualScreen& screen, std::int32_t left,
                                                    std::int32_t top, std::int32_t x, std::int32_t y);

// Two Unicode records (down, up) per UTF-16 unit of the text in order; a
// supplementary character gives its two surrogates in order (the caller
// converts the request's UTF-8 with `utf8_to_utf16`).
std::vector<InputRecord> text_to_key_inputs(std::u16string_view text);

// The records that release what the first `sent` of the first `count`
// records left pressed, the last pressed released first; empty when nothing
// is held. A key is released by its own record with KEYEVENTF_KEYUP added, a
// held left button by a left-up without movement.
std::vector<InputRecord> release_stuck_inputs(const std::vector<InputRecord>& records, std::size_t count,
                                              std::size_t sent);

}  // namespace vor::desktop
