// `image-export` over the fake store: the lease at 60,000 ms, the protected
// name, validation, quota and the plain copy.
#include "standalone/cli/image_export.h"

#include <gtest/gtest.h>

#include "operation_status_fixtures.h"

namespace vor::desktop {
namespace {

using testing::code_of;
using testing::kEpoch;
using testing::sample_receipt;
using testing::text_of;
using namespace std::chrono_literals;

class ImageExport : public testing::StateVerbs {
 protected:
  Result<CliDocument> export_image(const std::string& operation_id = "op-1") {
    return run_image_export(ports, cmd::ImageExport{operation_id, "C:\\s"});
  }
  void expect_refused(std::string_view code, const char* why) {
    auto doc = export_image();
    ASSERT_FALSE(doc) << why;
    EXPECT_EQ(code_of(doc.error()), code) << why << ": " << doc.error().display_chain();
    EXPECT_FALSE(fs.exists(path_of("op-1", "png"))) << why;
  }
};

TEST_F(ImageExport, WritesThePlainCopyAndItsDocument) {
  put(with_image("op-1", kEpoch));
  clock.now = kEpoch + 59999ms + 999us;
  auto doc = export_image();
  ASSERT_TRUE(doc) << doc.error().display_chain();
  const std::string plain = path_of("op-1", "png");
  EXPECT_EQ(fs.data(plain), png);
  EXPECT_EQ(json::to_sorted_string(*doc),
            json::to_sorted_string(json::Object{
                {"schemaVersion", "vor.desktop-cli/v1"},
                {"operationId", "op-1"},
                {"sessionId", 1},
                {"code", "DESKTOP_IMAGE_EXPORTED"},
                {"image", json::Object{{"path", plain},
                                       {"bytes", png.size()},
                                       {"sha256", to_hex(*sha256(png))},
                                       {"createdAt", "2027-01-15T08:00:00Z"},
                                       {"mimeType", "image/png"}}},
            }));
  // The protected image stays; a second export in the same lease makes the copy anew.
  EXPECT_TRUE(fs.exists(path_of("op-1", "image")));
  fs.add_file(plain, "stale");
  ASSERT_TRUE(export_image());
  EXPECT_EQ(fs.data(plain), png);
}

TEST_F(ImageExport, LeaseEndsAtSixtySecondsAndFutureImagesCountAsExpired) {
  struct Case {
    std::chrono::nanoseconds age;
    bool exported;
  } cases[] = {{0ns, true}, {59999ms, true}, {59999ms + 999999ns, true}, {60000ms, false}, {-1ms, false}};
  for (const Case& c : cases) {
    fs.erase(path_of("op-1", "image"));
    fs.erase(path_of("op-1", "png"));
    clock.now = kEpoch;
    put(with_image("op-1", kEpoch));
    clock.now = kEpoch + c.age;
    auto doc = export_image();
    EXPECT_EQ(doc.has_value(), c.exported) << c.age.count();
    if (!c.exported) {
      EXPECT_EQ(code_of(doc.error()), kImageExpired) << c.age.count();
      EXPECT_FALSE(fs.exists(path_of("op-1", "png")));
    }
  }
}

TEST_F(ImageExport, Refusals) {
  put(sample_receipt("op-1"));
  expect_refused(kImageExpired, "no image");

  Receipt other_name = with_image("op-1", kEpoch);
  other_name.image->file_name = std::string(64, 'a') + ".image";
  put(other_name);
  expect_refused(kImageUnavailable, "another operation's name");

  Receipt file_gone = other_name;
  file_gone.image->file_name = *state_file_name("op-1", "image");
  put(file_gone);
  fs.erase(path_of("op-1", "image"));
  expect_refused(kFileUnavailable, "protected file gone");
}

TEST_F(ImageExport, StoredImageMustMatchItsRecord) {
  Receipt r = with_image("op-1", kEpoch);
  r.image->sha256[0] = r.image->sha256[0] == 'a' ? 'b' : 'a';
  put(r);
  expect_refused(kCaptureInvalid, "digest differs");
}

TEST_F(ImageExport, QuotaIsCheckedBeforeTheCopy) {
  put(with_image("op-1", kEpoch));
  fs.free_bytes = kMinimumFreeBytes - 1;
  expect_refused(kStateQuotaExceeded, "disk nearly full");
}

TEST_F(ImageExport, HoldsTheGateAndRunsMaintenance) {
  put(with_image("op-1", kEpoch));
  {
    auto gate = open_gate(fs, root());
    ASSERT_TRUE(gate);
    expect_refused(kOwnerConflict, "gate held");
  }
  // A finished receipt a day old is aged out by the pass before it is read.
  Receipt old = sample_receipt("op-old");
  old.phase = ReceiptPhase::kFinished;
  old.finished_at = kEpoch;
  put(old);
  clock.now = kEpoch + 30s;
  ASSERT_TRUE(export_image());
  clock.now = kEpoch + 25h;
  auto gone = export_image("op-old");
  ASSERT_FALSE(gone);
  EXPECT_EQ(code_of(gone.error()), kFileUnavailable);
  EXPECT_FALSE(fs.exists(path_of("op-old", "json")));
}

TEST_F(ImageExport, PlainCopyCutShortIsRemoved) {
  put(with_image("op-1", kEpoch));
  fs.write_error = testing::kErrorDiskFull;
  auto doc = export_image();
  ASSERT_FALSE(doc);
  EXPECT_EQ(code_of(doc.error()), kStateWriteFailed);
  EXPECT_EQ(doc.error().os_error(), testing::kErrorDiskFull);
  EXPECT_FALSE(fs.exists(path_of("op-1", "png")));
}

}  // namespace
}  // namespace vor::desktop
