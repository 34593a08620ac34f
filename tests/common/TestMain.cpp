// The main of every test program: GoogleTest's, plus the skip rule for a
// checkout without the shared public corpora.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/TestPaths.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  testpaths::RemoveTempDirs();
  if (result == 0 && testpaths::AnyCorpusMissing()) {
    fprintf(stderr, "skipped: tests that need the shared public corpora did not run (see above)\n");
    return 77;
  }
  return result;
}
