#include <gtest/gtest.h>
#include "common/TestPaths.h"

TEST(Harness, SeesSourceTreeAndSharedCorpora) {
  EXPECT_TRUE(testpaths::FileExists(testpaths::Source(L"CMakeLists.txt")));
  EXPECT_TRUE(testpaths::FileExists(testpaths::Shared(L"corpora/disks/SOURCES.md")));
}
