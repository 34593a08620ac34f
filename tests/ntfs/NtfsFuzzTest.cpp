// Mutations of real images (boot sector, MFT records, attribute-list
// extension records, index blocks): every reader must come back with an
// answer, never crash or hang. A watchdog ends the process if one iteration
// takes too long.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <vector>

#include "ntfs/NtfsTestUtil.h"
#include "storage/fs/NTFSIndex.h"
#include "storage/fs/NTFSRecoverability.h"
#include "tools/fsdump/FsDump.h"

using namespace ntfstest;

namespace {
std::atomic<ULONGLONG> g_lastBeat{0};
std::atomic<int> g_iteration{0};

DWORD WINAPI Watchdog(void*) {
  for (;; Sleep(1000)) {
    ULONGLONG beat = g_lastBeat.load();
    if (beat && GetTickCount64() - beat > 30000) {
      fprintf(stderr, "NTFS mutation test: iteration %d hangs\n", g_iteration.load());
      fflush(stderr);
      TerminateProcess(GetCurrentProcess(), 3);
    }
  }
}

// Everything a scan or recovery does with a record.
void Exercise(CNTFSVolume& vol, const std::vector<uint64_t>& records) {
  CFileRecord rec(&vol);
  std::vector<BYTE> buf(65536);
  for (uint64_t n : records) {
    if (!Load(rec, n, 0xFFFF)) continue;
    wchar_t name[300];
    rec.GetFileName(name, 300);
    FILETIME t;
    rec.GetFileTimes(&t);
    for (CAttrBase* a = rec.FindFirstAttr(ATTR_TYPE_DATA); a; a = rec.FindNextAttr(ATTR_TYPE_DATA)) {
      DWORD got = 0;
      ULONGLONG size = a->GetDataSize();
      a->ReadData(0, buf.data(), (DWORD)buf.size(), &got);
      if (size > 4096) a->ReadData(size - 4000, buf.data(), 8192, &got);
      if (a->IsNonResident()) EstimateNtfsRecoverability(&vol, static_cast<CAttrNonResident*>(a));
    }
    if (!rec.IsDirectory()) continue;
    CIndexEntry e;
    for (const wchar_t* probe : {L"a", L"file-with-a-longish-name-0150.txt", L"zzzz"}) rec.FindChildEntry(probe, e);
    const CAttr_IndexAlloc* ia = (const CAttr_IndexAlloc*)rec.FindFirstAttr(ATTR_TYPE_INDEX_ALLOCATION);
    for (ULONGLONG b = 0; ia && b < ia->GetIndexBlockCount() && b < 16; ++b) {
      CIndexBlock block;
      ia->ReadIndexBlock(b, block);
    }
  }
}

// A byte range worth corrupting and the file whose reads it reaches: a file
// record, its extension records, its attribute list and its index blocks
// change only what that file reads; the boot sector and the system records
// (owner -1) change what every file reads.
struct Region {
  uint64_t at;
  DWORD size;
  int owner;  // index into the files' records, -1 for all
};

void Mutate(const wchar_t* image, uint64_t seed, int iterations) {
  std::wstring copy = CopyImage(image, L"ntfsfuzz");
  std::vector<Region> regions;
  std::vector<uint64_t> records;
  {
    Image f(image, copy);
    CNTFSVolume& vol = f.vol;
    ASSERT_TRUE(vol.IsVolumeOK());
    const DWORD rs = vol.GetFileRecordSize(), cs = vol.GetClusterSize();
    regions = {{0, 512, -1}, {vol.GetMFTAddr(), 24 * rs, -1}};  // boot sector, system records
    auto recordAt = [&](uint64_t n) {
      const tagDataRun_Entry* r = ((const CAttrNonResident*)vol.GetMFTData())->GetDataRunList().FindIf(
          [&](tagDataRun_Entry* x) { return n * rs / cs >= x->startVcn && n * rs / cs <= x->lastVcn; });
      return r ? (r->lcn + (n * rs / cs - r->startVcn)) * cs + n * rs % cs : 0;
    };
    for (const wchar_t* p : {L"/many", L"/islands.bin", L"/links/target.txt", L"/ads.txt", L"/sparse.bin",
                             L"/fragmented.bin", L"/trash/a.bin", L"/gone.bin", L"/Case"}) {
      CFileRecord rec(&vol);
      if (!Load(rec, f.Inode(p), 0xFFFF)) continue;
      const int owner = (int)records.size();
      records.push_back(f.Inode(p));
      regions.push_back({recordAt(f.Inode(p)), rs, owner});
      // Its extension records, its attribute list and its index blocks.
      if (CAttrBase* al = rec.FindFirstAttr(ATTR_TYPE_ATTRIBUTE_LIST)) {
        auto& ext = al->IsNonResident() ? static_cast<CAttr_AttrList<CAttrNonResident>*>(al)->GetExtensionRecords()
                                        : static_cast<CAttr_AttrList<CAttrResident>*>(al)->GetExtensionRecords();
        ext.ForEach([&](CFileRecord* x) { regions.push_back({recordAt(x->GetRecordNumber()), rs, owner}); });
        if (al->IsNonResident() && FirstLcn(al) >= 0) regions.push_back({FirstLcn(al) * (uint64_t)cs, 512, owner});
      }
      if (CAttrBase* ia = rec.FindFirstAttr(ATTR_TYPE_INDEX_ALLOCATION)) {
        static_cast<CAttrNonResident*>(ia)->GetDataRunList().ForEach([&](tagDataRun_Entry* r) {
          if (r->lcn >= 0) regions.push_back({r->lcn * (uint64_t)cs, 4096, owner});
        });
      }
    }
    ASSERT_GE(records.size(), 6u);
  }
  // The system records are read on every pass, after the damaged file's.
  std::vector<uint64_t> all = records, one(1);
  for (uint64_t n = 0; n < 16; ++n) all.push_back(n), one.push_back(n);

  HANDLE h = CreateFileW(copy.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  auto io = [&](uint64_t at, BYTE* b, bool write) {
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)at;
    DWORD done;
    SetFilePointerEx(h, li, nullptr, FILE_BEGIN);
    write ? WriteFile(h, b, 1, &done, nullptr) : ReadFile(h, b, 1, &done, nullptr);
  };
  std::mt19937_64 rng(seed);
  const BYTE special[] = {0x00, 0xFF, 0x01, 0x80, 0x7F, 0x10, 0x18, 0x30, 0x48, 0x90, 0xF6, 0xFE};
  for (int it = 0; it < iterations; ++it) {
    g_iteration = it;
    g_lastBeat = GetTickCount64();
    const Region& r = regions[rng() % regions.size()];
    std::vector<std::pair<uint64_t, BYTE>> saved;
    for (int k = 0, edits = 1 + (int)(rng() % 6); k < edits; ++k) {
      uint64_t at = r.at + rng() % r.size;
      BYTE old = 0;
      io(at, &old, false);
      saved.push_back({at, old});
      BYTE v = (rng() & 1) ? special[rng() % sizeof special] : (BYTE)(old ^ (1u << (rng() % 8)));
      io(at, &v, true);
    }
    {
      CLostNTFSVolume vol(copy.c_str(), 0);
      vol.GetRecordCount();
      if (r.owner >= 0) one[0] = records[(size_t)r.owner];
      Exercise(vol, r.owner < 0 ? all : one);
      std::vector<FsDumpRow> rows;
      if (it % 100 == 0) DumpNtfsVolume(copy, 0, rows);
    }
    for (auto s = saved.rbegin(); s != saved.rend(); ++s) io(s->first, &s->second, true);
  }
  g_lastBeat = 0;
  CloseHandle(h);
}
}  // namespace

// One case per image, so that the program's shards share the work.
struct MutationCase {
  const wchar_t* image;
  uint64_t seed;
};

class NtfsMutation : public ::testing::TestWithParam<MutationCase> {};

TEST_P(NtfsMutation, CorruptedImagesNeverCrashOrHang) {
  static HANDLE dog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
  (void)dog;
  Mutate(GetParam().image, GetParam().seed, 1500);
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsMutation,
                         ::testing::Values(MutationCase{L"ntfs-512.img", 0x5EED0001},
                                           MutationCase{L"ntfs-4k.img", 0x5EED0002}),
                         [](const ::testing::TestParamInfo<MutationCase>& i) {
                           return i.index == 0 ? std::string("Ntfs512") : std::string("Ntfs4k");
                         });
