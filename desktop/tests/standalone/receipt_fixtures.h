// Sample receipts and responses, and a fake store to keep them in.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "standalone/state/receipt.h"
#include "state_fakes.h"

namespace vor::desktop::testing {

// 2027-01-15T08:00:00Z, the fake clock's start.
inline const Time kEpoch = Time{} + std::chrono::seconds(1'800'000'000);

inline Response sample_response(const std::string& operation_id) {
  Response r;
  r.operation_id = operation_id;
  r.session_id = 1;
  r.code = "DESKTOP_OBSERVED";
  r.next_safe_action = "Observe.";
  Window w;
  w.handle = 0x10203;
  w.process_id = 77;
  w.process_created = 133000000000000001;
  w.rect = Rect{1, 2, 300, 400};
  w.title = "Secret document - Editor";
  w.observed_at = kEpoch;
  w.foreground = true;
  r.windows.push_back(w);
  r.png_base64 = "iVBORw0KGgo=";
  r.image_width = 640;
  r.image_height = 480;
  Outcome outcome;
  Element element;
  element.automation_id = "ok";
  element.name = "Private name";
  element.class_name = "Button";
  element.control_type = 50000;
  element.enabled = true;
  outcome.elements.push_back(element);
  outcome.elapsed_ms = 12;
  outcome.action_attempted = true;
  outcome.verification = "verified";
  r.automation = outcome;
  return r;
}

inline Receipt sample_receipt(const std::string& operation_id) {
  Receipt r;
  r.operation_id = operation_id;
  r.request_hash = std::string(64, 'f');
  r.session_id = 1;
  r.mutating = true;
  r.phase = ReceiptPhase::kRunning;
  r.created_at = kEpoch;
  r.pid = 4242;
  r.pid_created = 133000000000000000;
  return r;
}

inline std::string plain_receipt_text(const std::string& operation_id) {
  std::string text;
  encode_receipt(text, sample_receipt(operation_id));
  return text;
}

// A fake state root at C:\s\VorDesktop-v1 with counting UUIDs.
class ReceiptStore : public ::testing::Test {
 protected:
  ReceiptStore() : ctx{fs, dpapi, clock, [this]() -> Result<std::string> {
                          char buf[33];
                          std::snprintf(buf, sizeof buf, "%032x", ++uuids);
                          return std::string(buf);
                        }} {
    fs.add_directory("C:\\s");
    clock.now = kEpoch;
    auto made = ensure_state_directory(fs, identity, "C:\\s");
    EXPECT_TRUE(made);
    root_.emplace(std::move(*made));
  }
  const StateRoot& root() const { return *root_; }

  FakeFileSystem fs;
  FakeDataProtection dpapi;
  FakeClock clock;
  FakeIdentity identity;
  unsigned uuids = 0;
  StateContext ctx;
  std::optional<StateRoot> root_;
};

}  // namespace vor::desktop::testing
