#include "common/error.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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


// Each helper's chain, link by link: the message, the OS number it carries.
struct LinkExpectation {
  std::string message;
  std::optional<std::uint32_t> os_error;
};

struct CodedCase {
  const char* name;
  Error error;
  std::vector<LinkExpectation> links;
};

TEST(CodedError, EachHelperPutsTheCodeOutermostOverItsCause) {
  const CodedCase cases[] = {
      {"bare code", coded("DESKTOP_STATE_INVALID"), {{"DESKTOP_STATE_INVALID", {}}}},
      {"empty detail adds no link", coded("DESKTOP_STATE_INVALID", ""), {{"DESKTOP_STATE_INVALID", {}}}},
      {"code over detail",
       coded("DESKTOP_STATE_INVALID", "bad receipt"),
       {{"DESKTOP_STATE_INVALID", {}}, {"bad receipt", {}}}},
      {"code over an OS number", coded_os("DESKTOP_FILE_UNAVAILABLE", 5),
       {{"DESKTOP_FILE_UNAVAILABLE", {}}, {"os error 5", 5u}}},
      {"code over a whole chain",
       coded_over("SETUP_IO_FAILED", Error::os(32).context("open journal")),
       {{"SETUP_IO_FAILED", {}}, {"open journal", {}}, {"os error 32", 32u}}},
  };
  for (const CodedCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.error.links().size(), c.links.size());
    for (std::size_t i = 0; i < c.links.size(); ++i) {
      EXPECT_EQ(c.error.links()[i].message, c.links[i].message) << i;
      EXPECT_EQ(c.error.links()[i].os_error, c.links[i].os_error) << i;
    }
  }
  EXPECT_EQ(coded_os("DESKTOP_FILE_UNAVAILABLE", 5).os_error(), 5u);
}

// Counts how often the checked expression is evaluated.
struct Source {
  int calls = 0;
  Status status(bool ok) {
    ++calls;
    if (ok) return {};
    return fail(coded_os("DESKTOP_PIPE_BROKEN", 109));
  }
  Result<std::string> text(bool ok) {
    ++calls;
    if (ok) return std::string("value");
    return fail(coded("DESKTOP_REQUEST_INVALID", "no text"));
  }
};

Result<int> after_status(Source& source, bool ok) {
  VOR_RETURN_IF_ERROR(source.status(ok));
  return 1;
}

Status after_result(Source& source, bool ok) {
  VOR_RETURN_IF_ERROR(source.text(ok));
  return {};
}

Result<std::string> declared(Source& source, bool first_ok, bool second_ok) {
  VOR_ASSIGN_OR_RETURN(auto first, source.text(first_ok));
  VOR_ASSIGN_OR_RETURN(const std::string second, source.text(second_ok));
  return first + "+" + second;
}

Result<std::size_t> into_existing(Source& source, bool ok) {
  std::string target = "unchanged";
  VOR_ASSIGN_OR_RETURN(target, source.text(ok));
  return target.size();
}

TEST(ErrorPropagation, SuccessContinuesOnceAndFailureReturnsTheWholeChain) {
  Source source;
  ASSERT_EQ(after_status(source, true), 1);
  auto stopped = after_status(source, false);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().display_chain(), "DESKTOP_PIPE_BROKEN: os error 109");
  EXPECT_EQ(stopped.error().os_error(), 109u);
  EXPECT_EQ(source.calls, 2);

  EXPECT_TRUE(after_result(source, true));
  auto from_result = after_result(source, false);
  ASSERT_FALSE(from_result);
  EXPECT_EQ(from_result.error().display_chain(), "DESKTOP_REQUEST_INVALID: no text");
  EXPECT_EQ(source.calls, 4);
}

TEST(ErrorPropagation, AssignMovesTheValueOrStopsAtTheFirstFailure) {
  Source source;
  EXPECT_EQ(declared(source, true, true), "value+value");
  EXPECT_EQ(source.calls, 2);

  auto first_failed = declared(source, false, true);
  ASSERT_FALSE(first_failed);
  EXPECT_EQ(first_failed.error().outermost(), "DESKTOP_REQUEST_INVALID");
  EXPECT_EQ(source.calls, 3);  // the second expression never ran

  EXPECT_FALSE(declared(source, true, false));
  EXPECT_EQ(source.calls, 5);

  EXPECT_EQ(into_existing(source, true), 5u);
  auto unassigned = into_existing(source, false);
  ASSERT_FALSE(unassigned);
  EXPECT_EQ(unassigned.error().display_chain(), "DESKTOP_REQUEST_INVALID: no text");
}

}  // namespace
}  // namespace vor
