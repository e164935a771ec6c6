// Protected images, their validation and their lease.
#include "standalone/state/image_store.h"

#include <gtest/gtest.h>

#include "common/crypto.h"
#include "receipt_fixtures.h"

namespace vor::desktop {
namespace {

using testing::code_of;

Bytes sample_png(std::size_t size = 100) {
  Bytes png = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  for (std::size_t i = png.size(); i < size; ++i) png.push_back(static_cast<std::uint8_t>(i * 7));
  png.resize(size);
  return png;
}

Image record_of(const Bytes& png) { return Image{"n.image", png.size(), to_hex(*sha256(png)), testing::kEpoch}; }

TEST(ImageValidation, MatchesItsRecordExactly) {
  const Bytes png = sample_png();
  const Image image = record_of(png);
  EXPECT_TRUE(validate_stored_image(png, image));

  Image longer = image;
  longer.bytes += 1;
  Bytes first_altered = png;
  first_altered[0] ^= 0x01;
  Image first_record = record_of(first_altered);  // even with its own digest the signature fails
  Image other_digest = image;
  other_digest.sha256[0] = other_digest.sha256[0] == 'a' ? 'b' : 'a';
  Image upper = image;
  for (char& c : upper.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const Bytes seven = sample_png(7);
  const Bytes huge = sample_png(kImagePlaintextLimit + 1);

  struct Case {
    const char* name;
    const Bytes& png;
    Image image;
  };
  const Case cases[] = {
      {"length one more in the record", png, longer},
      {"first byte altered", first_altered, first_record},
      {"digest differs", png, other_digest},
      {"digest in upper case", png, upper},
      {"seven bytes", seven, record_of(seven)},
      {"above the limit", huge, record_of(huge)},
  };
  for (const Case& c : cases) {
    auto r = validate_stored_image(c.png, c.image);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(code_of(r.error()), "DESKTOP_CAPTURE_INVALID") << c.name;
  }
  const Bytes eight = sample_png(8);
  EXPECT_TRUE(validate_stored_image(eight, record_of(eight)));
  const Bytes largest = sample_png(kImagePlaintextLimit);
  EXPECT_TRUE(validate_stored_image(largest, record_of(largest)));
}

class ImageStoreTest : public testing::ReceiptStore {};

TEST_F(ImageStoreTest, StoresProtectedUnderItsOwnNameAndReadsBack) {
  const Bytes png = sample_png(500);
  auto image = store_protected_image(ctx, root(), "op-1", png, clock.now);
  ASSERT_TRUE(image) << image.error().display_chain();
  EXPECT_EQ(image->file_name, state_file_name("op-1", "image").value());
  EXPECT_EQ(image->bytes, 500u);
  EXPECT_EQ(image->sha256, to_hex(*sha256(png)));
  EXPECT_EQ(image->created_at, clock.now);
  const std::string path = root().join(image->file_name);
  EXPECT_TRUE(has_protected_header(fs.data(path)));
  EXPECT_EQ(dpapi.last_entropy, "Qzt.Pembrola.HoldStore.v4/" + image->file_name);

  auto back = read_protected_image(ctx, root(), "op-1", *image);
  ASSERT_TRUE(back) << back.error().display_chain();
  EXPECT_EQ(*back, png);

  Image wrong = *image;
  wrong.bytes -= 1;
  EXPECT_EQ(code_of(read_protected_image(ctx, root(), "op-1", wrong).error()), "DESKTOP_CAPTURE_INVALID");
  // Another operation's name does not open it.
  fs.add_file(state_file_path(root(), "op-2", "image").value(), fs.data(path));
  EXPECT_EQ(code_of(read_protected_image(ctx, root(), "op-2", *image).error()), "DESKTOP_STATE_PROTECTION_FAILED");

  auto again = store_protected_image(ctx, root(), "op-1", png, clock.now);
  ASSERT_FALSE(again);
  EXPECT_EQ(code_of(again.error()), "DESKTOP_STATE_WRITE_FAILED");
}

TEST_F(ImageStoreTest, ProtectedImageReadLimitIs1437696Bytes) {
  const Image image = record_of(sample_png());
  Bytes file(kProtectedHeader.begin(), kProtectedHeader.end());
  file.resize(1437697, 0);
  fs.add_file(state_file_path(root(), "op-1", "image").value(), file);
  EXPECT_EQ(code_of(read_protected_image(ctx, root(), "op-1", image).error()), "DESKTOP_FILE_TOO_LARGE");
  file.pop_back();
  fs.add_file(state_file_path(root(), "op-1", "image").value(), file);
  EXPECT_EQ(code_of(read_protected_image(ctx, root(), "op-1", image).error()), "DESKTOP_STATE_PROTECTION_FAILED");
}

TEST_F(ImageStoreTest, RefusesWhatIsNotABoundedPng) {
  Bytes not_png = sample_png();
  not_png[1] = 'X';
  const Bytes cases[] = {sample_png(7), not_png, sample_png(kImagePlaintextLimit + 1), Bytes{}};
  for (const Bytes& png : cases) {
    auto r = store_protected_image(ctx, root(), "op-1", png, clock.now);
    ASSERT_FALSE(r) << png.size();
    EXPECT_EQ(code_of(r.error()), "DESKTOP_CAPTURE_INVALID");
  }
  EXPECT_FALSE(state_file_exists(fs, state_file_path(root(), "op-1", "image").value()));
  EXPECT_TRUE(store_protected_image(ctx, root(), "op-1", sample_png(kImagePlaintextLimit), clock.now));
}

TEST_F(ImageStoreTest, LeaseTimeLeft) {
  Receipt r = testing::sample_receipt("op-1");
  auto none = image_expiry_time(fs, root(), clock.now, r);
  ASSERT_TRUE(none);
  EXPECT_FALSE(*none);

  r.image = record_of(sample_png());
  r.image->created_at = clock.now - std::chrono::seconds(20);
  auto no_files = image_expiry_time(fs, root(), clock.now, r);
  ASSERT_TRUE(no_files);
  EXPECT_FALSE(*no_files);  // neither <hash>.image nor <hash>.png exists

  fs.add_file(state_file_path(root(), "op-1", "png").value(), "plain copy");
  auto left = image_expiry_time(fs, root(), clock.now, r);
  ASSERT_TRUE(left && *left);
  EXPECT_EQ(**left, std::chrono::seconds(40));
  fs.erase(state_file_path(root(), "op-1", "png").value());
  fs.add_file(state_file_path(root(), "op-1", "image").value(), "protected");
  auto over = image_expiry_time(fs, root(), clock.now + std::chrono::seconds(100), r);
  ASSERT_TRUE(over && *over);
  EXPECT_EQ(**over, std::chrono::nanoseconds::zero());
}

}  // namespace
}  // namespace vor::desktop
