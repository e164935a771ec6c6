// Checks an error of the window capture: its code, and either its
// WindowCaptureFailure {phase, hresult} or (phase "") that it is plain.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "capture_wgc/window_capture.h"

namespace vor::desktop::testing {

inline void expect_wgc_error(const Error& e, std::string_view code, std::string_view phase, HResult hr,
                             const std::string& name) {
  EXPECT_EQ(e.outermost(), code) << name << ": " << e.display_chain();
  const auto* f = e.find<WindowCaptureFailure>();
  if (phase.empty()) {
    EXPECT_EQ(f, nullptr) << name;
    return;
  }
  ASSERT_NE(f, nullptr) << name;
  EXPECT_EQ(*f, (WindowCaptureFailure{std::string(phase), hr})) << name;
}

}  // namespace vor::desktop::testing
