// A scripted notice port over a `FakeDesktop`, for tests.
//
// The banner it creates is a window of the fake desktop (raised to the top
// when shown, removed when destroyed), so foreground, visibility and the
// occlusion walk see it as they see any window. Painting writes into a
// screen of BGRA pixels, and `screen_frame` scripts a duplication frame that
// reads that screen, so the proof reads back exactly what the banner painted.
// Each failure is a field a case sets; every window, hotkey, device context
// and brush is counted while alive.
//
//   FakeNoticeSys notice(desk);
//   dup.frames.push_back(notice.screen_frame(100));
//   notice.when([&] { return dup.live == 0 && dup.acquired > 0; }, [&] { desk.last_input = 7; });
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "desktop/tests/capture_dxgi/fake_duplication.h"
#include "readiness/notice_sys.h"
#include "support/fake_desktop.h"

namespace vor::desktop::testing {

inline constexpr std::uint32_t kFakeHotkeyTaken = 1409;  // ERROR_HOTKEY_ALREADY_REGISTERED
inline constexpr Bgra kFakeBackground{40, 40, 40, 255};

class FakeNoticeSys final : public NoticeSys {
 public:
  explicit FakeNoticeSys(FakeDesktop& desk, Rect screen = Rect{0, 0, 1920, 1080})
      : desk_(desk), screen_(screen),
        pixels_(std::size_t(screen.right - screen.left) * std::size_t(screen.bottom - screen.top), kFakeBackground) {}

  // --- the script ---
  MonitorHandle monitor = 1;
  std::optional<std::uint32_t> hotkey_error;
  std::optional<std::uint32_t> create_error;
  std::optional<std::uint32_t> show_error;
  bool no_dc = false;
  int brush_fails_at = -1;  // the brush with this number (from 0) is not made
  int fill_fails_at = -1;   // the fill with this number (from 0) fails with 8
  std::optional<std::uint32_t> gdi_flush_error;
  std::int32_t dwm_hresult = 0;
  std::deque<QueuedMessage> queue;
  std::map<WindowHandle, std::uint32_t> ex_styles;
  std::map<WindowHandle, Win32<LayeredAttributes>> layered;

  // Runs `action` once, at the first port call at which `condition` holds.
  void when(std::function<bool()> condition, std::function<void()> action) {
    events_.push_back({std::move(condition), std::move(action)});
  }

  // --- what happened ---
  std::vector<std::string> calls;
  std::vector<Rect> monitor_queries;
  std::set<std::int32_t> hotkeys;  // registered now
  std::vector<std::uint32_t> hotkey_args;  // modifiers, key of each registration
  std::vector<BannerWindowSpec> created;
  std::set<WindowHandle> windows;  // created and not destroyed
  std::vector<std::uint32_t> show_flags;
  int live_dcs = 0;
  int live_brushes = 0;
  int brushes_made = 0;
  int fills = 0;
  std::vector<QueuedMessage> dispatched;

  bool nothing_left() const { return hotkeys.empty() && windows.empty() && live_dcs == 0 && live_brushes == 0; }

  // The screen pixel at desktop coordinates.
  Bgra pixel(std::int32_t x, std::int32_t y) const {
    return pixels_[std::size_t(y - screen_.top) * std::size_t(screen_.right - screen_.left) + std::size_t(x - screen_.left)];
  }
  // A duplication frame presented at `present` whose surface is this screen
  // as it is when the frame is read.
  FakeFrame screen_frame(std::int64_t present, std::uint32_t accumulated = 1) {
    FakeFrame f;
    f.info = {present, 0, accumulated, false, 0};
    f.surface.width = static_cast<std::uint32_t>(screen_.right - screen_.left);
    f.surface.height = static_cast<std::uint32_t>(screen_.bottom - screen_.top);
    f.paint = [this](std::uint32_t x, std::uint32_t y) {
      return pixel(screen_.left + static_cast<std::int32_t>(x), screen_.top + static_cast<std::int32_t>(y));
    };
    return f;
  }

  // --- NoticeSys ---
  MonitorHandle monitor_from_rect(const Rect& rect) override {
    step("monitor_from_rect");
    monitor_queries.push_back(rect);
    return monitor;
  }
  Win32<void> register_hotkey(std::int32_t id, std::uint32_t modifiers, std::uint32_t virtual_key) override {
    step("register_hotkey");
    hotkey_args.push_back(modifiers);
    hotkey_args.push_back(virtual_key);
    if (hotkey_error) return win32_error(*hotkey_error);
    if (!hotkeys.insert(id).second) return win32_error(kFakeHotkeyTaken);
    return {};
  }
  Win32<void> unregister_hotkey(std::int32_t id) override {
    step("unregister_hotkey");
    if (hotkeys.erase(id) == 0) return win32_error(1419);  // ERROR_HOTKEY_NOT_REGISTERED
    return {};
  }
  Win32<WindowHandle> create_window(const BannerWindowSpec& spec) override {
    step("create_window");
    created.push_back(spec);
    if (create_error) return win32_error(*create_error);
    const WindowHandle w = desk_.add_window({.process_id = desk_.self_process_id,
                                             .title = spec.title,
                                             .rect = Rect{spec.x, spec.y, spec.x + spec.width, spec.y + spec.height},
                                             .visible = false});
    windows.insert(w);
    return w;
  }
  Win32<void> set_window_pos_topmost(WindowHandle window, std::uint32_t flags) override {
    step("set_window_pos_topmost");
    show_flags.push_back(flags);
    if (show_error) return win32_error(*show_error);
    desk_.window(window).visible = true;
    desk_.raise(window);
    return {};
  }
  Win32<void> destroy_window(WindowHandle window) override {
    step("destroy_window");
    if (windows.erase(window) == 0) return win32_error(kFakeInvalidWindowHandle);
    desk_.remove_window(window);
    return {};
  }
  bool update_window(WindowHandle) override {
    step("update_window");
    return true;
  }
  DeviceContext get_dc(WindowHandle window) override {
    step("get_dc");
    if (no_dc || !windows.contains(window)) return 0;
    ++live_dcs;
    const DeviceContext dc = next_dc_++;
    dc_windows_[dc] = window;
    return dc;
  }
  void release_dc(WindowHandle, DeviceContext dc) override {
    step("release_dc");
    if (dc_windows_.erase(dc) != 0) --live_dcs;
  }
  BrushHandle create_solid_brush(std::uint32_t colorref) override {
    step("create_solid_brush");
    if (brushes_made++ == brush_fails_at) return 0;
    ++live_brushes;
    const BrushHandle b = next_brush_++;
    brushes_[b] = colorref;
    return b;
  }
  void delete_brush(BrushHandle brush) override {
    step("delete_brush");
    if (brushes_.erase(brush) != 0) --live_brushes;
  }
  // Paints the brush's colour over the rectangle, moved to the window's
  // place on screen and clipped to the window and the screen.
  Win32<void> fill_rect(DeviceContext dc, const Rect& rect, BrushHandle brush) override {
    step("fill_rect");
    if (fills++ == fill_fails_at) return win32_error(8);
    const auto w = dc_windows_.find(dc);
    const auto b = brushes_.find(brush);
    if (w == dc_windows_.end() || b == brushes_.end()) return win32_error(6);
    const Rect at = desk_.window(w->second).rect;
    const Bgra colour{static_cast<std::uint8_t>(b->second >> 16), static_cast<std::uint8_t>(b->second >> 8),
                      static_cast<std::uint8_t>(b->second), 255};
    for (std::int32_t y = std::max(at.top + rect.top, std::max(at.top, screen_.top));
         y < std::min(at.top + rect.bottom, std::min(at.bottom, screen_.bottom)); ++y) {
      for (std::int32_t x = std::max(at.left + rect.left, std::max(at.left, screen_.left));
           x < std::min(at.left + rect.right, std::min(at.right, screen_.right)); ++x) {
        pixels_[std::size_t(y - screen_.top) * std::size_t(screen_.right - screen_.left) + std::size_t(x - screen_.left)] =
            colour;
      }
    }
    return {};
  }
  Win32<void> gdi_flush() override {
    step("gdi_flush");
    if (gdi_flush_error) return win32_error(*gdi_flush_error);
    return {};
  }
  std::int32_t dwm_flush() override {
    step("dwm_flush");
    return dwm_hresult;
  }
  std::optional<QueuedMessage> peek_message(std::uint32_t first, std::uint32_t last) override {
    // Events run after the answer is taken: what they post or change is
    // seen from the next call on, as if it happened just after this one.
    std::optional<QueuedMessage> answer;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
      if ((first == 0 && last == 0) || (it->message >= first && it->message <= last)) {
        answer = *it;
        queue.erase(it);
        break;
      }
    }
    step("peek_message");
    return answer;
  }
  void translate_and_dispatch(const QueuedMessage& message) override {
    step("translate_and_dispatch");
    dispatched.push_back(message);
  }
  WindowHandle window_above(WindowHandle window) override {
    WindowHandle previous = 0;
    WindowHandle above = 0;
    desk_.enum_windows([&](WindowHandle w) {
      if (w == window) {
        above = previous;
        return false;
      }
      previous = w;
      return true;
    });
    return above;
  }
  std::uint32_t extended_style(WindowHandle window) override {
    const auto it = ex_styles.find(window);
    return it == ex_styles.end() ? 0 : it->second;
  }
  Win32<LayeredAttributes> layered_attributes(WindowHandle window) override {
    const auto it = layered.find(window);
    if (it == layered.end()) return win32_error(kFakeInvalidParameter);
    return it->second;
  }

 private:
  struct Event {
    std::function<bool()> condition;
    std::function<void()> action;
  };

  void step(const char* name) {
    calls.emplace_back(name);
    for (auto it = events_.begin(); it != events_.end();) {
      if (it->condition()) {
        auto action = std::move(it->action);
        it = events_.erase(it);
        action();
      } else {
        ++it;
      }
    }
  }

  FakeDesktop& desk_;
  Rect screen_;
  std::vector<Bgra> pixels_;
  std::vector<Event> events_;
  std::map<DeviceContext, WindowHandle> dc_windows_;
  std::map<BrushHandle, std::uint32_t> brushes_;
  DeviceContext next_dc_ = 0xD000;
  BrushHandle next_brush_ = 0xB000;
};

}  // namespace vor::desktop::testing
