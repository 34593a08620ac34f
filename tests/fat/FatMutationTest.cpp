// Damaged real images: boot sectors, FATs and directory clusters of the
// fixture and corpus images are mutated at random (fixed seed), and every
// mutant is opened and walked. Nothing may crash, hang or run away.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <set>

#include "common/TestPaths.h"
#include "fat/FatTestUtil.h"

using namespace fattest;

namespace {

struct Region {
  uint64_t offset;
  uint32_t length;
};

// Work a walk may do on one mutant.
struct Budget {
  int dirs = 0;
  int entries = 0;
  bool Spent() const { return dirs > 200 || entries > 20000; }
};

template <class Vol, class List>
void TouchFatEntry(Vol& vol, const FatDirEntry* entries, size_t i, uint32_t first) {
  const FatDirEntry& e = entries[i];
  vol.GetLongName(entries, i);
  vol.GetShortName(&e);
  vol.FormatDosTime(e.writeDate, e.writeTime);
  vol.GetRecoverablePercent(&e);
  List list;
  vol.GetFileClusterList((typename List::value_type)first, list, e.fileSize);
  std::vector<BYTE> buf(vol.GetClusterSize());
  if (list.GetCount()) vol.ReadCluster(list[0], buf.data(), (DWORD)buf.size());
}

template <class Vol, class List>
void WalkFat(Vol& vol, const std::vector<BYTE>& dir, bool fat32, int depth, std::set<uint32_t>& seen,
             Budget& budget) {
  const FatDirEntry* entries = reinterpret_cast<const FatDirEntry*>(dir.data());
  for (size_t i = 0; i < dir.size() / 32 && !budget.Spent(); ++i) {
    const FatDirEntry& e = entries[i];
    if (e.name[0] == 0) break;
    if (e.attr == kFatAttrLongName) continue;
    ++budget.entries;
    uint32_t first = e.firstClusterLow | (fat32 ? (uint32_t)e.firstClusterHigh << 16 : 0);
    TouchFatEntry<Vol, List>(vol, entries, i, first);
    if (!(e.attr & kFatAttrDirectory) || e.name[0] == '.' || depth > 12) continue;
    if (!vol.IsValidCluster(first) || !seen.insert(first).second) continue;
    ++budget.dirs;
    List list;
    std::vector<BYTE> sub;
    if (!vol.GetFileClusterList((typename List::value_type)first, list, 0)) list.Add((typename List::value_type)first);
    if (list.GetCount() > 64) continue;
    if (ReadList(vol, list, (uint64_t)list.GetCount() * vol.GetClusterSize(), sub))
      WalkFat<Vol, List>(vol, sub, fat32, depth + 1, seen, budget);
  }
}

void WalkExFat(CExFATVolume& vol, const std::vector<BYTE>& dir, int depth, std::set<uint32_t>& seen,
               Budget& budget) {
  const size_t count = dir.size() / 32;
  for (size_t i = 0; i < count && !budget.Spent(); ++i) {
    const BYTE* e = dir.data() + i * 32;
    int cls = CExFATVolume::GetEntryClass(e);
    if (cls == kExFatEndOfDirectory) break;
    if (cls != kExFatFile && cls != kExFatDirectory && cls != kExFatDeletedFile &&
        cls != kExFatDeletedDirectory)
      continue;
    ++budget.entries;
    ExFatEntrySet set = {e, (uint32_t)(count - i)};
    int sc = CExFATVolume::GetSecondaryCount(e);
    CExFATVolume::GetEntrySetName(&set, sc);
    vol.FormatEntryTime(e, 1);
    vol.GetRecoverablePercent(&set);
    const uint32_t first = CExFATVolume::GetFirstCluster(&set);
    const uint64_t length = CExFATVolume::GetValidDataLength(&set);
    const BYTE flags = CExFATVolume::GetStreamFlags(&set);
    ClusterList list;
    vol.GetFileClusterList(first, list, length, flags);
    if ((cls != kExFatDirectory && cls != kExFatDeletedDirectory) || depth > 12) continue;
    if (list.GetCount() == 0 || list.GetCount() > 64 || !seen.insert(first).second) continue;
    ++budget.dirs;
    std::vector<BYTE> sub;
    if (ReadList(vol, list, (uint64_t)list.GetCount() * vol.GetClusterSize(), sub))
      WalkExFat(vol, sub, depth + 1, seen, budget);
  }
}

// Opens the (mutated) image the way its kind is opened, and walks it.
enum Kind { kFat16, kFat32, kExFat };

void OpenAndWalk(const std::wstring& path, Kind kind) {
  Budget budget;
  std::set<uint32_t> seen;
  if (kind == kFat32) {
    CLostFAT32Volume vol;
    if (!vol.OpenPath(path.c_str(), 0)) return;
    FatDir root;
    if (!ReadFat32Dir(vol, vol.GetRootCluster(), root)) {
      root.bytes.assign(vol.GetClusterSize(), 0);
      if (!vol.ReadCluster(vol.GetRootCluster(), root.bytes.data(), vol.GetClusterSize())) return;
    }
    if (root.bytes.size() > (1u << 21)) root.bytes.resize(1u << 21);
    WalkFat<CFAT32Volume, ClusterList>(vol, root.bytes, true, 0, seen, budget);
  } else if (kind == kFat16) {
    CLostFATVolume vol;
    if (!vol.OpenPath(path.c_str(), 0)) return;
    FatDir root;
    if (!ReadFat16Root(vol, root)) return;
    WalkFat<CFATVolume, ClusterList16>(vol, root.bytes, false, 0, seen, budget);
  } else {
    CLostExFATVolume vol;
    if (!vol.OpenPath(path.c_str(), 0)) return;
    ExFatDir root;
    ClusterList list;
    if (!vol.GetFileClusterList(vol.GetRootCluster(), list, 0) || list.GetCount() > 64) return;
    if (!ReadList(vol, list, (uint64_t)list.GetCount() * vol.GetClusterSize(), root.bytes)) return;
    WalkExFat(vol, root.bytes, 0, seen, budget);
  }
}

// Regions worth damaging: the boot sector, the start of FAT1, the root
// directory and the first sub-folder cluster after it.
std::vector<Region> RegionsOf(const std::wstring& path, Kind kind) {
  std::vector<Region> r;
  r.push_back({0, 512});
  BYTE b[512];
  if (!ReadAt(path, 0, b, 512)) return r;
  if (kind == kExFat) {
    uint32_t fatOff, heapOff, root;
    memcpy(&fatOff, b + 80, 4);
    memcpy(&heapOff, b + 88, 4);
    memcpy(&root, b + 96, 4);
    uint32_t bps = 1u << b[108], cb = bps << b[109];
    r.push_back({(uint64_t)fatOff * bps, 1024});
    uint64_t rootPos = (uint64_t)heapOff * bps + (uint64_t)(root - 2) * cb;
    r.push_back({rootPos, cb});
    r.push_back({rootPos + cb, cb});
    return r;
  }
  uint16_t bps = b[11] | (b[12] << 8), reserved = b[14] | (b[15] << 8);
  uint32_t cb = bps * b[13];
  r.push_back({(uint64_t)reserved * bps, 2048});
  if (kind == kFat32) {
    uint32_t fatSz, root;
    memcpy(&fatSz, b + 36, 4);
    memcpy(&root, b + 44, 4);
    uint64_t data = (uint64_t)reserved * bps + (uint64_t)fatSz * bps * b[16];
    r.push_back({data + (uint64_t)(root - 2) * cb, cb});
    r.push_back({data + (uint64_t)(root - 1) * cb, cb});
  } else {
    uint16_t fatSz = b[22] | (b[23] << 8), rootEntries = b[17] | (b[18] << 8);
    uint64_t rootPos = (uint64_t)reserved * bps + (uint64_t)fatSz * bps * b[16];
    r.push_back({rootPos, 1024});
    r.push_back({rootPos + rootEntries * 32u, cb});
  }
  return r;
}

void MutateAndWalk(const std::wstring& source, Kind kind, int iterations, unsigned seed) {
  std::wstring path = CopyToTemp(source, L"mut");
  ASSERT_FALSE(path.empty());
  std::vector<Region> regions = RegionsOf(path, kind);
  ASSERT_GE(regions.size(), 3u);
  std::mt19937 rng(seed);
  const auto start = std::chrono::steady_clock::now();
  for (int it = 0; it < iterations; ++it) {
    const Region& reg = regions[rng() % regions.size()];
    int changes = 1 + rng() % 6;
    std::vector<std::pair<uint64_t, BYTE>> saved;
    for (int c = 0; c < changes; ++c) {
      uint64_t pos = reg.offset + rng() % reg.length;
      BYTE old = 0;
      ASSERT_TRUE(ReadAt(path, pos, &old, 1));
      saved.push_back({pos, old});
      BYTE v;
      switch (rng() % 4) {
        case 0: v = (BYTE)(old ^ (1u << (rng() % 8))); break;
        case 1: v = 0xFF; break;
        case 2: v = 0x00; break;
        default: v = (BYTE)rng(); break;
      }
      ASSERT_TRUE(WriteAt(path, pos, &v, 1));
    }
    OpenAndWalk(path, kind);
    for (auto it2 = saved.rbegin(); it2 != saved.rend(); ++it2)
      ASSERT_TRUE(WriteAt(path, it2->first, &it2->second, 1));
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::testing::Test::RecordProperty("seconds", std::to_string(secs));
  RemoveTemp(path);
}
}  // namespace

TEST(FatMutation, Fat16Fixture) { MutateAndWalk(testpaths::Fixture(L"fat16.img"), kFat16, 700, 16); }
TEST(FatMutation, Fat32Fixture) { MutateAndWalk(testpaths::Fixture(L"fat32.img"), kFat32, 700, 32); }
TEST(FatMutation, ExFatFixture) { MutateAndWalk(testpaths::Fixture(L"exfat.img"), kExFat, 700, 64); }

// The DFTT undelete image, walked by fsdump's own walker as well.
TEST(FatMutation, UndeleteCorpusImageThroughFsdumpWalk) {
  std::wstring img = UnzipToTemp(
      testpaths::Shared(L"corpora/disks/dftt/6-undel-fat.zip"), "6-undel-fat/6-fat-undel.dd");
  ASSERT_FALSE(img.empty());
  std::vector<Region> regions = RegionsOf(img, kFat16);
  std::mt19937 rng(6);
  for (int it = 0; it < 500; ++it) {
    const Region& reg = regions[rng() % regions.size()];
    std::vector<std::pair<uint64_t, BYTE>> saved;
    for (int c = 0, n = 1 + rng() % 6; c < n; ++c) {
      uint64_t pos = reg.offset + rng() % reg.length;
      BYTE old = 0, v = (BYTE)rng();
      ASSERT_TRUE(ReadAt(img, pos, &old, 1));
      saved.push_back({pos, old});
      ASSERT_TRUE(WriteAt(img, pos, &v, 1));
    }
    std::vector<FsDumpRow> rows;
    DumpFatVolume(img, 0, rows);
    OpenAndWalk(img, kFat16);
    for (auto s = saved.rbegin(); s != saved.rend(); ++s) ASSERT_TRUE(WriteAt(img, s->first, &s->second, 1));
  }
  RemoveTemp(img);
}
