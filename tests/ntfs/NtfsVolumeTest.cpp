// Opening NTFS volumes: geometry, the lost-partition variant at an offset,
// range checks on the boot sector, and what the $Volume version decides.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <utility>

#include "ntfs/NtfsTestUtil.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"
#include "storage/fs/NTFSVolume.h"

using namespace ntfstest;

namespace {
struct Geometry {
  const wchar_t* image;
  uint64_t offset;
  WORD sector;
  DWORD cluster;
  DWORD record;
};
}  // namespace

TEST(NtfsVolume, GeometryOfEveryFixture) {
  const Geometry all[] = {
      {L"ntfs-4k.img", 0, 512, 4096, 1024},
      {L"ntfs-512.img", 0, 512, 512, 1024},
      {L"ntfs-4kn.img", 0, 4096, 4096, 4096},
      {L"ntfs-disk.img", 1048576, 512, 1024, 1024},
  };
  for (const Geometry& g : all) {
    SCOPED_TRACE(g.image);
    CLostNTFSVolume vol(testpaths::Fixture(g.image).c_str(), g.offset);
    ASSERT_TRUE(vol.IsVolumeOK());
    EXPECT_EQ(g.sector, vol.GetSectorSize());
    EXPECT_EQ(g.cluster, vol.GetClusterSize());
    EXPECT_EQ(g.record, vol.GetFileRecordSize());
    EXPECT_EQ(4096u, vol.GetIndexBlockSize());
    EXPECT_EQ(0x301, vol.GetVersion());
    EXPECT_TRUE(vol.IsNtfs3());
    EXPECT_EQ(g.offset, vol.GetPartitionOffset());
    const Expected* mft = FindExpected(LoadExpected(g.image), L"/$MFT");
    ASSERT_NE(nullptr, mft);
    EXPECT_EQ(mft->size / g.record, vol.GetRecordCount());
  }
}

TEST(NtfsVolume, LostVolumeNeedsItsOffset) {
  std::wstring disk = testpaths::Fixture(L"ntfs-disk.img");
  CLostNTFSVolume atZero(disk.c_str(), 0);  // the MBR, not a volume
  EXPECT_FALSE(atZero.IsVolumeOK());
  EXPECT_EQ(0u, atZero.GetRecordCount());
  CFileRecord none(&atZero);
  EXPECT_FALSE(none.LoadRecord(5));

  CLostNTFSVolume vol(disk.c_str(), 2048 * 512);
  ASSERT_TRUE(vol.IsVolumeOK());
  CFileRecord rec(&vol);
  rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
  const Expected* hello = FindExpected(LoadExpected(L"ntfs-disk.img"), L"/hello.txt");
  ASSERT_NE(nullptr, hello);
  ASSERT_TRUE(rec.LoadRecord(hello->inode));
  ASSERT_TRUE(rec.LoadAttributes());
  const CAttrBase* data = rec.FindDataStream();
  ASSERT_NE(nullptr, data);
  char buf[64] = {};
  DWORD got = 0;
  ASSERT_TRUE(data->ReadData(0, buf, sizeof buf, &got));
  EXPECT_EQ(std::string("inside a partition\n"), std::string(buf, got));

  CLostNTFSVolume missing(L"Z:\\no\\such\\image.img", 0);
  EXPECT_FALSE(missing.IsVolumeOK());
}

TEST(NtfsVolume, BootSectorSizesAndRangeChecks) {
  BYTE boot[512];
  ASSERT_TRUE(ReadFileAt(testpaths::Fixture(L"ntfs-4k.img"), 0, boot, 512));
  CLostNTFSVolume v(nullptr, 0);
  ASSERT_TRUE(v.ParseBootSector(boot));
  EXPECT_EQ(1024u, v.GetFileRecordSize());  // 0xF6: 2^10 bytes

  auto with = [&](int at, std::initializer_list<BYTE> bytes) {
    BYTE b[512];
    memcpy(b, boot, 512);
    int i = 0;
    for (BYTE x : bytes) b[at + i++] = x;
    CLostNTFSVolume t(nullptr, 0);
    bool ok = t.ParseBootSector(b) != FALSE;
    return std::make_pair(ok, t.GetFileRecordSize());
  };
  // A positive count means whole clusters.
  auto one = with(64, {0x01});
  EXPECT_TRUE(one.first);
  EXPECT_EQ(4096u, one.second);
  // Absurd values refuse the volume.
  EXPECT_FALSE(with(3, {'N', 'T', 'F', 'S', ' ', ' ', ' ', 'X'}).first);
  EXPECT_FALSE(with(11, {0x00, 0x00}).first);       // 0 bytes per sector
  EXPECT_FALSE(with(11, {0x00, 0x03}).first);       // 768: not a power of two
  EXPECT_FALSE(with(11, {0x00, 0x20}).first);       // 8192
  EXPECT_FALSE(with(13, {0x00}).first);             // no sectors per cluster
  EXPECT_FALSE(with(13, {0x03}).first);
  EXPECT_FALSE(with(64, {0x20}).first);             // 32 clusters per record: 128 KiB
  EXPECT_FALSE(with(64, {0xE0}).first);             // 2^32-byte records
  EXPECT_FALSE(with(64, {0xF8}).first);             // 256-byte records
  EXPECT_FALSE(with(68, {0x00}).first);             // 1-byte index blocks
  EXPECT_FALSE(with(48, {0, 0, 0, 0, 0, 0, 0, 0}).first);            // MFT at cluster 0
  EXPECT_FALSE(with(48, {0, 0, 0, 0, 0, 0, 0, 0x10}).first);         // MFT past the volume
  EXPECT_FALSE(with(40, {0, 0, 0, 0, 0, 0, 0, 0}).first);            // empty volume
}

namespace {
// Byte position of the $VOLUME_INFORMATION value's version bytes in the image.
uint64_t VersionBytesAt(const std::wstring& image) {
  CLostNTFSVolume vol(image.c_str(), 0);
  CFileRecord rec(&vol);
  rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_VOLUME_INFORMATION));
  if (!rec.LoadRecord(3) || !rec.LoadAttributes()) return 0;
  const CAttrBase* vi = rec.FindFirstAttr(ATTR_TYPE_VOLUME_INFORMATION);
  if (!vi) return 0;
  const ATTR_HEADER_RESIDENT* h = (const ATTR_HEADER_RESIDENT*)vi->GetHeader();
  uint64_t inRecord = (const BYTE*)h - rec.GetBuffer() + h->AttrOffset + 8;
  return vol.GetMFTAddr() + 3ull * vol.GetFileRecordSize() + inRecord;
}
}  // namespace

TEST(NtfsVolume, VersionDecidesWhetherTheMftIsKept) {
  std::wstring copy = CopyImage(L"ntfs-4k.img", L"ntfsver");
  ASSERT_FALSE(copy.empty());
  uint64_t at = VersionBytesAt(copy);
  ASSERT_NE(0u, at);

  const BYTE v12[2] = {1, 2};
  ASSERT_TRUE(PatchFile(copy, at, v12, 2));
  {
    CLostNTFSVolume vol(copy.c_str(), 0);
    ASSERT_TRUE(vol.IsVolumeOK());
    EXPECT_EQ(0x102, vol.GetVersion());
    EXPECT_FALSE(vol.IsNtfs3());
    EXPECT_EQ(nullptr, vol.GetMFTData());
    EXPECT_EQ(0u, vol.GetRecordCount());
    // Records are then read from the MFT start directly.
    CFileRecord rec(&vol);
    EXPECT_TRUE(rec.LoadRecord(64));
  }
  const BYTE v30[2] = {3, 0};
  ASSERT_TRUE(PatchFile(copy, at, v30, 2));
  {
    CLostNTFSVolume vol(copy.c_str(), 0);
    EXPECT_EQ(0x300, vol.GetVersion());
    EXPECT_TRUE(vol.IsNtfs3());
    EXPECT_NE(0u, vol.GetRecordCount());
  }
}

TEST(NtfsVolume, UpCaseTableComesFromTheVolume) {
  CLostNTFSVolume vol(testpaths::Fixture(L"ntfs-512.img").c_str(), 0);
  const WORD* up = vol.GetUpCaseTable();
  ASSERT_NE(nullptr, up);
  EXPECT_EQ(L'A', up[L'a']);
  EXPECT_EQ(L'Z', up[L'Z']);
  EXPECT_EQ(0x00C4, up[0x00E4]);  // ä
  EXPECT_EQ(0x0416, up[0x0436]);  // Cyrillic zhe
}

TEST(NtfsVolume, VolumeNameIsKeptAsUtf16AndAnsi) {
  CLostNTFSVolume vol(testpaths::Fixture(L"ntfs-4k.img").c_str(), 0);
  CFileRecord rec(&vol);
  rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_VOLUME_NAME));
  ASSERT_TRUE(rec.LoadRecord(3));
  ASSERT_TRUE(rec.LoadAttributes());
  const CAttr_VolName* name = (const CAttr_VolName*)rec.FindFirstAttr(ATTR_TYPE_VOLUME_NAME);
  ASSERT_NE(nullptr, name);
  wchar_t w[32];
  EXPECT_EQ(9, name->GetName(w, 32));
  EXPECT_STREQ(L"\u0422\u0435\u0441\u0442 \u0442\u043e\u043c\u0430", w);
  EXPECT_EQ(-9, name->GetName(w, 5));
  char a[32];
  EXPECT_GT(name->GetName(a, 32), 0);
}
