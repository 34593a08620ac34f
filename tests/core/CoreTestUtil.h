// Shared helpers of the core tests.
#pragma once
#include <windows.h>
#include <objbase.h>

#include <string>
#include <utility>
#include <vector>

#include "common/TestPaths.h"

namespace coretest {

// Writes a language file with the structured-storage API: each section's
// text (entries already NUL-separated) is stored UTF-16LE, scrambled by
// XOR 0x5C17 on every whole 32-bit word that ends before the last byte.
// Written here independently of the program's own code, as an oracle.
inline bool WriteLanguageFile(const std::wstring& path,
                              const std::vector<std::pair<std::wstring, std::wstring>>& sections) {
  IStorage* stg = nullptr;
  if (FAILED(StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                              &stg)))
    return false;
  bool ok = true;
  for (const auto& s : sections) {
    std::vector<unsigned char> b;
    for (wchar_t c : s.second) {
      b.push_back((unsigned char)(c & 0xFF));
      b.push_back((unsigned char)((c >> 8) & 0xFF));
    }
    for (size_t i = 0; 4 * i + 4 < b.size(); ++i) {
      b[4 * i] ^= 0x17;
      b[4 * i + 1] ^= 0x5C;
    }
    IStream* st = nullptr;
    if (FAILED(stg->CreateStream(s.first.c_str(), STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE,
                                 0, 0, &st))) {
      ok = false;
      break;
    }
    ULONG w = 0;
    if (!b.empty()) st->Write(b.data(), (ULONG)b.size(), &w);
    st->Release();
    ok = ok && w == b.size();
  }
  ok = ok && SUCCEEDED(stg->Commit(STGC_DEFAULT));
  stg->Release();
  return ok;
}

// Raw bytes of one stream, as stored.
inline std::vector<unsigned char> ReadRawStream(const std::wstring& path, const wchar_t* name) {
  std::vector<unsigned char> out;
  IStorage* stg = nullptr;
  if (FAILED(StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                            &stg)))
    return out;
  IStream* st = nullptr;
  if (SUCCEEDED(stg->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &st))) {
    unsigned char buf[4096];
    ULONG got = 0;
    while (SUCCEEDED(st->Read(buf, sizeof buf, &got)) && got) out.insert(out.end(), buf, buf + got);
    st->Release();
  }
  stg->Release();
  return out;
}

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD w = 0;
  BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), (DWORD)bytes.size(), &w, nullptr);
  CloseHandle(h);
  return ok && w == bytes.size();
}

// The language files the build made, and the odd test file.
inline std::wstring BuiltLanguageFile(const wchar_t* name) {
  return testpaths::Join(testpaths::BinDir(), std::wstring(L"language\\") + name);
}
inline std::wstring OddLanguageFile() {
  return testpaths::Join(testpaths::BinDir(), L"testdata\\core\\oddlang.dll");
}

// Deletes a folder tree made by a test.
inline void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring n = fd.cFileName;
      if (n == L"." || n == L"..") continue;
      std::wstring p = dir + L"\\" + n;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(p);
      else
        DeleteFileW(p.c_str());
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(dir.c_str());
}

}  // namespace coretest
