// The owners of common/handle_win32.h against the real (Wine) system.
#include "common/handle_win32.h"

#include <gtest/gtest.h>


namespace vor {
namespace {

TEST(UniqueAttributeList, AnInitialisedListTakesAnAttributeAndIsDeletedOnReset) {
  UniqueAttributeList list;
  EXPECT_EQ(list.get(), nullptr);
  const std::size_t size = UniqueAttributeList::size_for(1);
  ASSERT_GT(size, 0u);
  ASSERT_TRUE(list.initialize(size, 1));
  ASSERT_NE(list.get(), nullptr);
  HANDLE job = nullptr;
  EXPECT_TRUE(::UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job, sizeof job, nullptr,
                                          nullptr));
  ::SetLastError(1234);
  list.reset();
  EXPECT_EQ(::GetLastError(), 1234u);  // kept across the delete
  EXPECT_EQ(list.get(), nullptr);
  // Too small a buffer fails and leaves nothing to delete.
  EXPECT_FALSE(list.initialize(1, 1));
}

TEST(UniqueDesktop, ClosesTheInputDesktopAndKeepsTheLastError) {
  UniqueDesktop desktop(::OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS));
  ASSERT_TRUE(desktop);
  ::SetLastError(4321);
  desktop.reset();
  EXPECT_EQ(::GetLastError(), 4321u);
  EXPECT_FALSE(desktop);
}

}  // namespace
}  // namespace vor
