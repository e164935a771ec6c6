// Window and process observation over the scripted fake desktop: snapshots,
// title cleaning, process identity, target comparison, listing, and the
// window search with its limits, deadline and retry slices on the fake clock.
#include "native/observation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "support/fake_desktop.h"
#include "native/deadline.h"
#include "native/desktop_text.h"
#include "native/process_identity.h"
#include "native/win32_result.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using testing::FakeDesktop;
using testing::FakeProcess;
using testing::FakeWindow;

constexpr std::uint32_t kSession = 1;
constexpr std::uint32_t kPid = 100;
constexpr std::uint64_t kCreated = 133'444'555'666'777'888ULL;

std::string code(const Error& e) { return e.outermost(); }

// --- Win32 result conversion and process identity ---

TEST(CheckWin32, FailureCarriesCodeOverTheOsError) {
  EXPECT_TRUE(check_win32(Win32<void>{}, "DESKTOP_X_FAILED"));
  auto s = check_win32(Win32<int>(win32_error(1400)), "DESKTOP_X_FAILED");
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().outermost(), "DESKTOP_X_FAILED");
  EXPECT_EQ(s.error().os_error(), 1400u);
  ASSERT_EQ(s.error().links().size(), 2u);
  EXPECT_EQ(s.error().links()[1].kind, Error::Kind::kOs);
}

TEST(ProcessIdentity, CreationTimeAndItsFailures) {
  struct Case {
    const char* name;
    FakeProcess process;
    const char* code;  // "" = success
    std::uint32_t os_error;
  };
  const std::vector<Case> cases = {
      {"running", {.created = kCreated}, "", 0},
      {"open refused", {.open_error = 5}, "DESKTOP_PROCESS_UNAVAILABLE", 5},
      {"times refused", {.times_error = 6}, "DESKTOP_PROCESS_UNAVAILABLE", 6},
  };
  for (const Case& c : cases) {
    FakeDesktop desk;
    desk.add_process(kPid, c.process);
    auto identity = process_identity(desk, kPid);
    EXPECT_EQ(desk.open_queries(), 0) << c.name << ": the process handle is closed on every path";
    if (*c.code == '\0') {
      ASSERT_TRUE(identity) << c.name;
      EXPECT_EQ(*identity, (ProcessIdentity{kPid, kCreated}));
    } else {
      ASSERT_FALSE(identity) << c.name;
      EXPECT_EQ(code(identity.error()), c.code) << c.name;
      EXPECT_EQ(identity.error().os_error(), c.os_error) << c.name;
    }
  }
  FakeDesktop desk;
  auto gone = process_identity(desk, 999);
  ASSERT_FALSE(gone);
  EXPECT_EQ(code(gone.error()), "DESKTOP_PROCESS_UNAVAILABLE");
  desk.add_process(kPid, {.session_error = 31});
  auto session = process_session_id(desk, kPid);
  ASSERT_FALSE(session);
  EXPECT_EQ(code(session.error()), "DESKTOP_PROCESS_SESSION_UNAVAILABLE");
  EXPECT_EQ(session.error().os_error(), 31u);
}

TEST(ProcessIdentity, RestartUnderTheSameIdIsAnotherProcess) {
  EXPECT_NE((ProcessIdentity{kPid, kCreated}), (ProcessIdentity{kPid, kCreated + 1}));
  EXPECT_NE((ProcessIdentity{kPid, kCreated}), (ProcessIdentity{kPid + 1, kCreated}));
}

// --- text cleaning ---

TEST(CleanDesktopText, DropsControlsReplacesLoneSurrogatesAndBounds) {
  struct Case {
    const char* name;
    std::u16string in;
    std::size_t max;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"plain", u"Editor", 160, "Editor"},
      {"C0 controls", u"a\u0001b\u001Fc\td\ne", 160, "abcde"},
      {"DEL and C1", u"a\u007Fb\u0085c\u009Fd", 160, "abcd"},
      {"no-break space kept", u"a\u00A0b", 160, "a\xC2\xA0" "b"},
      {"pair", u"\U0001F600", 160, "\xF0\x9F\x98\x80"},
      {"lone high", std::u16string(u"a") + char16_t(0xD83D) + u"b", 160, "a\xEF\xBF\xBD" "b"},
      {"lone low", std::u16string(u"a") + char16_t(0xDE00), 160, "a\xEF\xBF\xBD"},
      {"high at the end", std::u16string(u"a") + char16_t(0xD83D), 160, "a\xEF\xBF\xBD"},
      {"reversed pair", std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, 160, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"bound counts characters", u"\U0001F600\U0001F600\U0001F600", 2, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
      {"bound after dropping", u"\u0001\u0002abc", 2, "ab"},
  };
  for (const Case& c : cases) EXPECT_EQ(clean_desktop_text(c.in, c.max), c.out) << c.name;
}

TEST(DesktopText, CallerTextUnits) {
  EXPECT_FALSE(caller_text_units("a\x1F"));
  EXPECT_FALSE(caller_text_units("\xC2\x80"));
  EXPECT_FALSE(caller_text_units("bad \xC3"));  // truncated UTF-8
  EXPECT_TRUE(caller_text_units("\xC2\xA0 ok"));
  EXPECT_EQ(caller_text_units("ab\xC3\xA9\xF0\x9F\x98\x80")->size(), 5u);
}

// --- readiness checks ---

TEST(ReadinessChecks, InputDesktopLastInputAndHeldKeys) {
  FakeDesktop desk;
  EXPECT_TRUE(check_input_desktop(desk));
  for (auto name : {Win32<std::u16string>(u"Winlogon"), Win32<std::u16string>(u"default"),
                    Win32<std::u16string>(u"Default "), Win32<std::u16string>(win32_error(5))}) {
    desk.desktop_name = name;
    auto s = check_input_desktop(desk);
    ASSERT_FALSE(s);
    EXPECT_EQ(code(s.error()), "DESKTOP_LOCKED_OR_UNAVAILABLE");
    EXPECT_FALSE(s.error().os_error()) << "no Win32 error is attached";
  }

  desk.last_input = 77u;
  EXPECT_EQ(read_last_input_tick(desk).value(), 77u);
  desk.last_input = win32_error(87);
  EXPECT_EQ(code(read_last_input_tick(desk).error()), "DESKTOP_INPUT_STATE_UNAVAILABLE");

  EXPECT_EQ(first_held_key(desk), std::nullopt);
  desk.held_keys = {255, 0};  // outside the scanned range 1..254
  EXPECT_TRUE(check_no_key_held(desk));
  desk.held_keys = {254, 0x10};
  EXPECT_EQ(first_held_key(desk), 0x10);  // ascending order
  EXPECT_EQ(code(check_no_key_held(desk).error()), "DESKTOP_HUMAN_INPUT_ACTIVE");
}

// --- snapshots ---

struct Desk {
  FakeDesktop desk;
  WindowHandle window = 0;
  Desk() {
    desk.add_process(kPid, {.session = kSession, .created = kCreated});
    window = desk.add_window({.process_id = kPid, .title = u"Editor", .rect = {10, 20, 650, 500}});
    desk.foreground = window;
    desk.last_input = 1234u;
  }
  Result<Window> snapshot(bool minimized_allowed = false) {
    return snapshot_window(desk.ports(), window, kSession, minimized_allowed);
  }
};

TEST(SnapshotWindow, RecordsEveryField) {
  Desk d;
  d.desk.clock.advance(3s);
  auto w = d.snapshot();
  ASSERT_TRUE(w);
  EXPECT_EQ(w->handle, d.window);
  EXPECT_EQ(w->process_id, kPid);
  EXPECT_EQ(w->process_created, kCreated);
  EXPECT_EQ(w->rect, (Rect{10, 20, 650, 500}));
  EXPECT_EQ(w->title, "Editor");
  EXPECT_EQ(w->observed_at, d.desk.clock.utc_now());
  EXPECT_EQ(w->last_input_tick, 1234u);
  EXPECT_TRUE(w->foreground);
  EXPECT_FALSE(w->minimized);
  EXPECT_EQ(d.desk.open_queries(), 0);

  d.desk.foreground = 0;
  d.desk.window(d.window).minimized = true;
  auto m = d.snapshot(true);
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->minimized);
  EXPECT_FALSE(m->foreground);
}

TEST(SnapshotWindow, RefusalsInOrder) {
  struct Case {
    const char* name;
    std::function<void(FakeDesktop&, WindowHandle)> change;
    bool minimized_allowed;
    const char* code;
    std::optional<std::uint32_t> os_error;
  };
  const std::vector<Case> cases = {
      {"session query fails", [](FakeDesktop& f, WindowHandle) { f.process(kPid).session_error = 31; }, false,
       "DESKTOP_PROCESS_SESSION_UNAVAILABLE", 31},
      {"other session", [](FakeDesktop& f, WindowHandle) { f.process(kPid).session = 2; }, false,
       "DESKTOP_WINDOW_UNAVAILABLE", {}},
      {"hidden", [](FakeDesktop& f, WindowHandle w) { f.window(w).visible = false; }, true,
       "DESKTOP_WINDOW_UNAVAILABLE", {}},
      {"minimized, not allowed", [](FakeDesktop& f, WindowHandle w) { f.window(w).minimized = true; }, false,
       "DESKTOP_WINDOW_UNAVAILABLE", {}},
      {"open refused", [](FakeDesktop& f, WindowHandle) { f.process(kPid).open_error = 5; }, false,
       "DESKTOP_PROCESS_UNAVAILABLE", 5},
      {"hidden before open refused",
       [](FakeDesktop& f, WindowHandle w) { f.window(w).visible = false; f.process(kPid).open_error = 5; }, false,
       "DESKTOP_WINDOW_UNAVAILABLE", {}},
      {"process times fail", [](FakeDesktop& f, WindowHandle) { f.process(kPid).times_error = 6; }, false,
       "DESKTOP_WINDOW_UNAVAILABLE", {}},
      {"rect fails", [](FakeDesktop& f, WindowHandle w) { f.window(w).rect_error = 1400; }, false,
       "DESKTOP_WINDOW_UNAVAILABLE", {}},
      {"8193 wide", [](FakeDesktop& f, WindowHandle w) { f.window(w).rect = {0, 0, 8193, 10}; }, false,
       "DESKTOP_WINDOW_BOUNDS_INVALID", {}},
      {"zero high", [](FakeDesktop& f, WindowHandle w) { f.window(w).rect = {0, 5, 10, 5}; }, false,
       "DESKTOP_WINDOW_BOUNDS_INVALID", {}},
      {"last input unavailable", [](FakeDesktop& f, WindowHandle) { f.last_input = win32_error(5); }, false,
       "DESKTOP_INPUT_STATE_UNAVAILABLE", {}},
      {"bounds before last input",
       [](FakeDesktop& f, WindowHandle w) { f.window(w).rect = {0, 0, 0, 0}; f.last_input = win32_error(5); }, false,
       "DESKTOP_WINDOW_BOUNDS_INVALID", {}},
  };
  for (const Case& c : cases) {
    Desk d;
    c.change(d.desk, d.window);
    auto w = d.snapshot(c.minimized_allowed);
    ASSERT_FALSE(w) << c.name;
    EXPECT_EQ(code(w.error()), c.code) << c.name;
    EXPECT_EQ(w.error().os_error(), c.os_error) << c.name;
    EXPECT_EQ(d.desk.open_queries(), 0) << c.name;
  }
  // A window that no longer exists.
  Desk d;
  d.desk.remove_window(d.window);
  EXPECT_FALSE(d.snapshot());
}

TEST(SnapshotWindow, TitleIsCleanedAndBounded) {
  struct Case {
    const char* name;
    std::u16string title;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"control characters", u"\u0007Report\t2026\u0085", "Report2026"},
      {"300 characters", std::u16string(300, u'x'), std::string(160, 'x')},
      // Only 255 units are read: 100 controls leave 155 characters, not 160.
      {"controls at the start of a long title", std::u16string(100, u'\u0001') + std::u16string(200, u'y'),
       std::string(155, 'y')},
      {"a pair cut at the read bound", std::u16string(254, u'z') + u"\U0001F600", std::string(160, 'z')},
  };
  for (const Case& c : cases) {
    Desk d;
    d.desk.window(d.window).title = c.title;
    auto w = d.snapshot();
    ASSERT_TRUE(w) << c.name;
    EXPECT_EQ(w->title, c.expected) << c.name;
  }
}

TEST(SnapshotWindow, ReadBoundSplitsASurrogatePairIntoReplacement) {
  Desk d;
  // 254 units then a pair: the 255-unit read keeps only the high surrogate.
  d.desk.window(d.window).title = std::u16string(254, u'z') + u"\U0001F600";
  auto text = clean_desktop_text(d.desk.window_text(d.window, kTitleReadUnits), 1000);
  EXPECT_EQ(text, std::string(254, 'z') + "\xEF\xBF\xBD");
}

// --- target comparison ---

TEST(CompareWindowSnapshots, EveryOutcome) {
  Window observed;
  observed.handle = 0x10010;
  observed.process_id = kPid;
  observed.process_created = kCreated;
  observed.rect = {0, 0, 100, 100};
  observed.last_input_tick = 50;
  observed.foreground = true;
  struct Case {
    const char* name;
    std::function<void(Window& observed, Window& fresh)> change;
    bool compare_foreground;
    bool identity, bounds, foreground, human, changed;
  };
  const std::vector<Case> cases = {
      {"same", [](Window&, Window&) {}, true, false, false, false, false, false},
      {"process id", [](Window&, Window& f) { f.process_id = kPid + 1; }, true, true, false, false, false, true},
      {"process restarted", [](Window&, Window& f) { f.process_created += 1; }, true, true, false, false, false, true},
      {"moved left", [](Window&, Window& f) { f.rect.left = 1; }, true, false, true, false, false, true},
      {"taller", [](Window&, Window& f) { f.rect.bottom = 101; }, true, false, true, false, false, true},
      {"top", [](Window&, Window& f) { f.rect.top = -1; }, true, false, true, false, false, true},
      {"right", [](Window&, Window& f) { f.rect.right = 99; }, true, false, true, false, false, true},
      {"minimized", [](Window&, Window& f) { f.minimized = true; }, true, false, true, false, false, true},
      {"lost foreground", [](Window&, Window& f) { f.foreground = false; }, true, false, false, true, false, true},
      {"lost foreground, not compared", [](Window&, Window& f) { f.foreground = false; }, false, false, false, false,
       false, false},
      {"was not foreground, is now", [](Window& o, Window&) { o.foreground = false; }, true, false, false, true, false,
       true},
      {"never foreground", [](Window& o, Window& f) { o.foreground = f.foreground = false; }, true, false, false, true,
       false, true},
      {"human input alone is no change", [](Window&, Window& f) { f.last_input_tick = 51; }, true, false, false, false,
       true, false},
      {"title change is no change", [](Window&, Window& f) { f.title = "Other"; }, true, false, false, false, false,
       false},
      {"everything", [](Window& o, Window& f) { o.foreground = false; f.process_id = 1; f.rect.left = 5; f.last_input_tick = 0; },
       true, true, true, true, true, true},
  };
  for (const Case& c : cases) {
    Window o = observed, f = observed;
    c.change(o, f);
    const TargetDiagnostic d = compare_window_snapshots(o, f, TargetPhase::kAfterNotice, c.compare_foreground);
    EXPECT_EQ(d.phase, TargetPhase::kAfterNotice) << c.name;
    EXPECT_EQ(d.process_identity_changed, c.identity) << c.name;
    EXPECT_EQ(d.bounds_changed, c.bounds) << c.name;
    EXPECT_EQ(d.foreground_changed, c.foreground) << c.name;
    EXPECT_EQ(d.human_input_changed, c.human) << c.name;
    EXPECT_FALSE(d.input_dispatched) << c.name;
    EXPECT_EQ(target_changed(d), c.changed) << c.name;
  }
}

TEST(TargetChangedError, DisplayIsTheCodeAndTheChainCarriesTheDiagnostic) {
  TargetDiagnostic d;
  d.phase = TargetPhase::kBeforeNotice;
  d.foreground_changed = true;
  Error e = target_changed_error(d);
  EXPECT_EQ(e.outermost(), "DESKTOP_TARGET_CHANGED");
  EXPECT_FALSE(e.os_error());
  Error wrapped = std::move(e).context("while guarding the input");
  const TargetChanged* found = wrapped.find<TargetChanged>();
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->diagnostic, d);
  EXPECT_EQ(found->debug(),
            "TargetChanged { phase: before_notice, processIdentityChanged: false, boundsChanged: false, "
            "foregroundChanged: true, humanInputChanged: false, inputDispatched: false }");
}

// --- check_observation ---

TEST(CheckObservation, GuardsInOrder) {
  struct Case {
    const char* name;
    std::function<void(Desk&, Window& observed)> change;
    bool input_checks;
    const char* code;
  };
  const std::vector<Case> cases = {
      {"fresh", [](Desk&, Window&) {}, true, ""},
      {"not foreground is fine", [](Desk& d, Window&) { d.desk.foreground = 0; }, true, ""},
      {"locked", [](Desk& d, Window&) { d.desk.desktop_name = std::u16string(u"Winlogon"); }, true,
       "DESKTOP_LOCKED_OR_UNAVAILABLE"},
      {"minimized now", [](Desk& d, Window&) { d.desk.window(d.window).minimized = true; }, true,
       "DESKTOP_WINDOW_UNAVAILABLE"},
      {"moved", [](Desk& d, Window&) { d.desk.window(d.window).rect.left += 1; }, true, "DESKTOP_TARGET_CHANGED"},
      {"stale, no input checks", [](Desk& d, Window&) { d.desk.clock.advance(20s); }, false, ""},
      {"stale", [](Desk& d, Window&) { d.desk.clock.advance(15001ms); }, true, "DESKTOP_OBSERVATION_STALE"},
      {"15 s is fresh", [](Desk& d, Window&) { d.desk.clock.advance(15000ms); }, true, ""},
      {"human input", [](Desk& d, Window&) { d.desk.last_input = 9999u; }, true, "DESKTOP_HUMAN_INPUT_CHANGED"},
      {"human input, no input checks", [](Desk& d, Window&) { d.desk.last_input = 9999u; }, false, ""},
      {"key held", [](Desk& d, Window&) { d.desk.held_keys = {0x41}; }, true, "DESKTOP_HUMAN_INPUT_ACTIVE"},
      {"stale before human input", [](Desk& d, Window&) { d.desk.clock.advance(16s); d.desk.last_input = 1u; }, true,
       "DESKTOP_OBSERVATION_STALE"},
      {"human input before key", [](Desk& d, Window&) { d.desk.last_input = 1u; d.desk.held_keys = {1}; }, true,
       "DESKTOP_HUMAN_INPUT_CHANGED"},
      {"change before staleness", [](Desk& d, Window&) { d.desk.clock.advance(16s); d.desk.process(kPid).created++; },
       true, "DESKTOP_TARGET_CHANGED"},
  };
  for (const Case& c : cases) {
    Desk d;
    Window observed = d.snapshot().value();
    c.change(d, observed);
    auto fresh = check_observation(d.desk.ports(), observed, kSession, c.input_checks);
    if (*c.code == '\0') {
      ASSERT_TRUE(fresh) << c.name << ": " << fresh.error().display_chain();
      EXPECT_EQ(fresh->observed_at, d.desk.clock.utc_now()) << c.name;
      continue;
    }
    ASSERT_FALSE(fresh) << c.name;
    EXPECT_EQ(code(fresh.error()), c.code) << c.name;
    if (const auto* t = fresh.error().find<TargetChanged>()) {
      EXPECT_EQ(t->diagnostic.phase, TargetPhase::kBeforeInput) << c.name;
      EXPECT_FALSE(t->diagnostic.foreground_changed) << c.name;
    }
  }
}

// An echoed window observed at either end of the years 0000 to 9999 is
// stale: the age saturates instead of wrapping around.
TEST(CheckObservation, ObservedAtTheEndsOfTheTimeRangeIsStale) {
  for (const char* text : {"0000-01-01T00:00:00Z", "1601-01-01T00:00:00Z", "9999-12-31T23:59:59.999999999Z"}) {
    Desk d;
    Window observed = d.snapshot().value();
    const auto at = parse_rfc3339(text);
    ASSERT_TRUE(at) << text;
    observed.observed_at = *at;
    auto fresh = check_observation(d.desk.ports(), observed, kSession, true);
    ASSERT_FALSE(fresh) << text;
    EXPECT_EQ(code(fresh.error()), "DESKTOP_OBSERVATION_STALE") << text;
    EXPECT_TRUE(check_observation(d.desk.ports(), observed, kSession, false)) << text;
  }
}

// --- listing and search ---

struct ManyWindows {
  FakeDesktop desk;
  std::vector<WindowHandle> handles;
  ManyWindows() {
    desk.add_process(kPid, {.session = kSession});
    desk.add_process(200, {.session = kSession});
    desk.add_process(300, {.session = 2});
  }
  WindowHandle add(std::uint32_t pid, std::u16string title, FakeWindow extra = {}) {
    extra.process_id = pid;
    extra.title = std::move(title);
    handles.push_back(desk.add_window(std::move(extra)));
    return handles.back();
  }
  Result<std::vector<Window>> find(std::optional<std::uint32_t> pid, std::optional<std::string> title,
                                   std::uint32_t timeout_ms = 1000) {
    return find_matching_windows(desk.ports(), kSession, WindowSelector{pid, std::move(title)}, timeout_ms);
  }
};

std::vector<WindowHandle> handles_of(const std::vector<Window>& windows) {
  std::vector<WindowHandle> out;
  for (const Window& w : windows) out.push_back(w.handle);
  return out;
}

TEST(ListWindows, TitledWindowsOfTheSessionInOrderAtMost64) {
  ManyWindows m;
  const WindowHandle untitled = m.add(kPid, u"");
  const WindowHandle only_controls = m.add(kPid, u"\u0001\u0002");
  const WindowHandle minimized = m.add(kPid, u"Min", {.minimized = true});
  m.add(kPid, u"Hidden", {.visible = false});
  m.add(300, u"Other session");
  m.add(kPid, u"Too wide", {.rect = {0, 0, 8193, 10}});
  std::vector<WindowHandle> expected = {minimized};
  for (int i = 0; i < 70; ++i) {
    std::u16string title(2, u'W');
    title[1] = static_cast<char16_t>(u'A' + i % 26);
    const WindowHandle h = m.add(200, title);
    if (expected.size() < 64) expected.push_back(h);
  }
  const auto listed = list_windows(m.desk.ports(), kSession);
  EXPECT_EQ(handles_of(listed), expected);
  EXPECT_EQ(listed.size(), 64u);
  EXPECT_TRUE(listed.front().minimized);
  (void)untitled;
  (void)only_controls;
}

TEST(FindMatchingWindows, MatchesByProcessAndExactTitle) {
  ManyWindows m;
  const WindowHandle editor = m.add(kPid, u"Editor");
  const WindowHandle untitled = m.add(kPid, u"");
  const WindowHandle other = m.add(200, u"Editor");
  m.add(200, u"editor");
  m.add(kPid, u"Hidden", {.visible = false});
  const WindowHandle minimized = m.add(kPid, u"Editor", {.minimized = true});
  m.add(300, u"Editor");
  const WindowHandle dirty = m.add(200, u"Ed\u0001itor");

  struct Case {
    const char* name;
    std::optional<std::uint32_t> pid;
    std::optional<std::string> title;
    std::vector<WindowHandle> expected;
  };
  const std::vector<Case> cases = {
      {"title", std::nullopt, "Editor", {editor, other, minimized, dirty}},
      {"process, untitled included", kPid, std::nullopt, {editor, untitled, minimized}},
      {"both", 200, "Editor", {other, dirty}},
      {"case-sensitive", std::nullopt, "EDITOR", {}},
  };
  for (const Case& c : cases) {
    auto found = m.find(c.pid, c.title, 100);
    ASSERT_TRUE(found) << c.name;
    EXPECT_EQ(handles_of(*found), c.expected) << c.name;
  }
}

TEST(FindMatchingWindows, LimitsOf32MatchesAnd1024Visits) {
  struct Case {
    const char* name;
    int matching, after;  // matching windows, then other windows after them
    const char* code;     // "" = success with `matching` windows
  };
  const std::vector<Case> cases = {
      {"32 matches, nothing after", 32, 0, ""},
      {"32 matches then any window", 32, 1, "DESKTOP_WINDOW_SEARCH_LIMIT"},
      {"33 matches", 33, 0, "DESKTOP_WINDOW_SEARCH_LIMIT"},
      {"31 matches among 1024 windows", 31, 1024 - 31, ""},
      {"1 match, 1025 windows", 1, 1024, "DESKTOP_WINDOW_SEARCH_LIMIT"},
      {"no match, 1025 windows", 0, 1025, "DESKTOP_WINDOW_SEARCH_LIMIT"},
  };
  for (const Case& c : cases) {
    ManyWindows m;
    for (int i = 0; i < c.matching; ++i) m.add(kPid, u"Match");
    // Windows after the matches: other titles, hidden or of another session all count as visited.
    for (int i = 0; i < c.after; ++i) m.add(i % 3 == 0 ? 300 : 200, u"Other", {.visible = i % 3 != 1});
    auto found = m.find(std::nullopt, "Match", 100);
    if (*c.code == '\0') {
      ASSERT_TRUE(found) << c.name << ": " << found.error().display_chain();
      EXPECT_EQ(found->size(), static_cast<std::size_t>(c.matching)) << c.name;
    } else {
      ASSERT_FALSE(found) << c.name;
      EXPECT_EQ(code(found.error()), c.code) << c.name;
    }
  }
}

TEST(FindMatchingWindows, NoMatchRetriesInSlicesUntilTheTimeout) {
  struct Case {
    std::uint32_t timeout_ms;
    std::vector<std::chrono::nanoseconds> sleeps;
  };
  const std::vector<Case> cases = {
      {100, {50ms, 50ms}},
      {120, {50ms, 50ms, 20ms}},
      {149, {50ms, 50ms, 49ms}},
      {4000, std::vector<std::chrono::nanoseconds>(80, 50ms)},
  };
  for (const Case& c : cases) {
    ManyWindows m;
    m.add(200, u"Other");
    auto found = m.find(std::nullopt, "Missing", c.timeout_ms);
    ASSERT_TRUE(found) << c.timeout_ms;
    EXPECT_TRUE(found->empty()) << c.timeout_ms;
    EXPECT_EQ(m.desk.clock.sleeps(), c.sleeps) << c.timeout_ms;
    EXPECT_EQ(m.desk.clock.elapsed(), std::chrono::milliseconds(c.timeout_ms)) << c.timeout_ms;
    // The last slice ends at the deadline, so no pass follows it.
    EXPECT_EQ(m.desk.enumerations(), static_cast<int>(c.sleeps.size())) << c.timeout_ms;
  }
}

TEST(FindMatchingWindows, SlowEnumerationsShareTheDeadline) {
  // Each visited window costs 30 ms: the deadline passes inside an enumeration.
  struct Case {
    const char* name;
    int windows;
    std::uint32_t timeout_ms;
    const char* code;
    std::vector<std::chrono::nanoseconds> sleeps;
  };
  const std::vector<Case> cases = {
      // 0+30+30+30 = 90 ms then the 4th window is visited at 120 ms >= 100.
      {"deadline inside the first enumeration", 5, 100, "DESKTOP_WINDOW_QUERY_TIMEOUT", {}},
      // 60 ms per pass: pass 1 ends at 60, sleep 50 to 110, pass 2 starts visiting at 140 >= 130.
      {"deadline inside the second enumeration", 2, 130, "DESKTOP_WINDOW_QUERY_TIMEOUT", {50ms}},
      // Pass 1 ends at 60, sleep 40 (the time left) to 100, which is the deadline: empty list.
      {"deadline during the sleep", 2, 100, "", {40ms}},
  };
  for (const Case& c : cases) {
    ManyWindows m;
    m.desk.enumeration_cost = 30ms;
    for (int i = 0; i < c.windows; ++i) m.add(200, u"Other");
    auto found = m.find(std::nullopt, "Missing", c.timeout_ms);
    if (*c.code == '\0') {
      ASSERT_TRUE(found) << c.name;
      EXPECT_TRUE(found->empty()) << c.name;
    } else {
      ASSERT_FALSE(found) << c.name;
      EXPECT_EQ(code(found.error()), c.code) << c.name;
    }
    EXPECT_EQ(m.desk.clock.sleeps(), c.sleeps) << c.name;
  }
  // A match found before the deadline in the same pass still fails it.
  ManyWindows m;
  m.desk.enumeration_cost = 60ms;
  m.add(kPid, u"Match");
  m.add(200, u"Other");
  auto found = m.find(std::nullopt, "Match", 100);
  ASSERT_FALSE(found);
  EXPECT_EQ(code(found.error()), "DESKTOP_WINDOW_QUERY_TIMEOUT");
}

TEST(FindMatchingWindows, EarlyWakingSleepStillEndsWithTheEmptyList) {
  // Sleeps wake 1 ms early and each visited window costs 2 ms: a pass must
  // never start in the sliver before the deadline and then time out.
  ManyWindows m;
  m.desk.clock.early_wake = 1ms;
  m.desk.enumeration_cost = 2ms;
  for (int i = 0; i < 3; ++i) m.add(200, u"Other");
  auto found = m.find(std::nullopt, "Missing", 200);
  ASSERT_TRUE(found) << found.error().display_chain();
  EXPECT_TRUE(found->empty());
  EXPECT_GE(m.desk.clock.elapsed(), 200ms);
}

TEST(FindMatchingWindows, WindowAppearingDuringTheSearchIsFound) {
  ManyWindows m;
  m.add(200, u"Other");
  const WindowHandle late = m.add(kPid, u"Late", {.appears_after = 130ms});
  auto found = m.find(std::nullopt, "Late", 1000);
  ASSERT_TRUE(found);
  EXPECT_EQ(handles_of(*found), std::vector<WindowHandle>{late});
  // Passes at 0, 50, 100 see nothing; the pass at 150 finds it.
  EXPECT_EQ(m.desk.clock.sleeps(), (std::vector<std::chrono::nanoseconds>{50ms, 50ms, 50ms}));
  EXPECT_EQ(m.desk.enumerations(), 4);
}

TEST(FindMatchingWindows, LockedDesktopFailsTheSearch) {
  ManyWindows m;
  m.add(kPid, u"Editor");
  m.desk.desktop_name = win32_error(5);
  auto found = m.find(std::nullopt, "Editor");
  ASSERT_FALSE(found);
  EXPECT_EQ(code(found.error()), "DESKTOP_LOCKED_OR_UNAVAILABLE");
  EXPECT_EQ(m.desk.enumerations(), 0);
}

// --- the deadline itself ---

TEST(OperationDeadline, SlicesAreShortenedToTheTimeLeft) {
  testing::FakeClock clock;
  OperationDeadline deadline(clock, 130);
  clock.advance(10ms);
  EXPECT_EQ(deadline.remaining(), 120ms);
  EXPECT_TRUE(deadline.sleep_retry_slice());  // 50 -> 60
  EXPECT_TRUE(deadline.sleep_retry_slice());  // 50 -> 110
  EXPECT_FALSE(deadline.sleep_retry_slice());  // 20 -> 130: expired
  EXPECT_FALSE(deadline.sleep_retry_slice());  // no sleep at all
  EXPECT_EQ(clock.sleeps(), (std::vector<std::chrono::nanoseconds>{50ms, 50ms, 20ms}));
  EXPECT_TRUE(deadline.expired());
  EXPECT_EQ(deadline.remaining(), 0ns);
}

TEST(OperationDeadline, LastSliceSleepsAgainWhenTheClockWakesEarly) {
  testing::FakeClock clock;
  clock.early_wake = 3ms;
  OperationDeadline deadline(clock, 60);
  EXPECT_TRUE(deadline.sleep_retry_slice());  // 50 ms asked, 47 slept
  EXPECT_FALSE(deadline.sleep_retry_slice());  // 13 asked (10 slept), then 3 (1 ns), 3, ...
  EXPECT_TRUE(deadline.expired());
  ASSERT_GE(clock.sleeps().size(), 3u);
  EXPECT_EQ(clock.sleeps()[0], 50ms);
  EXPECT_EQ(clock.sleeps()[1], 13ms);
  EXPECT_EQ(clock.sleeps()[2], 3ms);
}

TEST(IsWindowCloaked, QueryOutcomes) {
  Desk d;
  EXPECT_TRUE(is_window_cloaked(d.desk, d.window).query_succeeded);
  EXPECT_EQ(is_window_cloaked(d.desk, d.window).cloaked, 0u);
  d.desk.window(d.window).cloaked = 2u;
  EXPECT_EQ(is_window_cloaked(d.desk, d.window).cloaked, 2u);
  d.desk.window(d.window).cloaked = std::unexpected<std::int32_t>(-2147467263);  // E_NOTIMPL
  EXPECT_FALSE(is_window_cloaked(d.desk, d.window).query_succeeded);
}

}  // namespace
}  // namespace vor::desktop

namespace vor::desktop {
namespace {

// The fake's hit test and foreground, which the executor's tests rely on.
TEST(FakeDesktopScript, HitTestFollowsZOrderAndForegroundCanBeRefused) {
  FakeDesktop desk;
  desk.add_process(kPid, {});
  const WindowHandle first = desk.add_window({.process_id = kPid, .rect = {0, 0, 100, 100}});
  const WindowHandle second = desk.add_window({.process_id = kPid, .rect = {50, 50, 150, 150}});
  EXPECT_EQ(desk.window_from_point(60, 60), first);  // each new window goes below the others
  desk.raise(second);
  EXPECT_EQ(desk.window_from_point(60, 60), second);
  EXPECT_EQ(desk.window_from_point(10, 10), first);
  EXPECT_EQ(desk.window_from_point(150, 60), 0u);  // right edge excluded
  desk.window(second).minimized = true;
  EXPECT_EQ(desk.window_from_point(60, 60), first);

  EXPECT_TRUE(desk.set_foreground(second));
  EXPECT_EQ(desk.foreground_window(), second);
  desk.foreground_allowed = false;
  EXPECT_FALSE(desk.set_foreground(first));
  EXPECT_EQ(desk.foreground_window(), second);
}

}  // namespace
}  // namespace vor::desktop
