#include "common/TestPaths.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace testpaths {
namespace {
std::wstring Env(const wchar_t* name) {
  wchar_t buf[2048];
  DWORD n = GetEnvironmentVariableW(name, buf, 2048);
  if (n == 0 || n >= 2048) return L"";
  return std::wstring(buf, n);
}
}  // namespace

std::wstring SourceDir() { return Env(L"DELVARO_SOURCE_DIR"); }
std::wstring FixtureDir() { return Env(L"DELVARO_FIXTURES"); }
std::wstring BinDir() { return Env(L"DELVARO_BIN"); }
std::wstring SharedDir() { return Env(L"DELVARO_SHARED"); }

std::wstring Join(const std::wstring& dir, const std::wstring& rel) {
  std::wstring r = dir;
  if (!r.empty() && r.back() != L'\\') r += L'\\';
  for (wchar_t c : rel) r += (c == L'/') ? L'\\' : c;
  return r;
}

bool FileExists(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES;
}

std::wstring MakeTempDir(const std::wstring& tag) {
  wchar_t tmp[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);
  static LONG counter = 0;
  for (int i = 0; i < 1000; ++i) {
    std::wstring p = std::wstring(tmp) + L"dlv_" + tag + L"_" +
                     std::to_wstring(GetCurrentProcessId()) + L"_" +
                     std::to_wstring(InterlockedIncrement(&counter));
    if (CreateDirectoryW(p.c_str(), nullptr)) return p;
  }
  return L"";
}

namespace {
LONG g_missingCorpora = 0;
}

bool CorpusMissing(const std::wstring& rel) {
  if (!SharedDir().empty() && FileExists(Shared(rel))) return false;
  InterlockedIncrement(&g_missingCorpora);
  fprintf(stderr, "public corpus missing: %s (looked under %s)\n", Narrow(rel).c_str(),
          Narrow(SharedDir().empty() ? L"<DELVARO_SHARED not set>" : SharedDir()).c_str());
  return true;
}

bool AnyCorpusMissing() { return g_missingCorpora != 0; }

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? (char)c : '?';
  return out;
}

std::string ReadWholeFile(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::string out;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  CloseHandle(h);
  return out;
}
}  // namespace testpaths
