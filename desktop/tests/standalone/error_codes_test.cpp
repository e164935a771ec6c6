#include "standalone/cli/error_codes.h"

#include <gtest/gtest.h>

#include <set>

namespace vor::desktop {
namespace {

TEST(ErrorCodeOf, TakesTheFirstQualifyingPieceOutermostFirst) {
  struct Case {
    const char* name;
    Error chain;
    const char* code;
  };
  const Case cases[] = {
      {"code with detail", Error("DESKTOP_STATE_UNSAFE: path has a link"), "DESKTOP_STATE_UNSAFE"},
      {"free text over a code", Error("DESKTOP_FILE_UNAVAILABLE").context("could not read"), "DESKTOP_FILE_UNAVAILABLE"},
      {"outer code wins", Error("DESKTOP_FILE_UNAVAILABLE").context("DESKTOP_REQUEST_INVALID"), "DESKTOP_REQUEST_INVALID"},
      {"bare prefix is a code", Error("DESKTOP_"), "DESKTOP_"},
      {"101 characters is not", Error("DESKTOP_" + std::string(93, 'A')), "DESKTOP_OPERATION_FAILED"},
      {"100 characters is", Error("DESKTOP_" + std::string(92, 'A')), nullptr},
      {"lower-case letter", Error("DESKTOP_Bad"), "DESKTOP_OPERATION_FAILED"},
      {"digit", Error("DESKTOP_X1"), "DESKTOP_OPERATION_FAILED"},
      {"other prefix", Error("SETUP_IO_FAILED"), "DESKTOP_OPERATION_FAILED"},
      {"os error only", Error::os(5), "DESKTOP_OPERATION_FAILED"},
      {"empty chain", Error(), "DESKTOP_OPERATION_FAILED"},
  };
  for (const auto& c : cases) {
    const std::string expected = c.code ? c.code : c.chain.outermost();
    EXPECT_EQ(error_code_of(c.chain), expected) << c.name;
  }
}

TEST(OsErrorCodeOf, FindsTheFirstOsErrorAndSkipsOtherIoErrors) {
  EXPECT_EQ(os_error_code_of(Error::os(5).context("DESKTOP_STATE_UNSAFE")), 5);
  EXPECT_EQ(os_error_code_of(Error::io("short read").context("DESKTOP_FRAME")), std::nullopt);
  EXPECT_EQ(os_error_code_of(Error("DESKTOP_STATE_UNSAFE")), std::nullopt);
  // Numbers above 2^31 are carried as their signed 32-bit value.
  EXPECT_EQ(os_error_code_of(Error::os(0x80070005u)), static_cast<std::int32_t>(0x80070005u));
}

TEST(GuidanceTable, HoldsFortyOneSentencesForSeventyThreeDistinctCodes) {
  std::set<std::string_view> codes;
  std::size_t listed = 0;
  for (const GuidanceRow& row : guidance_rows()) {
    for (std::string_view c : row.codes) {
      if (c.empty()) continue;
      ++listed;
      codes.insert(c);
      EXPECT_TRUE(is_desktop_code(c)) << c;
      EXPECT_EQ(guidance_text(c), row.sentence) << c;
    }
  }
  EXPECT_EQ(guidance_rows().size(), 41u);
  EXPECT_EQ(listed, 73u);
  EXPECT_EQ(codes.size(), 73u);
}

TEST(GuidanceTable, MatchesWholeCodesExactly) {
  EXPECT_EQ(guidance_text("DESKTOP_OUTCOME_UNKNOWN"),
            "Read status of the returned operationId. Observe the same session with a new read-only request, verify "
            "the application's state, then explicitly reconcile. Do not repeat input.");
  EXPECT_EQ(guidance_text("DESKTOP_OPERATION_FAILED"), kDefaultGuidance);
  EXPECT_EQ(guidance_text("DESKTOP_OUTCOME_UNKNOWN: detail"), kDefaultGuidance);
  EXPECT_EQ(guidance_text("desktop_outcome_unknown"), kDefaultGuidance);
  EXPECT_EQ(guidance_text("DESKTOP_NOT_IN_TABLE"), kDefaultGuidance);
}

}  // namespace
}  // namespace vor::desktop
