// The partition scan control and scan-result files: the codec, damaged and
// hostile result files, save refusals, the workers, and the control's
// thread, gap and label rules. Images are mapped to drive letters O:
// and to physical drives 2 and 3.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "RecordingFrame.h"
#include "common/DeviceMap.h"
#include "common/TestPaths.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "engine/EngineText.h"
#include "engine/PartitionStart.h"
#include "engine/SaveLoadWorkers.h"
#include "engine/ScanResultFile.h"
#include "storage/DeviceIo.h"

namespace {
const wchar_t kVolumeLetter = L'O';
const int kDisk = 2;

std::string Bytes(const std::wstring& path) { return testpaths::ReadWholeFile(path); }
bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> g_boxes;
int RecordBox(HWND, const wchar_t* text, const wchar_t*, UINT, int) {
  g_boxes.push_back(text ? text : L"");
  return IDOK;
}
struct BoxRecorder {
  MessageDlgProc old;
  BoxRecorder() : old(SetMessageDlgProc(RecordBox)) { g_boxes.clear(); }
  ~BoxRecorder() { SetMessageDlgProc(old); }
};

// A frame with a volume image on O: (selected) and a disk image as
// PhysicalDrive2, both copies in a temp folder.
struct Rig {
  std::wstring dir = testpaths::MakeTempDir(L"lostpart");
  devicemap::CScopedDeviceMap map;
  CRecordingFrame frame;
  CVolumeInfo* volume = nullptr;
  bool MapVolume(const std::wstring& fixture) {
    const std::wstring path = dir + L"\\" + fixture;
    if (!testpaths::CopyImage(testpaths::Fixture(fixture), path) || !map.Volume(kVolumeLetter, path)) return false;
    volume = frame.AddMappedVolume(kVolumeLetter);
    frame.SelectVolume(volume);
    return true;
  }
  // wipeSectors: that many leading sectors zeroed (the table removed).
  bool MapDisk(const std::wstring& fixture, int disk = kDisk, size_t wipeSectors = 0) {
    const std::wstring path = dir + L"\\" + fixture;
    return testpaths::CopyImage(testpaths::Fixture(fixture), path, wipeSectors * 512) && map.PhysicalDrive(disk, path);
  }
  void AddEntries(int n) {
    for (int i = 0; i < n; ++i) {
      CFoundItem* item = new CFoundItem((L"file" + std::to_wstring(i) + L".txt").c_str(), L"O:\\Docs\\",
                                        L"2020-01-02  03:04", 1000 + i, 0);
      item->m_uFirstCluster = 10 + i;
      item->m_bContiguous = i & 1;
      item->SetRecoverability(i % 2 ? -1 : 90);
      frame.AppendLoadedFile(item);
    }
  }
  std::wstring File(const wchar_t* name) const { return dir + L"\\" + name; }
};

// Loads path with a reader of its kind through a fresh frame; the key of the
// message shown (empty after a complete load).
struct LoadResult {
  bool ok;
  std::wstring error;
  size_t entries;
};
LoadResult Load(CRecordingFrame& frame, const std::wstring& path) {
  frame.ClearScanResults();
  CScanResultFile file(&frame, path.c_str(), frame.StandInDialog(), nullptr);
  const int kind = CScanResultFile::ReadKind(path.c_str());
  bool ok;
  if (kind == SCAN_KIND_DEEP) ok = file.ReadDeepScanResult();
  else if (kind == SCAN_KIND_LOST_PARTITION) ok = file.ReadDiskScanResult();
  else ok = file.ReadVolumeScanResult();
  frame.PumpMessages();
  return {ok, file.LastError(), frame.Found().size() + frame.Hits().size()};
}

// A volume-layout file assembled from raw records, as another writer would.
std::string VolumeFile(char kind, const std::wstring& device, uint64_t length, const std::vector<std::string>& records,
                       bool pack = true) {
  std::string out = std::string("dsr00000") + kind;
  out.append((const char*)device.c_str(), 14);
  out.append((const char*)&length, 8);
  const uint32_t n = (uint32_t)records.size();
  out.append((const char*)&n, 4);
  LzssCodec codec;
  const std::wstring key = ScanResultKey();
  for (uint32_t i = 0; i < n; ++i) {
    std::vector<BYTE> packed(records[i].size() * 2 + 64);
    size_t size = records[i].size();
    if (pack) size = codec.Encode((const BYTE*)records[i].data(), records[i].size(), packed.data(), packed.size());
    else memcpy(packed.data(), records[i].data(), size);
    ScrambleRecord(packed.data(), size, i, key);
    const uint32_t s = (uint32_t)size;
    out.append((const char*)&s, 4);
    out.append((const char*)packed.data(), size);
  }
  return out;
}

std::string Record(const CFoundItem& item) {
  FoundItemRecord r;
  item.ToRecord(&r);
  return std::string((const char*)&r, sizeof(r));
}

uint64_t FileLength(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return 0;
  return ((uint64_t)a.nFileSizeHigh << 32) | a.nFileSizeLow;
}
}  // namespace

// ---- the codec ----------------------------------------------------------------

TEST(Lzss, RoundTripsAndPacksRecordsSmall) {
  LzssCodec codec;
  std::vector<BYTE> zeros(1588, 0), packed(15880), back(1589);
  const size_t n = codec.Encode(zeros.data(), zeros.size(), packed.data(), packed.size());
  ASSERT_GT(n, 0u);
  EXPECT_LT(n, 200u);
  EXPECT_EQ(1588u, codec.Decode(packed.data(), n, back.data(), back.size()));
  EXPECT_EQ(0, memcmp(zeros.data(), back.data(), 1588));

  CFoundItem item(L"a.jpg", L"D:\\", L"2020-01-02  03:04", 5, 0);
  const std::string rec = Record(item);
  EXPECT_LT(codec.Encode((const BYTE*)rec.data(), rec.size(), packed.data(), packed.size()), 400u);

  std::mt19937 rng(12);
  for (size_t len : {0u, 1u, 2u, 3u, 17u, 18u, 19u, 100u, 1588u, 4095u, 4096u, 4097u, 20000u}) {
    for (int pattern = 0; pattern < 3; ++pattern) {
      std::vector<BYTE> in(len);
      for (size_t i = 0; i < len; ++i)
        in[i] = pattern == 0 ? (BYTE)rng() : pattern == 1 ? (BYTE)(i % 7) : (BYTE)(rng() % 3 ? ' ' : rng());
      std::vector<BYTE> enc(LzssCodec::WorstCase(len) + 1), dec(len + 1);
      const size_t e = codec.Encode(in.data(), len, enc.data(), enc.size());
      ASSERT_LE(e, LzssCodec::WorstCase(len)) << len;
      EXPECT_EQ(len, codec.Decode(enc.data(), e, dec.data(), dec.size())) << len << " " << pattern;
      EXPECT_TRUE(std::equal(in.begin(), in.end(), dec.begin())) << len << " " << pattern;
    }
  }
  // The decoder stops at its capacity, whatever the input claims.
  std::vector<BYTE> small(10);
  EXPECT_EQ(10u, codec.Decode(packed.data(), n, small.data(), small.size()));
  // An encoding that does not fit its output gives nothing.
  EXPECT_EQ(0u, codec.Encode((const BYTE*)rec.data(), rec.size(), packed.data(), 4));
}

TEST(Lzss, ScramblingRepeatsAfterTheKeyLength) {
  const std::wstring key = L"AbC";
  BYTE a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 3, 4};
  ScrambleRecord(a, 4, 1, key);
  ScrambleRecord(b, 4, 1 + 3, key);
  EXPECT_EQ(0, memcmp(a, b, 4));
  EXPECT_EQ(1 ^ 'b', a[0]);
  EXPECT_FALSE(ScanResultKey().empty());
}

TEST(ResultFile, StoredPathsAreOnlyTheTwoForms) {
  EXPECT_TRUE(IsStoredVolumePath(L"\\\\.\\D:", 7));
  EXPECT_FALSE(IsStoredVolumePath(L"\\\\.\\1:", 7));
  EXPECT_FALSE(IsStoredVolumePath(L"\\\\?\\D:", 7));
  EXPECT_FALSE(IsStoredVolumePath(L"\\\\.\\D:x", 7));
  EXPECT_TRUE(IsStoredDiskPath(L"\\\\.\\PhysicalDrive3", 18));
  EXPECT_TRUE(IsStoredDiskPath(L"\\\\.\\PhysicalDrive3", 19));
  EXPECT_FALSE(IsStoredDiskPath(L"\\\\.\\PhysicalDriveX", 18));
  EXPECT_FALSE(IsStoredDiskPath(L"\\\\.\\PhysicalDisk03", 18));
  EXPECT_FALSE(IsStoredDiskPath(L"C:\\Windows\\x\\y\\zz", 18));
}

// ---- damaged and hostile files -------------------------------------------------

TEST(ResultFile, VolumeResultTruncatedAnywhereOrMutatedFailsCleanly) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Rig s;
  ASSERT_TRUE(s.MapVolume(L"fat16.img"));
  s.AddEntries(3);
  ScanKind = SCAN_KIND_DELETED;
  const std::wstring path = s.File(L"volume.dsr");
  {
    CScanResultFile file(&s.frame, path.c_str(), nullptr, nullptr);
    ASSERT_TRUE(file.WriteScanResult());
  }
  const std::string good = Bytes(path);
  ASSERT_GT(good.size(), 35u);
  EXPECT_EQ(0, memcmp(good.data(), "dsr000000", 9));
  LoadResult whole = Load(s.frame, path);
  ASSERT_TRUE(whole.ok) << testpaths::Narrow(whole.error);
  EXPECT_EQ(3u, whole.entries);
  EXPECT_EQ(L"file1.txt", s.frame.Found()[1]->m_strName);
  EXPECT_EQ(-1, s.frame.Found()[1]->m_nPercent);
  EXPECT_EQ(11u, s.frame.Found()[1]->m_uFirstCluster);

  const std::wstring cut = s.File(L"cut.dsr");
  for (size_t n = 0; n < good.size(); ++n) {
    ASSERT_TRUE(testpaths::WriteWholeFile(cut, good.substr(0, n)));
    const LoadResult r = Load(s.frame, cut);
    EXPECT_FALSE(r.ok) << n;
    EXPECT_TRUE(r.error == L"ReadResultDataError" || r.error == L"WrongDataFile") << n << " " << testpaths::Narrow(r.error);
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string bad = good;
    for (int k = 0; k < 1 + round % 4; ++k) bad[rng() % bad.size()] = (char)rng();
    ASSERT_TRUE(testpaths::WriteWholeFile(cut, bad));
    const LoadResult r = Load(s.frame, cut);
    if (!r.ok)
      EXPECT_TRUE(r.error == L"ReadResultDataError" || r.error == L"WrongDataFile" || r.error == L"WrongDisk" ||
                  r.error == L"ErrWhenOpenHistoryObject")
          << testpaths::Narrow(r.error);
  }
  EXPECT_FALSE(g_boxes.empty());
}

TEST(ResultFile, HostileSizesTextsAndFieldsAreRefused) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Rig s;
  ASSERT_TRUE(s.MapVolume(L"fat16.img"));
  const uint64_t length = FileLength(s.dir + L"\\fat16.img");
  const std::wstring device = L"\\\\.\\O:";
  CFoundItem item(L"a.txt", L"O:\\", L"", 3, 0);
  const std::string rec = Record(item);
  const std::wstring f = s.File(L"hostile.dsr");
  auto load = [&](const std::string& bytes) {
    EXPECT_TRUE(testpaths::WriteWholeFile(f, bytes));
    return Load(s.frame, f);
  };
  // Texts that fill their fields without a terminating zero are cut at 259.
  std::string open = rec;
  for (size_t i = 0; i < 1560; i += 2) open[i] = 'x', open[i + 1] = 0;
  LoadResult r = load(VolumeFile('3', device, length, {open}));
  ASSERT_TRUE(r.ok) << testpaths::Narrow(r.error);
  EXPECT_EQ(std::wstring(259, L'x'), s.frame.Found()[0]->m_strName);
  EXPECT_EQ(std::wstring(259, L'x'), s.frame.Found()[0]->GetPath());
  EXPECT_EQ(SCAN_KIND_RECYCLE, ScanKind);  // the stored kind is kept

  // Packed sizes of 0, past the worst case and huge; a record flag of 2.
  std::string v = VolumeFile('0', device, length, {rec, rec});
  std::string zero = v;
  memset(&zero[35], 0, 4);
  EXPECT_EQ(L"WrongDataFile", load(zero).error);
  std::string huge = v;
  memset(&huge[35], 0xFF, 4);
  EXPECT_EQ(L"WrongDataFile", load(huge).error);
  const unsigned clears = s.frame.Clears();
  EXPECT_EQ(L"WrongDataFile", load(VolumeFile('0', device, length, {rec, std::string(1800, 'z')}, false)).error);
  EXPECT_EQ(clears + 2, s.frame.Clears());  // the load's own, then the one before the message
  std::string flag = rec;
  flag[1580] = 2;
  EXPECT_EQ(L"WrongDataFile", load(VolumeFile('0', device, length, {rec, flag})).error);
  std::string count = v;
  memset(&count[31], 0xFF, 4);  // far more records than the file holds
  EXPECT_EQ(L"WrongDataFile", load(count).error);
  // A record that decodes to another length is passed over.
  r = load(VolumeFile('0', device, length, {rec, rec.substr(0, 100), rec}));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(2u, r.entries);

  // The header: kind digit, device path, volume, length.
  std::string five = v;
  five[8] = '5';
  EXPECT_EQ(L"ReadResultDataError", load(five).error);
  EXPECT_EQ(L"WrongDataFile", load(VolumeFile('0', L"\\\\?\\C:\\x", length, {rec})).error);
  EXPECT_EQ(L"ErrWhenOpenHistoryObject", load(VolumeFile('0', L"\\\\.\\Q:", length, {rec})).error);
  EXPECT_EQ(L"WrongDisk", load(VolumeFile('0', device, length + 512, {rec})).error);
}

TEST(ResultFile, LostPartitionAndDeepResultsTruncatedOrDamagedFailCleanly) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Rig s;
  ASSERT_TRUE(s.MapDisk(L"lost-mbr.img"));
  ASSERT_TRUE(s.frame.SelectDisk(kDisk));
  CPartitionScanControl* control = s.frame.GetPartitionScanControl();
  CPartitionInfo* p = control->CheckPartitionIsValid(34816, 2048);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(L"LOGNTFS", p->m_strName);
  control->AppendLostPartition(p);
  control->SetCurrentPartition(p);
  s.AddEntries(2);
  ScanKind = SCAN_KIND_LOST_PARTITION;
  const std::wstring path = s.File(L"lost.dsr");
  {
    CScanResultFile file(&s.frame, path.c_str(), nullptr, nullptr);
    ASSERT_TRUE(file.WriteScanResult());
  }
  const std::string good = Bytes(path);
  LoadResult r = Load(s.frame, path);
  ASSERT_TRUE(r.ok) << testpaths::Narrow(r.error);
  ASSERT_NE(nullptr, control->GetCurrentPartition());
  EXPECT_EQ(34816u, control->GetCurrentPartition()->m_StartSector);
  EXPECT_EQ(2048u, control->GetCurrentPartition()->m_HiddenSectors);
  EXPECT_EQ(kDisk, control->GetCurrentPartition()->m_nDiskNumber);
  EXPECT_EQ(kDisk, control->GetDiskNumber());
  EXPECT_GT(control->GetDiskLength(), 0);  // a loaded result can be saved again
  EXPECT_EQ(SCAN_KIND_LOST_PARTITION, ScanKind);

  const std::wstring cut = s.File(L"cut4.dsr");
  for (size_t n = 0; n < good.size(); n += (n < 80 ? 1 : 7)) {
    ASSERT_TRUE(testpaths::WriteWholeFile(cut, good.substr(0, n)));
    r = Load(s.frame, cut);
    EXPECT_FALSE(r.ok) << n;
    EXPECT_TRUE(r.error == L"ReadResultDataError" || r.error == L"WrongDataFile" || r.error == L"WrongDisk") << n;
  }
  // A descriptor packed size of 0, or past its worst case.
  std::string bad = good;
  memset(&bad[53], 0, 4);
  ASSERT_TRUE(testpaths::WriteWholeFile(cut, bad));
  EXPECT_EQ(L"WrongDataFile", Load(s.frame, cut).error);
  memset(&bad[53], 0x7F, 4);
  ASSERT_TRUE(testpaths::WriteWholeFile(cut, bad));
  EXPECT_EQ(L"WrongDataFile", Load(s.frame, cut).error);

  // A disk number of 10 or more has no one-digit path: refused, no file.
  s.AddEntries(1);
  s.frame.GetPartitionScanControl()->SetDisk(12, control->GetCurrentDisk());
  const std::wstring refused = s.File(L"disk12.dsr");
  g_boxes.clear();
  {
    CScanResultFile file(&s.frame, refused.c_str(), nullptr, nullptr);
    EXPECT_FALSE(file.WriteScanResult());
    EXPECT_EQ(L"NoSupportSaveDiskResult", file.LastError());
  }
  EXPECT_FALSE(Exists(refused));
  EXPECT_EQ(1u, g_boxes.size());

  // Carved hits: an image target cannot be stored; a volume one round-trips.
  ASSERT_TRUE(s.MapVolume(L"fat16.img"));
  s.frame.ClearScanResults();
  for (int i = 0; i < 3; ++i) {
    DeepScanHit* hit = new DeepScanHit();
    hit->uPluginIndex = i;
    hit->u64WindowBase = 4096;
    hit->u64Position = 512 * i;
    hit->u64Length = 1000;
    hit->uValid = 1;
    snprintf(hit->szName, sizeof(hit->szName), "File%.7d.jpg", i);
    strcpy(hit->szExtension, "jpg");
    s.frame.AppendLoadedHit(hit);
  }
  ScanKind = SCAN_KIND_DEEP;
  s.frame.GetScanDiskDlg()->SetTargetKind(SCAN_TARGET_IMAGE);
  {
    CScanResultFile file(&s.frame, refused.c_str(), nullptr, nullptr);
    EXPECT_FALSE(file.WriteDeepScanResult());
    EXPECT_EQ(L"NoSupportSaveVhdResult", file.LastError());
  }
  EXPECT_FALSE(Exists(refused));
  s.frame.GetScanDiskDlg()->SetTargetKind(SCAN_TARGET_VOLUME);
  const std::wstring deep = s.File(L"deep.dsr");
  {
    CScanResultFile file(&s.frame, deep.c_str(), nullptr, nullptr);
    ASSERT_TRUE(file.WriteDeepScanResult());
  }
  const std::string hits = Bytes(deep);
  r = Load(s.frame, deep);
  ASSERT_TRUE(r.ok) << testpaths::Narrow(r.error);
  EXPECT_EQ(3u, s.frame.Hits().size());
  EXPECT_EQ(2, s.frame.ResultFromFile());
  for (size_t n = 0; n < hits.size(); ++n) {
    ASSERT_TRUE(testpaths::WriteWholeFile(cut, hits.substr(0, n)));
    r = Load(s.frame, cut);
    EXPECT_FALSE(r.ok) << n;
  }
  // A plug-in index no plug-in can have, and a target kind above 2.
  s.frame.ClearScanResults();
  DeepScanHit* wild = new DeepScanHit();
  wild->uPluginIndex = 9999;
  wild->u64Length = 10;
  wild->uValid = 1;
  s.frame.AppendLoadedHit(wild);
  {
    CScanResultFile file(&s.frame, deep.c_str(), nullptr, nullptr);
    ASSERT_TRUE(file.WriteDeepScanResult());
  }
  EXPECT_EQ(L"WrongDataFile", Load(s.frame, deep).error);
  std::string target = hits;
  target[9] = 7;
  ASSERT_TRUE(testpaths::WriteWholeFile(cut, target));
  EXPECT_EQ(L"WrongDataFile", Load(s.frame, cut).error);
}

TEST(ResultFile, TheFramesDeviceHandleIsReplacedAndTheOldOneClosed) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Rig s;
  ASSERT_TRUE(s.MapVolume(L"fat16.img"));
  s.AddEntries(1);
  ScanKind = SCAN_KIND_DELETED;
  const std::wstring path = s.File(L"v.dsr");
  CScanResultFile(&s.frame, path.c_str(), nullptr, nullptr).WriteScanResult();
  ASSERT_TRUE(Load(s.frame, path).ok);
  const HANDLE first = s.frame.GetDeepScanDevice();
  ASSERT_NE(INVALID_HANDLE_VALUE, first);
  ASSERT_TRUE(Load(s.frame, path).ok);
  EXPECT_NE(first, s.frame.GetDeepScanDevice());
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(first, &flags));
}

// ---- the workers ----------------------------------------------------------------

TEST(SaveLoadWorkers, ProgressStopAndRefusedFiles) {
  EXPECT_EQ(500, CResultFileWorker::ProgressPerMille(5, 10));
  EXPECT_EQ(333, CResultFileWorker::ProgressPerMille(1, 3));
  EXPECT_EQ(0, CResultFileWorker::ProgressPerMille(1, 0));
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Rig s;
  ASSERT_TRUE(s.MapVolume(L"fat16.img"));
  // A file whose ninth byte is '9' never starts a worker.
  const std::wstring nine = s.File(L"nine.dsr");
  ASSERT_TRUE(testpaths::WriteWholeFile(nine, "dsr000009rest"));
  {
    CLoadDataWorker loader(&s.frame, nine.c_str());
    EXPECT_FALSE(loader.StartLoad(s.frame.StandInDialog()));
    EXPECT_FALSE(loader.IsRunning());
  }
  s.frame.PumpMessages();
  EXPECT_EQ(1u, s.frame.DialogCount(WM_CLOSE));
  ASSERT_EQ(1u, g_boxes.size());

  // A save: progress to the dialog, then it is closed; the load brings the
  // entries back and ends with the frame's refresh and done messages.
  s.AddEntries(500);
  ScanKind = SCAN_KIND_DELETED;
  const std::wstring path = s.File(L"w.dsr");
  {
    CSaveResultWorker saver(&s.frame, path.c_str());
    ASSERT_TRUE(saver.StartSave(s.frame.StandInDialog()));
    ASSERT_TRUE(saver.WaitForEnd(60000));
    EXPECT_TRUE(saver.GetResult());
  }
  s.frame.PumpMessages();
  EXPECT_EQ(2u, s.frame.DialogCount(WM_CLOSE));
  ASSERT_GE(s.frame.DialogCount(WMU_RecoverProgress), 1u);
  EXPECT_EQ(500u, (unsigned)s.frame.DialogMessages()[s.frame.DialogMessages().size() - 2].wParam);
  s.frame.ClearScanResults();
  {
    CLoadDataWorker loader(&s.frame, path.c_str());
    ASSERT_TRUE(loader.StartLoad(s.frame.StandInDialog()));
    ASSERT_TRUE(loader.WaitForEnd(60000));
    EXPECT_TRUE(loader.GetResult());
  }
  s.frame.PumpMessages();
  EXPECT_EQ(500u, s.frame.Found().size());
  EXPECT_EQ(1u, s.frame.RefreshStarts());
  ASSERT_GE(s.frame.FrameMessages().size(), 2u);
  EXPECT_EQ((UINT)WMU_SetViewMode, s.frame.FrameMessages()[0].msg);
  EXPECT_EQ((UINT)WMU_ScanDone, s.frame.FrameMessages()[1].msg);
  EXPECT_EQ(1, s.frame.FrameMessages()[1].lParam);

  // Stopped before it began: the file is deleted, nothing is said.
  g_boxes.clear();
  const std::wstring stopped = s.File(L"stopped.dsr");
  {
    CSaveResultWorker saver(&s.frame, stopped.c_str());
    saver.RequestStop();
    ASSERT_TRUE(saver.StartSave(nullptr));
    ASSERT_TRUE(saver.WaitForEnd(60000));
    EXPECT_FALSE(saver.GetResult());
  }
  EXPECT_FALSE(Exists(stopped));
  EXPECT_TRUE(g_boxes.empty());
  // A file that cannot be made is reported.
  {
    CScanResultFile file(&s.frame, (s.dir + L"\\no such folder\\x.dsr").c_str(), nullptr, nullptr);
    EXPECT_FALSE(file.WriteScanResult());
    EXPECT_EQ(L"SaveResultFailed", file.LastError());
  }
  EXPECT_EQ(1u, g_boxes.size());
}

// ---- the partition scan control --------------------------------------------------

TEST(PartitionControl, GapsFromTheTable) {
  std::vector<DiskExtent> gaps;
  std::vector<uint32_t> candidates;
  auto find = [&](std::vector<DiskExtent> extents, uint64_t disk) {
    gaps.clear();
    candidates.clear();
    SortPartitionsByStart(extents);
    CPartitionScanControl::FindTableGaps(extents, disk, gaps, candidates);
  };
  find({{2048, 1000, 63}}, 4000);
  EXPECT_TRUE(gaps.empty());
  find({{204800, 1000, 63}}, 206000);
  ASSERT_EQ(1u, gaps.size());
  EXPECT_EQ(0u, gaps[0].start);
  EXPECT_EQ(204800u, gaps[0].length);
  find({{3048 + 204799, 100, 0}, {2048, 1000, 2048}}, 500000);  // sorted first
  ASSERT_EQ(1u, gaps.size());  // 204,799 between them: none there; only the trailing one
  EXPECT_EQ(3048u + 204799 + 100, gaps[0].start);
  find({{2048, 1000, 2048}, {2048 + 1000 + 204800, 100, 0}}, 2048 + 1000 + 204800 + 100);
  ASSERT_EQ(1u, gaps.size());
  EXPECT_EQ(3048u, gaps[0].start);
  EXPECT_EQ(204800u, gaps[0].length);
  EXPECT_EQ(std::vector<uint32_t>({2048}), candidates);  // the last extent's hidden sectors are no candidate
  // Overlapping entries and entries past the disk's end make no gap.
  find({{2048, 900000, 0}, {4096, 100, 0}}, 500000);
  EXPECT_TRUE(gaps.empty());
  find({{2048, ~0ull - 100, 0}}, 5000000);
  EXPECT_TRUE(gaps.empty());
}

TEST(PartitionControl, ChecksOnePlaceAndReadsLabelsSafely) {
  NEEDS_WINE_DRIVES();
  Rig s;
  ASSERT_TRUE(s.MapDisk(L"lost-mbr.img"));
  ASSERT_TRUE(s.frame.SelectDisk(kDisk));
  CPartitionScanControl& c = *s.frame.GetPartitionScanControl();
  EXPECT_EQ(nullptr, c.ReadDiskSectors(0, 265));
  BYTE* one = c.ReadDiskSectors(0, 264);
  EXPECT_NE(nullptr, one);
  delete[] one;
  // Hidden sectors must be the boot sector's own, unless 0 is tried.
  std::unique_ptr<CPartitionInfo> primary(c.CheckPartitionIsValid(0, 18432));
  ASSERT_TRUE(primary);
  EXPECT_EQ(FS_NTFS, primary->m_nType);
  EXPECT_EQ(16384u, primary->m_SectorCount);
  EXPECT_EQ(L"MBRNTFS", primary->m_strName);
  EXPECT_EQ(kDisk, primary->m_nDiskNumber);  // where it lies
  EXPECT_EQ(nullptr, c.CheckPartitionIsValid(16384, 2048));
  std::unique_ptr<CPartitionInfo> zero(c.CheckPartitionIsValid(18432, 0));
  ASSERT_TRUE(zero);
  uint64_t boot = 0;
  EXPECT_TRUE(PartitionBootSector(*zero, &boot));
  EXPECT_EQ(18432u, boot);
  std::unique_ptr<CPartitionInfo> fat16(c.CheckPartitionIsValid(0, 2048));
  ASSERT_TRUE(fat16);
  EXPECT_EQ(FS_FAT16, fat16->m_nType);
  EXPECT_EQ(16384u, fat16->m_SectorCount);  // from the 16-bit field
  EXPECT_EQ(L"MBRFAT16", fat16->m_strName);
  EXPECT_EQ(nullptr, c.CheckPartitionIsValid(~0ull, 2048));

  // $Volume's label through its fix-ups; damaged records give no label and
  // never a read outside the record.
  BYTE* bootSector = c.ReadDiskSectors(18432, 1);
  ASSERT_NE(nullptr, bootSector);
  const uint64_t recordAt = 18432 + Le64(bootSector + 48) * bootSector[13] + 3 * 2;
  BYTE* rec = c.ReadDiskSectors(recordAt, 2);
  ASSERT_NE(nullptr, rec);
  std::vector<BYTE> original(rec, rec + 1024);
  EXPECT_EQ(L"MBRNTFS", CPartitionScanControl::VolumeLabelFromRecord(rec, 1024));
  memcpy(rec, original.data(), 1024);
  rec[510] ^= 1;  // a torn write: the sequence number no longer matches
  EXPECT_EQ(L"", CPartitionScanControl::VolumeLabelFromRecord(rec, 1024));
  std::mt19937 rng(3);
  for (int round = 0; round < 3000; ++round) {
    std::vector<BYTE> copy(original);
    for (int k = 0; k < 1 + round % 6; ++k) copy[rng() % 200] = (BYTE)rng();
    CPartitionScanControl::VolumeLabelFromRecord(copy.data(), 1024);
  }
  std::vector<BYTE> bad(bootSector, bootSector + 512);
  bad[64] = 0x40;  // 2^-64 bytes: no sane record size
  EXPECT_EQ(L"", c.ReadNtfsVolumeLabel(18432, bad.data()));
  bad[64] = 0x7F;  // 127 clusters: not a power of two
  EXPECT_EQ(L"", c.ReadNtfsVolumeLabel(18432, bad.data()));
  EXPECT_EQ(L"MBRNTFS", c.ReadNtfsVolumeLabel(18432, bootSector));
  delete[] rec;
  delete[] bootSector;
}

TEST(PartitionControl, SearchReportsEachFindAndEndsLast) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Rig s;
  ASSERT_TRUE(s.MapDisk(L"lost-gpt.img", kDisk, 34));
  ASSERT_TRUE(s.frame.SelectDisk(kDisk));
  CPartitionScanControl& c = *s.frame.GetPartitionScanControl();
  // A quick-parse record of the same volume is kept, not doubled.
  c.AppendLostPartition(c.CheckPartitionIsValid(2048, 0));
  ASSERT_TRUE(s.frame.SearchDisk(kDisk, 120000));
  const std::vector<CPartitionInfo*> found = c.GetLostPartitions();
  EXPECT_EQ(4u, found.size());            // NTFS and FAT32 both count from sector 0
  EXPECT_EQ(3u, s.frame.LostItems().size());
  EXPECT_EQ(4u, s.frame.DialogCount(WMU_LostPartitionFound));
  const auto& m = s.frame.DialogMessages();
  ASSERT_FALSE(m.empty());
  EXPECT_EQ((UINT)WMU_PartitionSearchDone, m.back().msg);
  EXPECT_FALSE(s.frame.ProgressReports().back().active);
  EXPECT_TRUE(c.IsStopRequested());
  EXPECT_TRUE(g_boxes.empty());

  // A disk held open by another program: the search says so and ends.
  devicemap::CScopedDeviceMap map2;
  const std::wstring held = s.File(L"held.img");
  ASSERT_TRUE(testpaths::CopyImage(testpaths::Fixture(L"lost-63.img"), held));
  ASSERT_TRUE(map2.PhysicalDrive(3, held));
  ASSERT_TRUE(s.frame.SelectDisk(3));
  HANDLE lock = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, lock);
  EXPECT_TRUE(s.frame.SearchDisk(3, 60000));
  CloseHandle(lock);
  EXPECT_EQ(1u, g_boxes.size());
  EXPECT_EQ(4u, c.GetLostPartitions().size());
}

TEST(PartitionControl, ScanOfAFoundPartitionPausesStopsAndEndsIdle) {
  NEEDS_WINE_DRIVES();
  Rig s;
  ASSERT_TRUE(s.MapDisk(L"lost-mbr.img"));
  ASSERT_TRUE(s.frame.SelectDisk(kDisk));
  CPartitionScanControl& c = *s.frame.GetPartitionScanControl();
  CPartitionInfo* fat32 = c.CheckPartitionIsValid(53248, 2048);
  ASSERT_NE(nullptr, fat32);
  c.AppendLostPartition(fat32);
  // When the done message arrives the control is idle already.
  bool idleAtDone = false;
  ASSERT_TRUE(c.StartPartitionScan(fat32));
  EXPECT_FALSE(c.StartPartitionScan(fat32));  // one at a time
  ASSERT_TRUE(s.frame.PumpUntil([&] {
    if (s.frame.ScanDoneCount() == 0) return false;
    idleAtDone = c.IsStopRequested() && !c.IsPaused();
    return true;
  }, 60000));
  EXPECT_TRUE(idleAtDone);
  EXPECT_EQ(5u, s.frame.Found().size());
  EXPECT_FALSE(s.frame.ProgressReports().back().active);
  EXPECT_EQ((UINT)WMU_ScanDone, s.frame.FrameMessages().back().msg);
  ASSERT_TRUE(s.frame.PumpUntil([&] { return !c.IsRunning(); }, 60000));

  // Paused at once, then stopped while paused: the worker wakes and ends.
  s.frame.ClearScanResults();
  ASSERT_TRUE(c.StartPartitionScan(fat32));
  c.PauseScan();
  c.StopSearch();
  EXPECT_FALSE(c.IsRunning());
  EXPECT_EQ(nullptr, c.GetThreadHandle());
  // After a reset the partition is forgotten and nothing can be saved.
  c.ResetScan(false);
  EXPECT_EQ(nullptr, c.GetCurrentPartition());
  EXPECT_EQ(-1, c.GetDiskLength());
  PartitionDescriptor d;
  EXPECT_FALSE(c.GetPartitionDescriptor(&d));
}

TEST(EngineText, SearchTitleTakesOnlyItsThreeConversions) {
  EXPECT_TRUE(IsFormatOfKinds(L"pass %d: %.1f%% (%d)", L"dfd"));
  EXPECT_FALSE(IsFormatOfKinds(L"pass %d: %s (%d)", L"dfd"));
  EXPECT_FALSE(IsFormatOfKinds(L"pass %d: %.1f%%", L"dfd"));
  EXPECT_FALSE(IsFormatOfKinds(L"%d %f %d %d", L"dfd"));
  EXPECT_TRUE(IsOneArgumentFormat(L"Files found: %d", L'd'));
  const std::wstring t = EngineFormatSearchTitle(2, 50.0, 3);
  EXPECT_NE(std::wstring::npos, t.find(L"2")) << testpaths::Narrow(t);
  EXPECT_NE(std::wstring::npos, t.find(L"50")) << testpaths::Narrow(t);
}

TEST(PartitionControl, WithoutADiskTheSearchOnlyEnds) {
  CRecordingFrame frame;
  CPartitionScanControl& c = *frame.GetPartitionScanControl();
  c.SetSearchDialog(frame.StandInDialog());
  ASSERT_TRUE(c.StartLostPartitionSearch());
  ASSERT_TRUE(frame.PumpUntil([&] { return frame.DialogCount(WMU_PartitionSearchDone) == 1 && !c.IsRunning(); },
                              30000));
  ASSERT_EQ(1u, frame.ProgressReports().size());
  EXPECT_FALSE(frame.ProgressReports()[0].active);
  EXPECT_EQ(0u, frame.DialogCount(WMU_LostPartitionFound));
  EXPECT_TRUE(c.GetLostPartitions().empty());
  EXPECT_FALSE(c.StartPartitionScan(nullptr));
}

namespace {
// A drive that answers ATA identify (48-bit sector count) and a geometry
// whose cylinders hold fewer sectors, as real disks do.
uint64_t g_identifySectors = 0;
BOOL WINAPI AtaDrive(HANDLE, DWORD code, LPVOID, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD ret, LPOVERLAPPED) {
  if (code == SMART_GET_VERSION && outSize >= sizeof(GETVERSIONINPARAMS)) {
    memset(out, 0, sizeof(GETVERSIONINPARAMS));
    ((GETVERSIONINPARAMS*)out)->bIDEDeviceMap = 0x0F;
    if (ret) *ret = sizeof(GETVERSIONINPARAMS);
    return TRUE;
  }
  if (code == SMART_RCV_DRIVE_DATA && inSize == 32 && outSize == 528) {
    memset(out, 0, outSize);
    WORD* words = (WORD*)((BYTE*)out + 16);
    words[0] = 1 << 6;
    words[83] = 1 << 10;
    for (int i = 0; i < 4; ++i) words[100 + i] = (WORD)(g_identifySectors >> (16 * i));
    if (ret) *ret = outSize;
    return TRUE;
  }
  if (code == IOCTL_DISK_GET_DRIVE_GEOMETRY && outSize >= sizeof(DISK_GEOMETRY)) {
    DISK_GEOMETRY* g = (DISK_GEOMETRY*)out;
    g->Cylinders.QuadPart = (LONGLONG)(g_identifySectors / 16065);
    g->TracksPerCylinder = 255;
    g->SectorsPerTrack = 63;
    g->BytesPerSector = 512;
    if (ret) *ret = sizeof(*g);
    return TRUE;
  }
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
struct HookGuard {
  ~HookGuard() { SetStorageIoControlHook(nullptr); }
};
}  // namespace

TEST(ResultFile, ADiskThatAnswersAtaIdentifyLoadsItsResultAgain) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Rig s;
  ASSERT_TRUE(s.MapDisk(L"lost-mbr.img"));
  g_identifySectors = FileLength(s.dir + L"\\lost-mbr.img") / 512;
  ASSERT_NE(0u, g_identifySectors % 16065);  // the geometry's size differs
  HookGuard guard;
  SetStorageIoControlHook(&AtaDrive);
  ASSERT_TRUE(s.frame.SelectDisk(kDisk));
  CPartitionScanControl& c = *s.frame.GetPartitionScanControl();
  EXPECT_EQ((int64_t)g_identifySectors * 512, c.GetDiskLength());
  CPartitionInfo* p = c.CheckPartitionIsValid(0, 2048);
  ASSERT_NE(nullptr, p);
  c.AppendLostPartition(p);
  c.SetCurrentPartition(p);
  s.AddEntries(2);
  ScanKind = SCAN_KIND_LOST_PARTITION;
  const std::wstring path = s.File(L"ata.dsr");
  ASSERT_TRUE(CScanResultFile(&s.frame, path.c_str(), nullptr, nullptr).WriteScanResult());
  const LoadResult r = Load(s.frame, path);
  EXPECT_TRUE(r.ok) << testpaths::Narrow(r.error);
  EXPECT_EQ(2u, r.entries);
  EXPECT_TRUE(g_boxes.empty());
}

TEST(PartitionControl, TableEntriesPastTheDiskEndAreMarked) {
  const std::wstring dir = testpaths::MakeTempDir(L"pastend");
  const std::wstring path = dir + L"\\short.img";
  ASSERT_TRUE(testpaths::CopyImage(testpaths::Fixture(L"lost-mbr.img"), path, 0, 140000 * 512));
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CPartitionTable table;
  EXPECT_EQ(1, table.ReadFromHandle(h));
  CloseHandle(h);
  ASSERT_EQ(5, table.GetCount());
  for (int i = 0; i < table.GetCount(); ++i)
    EXPECT_EQ(table.GetAt(i)->m_StartSector == 126976, table.GetAt(i)->m_bPastDiskEnd != 0) << i;
}

// A disk of 4 KiB sectors (its NTFS partition removed from the table) and a
// disk of 512-byte sectors in one process: each is searched, scanned and
// saved in its own sectors, also after a result of the first was loaded.
TEST(PartitionControl, EachDiskCountsInItsOwnSectorSize) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Rig s;
  ASSERT_TRUE(s.MapDisk(L"disk-4kn.img"));
  ASSERT_TRUE(s.MapDisk(L"lost-mbr.img", 3));
  ASSERT_TRUE(s.frame.SelectDisk(kDisk));
  CPartitionScanControl& c = *s.frame.GetPartitionScanControl();
  EXPECT_EQ(4096u, c.GetDiskSectorSize());
  ASSERT_TRUE(s.frame.SearchDisk(kDisk, 120000));
  ASSERT_EQ(1u, c.GetLostPartitions().size());
  // Its boot sector counts 16,640 hidden sectors before it: the partition
  // is taken from the disk's start, its file system at 16,640.
  CPartitionInfo* ntfs = c.FindPartitionByBootSector(16640);
  ASSERT_NE(nullptr, ntfs);
  EXPECT_EQ(16640u, ntfs->m_StartSector + ntfs->m_HiddenSectors);
  EXPECT_EQ(FS_NTFS, ntfs->m_nType);
  EXPECT_EQ(4096u, ntfs->m_uSectorSize);
  EXPECT_EQ(8192u, ntfs->m_SectorCount);
  EXPECT_EQ(L"LOST4KN", ntfs->m_strName);
  EXPECT_EQ(L"32 MB", ntfs->GetSizeText());
  EXPECT_FALSE(ntfs->m_bPastDiskEnd);

  auto scan = [&](CPartitionInfo* p) {
    s.frame.ClearScanResults();
    const unsigned int before = s.frame.ScanDoneCount();
    EXPECT_TRUE(c.StartPartitionScan(p));
    EXPECT_TRUE(s.frame.PumpUntil([&] { return s.frame.ScanDoneCount() > before && !c.IsRunning(); }, 60000));
    std::map<std::wstring, uint64_t> names;
    for (const CFoundItem* item : s.frame.Found()) names[item->m_strName] = item->m_u64Size;
    return names;
  };
  std::map<std::wstring, uint64_t> found = scan(ntfs);
  EXPECT_EQ(5000u, found[L"lost-keep.txt"]);
  EXPECT_EQ(50000u, found[L"lost-gone.bin"]);
  EXPECT_EQ(700u, found[L"lost-gone2.txt"]);

  // Saved and loaded: the partition keeps its 4 KiB sectors.
  ScanKind = SCAN_KIND_LOST_PARTITION;
  const std::wstring path = s.File(L"4kn.dsr");
  {
    CScanResultFile file(&s.frame, path.c_str(), nullptr, nullptr);
    ASSERT_TRUE(file.WriteScanResult());
  }
  const LoadResult r = Load(s.frame, path);
  ASSERT_TRUE(r.ok) << testpaths::Narrow(r.error);
  ASSERT_NE(nullptr, c.GetCurrentPartition());
  uint64_t boot = 0;
  EXPECT_TRUE(PartitionBootOffset(*c.GetCurrentPartition(), 0, &boot));
  EXPECT_EQ(16640ull * 4096, boot);
  EXPECT_EQ(4096u, c.GetSectorSize());
  EXPECT_EQ(found.size(), r.entries);

  // The disk of 512-byte sectors afterwards: read in its own.
  ASSERT_TRUE(s.frame.SelectDisk(3));
  EXPECT_EQ(512u, c.GetDiskSectorSize());
  CPartitionInfo* fat32 = c.CheckPartitionIsValid(53248, 2048);
  ASSERT_NE(nullptr, fat32);
  EXPECT_EQ(512u, fat32->m_uSectorSize);
  EXPECT_EQ(L"LOGFAT32", fat32->m_strName);
  c.AppendLostPartition(fat32);
  EXPECT_EQ(5u, scan(fat32).size());
  PartitionDescriptor d;
  ASSERT_TRUE(c.GetPartitionDescriptor(&d));
  EXPECT_EQ(512u, d.uSectorSize);
}

// The same files on a lost NTFS and a lost FAT32 partition (each filled by
// its own driver, ntfs-3g and mtools): a live file reads whole from its own
// clusters on both, so both mark it recoverable in full; the deleted note,
// whose few bytes NTFS keeps in its record, is whole there too.
TEST(PartitionControl, LiveFilesOfALostNtfsPartitionAreWholeAsOnALostFatOne) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Rig s;
  ASSERT_TRUE(s.MapDisk(L"lost-mbr.img"));
  ASSERT_TRUE(s.frame.SelectDisk(kDisk));
  CPartitionScanControl& c = *s.frame.GetPartitionScanControl();
  auto scan = [&](CPartitionInfo* p) {
    s.frame.ClearScanResults();
    c.AppendLostPartition(p);
    const unsigned int before = s.frame.ScanDoneCount();
    EXPECT_TRUE(c.StartPartitionScan(p));
    EXPECT_TRUE(s.frame.PumpUntil([&] { return s.frame.ScanDoneCount() > before && !c.IsRunning(); }, 60000));
    std::map<std::wstring, std::pair<int, bool>> found;
    for (const CFoundItem* item : s.frame.Found()) found[item->m_strName] = {item->m_nPercent, item->m_bDeleted};
    return found;
  };
  CPartitionInfo* ntfs = c.CheckPartitionIsValid(34816, 2048);
  CPartitionInfo* fat32 = c.CheckPartitionIsValid(53248, 2048);
  ASSERT_NE(nullptr, ntfs);
  ASSERT_NE(nullptr, fat32);
  ASSERT_EQ(L"LOGNTFS", ntfs->m_strName);
  ASSERT_EQ(L"LOGFAT32", fat32->m_strName);
  const auto onNtfs = scan(ntfs);
  const auto onFat = scan(fat32);
  for (const wchar_t* live : {L"readme.txt", L"numbers.txt", L"pattern.bin", L"note.txt"}) {
    ASSERT_EQ(1u, onNtfs.count(live)) << testpaths::Narrow(live);
    ASSERT_EQ(1u, onFat.count(live)) << testpaths::Narrow(live);
    EXPECT_FALSE(onNtfs.at(live).second) << testpaths::Narrow(live);
    EXPECT_FALSE(onFat.at(live).second) << testpaths::Narrow(live);
    EXPECT_EQ(100, onFat.at(live).first) << testpaths::Narrow(live);
    EXPECT_EQ(100, onNtfs.at(live).first) << testpaths::Narrow(live);
  }
  ASSERT_EQ(1u, onNtfs.count(L"gone.txt"));
  EXPECT_TRUE(onNtfs.at(L"gone.txt").second);
  EXPECT_EQ(100, onNtfs.at(L"gone.txt").first);
}
