#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "RecordingFrame.h"
#include "engine/DeviceProbe.h"
#include "engine/PartitionStart.h"
#include "engine/ScanWalkHost.h"
#include "storage/DeviceIo.h"
#include "engine/ByteTrie.h"
#include "engine/ReadTrouble.h"
#include "common/TestPaths.h"
#include "plugins/common/PluginContract.h"

namespace {
// Walks may look at up to 255 bytes: data is padded.
int Match(const CByteTrie& trie, const std::string& s) {
  std::string padded = s + std::string(300, '\x7f');
  return trie.LongestMatch((const unsigned char*)padded.data());
}
int Insert(CByteTrie& trie, const std::string& sig, int plugin) {
  return trie.Insert((const unsigned char*)sig.data(), (unsigned)sig.size(), plugin);
}

TEST(ByteTrie, LongestMatchFirstOwnerAndBounds) {
  CByteTrie trie;
  EXPECT_EQ(1, Insert(trie, "AB", 0));
  EXPECT_EQ(1, Insert(trie, "ABCD", 1));
  EXPECT_EQ(1, Insert(trie, std::string("\0\0\1\0", 4), 5));  // zero bytes are bytes
  EXPECT_EQ(0, Insert(trie, "ABCD", 7));                       // first owner keeps it
  EXPECT_EQ(1, Insert(trie, "ABCD", 1));                       // same owner again is fine
  EXPECT_EQ(1, Insert(trie, std::string(255, 'Q'), 2));
  EXPECT_EQ(0, Insert(trie, std::string(256, 'R'), 3));
  EXPECT_EQ(0, Insert(trie, "", 3));
  EXPECT_EQ(1, Match(trie, "ABCDxyz"));
  EXPECT_EQ(0, Match(trie, "ABX"));
  // Past the shorter signature, short of the longer: the shorter one matched.
  EXPECT_EQ(0, Match(trie, "ABCx"));
  EXPECT_EQ(-1, Match(trie, "Ax"));
  EXPECT_EQ(5, Match(trie, std::string("\0\0\1\0\1\0", 6)));
  EXPECT_EQ(-1, Match(trie, std::string(4, '\0')));
  EXPECT_EQ(2, Match(trie, std::string(265, 'Q')));
  EXPECT_EQ(-1, Match(trie, "R"));
}

// The simple signatures of the sixteen real plug-ins in one trie: data that
// runs along any signature part of the way and then differs matches the
// longest signature it passed in full, or nothing.
TEST(ByteTrie, RealPluginSignaturesAndTheirPrefixes) {
  std::vector<std::string> sigs;
  WIN32_FIND_DATAW fd;
  const std::wstring type = testpaths::Join(testpaths::BinDir(), L"type");
  HANDLE find = FindFirstFileW((type + L"\\fmt_*.dll").c_str(), &fd);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  int dlls = 0;
  do {
    ++dlls;
    HMODULE m = LoadLibraryW(testpaths::Join(type, fd.cFileName).c_str());
    ASSERT_NE(nullptr, m);
    const int32_t* simple = reinterpret_cast<const int32_t*>(GetProcAddress(m, DELVARO_EXPORT_IsFileSigSimple));
    PFN_GetFileSign sign = reinterpret_cast<PFN_GetFileSign>(
        reinterpret_cast<void*>(GetProcAddress(m, DELVARO_EXPORT_GetFileSign)));
    ASSERT_TRUE(simple && sign);
    FileSignRecord rec{};
    if (*simple && sign(&rec) && rec.count > 0 && rec.count < 256)
      sigs.push_back(std::string(reinterpret_cast<const char*>(rec.signature), rec.count));
    FreeLibrary(m);
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  EXPECT_EQ(16, dlls);
  ASSERT_EQ(14u, sigs.size());  // GIF and camera raw use check routines
  CByteTrie trie;
  for (size_t i = 0; i < sigs.size(); ++i) EXPECT_EQ(1, Insert(trie, sigs[i], static_cast<int>(i)));
  for (size_t i = 0; i < sigs.size(); ++i) {
    EXPECT_EQ(static_cast<int>(i), Match(trie, sigs[i]));
    for (size_t cut = 1; cut < sigs[i].size(); ++cut) {
      // The data follows signature i for `cut` bytes, then differs.
      std::string data = sigs[i].substr(0, cut);
      data.push_back(static_cast<char>(sigs[i][cut] ^ 0x5A));
      int want = -1;
      size_t best = 0;
      for (size_t j = 0; j < sigs.size(); ++j)
        if (sigs[j].size() > best && data.compare(0, sigs[j].size(), sigs[j]) == 0) {
          want = static_cast<int>(j);
          best = sigs[j].size();
        }
      EXPECT_EQ(want, Match(trie, data)) << "signature " << i << " cut at " << cut;
    }
  }
}

// Pausing, holding and stopping a running scan are covered by the engine tests.
TEST(ScanDiskDlg, IdleControllerIgnoresPauseAndHasNoGate) {
  CRecordingFrame frame;
  CScanDiskDlg& dlg = *frame.GetScanDiskDlg();
  EXPECT_TRUE(dlg.IsStopRequested());
  dlg.PauseScan();
  EXPECT_FALSE(dlg.IsPaused());
  dlg.WaitGate();  // returns at once
  dlg.BeginScanState();
  dlg.OnScanThreadExit();
  EXPECT_EQ(nullptr, dlg.m_hGate);
  dlg.ResumeScan();  // after the worker ended: harmless
}

TEST(ScanDiskDlg, WithoutAWindowMessagesGoToTheSinkInOrder) {
  // Nothing takes a message: the caller keeps what it carries.
  CScanDiskDlg bare(nullptr);
  EXPECT_FALSE(bare.PostToFrame(WMU_ScanDone, 0, 0));
  bare.ReportProgress(1, 2, L"freed here", true, true);
  // The recording frame has no window: posted and sent reports and the
  // scan's end reach it through the sink, delivered when it pumps.
  CRecordingFrame frame;
  CScanDiskDlg& dlg = *frame.GetScanDiskDlg();
  EXPECT_EQ(nullptr, frame.GetFrameWindow());
  dlg.ReportProgress(5, 10, L"posted", true, true);
  dlg.ReportProgress(6, 10, L"sent", true, false);
  EXPECT_TRUE(dlg.PostToFrame(WMU_ScanDone, 0, 0));
  EXPECT_TRUE(frame.ProgressReports().empty());
  frame.PumpMessages();
  ASSERT_EQ(2u, frame.ProgressReports().size());
  EXPECT_EQ(L"posted", frame.ProgressReports()[0].status);
  EXPECT_EQ(6, frame.ProgressReports()[1].done);
  EXPECT_EQ(1u, frame.ScanDoneCount());
}

// What a scan could not read is told once per bad area, however it was read.
TEST(ReadTrouble, AdjacentStretchesAreOneAreaAndTheFirstGonePlaceIsKept) {
  CReadTrouble t;
  EXPECT_FALSE(t.Any());
  EXPECT_EQ("", t.DescribePlain());
  EXPECT_EQ(L"", t.Describe());
  t.NoteUnreadable(4096, 512);
  t.NoteUnreadable(4608, 512);  // goes on where the last one ended
  t.NoteUnreadable(4608, 0);    // nothing
  t.NoteUnreadable(1 << 20, 512);
  EXPECT_EQ(2u, t.UnreadableAreas());
  EXPECT_EQ(1536u, t.UnreadableBytes());
  EXPECT_TRUE(t.Any());
  EXPECT_FALSE(t.Unfinished());
  EXPECT_EQ("unreadable: 1536 bytes in 2 areas passed over", t.DescribePlain());
  t.NoteDeviceGone(8 << 20);
  t.NoteDeviceGone(9 << 20);
  EXPECT_TRUE(t.DeviceGone());
  EXPECT_EQ(uint64_t(8) << 20, t.GoneAt());
  EXPECT_EQ("scan did not finish: the device stopped answering at byte 8388608; "
            "unreadable: 1536 bytes in 2 areas passed over",
            t.DescribePlain());
  EXPECT_NE(std::wstring::npos, t.Describe().find(L"8.00MB"));
  t.Reset();
  EXPECT_FALSE(t.Any());
  t.NoteUnfinished();
  EXPECT_TRUE(t.Unfinished());
  EXPECT_FALSE(t.DeviceGone());
  EXPECT_EQ("scan did not finish: not everything could be read", t.DescribePlain());
}

TEST(ReadTrouble, TheControllersWalkHostNotesIntoItsRecordAndAScanStartForgetsIt) {
  CRecordingFrame frame;
  CScanDiskDlg& dlg = *frame.GetScanDiskDlg();
  dlg.ReadTrouble().NoteUnreadable(0, 512);
  dlg.ReadTrouble().NoteDeviceGone(512);
  ASSERT_TRUE(dlg.ReadTrouble().Any());
  // A deleted-file scan with no volume selected ends at once: it starts
  // with a clean record.
  ScanKind = SCAN_KIND_DELETED;
  ASSERT_TRUE(dlg.StartScan(nullptr, true));
  dlg.EndScanThread();
  EXPECT_FALSE(dlg.ReadTrouble().Any());
}

TEST(ScanDiskDlg, ProgressPayloadCarriesTextsAndRemainingTime) {
  CRecordingFrame frame;
  CScanDiskDlg& dlg = *frame.GetScanDiskDlg();
  dlg.BeginScanState();
  dlg.m_i64StartTime = _time64(nullptr) - 3600;  // an hour for 1/20000 of the work
  std::wstring text = dlg.FormatScanningText(42);
  EXPECT_NE(std::wstring::npos, text.find(L"42"));
  // The remaining time is recomputed once two clock seconds have passed.
  dlg.ReportProgress(1, 20000, text.c_str(), true, true);
  Sleep(2100);
  dlg.ReportProgress(1, 20000, text.c_str(), true, true);
  dlg.ReportProgress(0, 20000, nullptr, false, true);  // done 0: no estimate
  frame.PumpMessages();
  const auto& r = frame.ProgressReports();
  ASSERT_EQ(3u, r.size());
  EXPECT_EQ(text, r[0].status);
  EXPECT_EQ(1, r[0].done);
  EXPECT_EQ(20000, r[0].total);
  EXPECT_TRUE(r[0].active);
  EXPECT_NE(std::wstring::npos, r[1].remain.find(L"99:")) << r[1].remain.c_str();
  EXPECT_TRUE(r[2].remain.empty());
  EXPECT_TRUE(r[2].status.empty());
  EXPECT_FALSE(r[2].active);
  dlg.OnScanThreadExit();
}
}  // namespace

TEST(PartitionStart, FoundPartitionsCountFromBeforeTheirBootSector) {
  CPartitionInfo p;
  p.m_nScheme = 0;  // found by the search
  p.m_StartSector = 2048;
  p.m_HiddenSectors = 63;
  uint64_t at = 0;
  ASSERT_TRUE(PartitionBootOffset(p, 512, &at));
  EXPECT_EQ((2048u + 63u) * 512u, at);
  p.m_nScheme = 1;  // from a table: the entry's own first sector
  ASSERT_TRUE(PartitionBootOffset(p, 4096, &at));
  EXPECT_EQ(2048u * 4096u, at);
  p.m_nScheme = 0;
  p.m_HiddenSectors = ~0ull - 100;  // a hostile field never wraps round to a small start
  EXPECT_FALSE(PartitionBootSector(p, &at));
  p.m_HiddenSectors = 1ull << 60;
  EXPECT_FALSE(PartitionBootOffset(p, 512, &at));
}

// ---- telling bad sectors from a pulled device ------------------------------------

namespace {
// A device of 1 MiB whose bytes are their offset's low byte; reads touching
// [g_badFrom, g_badTo) fail, and every read fails once g_gone is set.
uint64_t g_badFrom = 0, g_badTo = 0;
bool g_gone = false;
DWORD FlakyRead(HANDLE, unsigned __int64 offset, void* buffer, DWORD size) {
  if (g_gone || (offset < g_badTo && g_badFrom < offset + size) || offset + size > (1u << 20)) return 0;
  for (DWORD i = 0; i < size; ++i) ((BYTE*)buffer)[i] = (BYTE)(offset + i);
  return size;
}

class CNotingHost : public CIdleWalkHost {
 public:
  void NoteUnreadable(uint64_t offset, uint64_t bytes) override { unreadable.push_back({offset, bytes}); }
  void NoteDeviceGone(uint64_t offset) override { gone.push_back(offset); }
  std::vector<std::pair<uint64_t, uint64_t>> unreadable;
  std::vector<uint64_t> gone;
};
}  // namespace

TEST(DeviceProbe, BadSectorsAreFilledAndNotedAPulledDeviceIsToldApart) {
  StorageReadFn old = SetStorageReadHook(FlakyRead);
  const BYTE fill[2] = {0xAB, 0xCD};
  std::vector<BYTE> buf(4096);
  CDeviceProbe probe((HANDLE)1, 512);
  probe.Good(0);

  // Sectors 1 and 2 of the cluster at 8192 do not read: one area, the rest kept.
  g_badFrom = 8192 + 512, g_badTo = 8192 + 1536;
  CNotingHost host;
  bool firstBad = true;
  EXPECT_EQ(6u, probe.ReadCarefully(host, 8192, buf.data(), 4096, fill, 2, &firstBad));
  EXPECT_FALSE(firstBad);
  ASSERT_EQ(1u, host.unreadable.size());
  EXPECT_EQ(8192u + 512, host.unreadable[0].first);
  EXPECT_EQ(1024u, host.unreadable[0].second);
  EXPECT_TRUE(host.gone.empty());
  EXPECT_EQ((BYTE)(8192 + 511), buf[511]);
  EXPECT_EQ(0xAB, buf[512]);
  EXPECT_EQ(0xCD, buf[1535]);
  EXPECT_EQ((BYTE)(8192 + 1536), buf[1536]);

  // A cluster that does not read at all on a device that still answers.
  g_badFrom = 16384, g_badTo = 16384 + 4096;
  CNotingHost whole;
  EXPECT_EQ(0u, probe.ReadCarefully(whole, 16384, buf.data(), 4096, fill, 2, &firstBad));
  EXPECT_TRUE(firstBad);
  ASSERT_EQ(1u, whole.unreadable.size());
  EXPECT_EQ(4096u, whole.unreadable[0].second);
  EXPECT_TRUE(whole.gone.empty());
  EXPECT_TRUE(probe.StillAnswers());

  // Pulled: the places that read before read no more.
  g_gone = true;
  CNotingHost pulled;
  EXPECT_EQ(0u, probe.ReadCarefully(pulled, 24576, buf.data(), 4096, fill, 2));
  EXPECT_TRUE(pulled.unreadable.empty());
  ASSERT_EQ(1u, pulled.gone.size());
  EXPECT_EQ(24576u, pulled.gone[0]);
  EXPECT_FALSE(probe.NoteFailedRead(pulled, 32768, 512));
  EXPECT_TRUE(pulled.unreadable.empty());

  g_gone = false, g_badFrom = g_badTo = 0;
  SetStorageReadHook(old);
}
