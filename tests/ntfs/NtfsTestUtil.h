// Helpers shared by the NTFS tests: fixture images with the answers The Sleuth
// Kit gave when they were made, patched copies, and whole-stream reads.
#pragma once
#include <windows.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "common/TestPaths.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"
#include "storage/fs/NTFSVolume.h"

namespace ntfstest {

struct Expected {
  uint64_t inode = ~0ull;
  uint64_t size = 0;
  std::string sha256;
  std::wstring path;
};

// The names of "<image>.expect.tsv" (tests/fixtures/make-ntfs.sh); named
// stream lines are left out.
inline std::vector<Expected> LoadExpected(const std::wstring& image) {
  std::vector<Expected> out;
  std::istringstream text(testpaths::ReadWholeFile(testpaths::Fixture(image + L".expect.tsv")));
  for (std::string line; std::getline(text, line);) {
    std::istringstream in(line);
    std::vector<std::string> f;
    for (std::string col; std::getline(in, col, '\t');) f.push_back(col);
    if (f.size() != 6 || line[0] == '#' || f[2] == "s/s") continue;
    Expected e;
    e.inode = _strtoui64(f[0].c_str(), nullptr, 10);
    e.size = _strtoui64(f[3].c_str(), nullptr, 10);
    e.sha256 = f[4];
    e.path.resize(MultiByteToWideChar(CP_UTF8, 0, f[5].data(), (int)f[5].size(), nullptr, 0));
    MultiByteToWideChar(CP_UTF8, 0, f[5].data(), (int)f[5].size(), &e.path[0], (int)e.path.size());
    out.push_back(e);
  }
  return out;
}

// A fixture image (or a patched copy of one) opened at an offset, with its answers.
struct Image {
  explicit Image(const wchar_t* name, const std::wstring& path = L"", uint64_t offset = 0)
      : exp(LoadExpected(name)), vol((path.empty() ? testpaths::Fixture(name) : path).c_str(), offset) {}
  const Expected& Find(const std::wstring& path) const {
    static const Expected none;
    for (const Expected& e : exp)
      if (e.path == path) return e;
    return none;
  }
  uint64_t Inode(const std::wstring& path) const { return Find(path).inode; }
  std::vector<Expected> exp;
  CLostNTFSVolume vol;
};

inline bool Load(CFileRecord& rec, uint64_t n, DWORD mask) {
  rec.SetAttrMask(mask);
  return rec.LoadRecord(n) && rec.LoadAttributes();
}

inline std::vector<BYTE> ReadAll(const CAttrBase* a) {
  std::vector<BYTE> out(a ? (size_t)a->GetDataSize() : 0);
  DWORD got = 0;
  if (!out.empty() && (!a->ReadData(0, out.data(), (DWORD)out.size(), &got) || got != out.size())) out.clear();
  return out;
}

inline LONGLONG FirstLcn(const CAttrBase* a) {
  const tagDataRun_Entry* r =
      static_cast<const CAttrNonResident*>(a)->GetDataRunList().FindIf([](tagDataRun_Entry*) { return true; });
  return r ? r->lcn : -1;
}

// A private copy of a fixture image that a test may patch.
inline std::wstring CopyImage(const std::wstring& image, const std::wstring& tag) {
  std::wstring dst = testpaths::MakeTempDir(tag) + L"\\" + image;
  return CopyFileW(testpaths::Fixture(image).c_str(), dst.c_str(), FALSE) ? dst : L"";
}

// Reads or writes `len` bytes at `offset` of a file.
inline bool FileIo(const std::wstring& path, uint64_t offset, void* data, DWORD len, bool write) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | (write ? GENERIC_WRITE : 0), FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)offset;
  DWORD done = 0;
  bool ok = SetFilePointerEx(h, li, nullptr, FILE_BEGIN) &&
            (write ? WriteFile(h, data, len, &done, nullptr) : ReadFile(h, data, len, &done, nullptr)) && done == len;
  CloseHandle(h);
  return ok;
}

}  // namespace ntfstest
