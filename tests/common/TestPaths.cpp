#include "common/TestPaths.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

namespace {
CRITICAL_SECTION* TempLock() {
  static CRITICAL_SECTION cs;
  static LONG once = 0;
  if (InterlockedCompareExchange(&once, 1, 0) == 0) {
    InitializeCriticalSection(&cs);
    InterlockedExchange(&once, 2);
  }
  while (once != 2) Sleep(0);
  return &cs;
}
std::vector<std::wstring>& TempDirs() {
  static std::vector<std::wstring> dirs;
  return dirs;
}
void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = dir + L"\\" + name;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path);
      else DeleteFileW(path.c_str());
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(dir.c_str());
}
}  // namespace

std::wstring MakeTempDir(const std::wstring& tag) {
  wchar_t tmp[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);
  static LONG counter = 0;
  for (int i = 0; i < 1000; ++i) {
    std::wstring p = std::wstring(tmp) + L"dlv_" + tag + L"_" +
                     std::to_wstring(GetCurrentProcessId()) + L"_" +
                     std::to_wstring(InterlockedIncrement(&counter));
    if (CreateDirectoryW(p.c_str(), nullptr)) {
      EnterCriticalSection(TempLock());
      TempDirs().push_back(p);
      LeaveCriticalSection(TempLock());
      return p;
    }
  }
  return L"";
}

void RemoveTempDirs() {
  EnterCriticalSection(TempLock());
  std::vector<std::wstring> dirs;
  dirs.swap(TempDirs());
  LeaveCriticalSection(TempLock());
  for (const std::wstring& d : dirs) RemoveTree(d);
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
  // Read in place at the size the file has now (tens of MiB for some
  // recovered files), then on in case it grew meanwhile.
  std::string out;
  LARGE_INTEGER size = {};
  if (GetFileSizeEx(h, &size) && size.QuadPart > 0 && (ULONGLONG)size.QuadPart < (1ull << 31)) {
    out.resize((size_t)size.QuadPart);
    size_t have = 0;
    DWORD got = 0;
    while (have < out.size() &&
           ReadFile(h, &out[have], (DWORD)std::min<size_t>(out.size() - have, 1u << 24), &got, nullptr) && got > 0)
      have += got;
    out.resize(have);
  }
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  CloseHandle(h);
  return out;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD wrote = 0;
  const bool ok = WriteFile(h, bytes.data(), (DWORD)bytes.size(), &wrote, nullptr) && wrote == bytes.size();
  CloseHandle(h);
  return ok;
}
bool CopyImage(const std::wstring& from, const std::wstring& to, uint64_t zeroed, uint64_t length) {
  HANDLE in = CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  HANDLE out = INVALID_HANDLE_VALUE;
  bool ok = GetFileSizeEx(in, &size) && (uint64_t)size.QuadPart >= zeroed;
  if (ok) {
    out = CreateFileW(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ok = out != INVALID_HANDLE_VALUE;
  }
  const uint64_t total = std::min<uint64_t>(size.QuadPart, length);
  const size_t kChunk = 1 << 20, kBlock = 4096;
  std::vector<char> buf(kChunk);
  static const char kZeros[kBlock] = {};
  for (uint64_t at = 0; ok && at < total; at += kChunk) {
    const DWORD want = (DWORD)std::min<uint64_t>(kChunk, total - at);
    DWORD got = 0;
    ok = ReadFile(in, buf.data(), want, &got, nullptr) && got == want;
    if (at < zeroed) memset(buf.data(), 0, (size_t)std::min<uint64_t>(want, zeroed - at));
    // Only the blocks that hold something are written, each run at once.
    for (size_t b = 0; ok && b < want;) {
      const size_t n = std::min<size_t>(kBlock, want - b);
      if (memcmp(buf.data() + b, kZeros, n) == 0) {
        b += n;
        continue;
      }
      size_t end = b + n;
      while (end < want && memcmp(buf.data() + end, kZeros, std::min<size_t>(kBlock, want - end)) != 0)
        end += std::min<size_t>(kBlock, want - end);
      LARGE_INTEGER li;
      li.QuadPart = (LONGLONG)(at + b);
      DWORD wrote = 0;
      ok = SetFilePointerEx(out, li, nullptr, FILE_BEGIN) &&
           WriteFile(out, buf.data() + b, (DWORD)(end - b), &wrote, nullptr) && wrote == end - b;
      b = end;
    }
  }
  if (ok) {
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)total;
    ok = SetFilePointerEx(out, li, nullptr, FILE_BEGIN) && SetEndOfFile(out);
  }
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  CloseHandle(in);
  return ok;
}

bool RewriteChanged(const std::wstring& path, std::string& onDisk, const std::string& wanted) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const size_t kPage = 4096;
  bool ok = true;
  for (size_t at = 0; ok && at < wanted.size(); at += kPage) {
    const size_t n = std::min(kPage, wanted.size() - at);
    if (at + n <= onDisk.size() && memcmp(wanted.data() + at, onDisk.data() + at, n) == 0) continue;
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)at;
    DWORD wrote = 0;
    ok = SetFilePointerEx(h, li, nullptr, FILE_BEGIN) && WriteFile(h, wanted.data() + at, (DWORD)n, &wrote, nullptr) &&
         wrote == n;
  }
  if (ok && wanted.size() < onDisk.size()) {
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)wanted.size();
    ok = SetFilePointerEx(h, li, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  }
  CloseHandle(h);
  onDisk = wanted;
  return ok;
}
}  // namespace testpaths
