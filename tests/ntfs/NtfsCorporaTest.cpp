// The public DFTT undelete and JPEG-search NTFS images against their
// published answer keys (MD5 of each stream, path and deleted state).
#include <windows.h>
#include <bcrypt.h>
#include <gtest/gtest.h>
#include <unzip.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ntfs/NtfsTestUtil.h"
#include "tools/fsdump/FsDump.h"

using namespace ntfstest;

namespace {
// Unpacks one member of a zip from the shared corpora into a temp folder.
std::wstring Unzip(const std::wstring& zip, const char* member) {
  std::wstring w = testpaths::Shared(zip);
  unzFile z = unzOpen64(std::string(w.begin(), w.end()).c_str());  // ASCII paths
  std::wstring out = testpaths::MakeTempDir(L"dftt") + L"\\image.dd";
  bool ok = z && unzLocateFile(z, member, 0) == UNZ_OK && unzOpenCurrentFile(z) == UNZ_OK;
  if (ok) {
    HANDLE h = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::vector<char> buf(1 << 16);
    DWORD done;
    for (int n; (n = unzReadCurrentFile(z, buf.data(), (unsigned)buf.size())) > 0;) WriteFile(h, buf.data(), n, &done, nullptr);
    CloseHandle(h);
    unzCloseCurrentFile(z);
  }
  if (z) unzClose(z);
  return ok ? out : L"";
}

std::string StreamMd5(CNTFSVolume& vol, uint64_t record, const wchar_t* stream) {
  CFileRecord rec(&vol);
  if (!Load(rec, record, NtfsAttrMask(ATTR_TYPE_DATA))) return "load failed";
  std::vector<BYTE> data = ReadAll(rec.FindDataStream(stream));
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  BYTE digest[16] = {};
  BCryptOpenAlgorithmProvider(&alg, BCRYPT_MD5_ALGORITHM, nullptr, 0);
  BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
  BCryptHashData(hash, data.data(), (ULONG)data.size(), 0);
  BCryptFinishHash(hash, digest, 16, 0);
  BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(alg, 0);
  char hex[33];
  for (int i = 0; i < 16; ++i) sprintf(hex + 2 * i, "%02x", digest[i]);
  return hex;
}

struct Key {
  uint64_t record;
  const wchar_t* stream;  // a named stream: its content only
  const wchar_t* path;
  bool deleted;
  const char* md5;  // null for folders
};

void CheckAnswerKey(const wchar_t* zip, const char* member, const std::vector<Key>& key) {
  std::wstring img = Unzip(zip, member);
  ASSERT_FALSE(img.empty());
  CLostNTFSVolume vol(img.c_str(), 0);
  ASSERT_TRUE(vol.IsVolumeOK());
  std::vector<FsDumpRow> rows;
  ASSERT_TRUE(DumpNtfsVolume(img, 0, rows));
  for (const Key& k : key) {
    SCOPED_TRACE(k.record);
    if (k.md5) {
      EXPECT_EQ(k.md5, StreamMd5(vol, k.record, k.stream));
    }
    if (!k.path) continue;
    const FsDumpRow* row = nullptr;
    for (const FsDumpRow& r : rows)
      if (r.firstCluster == k.record) row = &r;
    ASSERT_NE(nullptr, row);
    EXPECT_EQ(std::wstring(k.path), row->path);
    EXPECT_EQ(k.deleted, row->deleted);
  }
}
}  // namespace

TEST(NtfsCorpora, UndeleteImageMatchesItsAnswerKey) {
  REQUIRE_CORPUS(L"corpora/disks/dftt");
  CheckAnswerKey(L"corpora/disks/dftt/7-undel-ntfs.zip", "7-undel-ntfs/7-ntfs-undel.dd", {
      {37, nullptr, L"/res1.dat", true, "9036637712b491904cd0bfbdbe648453"},
      {31, nullptr, L"/sing1.dat", true, "59b20779f69ff9f0ac5fcd2c38835a79"},
      {32, nullptr, L"/mult1.dat", true, "ffd27bd782bdce67750b6b9ee069d2ef"},
      {32, L"ADS", nullptr, true, "ba1b9eedb1c091ddca253d35dde8f616"},
      {29, nullptr, L"/frag1.dat", true, "7a3bc5b763bef201202108f4ba128149"},
      {30, nullptr, L"/frag2.dat", true, "0e80ab84ef0087e60dfc67b88a1cf13e"},
      {33, nullptr, L"/dir1", true, nullptr},
      {36, nullptr, L"/dir1/mult2.dat", true, "59cf0e9cd107bc1e75afb7374f6e05bb"},
      {34, nullptr, L"/dir1/dir2", true, nullptr},
      {35, nullptr, L"/dir1/dir2/frag3.dat", true, "21121699487f3fbbdb9a4b3391b6d3e0"},
      // Its folder's record was reused by res1.dat: an orphan.
      {38, nullptr, L"/$OrphanFiles/sing2.dat", true, "c229626f6a71b167ad7e50c4f2fccdb1"},
  });
}

TEST(NtfsCorpora, JpegSearchImageMatchesItsAnswerKey) {
  REQUIRE_CORPUS(L"corpora/disks/dftt");
  CheckAnswerKey(L"corpora/disks/dftt/8-jpeg-search.zip", "8-jpeg-search/8-jpeg-search.dd", {
      {29, nullptr, L"/alloc/file1.jpg", false, "75b8d00568815a36c3809b46fc84ba6d"},
      {28, nullptr, L"/alloc/file2.dat", false, "de5d83153339931371719f4e5c924eba"},
      {35, nullptr, L"/invalid/file3.jpg", false, "1ba4e91591f0541eda255ee26f7533bc"},
      {36, nullptr, L"/invalid/file4.jpg", false, "c8de721102617158e8492121bdad3711"},
      {34, nullptr, L"/invalid/file5.rtf", false, "86f14fc525648c39d878829f288c0543"},
      {32, nullptr, L"/del1/file6.jpg", true, "afd55222024a4e22f7f5a3a665320763"},
      {31, nullptr, L"/del2/file7.hmm", true, "0c452c5800fcfa7c66027ae89c4f068a"},
      {39, nullptr, L"/archive/file8.zip", false, "d41b56e0a9f84eb2825e73c24cedd963"},
      {40, nullptr, L"/archive/file9.boo", false, "73c3029066aee9416a5aeb98a5c55321"},
      {38, nullptr, L"/archive/file10.tar.gz", false, "d4f8cf643141f0c2911c539750e18ef2"},
      {42, nullptr, L"/misc/file11.dat", false, "f407ab92da959c7ab03292cfe596a99d"},
      {43, nullptr, L"/misc/file12.doc", false, "61c0b55639e52d1ce82aba834ada2bab"},
      {44, L"here", nullptr, false, "9b787e63e3b64562730c5aecaab1e1f8"},
  });
}
