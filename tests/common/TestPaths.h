// Where the tests find their data when they run under Wine.
#pragma once
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
// A fresh empty folder under the Wine prefix's temp folder, removed by the caller if wanted.
std::wstring MakeTempDir(const std::wstring& tag);
// Whole file into memory (empty on failure).
std::string ReadWholeFile(const std::wstring& path);
}  // namespace testpaths
