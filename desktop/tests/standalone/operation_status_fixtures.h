// A scripted process-liveness port and a fake state directory with the
// state verbs' ports, for the status, image-export and reconcile tests.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/crypto.h"
#include "receipt_fixtures.h"
#include "standalone/state/image_store.h"
#include "standalone/cli/operation_status.h"

namespace vor::desktop::testing {

// One process (the receipt's broker) as the process port sees it;
// `open_error` unset means it opens.
class FakeProcessLiveness final : public ProcSys {
 public:
  std::optional<std::uint32_t> open_error;
  std::uint64_t created = 133000000000000000;  // sample_receipt's pidCreated
  bool exited = false;
  std::optional<std::uint32_t> creation_error;
  std::optional<std::uint32_t> wait_error;
  int opens = 0;
  // The user SID every process reports; unset, the token cannot be read.
  std::optional<std::string> user_sid_text;

  // The receipt's broker process has ended and its id is free.
  void gone() { open_error = kErrorInvalidParameter; }

  Win32<std::unique_ptr<Process>> open(std::uint32_t, Access) override {
    ++opens;
    if (open_error) return win32_error(*open_error);
    return std::unique_ptr<Process>(std::make_unique<FakeProcess>(*this));
  }
  Win32<std::uint32_t> process_session_id(std::uint32_t) override { return 1u; }
  std::uint32_t current_process_id() override { return 4242; }

 private:
  class FakeProcess final : public Process {
   public:
    explicit FakeProcess(FakeProcessLiveness& owner) : owner_(owner) {}
    Win32<std::uint64_t> creation_time() override {
      if (owner_.creation_error) return win32_error(*owner_.creation_error);
      return owner_.created;
    }
    Win32<bool> has_exited() override {
      if (owner_.wait_error) return win32_error(*owner_.wait_error);
      return owner_.exited;
    }
    Win32<std::u16string> image_path() override { return win32_error(kErrorAccessDenied); }
    Result<std::string> user_sid() override {
      if (owner_.user_sid_text) return *owner_.user_sid_text;
      return fail("DESKTOP_TOKEN_UNAVAILABLE");
    }

   private:
    FakeProcessLiveness& owner_;
  };
};

inline Bytes sample_png(std::size_t size = 100) {
  Bytes png = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  for (std::size_t i = png.size(); i < size; ++i) png.push_back(static_cast<std::uint8_t>(i * 7));
  png.resize(size);
  return png;
}

// The fake store of ReceiptStore with the state verbs' ports on it.
class StateVerbs : public ReceiptStore {
 protected:
  StateVerbs() : ports{ctx, identity, processes} {}

  // Writes the receipt as the execute transaction leaves it.
  void put(const Receipt& receipt) { ASSERT_TRUE(write_receipt(ctx, root(), receipt, false)); }
  Receipt stored(const std::string& operation_id) {
    auto r = load_operation_receipt(ctx, root(), operation_id);
    EXPECT_TRUE(r) << (r ? "" : r.error().display_chain());
    return r ? *r : Receipt{};
  }
  // A receipt whose protected image was stored at `created`.
  Receipt with_image(const std::string& operation_id, Time created) {
    Receipt r = sample_receipt(operation_id);
    auto image = store_protected_image(ctx, root(), operation_id, png, created);
    EXPECT_TRUE(image) << (image ? "" : image.error().display_chain());
    if (image) r.image = *image;
    return r;
  }
  std::string path_of(const std::string& operation_id, std::string_view extension) {
    return *state_file_path(root(), operation_id, extension);
  }

  FakeProcessLiveness processes;
  StatePorts ports;
  const Bytes png = sample_png();
};

inline std::string text_of(const json::Value* value) {
  return value && value->as_string() ? *value->as_string() : std::string("<not text>");
}

}  // namespace vor::desktop::testing
