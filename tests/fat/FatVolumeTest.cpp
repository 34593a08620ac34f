// FAT16, FAT32 and exFAT readers over images made by mkfs.fat/mtools and
// mkfs.exfat/FUSE (tests/fixtures/make-fat.sh), intact and damaged by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "common/TestPaths.h"
#include "engine/FatDirWalker.h"
#include "engine/ScanWalkHost.h"
#include "fat/FatTestUtil.h"

using namespace fattest;

namespace {
enum Kind { kFat16, kFat32, kExFat };
const wchar_t* const kImage[] = {L"fat16.img", L"fat32.img", L"exfat.img"};

uint32_t PastEnd(CFATVolume& v) { return v.GetMaxCluster() + 1; }
uint32_t PastEnd(CFAT32Volume& v) { return v.GetMaxCluster() + 1; }
uint32_t PastEnd(CExFATVolume& v) { return v.GetClusterCount() + 2; }

bool Opens(Kind k, const std::wstring& path) {
  CLostFATVolume v16;
  CLostFAT32Volume v32;
  CLostExFATVolume vex;
  return k == kFat16   ? v16.OpenPath(path.c_str(), 0)
         : k == kFat32 ? v32.OpenPath(path.c_str(), 0)
                       : vex.OpenPath(path.c_str(), 0);
}

// A walk of a chain: what GetFileClusterList said, and the clusters it gave.
struct Walked {
  int ret = -1;
  std::vector<uint32_t> list;
  uint32_t pastEnd = 0;  // first cluster number beyond the volume
};
template <class Vol, class List>
Walked WalkAs(const std::wstring& path, uint32_t first, uint64_t size) {
  Walked w;
  Vol v;
  List l;
  if (!v.OpenPath(path.c_str(), 0)) return w;
  w.ret = v.GetFileClusterList((typename List::value_type)first, l, size);
  for (size_t i = 0; i < l.GetCount(); ++i) w.list.push_back(l[i]);
  w.pastEnd = PastEnd(v);
  return w;
}
Walked Walk(Kind k, const std::wstring& path, uint32_t first, uint64_t size) {
  return k == kFat16   ? WalkAs<CLostFATVolume, ClusterList16>(path, first, size)
         : k == kFat32 ? WalkAs<CLostFAT32Volume, ClusterList>(path, first, size)
                       : WalkAs<CLostExFATVolume, ClusterList>(path, first, size);
}

// Where FAT1 holds the entry of `cluster`.
uint64_t FatEntryPos(const TempImage& img, Kind k, uint32_t cluster) {
  BYTE b[512] = {};
  img.Get(0, b, 512);
  if (k == kExFat)
    return ((uint64_t)(b[80] | b[81] << 8 | b[82] << 16 | (uint32_t)b[83] << 24) << b[108]) + cluster * 4ull;
  return (uint64_t)(b[14] | b[15] << 8) * (b[11] | b[12] << 8) + (uint64_t)cluster * (k == kFat16 ? 2 : 4);
}
}  // namespace

TEST(FatOpen, ForeignAndBadBootSectorsAreRefusedAndFieldsDoNotOverflow) {
  struct Patch {
    Kind kind;
    int offset;
    BYTE value;
  } patches[] = {
      {kFat32, 16, 0},     // no FAT at all
      {kFat32, 13, 3},     // sectors per cluster not a power of two
      {kFat32, 11, 0x01},  // 257-byte sectors
      {kFat32, 510, 0},    // no boot signature
      {kExFat, 108, 8},    // 256-byte sectors
      {kExFat, 108, 13},   // 8 KiB sectors
      {kExFat, 109, 17},   // 512 << 17: a 64 MiB cluster
      {kExFat, 109, 200},  // a shift past the word size
      {kExFat, 110, 2},    // two FATs
      {kExFat, 3, 'X'},    // not "EXFAT   "
  };
  // Each reader takes its own kind only, and a partitioned disk's first sector is no volume.
  for (Kind k : {kFat16, kFat32, kExFat}) {
    for (Kind on : {kFat16, kFat32, kExFat}) EXPECT_EQ(on == k, Opens(k, testpaths::Fixture(kImage[on])));
    EXPECT_FALSE(Opens(k, testpaths::Fixture(L"fat16-disk.img")));
  }
  for (Kind k : {kFat32, kExFat}) {
    TempImage img(testpaths::Fixture(kImage[k]));
    ASSERT_TRUE(Opens(k, img.path));
    for (const Patch& p : patches) {
      if (p.kind != k) continue;
      BYTE old = 0;
      ASSERT_TRUE(img.Get(p.offset, &old, 1) && img.Put(p.offset, &p.value, 1));
      EXPECT_FALSE(Opens(k, img.path)) << "offset " << p.offset << " value " << (int)p.value;
      ASSERT_TRUE(img.Put(p.offset, &old, 1));
    }
  }
  // exFAT's heap offset is a 32-bit sector count: times the sector size it
  // passes 4 GiB, which must not wrap.
  TempImage img(testpaths::Fixture(L"exfat.img"));
  const BYTE farHeap[4] = {0x00, 0x00, 0x80, 0x00};  // 0x00800000 sectors
  ASSERT_TRUE(img.Put(88, farHeap, 4));
  CLostExFATVolume v;
  ASSERT_TRUE(v.OpenPath(img.path.c_str(), 0));
  EXPECT_EQ(0x100000000ull, v.GetClusterHeapOffset());
  BYTE buf[4096];
  EXPECT_FALSE(v.ReadCluster(5, buf, sizeof buf));  // past the end of the image
}

TEST(FatOpen, NumberOfFatsComesFromTheBootSector) {
  // fat16.img has one FAT: the root directory follows it directly. A reader
  // assuming two FATs would find neither the volume label nor the files.
  CLostFATVolume vol;
  ASSERT_TRUE(vol.OpenPath(testpaths::Fixture(L"fat16.img").c_str(), 0));
  EXPECT_EQ(1u, vol.GetNumberOfFats());
  std::vector<BYTE> root;
  ASSERT_TRUE(ReadRoot16(vol, root));
  EXPECT_EQ(0, memcmp(Entries(root)[0].name, "FAT16ONE", 8));
  EXPECT_GE(FindEntry(vol, root, L"one-cluster.bin"), 0);
  // Deleted: all clusters free scores 100 here, 99 on FAT32 (next test).
  int i = FindEntry(vol, root, L"deleted file.bin");
  ASSERT_GE(i, 0);
  EXPECT_EQ(100, vol.GetRecoverablePercent(&Entries(root)[i]));
}

TEST(FatEntries, DeletedNamesScoresAndForeignLongNames) {
  CLostFAT32Volume vol;
  ASSERT_TRUE(vol.OpenPath(testpaths::Fixture(L"fat32.img").c_str(), 0));
  std::vector<BYTE> root;
  ASSERT_TRUE((ReadDir<CFAT32Volume, ClusterList>(vol, vol.GetRootCluster(), root)));
  int del = FindEntry(vol, root, L"deleted file.bin");
  ASSERT_GE(del, 0);
  EXPECT_EQ(kFatDeletedMark, Entries(root)[del].name[0]);
  EXPECT_EQ(99, vol.GetRecoverablePercent(&Entries(root)[del]));  // free clusters; high word 0
  int frag = FindEntry(vol, root, L"frag deleted.bin");
  ASSERT_GE(frag, 0);
  int p = vol.GetRecoverablePercent(&Entries(root)[frag]);
  EXPECT_TRUE(p > 0 && p < 99) << p;
  EXPECT_GE(FindEntry(vol, root, L"_EL1.BIN"), 0);  // a deleted 8.3 name's lost letter

  // A long name whose checksum is not that of the short entry is not glued to it.
  int one = FindEntry(vol, root, L"one-cluster.bin");
  ASSERT_GT(one, 0);
  BYTE& checksum = root[(one - 1) * 32 + 13];
  ASSERT_EQ(checksum, fatcommon::ShortNameChecksum(Entries(root)[one].name));
  checksum ^= 0x5A;
  EXPECT_EQ(L"", vol.GetLongName(Entries(root), one));
  EXPECT_EQ(L"ONE-CL~1.BIN", vol.GetShortName(&Entries(root)[one]));
}

TEST(ExFatEntries, NoFatChainFlagAndBoundedSets) {
  CLostExFATVolume vol;
  ASSERT_TRUE(vol.OpenPath(testpaths::Fixture(L"exfat.img").c_str(), 0));
  std::vector<BYTE> root;
  ASSERT_TRUE((ReadDir<CExFATVolume, ClusterList>(vol, vol.GetRootCluster(), root, (BYTE)0)));
  ExFatEntrySet set = FindExFatSet(root, L"contiguous file.bin");
  ASSERT_NE(0u, set.count);
  ASSERT_EQ(3, CExFATVolume::GetStreamFlags(&set));
  const uint64_t size = CExFATVolume::GetValidDataLength(&set);
  const uint32_t first = CExFATVolume::GetFirstCluster(&set);
  // Its FAT entries were never written: as a chain it does not exist; with
  // its flags it is the run of six clusters.
  ClusterList list;
  EXPECT_EQ(0, vol.GetFileClusterList(first, list, size));
  ASSERT_EQ(1, vol.GetFileClusterList(first, list, size, CExFATVolume::GetStreamFlags(&set)));
  ASSERT_EQ(6u, list.GetCount());
  EXPECT_EQ(first + 5, list[5]);
  EXPECT_EQ(0, vol.GetFileClusterList(vol.GetClusterCount(), list, size, 3));  // run leaving the heap
  EXPECT_EQ(0u, list.GetCount());

  // Never read past what the caller holds: a 58-character name in four name
  // entries, cut after the first one.
  const std::wstring longName = L"A name long enough to need three name entries in exFAT.txt";
  set = FindExFatSet(root, longName);
  ASSERT_EQ(5, CExFATVolume::GetSecondaryCount(set.entries));
  ExFatEntrySet cut = {set.entries, 3}, tiny = {set.entries, 1};
  EXPECT_EQ(longName.substr(0, 15), CExFATVolume::GetEntrySetName(&cut, 5));
  EXPECT_EQ(0u, CExFATVolume::GetFirstCluster(&tiny));
  EXPECT_EQ(0u, CExFATVolume::GetValidDataLength(&tiny));
  EXPECT_EQ(0, vol.GetRecoverablePercent(&tiny));
  EXPECT_EQ(0, vol.GetRecoverablePercent(nullptr));
  EXPECT_EQ(L"", vol.FormatEntryTime(nullptr, 0));
}

// A boot sector claiming the most clusters exFAT allows, on a 16 MiB image:
// lengths that only that count would allow must not list (or score) billions
// of clusters the device does not hold.
TEST(ExFatEntries, RunsPastTheDeviceAreRefused) {
  TempImage img(testpaths::Fixture(L"exfat.img"));
  const uint32_t hugeCount = 0xFFFFFFF5;
  ASSERT_TRUE(img.Put(92, &hugeCount, 4));
  CLostExFATVolume vol;
  ASSERT_TRUE(vol.OpenPath(img.path.c_str(), 0));
  ASSERT_EQ(hugeCount, vol.GetClusterCount());
  std::vector<BYTE> root;
  ASSERT_TRUE((ReadDir<CExFATVolume, ClusterList>(vol, vol.GetRootCluster(), root, (BYTE)0)));
  ExFatEntrySet file = FindExFatSet(root, L"contiguous file.bin");
  ASSERT_NE(0u, file.count);
  const uint32_t first = CExFATVolume::GetFirstCluster(&file);
  ClusterList list;
  EXPECT_EQ(1, vol.GetFileClusterList(first, list, CExFATVolume::GetValidDataLength(&file), 3));
  EXPECT_EQ(6u, list.GetCount());
  EXPECT_EQ(0, vol.GetFileClusterList(first, list, 1ull << 44, 3));
  EXPECT_EQ(0u, list.GetCount());

  // The same file deleted with a damaged length: scored, not walked to the end.
  std::vector<BYTE> gone(file.entries, file.entries + 3 * 32);
  gone[0] = 0x05;
  gone[32] = 0x40;
  gone[64] = 0x41;
  const uint64_t hugeLength = 1ull << 44;
  memcpy(&gone[32 + 8], &hugeLength, 8);
  ExFatEntrySet goneSet = {gone.data(), 3};
  EXPECT_EQ(0, vol.GetRecoverablePercent(&goneSet));

  // A folder whose run is that long still lists what it holds.
  ExFatEntrySet folder = FindExFatSet(root, L"folder one");
  ASSERT_NE(0u, folder.count);
  ASSERT_EQ(3, CExFATVolume::GetStreamFlags(&folder));
  const uint64_t folderPos = vol.GetClusterHeapOffset() +
                             (uint64_t)(vol.GetRootCluster() - 2) * vol.GetClusterSize() +
                             (uint64_t)(folder.entries - root.data());
  ASSERT_TRUE(img.Put(folderPos + 32 + 8, &hugeLength, 8));
  ASSERT_TRUE(img.Put(folderPos + 32 + 24, &hugeLength, 8));
  vol.Close();
  std::vector<FsDumpRow> rows;
  ASSERT_TRUE(DumpExFatVolume(img.path, 0, rows));
  EXPECT_NE(nullptr, FindRow(rows, L"/folder one/sub folder"));
  EXPECT_NE(nullptr, FindRow(rows, L"/readme.txt"));
}

// The fragmented file's chain, with one FAT1 link replaced.
TEST(FatChains, DamagedLinksEndTheWalkWithAnError) {
  enum Link { kRaw, kToFirst, kToSelf, kToPrev, kPastEnd, kMaskedNext };
  const uint64_t kFileSize = ~0ull;
  const int kAny = -1, kWhole = -2;
  struct Damage {
    Kind kind;
    int at;
    Link link;
    uint32_t raw;
    uint64_t size;
    int ret, count;
  } cases[] = {
      {kFat32, 4, kToFirst, 0, 0, 0, 0},  // loops, with and without a size
      {kFat32, 4, kToFirst, 0, kFileSize, 0, 0},
      {kFat32, 4, kToSelf, 0, 0, 0, 0},
      {kFat32, 4, kPastEnd, 0, 0, 0, 0},
      {kFat32, 4, kRaw, 0x0FFFFFF7, 0, 0, 0},             // bad-cluster mark
      {kFat32, 4, kRaw, 0, 0, 0, 0},                      // free entry
      {kFat32, 1, kMaskedNext, 0, kFileSize, 1, kWhole},  // reserved top bits masked off
      {kFat32, -1, kRaw, 0xFFFFFFFF, kFileSize, 1, kWhole},
      // Ending early: not the whole file, but what there was is kept to see;
      // without a size there is nothing to compare with.
      {kFat32, 2, kRaw, 0x0FFFFFFF, kFileSize, 0, 3},
      {kFat32, 2, kRaw, 0x0FFFFFFF, 0, 1, 3},
      {kFat32, 2, kRaw, 0x0FFFFFFF, 512, 0, 0},  // longer than the size allows
      {kFat16, 2, kRaw, 0xFFF7, kFileSize, 0, kAny},
      {kFat16, 2, kRaw, 0xFFF8, 0, 1, 3},  // any of FFF8..FFFF ends a chain
      {kFat16, 2, kToPrev, 0, 0, 0, 0},
      {kExFat, 2, kToFirst, 0, 0, 0, 0},
      {kExFat, 2, kPastEnd, 0, 0, 0, 0},
      {kExFat, 2, kRaw, 0xFFFFFFF7, 0, 0, kAny},
      {kExFat, 2, kRaw, 0xFFFFFFFA, 0, 0, kAny},
      {kExFat, 2, kRaw, 0xFFFFFFFF, 0, 1, 3},
      {kExFat, 2, kRaw, 0xFFFFFFFF, kFileSize, 0, kAny},
  };
  for (Kind k : {kFat16, kFat32, kExFat}) {
    TempImage img(testpaths::Fixture(kImage[k]));
    std::vector<FsDumpRow> rows;
    ASSERT_TRUE(k == kExFat ? DumpExFatVolume(img.path, 0, rows) : DumpFatVolume(img.path, 0, rows));
    const FsDumpRow* file = FindRow(rows, L"/fragmented large file.bin");
    ASSERT_NE(nullptr, file);
    const uint32_t first = (uint32_t)file->firstCluster;
    const Walked intact = Walk(k, img.path, first, file->size);
    ASSERT_EQ(1, intact.ret);
    const std::vector<uint32_t>& chain = intact.list;
    ASSERT_GE(chain.size(), 5u);
    const DWORD width = k == kFat16 ? 2 : 4;
    for (const Damage& d : cases) {
      if (d.kind != k) continue;
      const uint32_t at = d.at < 0 ? chain.back() : chain[d.at];
      const uint32_t value = d.link == kToFirst      ? first
                             : d.link == kToSelf     ? at
                             : d.link == kToPrev     ? chain[d.at - 1]
                             : d.link == kPastEnd    ? intact.pastEnd
                             : d.link == kMaskedNext ? 0xF0000000u | chain[d.at + 1]
                                                     : d.raw;
      const uint64_t pos = FatEntryPos(img, k, at);
      uint32_t old = 0;
      ASSERT_TRUE(img.Get(pos, &old, width) && img.Put(pos, &value, width));
      Walked w = Walk(k, img.path, first, d.size == kFileSize ? file->size : d.size);
      ASSERT_TRUE(img.Put(pos, &old, width));
      SCOPED_TRACE(testing::Message()
                   << kImage[k] << " link " << d.at << " kind " << d.link << " size " << d.size);
      EXPECT_EQ(d.ret, w.ret);
      if (d.count == kWhole) {
        EXPECT_EQ(chain, w.list);
      } else if (d.count >= 0) {
        EXPECT_EQ((size_t)d.count, w.list.size());
      }
    }
  }
}

namespace {
// The scan's own directory walk over a fixed-root FAT16 image, listing live
// files too (as the found-partition scan does): every file it hands over,
// by path and name.
struct CListingHost : CIdleWalkHost {
  std::vector<std::wstring> files;
  bool HandOver(CFoundItem* item) override {
    files.push_back(item->GetPath() + item->m_strName);
    delete item;
    return true;
  }
};

std::vector<std::wstring> EngineWalk(const std::wstring& image) {
  CListingHost host;
  CLostFATVolume vol;
  if (!vol.OpenPath(image.c_str(), 0)) return host.files;
  CFat16DirVolume view(vol);
  FatWalkOptions options;
  options.root = L"\\";
  options.reportLive = true;
  CFatDirWalker walker(view, host, options);
  walker.WalkRoot();
  return host.files;
}

size_t CountOf(const std::vector<std::wstring>& files, const std::wstring& path) {
  return (size_t)std::count(files.begin(), files.end(), path);
}
}  // namespace

TEST(FatWalk, FolderPointingAtItsAncestorIsWalkedOnce) {
  TempImage img(testpaths::Fixture(L"fat16.img"));
  std::vector<FsDumpRow> rows;
  ASSERT_TRUE(DumpFatVolume(img.path, 0, rows));
  const FsDumpRow* docs = FindRow(rows, L"/docs");
  const FsDumpRow* deep = FindRow(rows, L"/docs/deep");
  ASSERT_TRUE(docs && deep && FindRow(rows, L"/docs/deep/er"));
  const std::wstring docFile = L"\\docs\\A long file name with spaces.txt";
  const std::wstring bottom = L"\\docs\\deep\\er\\and\\deeper\\bottom of the tree.txt";
  const std::vector<std::wstring> intact = EngineWalk(img.path);
  ASSERT_EQ(1u, CountOf(intact, docFile));
  ASSERT_EQ(1u, CountOf(intact, bottom));
  // Point docs/deep/er back at docs.
  CLostFATVolume vol;
  ASSERT_TRUE(vol.OpenPath(img.path.c_str(), 0));
  const uint64_t deepPos = vol.GetDataOffset() + (deep->firstCluster - 2) * vol.GetClusterSize();
  std::vector<BYTE> dir(vol.GetClusterSize());
  ASSERT_TRUE(img.Get(deepPos, dir.data(), (DWORD)dir.size()));
  int er = FindEntry(vol, dir, L"er");
  ASSERT_GE(er, 0);
  const uint16_t docsCluster = (uint16_t)docs->firstCluster;
  ASSERT_TRUE(img.Put(deepPos + er * 32 + 26, &docsCluster, 2));
  vol.Close();
  const std::vector<std::wstring> files = EngineWalk(img.path);
  // docs is read once: its file is listed once, nothing below er (which is
  // docs again) is listed, the rest of the volume is.
  EXPECT_EQ(1u, CountOf(files, docFile));
  EXPECT_EQ(1u, CountOf(files, L"\\readme.txt"));
  EXPECT_EQ(0u, CountOf(files, bottom));
  for (const std::wstring& f : files) EXPECT_NE(0u, f.find(L"\\docs\\deep\\er\\")) << f;
  EXPECT_EQ(intact.size() - 1, files.size());
}

// Every data cluster a deleted folder whose entries (after its dot pair) are
// a file and a folder in the next cluster: thousands of levels, each a folder not seen before.
// The walk lists them to a bounded depth (1,024 folders, however long the path)
// and ends, instead of recursing until the stack runs out.
TEST(FatWalk, EndlessNestingOfFoldersStopsAtABoundedDepth) {
  TempImage img(testpaths::Fixture(L"fat16.img"));
  CLostFATVolume vol;
  ASSERT_TRUE(vol.OpenPath(img.path.c_str(), 0));
  const DWORD cb = vol.GetClusterSize();
  const uint32_t last = vol.GetMaxCluster();
  ASSERT_GT(last, 4000u);
  const uint64_t dataPos = vol.GetDataOffset();
  const uint64_t rootPos = dataPos - (uint64_t)vol.GetRootEntryCount() * 32;
  vol.Close();
  auto entry = [](BYTE* at, const char* name11, BYTE attr, uint16_t cluster, uint32_t size) {
    memcpy(at, name11, 11);
    if (at[0] != '.') at[0] = kFatDeletedMark;
    at[11] = attr;
    memcpy(at + 26, &cluster, 2);
    memcpy(at + 28, &size, 4);
  };
  std::vector<BYTE> data((size_t)(last - 1) * cb, 0);
  for (uint32_t c = 2; c <= last; ++c) {
    BYTE* at = &data[(size_t)(c - 2) * cb];
    // A folder's own pair first, as drivers write it.
    entry(at, ".          ", kFatAttrDirectory, (uint16_t)c, 0);
    entry(at + 32, "..         ", kFatAttrDirectory, (uint16_t)(c == 2 ? 0 : c - 1), 0);
    entry(at + 64, "xFILE   TXT", 0x20, (uint16_t)c, 100);
    entry(at + 96, "xD         ", kFatAttrDirectory, (uint16_t)(c + 1), 0);
  }
  BYTE top[32] = {};
  entry(top, "xTOP       ", kFatAttrDirectory, 2, 0);
  ASSERT_TRUE(img.Put(rootPos, top, 32));
  ASSERT_TRUE(img.Put(dataPos, data.data(), (DWORD)data.size()));

  const std::vector<std::wstring> files = EngineWalk(img.path);
  size_t deepest = 0, longest = 0;
  for (const std::wstring& f : files) {
    deepest = std::max(deepest, (size_t)std::count(f.begin(), f.end(), L'\\'));
    longest = std::max(longest, f.size());
  }
  // Folders are followed 1,024 deep (as on NTFS), however long the path,
  // and no further.
  EXPECT_GE(deepest, 1000u);
  EXPECT_LE(deepest, 1024u + 2);  // the root's backslash and the last folder's
  EXPECT_GT(longest, 3000u);
  EXPECT_LT(files.size(), 1100u);
}

// ---- 4 KiB sectors -------------------------------------------------------
namespace {
// A device of 4 KiB logical sectors: any read that does not start and end
// on a sector fails, as raw handles of such drives do.
DWORD WINAPI SectorReads(HANDLE h, unsigned __int64 offset, void* buffer, DWORD size) {
  if (offset % 4096 || size % 4096) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return RawReadAt(h, offset, buffer, size);
}
struct SectorDevice {
  SectorDevice() : old(SetStorageReadHook((StorageReadFn)&SectorReads)) {}
  ~SectorDevice() { SetStorageReadHook(old); }
  StorageReadFn old;
};

// The first cluster and size of a root entry named `name` (8.3 form for FAT,
// the UTF-16 name for exFAT) in the directory bytes.
bool FindEntry(const std::vector<BYTE>& dir, bool exfat, const char* name, uint32_t* first, uint64_t* size) {
  for (size_t at = 0; at + 32 <= dir.size(); at += 32) {
    const BYTE* e = &dir[at];
    if (!exfat && memcmp(e, name, 11) == 0) {
      *first = ((uint32_t)Le16(e + 20) << 16) | Le16(e + 26);
      *size = Le32(e + 28);
      return true;
    }
    if (exfat && e[0] == 0xC1 && at >= 32 && dir[at - 32] == 0xC0) {
      std::string n;
      for (int k = 0; k < 15 && Le16(e + 2 + 2 * k); ++k) n += (char)Le16(e + 2 + 2 * k);
      if (n == name) {
        *first = Le32(&dir[at - 32] + 20);
        *size = Le64(&dir[at - 32] + 24);
        return true;
      }
    }
  }
  return false;
}

bool NextCluster(CFATVolume& v, uint32_t c, uint32_t* next) {
  uint16_t value = 0;
  if (!v.GetFatEntry((uint16_t)c, &value)) return false;
  *next = value;
  return true;
}
bool NextCluster(CFAT32Volume& v, uint32_t c, uint32_t* next) { return v.GetFatEntry(c, next) != 0; }
bool NextCluster(CExFATVolume&, uint32_t c, uint32_t* next) {
  *next = c + 1;  // written without a chain
  return true;
}

template <class Vol>
void ExpectFilesThroughWholeSectors(Vol& v, const std::vector<BYTE>& root, bool exfat) {
  ASSERT_EQ(4096u, v.GetClusterSize());
  const char* hello = exfat ? "HELLO.TXT" : "HELLO   TXT";
  const char* big = exfat ? "BIG.BIN" : "BIG     BIN";
  uint32_t first = 0;
  uint64_t size = 0;
  ASSERT_TRUE(FindEntry(root, exfat, hello, &first, &size));
  std::vector<BYTE> c(4096);
  ASSERT_TRUE(v.ReadCluster(first, c.data(), 4096));
  EXPECT_EQ("four kilobyte sectors\n", std::string((const char*)c.data(), (size_t)size));
  // A file of ten clusters: its chain through FAT pages read in whole sectors.
  ASSERT_TRUE(FindEntry(root, exfat, big, &first, &size));
  EXPECT_EQ(40000u, size);
  std::vector<uint32_t> clusters;
  for (uint32_t cl = first; clusters.size() < 10;) {
    clusters.push_back(cl);
    ASSERT_TRUE(NextCluster(v, cl, &cl)) << clusters.size();
  }
  std::string data;
  for (uint32_t cl : clusters) {
    ASSERT_TRUE(v.ReadCluster(cl, c.data(), 4096));
    data.append((const char*)c.data(), 4096);
  }
  data.resize(40000);
  for (size_t k = 0; k < data.size(); ++k)
    ASSERT_EQ((char)(k % 251), data[k]) << k;
}
}  // namespace

TEST(FourKSectors, FatAndExFatVolumesOpenAndReadInWholeSectors) {
  SectorDevice device;
  {
    CLostFATVolume v;
    ASSERT_TRUE(v.OpenPath(testpaths::Fixture(L"fat16-4k.img").c_str(), 0));
    uint16_t n = 0;
    BYTE* root = v.ReadRootDirectory(&n);
    ASSERT_TRUE(root != nullptr);
    std::vector<BYTE> dir(root, root + (size_t)n * 32);
    delete[] root;
    ExpectFilesThroughWholeSectors(v, dir, false);
  }
  {
    CLostFAT32Volume v;
    ASSERT_TRUE(v.OpenPath(testpaths::Fixture(L"fat32-4k.img").c_str(), 0));
    std::vector<BYTE> dir(4096);
    ASSERT_TRUE(v.ReadCluster(v.GetRootCluster(), dir.data(), 4096));
    ExpectFilesThroughWholeSectors(v, dir, false);
  }
  {
    CLostExFATVolume v;
    ASSERT_TRUE(v.OpenPath(testpaths::Fixture(L"exfat-4k.img").c_str(), 0));
    std::vector<BYTE> dir(4096);
    ASSERT_TRUE(v.ReadCluster(v.GetRootCluster(), dir.data(), 4096));
    ExpectFilesThroughWholeSectors(v, dir, true);
  }
}
