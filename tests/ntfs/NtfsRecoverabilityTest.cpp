// Recoverability of deleted files from the $Bitmap of real images, with known
// bitmap bytes patched into a copy for the byte-edge rules.
#include <gtest/gtest.h>

#include <vector>

#include "ntfs/NtfsTestUtil.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"
#include "storage/fs/NTFSRecoverability.h"
#include "storage/fs/NTFSVolume.h"

using namespace ntfstest;

namespace {
int Estimate(CNTFSVolume& vol, uint64_t record) {
  CFileRecord rec(&vol);
  rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
  if (!rec.LoadRecord(record) || !rec.LoadAttributes()) return -1;
  const CAttrBase* data = rec.FindDataStream();
  if (!data || !data->IsNonResident()) return -2;
  return EstimateNtfsRecoverability(&vol, static_cast<const CAttrNonResident*>(data));
}
}  // namespace

TEST(NtfsRecoverability, DeletedFilesWithFreeClustersAreWhole) {
  std::vector<Expected> exp = LoadExpected(L"ntfs-4k.img");
  CLostNTFSVolume vol(testpaths::Fixture(L"ntfs-4k.img").c_str(), 0);
  EXPECT_EQ(100, Estimate(vol, FindExpected(exp, L"/gone.bin")->inode));
  EXPECT_EQ(100, Estimate(vol, FindExpected(exp, L"/trash/a.bin")->inode));
  EXPECT_EQ(100, Estimate(vol, FindExpected(exp, L"/trash/sub/c.bin")->inode));
  // Live files own their clusters.
  EXPECT_EQ(0, Estimate(vol, FindExpected(exp, L"/big.bin")->inode));
  EXPECT_EQ(0, Estimate(vol, FindExpected(exp, L"/fragmented.bin")->inode));
  EXPECT_EQ(0, EstimateNtfsRecoverability(&vol, nullptr));
  // Sparse runs hold nothing that could be lost.
  EXPECT_EQ(100, GetFreeClusterPercent(&vol, ~0ull, 5));
  // A run that starts past the volume cannot be read back at all.
  EXPECT_EQ(0, GetFreeClusterPercent(&vol, vol.GetTotalClusters() + 64, 8));
  // A huge cluster count read off a damaged disk is clipped to the bitmap.
  int huge = GetFreeClusterPercent(&vol, 8000, 1ull << 40);
  EXPECT_GE(huge, 0);
  EXPECT_LE(huge, 1);
}

TEST(NtfsRecoverability, RunsAreMaskedToTheirOwnBits) {
  std::wstring copy = CopyImage(L"ntfs-4k.img", L"ntfsbitmap");
  ASSERT_FALSE(copy.empty());
  uint64_t bitmapAt = 0;
  {
    CLostNTFSVolume vol(copy.c_str(), 0);
    CFileRecord rec(&vol);
    rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
    ASSERT_TRUE(rec.LoadRecord(6));
    ASSERT_TRUE(rec.LoadAttributes());
    const CAttrNonResident* bm = (const CAttrNonResident*)rec.FindDataStream();
    ASSERT_NE(nullptr, bm);
    ASSERT_EQ(1024u, bm->GetDataSize());  // 8192 clusters
    ASSERT_EQ(1, bm->GetDataRunList().GetCount());
    bitmapAt = bm->GetDataRunList().FindIf([](tagDataRun_Entry*) { return true; })->lcn * (uint64_t)vol.GetClusterSize();
  }
  // Bitmap bytes 1000 and 1001 describe clusters 8000 to 8015.
  auto check = [&](BYTE b0, BYTE b1, uint64_t lcn, uint64_t count) {
    BYTE bytes[2] = {b0, b1};
    EXPECT_TRUE(PatchFile(copy, bitmapAt + 1000, bytes, 2));
    CLostNTFSVolume vol(copy.c_str(), 0);
    return GetFreeClusterPercent(&vol, lcn, count);
  };
  EXPECT_EQ(100, check(0x00, 0x00, 8000, 16));
  EXPECT_EQ(50, check(0x01, 0x00, 8000, 16));
  EXPECT_EQ(0, check(0x01, 0x80, 8000, 16));
  // 3 clusters from 8005: bits 5, 6 and 7 of one byte.
  EXPECT_EQ(100, check(0x1F, 0xFF, 8005, 3));
  EXPECT_EQ(0, check(0x20, 0x00, 8005, 3));
  EXPECT_EQ(0, check(0x80, 0x00, 8005, 3));
  // 10 clusters from 8006: bits 6 and 7 of the first byte, all of the second.
  EXPECT_EQ(100, check(0x3F, 0x00, 8006, 10));
  EXPECT_EQ(50, check(0x40, 0x00, 8006, 10));
  EXPECT_EQ(50, check(0x3F, 0x01, 8006, 10));
  // 12 clusters from 8000: a whole byte and the low 4 bits of the next.
  EXPECT_EQ(100, check(0x00, 0xF0, 8000, 12));
  EXPECT_EQ(50, check(0x00, 0x08, 8000, 12));
}
