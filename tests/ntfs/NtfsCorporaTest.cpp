// Public NTFS images made by others: the DFTT undelete and JPEG images with
// their published answer keys, and a fuzzing input that once crashed a
// forensic tool.
#include <windows.h>
#include <bcrypt.h>
#include <gtest/gtest.h>
#include <unzip.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ntfs/NtfsTestUtil.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"
#include "storage/fs/NTFSVolume.h"
#include "tools/fsdump/FsDump.h"

using namespace ntfstest;

namespace {
std::string Narrow(const std::wstring& w) {
  return std::string(w.begin(), w.end());  // the paths here are ASCII
}

// Unpacks one member of a zip from the shared corpora into a temp folder.
std::wstring Unzip(const std::wstring& zip, const char* member, const std::wstring& tag) {
  unzFile z = unzOpen64(Narrow(testpaths::Shared(zip)).c_str());
  if (!z) return L"";
  std::wstring out;
  if (unzLocateFile(z, member, 0) == UNZ_OK && unzOpenCurrentFile(z) == UNZ_OK) {
    out = testpaths::MakeTempDir(tag) + L"\\image.dd";
    HANDLE h = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::vector<char> buf(1 << 16);
    int n;
    DWORD done;
    while ((n = unzReadCurrentFile(z, buf.data(), (unsigned)buf.size())) > 0) WriteFile(h, buf.data(), n, &done, nullptr);
    CloseHandle(h);
    unzCloseCurrentFile(z);
  }
  unzClose(z);
  return out;
}

std::string Md5(const std::vector<BYTE>& data) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  BYTE digest[16] = {};
  BCryptOpenAlgorithmProvider(&alg, BCRYPT_MD5_ALGORITHM, nullptr, 0);
  BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
  BCryptHashData(hash, (PUCHAR)data.data(), (ULONG)data.size(), 0);
  BCryptFinishHash(hash, digest, 16, 0);
  BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(alg, 0);
  char hex[33];
  for (int i = 0; i < 16; ++i) sprintf(hex + 2 * i, "%02x", digest[i]);
  return hex;
}

std::string StreamMd5(CNTFSVolume& vol, uint64_t record, const wchar_t* stream = nullptr) {
  CFileRecord rec(&vol);
  rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
  if (!rec.LoadRecord(record) || !rec.LoadAttributes()) return "load failed";
  const CAttrBase* data = rec.FindDataStream(stream);
  if (!data) return "no stream";
  std::vector<BYTE> buf((size_t)data->GetDataSize());
  DWORD got = 0;
  if (!buf.empty() && (!data->ReadData(0, buf.data(), (DWORD)buf.size(), &got) || got != buf.size()))
    return "read failed";
  return Md5(buf);
}

const FsDumpRow* RowOf(const std::vector<FsDumpRow>& rows, uint64_t record) {
  for (const FsDumpRow& r : rows)
    if (r.firstCluster == record) return &r;
  return nullptr;
}

struct Key {
  uint64_t record;
  const wchar_t* stream;
  const wchar_t* path;
  bool deleted;
  const char* md5;
};
}  // namespace

TEST(NtfsCorpora, UndeleteImageMatchesItsAnswerKey) {
  std::wstring img = Unzip(L"corpora/disks/dftt/7-undel-ntfs.zip", "7-undel-ntfs/7-ntfs-undel.dd", L"dftt7");
  ASSERT_FALSE(img.empty());
  const Key key[] = {
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
  };
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
    const FsDumpRow* row = RowOf(rows, k.record);
    ASSERT_NE(nullptr, row);
    EXPECT_EQ(std::wstring(k.path), row->path);
    EXPECT_EQ(k.deleted, row->deleted);
  }
}

TEST(NtfsCorpora, JpegSearchImageMatchesItsAnswerKey) {
  std::wstring img = Unzip(L"corpora/disks/dftt/8-jpeg-search.zip", "8-jpeg-search/8-jpeg-search.dd", L"dftt8");
  ASSERT_FALSE(img.empty());
  const Key key[] = {
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
  };
  CLostNTFSVolume vol(img.c_str(), 0);
  ASSERT_TRUE(vol.IsVolumeOK());
  std::vector<FsDumpRow> rows;
  ASSERT_TRUE(DumpNtfsVolume(img, 0, rows));
  for (const Key& k : key) {
    SCOPED_TRACE(k.record);
    EXPECT_EQ(k.md5, StreamMd5(vol, k.record, k.stream));
    if (!k.path) continue;
    const FsDumpRow* row = RowOf(rows, k.record);
    ASSERT_NE(nullptr, row);
    EXPECT_EQ(std::wstring(k.path), row->path);
    EXPECT_EQ(k.deleted, row->deleted);
  }
}

TEST(NtfsCorpora, FuzzedBootSectorIsRefusedAndPatchedOneDoesNotCrash) {
  std::wstring src = testpaths::Shared(
      L"corpora/disks/dftt/clusterfuzz-testcase-minimized-sleuthkit_fls_ntfs_fuzzer-5124116049166336");
  CLostNTFSVolume asIs(src.c_str(), 0);
  EXPECT_FALSE(asIs.IsVolumeOK());
  std::wstring copy = testpaths::MakeTempDir(L"ntfsfuzzcase") + L"\\case.img";
  ASSERT_TRUE(CopyFileW(src.c_str(), copy.c_str(), FALSE));
  SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(PatchFile(copy, 3, "NTFS    ", 8));
  std::vector<FsDumpRow> rows;
  DumpNtfsVolume(copy, 0, rows);  // whatever it finds, it must come back
  CLostNTFSVolume vol(copy.c_str(), 0);
  CFileRecord rec(&vol);
  rec.SetAttrMask(0xFFFF);
  for (uint64_t n = 0; n < 64; ++n)
    if (rec.LoadRecord(n)) rec.LoadAttributes();
  SUCCEED();
}
