// The FAT readers over public forensic test images (DFTT) and their answer keys.
#include <gtest/gtest.h>

#include <cstring>

#include "common/TestPaths.h"
#include "fat/FatTestUtil.h"

using namespace fattest;

namespace {
std::wstring Dftt(const wchar_t* zip) {
  return testpaths::Shared(std::wstring(L"corpora/disks/dftt/") + zip);
}

// `size` bytes from `first`: as one run (a deleted file's chain is gone),
// else through the chain.
std::vector<BYTE> Read(CFATVolume& vol, uint16_t first, uint32_t size, bool run) {
  ClusterList16 list;
  if (!run) vol.GetFileClusterList(first, list, size);
  for (uint32_t k = 0; run && k < (size + vol.GetClusterSize() - 1) / vol.GetClusterSize(); ++k)
    list.Add((uint16_t)(first + k));
  std::vector<BYTE> data;
  if (!ReadList(vol, list, list.GetCount(), size, data)) data.clear();
  return data;
}
}  // namespace

// 6-undel-fat: deleted files and folders made and deleted by Windows XP.
TEST(FatCorpus, UndeleteImageGivesTheAnswerKeyDigests) {
  REQUIRE_CORPUS(L"corpora/disks/dftt");
  TempImage img(Dftt(L"6-undel-fat.zip"), "6-undel-fat/6-fat-undel.dd");
  ASSERT_FALSE(img.path.empty());
  std::vector<FsDumpRow> rows;
  ASSERT_TRUE(DumpFatVolume(img.path, 0, rows));
  CLostFATVolume vol;
  ASSERT_TRUE(vol.OpenPath(img.path.c_str(), 0));
  struct Key {
    const wchar_t* path;
    uint32_t size;
    const char* md5;
  } keys[] = {
      // Single cluster and contiguous files: the right digest.
      {L"/_ing.dat", 780, "59b20779f69ff9f0ac5fcd2c38835a79"},
      {L"/_ult1.dat", 3801, "ffd27bd782bdce67750b6b9ee069d2ef"},
      {L"/_ir1/mult2.dat", 1715, "59cf0e9cd107bc1e75afb7374f6e05bb"},
      // Fragmented deleted files: the key's digest of the contiguous assumption.
      {L"/_rag1.dat", 1584, "c4f3b9a0f17d464f4fc61b94ecf6cc21"},
      {L"/_rag2.dat", 3873, "965370acfa85aa7e26ab04bbd45cdcae"},
      {L"/_ir1/dir2/frag3.dat", 2027, "a7a14ac62f79fdea4056ed5e8bcf97ef"},
      {L"/_ir1", 0, nullptr},  // both deleted folders, dir2 as inside a deleted one
      {L"/_ir1/dir2", 0, nullptr},
  };
  for (const Key& k : keys) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(k.path)));
    const FsDumpRow* row = FindRow(rows, k.path);
    ASSERT_NE(nullptr, row);
    EXPECT_TRUE(row->deleted);
    if (!k.md5) continue;
    EXPECT_EQ(k.size, row->size);
    std::vector<BYTE> data = Read(vol, (uint16_t)row->firstCluster, k.size, true);
    EXPECT_EQ(k.md5, Md5Hex(data));
    EXPECT_EQ(Sha256Hex(data.data(), data.size()), row->sha256);  // fsdump hashes the same bytes
  }
}

// 9-fat-label: volume-label entries that own clusters; their chains read
// back as the key says. (dir1 shares its cluster with a deleted folder.)
TEST(FatCorpus, LabelEntriesWithClustersReadThroughTheirChains) {
  REQUIRE_CORPUS(L"corpora/disks/dftt");
  TempImage img(Dftt(L"9-fat-label.zip"), "9-fat-label/9-fat-label.dd");
  CLostFATVolume vol;
  ASSERT_TRUE(vol.OpenPath(img.path.c_str(), 0));
  std::vector<BYTE> dir, sub;
  ASSERT_TRUE(ReadRoot16(vol, dir));
  const FatDirEntry *label = nullptr, *dll = nullptr;
  for (size_t i = 0; i < dir.size() / 32; ++i)
    if (Entries(dir)[i].attr == kFatAttrVolumeLabel && !memcmp(Entries(dir)[i].name, "LABEL2", 6))
      label = &Entries(dir)[i];
  ASSERT_NE(nullptr, label);
  EXPECT_EQ("8071eeaa52cd372a9bbb093e348e605c",
            Md5Hex(Read(vol, label->firstClusterLow, label->fileSize, false)));
  EXPECT_EQ(100, vol.GetRecoverablePercent(label));
  int dir1 = FindEntry(vol, dir, L"dir1");
  ASSERT_GE(dir1, 0);
  ASSERT_TRUE((ReadDir<CFATVolume, ClusterList16>(vol, Entries(dir)[dir1].firstClusterLow, sub)));
  for (size_t i = 0; i < sub.size() / 32; ++i)
    if (!memcmp(Entries(sub)[i].name, "FILE2   DLL", 11)) dll = &Entries(sub)[i];
  ASSERT_NE(nullptr, dll);
  EXPECT_EQ("8aeca328aa6fbb7d2ec01f8c2f3e4bbd",
            Md5Hex(Read(vol, dll->firstClusterLow, dll->fileSize, false)));
}

// 5-fat-daylight is FAT12: neither FAT reader takes it.
TEST(FatCorpus, Fat12IsRefused) {
  REQUIRE_CORPUS(L"corpora/disks/dftt");
  TempImage img(Dftt(L"5-fat-daylight.zip"), "5-fat-daylight/daylight.dd");
  ASSERT_FALSE(img.path.empty());
  CLostFATVolume fat16;
  CLostFAT32Volume fat32;
  std::vector<FsDumpRow> rows;
  EXPECT_FALSE(fat16.OpenPath(img.path.c_str(), 0) || fat32.OpenPath(img.path.c_str(), 0) ||
               DumpFatVolume(img.path, 0, rows));
}
