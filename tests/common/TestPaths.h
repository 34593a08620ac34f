// Where the tests find their data when they run under Wine.
#pragma once
#include <cstdint>
#include <string>

namespace testpaths {
// Windows paths (Z:\...) of the source tree, the unpacked fixture images,
// the program folder and the shared public corpora.
std::wstring SourceDir();
std::wstring FixtureDir();
std::wstring BinDir();
std::wstring SharedDir();
// Joins with a backslash; rel may use forward slashes.
std::wstring Join(const std::wstring& dir, const std::wstring& rel);
inline std::wstring Fixture(const std::wstring& rel) { return Join(FixtureDir(), rel); }
inline std::wstring Source(const std::wstring& rel) { return Join(SourceDir(), rel); }
inline std::wstring Shared(const std::wstring& rel) { return Join(SharedDir(), rel); }
bool FileExists(const std::wstring& path);
// A fresh empty folder under the Wine prefix's temp folder; the test program
// removes it with everything in it when all its tests have run.
std::wstring MakeTempDir(const std::wstring& tag);
// Removes every folder MakeTempDir made (what a handle still holds open stays).
void RemoveTempDirs();
// Public corpora live in the shared folder beside the checkout. A clone
// without it still runs every other test: a test that needs a corpus asks
// here first; when the corpus is missing it is named on the output, the test
// is skipped, and the test program ends as skipped (exit code 77) unless
// something failed.
bool CorpusMissing(const std::wstring& rel);
bool AnyCorpusMissing();
// Whole file into memory (empty on failure).
std::string ReadWholeFile(const std::wstring& path);
// Bytes as a whole new file (replacing one there); false unless all written.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);
// A copy of a disk or volume image at to: its first zeroed bytes zero and
// no more than length bytes. Runs of zeros are left as holes, so a copy of a
// mostly empty image writes only its used blocks. False on any failure, or
// when the image is shorter than zeroed.
bool CopyImage(const std::wstring& from, const std::wstring& to, uint64_t zeroed = 0, uint64_t length = ~0ull);
// Makes the file at path, which holds onDisk, hold wanted instead, writing
// only the 4 KiB pages that differ and cutting or extending the end. onDisk
// becomes wanted; false when a write failed (onDisk is then unknown).
bool RewriteChanged(const std::wstring& path, std::string& onDisk, const std::string& wanted);
}  // namespace testpaths

// Skips the calling test when the public corpus `rel` (a path under the
// shared folder, file or folder) is missing.
#define REQUIRE_CORPUS(rel)                                                   \
  if (testpaths::CorpusMissing(rel))                                          \
  GTEST_SKIP() << "public corpus missing: " << testpaths::Narrow(rel)

namespace testpaths {
std::string Narrow(const std::wstring& text);
}
