#include <gtest/gtest.h>
#include "common/TestPaths.h"

TEST(Harness, SeesSourceTreeAndSharedCorpora) {
  EXPECT_TRUE(testpaths::FileExists(testpaths::Source(L"CMakeLists.txt")));
  REQUIRE_CORPUS(L"corpora/disks/SOURCES.md");
}
