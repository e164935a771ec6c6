// One target window of process 100 in session 1, its automation root, the
// classic controls beside it and an open session: the common ground of the
// element tests.
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "native/observation.h"
#include "uia/element_search.h"
#include "uia/fake_automation.h"

namespace vor::desktop::uia::testing {

inline constexpr std::uint32_t kAppProcess = 100;
inline constexpr std::uint32_t kSession = 1;

struct UiaFixture {
  UiaFixture() : ports(desk.ports()), uia(desk.clock), controls(desk) {
    desk.add_process(kAppProcess, {});
    desk.add_process(200, {});
    // As on Windows, the id of a window that is gone (0) names a process of session 0.
    desk.add_process(0, {.session = 0});
    handle = desk.add_window({.process_id = kAppProcess, .title = u"App", .rect = {0, 0, 800, 600}});
    desk.foreground = handle;
    auto observed = snapshot_window(ports, handle, kSession, false);
    EXPECT_TRUE(observed);
    window = *observed;
    root = uia.add_root(handle, {.rect = {0, 0, 800, 600}, .native = handle, .name = u"App", .class_name = u"AppWindow",
                                 .control_type = 50032});
    auto opened = UiaSession::open(uia);
    EXPECT_TRUE(opened);
    session.emplace(std::move(*opened));
  }

  UiaTarget target() { return {ports, controls, *session, window, kSession, dispatched}; }
  int button(std::u16string name, int parent = -1) {
    return uia.add_child(parent < 0 ? root : parent, {.name = std::move(name), .invoke = true});
  }

  FakeDesktop desk;
  DesktopPorts ports;
  FakeAutomation uia;
  FakeControls controls;
  WindowHandle handle = 0;
  Window window;
  int root = 0;
  std::optional<UiaSession> session;
  bool dispatched = false;
};

inline ElementSelector by_name(std::string name) {
  ElementSelector s;
  s.name = std::move(name);
  return s;
}

}  // namespace vor::desktop::uia::testing
