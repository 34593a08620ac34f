// The FAT readers over public forensic test images (DFTT) and their answer keys.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "common/TestPaths.h"
#include "fat/FatTestUtil.h"

using namespace fattest;

namespace {
std::wstring Dftt(const wchar_t* zip) { return testpaths::Shared(std::wstring(L"corpora/disks/dftt/") + zip); }

// Reads `size` bytes as one run of clusters from `first`, the way a deleted
// file whose chain is gone is recovered.
std::vector<BYTE> ReadRun(CFATVolume& vol, uint16_t first, uint32_t size) {
  ClusterList16 run;
  const uint32_t cb = vol.GetClusterSize();
  for (uint32_t k = 0; k < (size + cb - 1) / cb; ++k) run.Add((uint16_t)(first + k));
  std::vector<BYTE> data;
  ReadList(vol, run, size, data);
  return data;
}
}  // namespace

// 6-undel-fat: deleted files and folders made and deleted by Windows XP.
TEST(FatCorpus, UndeleteImageGivesTheAnswerKeyDigests) {
  std::wstring img = UnzipToTemp(Dftt(L"6-undel-fat.zip"), "6-undel-fat/6-fat-undel.dd");
  ASSERT_FALSE(img.empty());
  std::vector<FsDumpRow> rows;
  ASSERT_TRUE(DumpFatVolume(img, 0, rows));
  CLostFATVolume vol;
  ASSERT_TRUE(vol.OpenPath(img.c_str(), 0));
  EXPECT_EQ(1024u, vol.GetClusterSize());

  struct Key { const wchar_t* path; uint32_t size; const char* md5; } keys[] = {
      // Single cluster and contiguous files: the right digest.
      {L"/_ing.dat", 780, "59b20779f69ff9f0ac5fcd2c38835a79"},
      {L"/_ult1.dat", 3801, "ffd27bd782bdce67750b6b9ee069d2ef"},
      {L"/_ir1/mult2.dat", 1715, "59cf0e9cd107bc1e75afb7374f6e05bb"},
      // Fragmented deleted files: the key's digest of the contiguous assumption.
      {L"/_rag1.dat", 1584, "c4f3b9a0f17d464f4fc61b94ecf6cc21"},
      {L"/_rag2.dat", 3873, "965370acfa85aa7e26ab04bbd45cdcae"},
      {L"/_ir1/dir2/frag3.dat", 2027, "a7a14ac62f79fdea4056ed5e8bcf97ef"},
  };
  for (const Key& k : keys) {
    const FsDumpRow* row = FindRow(rows, k.path);
    ASSERT_NE(nullptr, row) << "missing " << testing::PrintToString(std::wstring(k.path));
    EXPECT_TRUE(row->deleted);
    EXPECT_EQ(k.size, row->size);
    std::vector<BYTE> data = ReadRun(vol, (uint16_t)row->firstCluster, k.size);
    EXPECT_EQ(k.md5, Md5Hex(data)) << testing::PrintToString(std::wstring(k.path));
    // fsdump hashes the same bytes.
    EXPECT_EQ(Sha256Of(data), row->sha256);
  }
  // Both deleted folders are listed, dir2 as inside a deleted folder.
  const FsDumpRow* dir1 = FindRow(rows, L"/_ir1");
  ASSERT_NE(nullptr, dir1);
  EXPECT_TRUE(dir1->deleted);
  const FsDumpRow* dir2 = FindRow(rows, L"/_ir1/dir2");
  ASSERT_NE(nullptr, dir2);
  EXPECT_TRUE(dir2->deleted);

  // Every regular file of the published DFXML listing is there with its size
  // (the restore point's copy of frag3.dat lives in a folder whose cluster
  // dir2 took over; that folder is walked once, as dir2).
  std::string xml = testpaths::ReadWholeFile(Dftt(L"6-fat-undel.dd.xml"));
  ASSERT_FALSE(xml.empty());
  int checked = 0;
  for (size_t pos = 0; (pos = xml.find("<filename>", pos)) != std::string::npos;) {
    size_t end = xml.find("</filename>", pos);
    std::string name = xml.substr(pos + 10, end - pos - 10);
    size_t typePos = xml.find("<name_type>", end);
    size_t sizePos = xml.find("<filesize>", end);
    pos = end;
    if (typePos == std::string::npos || xml.compare(typePos + 11, 1, "r") != 0) continue;
    if (name.find("Volume Label") != std::string::npos || name.find("_P1/") != std::string::npos) continue;
    uint64_t size = strtoull(xml.c_str() + sizePos + 10, nullptr, 10);
    const FsDumpRow* row = FindRow(rows, L"/" + std::wstring(name.begin(), name.end()));
    ASSERT_NE(nullptr, row) << name;
    EXPECT_EQ(size, row->size) << name;
    ++checked;
  }
  EXPECT_EQ(6, checked);
  RemoveTemp(img);
}

// 9-fat-label: volume-label entries that own clusters. The walk skips labels,
// but their chains read back as the key says.
TEST(FatCorpus, LabelEntriesWithClustersReadThroughTheirChains) {
  std::wstring img = UnzipToTemp(Dftt(L"9-fat-label.zip"), "9-fat-label/9-fat-label.dd");
  ASSERT_FALSE(img.empty());
  {
    CLostFATVolume vol;
    ASSERT_TRUE(vol.OpenPath(img.c_str(), 0));
    FatDir root;
    ASSERT_TRUE(ReadFat16Root(vol, root));
    const FatDirEntry* label = nullptr;
    for (size_t i = 0; i < root.Count(); ++i)
      if (root.Entries()[i].attr == kFatAttrVolumeLabel && memcmp(root.Entries()[i].name, "LABEL2", 6) == 0)
        label = &root.Entries()[i];
    ASSERT_NE(nullptr, label);
    ClusterList16 list;
    ASSERT_TRUE(vol.GetFileClusterList(label->firstClusterLow, list, label->fileSize));
    std::vector<BYTE> data;
    ASSERT_TRUE(ReadList(vol, list, label->fileSize, data));
    EXPECT_EQ("8071eeaa52cd372a9bbb093e348e605c", Md5Hex(data));
    EXPECT_EQ(100, vol.GetRecoverablePercent(label));

    int dir1 = FindEntry(vol, root, L"dir1");
    ASSERT_GE(dir1, 0);
    FatDir sub;
    ASSERT_TRUE(ReadFat16Dir(vol, root.Entries()[dir1].firstClusterLow, sub));
    const FatDirEntry* dll = nullptr;
    for (size_t i = 0; i < sub.Count(); ++i)
      if (memcmp(sub.Entries()[i].name, "FILE2   DLL", 11) == 0) dll = &sub.Entries()[i];
    ASSERT_NE(nullptr, dll);
    ASSERT_TRUE(vol.GetFileClusterList(dll->firstClusterLow, list, dll->fileSize));
    ASSERT_TRUE(ReadList(vol, list, dll->fileSize, data));
    EXPECT_EQ("8aeca328aa6fbb7d2ec01f8c2f3e4bbd", Md5Hex(data));
  }
  std::vector<FsDumpRow> rows;
  ASSERT_TRUE(DumpFatVolume(img, 0, rows));
  const FsDumpRow* folder = FindRow(rows, L"/_ew Folder");
  if (!folder) folder = FindRow(rows, L"/New Folder");
  ASSERT_NE(nullptr, folder);
  EXPECT_TRUE(folder->deleted);
  EXPECT_NE(nullptr, FindRow(rows, L"/dir1"));
  RemoveTemp(img);
}

// 5-fat-daylight is FAT12: neither FAT reader takes it.
TEST(FatCorpus, Fat12IsRefused) {
  std::wstring img = UnzipToTemp(Dftt(L"5-fat-daylight.zip"), "5-fat-daylight/daylight.dd");
  ASSERT_FALSE(img.empty());
  CLostFATVolume fat16;
  EXPECT_FALSE(fat16.OpenPath(img.c_str(), 0));
  CLostFAT32Volume fat32;
  EXPECT_FALSE(fat32.OpenPath(img.c_str(), 0));
  std::vector<FsDumpRow> rows;
  EXPECT_FALSE(DumpFatVolume(img, 0, rows));
  RemoveTemp(img);
}
