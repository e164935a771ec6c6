// The window-capture eligibility check over the fake desktop, in its order.
#include "native/capture_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "native/observation.h"
#include "support/fake_desktop.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using testing::FakeDesktop;

struct Case {
  const char* name;
  std::function<void(FakeDesktop&, WindowHandle, Request&)> change;
  const char* session_ready;  // the readiness outcome, "" = ready
  const char* code;           // "" = eligible
};

TEST(CheckWindowCaptureSource, ChecksInOrder) {
  const std::vector<Case> cases = {
      {"eligible, not foreground", [](FakeDesktop& f, WindowHandle, Request&) { f.foreground = 0; }, "", ""},
      {"locked input desktop", [](FakeDesktop& f, WindowHandle, Request&) { f.desktop_name = std::u16string(u"Winlogon"); },
       "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_LOCKED_OR_UNAVAILABLE"},
      {"session locked passes unchanged", [](FakeDesktop&, WindowHandle, Request&) {}, "DESKTOP_LOCKED_OR_UNAVAILABLE",
       "DESKTOP_LOCKED_OR_UNAVAILABLE"},
      {"other readiness failure", [](FakeDesktop&, WindowHandle, Request&) {}, "DESKTOP_NOTICE_PROOF_UNAVAILABLE",
       "DESKTOP_CAPTURE_ENVIRONMENT_UNAVAILABLE"},
      {"readiness before validation", [](FakeDesktop&, WindowHandle, Request& r) { r.protocol = 2; },
       "DESKTOP_PROCESS_SESSION_UNAVAILABLE", "DESKTOP_CAPTURE_ENVIRONMENT_UNAVAILABLE"},
      {"request invalid", [](FakeDesktop&, WindowHandle, Request& r) { r.protocol = 2; }, "",
       "DESKTOP_PROTOCOL_INCOMPATIBLE"},
      {"observation stale", [](FakeDesktop& f, WindowHandle, Request&) { f.clock.advance(16s); }, "",
       "DESKTOP_OBSERVATION_STALE"},
      {"minimized", [](FakeDesktop& f, WindowHandle w, Request&) { f.window(w).minimized = true; }, "",
       "DESKTOP_WINDOW_UNAVAILABLE"},
      {"moved", [](FakeDesktop& f, WindowHandle w, Request&) { f.window(w).rect.top += 3; }, "",
       "DESKTOP_TARGET_CHANGED"},
      {"human input", [](FakeDesktop& f, WindowHandle, Request&) { f.last_input = 5u; }, "",
       "DESKTOP_HUMAN_INPUT_CHANGED"},
      {"change before human input",
       [](FakeDesktop& f, WindowHandle w, Request&) { f.last_input = 5u; f.window(w).rect.top += 3; }, "",
       "DESKTOP_TARGET_CHANGED"},
      {"cloaked", [](FakeDesktop& f, WindowHandle w, Request&) { f.window(w).cloaked = 1u; }, "",
       "DESKTOP_CAPTURE_WINDOW_SOURCE_UNAVAILABLE"},
      {"cloak query fails",
       [](FakeDesktop& f, WindowHandle w, Request&) { f.window(w).cloaked = std::unexpected<std::int32_t>(-1); }, "",
       "DESKTOP_CAPTURE_WINDOW_SOURCE_UNAVAILABLE"},
      {"not its own root", [](FakeDesktop& f, WindowHandle w, Request&) { f.window(w).root = 0x999; }, "",
       "DESKTOP_CAPTURE_WINDOW_SOURCE_UNAVAILABLE"},
      {"display affinity", [](FakeDesktop& f, WindowHandle w, Request&) { f.window(w).display_affinity = 0x11u; }, "",
       "DESKTOP_CAPTURE_PROTECTED_CONTENT"},
      {"affinity query fails", [](FakeDesktop& f, WindowHandle w, Request&) { f.window(w).display_affinity = win32_error(5); },
       "", ""},
      {"cloaked before affinity",
       [](FakeDesktop& f, WindowHandle w, Request&) { f.window(w).cloaked = 2u; f.window(w).display_affinity = 1u; }, "",
       "DESKTOP_CAPTURE_WINDOW_SOURCE_UNAVAILABLE"},
  };
  for (const Case& c : cases) {
    FakeDesktop desk;
    desk.add_process(100, {.session = 1, .created = 42});
    const WindowHandle w = desk.add_window({.process_id = 100, .title = u"Doc", .rect = {0, 0, 300, 200}});
    desk.foreground = w;
    Window observed = snapshot_window(desk.ports(), w, 1, false).value();
    desk.clock.advance(100ms);
    Request request{1, "cap-1", 1, CaptureWindow{observed}};
    c.change(desk, w, request);
    int readiness_calls = 0;
    auto fresh = check_window_capture_source(desk.ports(), request, TargetPhase::kAfterCapture, [&]() -> Status {
      ++readiness_calls;
      if (*c.session_ready == '\0') return {};
      return fail(Error(c.session_ready).context(c.session_ready));
    });
    if (*c.code == '\0') {
      ASSERT_TRUE(fresh) << c.name << ": " << fresh.error().display_chain();
      EXPECT_EQ(fresh->observed_at, desk.clock.utc_now()) << c.name;
      EXPECT_EQ(readiness_calls, 1) << c.name;
      continue;
    }
    ASSERT_FALSE(fresh) << c.name;
    EXPECT_EQ(fresh.error().outermost(), c.code) << c.name;
    if (const auto* t = fresh.error().find<TargetChanged>()) {
      EXPECT_EQ(t->diagnostic.phase, TargetPhase::kAfterCapture) << c.name;
    }
  }
}

}  // namespace
}  // namespace vor::desktop
