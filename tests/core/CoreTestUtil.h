// Shared helpers of the core tests.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>
#include <utility>
#include <vector>

#include "common/TestPaths.h"

namespace coretest {

// Writes a language file with the structured-storage API, independently of
// the program's code: each section's text (entries NUL-separated) stored
// UTF-16LE, every whole 32-bit word that ends before the last byte XORed
// with 0x5C17.
inline bool WriteLanguageFile(const std::wstring& path,
                              const std::vector<std::pair<std::wstring, std::wstring>>& sections) {
  IStorage* stg = nullptr;
  if (FAILED(StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                              &stg)))
    return false;
  bool ok = true;
  for (const auto& s : sections) {
    std::vector<unsigned char> b;
    for (wchar_t c : s.second) b.insert(b.end(), {(unsigned char)c, (unsigned char)(c >> 8)});
    for (size_t i = 0; 4 * i + 4 < b.size(); ++i) b[4 * i] ^= 0x17, b[4 * i + 1] ^= 0x5C;
    IStream* st = nullptr;
    ULONG w = 0;
    const DWORD mode = STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE;
    ok = ok && SUCCEEDED(stg->CreateStream(s.first.c_str(), mode, 0, 0, &st));
    if (st && !b.empty()) st->Write(b.data(), (ULONG)b.size(), &w);
    if (st) st->Release();
    ok = ok && w == b.size();
  }
  ok = ok && SUCCEEDED(stg->Commit(STGC_DEFAULT));
  stg->Release();
  return ok;
}

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD w = 0;
  BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), (DWORD)bytes.size(), &w, nullptr);
  CloseHandle(h);
  return ok && w == bytes.size();
}

inline std::wstring BuiltLanguageFile(const wchar_t* name) {
  return testpaths::Join(testpaths::BinDir(), std::wstring(L"language\\") + name);
}
// Made at build time from data/oddlang.txt.
inline std::wstring OddLanguageFile() {
  return testpaths::Join(testpaths::BinDir(), L"testdata\\core\\oddlang.dll");
}

inline void RemoveTree(const std::wstring& dir) {
  std::wstring from = dir + L'\0';  // a list ended by two NULs
  SHFILEOPSTRUCTW op = {};
  op.wFunc = FO_DELETE;
  op.pFrom = from.c_str();
  op.fFlags = FOF_NO_UI;
  SHFileOperationW(&op);
}

}  // namespace coretest
