// Damaged real images: boot sectors, FATs and directory clusters of the
// fixture and corpus images are mutated at random (fixed seed), and every
// mutant is opened and walked. Nothing may crash, hang or run away.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>

#include "common/TestPaths.h"
#include "fat/FatTestUtil.h"

using namespace fattest;

namespace {
enum Kind { kFat16, kFat32, kExFat };

// Walks a mutant's tree through every reader call a listing makes, with a
// bounded amount of work.
struct Walker {
  int dirs = 0, entries = 0;
  std::set<uint32_t> seen;
  bool Spent() const { return dirs > 200 || entries > 20000; }

  // A folder's clusters, when its chain (or run) is short enough to read.
  template <class Vol, class List>
  bool Sub(Vol& vol, const List& list, uint32_t first, int depth, std::vector<BYTE>& out) {
    if (depth > 12 || list.GetCount() == 0 || list.GetCount() > 64 || !seen.insert(first).second)
      return false;
    ++dirs;
    return ReadList(vol, list, list.GetCount(), (uint64_t)list.GetCount() * vol.GetClusterSize(), out);
  }

  template <class Vol, class List>
  void Fat(Vol& vol, const std::vector<BYTE>& dir, bool fat32, int depth) {
    for (size_t i = 0; i < dir.size() / 32 && Entries(dir)[i].name[0] && !Spent(); ++i) {
      const FatDirEntry& e = Entries(dir)[i];
      if (e.attr == kFatAttrLongName) continue;
      ++entries;
      const uint32_t first = e.firstClusterLow | (fat32 ? (uint32_t)e.firstClusterHigh << 16 : 0);
      vol.GetLongName(Entries(dir), i);
      vol.GetShortName(&e);
      vol.FormatDosTime(e.writeDate, e.writeTime);
      vol.GetRecoverablePercent(&e);
      List list;
      vol.GetFileClusterList((typename List::value_type)first, list, e.fileSize);
      std::vector<BYTE> sub(vol.GetClusterSize());
      if (list.GetCount()) vol.ReadCluster(list[0], sub.data(), (DWORD)sub.size());
      if (!(e.attr & kFatAttrDirectory) || e.name[0] == '.' || !vol.IsValidCluster(first)) continue;
      if (!vol.GetFileClusterList((typename List::value_type)first, list, 0))
        list.Add((typename List::value_type)first);
      if (Sub(vol, list, first, depth, sub)) Fat<Vol, List>(vol, sub, fat32, depth + 1);
    }
  }

  void ExFat(CExFATVolume& vol, const std::vector<BYTE>& dir, int depth) {
    for (size_t i = 0; i < dir.size() / 32 && !Spent(); ++i) {
      const BYTE* e = dir.data() + i * 32;
      const int cls = CExFATVolume::GetEntryClass(e);
      if (cls == kExFatEndOfDirectory) break;
      const bool folder = cls == kExFatDirectory || cls == kExFatDeletedDirectory;
      if (!folder && cls != kExFatFile && cls != kExFatDeletedFile) continue;
      ++entries;
      ExFatEntrySet set = {e, (uint32_t)(dir.size() / 32 - i)};
      CExFATVolume::GetEntrySetName(&set, CExFATVolume::GetSecondaryCount(e));
      vol.FormatEntryTime(e, 1);
      vol.GetRecoverablePercent(&set);
      const uint32_t first = CExFATVolume::GetFirstCluster(&set);
      ClusterList list;
      vol.GetFileClusterList(first, list, CExFATVolume::GetValidDataLength(&set),
                             CExFATVolume::GetStreamFlags(&set));
      std::vector<BYTE> sub;
      if (folder && Sub(vol, list, first, depth, sub)) ExFat(vol, sub, depth + 1);
    }
  }
};

void OpenAndWalk(const std::wstring& path, Kind kind) {
  Walker w;
  std::vector<BYTE> root;
  if (kind == kFat32) {
    CLostFAT32Volume vol;
    if (!vol.OpenPath(path.c_str(), 0)) return;
    ClusterList list;
    vol.GetFileClusterList(vol.GetRootCluster(), list, 0);
    if (!list.GetCount()) list.Add(vol.GetRootCluster());
    if (w.Sub(vol, list, vol.GetRootCluster(), 0, root)) w.Fat<CFAT32Volume, ClusterList>(vol, root, true, 0);
  } else if (kind == kFat16) {
    CLostFATVolume vol;
    if (!vol.OpenPath(path.c_str(), 0) || !ReadRoot16(vol, root)) return;
    w.Fat<CFATVolume, ClusterList16>(vol, root, false, 0);
  } else {
    CLostExFATVolume vol;
    ClusterList list;
    if (!vol.OpenPath(path.c_str(), 0) || !vol.GetFileClusterList(vol.GetRootCluster(), list, 0)) return;
    if (w.Sub(vol, list, vol.GetRootCluster(), 0, root)) w.ExFat(vol, root, 0);
  }
}

// Regions worth damaging: the boot sector, the start of FAT1, the root
// directory and the first cluster after it.
std::vector<std::pair<uint64_t, uint32_t>> RegionsOf(const TempImage& img, Kind kind) {
  BYTE b[512] = {};
  img.Get(0, b, 512);
  auto u32 = [&](int at) {
    uint32_t v;
    memcpy(&v, b + at, 4);
    return v;
  };
  const uint32_t bps = kind == kExFat ? 1u << (b[108] & 15) : b[11] | b[12] << 8;
  const uint32_t cb = kind == kExFat ? bps << (b[109] & 15) : bps * b[13];
  const uint64_t fat = kind == kExFat ? (uint64_t)u32(80) * bps : (uint64_t)(b[14] | b[15] << 8) * bps;
  const uint64_t fatBytes = (uint64_t)(kind == kFat32 ? u32(36) : b[22] | b[23] << 8) * bps * b[16];
  const uint64_t root = kind == kExFat   ? (uint64_t)u32(88) * bps + (uint64_t)(u32(96) - 2) * cb
                        : kind == kFat32 ? fat + fatBytes + (uint64_t)(u32(44) - 2) * cb
                                         : fat + fatBytes;
  const uint32_t rootBytes = kind == kFat16 ? (b[17] | b[18] << 8) * 32u : cb;
  return {{0, 512}, {fat, 1024}, {root, kind == kFat16 ? 1024u : cb}, {root + rootBytes, cb}};
}

void MutateAndWalk(const TempImage& img, Kind kind, int iterations, unsigned seed, bool fsdumpToo) {
  ASSERT_FALSE(img.path.empty());
  const auto regions = RegionsOf(img, kind);
  std::mt19937 rng(seed);
  for (int it = 0; it < iterations; ++it) {
    const auto& reg = regions[rng() % regions.size()];
    std::vector<std::pair<uint64_t, BYTE>> saved;
    for (int c = 0, n = 1 + rng() % 6; c < n; ++c) {
      const uint64_t pos = reg.first + rng() % reg.second;
      BYTE old = 0, v = (BYTE)rng();
      ASSERT_TRUE(img.Get(pos, &old, 1));
      switch (rng() % 4) {
        case 0:
          v = (BYTE)(old ^ (1u << (rng() % 8)));
          break;
        case 1:
          v = 0xFF;
          break;
        case 2:
          v = 0x00;
          break;
      }
      saved.push_back({pos, old});
      ASSERT_TRUE(img.Put(pos, &v, 1));
    }
    OpenAndWalk(img.path, kind);
    std::vector<FsDumpRow> rows;
    if (fsdumpToo) DumpFatVolume(img.path, 0, rows);
    for (auto s = saved.rbegin(); s != saved.rend(); ++s) ASSERT_TRUE(img.Put(s->first, &s->second, 1));
  }
}
}  // namespace

// One case per fixture, so that the program's shards share the work.
struct FixtureCase {
  const wchar_t* image;
  Kind kind;
  unsigned seed;
  const char* name;
};

class FatMutationOf : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(FatMutationOf, Fixture) {
  MutateAndWalk(TempImage(testpaths::Fixture(GetParam().image)), GetParam().kind, 700, GetParam().seed, false);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FatMutationOf,
                         ::testing::Values(FixtureCase{L"fat16.img", kFat16, 16, "Fat16"},
                                           FixtureCase{L"fat32.img", kFat32, 32, "Fat32"},
                                           FixtureCase{L"exfat.img", kExFat, 64, "ExFat"}),
                         [](const ::testing::TestParamInfo<FixtureCase>& i) { return std::string(i.param.name); });

// The DFTT undelete image, walked by fsdump's own walker as well.
TEST(FatMutation, UndeleteCorpusImageThroughFsdumpWalk) {
  REQUIRE_CORPUS(L"corpora/disks/dftt/6-undel-fat.zip");
  MutateAndWalk(
      TempImage(testpaths::Shared(L"corpora/disks/dftt/6-undel-fat.zip"), "6-undel-fat/6-fat-undel.dd"),
      kFat16, 500, 6, true);
}
