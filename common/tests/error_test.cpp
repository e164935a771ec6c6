#include "common/error.h"

#include <gtest/gtest.h>

namespace vor {
namespace {

struct Marker {
  int value;
};

TEST(ErrorChain, ContextWrapsOutermostFirstAndKeepsOsNumberAndDetail) {
  Error e = Error::os(5).context("DESKTOP_FILE_UNAVAILABLE").context_with("outer", Marker{7});
  ASSERT_EQ(e.links().size(), 3u);
  EXPECT_EQ(e.outermost(), "outer");
  EXPECT_EQ(e.links()[1].message, "DESKTOP_FILE_UNAVAILABLE");
  EXPECT_EQ(e.os_error(), 5u);
  ASSERT_NE(e.find<Marker>(), nullptr);
  EXPECT_EQ(e.find<Marker>()->value, 7);
  EXPECT_EQ(Error("plain").os_error(), std::nullopt);
  EXPECT_EQ(Error::io("short read").os_error(), std::nullopt);
}

}  // namespace
}  // namespace vor
