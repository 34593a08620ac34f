// Recoverability of deleted files from the $Bitmap of real images, with known
// bitmap bytes patched into a copy for the byte-edge rules.
#include <gtest/gtest.h>

#include "ntfs/NtfsTestUtil.h"
#include "storage/fs/NTFSRecoverability.h"

using namespace ntfstest;

TEST(NtfsRecoverability, DeletedFilesWithFreeClustersAreWhole) {
  Image f(L"ntfs-4k.img");
  const std::pair<const wchar_t*, int> files[] = {
      {L"/gone.bin", 100}, {L"/trash/sub/c.bin", 100}, {L"/big.bin", 0}, {L"/fragmented.bin", 0}};
  for (const auto& file : files) {
    CFileRecord rec(&f.vol);
    ASSERT_TRUE(Load(rec, f.Inode(file.first), NtfsAttrMask(ATTR_TYPE_DATA)));
    const CAttrBase* data = rec.FindDataStream();
    ASSERT_TRUE(data && data->IsNonResident());
    EXPECT_EQ(file.second, EstimateNtfsRecoverability(&f.vol, static_cast<const CAttrNonResident*>(data)));
  }
  EXPECT_EQ(0, EstimateNtfsRecoverability(&f.vol, nullptr));
  EXPECT_EQ(100, GetFreeClusterPercent(&f.vol, ~0ull, 5));  // sparse: nothing to lose
  EXPECT_EQ(0, GetFreeClusterPercent(&f.vol, f.vol.GetTotalClusters() + 64, 8));
  // A huge cluster count read off a damaged disk is clipped to the bitmap.
  int huge = GetFreeClusterPercent(&f.vol, 8000, 1ull << 40);
  EXPECT_TRUE(huge >= 0 && huge <= 1) << huge;
}

TEST(NtfsRecoverability, RunsAreMaskedToTheirOwnBits) {
  std::wstring copy = CopyImage(L"ntfs-4k.img", L"ntfsbitmap");
  uint64_t bitmapAt = 0;
  {
    CLostNTFSVolume vol(copy.c_str(), 0);
    CFileRecord rec(&vol);
    ASSERT_TRUE(Load(rec, 6, NtfsAttrMask(ATTR_TYPE_DATA)));
    ASSERT_EQ(1024u, rec.FindDataStream()->GetDataSize());  // 8192 clusters, in one run
    bitmapAt = FirstLcn(rec.FindDataStream()) * (uint64_t)vol.GetClusterSize();
  }
  // Bitmap bytes 1000 and 1001 describe clusters 8000 to 8015.
  const struct {
    BYTE b0, b1;
    uint64_t lcn, count;
    int percent;
  } cases[] = {
      {0x00, 0x00, 8000, 16, 100}, {0x01, 0x00, 8000, 16, 50}, {0x01, 0x80, 8000, 16, 0},
      {0x1F, 0xFF, 8005, 3, 100},  {0x20, 0x00, 8005, 3, 0},   {0x80, 0x00, 8005, 3, 0},   // bits 5-7
      {0x3F, 0x00, 8006, 10, 100}, {0x40, 0x00, 8006, 10, 50}, {0x3F, 0x01, 8006, 10, 50}, // 6-7, 8-15
      {0x00, 0xF0, 8000, 12, 100}, {0x00, 0x08, 8000, 12, 50},                             // 0-11
  };
  for (const auto& c : cases) {
    BYTE bytes[2] = {c.b0, c.b1};
    ASSERT_TRUE(FileIo(copy, bitmapAt + 1000, bytes, 2, true));
    CLostNTFSVolume vol(copy.c_str(), 0);
    EXPECT_EQ(c.percent, GetFreeClusterPercent(&vol, c.lcn, c.count)) << c.lcn << "+" << c.count;
  }
}
