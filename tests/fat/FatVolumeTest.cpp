// FAT16 and FAT32 readers over images made by mkfs.fat and mtools
// (tests/fixtures/make-fat.sh), intact and with damage put in by hand.
#include <gtest/gtest.h>

#include <cstring>

#include "common/TestPaths.h"
#include "fat/FatTestUtil.h"

using namespace fattest;

namespace {
const uint64_t kDiskOffset = 1024 * 1024;  // fat16-disk.img: partition at sector 2048

std::wstring Img(const wchar_t* name) { return testpaths::Fixture(name); }

uint32_t FirstCluster32(const FatDirEntry& e) {
  return ((uint32_t)e.firstClusterHigh << 16) | e.firstClusterLow;
}

// FAT1 position of a FAT32 entry in the image file.
uint64_t Fat32EntryPos(const std::wstring& path, uint32_t cluster) {
  BYTE boot[512];
  if (!ReadAt(path, 0, boot, 512)) return 0;
  uint16_t bps = boot[11] | (boot[12] << 8);
  uint16_t reserved = boot[14] | (boot[15] << 8);
  return (uint64_t)reserved * bps + (uint64_t)cluster * 4;
}
uint64_t Fat16EntryPos(const std::wstring& path, uint16_t cluster) {
  BYTE boot[512];
  if (!ReadAt(path, 0, boot, 512)) return 0;
  uint16_t bps = boot[11] | (boot[12] << 8);
  uint16_t reserved = boot[14] | (boot[15] << 8);
  return (uint64_t)reserved * bps + (uint64_t)cluster * 2;
}
void PutFat32(const std::wstring& path, uint32_t cluster, uint32_t value) {
  ASSERT_TRUE(WriteAt(path, Fat32EntryPos(path, cluster), &value, 4));
}
void PutFat16(const std::wstring& path, uint16_t cluster, uint16_t value) {
  ASSERT_TRUE(WriteAt(path, Fat16EntryPos(path, cluster), &value, 2));
}

bool IsContiguous(const ClusterList& l) {
  for (size_t i = 1; i < l.GetCount(); ++i)
    if (l[i] != l[i - 1] + 1) return false;
  return true;
}
}  // namespace

TEST(FatOpen, DetectsEachKindAndRefusesTheOthers) {
  CLostFATVolume fat16;
  ASSERT_TRUE(fat16.OpenPath(Img(L"fat16.img").c_str(), 0));
  EXPECT_EQ(4096u, fat16.GetClusterSize());
  EXPECT_EQ(1u, fat16.GetNumberOfFats());
  CLostFAT32Volume fat32;
  ASSERT_TRUE(fat32.OpenPath(Img(L"fat32.img").c_str(), 0));
  EXPECT_EQ(512u, fat32.GetClusterSize());
  EXPECT_EQ(2u, fat32.GetNumberOfFats());
  EXPECT_EQ(2u, fat32.GetRootCluster());

  CLostFAT32Volume wrong32;
  EXPECT_FALSE(wrong32.OpenPath(Img(L"fat16.img").c_str(), 0));
  EXPECT_EQ(INVALID_HANDLE_VALUE, wrong32.GetHandle());
  CLostFATVolume wrong16;
  EXPECT_FALSE(wrong16.OpenPath(Img(L"fat32.img").c_str(), 0));
  EXPECT_FALSE(wrong16.OpenPath(Img(L"exfat.img").c_str(), 0));
  EXPECT_FALSE(wrong16.OpenPath(Img(L"no-such.img").c_str(), 0));
  // A volume inside a partitioned disk opens at its offset only.
  CLostFATVolume inDisk;
  EXPECT_FALSE(inDisk.OpenPath(Img(L"fat16-disk.img").c_str(), 0));
  ASSERT_TRUE(inDisk.OpenPath(Img(L"fat16-disk.img").c_str(), kDiskOffset));
  EXPECT_EQ(kDiskOffset, inDisk.GetPartitionOffset());
  EXPECT_EQ(2u, inDisk.GetNumberOfFats());
  // A drive letter that is not a letter is refused before anything is opened.
  CFAT32Volume byLetter;
  EXPECT_FALSE(byLetter.Open(L'1'));
}

TEST(FatOpen, NumberOfFatsComesFromTheBootSector) {
  // fat16.img has one FAT: the root directory follows it directly. A reader
  // assuming two FATs would find no volume label and no files there.
  CLostFATVolume vol;
  ASSERT_TRUE(vol.OpenPath(Img(L"fat16.img").c_str(), 0));
  FatDir root;
  ASSERT_TRUE(ReadFat16Root(vol, root));
  ASSERT_GT(root.Count(), 0u);
  EXPECT_EQ(0, memcmp(root.Entries()[0].name, "FAT16ONE", 8));
  int i = FindEntry(vol, root, L"one-cluster.bin");
  ASSERT_GE(i, 0);
  ClusterList16 list;
  ASSERT_TRUE(vol.GetFileClusterList(root.Entries()[i].firstClusterLow, list, 4096));
  std::vector<BYTE> data;
  ASSERT_TRUE(ReadList(vol, list, 4096, data));
  EXPECT_EQ(ExpectedContent("one.bin", 4096), data);
}

TEST(FatOpen, BadBootSectorsAreRefused) {
  std::wstring path = CopyToTemp(Img(L"fat32.img"), L"boot");
  ASSERT_FALSE(path.empty());
  BYTE boot[512];
  ASSERT_TRUE(ReadAt(path, 0, boot, 512));
  struct Patch { int offset; BYTE value; } patches[] = {
      {16, 0},      // no FAT at all
      {13, 3},      // sectors per cluster not a power of two
      {11, 0x01},   // 257-byte sectors
      {510, 0},     // no boot signature
  };
  for (const Patch& p : patches) {
    BYTE b = p.value;
    ASSERT_TRUE(WriteAt(path, p.offset, &b, 1));
    CLostFAT32Volume vol;
    EXPECT_FALSE(vol.OpenPath(path.c_str(), 0)) << "offset " << p.offset;
    ASSERT_TRUE(WriteAt(path, p.offset, boot + p.offset, 1));
  }
  CLostFAT32Volume ok;
  EXPECT_TRUE(ok.OpenPath(path.c_str(), 0));
  ok.Close();
  RemoveTemp(path);
}

TEST(FatEntries, NamesTimesAndContentOfLiveFiles) {
  CLostFAT32Volume vol;
  ASSERT_TRUE(vol.OpenPath(Img(L"fat32.img").c_str(), 0));
  FatDir root;
  ASSERT_TRUE(ReadFat32Dir(vol, vol.GetRootCluster(), root));

  // mtools keeps an all-lower-case 8.3 name as a short entry with case flags.
  int readme = FindEntry(vol, root, L"readme.txt");
  ASSERT_GE(readme, 0);
  EXPECT_EQ(L"", vol.GetLongName(root.Entries(), readme));
  // A name without extension ends in "." as a short name.
  int noext = FindEntry(vol, root, L"NOEXT.");
  ASSERT_GE(noext, 0);
  std::wstring when = vol.FormatDosTime(root.Entries()[noext].writeDate, root.Entries()[noext].writeTime);
  ASSERT_EQ(17u, when.size());
  EXPECT_EQ(L"20", when.substr(0, 2));
  EXPECT_EQ(L"  ", when.substr(10, 2));
  EXPECT_EQ(L"2020-01-01  15:30", vol.FormatDosTime((40 << 9) | (1 << 5) | 1, (15 << 11) | (30 << 5) | 7));

  int folder = FindEntry(vol, root, L"\u00dcn\u00efcode F\u00f6lder");
  ASSERT_GE(folder, 0);
  FatDir sub;
  ASSERT_TRUE(ReadFat32Dir(vol, FirstCluster32(root.Entries()[folder]), sub));
  int uni = FindEntry(vol, sub, L"R\u00e9sum\u00e9 \u2013 na\u00efve caf\u00e9.txt");
  ASSERT_GE(uni, 0);
  const FatDirEntry& e = sub.Entries()[uni];
  EXPECT_EQ(3000u, e.fileSize);
  ClusterList list;
  ASSERT_TRUE(vol.GetFileClusterList(FirstCluster32(e), list, e.fileSize));
  EXPECT_EQ(6u, list.GetCount());
  std::vector<BYTE> data;
  ASSERT_TRUE(ReadList(vol, list, e.fileSize, data));
  EXPECT_EQ(ExpectedContent("uni.txt", 3000), data);
  EXPECT_EQ(100, vol.GetRecoverablePercent(&e));

  // The fragmented file: its chain jumps, and is read back whole.
  int frag = FindEntry(vol, root, L"fragmented large file.bin");
  ASSERT_GE(frag, 0);
  const FatDirEntry& f = root.Entries()[frag];
  ASSERT_TRUE(vol.GetFileClusterList(FirstCluster32(f), list, f.fileSize));
  EXPECT_EQ((f.fileSize + 511) / 512, list.GetCount());
  EXPECT_FALSE(IsContiguous(list));
  ASSERT_TRUE(ReadList(vol, list, f.fileSize, data));
  EXPECT_EQ(ExpectedContent("fragmented.bin", f.fileSize), data);
  EXPECT_EQ(100, vol.GetRecoverablePercent(&f));
}

TEST(FatEntries, DeletedFilesKeepTheirLongNamesAndScoreByFreeClusters) {
  CLostFAT32Volume vol32;
  ASSERT_TRUE(vol32.OpenPath(Img(L"fat32.img").c_str(), 0));
  FatDir root;
  ASSERT_TRUE(ReadFat32Dir(vol32, vol32.GetRootCluster(), root));
  int del = FindEntry(vol32, root, L"deleted file.bin");
  ASSERT_GE(del, 0);
  EXPECT_EQ(kFatDeletedMark, root.Entries()[del].name[0]);
  // All its clusters are free; the high word of a small volume is 0: 99.
  EXPECT_EQ(99, vol32.GetRecoverablePercent(&root.Entries()[del]));
  int fragDel = FindEntry(vol32, root, L"frag deleted.bin");
  ASSERT_GE(fragDel, 0);
  int p = vol32.GetRecoverablePercent(&root.Entries()[fragDel]);
  EXPECT_GT(p, 0);
  EXPECT_LT(p, 99);
  // A deleted 8.3 name shows its lost first letter as "_".
  EXPECT_GE(FindEntry(vol32, root, L"_EL1.BIN"), 0);

  CLostFATVolume vol16;
  ASSERT_TRUE(vol16.OpenPath(Img(L"fat16.img").c_str(), 0));
  FatDir root16;
  ASSERT_TRUE(ReadFat16Root(vol16, root16));
  del = FindEntry(vol16, root16, L"deleted file.bin");
  ASSERT_GE(del, 0);
  EXPECT_EQ(100, vol16.GetRecoverablePercent(&root16.Entries()[del]));
  // Read as one run from its first cluster, the deleted file is intact.
  const FatDirEntry& d = root16.Entries()[del];
  ClusterList16 run;
  for (uint16_t k = 0; k < 2; ++k) run.Add((uint16_t)(d.firstClusterLow + k));
  std::vector<BYTE> data;
  ASSERT_TRUE(ReadList(vol16, run, d.fileSize, data));
  EXPECT_EQ(ExpectedContent("deleted.bin", 7000), data);
}

TEST(FatEntries, LongNameWithForeignChecksumIsNotGlued) {
  std::wstring path = CopyToTemp(Img(L"fat32.img"), L"lfn");
  ASSERT_FALSE(path.empty());
  uint64_t pos = 0;
  BYTE checksum = 0;
  int index = -1;
  {
    CLostFAT32Volume vol;
    ASSERT_TRUE(vol.OpenPath(path.c_str(), 0));
    FatDir root;
    ASSERT_TRUE(ReadFat32Dir(vol, vol.GetRootCluster(), root));
    index = FindEntry(vol, root, L"one-cluster.bin");
    ASSERT_GT(index, 0);
    const FatLongNameEntry& ln = reinterpret_cast<const FatLongNameEntry&>(root.Entries()[index - 1]);
    ASSERT_EQ(kFatAttrLongName, ln.attr);
    checksum = ln.checksum;
    EXPECT_EQ(checksum, fatcommon::ShortNameChecksum(root.Entries()[index].name));
    ClusterList rootList;
    ASSERT_TRUE(vol.GetFileClusterList(vol.GetRootCluster(), rootList, 0));
    size_t at = (size_t)(index - 1) * 32;
    pos = vol.GetDataOffset() + (uint64_t)(rootList[at / 512] - 2) * 512 + at % 512 + 13;
  }
  BYTE other = (BYTE)(checksum ^ 0x5A);
  ASSERT_TRUE(WriteAt(path, pos, &other, 1));
  {
    CLostFAT32Volume vol;
    ASSERT_TRUE(vol.OpenPath(path.c_str(), 0));
    FatDir root;
    ASSERT_TRUE(ReadFat32Dir(vol, vol.GetRootCluster(), root));
    EXPECT_EQ(L"", vol.GetLongName(root.Entries(), index));
    EXPECT_EQ(L"ONE-CL~1.BIN", vol.GetShortName(&root.Entries()[index]));
    EXPECT_LT(FindEntry(vol, root, L"one-cluster.bin"), 0);
  }
  RemoveTemp(path);
}

// Chains of fat32.img's fragmented file with damage put into FAT1.
class Fat32ChainDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = CopyToTemp(Img(L"fat32.img"), L"chain");
    ASSERT_FALSE(path_.empty());
    CLostFAT32Volume vol;
    ASSERT_TRUE(vol.OpenPath(path_.c_str(), 0));
    FatDir root;
    ASSERT_TRUE(ReadFat32Dir(vol, vol.GetRootCluster(), root));
    int i = FindEntry(vol, root, L"fragmented large file.bin");
    ASSERT_GE(i, 0);
    first_ = FirstCluster32(root.Entries()[i]);
    size_ = root.Entries()[i].fileSize;
    ASSERT_TRUE(vol.GetFileClusterList(first_, chain_, size_));
    ASSERT_GE(chain_.GetCount(), 5u);
  }
  void TearDown() override { RemoveTemp(path_); }
  int Walk(uint32_t size, ClusterList& list) {
    CLostFAT32Volume vol;
    if (!vol.OpenPath(path_.c_str(), 0)) return -1;
    return vol.GetFileClusterList(first_, list, size);
  }
  std::wstring path_;
  uint32_t first_ = 0, size_ = 0;
  ClusterList chain_;
};

TEST_F(Fat32ChainDamage, LoopsSelfLinksAndStrayValuesEndTheWalk) {
  ClusterList list;
  // A loop back to the first cluster, with and without a size.
  PutFat32(path_, chain_[4], first_);
  EXPECT_EQ(0, Walk(0, list));
  EXPECT_EQ(0u, list.GetCount());
  EXPECT_EQ(0, Walk(size_, list));
  // A cluster that points to itself.
  PutFat32(path_, chain_[4], chain_[4]);
  EXPECT_EQ(0, Walk(0, list));
  // Past the last cluster of the volume.
  CLostFAT32Volume vol;
  ASSERT_TRUE(vol.OpenPath(path_.c_str(), 0));
  PutFat32(path_, chain_[4], vol.GetMaxCluster() + 1);
  EXPECT_EQ(0, Walk(0, list));
  // Bad-cluster mark and free entry.
  PutFat32(path_, chain_[4], 0x0FFFFFF7);
  EXPECT_EQ(0, Walk(0, list));
  PutFat32(path_, chain_[4], 0);
  EXPECT_EQ(0, Walk(0, list));
  EXPECT_EQ(0u, list.GetCount());
}

TEST_F(Fat32ChainDamage, ReservedTopBitsAreMaskedOff) {
  ClusterList list;
  PutFat32(path_, chain_[1], 0xF0000000u | chain_[2]);
  PutFat32(path_, chain_[chain_.GetCount() - 1], 0xFFFFFFFFu);
  ASSERT_EQ(1, Walk(size_, list));
  ASSERT_EQ(chain_.GetCount(), list.GetCount());
  for (size_t i = 0; i < list.GetCount(); ++i) EXPECT_EQ(chain_[i], list[i]);
}

TEST_F(Fat32ChainDamage, ChainEndingEarlyIsNotTheWholeFile) {
  ClusterList list;
  PutFat32(path_, chain_[2], 0x0FFFFFFF);
  EXPECT_EQ(0, Walk(size_, list));
  EXPECT_EQ(3u, list.GetCount());  // what there was is kept for the caller to see
  // Without a size there is nothing to compare with: the chain is all there is.
  EXPECT_EQ(1, Walk(0, list));
  EXPECT_EQ(3u, list.GetCount());
  // A chain longer than the size allows is refused.
  EXPECT_EQ(0, Walk(512, list));
  EXPECT_EQ(0u, list.GetCount());
}

TEST_F(Fat32ChainDamage, UnreadableFatPageEndsTheWalk) {
  // Cut the image inside FAT1, just after the page that holds the first
  // cluster's entry: the walk stops where the FAT can no longer be read.
  ClusterList big;
  {
    CLostFAT32Volume v;
    ASSERT_TRUE(v.OpenPath(path_.c_str(), 0));
    // The filler file's chain crosses many FAT pages.
    FatDir root;
    ASSERT_TRUE(ReadFat32Dir(v, v.GetRootCluster(), root));
    int i = FindEntry(v, root, L"filler.bin");
    ASSERT_GE(i, 0);
    ASSERT_TRUE(v.GetFileClusterList(FirstCluster32(root.Entries()[i]), big, root.Entries()[i].fileSize));
    ASSERT_GT(big.GetCount(), 4096u);
  }
  uint64_t cut = Fat32EntryPos(path_, big[0]) / 4096 * 4096 + 4096;
  HANDLE h = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)cut;
  ASSERT_TRUE(SetFilePointerEx(h, li, nullptr, FILE_BEGIN) && SetEndOfFile(h));
  CloseHandle(h);
  CLostFAT32Volume v;
  ASSERT_TRUE(v.OpenPath(path_.c_str(), 0));
  ClusterList list;
  EXPECT_EQ(1, v.GetFileClusterList(big[0], list, 0));  // what could be read, kept
  EXPECT_GT(list.GetCount(), 0u);
  EXPECT_LT(list.GetCount(), big.GetCount());
  EXPECT_EQ(0, v.GetFileClusterList(big[0], list, (uint32_t)big.GetCount() * 512));
  std::vector<BYTE> buf(512);
  EXPECT_FALSE(v.ReadCluster(big[0], buf.data(), 512));  // the data area is gone too
}

TEST(Fat16Chain, BadMarkAndLoopEndTheWalk) {
  std::wstring path = CopyToTemp(Img(L"fat16.img"), L"chain16");
  ASSERT_FALSE(path.empty());
  uint16_t first = 0;
  uint32_t size = 0;
  ClusterList16 chain;
  {
    CLostFATVolume vol;
    ASSERT_TRUE(vol.OpenPath(path.c_str(), 0));
    FatDir root;
    ASSERT_TRUE(ReadFat16Root(vol, root));
    int i = FindEntry(vol, root, L"fragmented large file.bin");
    ASSERT_GE(i, 0);
    first = root.Entries()[i].firstClusterLow;
    size = root.Entries()[i].fileSize;
    ASSERT_TRUE(vol.GetFileClusterList(first, chain, size));
    ASSERT_GE(chain.GetCount(), 4u);
  }
  auto walk = [&](uint32_t sz, ClusterList16& l) {
    CLostFATVolume vol;
    EXPECT_TRUE(vol.OpenPath(path.c_str(), 0));
    return vol.GetFileClusterList(first, l, sz);
  };
  ClusterList16 list;
  PutFat16(path, chain[2], 0xFFF7);
  EXPECT_EQ(0, walk(size, list));
  PutFat16(path, chain[2], 0xFFF8);  // any of FFF8..FFFF ends a chain
  EXPECT_EQ(1, walk(0, list));
  EXPECT_EQ(3u, list.GetCount());
  PutFat16(path, chain[2], chain[1]);
  EXPECT_EQ(0, walk(0, list));
  EXPECT_EQ(0u, list.GetCount());
  RemoveTemp(path);
}

TEST(FatWalk, FolderPointingAtItsAncestorIsWalkedOnce) {
  std::wstring path = CopyToTemp(Img(L"fat16.img"), L"loop");
  ASSERT_FALSE(path.empty());
  uint16_t docs = 0;
  uint64_t erPos = 0;
  {
    CLostFATVolume vol;
    ASSERT_TRUE(vol.OpenPath(path.c_str(), 0));
    FatDir root, docsDir, deepDir;
    ASSERT_TRUE(ReadFat16Root(vol, root));
    int d = FindEntry(vol, root, L"docs");
    ASSERT_GE(d, 0);
    docs = root.Entries()[d].firstClusterLow;
    ASSERT_TRUE(ReadFat16Dir(vol, docs, docsDir));
    int deep = FindEntry(vol, docsDir, L"deep");
    ASSERT_GE(deep, 0);
    uint16_t deepCluster = docsDir.Entries()[deep].firstClusterLow;
    ASSERT_TRUE(ReadFat16Dir(vol, deepCluster, deepDir));
    int er = FindEntry(vol, deepDir, L"er");
    ASSERT_GE(er, 0);
    erPos = vol.GetDataOffset() + (uint64_t)(deepCluster - 2) * vol.GetClusterSize() + er * 32 + 26;
  }
  ASSERT_TRUE(WriteAt(path, erPos, &docs, 2));  // docs/deep/er now leads back to docs
  std::vector<FsDumpRow> rows;
  ASSERT_TRUE(DumpFatVolume(path, 0, rows));
  ASSERT_NE(nullptr, FindRow(rows, L"/docs/deep/er"));
  EXPECT_EQ(nullptr, FindRow(rows, L"/docs/deep/er/deep"));
  EXPECT_NE(nullptr, FindRow(rows, L"/readme.txt"));
  EXPECT_LT(rows.size(), 200u);
  RemoveTemp(path);
}
