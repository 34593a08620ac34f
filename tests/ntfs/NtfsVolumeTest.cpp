// Opening NTFS volumes: geometry, the lost-partition variant at an offset,
// and range checks on the boot sector.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ntfs/NtfsTestUtil.h"
#include "tools/fsdump/FsDump.h"

using namespace ntfstest;

TEST(NtfsVolume, GeometryOfEveryFixtureAndNothingElse) {
  const struct {
    const wchar_t* image;
    uint64_t offset;
    WORD sector;
    DWORD cluster, record;
  } all[] = {
      {L"ntfs-4k.img", 0, 512, 4096, 1024},
      {L"ntfs-512.img", 0, 512, 512, 1024},
      {L"ntfs-4kn.img", 0, 4096, 4096, 4096},
      {L"ntfs-disk.img", 1048576, 512, 1024, 1024},
  };
  for (const auto& g : all) {
    SCOPED_TRACE(g.image);
    Image f(g.image, L"", g.offset);
    ASSERT_TRUE(f.vol.IsVolumeOK());
    EXPECT_EQ(g.sector, f.vol.GetSectorSize());
    EXPECT_EQ(g.cluster, f.vol.GetClusterSize());
    EXPECT_EQ(g.record, f.vol.GetFileRecordSize());
    EXPECT_EQ(4096u, f.vol.GetIndexBlockSize());
    EXPECT_EQ(0x301, f.vol.GetVersion());
    EXPECT_TRUE(f.vol.IsNtfs3());
    EXPECT_EQ(g.offset, f.vol.GetPartitionOffset());
    EXPECT_EQ(f.Find(L"/$MFT").size / g.record, f.vol.GetRecordCount());
  }
  // The disk's MBR and a missing file are no volume.
  CLostNTFSVolume mbr(testpaths::Fixture(L"ntfs-disk.img").c_str(), 0);
  EXPECT_FALSE(mbr.IsVolumeOK());
  EXPECT_EQ(0u, mbr.GetRecordCount());
  CFileRecord none(&mbr);
  EXPECT_FALSE(none.LoadRecord(5));
  EXPECT_FALSE(CLostNTFSVolume(L"Z:\\no\\such\\image.img", 0).IsVolumeOK());
  std::vector<FsDumpRow> rows;
  EXPECT_FALSE(DumpNtfsVolume(testpaths::Fixture(L"ntfs-disk.img"), 0, rows));
  EXPECT_TRUE(rows.empty());
}

TEST(NtfsVolume, BootSectorSizesAndRangeChecks) {
  BYTE boot[512];
  ASSERT_TRUE(FileIo(testpaths::Fixture(L"ntfs-4k.img"), 0, boot, 512, false));
  const struct {
    int at;
    std::vector<BYTE> bytes;
    DWORD record;  // 0: the boot sector is refused
  } cases[] = {
      {64, {0xF6}, 1024},                      // negative: 2^10 bytes
      {64, {0x01}, 4096},                      // positive: whole clusters
      {3, {'N', 'T', 'F', 'S', ' ', ' ', ' ', 'X'}, 0},
      {11, {0x00, 0x00}, 0},                   // 0 bytes per sector
      {11, {0x00, 0x03}, 0},                   // 768: not a power of two
      {11, {0x00, 0x20}, 0},                   // 8192
      {13, {0x00}, 0},                         // no sectors per cluster
      {13, {0x03}, 0},
      {64, {0x20}, 0},                         // 32 clusters: 128 KiB records
      {64, {0xE0}, 0},                         // 2^32-byte records
      {64, {0xF8}, 0},                         // 256-byte records
      {68, {0x00}, 0},                         // no index block size
      {48, {0, 0, 0, 0, 0, 0, 0, 0}, 0},       // MFT at cluster 0
      {48, {0, 0, 0, 0, 0, 0, 0, 0x10}, 0},    // MFT past the volume
      {40, {0, 0, 0, 0, 0, 0, 0, 0}, 0},       // empty volume
  };
  for (const auto& c : cases) {
    BYTE b[512];
    memcpy(b, boot, 512);
    memcpy(b + c.at, c.bytes.data(), c.bytes.size());
    CLostNTFSVolume v(nullptr, 0);
    EXPECT_EQ(c.record != 0, !!v.ParseBootSector(b)) << "byte " << c.at;
    if (c.record) {
      EXPECT_EQ(c.record, v.GetFileRecordSize());
    }
  }
}
