// Opening and closing the automation session over the scripted apartment and
// automation object: the order of the calls, what each failure answers, and
// that the apartment is left exactly once whenever it was entered.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "uia/fake_automation.h"
#include "uia/session.h"

namespace vor::desktop::uia {
namespace {

using testing::FakeAutomation;

TEST(UiaSession, OpensInOrderAndClosesInOrder) {
  vor::desktop::testing::FakeClock clock;
  FakeAutomation com(clock);
  com.init_result = testing::kFakeAlreadyInitialized;  // S_FALSE still enters the apartment
  {
    auto session = UiaSession::open(com);
    ASSERT_TRUE(session) << session.error().display_chain();
  }
  const std::vector<std::string> expected = {
      "CoInitializeEx", "CoCreateInstance", "QueryInterface(IUIAutomation2)", "put_AutoSetFocus(0)",
      "put_ConnectionTimeout(400)", "put_TransactionTimeout(400)", "CreateCacheRequest", "put_TreeScope(1)",
      "AddProperty(30002)", "AddProperty(30001)", "AddProperty(30019)", "AddProperty(30020)", "AddProperty(30011)",
      "AddProperty(30005)", "AddProperty(30012)", "AddProperty(30003)", "AddProperty(30010)", "AddProperty(30022)",
      "Release(IUIAutomation)", "Release(IUIAutomationCacheRequest)", "CoUninitialize"};
  EXPECT_EQ(com.log, expected);
  EXPECT_EQ(com.open_references(), 0);
}

struct OpenFailure {
  std::string name;
  std::string call;  // the failing call, "" for a null automation object
  HResult hr;
  std::string code;
  int uninitialize;
};

void PrintTo(const OpenFailure& c, std::ostream* os) { *os << c.name; }

class UiaSessionFailure : public ::testing::TestWithParam<OpenFailure> {};

TEST_P(UiaSessionFailure, AnswersItsCodeAndLeavesTheApartmentOnce) {
  const OpenFailure& c = GetParam();
  vor::desktop::testing::FakeClock clock;
  FakeAutomation com(clock);
  if (c.call == "CoInitializeEx") {
    com.init_result = c.hr;
  } else if (c.call.empty()) {
    com.automation_null = true;
  } else {
    com.fail(c.call, c.hr);
  }
  {
    auto session = UiaSession::open(com);
    ASSERT_FALSE(session);
    EXPECT_EQ(session.error().outermost(), c.code);
  }
  EXPECT_EQ(com.count("CoUninitialize"), c.uninitialize);
  // A failing COM call is followed by fetching and dropping its error info.
  EXPECT_EQ(com.count("GetErrorInfo"), c.call.empty() ? 0 : 1);
  EXPECT_EQ(com.open_references(), 0);
  // Nothing is created after the failure.
  if (c.call != "AddProperty") {
    EXPECT_EQ(com.count("AddProperty(30022)"), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UiaSessionFailure,
    ::testing::Values(
        OpenFailure{"ChangedApartmentMode", "CoInitializeEx", testing::kFakeChangedMode,
                    "DESKTOP_UIA_APARTMENT_UNAVAILABLE", 0},
        OpenFailure{"ClassNotRegistered", "CoCreateInstance", testing::kFakeClassNotRegistered,
                    "DESKTOP_UIA_PROVIDER_UNAVAILABLE", 1},
        OpenFailure{"NullAutomation", "", 0, "DESKTOP_UIA_PROVIDER_UNAVAILABLE", 1},
        OpenFailure{"NoSettingsInterface", "QueryInterface", static_cast<HResult>(0x80004002),
                    "DESKTOP_UIA_PROVIDER_UNAVAILABLE", 1},
        OpenFailure{"AutoSetFocusRefused", "put_AutoSetFocus", testing::kFakeFailure,
                    "DESKTOP_UIA_PROVIDER_UNAVAILABLE", 1},
        OpenFailure{"TransactionTimeoutRefused", "put_TransactionTimeout", testing::kFakeFailure,
                    "DESKTOP_UIA_PROVIDER_UNAVAILABLE", 1},
        OpenFailure{"NoCacheRequest", "CreateCacheRequest", testing::kFakeFailure, "DESKTOP_UIA_PROVIDER_UNAVAILABLE",
                    1},
        OpenFailure{"TreeScopeRefused", "put_TreeScope", testing::kFakeFailure, "DESKTOP_UIA_PROVIDER_UNAVAILABLE", 1},
        OpenFailure{"PropertyRefused", "AddProperty", testing::kFakeFailure, "DESKTOP_UIA_PROVIDER_UNAVAILABLE", 1}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vor::desktop::uia
