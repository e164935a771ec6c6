// The maintenance pass: leases, ageing, re-protection, migration, strays.
#include "standalone/state/state_maintenance.h"

#include <gtest/gtest.h>

#include "common/crypto.h"
#include "operation_status_fixtures.h"
#include "receipt_fixtures.h"
#include "standalone/state/image_store.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using testing::code_of;

Bytes sample_png(std::size_t size = 64) {
  Bytes png = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  while (png.size() < size) png.push_back(static_cast<std::uint8_t>(png.size()));
  return png;
}

class MaintenanceTest : public testing::ReceiptStore {
 protected:
  std::string path(const std::string& id, const std::string& ext) { return state_file_path(root(), id, ext).value(); }
  bool exists(const std::string& id, const std::string& ext) { return fs.exists(path(id, ext)); }

  // A finished capture receipt whose protected image was stored at `created`.
  Receipt capture(const std::string& id, Time created) {
    Receipt r = testing::sample_receipt(id);
    r.mutating = false;
    r.phase = ReceiptPhase::kFinished;
    r.finished_at = created;
    r.image = store_protected_image(ctx, root(), id, sample_png(), created).value();
    EXPECT_TRUE(write_receipt(ctx, root(), r, true));
    return r;
  }
  Status pass(Time now, bool expire = false) { return maintain_state_directory(ctx, processes, root(), now, expire); }

  testing::FakeProcessLiveness processes;
};

TEST_F(MaintenanceTest, ImageLeaseEndsAtSixtySeconds) {
  const Receipt r = capture("op-1", testing::kEpoch);
  fs.add_file(path("op-1", "png"), "exported copy");
  ASSERT_TRUE(pass(testing::kEpoch + 59s + 999ms));
  EXPECT_TRUE(exists("op-1", "image"));
  EXPECT_TRUE(exists("op-1", "png"));  // an export stays for the lease too

  ASSERT_TRUE(pass(testing::kEpoch + 60s));
  EXPECT_FALSE(exists("op-1", "image"));
  EXPECT_FALSE(exists("op-1", "png"));
  auto kept = load_operation_receipt(ctx, root(), "op-1");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->image, r.image);  // the record stays
}

TEST_F(MaintenanceTest, ExpireImagesRemovesThemAtOnce) {
  capture("op-1", testing::kEpoch);
  ASSERT_TRUE(pass(testing::kEpoch + 1s, /*expire=*/true));
  EXPECT_FALSE(exists("op-1", "image"));
  EXPECT_TRUE(exists("op-1", "json"));
}

TEST_F(MaintenanceTest, SettledReceiptsAgeOutAfter24HoursUnsettledNever) {
  struct Case {
    const char* id;
    ReceiptPhase phase;
    std::optional<std::chrono::seconds> finished_ago;  // none: finishedAt null
    std::chrono::seconds created_ago;
    bool kept;
  };
  const Case cases[] = {
      {"finished-just-under", ReceiptPhase::kFinished, 86399s, 90000s, true},
      {"finished-at-24h", ReceiptPhase::kFinished, 86400s, 90000s, false},
      {"reconciled-at-24h", ReceiptPhase::kReconciled, 86400s, 90000s, false},
      {"finished-no-finish-time-young", ReceiptPhase::kFinished, std::nullopt, 86399s, true},
      {"finished-no-finish-time-old", ReceiptPhase::kFinished, std::nullopt, 86400s, false},
      {"unknown-ten-days", ReceiptPhase::kUnknown, 864000s, 864000s, true},
      {"running-ten-days", ReceiptPhase::kRunning, std::nullopt, 864000s, true},
  };
  const Time now = testing::kEpoch + 1000000s;
  for (const Case& c : cases) {
    Receipt r = testing::sample_receipt(c.id);
    r.phase = c.phase;
    r.created_at = now - c.created_ago;
    if (c.finished_ago) r.finished_at = now - *c.finished_ago;
    ASSERT_TRUE(write_receipt(ctx, root(), r, true));
  }
  ASSERT_TRUE(pass(now));
  for (const Case& c : cases) EXPECT_EQ(exists(c.id, "json"), c.kept) << c.id;
}

TEST_F(MaintenanceTest, PlainReceiptsAreProtected) {
  fs.add_file(path("op-1", "json"), testing::plain_receipt_text("op-1"));
  ASSERT_TRUE(pass(testing::kEpoch));
  EXPECT_TRUE(has_protected_header(fs.data(path("op-1", "json"))));
  auto loaded = load_operation_receipt(ctx, root(), "op-1");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(*loaded, testing::sample_receipt("op-1"));
}

TEST_F(MaintenanceTest, LeftoverTemporariesAreProtectedInPlaceAndKept) {
  const std::string hash = std::string(64, 'a');
  const std::string plain = hash + ".tmp-" + std::string(32, '1');
  const std::string sealed = hash + ".tmp-" + std::string(32, '2');
  const std::string other = hash + ".tmp-short";
  fs.add_file(root().join(plain), "{\"partial\":");
  const Bytes sealed_bytes = protect_data(dpapi, root().join(sealed), testing::bytes_of("x"), 1).value();
  fs.add_file(root().join(sealed), sealed_bytes);
  fs.add_file(root().join(other), "left alone");

  ASSERT_TRUE(pass(testing::kEpoch));
  const Bytes now_sealed = fs.data(root().join(plain));
  ASSERT_TRUE(has_protected_header(now_sealed));
  auto opened = unprotect_file(dpapi, root().join(plain), now_sealed, kReceiptPlaintextLimit);
  ASSERT_TRUE(opened);
  EXPECT_EQ(*opened, testing::bytes_of("{\"partial\":"));
  EXPECT_EQ(fs.data(root().join(sealed)), sealed_bytes);
  EXPECT_EQ(fs.text(root().join(other)), "left alone");
  for (const std::string& name : fs.names(root().path())) EXPECT_EQ(name.find(".protect-"), std::string::npos) << name;

  // A plaintext leftover above the receipt limit cannot be protected.
  fs.add_file(root().join(hash + ".tmp-" + std::string(32, '3')), Bytes(65537, 'x'));
  EXPECT_EQ(code_of(pass(testing::kEpoch).error()), "DESKTOP_STATE_QUOTA_EXCEEDED");
}

TEST_F(MaintenanceTest, AtMost128LeftoverTemporaries) {
  for (int i = 0; i < 128; ++i) {
    char uuid[33];
    std::snprintf(uuid, sizeof uuid, "%032x", i);
    fs.add_file(root().join(std::string(64, 'b') + ".tmp-" + uuid), std::string("{}"));
  }
  ASSERT_TRUE(pass(testing::kEpoch));
  fs.add_file(root().join(std::string(64, 'b') + ".tmp-" + std::string(32, 'f')), std::string("{}"));
  EXPECT_EQ(code_of(pass(testing::kEpoch).error()), "DESKTOP_STATE_QUOTA_EXCEEDED");
}

TEST_F(MaintenanceTest, LegacyPlaintextImageIsMigratedDuringItsLease) {
  const Bytes png = sample_png(200);
  Receipt r = testing::sample_receipt("op-1");
  r.phase = ReceiptPhase::kFinished;
  r.finished_at = testing::kEpoch;
  r.image = Image{state_file_name("op-1", "png").value(), png.size(), to_hex(*sha256(png)), testing::kEpoch};
  ASSERT_TRUE(write_receipt(ctx, root(), r, true));
  fs.add_file(path("op-1", "png"), png);

  ASSERT_TRUE(pass(testing::kEpoch + 10s));
  EXPECT_FALSE(exists("op-1", "png"));
  auto loaded = load_operation_receipt(ctx, root(), "op-1");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->image->file_name, state_file_name("op-1", "image").value());
  auto image = read_protected_image(ctx, root(), "op-1", *loaded->image);
  ASSERT_TRUE(image) << image.error().display_chain();
  EXPECT_EQ(*image, png);
}

TEST_F(MaintenanceTest, LegacyImageThatDoesNotMatchFailsThePass) {
  const Bytes png = sample_png(200);
  Receipt r = testing::sample_receipt("op-1");
  r.image = Image{state_file_name("op-1", "png").value(), png.size() + 1, to_hex(*sha256(png)), testing::kEpoch};
  ASSERT_TRUE(write_receipt(ctx, root(), r, true));
  fs.add_file(path("op-1", "png"), png);
  EXPECT_EQ(code_of(pass(testing::kEpoch + 10s).error()), "DESKTOP_CAPTURE_INVALID");
  EXPECT_FALSE(exists("op-1", "image"));
}

TEST_F(MaintenanceTest, PartialMigratedImageIsMadeAgainFromItsPng) {
  const Bytes png = sample_png(200);
  Receipt r = testing::sample_receipt("op-1");
  r.image = Image{state_file_name("op-1", "png").value(), png.size(), to_hex(*sha256(png)), testing::kEpoch};
  ASSERT_TRUE(write_receipt(ctx, root(), r, true));
  const std::string partial("Vor.Marionet.Protected.v1\0FD", 28);  // a cut-short earlier migration

  // With its PNG still there the image is made again.
  fs.add_file(path("op-1", "image"), partial);
  fs.add_file(path("op-1", "png"), png);
  ASSERT_TRUE(pass(testing::kEpoch + 10s));
  auto loaded = load_operation_receipt(ctx, root(), "op-1");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(read_protected_image(ctx, root(), "op-1", *loaded->image).value(), png);
  EXPECT_FALSE(exists("op-1", "png"));

  // Without it nothing is repaired: the pass fails until the lease is over.
  ASSERT_TRUE(write_receipt(ctx, root(), r, false));
  fs.add_file(path("op-1", "image"), partial);
  EXPECT_EQ(code_of(pass(testing::kEpoch + 10s).error()), "DESKTOP_STATE_PROTECTION_FAILED");
  ASSERT_TRUE(pass(testing::kEpoch + 60s));
  EXPECT_FALSE(exists("op-1", "image"));
}

TEST_F(MaintenanceTest, ImagesThatNoReceiptNamesAreRemoved) {
  capture("op-1", testing::kEpoch);
  const std::string stray_image = path("gone", "image");
  const std::string stray_png = path("gone", "png");
  fs.add_file(stray_image, "x");
  fs.add_file(stray_png, "x");
  fs.add_file(root().join("notes.png"), "not a state image");
  fs.add_file(root().join(std::string(64, 'c') + ".jpg"), "not an image extension");
  ASSERT_TRUE(pass(testing::kEpoch + 1s));
  EXPECT_FALSE(fs.exists(stray_image));
  EXPECT_FALSE(fs.exists(stray_png));
  EXPECT_TRUE(fs.exists(root().join("notes.png")));
  EXPECT_TRUE(fs.exists(root().join(std::string(64, 'c') + ".jpg")));
  EXPECT_TRUE(exists("op-1", "image"));
}

TEST_F(MaintenanceTest, BadStoreIsNotRepaired) {
  fs.add_file(root().join("notes.json"), "{}");
  EXPECT_EQ(code_of(pass(testing::kEpoch).error()), "DESKTOP_STATE_INVALID");
  EXPECT_EQ(code_of(pass(testing::kEpoch).error()), "DESKTOP_STATE_INVALID");
  EXPECT_TRUE(fs.exists(root().join("notes.json")));
}

TEST_F(MaintenanceTest, OpenStateStoreHoldsTheGateOnlyForThePass) {
  ASSERT_TRUE(open_state_store(ctx, processes, root(), false));
  auto gate = open_gate(fs, root());
  ASSERT_TRUE(gate);  // released again
  auto busy = open_state_store(ctx, processes, root(), false);
  ASSERT_FALSE(busy);
  EXPECT_EQ(code_of(busy.error()), "DESKTOP_OWNER_CONFLICT");
  gate->reset();

  capture("op-1", clock.now);
  clock.now += 60s;
  ASSERT_TRUE(refresh_state_store(ctx, processes, root()));  // the clock's time
  EXPECT_FALSE(exists("op-1", "image"));
}

// What a crash leaves behind goes a day after it was last written, whatever
// its kind; younger leftovers stay (a plaintext one protected in place).
TEST_F(MaintenanceTest, LeftoverTemporariesGoADayAfterTheirLastWrite) {
  const std::string hash(64, 'a');
  const std::string receipt_temp = hash + ".tmp-" + std::string(32, '1');
  struct Case {
    const char* name;
    std::string file;
    bool plaintext;
  };
  const Case kinds[] = {
      {"plaintext receipt temporary", receipt_temp, true},
      {"protected receipt temporary", hash + ".tmp-" + std::string(32, '2'), false},
      {"re-protection temporary", receipt_temp + ".protect-" + std::string(32, '3'), false},
      {"image temporary", hash + ".image.tmp-" + std::string(32, '4'), false},
  };
  for (int hours : {23, 25}) {
    for (const Case& c : kinds) {
      const std::string file = root().join(c.file);
      const Bytes content = c.plaintext ? testing::bytes_of("{\"partial\":")
                                        : protect_data(dpapi, file, testing::bytes_of("x"), 1).value();
      fs.add_file(file, content);
      fs.node(file).last_write = testing::kEpochFiletime - hours * testing::kFiletimeHour;
      ASSERT_TRUE(pass(testing::kEpoch)) << c.name << " at " << hours << "h";
      EXPECT_EQ(fs.exists(file), hours < 24) << c.name << " at " << hours << "h";
      if (fs.exists(file)) {
        EXPECT_TRUE(has_protected_header(fs.data(file))) << c.name;
        fs.erase(file);
      }
    }
  }
  // A write time ahead of the clock is young.
  fs.add_file(root().join(receipt_temp), "{}");
  fs.node(root().join(receipt_temp)).last_write = testing::kEpochFiletime + 100 * testing::kFiletimeHour;
  ASSERT_TRUE(pass(testing::kEpoch));
  EXPECT_TRUE(fs.exists(root().join(receipt_temp)));
}

// The 129th leftover no longer fails every later pass: once the burst is a
// day old it is removed, and only those that stay count.
TEST_F(MaintenanceTest, AgedLeftoversDoNotCountTowardTheLimit) {
  auto add = [&](int i, int hours) {
    char uuid[33];
    std::snprintf(uuid, sizeof uuid, "%032x", i);
    const std::string file = root().join(std::string(64, 'b') + ".tmp-" + uuid);
    fs.add_file(file, std::string("{}"));
    fs.node(file).last_write = testing::kEpochFiletime - hours * testing::kFiletimeHour;
  };
  for (int i = 0; i < 129; ++i) add(i, 1);
  EXPECT_EQ(code_of(pass(testing::kEpoch).error()), "DESKTOP_STATE_QUOTA_EXCEEDED");
  ASSERT_TRUE(pass(testing::kEpoch + 24h));
  for (const std::string& name : fs.names(root().path())) EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;

  for (int i = 0; i < 128; ++i) add(i, 1);
  add(500, 30);  // an old one beside 128 young ones
  ASSERT_TRUE(pass(testing::kEpoch));
  std::size_t left = 0;
  for (const std::string& name : fs.names(root().path())) left += name.find(".tmp-") != std::string::npos;
  EXPECT_EQ(left, 128u);
}

// A read-only "running" receipt whose broker died is never finished by
// anyone; it goes a day after it was made. Mutating ones fence input until
// they are reconciled and stay, as do those whose broker runs or cannot be
// told apart from running.
TEST_F(MaintenanceTest, AbandonedReadOnlyRunningReceiptsGoAfterADay) {
  struct Case {
    const char* name;
    bool mutating;
    ReceiptPhase phase;
    void (*broker)(testing::FakeProcessLiveness&);
    bool kept_at_25h;
  };
  auto gone = [](testing::FakeProcessLiveness& p) { p.gone(); };
  const Case cases[] = {
      {"read-only, broker gone", false, ReceiptPhase::kRunning, gone, false},
      {"read-only, broker exited", false, ReceiptPhase::kRunning, [](testing::FakeProcessLiveness& p) { p.exited = true; },
       false},
      {"read-only, pid reused", false, ReceiptPhase::kRunning, [](testing::FakeProcessLiveness& p) { p.created += 1; },
       false},
      {"read-only, broker runs", false, ReceiptPhase::kRunning, [](testing::FakeProcessLiveness&) {}, true},
      {"read-only, broker state unreadable", false, ReceiptPhase::kRunning,
       [](testing::FakeProcessLiveness& p) { p.open_error = kErrorAccessDenied; }, true},
      {"mutating, broker gone", true, ReceiptPhase::kRunning, gone, true},
      {"read-only unknown, broker gone", false, ReceiptPhase::kUnknown, gone, true},
  };
  for (const Case& c : cases) {
    for (int hours : {23, 25}) {
      processes = testing::FakeProcessLiveness{};
      c.broker(processes);
      Receipt r = testing::sample_receipt("op-1");
      r.mutating = c.mutating;
      r.phase = c.phase;
      r.created_at = testing::kEpoch - std::chrono::hours(hours);
      ASSERT_TRUE(write_receipt(ctx, root(), r, false));
      ASSERT_TRUE(pass(testing::kEpoch)) << c.name;
      EXPECT_EQ(exists("op-1", "json"), hours < 24 || c.kept_at_25h) << c.name << " at " << hours << "h";
      fs.erase(path("op-1", "json"));
    }
  }
}

// NTFS compares names without case: an image listed as "<HASH>.image" is the
// file its receipt names "<hash>.image", and stays for the lease.
TEST_F(MaintenanceTest, UnreferencedImageSweepComparesNamesWithoutCase) {
  const Receipt r = capture("op-1", testing::kEpoch);
  fs.add_file(path("op-1", "png"), "exported copy");
  auto spelled = [&](const std::string& id, const std::string& extension, auto transform) {
    const std::string name = state_file_name(id, extension).value();
    std::string stem = name.substr(0, 64);
    for (char& ch : stem) ch = transform(ch);
    return root().join(stem + name.substr(64));
  };
  const auto upper = [](char ch) { return static_cast<char>(std::toupper(static_cast<unsigned char>(ch))); };
  const std::string image_upper = spelled("op-1", "image", upper);
  bool flip = false;
  const std::string png_mixed = spelled("op-1", "png", [&](char ch) { return (flip = !flip) ? upper(ch) : ch; });
  fs.add_file(image_upper, fs.data(path("op-1", "image")));
  fs.erase(path("op-1", "image"));
  fs.add_file(png_mixed, fs.data(path("op-1", "png")));
  fs.erase(path("op-1", "png"));
  const std::string stray = spelled("gone", "image", upper);
  fs.add_file(stray, "x");

  ASSERT_TRUE(pass(testing::kEpoch + 1s));
  EXPECT_TRUE(fs.exists(image_upper));
  EXPECT_TRUE(fs.exists(png_mixed));
  EXPECT_FALSE(fs.exists(stray));  // no receipt names it, in any case
  EXPECT_EQ(load_operation_receipt(ctx, root(), "op-1").value(), r);
}

TEST(TemporaryNames, ExactForm) {
  const std::string hash(64, 'a');
  EXPECT_TRUE(is_receipt_temporary_name(hash + ".tmp-" + std::string(32, '0')));
  EXPECT_TRUE(is_receipt_temporary_name(std::string(64, 'A') + ".tmp-" + std::string(32, 'F')));
  EXPECT_FALSE(is_receipt_temporary_name(hash + ".tmp-" + std::string(31, '0')));
  EXPECT_FALSE(is_receipt_temporary_name(hash + ".tmp-" + std::string(32, '0') + ".protect-" + std::string(32, '0')));
  EXPECT_FALSE(is_receipt_temporary_name(std::string(63, 'a') + "g.tmp-" + std::string(32, '0')));
  EXPECT_FALSE(is_receipt_temporary_name(hash + ".tmp_" + std::string(32, '0')));
}

TEST(TemporaryNames, EveryKindTheStoreWrites) {
  const std::string hash(64, 'a');
  const std::string receipt = hash + ".tmp-" + std::string(32, '0');
  const struct {
    std::string name;
    bool temporary;
  } cases[] = {
      {receipt, true},
      {receipt + ".protect-" + std::string(32, 'f'), true},
      {hash + ".image.tmp-" + std::string(32, '9'), true},
      {receipt + ".protect-" + std::string(31, 'f'), false},
      {receipt + ".protect_" + std::string(32, 'f'), false},
      {hash + ".image.tmp-" + std::string(33, '9'), false},
      {hash + ".png.tmp-" + std::string(32, '9'), false},
      {hash + ".image", false},
      {hash + ".json", false},
      {std::string(63, 'a') + "g.image.tmp-" + std::string(32, '9'), false},
      {"session.owner.tmp-" + std::string(32, '0'), false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_state_temporary_name(c.name), c.temporary) << c.name;
}

}  // namespace
}  // namespace vor::desktop
