// exFAT reader over an image made by mkfs.exfat and filled through the FUSE
// driver (tests/fixtures/make-fat.sh).
#include <gtest/gtest.h>

#include <cstring>

#include "common/TestPaths.h"
#include "fat/FatTestUtil.h"

using namespace fattest;

namespace {
std::wstring ExImg() { return testpaths::Fixture(L"exfat.img"); }

struct ExRoot {
  CLostExFATVolume vol;
  ExFatDir dir;
  bool Load(const std::wstring& path) {
    return vol.OpenPath(path.c_str(), 0) && ReadExFatDir(vol, vol.GetRootCluster(), 0, 0, dir);
  }
};
}  // namespace

TEST(ExFatOpen, GeometryAndRefusals) {
  CLostExFATVolume vol;
  ASSERT_TRUE(vol.OpenPath(ExImg().c_str(), 0));
  EXPECT_EQ(4096u, vol.GetClusterSize());
  // A volume opened at an offset knows its cluster count too: the walkers
  // check first clusters against it.
  EXPECT_GT(vol.GetClusterCount(), 3000u);
  EXPECT_LT(vol.GetClusterCount(), 4096u);
  CLostExFATVolume notExFat;
  EXPECT_FALSE(notExFat.OpenPath(testpaths::Fixture(L"fat32.img").c_str(), 0));

  std::wstring path = CopyToTemp(ExImg(), L"exboot");
  ASSERT_FALSE(path.empty());
  BYTE boot[512];
  ASSERT_TRUE(ReadAt(path, 0, boot, 512));
  struct Patch { int offset; BYTE value; } patches[] = {
      {108, 8},    // 256-byte sectors
      {108, 13},   // 8 KiB sectors
      {109, 17},   // 512 << 17: a 64 MiB cluster
      {109, 200},  // a shift past the word size
      {110, 2},    // two FATs
      {3, 'X'},    // not "EXFAT   "
  };
  for (const Patch& p : patches) {
    BYTE b = p.value;
    ASSERT_TRUE(WriteAt(path, p.offset, &b, 1));
    CLostExFATVolume v;
    EXPECT_FALSE(v.OpenPath(path.c_str(), 0)) << "offset " << p.offset << " value " << (int)p.value;
    ASSERT_TRUE(WriteAt(path, p.offset, boot + p.offset, 1));
  }
  // The heap offset is a 32-bit sector count: times the sector size it can
  // pass 4 GiB, which must not wrap.
  BYTE farHeap[4] = {0x00, 0x00, 0x80, 0x00};  // 0x00800000 sectors = 4 GiB
  ASSERT_TRUE(WriteAt(path, 88, farHeap, 4));
  {
    CLostExFATVolume v;
    ASSERT_TRUE(v.OpenPath(path.c_str(), 0));
    EXPECT_EQ(0x100000000ull, v.GetClusterHeapOffset());
    BYTE buf[4096];
    EXPECT_FALSE(v.ReadCluster(5, buf, sizeof buf));  // past the end of the image
  }
  RemoveTemp(path);
}

TEST(ExFatEntries, ContiguousFileIsReadFromItsRun) {
  ExRoot r;
  ASSERT_TRUE(r.Load(ExImg()));
  int i = FindExFatSet(r.dir, L"contiguous file.bin");
  ASSERT_GE(i, 0);
  ExFatEntrySet set = SetAt(r.dir, i);
  EXPECT_EQ(kExFatFile, CExFATVolume::GetEntryClass(set.entries));
  EXPECT_EQ(kExFatStream, CExFATVolume::GetEntryClass(set.entries + 32));
  EXPECT_EQ(3, CExFATVolume::GetStreamFlags(&set));
  const uint64_t size = CExFATVolume::GetValidDataLength(&set);
  EXPECT_EQ(4096u * 5 + 77, size);
  const uint32_t first = CExFATVolume::GetFirstCluster(&set);

  // Its FAT entries were never written: as a chain it does not exist.
  ClusterList list;
  EXPECT_EQ(0, r.vol.GetFileClusterList(first, list, size));
  // With its flags it is the run of six clusters.
  ASSERT_EQ(1, r.vol.GetFileClusterList(first, list, size, CExFATVolume::GetStreamFlags(&set)));
  ASSERT_EQ(6u, list.GetCount());
  EXPECT_EQ(first + 5, list[5]);
  std::vector<BYTE> data;
  ASSERT_TRUE(ReadList(r.vol, list, size, data));
  EXPECT_EQ(ExpectedContent("ex-contig", (size_t)size), data);
  EXPECT_EQ(100, r.vol.GetRecoverablePercent(&set));
  // A run that would leave the cluster heap is refused.
  EXPECT_EQ(0, r.vol.GetFileClusterList(r.vol.GetClusterCount(), list, size, 3));
  EXPECT_EQ(0u, list.GetCount());
}

TEST(ExFatEntries, FragmentedFileFollowsItsChain) {
  ExRoot r;
  ASSERT_TRUE(r.Load(ExImg()));
  int i = FindExFatSet(r.dir, L"fragmented large file.bin");
  ASSERT_GE(i, 0);
  ExFatEntrySet set = SetAt(r.dir, i);
  EXPECT_EQ(1, CExFATVolume::GetStreamFlags(&set));
  const uint64_t size = CExFATVolume::GetValidDataLength(&set);
  ClusterList list;
  ASSERT_EQ(1, r.vol.GetFileClusterList(CExFATVolume::GetFirstCluster(&set), list, size));
  bool jumps = false;
  for (size_t k = 1; k < list.GetCount(); ++k) jumps |= list[k] != list[k - 1] + 1;
  EXPECT_TRUE(jumps);
  std::vector<BYTE> data;
  ASSERT_TRUE(ReadList(r.vol, list, size, data));
  EXPECT_EQ(ExpectedContent("ex-frag", (size_t)size), data);
  EXPECT_EQ(100, r.vol.GetRecoverablePercent(&set));
}

TEST(ExFatEntries, NamesTimesAndDeletedSets) {
  ExRoot r;
  ASSERT_TRUE(r.Load(ExImg()));
  // 58 characters: four name entries.
  const std::wstring longName = L"A name long enough to need three name entries in exFAT.txt";
  int i = FindExFatSet(r.dir, longName);
  ASSERT_GE(i, 0);
  ExFatEntrySet set = SetAt(r.dir, i);
  EXPECT_EQ(5, CExFATVolume::GetSecondaryCount(set.entries));
  std::wstring when = r.vol.FormatEntryTime(set.entries, 1);
  ASSERT_EQ(17u, when.size());
  EXPECT_EQ(L"20", when.substr(0, 2));
  EXPECT_EQ(L"1980-01-01  00:00", r.vol.FormatEntryTime(set.entries, 7));
  EXPECT_EQ(L"", r.vol.FormatEntryTime(nullptr, 0));

  // Never read past what the caller holds: cut the set after the first name entry.
  ExFatEntrySet cut = {set.entries, 3};
  EXPECT_EQ(longName.substr(0, 15), CExFATVolume::GetEntrySetName(&cut, 5));
  ExFatEntrySet tiny = {set.entries, 1};
  EXPECT_EQ(0u, CExFATVolume::GetFirstCluster(&tiny));
  EXPECT_EQ(0u, CExFATVolume::GetValidDataLength(&tiny));
  EXPECT_EQ(0, r.vol.GetRecoverablePercent(&tiny));
  EXPECT_EQ(0, r.vol.GetRecoverablePercent(nullptr));

  int d = FindExFatSet(r.dir, L"deleted contiguous.bin");
  ASSERT_GE(d, 0);
  ExFatEntrySet del = SetAt(r.dir, d);
  EXPECT_EQ(kExFatDeletedFile, CExFATVolume::GetEntryClass(del.entries));
  EXPECT_EQ(kExFatDeletedStream, CExFATVolume::GetEntryClass(del.entries + 32));
  EXPECT_EQ(kExFatDeletedFileName, CExFATVolume::GetEntryClass(del.entries + 64));
  EXPECT_EQ(100, r.vol.GetRecoverablePercent(&del));
  int t = FindExFatSet(r.dir, L"deleted tree");
  ASSERT_GE(t, 0);
  EXPECT_EQ(kExFatDeletedDirectory, CExFATVolume::GetEntryClass(r.dir.bytes.data() + t * 32));
  EXPECT_EQ(kExFatVolumeLabel, CExFATVolume::GetEntryClass(r.dir.bytes.data()));
  EXPECT_EQ(kExFatBitmap, CExFATVolume::GetEntryClass(r.dir.bytes.data() + 32));
  EXPECT_EQ(kExFatUpcase, CExFATVolume::GetEntryClass(r.dir.bytes.data() + 64));
}

TEST(ExFatChain, LoopAndBadMarksEndTheWalk) {
  std::wstring path = CopyToTemp(ExImg(), L"exchain");
  ASSERT_FALSE(path.empty());
  uint32_t first = 0;
  uint64_t size = 0, fatOffset = 0;
  ClusterList chain;
  {
    ExRoot r;
    ASSERT_TRUE(r.Load(path));
    int i = FindExFatSet(r.dir, L"fragmented large file.bin");
    ASSERT_GE(i, 0);
    ExFatEntrySet set = SetAt(r.dir, i);
    first = CExFATVolume::GetFirstCluster(&set);
    size = CExFATVolume::GetValidDataLength(&set);
    ASSERT_TRUE(r.vol.GetFileClusterList(first, chain, size));
    ASSERT_GE(chain.GetCount(), 3u);
    BYTE boot[512];
    ASSERT_TRUE(ReadAt(path, 0, boot, 512));
    uint32_t fatSector;
    memcpy(&fatSector, boot + 80, 4);
    fatOffset = (uint64_t)fatSector << boot[108];
  }
  auto put = [&](uint32_t cluster, uint32_t value) {
    ASSERT_TRUE(WriteAt(path, fatOffset + (uint64_t)cluster * 4, &value, 4));
  };
  auto walk = [&](uint64_t sz, ClusterList& l) {
    CLostExFATVolume v;
    EXPECT_TRUE(v.OpenPath(path.c_str(), 0));
    return v.GetFileClusterList(first, l, sz);
  };
  ClusterList list;
  put(chain[2], first);  // back to the start
  EXPECT_EQ(0, walk(0, list));
  EXPECT_EQ(0u, list.GetCount());
  put(chain[2], 0xFFFFFFF7);
  EXPECT_EQ(0, walk(0, list));
  put(chain[2], 0xFFFFFFFA);
  EXPECT_EQ(0, walk(0, list));
  put(chain[2], 0xFFFFFFFF);
  EXPECT_EQ(1, walk(0, list));
  EXPECT_EQ(3u, list.GetCount());
  EXPECT_EQ(0, walk(size, list));  // ends before the size is covered
  RemoveTemp(path);
}
