// The element search over scripted trees: every limit at its boundary, other
// processes' subtrees, scope, text bounds and cleaning, derived flags, and a
// slow provider running into the deadline.
#include <gtest/gtest.h>

#include <string>

#include "uia/element_search.h"
#include "uia/fake_automation.h"
#include "uia/uia_fixture.h"

namespace vor::desktop::uia {
namespace {

using namespace std::chrono_literals;
using testing::FakeNode;
using testing::UiaFixture;
using testing::by_name;

// A tree of `count` nodes in total: the root and children spread over rows of
// ten, the last one named "Last".
void grow_tree(UiaFixture& f, int count) {
  int parent = f.root;
  for (int i = 1; i < count; ++i) {
    if ((i - 1) % 10 == 0 && i > 1) parent = f.uia.node(parent).children.front();
    f.uia.add_child(parent, {.name = i == count - 1 ? u"Last" : u"Leaf"});
  }
}

TEST(SearchElements, TreeOf255NodesIsSearchedToTheLastNode) {
  UiaFixture f;
  grow_tree(f, 255);
  OperationDeadline deadline(f.desk.clock, 1000);
  auto found = search_elements(f.target(), by_name("Last"), deadline);
  ASSERT_TRUE(found) << found.error().display_chain();
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ((*found)[0].element.name, "Last");
}

TEST(SearchElements, TreeOf256NodesIsRefusedEvenWhenTheRootMatches) {
  UiaFixture f;
  grow_tree(f, 256);
  OperationDeadline deadline(f.desk.clock, 1000);
  auto found = search_elements(f.target(), by_name("App"), deadline);
  ASSERT_FALSE(found);
  EXPECT_EQ(found.error().outermost(), "DESKTOP_UIA_SEARCH_LIMIT");
}

// A chain from the root down to depth `deepest`, the deepest named "Deep".
void grow_chain(UiaFixture& f, int deepest) {
  int parent = f.root;
  for (int depth = 1; depth <= deepest; ++depth) parent = f.uia.add_child(parent, {.name = depth == deepest ? u"Deep" : u"Step"});
}

TEST(SearchElements, DepthLimit) {
  struct Case {
    int deepest;
    bool found;
  };
  for (const Case c : {Case{64, true}, Case{65, false}}) {
    UiaFixture f;
    grow_chain(f, c.deepest);
    OperationDeadline deadline(f.desk.clock, 1000);
    auto found = search_elements(f.target(), by_name("Deep"), deadline);
    if (c.found) {
      ASSERT_TRUE(found) << found.error().display_chain();
      EXPECT_EQ(found->size(), 1u);
    } else {
      ASSERT_FALSE(found);
      EXPECT_EQ(found.error().outermost(), "DESKTOP_UIA_SEARCH_LIMIT");
    }
  }
}

TEST(SearchElements, MatchLimit) {
  for (const int matches : {32, 33}) {
    UiaFixture f;
    for (int i = 0; i < matches; ++i) f.button(u"Same");
    OperationDeadline deadline(f.desk.clock, 1000);
    auto found = search_elements(f.target(), by_name("Same"), deadline);
    if (matches == 32) {
      ASSERT_TRUE(found);
      EXPECT_EQ(found->size(), 32u);
    } else {
      ASSERT_FALSE(found);
      EXPECT_EQ(found.error().outermost(), "DESKTOP_UIA_SEARCH_LIMIT");
    }
  }
}

TEST(SearchElements, AnotherProcessSubtreeIsNeverRead) {
  UiaFixture f;
  const int foreign = f.uia.add_child(f.root, {.process_id = 200, .name = u"Target"});
  const int hidden = f.uia.add_child(foreign, {.process_id = 100, .name = u"Target"});
  const int after = f.button(u"Target");
  OperationDeadline deadline(f.desk.clock, 1000);
  auto found = search_elements(f.target(), by_name("Target"), deadline);
  ASSERT_TRUE(found) << found.error().display_chain();
  ASSERT_EQ(found->size(), 1u) << "the sibling after the foreign element is still searched";
  EXPECT_EQ(f.uia.touches(hidden), 0);
  EXPECT_GT(f.uia.touches(after), 0);
  // The foreign element itself: its sibling link and its process id, nothing else.
  EXPECT_EQ(f.uia.touches(foreign), 2);
}

TEST(SearchElements, NativeHandleOutsideTheWindowIsAScopeMismatch) {
  UiaFixture f;
  const WindowHandle inside = f.controls.add({.parent = f.handle});
  f.uia.add_child(f.root, {.native = inside, .name = u"Inside"});
  {
    OperationDeadline deadline(f.desk.clock, 1000);
    auto found = search_elements(f.target(), by_name("Inside"), deadline);
    ASSERT_TRUE(found) << found.error().display_chain();
    EXPECT_EQ(found->size(), 1u);
  }
  const WindowHandle elsewhere = f.controls.add({.parent = 0x55550});
  f.uia.add_child(f.root, {.native = elsewhere, .name = u"Elsewhere"});
  OperationDeadline deadline(f.desk.clock, 1000);
  auto found = search_elements(f.target(), by_name("Inside"), deadline);
  ASSERT_FALSE(found);
  EXPECT_EQ(found.error().outermost(), "DESKTOP_UIA_SCOPE_MISMATCH");
}

TEST(SearchElements, TextsOver256UnitsFailAndControlCharactersAreDropped) {
  struct Case {
    std::u16string name;
    const char* code;  // nullptr: found with `cleaned`
    std::string cleaned;
  };
  const std::u16string limit(256, u'a');
  const std::u16string with_controls = u"O\tK\u0085!" + std::u16string(251, u'b');  // 256 units before cleaning
  const Case cases[] = {
      {limit, nullptr, std::string(256, 'a')},
      {limit + u"a", "DESKTOP_UIA_METADATA_TOO_LARGE", {}},
      {with_controls, nullptr, "OK!" + std::string(251, 'b')},
      {with_controls + u"\t", "DESKTOP_UIA_METADATA_TOO_LARGE", {}},
  };
  for (const Case& c : cases) {
    UiaFixture f;
    f.uia.add_child(f.root, {.automation_id = u"id", .name = c.name});
    ElementSelector selector;
    selector.automation_id = "id";
    OperationDeadline deadline(f.desk.clock, 1000);
    auto found = search_elements(f.target(), selector, deadline);
    if (c.code) {
      ASSERT_FALSE(found);
      EXPECT_EQ(found.error().outermost(), c.code);
    } else {
      ASSERT_TRUE(found) << found.error().display_chain();
      ASSERT_EQ(found->size(), 1u);
      EXPECT_EQ((*found)[0].element.name, c.cleaned);
    }
  }
}

TEST(SearchElements, SelectorMembersAllMatchExactly) {
  UiaFixture f;
  f.uia.add_child(f.root, {.automation_id = u"ok", .name = u"OK", .class_name = u"Button", .control_type = 50000});
  f.uia.add_child(f.root, {.automation_id = u"ok", .name = u"ok", .class_name = u"Button", .control_type = 50000});
  f.uia.add_child(f.root, {.automation_id = u"ok", .name = u"OK", .class_name = u"Button", .control_type = 50004});
  ElementSelector selector;
  selector.automation_id = "ok";
  selector.name = "OK";
  selector.control_type = 50000;
  OperationDeadline deadline(f.desk.clock, 1000);
  auto found = search_elements(f.target(), selector, deadline);
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ((*found)[0].element.control_type, 50000);
  EXPECT_EQ((*found)[0].element.name, "OK");
}

TEST(SearchElements, FlagsAndPasswordNameComeFromTheNativeWindowToo) {
  UiaFixture f;
  const WindowHandle disabled = f.controls.add({.parent = f.handle, .enabled = false});
  const WindowHandle hidden = f.controls.add({.parent = f.handle, .visible = false});
  f.uia.add_child(f.root, {.native = disabled, .automation_id = u"disabled"});
  f.uia.add_child(f.root, {.native = hidden, .automation_id = u"hidden"});
  const int secret = f.uia.add_child(f.root, {.password = true, .automation_id = u"pw", .name = u"hunter2"});
  OperationDeadline deadline(f.desk.clock, 1000);
  auto found = search_elements(f.target(), {}, deadline);
  ASSERT_TRUE(found) << found.error().display_chain();
  ASSERT_EQ(found->size(), 4u);  // the root and its three children
  EXPECT_FALSE((*found)[1].element.enabled);
  EXPECT_FALSE((*found)[1].element.offscreen);
  EXPECT_TRUE((*found)[2].element.enabled);
  EXPECT_TRUE((*found)[2].element.offscreen);
  EXPECT_TRUE((*found)[3].element.password);
  EXPECT_EQ((*found)[3].element.name, "");
  // The name of a password element is never asked for: only the root and
  // the two other children's names are read.
  EXPECT_EQ(f.uia.count("CachedName"), 3);
  EXPECT_GT(f.uia.touches(secret), 0);
}

TEST(SearchElements, SlowProviderRunsIntoTheDeadlineMidWalk) {
  UiaFixture f;
  for (int i = 0; i < 10; ++i) f.button(u"Slow");
  f.uia.call_cost = 400ms;
  OperationDeadline deadline(f.desk.clock, 1000);
  auto found = search_elements(f.target(), by_name("Nothing"), deadline);
  ASSERT_FALSE(found);
  EXPECT_EQ(found.error().outermost(), "DESKTOP_UIA_QUERY_TIMEOUT");
  // Stopped at the first check after the deadline, not at the end of the tree.
  EXPECT_LT(f.desk.clock.elapsed(), 1000ms + 2 * 400ms);
}

TEST(SearchElements, ProviderFailuresAreProviderUnavailable) {
  for (const char* call : {"ElementFromHandleBuildCache", "get_ControlViewWalker", "GetFirstChildElementBuildCache",
                           "GetNextSiblingElementBuildCache", "CachedProcessId", "CachedBoundingRectangle",
                           "CachedClassName", "CachedIsOffscreen"}) {
    UiaFixture f;
    f.button(u"A");
    f.button(u"B");
    const int errors_before = f.uia.count("GetErrorInfo");
    f.uia.fail(call, testing::kFakeFailure);
    OperationDeadline deadline(f.desk.clock, 1000);
    auto found = search_elements(f.target(), by_name("B"), deadline);
    ASSERT_FALSE(found) << call;
    EXPECT_EQ(found.error().outermost(), "DESKTOP_UIA_PROVIDER_UNAVAILABLE") << call;
    EXPECT_EQ(f.uia.count("GetErrorInfo"), errors_before + 1) << call;
  }
}

TEST(SearchElements, ChangedTargetWindowFailsTheSearch) {
  UiaFixture f;
  f.button(u"A");
  f.desk.window(f.handle).rect = {0, 0, 801, 600};
  OperationDeadline deadline(f.desk.clock, 1000);
  auto found = search_elements(f.target(), by_name("A"), deadline);
  ASSERT_FALSE(found);
  EXPECT_EQ(found.error().outermost(), "DESKTOP_TARGET_CHANGED");
  EXPECT_EQ(f.uia.count("ElementFromHandleBuildCache"), 0);
}

}  // namespace
}  // namespace vor::desktop::uia
