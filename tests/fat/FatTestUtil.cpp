#include "fat/FatTestUtil.h"

#include <bcrypt.h>

#include "common/TestPaths.h"
#include "unzip.h"

namespace fattest {

TempImage::TempImage(const std::wstring& source, const char* zipMember) {
  const std::wstring target = testpaths::MakeTempDir(L"fat") + L"\\image.img";
  Copy(source, zipMember, target);
  if (path.empty()) return;
  m_handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
}

void TempImage::Copy(const std::wstring& source, const char* zipMember, const std::wstring& target) {
  if (!zipMember) {
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) path = target;
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    return;
  }
  char zipA[MAX_PATH * 2] = {};
  WideCharToMultiByte(CP_ACP, 0, source.c_str(), -1, zipA, sizeof zipA, nullptr, nullptr);
  unzFile uf = unzOpen64(zipA);
  if (!uf) return;
  if (unzLocateFile(uf, zipMember, 0) == UNZ_OK && unzOpenCurrentFile(uf) == UNZ_OK) {
    HANDLE h = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::vector<char> buf(1 << 16);
    int n = -1;
    DWORD done = 0;
    bool ok = h != INVALID_HANDLE_VALUE;
    while (ok && (n = unzReadCurrentFile(uf, buf.data(), (unsigned)buf.size())) > 0)
      ok = WriteFile(h, buf.data(), (DWORD)n, &done, nullptr) && done == (DWORD)n;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (ok && n == 0) path = target;
    unzCloseCurrentFile(uf);
  }
  unzClose(uf);
}

TempImage::~TempImage() {
  if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  if (path.empty()) return;
  DeleteFileW(path.c_str());
  RemoveDirectoryW(path.substr(0, path.find_last_of(L'\\')).c_str());
}

bool TempImage::Io(uint64_t offset, void* data, DWORD size, bool write) const {
  if (m_handle == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)offset;
  DWORD done = 0;
  return SetFilePointerEx(m_handle, li, nullptr, FILE_BEGIN) &&
         (write ? WriteFile(m_handle, data, size, &done, nullptr) : ReadFile(m_handle, data, size, &done, nullptr)) &&
         done == size;
}

std::string Md5Hex(const std::vector<BYTE>& data) {
  BCRYPT_ALG_HANDLE a = nullptr;
  BCRYPT_HASH_HANDLE h = nullptr;
  BYTE d[16] = {};
  std::string s;
  if (BCryptOpenAlgorithmProvider(&a, BCRYPT_MD5_ALGORITHM, nullptr, 0) != 0) return s;
  if (BCryptCreateHash(a, &h, nullptr, 0, nullptr, 0, 0) == 0 &&
      BCryptHashData(h, (PUCHAR)data.data(), (ULONG)data.size(), 0) == 0 &&
      BCryptFinishHash(h, d, sizeof d, 0) == 0)
    for (BYTE b : d) s += "0123456789abcdef"[b >> 4], s += "0123456789abcdef"[b & 15];
  if (h) BCryptDestroyHash(h);
  BCryptCloseAlgorithmProvider(a, 0);
  return s;
}

ExFatEntrySet FindExFatSet(const std::vector<BYTE>& dir, const std::wstring& name) {
  const uint32_t count = (uint32_t)(dir.size() / 32);
  for (uint32_t i = 0; i < count && dir[i * 32]; ++i) {
    ExFatEntrySet set = {dir.data() + i * 32, count - i};
    if ((set.entries[0] == 0x85 || set.entries[0] == 0x05) &&
        CExFATVolume::GetEntrySetName(&set, CExFATVolume::GetSecondaryCount(set.entries)) == name)
      return set;
  }
  return ExFatEntrySet{nullptr, 0};
}

const FsDumpRow* FindRow(const std::vector<FsDumpRow>& rows, const std::wstring& path) {
  for (const FsDumpRow& r : rows)
    if (r.path == path) return &r;
  return nullptr;
}

}  // namespace fattest
