// Crash safety of the store: each write sequence is cut short after every
// one of its changing calls (the call itself half done, nothing after it),
// then a new process looks at the disk. Nothing half written may be read as
// valid, nothing that was valid may be lost, and the store must stay usable.
#include <gtest/gtest.h>

#include "common/crypto.h"
#include "operation_status_fixtures.h"
#include "receipt_fixtures.h"
#include "standalone/state/image_store.h"
#include "standalone/state/state_maintenance.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using testing::code_of;
using testing::kEpoch;

struct Store {
  Store() : ctx{fs, dpapi, clock, [this]() -> Result<std::string> {
                  char buf[33];
                  std::snprintf(buf, sizeof buf, "%032x", ++uuids);
                  return std::string(buf);
                }} {
    fs.add_directory("C:\\s");
    clock.now = kEpoch;
    root.emplace(std::move(ensure_state_directory(fs, identity, "C:\\s").value()));
  }
  std::string path(const std::string& id, const std::string& ext) const {
    return state_file_path(*root, id, ext).value();
  }

  testing::FakeFileSystem fs;
  testing::FakeDataProtection dpapi;
  testing::FakeClock clock;
  testing::FakeIdentity identity;
  testing::FakeProcessLiveness processes;
  unsigned uuids = 0;
  StateContext ctx;
  std::optional<StateRoot> root;
};

// Runs `act` once to count its changing calls, then once per crash point;
// after each crash and a restart, `check` runs on what is on the disk.
template <class Setup, class Act, class Check>
void at_every_crash_point(Setup setup, Act act, Check check) {
  int total = 0;
  {
    Store s;
    setup(s);
    s.fs.crash_at(0);
    act(s);
    total = s.fs.changes();
  }
  ASSERT_GT(total, 1);
  for (int k = 1; k <= total; ++k) {
    SCOPED_TRACE("crash at changing call " + std::to_string(k) + " of " + std::to_string(total));
    Store s;
    setup(s);
    s.fs.crash_at(k);
    act(s);
    ASSERT_TRUE(s.fs.crashed());
    s.fs.restart();
    check(s);
  }
}

Bytes sample_png(std::size_t size = 300) {
  Bytes png = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  while (png.size() < size) png.push_back(static_cast<std::uint8_t>(png.size() * 13));
  return png;
}

Receipt finished(const std::string& id) {
  Receipt r = testing::sample_receipt(id);
  r.phase = ReceiptPhase::kFinished;
  r.finished_at = kEpoch + 2s;
  r.result = redact_response_for_receipt(testing::sample_response(id));
  return r;
}

TEST(StateCrash, CreatingTheRunningReceipt) {
  const Receipt other = finished("op-0");
  const Receipt running = testing::sample_receipt("op-1");
  at_every_crash_point(
      [&](Store& s) { ASSERT_TRUE(write_receipt(s.ctx, *s.root, other, true)); },
      [&](Store& s) { (void)write_receipt(s.ctx, *s.root, running, true); },
      [&](Store& s) {
        auto all = load_receipts(s.ctx, *s.root);
        ASSERT_TRUE(all) << all.error().display_chain();  // a half receipt never breaks the listing
        bool landed = false;
        for (const Receipt& r : *all) {
          if (r.operation_id == "op-0") {
            EXPECT_EQ(r, other);
          }
          if (r.operation_id == "op-1") {
            EXPECT_EQ(r, running);
            landed = true;
          }
        }
        ASSERT_TRUE(maintain_state_directory(s.ctx, s.processes, *s.root, kEpoch + 1s, false));
        ASSERT_EQ(load_receipts(s.ctx, *s.root).value().size(), all->size());
        // Trying again works exactly when the first attempt did not land.
        EXPECT_EQ(write_receipt(s.ctx, *s.root, running, true).has_value(), !landed);
        EXPECT_EQ(load_operation_receipt(s.ctx, *s.root, "op-1").value(), running);
      });
}

TEST(StateCrash, FinishingTheReceipt) {
  const Receipt running = testing::sample_receipt("op-1");
  const Receipt done = finished("op-1");
  at_every_crash_point(
      [&](Store& s) { ASSERT_TRUE(write_receipt(s.ctx, *s.root, running, true)); },
      [&](Store& s) { (void)write_receipt(s.ctx, *s.root, done, false); },
      [&](Store& s) {
        auto loaded = load_operation_receipt(s.ctx, *s.root, "op-1");
        ASSERT_TRUE(loaded) << loaded.error().display_chain();
        EXPECT_TRUE(*loaded == running || *loaded == done);
        ASSERT_TRUE(maintain_state_directory(s.ctx, s.processes, *s.root, kEpoch + 3s, false));
        EXPECT_TRUE(load_operation_receipt(s.ctx, *s.root, "op-1"));
      });
}

TEST(StateCrash, StoringTheImageAndFinishing) {
  const Bytes png = sample_png();
  const Receipt running = testing::sample_receipt("op-1");
  at_every_crash_point(
      [&](Store& s) { ASSERT_TRUE(write_receipt(s.ctx, *s.root, running, true)); },
      [&](Store& s) {
        auto image = store_protected_image(s.ctx, *s.root, "op-1", png, kEpoch + 1s);
        if (!image) return;
        Receipt done = finished("op-1");
        done.image = *image;
        (void)write_receipt(s.ctx, *s.root, done, false);
      },
      [&](Store& s) {
        const Image expected{state_file_name("op-1", "image").value(), png.size(), to_hex(*sha256(png)), kEpoch + 1s};
        auto loaded = load_operation_receipt(s.ctx, *s.root, "op-1");
        ASSERT_TRUE(loaded) << loaded.error().display_chain();
        if (loaded->image) {
          EXPECT_EQ(*loaded->image, expected);
          EXPECT_EQ(read_protected_image(s.ctx, *s.root, "op-1", expected).value(), png);
        } else if (s.fs.exists(s.path("op-1", "image"))) {
          // Whatever is there under the image's name is the whole image.
          auto read = read_protected_image(s.ctx, *s.root, "op-1", expected);
          ASSERT_TRUE(read) << read.error().display_chain();
          EXPECT_EQ(*read, png);
        }
        ASSERT_TRUE(maintain_state_directory(s.ctx, s.processes, *s.root, kEpoch + 2s, false));
        // A receipt that never got its image keeps no image file.
        if (!loaded->image) {
          EXPECT_FALSE(s.fs.exists(s.path("op-1", "image")));
        }
      });
}

bool has_temporaries(Store& s) {
  for (const std::string& name : s.fs.names(s.root->path())) {
    if (name.find(".tmp-") != std::string::npos) return true;
  }
  return false;
}

TEST(StateCrash, StoringTheImage) {
  const Bytes png = sample_png(1000);
  const Image expected{state_file_name("op-1", "image").value(), png.size(), to_hex(*sha256(png)), kEpoch + 1s};
  at_every_crash_point(
      [&](Store& s) { ASSERT_TRUE(write_receipt(s.ctx, *s.root, testing::sample_receipt("op-1"), true)); },
      [&](Store& s) { (void)store_protected_image(s.ctx, *s.root, "op-1", png, kEpoch + 1s); },
      [&](Store& s) {
        if (s.fs.exists(s.path("op-1", "image"))) {
          // The image's own name holds the whole image or nothing.
          auto read = read_protected_image(s.ctx, *s.root, "op-1", expected);
          ASSERT_TRUE(read) << read.error().display_chain();
          EXPECT_EQ(*read, png);
        } else {
          // Nothing under its name blocks storing it again.
          auto again = store_protected_image(s.ctx, *s.root, "op-1", png, kEpoch + 1s);
          ASSERT_TRUE(again) << again.error().display_chain();
          EXPECT_EQ(*again, expected);
          EXPECT_EQ(read_protected_image(s.ctx, *s.root, "op-1", expected).value(), png);
        }
        // A leftover temporary neither fails a pass nor outlives a day.
        auto pass = maintain_state_directory(s.ctx, s.processes, *s.root, kEpoch + 2s, false);
        ASSERT_TRUE(pass) << pass.error().display_chain();
        ASSERT_TRUE(maintain_state_directory(s.ctx, s.processes, *s.root, kEpoch + 25h, false));
        EXPECT_FALSE(has_temporaries(s));
        EXPECT_TRUE(load_operation_receipt(s.ctx, *s.root, "op-1"));
      });
}

TEST(StateCrash, MaintenancePass) {
  const Bytes png = sample_png();
  const std::string leftover_name = std::string(64, 'a') + ".tmp-" + std::string(32, '9');
  const std::string leftover_text = "{\"operationId\":\"half";
  Receipt legacy = testing::sample_receipt("op-1");
  legacy.image = Image{state_file_name("op-1", "png").value(), png.size(), to_hex(*sha256(png)), kEpoch};
  const Receipt old_done = [] {
    Receipt r = finished("op-2");
    r.finished_at = kEpoch - 100000s;
    return r;
  }();
  at_every_crash_point(
      [&](Store& s) {
        std::string plain;
        encode_receipt(plain, legacy);
        s.fs.add_file(s.path("op-1", "json"), plain);  // plain JSON, as an older version left it
        s.fs.add_file(s.path("op-1", "png"), png);
        s.fs.add_file(s.root->join(leftover_name), leftover_text);
        ASSERT_TRUE(write_receipt(s.ctx, *s.root, old_done, true));
        s.fs.add_file(s.path("stray", "image"), "stray");
      },
      [&](Store& s) { (void)maintain_state_directory(s.ctx, s.processes, *s.root, kEpoch + 10s, false); },
      [&](Store& s) {
        // The next pass completes whatever the cut one left.
        auto pass = maintain_state_directory(s.ctx, s.processes, *s.root, kEpoch + 11s, false);
        ASSERT_TRUE(pass) << pass.error().display_chain();
        auto loaded = load_operation_receipt(s.ctx, *s.root, "op-1");
        ASSERT_TRUE(loaded) << loaded.error().display_chain();
        EXPECT_TRUE(has_protected_header(s.fs.data(s.path("op-1", "json"))));
        ASSERT_TRUE(loaded->image);
        EXPECT_EQ(loaded->image->file_name, state_file_name("op-1", "image").value());
        EXPECT_EQ(read_protected_image(s.ctx, *s.root, "op-1", *loaded->image).value(), png);
        Receipt expected = legacy;
        expected.image->file_name = loaded->image->file_name;
        EXPECT_EQ(*loaded, expected);

        const Bytes leftover = s.fs.data(s.root->join(leftover_name));
        ASSERT_TRUE(has_protected_header(leftover));
        EXPECT_EQ(unprotect_file(s.dpapi, s.root->join(leftover_name), leftover, kReceiptPlaintextLimit).value(),
                  testing::bytes_of(leftover_text));
        EXPECT_FALSE(s.fs.exists(s.path("op-2", "json")));
        EXPECT_FALSE(s.fs.exists(s.path("stray", "image")));
        // A pass cut just before it removed the legacy PNG leaves it for the
        // rest of the lease, like an export; the lease's end removes it.
        ASSERT_TRUE(maintain_state_directory(s.ctx, s.processes, *s.root, kEpoch + 60s, false));
        EXPECT_FALSE(s.fs.exists(s.path("op-1", "png")));
        EXPECT_FALSE(s.fs.exists(s.path("op-1", "image")));
        EXPECT_TRUE(load_operation_receipt(s.ctx, *s.root, "op-1"));
      });
}

}  // namespace
}  // namespace vor::desktop
