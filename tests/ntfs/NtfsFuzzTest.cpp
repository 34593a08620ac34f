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
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"
#include "storage/fs/NTFSIndex.h"
#include "storage/fs/NTFSRecoverability.h"
#include "storage/fs/NTFSVolume.h"
#include "tools/fsdump/FsDump.h"

using namespace ntfstest;

namespace {
struct Region {
  uint64_t at;
  DWORD len;
  const char* what;
};

std::atomic<LONGLONG> g_lastBeat{0};
std::atomic<int> g_iteration{0};

DWORD WINAPI Watchdog(void*) {
  for (;;) {
    Sleep(1000);
    LONGLONG beat = g_lastBeat.load();
    if (beat && GetTickCount64() - (ULONGLONG)beat > 30000) {
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
    rec.SetAttrMask(0xFFFF);
    if (!rec.LoadRecord(n)) continue;
    rec.LoadAttributes();
    wchar_t name[300];
    rec.GetFileName(name, 300);
    rec.GetParentRecord();
    FILETIME t;
    rec.GetFileTimes(&t);
    for (CAttrBase* a = rec.FindFirstAttr(ATTR_TYPE_DATA); a; a = rec.FindNextAttr(ATTR_TYPE_DATA)) {
      DWORD got = 0;
      ULONGLONG size = a->GetDataSize();
      a->ReadData(0, buf.data(), (DWORD)buf.size(), &got);
      if (size > 4096) a->ReadData(size - 4000, buf.data(), 8192, &got);
      if (a->IsNonResident()) EstimateNtfsRecoverability(&vol, static_cast<CAttrNonResident*>(a));
    }
    if (rec.IsDirectory()) {
      CIndexEntry e;
      rec.FindChildEntry(L"a", e);
      rec.FindChildEntry(L"file-with-a-longish-name-0150.txt", e);
      rec.FindChildEntry(L"zzzz", e);
      const CAttr_IndexAlloc* ia = (const CAttr_IndexAlloc*)rec.FindFirstAttr(ATTR_TYPE_INDEX_ALLOCATION);
      for (ULONGLONG b = 0; ia && b < ia->GetIndexBlockCount() && b < 16; ++b) {
        CIndexBlock block;
        ia->ReadIndexBlock(b, block);
      }
    }
  }
}

void Mutate(const wchar_t* image, uint64_t seed, int iterations) {
  std::vector<Expected> exp = LoadExpected(image);
  std::wstring copy = CopyImage(image, L"ntfsfuzz");
  ASSERT_FALSE(copy.empty());

  std::vector<Region> regions;
  std::vector<uint64_t> records;
  {
    CLostNTFSVolume vol(copy.c_str(), 0);
    ASSERT_TRUE(vol.IsVolumeOK());
    const DWORD rs = vol.GetFileRecordSize();
    regions.push_back({0, 512, "boot sector"});
    regions.push_back({vol.GetMFTAddr(), 24 * rs, "system records"});
    for (const wchar_t* p : {L"/many", L"/islands.bin", L"/links/target.txt", L"/ads.txt", L"/sparse.bin",
                             L"/fragmented.bin", L"/trash/a.bin", L"/gone.bin", L"/Case"}) {
      const Expected* e = FindExpected(exp, p);
      if (!e) continue;
      records.push_back(e->inode);
      CFileRecord rec(&vol);
      rec.SetAttrMask(0xFFFF);
      ASSERT_TRUE(rec.LoadRecord(e->inode));
      ASSERT_TRUE(rec.LoadAttributes());
      // The record itself, its extension records and its index blocks.
      auto recordAt = [&](uint64_t n) {
        const CAttrNonResident* mft = (const CAttrNonResident*)vol.GetMFTData();
        uint64_t byte = n * rs, cs = vol.GetClusterSize();
        const tagDataRun_Entry* r = mft->GetDataRunList().FindIf([&](tagDataRun_Entry* x) {
          return byte / cs >= x->startVcn && byte / cs <= x->lastVcn;
        });
        return r ? (r->lcn + (byte / cs - r->startVcn)) * cs + byte % cs : 0;
      };
      regions.push_back({recordAt(e->inode), rs, "file record"});
      if (CAttrBase* al = rec.FindFirstAttr(ATTR_TYPE_ATTRIBUTE_LIST)) {
        CSList<CFileRecord>& ext =
            al->IsNonResident() ? static_cast<CAttr_AttrList<CAttrNonResident>*>(al)->GetExtensionRecords()
                                : static_cast<CAttr_AttrList<CAttrResident>*>(al)->GetExtensionRecords();
        ext.ForEach([&](CFileRecord* x) { regions.push_back({recordAt(x->GetRecordNumber()), rs, "extension"}); });
        if (al->IsNonResident()) {
          const tagDataRun_Entry* r = static_cast<CAttrNonResident*>(al)->GetDataRunList().FindIf(
              [](tagDataRun_Entry*) { return true; });
          if (r && r->lcn >= 0) regions.push_back({r->lcn * (uint64_t)vol.GetClusterSize(), 512, "attribute list"});
        }
      }
      if (CAttrBase* ia = rec.FindFirstAttr(ATTR_TYPE_INDEX_ALLOCATION)) {
        static_cast<CAttrNonResident*>(ia)->GetDataRunList().ForEach([&](tagDataRun_Entry* r) {
          if (r->lcn >= 0) regions.push_back({r->lcn * (uint64_t)vol.GetClusterSize(), 4096, "index block"});
        });
      }
    }
    for (uint64_t n = 0; n < 16; ++n) records.push_back(n);
  }

  HANDLE h = CreateFileW(copy.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  auto writeAt = [&](uint64_t at, const void* p, DWORD n) {
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)at;
    DWORD done;
    SetFilePointerEx(h, li, nullptr, FILE_BEGIN);
    WriteFile(h, p, n, &done, nullptr);
  };
  auto readAt = [&](uint64_t at, void* p, DWORD n) {
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)at;
    DWORD done;
    SetFilePointerEx(h, li, nullptr, FILE_BEGIN);
    ReadFile(h, p, n, &done, nullptr);
  };

  std::mt19937_64 rng(seed);
  const BYTE special[] = {0x00, 0xFF, 0x01, 0x80, 0x7F, 0x10, 0x18, 0x30, 0x48, 0x90, 0xF6, 0xFE};
  for (int it = 0; it < iterations; ++it) {
    g_iteration = it;
    g_lastBeat = (LONGLONG)GetTickCount64();
    const Region& r = regions[rng() % regions.size()];
    std::vector<std::pair<uint64_t, BYTE>> saved;
    int edits = 1 + (int)(rng() % 6);
    for (int k = 0; k < edits; ++k) {
      uint64_t at = r.at + rng() % r.len;
      BYTE old;
      readAt(at, &old, 1);
      saved.push_back({at, old});
      BYTE v = (rng() & 1) ? special[rng() % sizeof special] : (BYTE)(old ^ (1u << (rng() % 8)));
      writeAt(at, &v, 1);
    }
    {
      CLostNTFSVolume vol(copy.c_str(), 0);
      vol.GetRecordCount();
      Exercise(vol, records);
      if (it % 100 == 0) {
        std::vector<FsDumpRow> rows;
        DumpNtfsVolume(copy, 0, rows);
      }
    }
    for (auto it2 = saved.rbegin(); it2 != saved.rend(); ++it2) writeAt(it2->first, &it2->second, 1);
  }
  g_lastBeat = 0;
  CloseHandle(h);
}
}  // namespace

TEST(NtfsMutation, CorruptedImagesNeverCrashOrHang) {
  static HANDLE dog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
  (void)dog;
  Mutate(L"ntfs-512.img", 0x5EED0001, 1500);
  Mutate(L"ntfs-4k.img", 0x5EED0002, 1500);
}
