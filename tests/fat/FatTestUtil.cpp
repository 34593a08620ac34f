#include "fat/FatTestUtil.h"

#include <bcrypt.h>

#include "common/TestPaths.h"
#include "unzip.h"

namespace fattest {

std::wstring CopyToTemp(const std::wstring& source, const wchar_t* tag) {
  std::wstring dir = testpaths::MakeTempDir(tag);
  if (dir.empty()) return L"";
  std::wstring path = dir + L"\\image.img";
  if (!CopyFileW(source.c_str(), path.c_str(), FALSE)) return L"";
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  return path;
}

void RemoveTemp(const std::wstring& path) {
  if (path.empty()) return;
  DeleteFileW(path.c_str());
  size_t slash = path.find_last_of(L'\\');
  if (slash != std::wstring::npos) RemoveDirectoryW(path.substr(0, slash).c_str());
}

bool WriteAt(const std::wstring& path, uint64_t offset, const void* data, DWORD size) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)offset;
  DWORD done = 0;
  bool ok = SetFilePointerEx(h, li, nullptr, FILE_BEGIN) && WriteFile(h, data, size, &done, nullptr) &&
            done == size;
  CloseHandle(h);
  return ok;
}

bool ReadAt(const std::wstring& path, uint64_t offset, void* data, DWORD size) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)offset;
  DWORD done = 0;
  bool ok = SetFilePointerEx(h, li, nullptr, FILE_BEGIN) && ReadFile(h, data, size, &done, nullptr) &&
            done == size;
  CloseHandle(h);
  return ok;
}

uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return 0;
  return ((uint64_t)a.nFileSizeHigh << 32) | a.nFileSizeLow;
}

std::wstring UnzipToTemp(const std::wstring& zip, const char* member) {
  char zipA[MAX_PATH * 2] = {};
  WideCharToMultiByte(CP_ACP, 0, zip.c_str(), -1, zipA, sizeof zipA, nullptr, nullptr);
  unzFile uf = unzOpen64(zipA);
  if (!uf) return L"";
  std::wstring out;
  if (unzLocateFile(uf, member, 0) == UNZ_OK && unzOpenCurrentFile(uf) == UNZ_OK) {
    std::wstring dir = testpaths::MakeTempDir(L"zip");
    std::wstring path = dir + L"\\member.img";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      std::vector<char> buf(1 << 16);
      int n;
      bool ok = true;
      while ((n = unzReadCurrentFile(uf, buf.data(), (unsigned)buf.size())) > 0) {
        DWORD done = 0;
        if (!WriteFile(h, buf.data(), (DWORD)n, &done, nullptr) || done != (DWORD)n) ok = false;
      }
      CloseHandle(h);
      if (ok && n == 0) out = path;
    }
    unzCloseCurrentFile(uf);
  }
  unzClose(uf);
  return out;
}

namespace {
std::vector<BYTE> Digest(LPCWSTR alg, const void* data, size_t len) {
  BCRYPT_ALG_HANDLE a = nullptr;
  BCRYPT_HASH_HANDLE h = nullptr;
  DWORD size = 0, got = 0;
  std::vector<BYTE> out;
  if (BCryptOpenAlgorithmProvider(&a, alg, nullptr, 0) != 0) return out;
  BCryptGetProperty(a, BCRYPT_HASH_LENGTH, (PUCHAR)&size, sizeof size, &got, 0);
  out.resize(size);
  if (BCryptCreateHash(a, &h, nullptr, 0, nullptr, 0, 0) != 0 ||
      BCryptHashData(h, (PUCHAR)data, (ULONG)len, 0) != 0 ||
      BCryptFinishHash(h, out.data(), size, 0) != 0)
    out.clear();
  if (h) BCryptDestroyHash(h);
  BCryptCloseAlgorithmProvider(a, 0);
  return out;
}
std::string Hex(const std::vector<BYTE>& d) {
  static const char hex[] = "0123456789abcdef";
  std::string s;
  for (BYTE b : d) {
    s += hex[b >> 4];
    s += hex[b & 15];
  }
  return s;
}
}  // namespace

std::string Md5Hex(const std::vector<BYTE>& data) {
  return Hex(Digest(BCRYPT_MD5_ALGORITHM, data.data(), data.size()));
}
std::string Sha256Of(const std::vector<BYTE>& data) {
  return Hex(Digest(BCRYPT_SHA256_ALGORITHM, data.data(), data.size()));
}

std::vector<BYTE> ExpectedContent(const std::string& name, size_t size) {
  // Same as the fixture script: SHA-256 of (name, counter as 4 LE bytes), chained.
  std::vector<BYTE> out;
  for (uint32_t i = 0; out.size() < size; ++i) {
    std::vector<BYTE> in(name.begin(), name.end());
    for (int k = 0; k < 4; ++k) in.push_back((BYTE)(i >> (8 * k)));
    std::vector<BYTE> d = Digest(BCRYPT_SHA256_ALGORITHM, in.data(), in.size());
    if (d.empty()) return {};
    out.insert(out.end(), d.begin(), d.end());
  }
  out.resize(size);
  return out;
}

bool ReadFat32Dir(CFAT32Volume& vol, uint32_t cluster, FatDir& dir) {
  ClusterList list;
  if (!vol.GetFileClusterList(cluster, list, 0)) return false;
  return ReadList(vol, list, (uint64_t)list.GetCount() * vol.GetClusterSize(), dir.bytes);
}

bool ReadFat16Root(CFATVolume& vol, FatDir& dir) {
  uint16_t count = 0;
  BYTE* root = vol.ReadRootDirectory(&count);
  if (!root) return false;
  dir.bytes.assign(root, root + (size_t)count * 32);
  delete[] root;
  return true;
}

bool ReadFat16Dir(CFATVolume& vol, uint16_t cluster, FatDir& dir) {
  ClusterList16 list;
  if (!vol.GetFileClusterList(cluster, list, 0)) return false;
  return ReadList(vol, list, (uint64_t)list.GetCount() * vol.GetClusterSize(), dir.bytes);
}

bool ReadExFatDir(CExFATVolume& vol, uint32_t first, uint64_t length, BYTE flags, ExFatDir& dir) {
  ClusterList list;
  if (!vol.GetFileClusterList(first, list, length, flags)) return false;
  return ReadList(vol, list, (uint64_t)list.GetCount() * vol.GetClusterSize(), dir.bytes);
}

ExFatEntrySet SetAt(const ExFatDir& dir, int index) {
  ExFatEntrySet set = {dir.bytes.data() + (size_t)index * 32, (uint32_t)(dir.Count() - index)};
  return set;
}

int FindExFatSet(const ExFatDir& dir, const std::wstring& name) {
  for (size_t i = 0; i < dir.Count(); ++i) {
    const BYTE* e = dir.bytes.data() + i * 32;
    if (e[0] == 0) break;
    if (e[0] != 0x85 && e[0] != 0x05) continue;
    ExFatEntrySet set = SetAt(dir, (int)i);
    if (CExFATVolume::GetEntrySetName(&set, CExFATVolume::GetSecondaryCount(e)) == name) return (int)i;
  }
  return -1;
}

const FsDumpRow* FindRow(const std::vector<FsDumpRow>& rows, const std::wstring& path) {
  for (const FsDumpRow& r : rows)
    if (r.path == path) return &r;
  return nullptr;
}

}  // namespace fattest
