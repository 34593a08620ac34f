// The fsdump rows of every NTFS fixture against what The Sleuth Kit read from
// the same image when it was made (names, paths, deleted flags, sizes and
// content hashes, live and deleted).
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "ntfs/NtfsTestUtil.h"
#include "tools/fsdump/FsDump.h"

using namespace ntfstest;

namespace {
void CompareWithRecorded(const wchar_t* image, uint64_t offset) {
  SCOPED_TRACE(image);
  std::vector<Expected> exp = LoadExpected(image);
  ASSERT_FALSE(exp.empty());
  std::vector<FsDumpRow> rows;
  ASSERT_TRUE(DumpNtfsVolume(testpaths::Fixture(image), offset, rows));
  std::map<uint64_t, const FsDumpRow*> byRecord;
  for (const FsDumpRow& r : rows) {
    EXPECT_EQ(0u, byRecord.count(r.firstCluster)) << "record listed twice: " << r.firstCluster;
    byRecord[r.firstCluster] = &r;
  }
  std::map<uint64_t, std::vector<const Expected*>> byInode;
  for (const Expected& e : exp) byInode[e.inode].push_back(&e);
  int hashes = 0, deleted = 0;
  for (const auto& kv : byInode) {
    const std::vector<const Expected*>& names = kv.second;
    auto it = byRecord.find(kv.first);
    if (it == byRecord.end()) {
      // Records without any name (listed as OrphanFile-N) are not ours to list.
      EXPECT_EQ(L"/$OrphanFiles/OrphanFile-" + std::to_wstring(kv.first), names[0]->path);
      continue;
    }
    const FsDumpRow& row = *it->second;
    bool pathKnown = false;
    for (const Expected* e : names) pathKnown |= e->path == row.path;
    EXPECT_TRUE(pathKnown) << "record " << kv.first;
    EXPECT_EQ(names[0]->deleted, row.deleted) << "record " << kv.first;
    deleted += row.deleted;
    for (const Expected* e : names) {
      if (e->type.size() != 3 || e->type[2] != 'r') continue;
      EXPECT_EQ(e->size, row.size) << "record " << kv.first;
      if (e->sha256 != "-") {
        EXPECT_EQ(e->sha256, row.sha256) << "record " << kv.first;
        ++hashes;
      }
      break;
    }
  }
  for (const FsDumpRow& r : rows) EXPECT_EQ(1u, byInode.count(r.firstCluster)) << "extra " << r.firstCluster;
  EXPECT_GT(hashes, 10);
  EXPECT_GT(deleted, 0);
}
}  // namespace

TEST(NtfsDump, FourKiBClusters) { CompareWithRecorded(L"ntfs-4k.img", 0); }
TEST(NtfsDump, SmallClustersWithAttributeList) { CompareWithRecorded(L"ntfs-512.img", 0); }
TEST(NtfsDump, FourKiBSectorsAndRecords) { CompareWithRecorded(L"ntfs-4kn.img", 0); }
TEST(NtfsDump, PartitionInsideADisk) { CompareWithRecorded(L"ntfs-disk.img", 1048576); }

TEST(NtfsDump, DeletedFolderKeepsItsTree) {
  std::vector<FsDumpRow> rows;
  ASSERT_TRUE(DumpNtfsVolume(testpaths::Fixture(L"ntfs-512.img"), 0, rows));
  int inTrash = 0;
  for (const FsDumpRow& r : rows) {
    if (r.path.rfind(L"/trash", 0) == 0) {
      EXPECT_TRUE(r.deleted) << r.path.c_str();
      ++inTrash;
    }
  }
  EXPECT_EQ(5, inTrash);  // trash, trash/sub and three files
}

TEST(NtfsDump, OtherThingsAreNotNtfs) {
  std::vector<FsDumpRow> rows;
  EXPECT_FALSE(DumpNtfsVolume(testpaths::Fixture(L"ntfs-disk.img"), 0, rows));
  EXPECT_FALSE(DumpNtfsVolume(testpaths::Fixture(L"no-such-image.img"), 0, rows));
  EXPECT_TRUE(rows.empty());
}
