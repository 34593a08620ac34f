// Helpers shared by the NTFS tests: fixture images, the answers recorded from
// The Sleuth Kit beside them, and patching copies of images.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/TestPaths.h"

namespace ntfstest {

struct Expected {
  uint64_t inode = 0;
  bool deleted = false;
  std::string type;  // "r/r", "d/d", "-/r", "s/s" (named stream) ...
  uint64_t size = 0;
  std::string sha256;
  std::wstring path;
};

inline std::wstring Wide(const std::string& s) {
  if (s.empty()) return L"";
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
  std::wstring w(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &w[0], n);
  return w;
}

// Lines of "<image>.expect.tsv" (written by tests/fixtures/make-ntfs.sh).
inline std::vector<Expected> LoadExpected(const std::wstring& image) {
  std::vector<Expected> out;
  std::string text = testpaths::ReadWholeFile(testpaths::Fixture(image + L".expect.tsv"));
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    size_t a = 0;
    for (;;) {
      size_t t = line.find('\t', a);
      f.push_back(line.substr(a, t == std::string::npos ? std::string::npos : t - a));
      if (t == std::string::npos) break;
      a = t + 1;
    }
    if (f.size() != 6) continue;
    Expected e;
    e.inode = _strtoui64(f[0].c_str(), nullptr, 10);
    e.deleted = f[1] == "1";
    e.type = f[2];
    e.size = _strtoui64(f[3].c_str(), nullptr, 10);
    e.sha256 = f[4];
    e.path = Wide(f[5]);
    out.push_back(e);
  }
  return out;
}

inline const Expected* FindExpected(const std::vector<Expected>& rows, const std::wstring& path) {
  for (const Expected& e : rows)
    if (e.path == path && e.type != "s/s") return &e;
  return nullptr;
}

// A private copy of a fixture image that a test may patch.
inline std::wstring CopyImage(const std::wstring& image, const std::wstring& tag) {
  std::wstring dir = testpaths::MakeTempDir(tag);
  std::wstring dst = dir + L"\\" + image;
  if (!CopyFileW(testpaths::Fixture(image).c_str(), dst.c_str(), FALSE)) return L"";
  return dst;
}

inline bool PatchFile(const std::wstring& path, uint64_t offset, const void* data, DWORD len) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)offset;
  DWORD done = 0;
  bool ok = SetFilePointerEx(h, li, nullptr, FILE_BEGIN) && WriteFile(h, data, len, &done, nullptr) &&
            done == len;
  CloseHandle(h);
  return ok;
}

inline bool ReadFileAt(const std::wstring& path, uint64_t offset, void* data, DWORD len) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)offset;
  DWORD done = 0;
  bool ok = SetFilePointerEx(h, li, nullptr, FILE_BEGIN) && ReadFile(h, data, len, &done, nullptr) &&
            done == len;
  CloseHandle(h);
  return ok;
}

}  // namespace ntfstest
