#include <gtest/gtest.h>

#include <functional>

#include "readiness/readiness.h"
#include "support/fake_desktop.h"
#include "support/fake_desktop_sys.h"

namespace vor::desktop {
namespace {

using testing::FakeDesktop;
using testing::FakeDesktopSys;

constexpr std::int32_t kENotImpl = static_cast<std::int32_t>(0x80004001u);
constexpr std::int32_t kEFail = static_cast<std::int32_t>(0x80004005u);
const Rect kMonitor{0, 0, 1920, 1080};
const Time kNow = Time(std::chrono::seconds(1'800'000'000));

// The answers of a ready desktop with a foreground window on the monitor.
ReadinessFacts ready_facts() {
  ReadinessFacts f;
  f.session = 1;
  f.notification = {0, 5};
  f.screensaver = 0;
  f.composition = {0, 1};
  f.input_desktop = std::u16string(u"Default");
  f.foreground = 0x10010;
  f.foreground_process_id = 100;
  f.foreground_rect = Win32<Rect>(Rect{100, 100, 900, 700});
  f.monitor = 1;
  f.monitor_rect = Win32<Rect>(kMonitor);
  f.observed_at = kNow;
  f.last_input_tick = 1000u;
  f.tick_count = 5000;
  f.foreground_process_created = 133'000'000'000'000'000ull;
  f.foreground_minimized = false;
  return f;
}

TEST(AssembleNoticeContext, AReadyDesktopFillsEveryField) {
  const NoticeContext c = assemble_notice_context(ready_facts());
  EXPECT_EQ(c.observed_at, kNow);
  EXPECT_EQ(c.worker_session_id, 1u);
  EXPECT_TRUE(c.input_desktop_available);
  EXPECT_EQ(c.input_desktop_name, "Default");
  EXPECT_EQ(c.input_desktop_error, std::nullopt);
  EXPECT_EQ(c.notification_hresult, 0);
  EXPECT_EQ(c.notification_state, 5);
  EXPECT_EQ(c.notification_state_name, "accepts_notifications");
  EXPECT_EQ(c.screensaver_running, false);
  EXPECT_EQ(c.screensaver_error, std::nullopt);
  EXPECT_EQ(c.last_input_idle_milliseconds, 4000u);
  EXPECT_EQ(c.composition_hresult, 0);
  EXPECT_EQ(c.composition_enabled, true);
  EXPECT_EQ(c.foreground_handle, "65552");
  EXPECT_EQ(c.foreground_process_id, 100u);
  EXPECT_EQ(c.foreground_process_created, "133000000000000000");
  EXPECT_FALSE(c.foreground_minimized);
  EXPECT_EQ(c.foreground_rect, (Rect{100, 100, 900, 700}));
  EXPECT_EQ(c.display_rect, kMonitor);
  EXPECT_EQ(c.foreground_covers_display, false);
}

// Each case changes the ready answers and checks the fields that follow.
struct FactsCase {
  const char* name;
  std::function<void(ReadinessFacts&)> answers;
  std::function<void(const NoticeContext&)> expect;
};

TEST(AssembleNoticeContext, RawAnswersBecomeFieldsNamesAndAbsences) {
  const FactsCase cases[] = {
      {"locked workstation: another desktop",
       [](ReadinessFacts& f) { f.input_desktop = std::u16string(u"Winlogon"); },
       [](const NoticeContext& c) {
         EXPECT_FALSE(c.input_desktop_available);
         EXPECT_EQ(c.input_desktop_name, "Winlogon");
         EXPECT_EQ(c.input_desktop_error, std::nullopt);
       }},
      {"the name is compared exactly", [](ReadinessFacts& f) { f.input_desktop = std::u16string(u"default"); },
       [](const NoticeContext& c) { EXPECT_FALSE(c.input_desktop_available); }},
      {"OpenInputDesktop failed", [](ReadinessFacts& f) { f.input_desktop = win32_error(5); },
       [](const NoticeContext& c) {
         EXPECT_FALSE(c.input_desktop_available);
         EXPECT_EQ(c.input_desktop_name, std::nullopt);
         EXPECT_EQ(c.input_desktop_error, 5u);
       }},
      {"a desktop name with an unpaired surrogate is kept lossily",
       [](ReadinessFacts& f) { f.input_desktop = std::u16string(u"Sec\xD800ure"); },
       [](const NoticeContext& c) { EXPECT_EQ(c.input_desktop_name, "Sec\xEF\xBF\xBDure"); }},
      {"screen saver query failed", [](ReadinessFacts& f) { f.screensaver = win32_error(1400); },
       [](const NoticeContext& c) {
         EXPECT_EQ(c.screensaver_running, std::nullopt);
         EXPECT_EQ(c.screensaver_error, 1400u);
       }},
      {"screen saver running", [](ReadinessFacts& f) { f.screensaver = 1; },
       [](const NoticeContext& c) { EXPECT_EQ(c.screensaver_running, true); }},
      {"composition query failed", [](ReadinessFacts& f) { f.composition = {kENotImpl, 1}; },
       [](const NoticeContext& c) {
         EXPECT_EQ(c.composition_hresult, kENotImpl);
         EXPECT_EQ(c.composition_enabled, std::nullopt);
       }},
      {"composition off", [](ReadinessFacts& f) { f.composition = {0, 0}; },
       [](const NoticeContext& c) { EXPECT_EQ(c.composition_enabled, false); }},
      {"a positive HRESULT still counts as an answer", [](ReadinessFacts& f) { f.composition = {1, 1}; },
       [](const NoticeContext& c) { EXPECT_EQ(c.composition_enabled, true); }},
      {"no foreground window",
       [](ReadinessFacts& f) {
         f.foreground = 0;
         f.foreground_process_id = 0;
         f.foreground_rect.reset();
         f.foreground_process_created.reset();
       },
       [](const NoticeContext& c) {
         EXPECT_EQ(c.foreground_handle, "0");
         EXPECT_EQ(c.foreground_process_id, std::nullopt);
         EXPECT_EQ(c.foreground_process_created, std::nullopt);
         EXPECT_EQ(c.foreground_rect, std::nullopt);
         EXPECT_EQ(c.foreground_covers_display, std::nullopt);
         EXPECT_FALSE(c.foreground_minimized);
         EXPECT_EQ(c.display_rect, kMonitor);
       }},
      {"foreground rectangle query failed", [](ReadinessFacts& f) { f.foreground_rect = Win32<Rect>(win32_error(1400)); },
       [](const NoticeContext& c) {
         EXPECT_EQ(c.foreground_rect, std::nullopt);
         EXPECT_EQ(c.foreground_covers_display, std::nullopt);
       }},
      {"monitor information failed", [](ReadinessFacts& f) { f.monitor_rect = Win32<Rect>(win32_error(87)); },
       [](const NoticeContext& c) {
         EXPECT_EQ(c.display_rect, std::nullopt);
         EXPECT_EQ(c.foreground_covers_display, std::nullopt);
       }},
      {"no monitor at all", [](ReadinessFacts& f) { f.monitor = 0; f.monitor_rect.reset(); },
       [](const NoticeContext& c) { EXPECT_EQ(c.display_rect, std::nullopt); }},
      {"full screen exactly the monitor", [](ReadinessFacts& f) { f.foreground_rect = Win32<Rect>(kMonitor); },
       [](const NoticeContext& c) { EXPECT_EQ(c.foreground_covers_display, true); }},
      {"maximized beyond the monitor", [](ReadinessFacts& f) { f.foreground_rect = Win32<Rect>(Rect{-8, -8, 1928, 1088}); },
       [](const NoticeContext& c) { EXPECT_EQ(c.foreground_covers_display, true); }},
      {"one pixel short on the right", [](ReadinessFacts& f) { f.foreground_rect = Win32<Rect>(Rect{0, 0, 1919, 1080}); },
       [](const NoticeContext& c) { EXPECT_EQ(c.foreground_covers_display, false); }},
      {"one pixel short at the top", [](ReadinessFacts& f) { f.foreground_rect = Win32<Rect>(Rect{0, 1, 1920, 1080}); },
       [](const NoticeContext& c) { EXPECT_EQ(c.foreground_covers_display, false); }},
      {"minimized foreground", [](ReadinessFacts& f) { f.foreground_minimized = true; },
       [](const NoticeContext& c) { EXPECT_TRUE(c.foreground_minimized); }},
      {"process creation unreadable", [](ReadinessFacts& f) { f.foreground_process_created.reset(); },
       [](const NoticeContext& c) {
         EXPECT_EQ(c.foreground_process_id, 100u);
         EXPECT_EQ(c.foreground_process_created, std::nullopt);
       }},
      {"notification query failed", [](ReadinessFacts& f) { f.notification = {kEFail, 3}; },
       [](const NoticeContext& c) {
         EXPECT_EQ(c.notification_hresult, kEFail);
         EXPECT_EQ(c.notification_state, std::nullopt);
         EXPECT_EQ(c.notification_state_name, "query_failed");
       }},
      {"notification state 0", [](ReadinessFacts& f) { f.notification = {0, 0}; },
       [](const NoticeContext& c) {
         EXPECT_EQ(c.notification_state, 0);
         EXPECT_EQ(c.notification_state_name, "unknown");
       }},
      {"notification state 8", [](ReadinessFacts& f) { f.notification = {0, 8}; },
       [](const NoticeContext& c) {
         EXPECT_EQ(c.notification_state, 8);
         EXPECT_EQ(c.notification_state_name, "unknown");
       }},
      {"last input after the tick count: the idle time wraps",
       [](ReadinessFacts& f) {
         f.last_input_tick = 0xFFFFFF00u;
         f.tick_count = 0x100;
       },
       [](const NoticeContext& c) { EXPECT_EQ(c.last_input_idle_milliseconds, 0x200u); }},
      {"last input unreadable", [](ReadinessFacts& f) { f.last_input_tick = win32_error(5); },
       [](const NoticeContext& c) { EXPECT_EQ(c.last_input_idle_milliseconds, std::nullopt); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReadinessFacts f = ready_facts();
    c.answers(f);
    c.expect(assemble_notice_context(f));
  }
}

TEST(NotificationStateName, EveryKnownStateHasItsName) {
  const char* names[] = {"unknown",    "not_present",           "busy",       "running_d3d_full_screen",
                         "presentation_mode", "accepts_notifications", "quiet_time", "store_app", "unknown"};
  for (std::int32_t state = 0; state <= 8; ++state) EXPECT_EQ(notification_state_name(0, state), names[state]);
  EXPECT_EQ(notification_state_name(1, 5), "query_failed");
}

// Forwards every port call to the scripted desktop and records its name in
// the same log as the `DesktopSys` calls, so the order of all queries shows.
class RecordingPorts final : public WindowSys, public ProcSys, public InputSys, public Clock {
 public:
  RecordingPorts(FakeDesktop& desk, std::vector<std::string>& log) : desk_(desk), log_(log) {}
  DesktopPorts ports() { return {*this, *this, *this, *this}; }

  Win32<void> enum_windows(const std::function<bool(WindowHandle)>& v) override { return note("enum_windows", desk_.enum_windows(v)); }
  std::uint32_t window_process_id(WindowHandle w) override { return note("window_process_id", desk_.window_process_id(w)); }
  bool is_visible(WindowHandle w) override { return note("is_visible", desk_.is_visible(w)); }
  bool is_minimized(WindowHandle w) override { return note("is_minimized", desk_.is_minimized(w)); }
  Win32<Rect> window_rect(WindowHandle w) override { return note("window_rect", desk_.window_rect(w)); }
  std::u16string window_text(WindowHandle w, std::size_t n) override { return note("window_text", desk_.window_text(w, n)); }
  WindowHandle foreground_window() override { return note("foreground_window", desk_.foreground_window()); }
  WindowHandle root_ancestor(WindowHandle w) override { return note("root_ancestor", desk_.root_ancestor(w)); }
  WindowHandle window_from_point(std::int32_t x, std::int32_t y) override { return note("window_from_point", desk_.window_from_point(x, y)); }
  bool set_foreground(WindowHandle w) override { return note("set_foreground", desk_.set_foreground(w)); }
  std::expected<std::uint32_t, std::int32_t> cloaked(WindowHandle w) override { return note("cloaked", desk_.cloaked(w)); }
  Win32<std::uint32_t> display_affinity(WindowHandle w) override { return note("display_affinity", desk_.display_affinity(w)); }
  Win32<std::u16string> input_desktop_name() override { return note("input_desktop_name", desk_.input_desktop_name()); }
  Win32<std::uint32_t> process_session_id(std::uint32_t p) override { return note("process_session_id", desk_.process_session_id(p)); }
  Win32<std::unique_ptr<Process>> open(std::uint32_t p, Access a) override { return note("open", desk_.open(p, a)); }
  std::uint32_t current_process_id() override { return note("current_process_id", desk_.current_process_id()); }
  Win32<std::uint32_t> last_input_tick() override { return note("last_input_tick", desk_.last_input_tick()); }
  std::int16_t async_key_state(int k) override { return note("async_key_state", desk_.async_key_state(k)); }
  VirtualScreen virtual_screen() override { return note("virtual_screen", desk_.virtual_screen()); }
  Win32<std::uint32_t> send_input(const std::vector<InputRecord>& r) override { return note("send_input", desk_.send_input(r)); }
  Monotonic monotonic_now() override { return note("monotonic_now", desk_.clock.monotonic_now()); }
  Time utc_now() override { return note("utc_now", desk_.clock.utc_now()); }
  void sleep(std::chrono::nanoseconds d) override {
    log_.push_back("sleep");
    desk_.clock.sleep(d);
  }

 private:
  template <class T>
  T note(const char* name, T value) {
    log_.push_back(name);
    return value;
  }
  FakeDesktop& desk_;
  std::vector<std::string>& log_;
};

// A desktop whose worker (pid 4242) and foreground owner (pid 100) are in session 1.
struct Desk {
  FakeDesktop desk;
  FakeDesktopSys sys;
  WindowHandle window = 0;
  Desk() {
    desk.add_process(4242, {.session = 1});
    desk.add_process(100, {.session = 1, .created = 777});
    window = desk.add_window({.process_id = 100, .title = u"Editor", .rect = {-8, -8, 1928, 1088}});
    desk.foreground = window;
    desk.last_input = 4000u;
  }
};

TEST(QueryReadiness, AsksInTheSnapshotOrderAndClosesTheProcess) {
  Desk d;
  RecordingPorts recording(d.desk, d.sys.calls);
  const NoticeContext c = query_readiness(recording.ports(), d.sys, 1);
  EXPECT_EQ(d.sys.calls, (std::vector<std::string>{
                             "notification_state", "screensaver_running", "composition_enabled", "input_desktop_name",
                             "foreground_window", "window_process_id", "window_rect", "monitor_from_window",
                             "monitor_rect", "utc_now", "last_input_tick", "tick_count", "open", "is_minimized"}));
  EXPECT_EQ(d.desk.open_queries(), 0);
  EXPECT_EQ(c.observed_at, d.desk.clock.utc_now());
  EXPECT_EQ(c.foreground_process_created, "777");
  EXPECT_EQ(c.foreground_covers_display, true);
  EXPECT_EQ(c.last_input_idle_milliseconds, 1000u);
}

TEST(QueryReadiness, WithoutAForegroundWindowNothingIsAskedAboutIt) {
  Desk d;
  d.desk.foreground = 0;
  RecordingPorts recording(d.desk, d.sys.calls);
  const NoticeContext c = query_readiness(recording.ports(), d.sys, 1);
  EXPECT_EQ(d.sys.calls, (std::vector<std::string>{"notification_state", "screensaver_running",
                                                   "composition_enabled", "input_desktop_name", "foreground_window",
                                                   "window_process_id", "monitor_from_window", "monitor_rect",
                                                   "utc_now", "last_input_tick", "tick_count"}));
  EXPECT_EQ(c.foreground_handle, "0");
  EXPECT_EQ(c.display_rect, kMonitor);
}

TEST(QueryReadiness, AnUnreadableProcessLeavesOnlyItsCreationTimeAbsent) {
  Desk d;
  d.desk.process(100).open_error = 5;
  const NoticeContext c = query_readiness(d.desk.ports(), d.sys, 1);
  EXPECT_EQ(c.foreground_process_id, 100u);
  EXPECT_EQ(c.foreground_process_created, std::nullopt);
  EXPECT_EQ(c.foreground_rect, (Rect{-8, -8, 1928, 1088}));
}

struct ReadyCase {
  const char* name;
  std::function<void(Desk&)> script;
  const char* code;  // nullptr: ready
};

TEST(CheckSessionReady, RefusalsCarryTheSnapshotThatCausedThem) {
  using Buffer = DesktopSys::SessionBuffer;
  const ReadyCase cases[] = {
      {"ready", [](Desk&) {}, nullptr},
      {"disconnected session on the Default desktop",
       [](Desk& d) { d.sys.sessions[1] = Buffer{4, 4}; }, "DESKTOP_LOCKED_OR_UNAVAILABLE"},
      {"session query failed", [](Desk& d) { d.sys.sessions.clear(); }, "DESKTOP_LOCKED_OR_UNAVAILABLE"},
      {"session buffer shorter than 4 bytes", [](Desk& d) { d.sys.sessions[1] = Buffer{2, 0}; },
       "DESKTOP_LOCKED_OR_UNAVAILABLE"},
      {"locked workstation", [](Desk& d) { d.desk.desktop_name = std::u16string(u"Winlogon"); },
       "DESKTOP_LOCKED_OR_UNAVAILABLE"},
      {"input desktop cannot be opened", [](Desk& d) { d.desk.desktop_name = win32_error(5); },
       "DESKTOP_LOCKED_OR_UNAVAILABLE"},
      {"locked and screen saver running: the lock is reported",
       [](Desk& d) {
         d.desk.desktop_name = std::u16string(u"Screen-saver");
         d.sys.screensaver = 1;
       },
       "DESKTOP_LOCKED_OR_UNAVAILABLE"},
      {"screen saver running", [](Desk& d) { d.sys.screensaver = 1; }, "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
      {"screen saver unknown", [](Desk& d) { d.sys.screensaver = win32_error(1400); },
       "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
      {"composition off", [](Desk& d) { d.sys.composition = {0, 0}; }, "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
      {"composition unknown", [](Desk& d) { d.sys.composition = {kENotImpl, 1}; },
       "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Desk d;
    c.script(d);
    const Status s = check_session_ready(d.desk.ports(), d.sys);
    if (c.code == nullptr) {
      EXPECT_TRUE(s) << s.error().display_chain();
      continue;
    }
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().display_chain(), c.code);
    EXPECT_EQ(s.error().os_error(), std::nullopt);
    const NoticeContext* snapshot = s.error().find<NoticeContext>();
    ASSERT_NE(snapshot, nullptr);
    d.sys.calls.clear();
    EXPECT_EQ(*snapshot, query_readiness(d.desk.ports(), d.sys, 1));
  }
}

TEST(CheckSessionReady, AnUnreadableOwnSessionIsReturnedUnchangedWithoutASnapshot) {
  Desk d;
  d.desk.process(4242).session_error = 5;
  const Status s = check_session_ready(d.desk.ports(), d.sys);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().outermost(), "DESKTOP_PROCESS_SESSION_UNAVAILABLE");
  EXPECT_EQ(s.error().os_error(), 5u);
  EXPECT_EQ(s.error().find<NoticeContext>(), nullptr);
  EXPECT_TRUE(d.sys.calls.empty());
}

TEST(CheckSessionReady, AsksAboutTheWorkersOwnSession) {
  Desk d;
  d.desk.process(4242).session = 3;
  d.sys.sessions = {{3, DesktopSys::SessionBuffer{4, 0}}};
  EXPECT_TRUE(check_session_ready(d.desk.ports(), d.sys));
  d.sys.sessions = {{1, DesktopSys::SessionBuffer{4, 0}}};
  const Status s = check_session_ready(d.desk.ports(), d.sys);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().find<NoticeContext>()->worker_session_id, 3u);
}

}  // namespace
}  // namespace vor::desktop
