// The scan controller and its walkers over volume images made by the real
// drivers, mapped to drive letters G: to J: (the scan tool's script uses K:
// to Q:), through the recording stand-in of the main window.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>

#include "RecordingFrame.h"
#include "common/DeviceMap.h"
#include "common/TestPaths.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Settings.h"
#include "engine/EngineText.h"
#include "engine/RecoverTarget.h"
#include "storage/DeviceIo.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"
#include "storage/fs/NTFSVolume.h"

namespace {
const std::wstring kRecycleFolder = L"S-1-5-21-1004336348-1177238915-682003330-1000";

std::string Bytes(const std::wstring& path) { return testpaths::ReadWholeFile(path); }

// A fixture image copied to a temp folder (optionally patched), mapped to a
// drive letter, and barred from writes while it is mapped: any open for
// writing fails while this read handle without write sharing is held.
struct MappedVolume {
  std::wstring path;
  std::string original;
  devicemap::CScopedDeviceMap map;
  HANDLE bar = INVALID_HANDLE_VALUE;
  bool Map(wchar_t letter, const std::wstring& fixture, std::function<void(std::string&)> patch = nullptr) {
    original = Bytes(testpaths::Fixture(fixture));
    if (original.empty()) return false;
    if (patch) patch(original);
    path = testpaths::MakeTempDir(L"scanvol") + L"\\" + fixture;
    if (!testpaths::WriteWholeFile(path, original) || !map.Volume(letter, path)) return false;
    Bar();
    return true;
  }
  void Bar() { bar = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr); }
  void Unbar() {
    if (bar != INVALID_HANDLE_VALUE) CloseHandle(bar);
    bar = INVALID_HANDLE_VALUE;
  }
  ~MappedVolume() {
    Unbar();
    EXPECT_TRUE(Bytes(path) == original || original.empty()) << "the scanned image changed";
  }
};

struct Scan {
  CRecordingFrame frame;
  CScanDiskDlg& Dlg() { return *frame.GetScanDiskDlg(); }
  CVolumeInfo* Add(wchar_t letter, bool select = true) {
    CVolumeInfo* v = frame.AddMappedVolume(letter);
    if (select) frame.SelectVolume(v);
    return v;
  }
  bool Run(int kind, const wchar_t* folder = nullptr) {
    ScanKind = kind;
    const bool started = kind == SCAN_KIND_RECYCLE ? Dlg().StartRecycleScan() : Dlg().StartScan(folder, true);
    return started && frame.WaitForScan(60000);
  }
  // Folder path + name of every entry the frame kept.
  std::set<std::wstring> Paths() const {
    std::set<std::wstring> s;
    for (const CFoundItem* f : frame.Found()) s.insert(f->GetCurrentPath() + f->m_strName);
    return s;
  }
  const CFoundItem* Find(const std::wstring& pathAndName) const {
    for (const CFoundItem* f : frame.Found())
      if (f->GetCurrentPath() + f->m_strName == pathAndName) return f;
    return nullptr;
  }
};

std::vector<std::pair<HWND, std::wstring>> g_boxes;
int RecordBox(HWND owner, const wchar_t* text, const wchar_t*, UINT, int) {
  g_boxes.push_back(std::make_pair(owner, std::wstring(text ? text : L"")));
  return IDOK;
}
struct BoxRecorder {
  MessageDlgProc old;
  BoxRecorder() : old(SetMessageDlgProc(RecordBox)) { g_boxes.clear(); }
  ~BoxRecorder() { SetMessageDlgProc(old); }
};

// ---- found entries and small helpers ------------------------------------------

TEST(FoundItem, RecordKeepsThePreviousPathAndCutsLongTexts) {
  CFoundItem item(L"photo.jpg", L"D:\\", L"2020-01-02  03:04", 1234, 0);
  EXPECT_EQ(0, item.m_nPercent);
  EXPECT_EQ(1u, item.m_bContiguous);
  EXPECT_EQ(L"D:\\", item.GetPath());
  item.SetPath(L"D:\\LostDir1\\");
  item.SetPath(L"D:\\LostDir2\\");
  EXPECT_EQ(L"D:\\LostDir1\\", item.GetPath());      // the second-to-last path is stored
  EXPECT_EQ(L"D:\\LostDir2\\", item.GetCurrentPath());
  EXPECT_EQ(L'D', item.GetDriveLetter());
  item.m_uFirstCluster = (1u << 16) | 2u;
  item.SetRecoverability(0);
  EXPECT_EQ(L"0%", item.m_strPercent);
  item.SetRecoverability(-1);
  EXPECT_EQ(EngineUIText(L"UnknowPer"), item.m_strPercent);
  EXPECT_FALSE(item.m_strPercent.empty());
  item.m_strName = std::wstring(300, L'n');
  FoundItemRecord rec;
  memset(&rec, 0xCC, sizeof(rec));
  EXPECT_EQ(0, item.ToRecord(nullptr));
  ASSERT_EQ(1, item.ToRecord(&rec));
  EXPECT_EQ(std::wstring(259, L'n'), std::wstring(rec.szName));
  EXPECT_EQ(0, rec.szName[259]);
  EXPECT_EQ(L"D:\\LostDir1\\", std::wstring(rec.szPath));
  EXPECT_EQ(0, rec.szPath[259]);  // the rest of the field is zero
  EXPECT_EQ(L"2020-01-02  03:04", std::wstring(rec.szTime));
  EXPECT_EQ(1234u, rec.u64Size);
  EXPECT_EQ(65538u, rec.uFirstCluster);
  EXPECT_EQ(-1, rec.nPercent);
  CFoundItem fresh(L"a", L"E:\\x\\", L"", 1, 7);
  FoundItemRecord r2;
  fresh.ToRecord(&r2);
  EXPECT_EQ(L"E:\\x\\", std::wstring(r2.szPath));  // no previous path: the path itself
  EXPECT_EQ(7u, r2.u64FileRef);
}

TEST(FoundItem, EntriesShareTheirFolderAndDeepPathsStayWhole) {
  // A chain of 1,024 folders of 250 characters below "K:\": 257,027 characters.
  CFolderPath::Ptr root = CFolderPath::FromText(L"K:\\");
  CFolderPath::Ptr folder = root;
  std::wstring want = L"K:\\";
  std::vector<CFolderPath::Ptr> chain;
  for (int d = 0; d < 1024; ++d) {
    const std::wstring name = std::to_wstring(d) + std::wstring(250 - std::to_wstring(d).size(), L'd');
    folder = CFolderPath::Child(folder, name);
    want += name + L"\\";
    if (d == 500) chain.push_back(folder);
  }
  ASSERT_EQ(want.size(), folder->Length());
  EXPECT_FALSE(folder->HasText());
  EXPECT_EQ(want.substr(0, 259), folder->Prefix(259));  // no whole text made for it
  EXPECT_FALSE(folder->HasText());
  // Entries of one folder share one text.
  CFoundItem a(L"a.txt", folder, L"", 1, 0), b(L"b.txt", folder, L"", 2, 0);
  EXPECT_EQ(want, a.GetCurrentPath());
  EXPECT_EQ(&a.GetCurrentPath(), &b.GetCurrentPath());
  EXPECT_EQ(want, b.GetPath());
  EXPECT_EQ(L'K', a.GetDriveLetter());
  // A folder above, made after one below it had its text: still its own path.
  EXPECT_EQ(want.substr(0, 3 + 501 * 251), chain[0]->Text());
  EXPECT_EQ(want.substr(0, 40), CFolderPath::Child(chain[0], L"x")->Prefix(40));
  FoundItemRecord rec;
  memset(&rec, 0xCC, sizeof(rec));
  ASSERT_EQ(1, a.ToRecord(&rec));
  EXPECT_EQ(want.substr(0, 259), std::wstring(rec.szPath));
  // Moved aside: the shared folder is the stored path, the new one the current.
  a.SetPath(L"K:\\LostDir\\");
  EXPECT_EQ(L"K:\\LostDir\\", a.GetCurrentPath());
  EXPECT_EQ(want, a.GetPath());
  // The last holder lets the whole chain go (one by one, no deep recursion).
  chain.clear();
  root.reset();
  std::weak_ptr<const CFolderPath> gone = folder;
  folder.reset();
  CFoundItem* c = new CFoundItem(L"c", gone.lock(), L"", 1, 0);
  EXPECT_FALSE(gone.expired());  // a and b still hold it
  delete c;
  a.SetPath(L"K:\\");
  EXPECT_FALSE(gone.expired());
}

TEST(RecoverTarget, PathsAreMeasuredInTheirLongForm) {
  // 32,763 characters: 32,767 with "\\?\", one too many with its zero.
  const std::wstring folder = L"C:\\out\\" + std::wstring(32767 - 11, L'x');
  EXPECT_TRUE(FitsSystemPath(folder.substr(0, folder.size() - 1)));
  EXPECT_FALSE(FitsSystemPath(folder));
  EXPECT_FALSE(FitsSystemPath(folder.substr(0, folder.size() - 10), kFileNameRoom));
  EXPECT_TRUE(FitsSystemPath(folder.substr(0, folder.size() - kFileNameRoom - 1), kFileNameRoom));
  // A share's long form is longer by six; one already in long form by none.
  const std::wstring share = L"\\\\srv\\s\\" + std::wstring(32767 - 14, L'y');
  EXPECT_FALSE(FitsSystemPath(share));
  EXPECT_TRUE(FitsSystemPath(share.substr(0, share.size() - 1)));
  const std::wstring longForm = L"\\\\?\\C:\\" + std::wstring(32767 - 7, L'z');
  EXPECT_TRUE(FitsSystemPath(longForm.substr(0, longForm.size() - 1)));
  EXPECT_FALSE(FitsSystemPath(longForm));
}

TEST(EngineText, BadTranslationsFallBackToTheEnglishText) {
  EXPECT_TRUE(IsOneArgumentFormat(L"Found %d files (100%%)", L'd'));
  EXPECT_TRUE(IsOneArgumentFormat(L"%-5u", L'd'));
  EXPECT_FALSE(IsOneArgumentFormat(L"Found %s files", L'd'));
  EXPECT_FALSE(IsOneArgumentFormat(L"%d of %d", L'd'));
  EXPECT_FALSE(IsOneArgumentFormat(L"no argument", L'd'));
  EXPECT_FALSE(IsOneArgumentFormat(L"%n", L'd'));
  EXPECT_FALSE(IsOneArgumentFormat(L"%99999d", L'd'));
  EXPECT_FALSE(IsOneArgumentFormat(L"left %", L's'));
  EXPECT_TRUE(IsOneArgumentFormat(L"Time left: %s", L's'));
  const std::wstring english = EngineDefaultText(L"ScanningFile");
  EXPECT_EQ(english, ValidatedFormat(L"%s%s%s%n", L"ScanningFile", L'd'));
  EXPECT_EQ(L"%d found", ValidatedFormat(L"%d found", L"ScanningFile", L'd'));
  EXPECT_EQ(EngineDefaultText(L"RemainTime"), ValidatedFormat(L"%d", L"RemainTime", L's'));
  EXPECT_NE(std::wstring::npos, EngineFormatText(L"RemainTime", L"01:02:03").find(L"01:02:03"));
  EXPECT_NE(std::wstring::npos, EngineFormatInt(L"ScanningFile", 42).find(L"42"));
}

TEST(ScanDiskDlg, PathComponentsNamesAndFileSystems) {
  const wchar_t* cursor = L"A\\\\B\"C\\";
  wchar_t out[261];
  EXPECT_EQ(1, CScanDiskDlg::NextPathComponent(cursor, out));
  EXPECT_STREQ(L"A", out);
  EXPECT_EQ(1, CScanDiskDlg::NextPathComponent(cursor, out));
  EXPECT_STREQ(L"B", out);
  EXPECT_EQ(1, CScanDiskDlg::NextPathComponent(cursor, out));
  EXPECT_EQ(0, CScanDiskDlg::NextPathComponent(cursor, out));
  std::wstring longPath(400, L'x');
  cursor = longPath.c_str();
  EXPECT_EQ(260, CScanDiskDlg::NextPathComponent(cursor, out));  // never past 260 characters
  EXPECT_EQ(0, out[260]);
  for (const wchar_t* bad : {L"a/b", L"a*", L"a?", L"<a", L"a>", L"a|b", L"a\"b"})
    EXPECT_FALSE(CScanDiskDlg::IsValidFileName(bad)) << bad;
  EXPECT_TRUE(CScanDiskDlg::IsValidFileName(L"D:\\Photos\\x.jpg"));
  EXPECT_TRUE(CScanDiskDlg::IsSupportedFileSystem(L"exFAT"));
  EXPECT_FALSE(CScanDiskDlg::IsSupportedFileSystem(L"RAW"));
  EXPECT_FALSE(CScanDiskDlg::IsSupportedFileSystem(L"NTFS "));
  EXPECT_FALSE(CScanDiskDlg::IsSupportedFileSystem(L"exfat"));
}

TEST(ScanDiskDlg, RemainingTimeIsClampedAndCappedAt99Hours) {
  EXPECT_EQ(L"00:00:10", CScanDiskDlg::RemainingTimeClock(10, 10000, 20000));
  EXPECT_EQ(L"99", CScanDiskDlg::RemainingTimeClock(3600, 1, 20000).substr(0, 2));
  EXPECT_EQ(L"00:00:00", CScanDiskDlg::RemainingTimeClock(50, 30000, 20000));  // done past the total
  EXPECT_EQ(L"99", CScanDiskDlg::RemainingTimeClock(50, -5, 20000).substr(0, 2));
  EXPECT_EQ(L"00:00:00", CScanDiskDlg::RemainingTimeClock(-7, 100, 0));
}

TEST(ScanDiskDlg, WalkProgressIsThrottledByTime) {
  CRecordingFrame frame;
  CScanDiskDlg& dlg = *frame.GetScanDiskDlg();
  dlg.BeginScanState();
  const ULONGLONG t0 = GetTickCount64();
  for (int i = 0; i < 20000; ++i) dlg.WalkProgress(i, 20000);
  const ULONGLONG spent = GetTickCount64() - t0;
  dlg.ReportProgress(0, 0, nullptr, false, true);  // the last report is never held back
  frame.PumpMessages();
  const auto& r = frame.ProgressReports();
  ASSERT_GE(r.size(), 2u);
  EXPECT_LE(r.size(), 2 + spent / CScanDiskDlg::kProgressIntervalMs + 1);
  EXPECT_FALSE(r.back().active);
  dlg.OnScanThreadExit();
}

// ---- the controller -------------------------------------------------------------

TEST(ScanController, NothingToScanEndsAtOnceWithScanDone) {
  Scan s;
  ASSERT_TRUE(s.Run(SCAN_KIND_DELETED));  // no volume selected
  EXPECT_EQ(nullptr, s.Dlg().m_hThread);
  EXPECT_EQ(1u, s.frame.ScanDoneCount());
  // A file system the walkers do not know scans nothing and still ends.
  for (const wchar_t* fs : {L"RAW", L"NTFS "}) {
    CVolumeInfo* v = new CVolumeInfo();
    v->m_strRoot = L"G:\\";
    v->m_strFileSystem = fs;
    s.frame.GetVolumeList()->Append(v);
    s.frame.SelectVolume(v);
    for (int kind : {SCAN_KIND_DELETED, SCAN_KIND_FORMATTED}) {
      s.frame.ClearResults();
      ASSERT_TRUE(s.Run(kind));
      EXPECT_TRUE(s.frame.Found().empty());
      EXPECT_EQ(1u, s.frame.ScanDoneCount());
      ASSERT_FALSE(s.frame.ProgressReports().empty());
      EXPECT_FALSE(s.frame.ProgressReports().back().active);
    }
  }
}

TEST(ScanController, AVolumeThatWillNotOpenIsSaidUnreadableAndTheScanEnds) {
  NEEDS_WINE_DRIVES();
  InitApplicationPaths();
  BoxRecorder boxes;
  Scan s;
  CVolumeInfo* v = s.Add(L'G');  // nothing behind G:
  // A file system named but not there, or none this program reads: the
  // scan ends marked unreadable (the window then offers the deep scan)
  // without a box of its own.
  for (const wchar_t* fs : {L"NTFS", L"FAT32", L"FAT", L"exFAT", L"RAW"}) {
    for (int kind : {SCAN_KIND_DELETED, SCAN_KIND_FORMATTED}) {
      v->m_strFileSystem = fs;
      s.frame.ClearResults();
      g_boxes.clear();
      ASSERT_TRUE(s.Run(kind)) << fs;
      EXPECT_TRUE(g_boxes.empty()) << fs;
      EXPECT_TRUE(s.Dlg().IsVolumeUnreadable()) << fs << " " << kind;
      // The sent report came first, the final report and WMU_ScanDone after.
      const auto& r = s.frame.ProgressReports();
      ASSERT_EQ(2u, r.size()) << fs << " " << kind;
      EXPECT_TRUE(r[0].status.empty() && !r[0].active);
      EXPECT_EQ(1u, s.frame.ScanDoneCount());
    }
  }
  // A readable volume afterwards is not.
  MappedVolume vol;
  ASSERT_TRUE(vol.Map(L'H', L"scan-fat32.img"));
  CVolumeInfo* h = s.Add(L'H');
  s.frame.SelectVolume(h);
  s.frame.ClearResults();
  ASSERT_TRUE(s.Run(SCAN_KIND_DELETED));
  EXPECT_FALSE(s.Dlg().IsVolumeUnreadable());
  EXPECT_FALSE(s.frame.Found().empty());
}

TEST(ScanController, ASecondStartIsRefusedAndAStopWhilePausedEnds) {
  NEEDS_WINE_DRIVES();
  MappedVolume vol;
  ASSERT_TRUE(vol.Map(L'G', L"scan-fat32.img"));
  Scan s;
  s.Add(L'G');
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> offered(0);
  s.frame.onFound = [&](const CFoundItem&) {
    if (++offered == 1) WaitForSingleObject(release, 30000);
  };
  ScanKind = SCAN_KIND_DELETED;
  ASSERT_TRUE(s.Dlg().StartScan(nullptr, true));
  while (offered == 0) Sleep(1);
  EXPECT_TRUE(s.Dlg().IsScanRunning());
  EXPECT_FALSE(s.Dlg().StartScan(nullptr, true));  // one scan at a time
  EXPECT_FALSE(s.Dlg().StartRecycleScan());
  s.Dlg().PauseScan();
  SetEvent(release);
  Sleep(50);  // the walker reaches its next gate and waits there
  s.Dlg().StopScan();
  ASSERT_TRUE(s.frame.WaitForScan(30000));
  EXPECT_LT((size_t)offered, 110u);  // it stopped
  ASSERT_FALSE(s.frame.ProgressReports().empty());
  EXPECT_FALSE(s.frame.ProgressReports().back().active);
  EXPECT_EQ(1u, s.frame.ScanDoneCount());
  // The ended worker's handle is given back by the next start.
  s.frame.onFound = nullptr;
  s.frame.ClearResults();
  ASSERT_TRUE(s.Run(SCAN_KIND_DELETED));
  EXPECT_EQ(110u, s.frame.Found().size());
  CloseHandle(release);
}

TEST(ScanController, EndingTheScanWaitsUntilTheWorkerHasEnded) {
  NEEDS_WINE_DRIVES();
  MappedVolume vol;
  ASSERT_TRUE(vol.Map(L'G', L"scan-fat32.img"));
  std::atomic<bool> inside(false), done(false);
  {
    Scan s;
    s.Add(L'G');
    s.frame.onFound = [&](const CFoundItem&) {
      if (inside.exchange(true)) return;
      Sleep(300);  // a slow disk
      done = true;
    };
    ScanKind = SCAN_KIND_DELETED;
    ASSERT_TRUE(s.Dlg().StartScan(nullptr, true));
    while (!inside) Sleep(1);
    s.Dlg().EndScanThread();
    EXPECT_TRUE(done);
    EXPECT_EQ(nullptr, s.Dlg().m_hThread);
    EXPECT_FALSE(s.Dlg().IsScanRunning());
  }
}

// ---- quick scans ------------------------------------------------------------------

TEST(QuickScan, FolderFiltersOnFatAndNtfs) {
  NEEDS_WINE_DRIVES();
  MappedVolume fat, ntfs;
  ASSERT_TRUE(fat.Map(L'G', L"scan-fat32.img") && ntfs.Map(L'H', L"scan-ntfs.img"));
  Scan s;
  CVolumeInfo* g = s.Add(L'G');
  ASSERT_TRUE(s.Run(SCAN_KIND_DELETED, L"G:\\keep"));
  EXPECT_EQ((std::set<std::wstring>{L"G:\\keep\\deleted in keep.txt", L"G:\\keep\\sub\\deeper\\deleted deep down.dat"}),
            s.Paths());
  // A root is no filter; a filter that is not there scans the whole volume.
  for (const wchar_t* folder : {L"G:\\", L"G:\\no such folder"}) {
    s.frame.ClearResults();
    ASSERT_TRUE(s.Run(SCAN_KIND_DELETED, folder));
    EXPECT_EQ(110u, s.frame.Found().size()) << folder;
  }
  s.frame.SelectVolume(s.Add(L'H'));
  s.frame.ClearResults();
  ASSERT_TRUE(s.Run(SCAN_KIND_DELETED, L"H:\\keep"));  // through sub-folders, at any depth
  EXPECT_EQ((std::set<std::wstring>{L"H:\\keep\\deleted in keep.txt", L"H:\\keep\\deleted empty.txt",
                                    L"H:\\keep\\with a stream.txt", L"H:\\keep\\sub\\deeper\\deleted deep down.dat"}),
            s.Paths());
  s.frame.ClearResults();
  ASSERT_TRUE(s.Run(SCAN_KIND_DELETED));
  const std::wstring lost = L"H:\\" + EngineUIText(L"LostDir") + L"\\orphaned file.bin";
  const CFoundItem* orphan = s.Find(lost);  // its folder's record now holds another folder
  ASSERT_TRUE(orphan != nullptr) << "not listed as " << lost.c_str();
  EXPECT_EQ(7000u, orphan->m_u64Size);
  const CFoundItem* resident = s.Find(L"H:\\deleted resident.txt");
  ASSERT_TRUE(resident && resident->m_u64FileRef > 15 && resident->m_nPercent == 100);
  (void)g;
}

TEST(QuickScan, PathFilterKeepsOnlyMatchingNtfsFolders) {
  NEEDS_WINE_DRIVES();
  MappedVolume ntfs;
  ASSERT_TRUE(ntfs.Map(L'H', L"scan-ntfs.img"));
  Scan s;
  s.Add(L'H');
  g_strPathFilter = L"\\tree\\branch";
  const bool ran = s.Run(SCAN_KIND_DELETED);
  g_strPathFilter.clear();
  ASSERT_TRUE(ran);
  EXPECT_EQ((std::set<std::wstring>{L"H:\\tree\\branch\\twig.bin", L"H:\\tree\\branch\\leaf\\green leaf.txt"}),
            s.Paths());
}

// Windows clears the high word of a FAT32 entry it deletes: the folder past
// cluster 65,535 is found again by its "." and ".." entries.
TEST(QuickScan, Fat32FolderWhoseHighWordWasClearedIsFound) {
  NEEDS_WINE_DRIVES();
  size_t entry = std::string::npos;
  MappedVolume vol;
  ASSERT_TRUE(vol.Map(L'G', L"scan-fat32.img", [&](std::string& img) {
    entry = img.find(std::string("\xE5IGHFO~1   \x10", 12));
    if (entry != std::string::npos) img[entry + 20] = img[entry + 21] = 0;
  }));
  ASSERT_NE(std::string::npos, entry);
  Scan s;
  s.Add(L'G');
  ASSERT_TRUE(s.Run(SCAN_KIND_DELETED));
  const CFoundItem* f = s.Find(L"G:\\high folder\\up high.txt");
  ASSERT_TRUE(f != nullptr);
  EXPECT_GT(f->m_uFirstCluster, 0xFFFFu);
  EXPECT_EQ(110u, s.frame.Found().size());
}

// ---- change journal --------------------------------------------------------------

struct FakeJournal {
  static std::vector<ULONGLONG> refs;  // what the enumeration reports, in this order
  static std::vector<DWORD> codes;     // every control code asked for
  static bool repeatForever;
  static BOOL WINAPI Io(HANDLE, DWORD code, LPVOID in, DWORD, LPVOID out, DWORD outSize, LPDWORD returned,
                        LPOVERLAPPED) {
    codes.push_back(code);
    if (code == FSCTL_QUERY_USN_JOURNAL) {
      memset(out, 0, outSize);
      ((LONGLONG*)out)[4] = 1000;  // MaxUsn
      *returned = 56;
      return TRUE;
    }
    if (code == FSCTL_ENUM_USN_DATA) {
      ULONGLONG start = *(ULONGLONG*)in;
      if (start >= refs.size() && !repeatForever) {
        SetLastError(ERROR_HANDLE_EOF);
        return FALSE;
      }
      BYTE* o = (BYTE*)out;
      DWORD at = 8;
      ULONGLONG i = repeatForever ? 0 : start;
      for (; i < refs.size() && at + 64 <= outSize && i < start + 3; ++i, at += 64) {
        memset(o + at, 0, 64);
        *(DWORD*)(o + at) = 64;                                 // record length
        *(ULONGLONG*)(o + at + 8) = refs[i] | (7ull << 48);     // file reference with a sequence number
      }
      *(ULONGLONG*)o = repeatForever ? 0 : i;  // next start
      *returned = at;
      return TRUE;
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
};
std::vector<ULONGLONG> FakeJournal::refs;
std::vector<DWORD> FakeJournal::codes;
bool FakeJournal::repeatForever = false;

TEST(UsnJournal, EnumerationIsQueriedNeverCreatedAndComesBackSorted) {
  CRecordingFrame frame;
  CScanDiskDlg& dlg = *frame.GetScanDiskDlg();
  dlg.BeginScanState();
  FakeJournal::refs = {40, 12, 99, 12, 7, 63, 5};
  FakeJournal::codes.clear();
  FakeJournal::repeatForever = false;
  StorageIoControlFn old = SetStorageIoControlHook(FakeJournal::Io);
  const std::wstring self = testpaths::Join(testpaths::BinDir(), L"engine_tests.exe");
  HANDLE h = CreateFileW(self.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  std::vector<ULONGLONG> live;
  EXPECT_TRUE(dlg.EnumUsnRecords(h, live));
  EXPECT_EQ((std::vector<ULONGLONG>{5, 7, 12, 40, 63, 99}), live);
  EXPECT_EQ(0, std::count(FakeJournal::codes.begin(), FakeJournal::codes.end(), (DWORD)FSCTL_CREATE_USN_JOURNAL));
  // A driver that hands the same page back for ever does not hold the scan.
  FakeJournal::repeatForever = true;
  EXPECT_FALSE(dlg.EnumUsnRecords(h, live));
  FakeJournal::repeatForever = false;
  EXPECT_FALSE(dlg.EnumUsnRecords(INVALID_HANDLE_VALUE, live));
  SetStorageIoControlHook(nullptr);
  // Wine answers "not supported": no journal, every record a candidate.
  EXPECT_FALSE(dlg.EnumUsnRecords(h, live));
  CloseHandle(h);
  SetStorageIoControlHook(old);
  dlg.OnScanThreadExit();
}

TEST(UsnJournal, RecordsTheJournalReportsLiveAreNotRead) {
  NEEDS_WINE_DRIVES();
  MappedVolume vol;
  ASSERT_TRUE(vol.Map(L'I', L"scan-ntfs.img"));
  const std::wstring root = testpaths::MakeTempDir(L"ntfsroot");
  ASSERT_TRUE(vol.map.DriveFolder(L'i', root));
  wchar_t fs[MAX_PATH] = {0};
  if (!GetVolumeInformationW(L"I:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, MAX_PATH) || wcscmp(fs, L"NTFS"))
    GTEST_SKIP() << "Wine does not call the drive folder NTFS here";
  Scan s;
  s.Add(L'I');
  ASSERT_TRUE(s.Run(SCAN_KIND_DELETED));
  const CFoundItem* gone = s.Find(L"I:\\deleted at the top.bin");
  ASSERT_TRUE(gone != nullptr);
  const ULONGLONG record = gone->m_u64FileRef;
  const size_t all = s.frame.Found().size();
  FakeJournal::refs = {record, 3, 1, 0};  // unsorted; the merge sorts it first
  FakeJournal::repeatForever = false;
  StorageIoControlFn old = SetStorageIoControlHook(FakeJournal::Io);
  s.frame.ClearResults();
  const bool ran = s.Run(SCAN_KIND_DELETED);
  SetStorageIoControlHook(old);
  ASSERT_TRUE(ran);
  EXPECT_EQ(all - 1, s.frame.Found().size());
  EXPECT_EQ(nullptr, s.Find(L"I:\\deleted at the top.bin"));
}

// ---- recycle bin and deep scan -------------------------------------------------------

TEST(RecycleScan, EveryVolumeFromTheFirstAndTheCountCoversThemAll) {
  NEEDS_WINE_DRIVES();
  MappedVolume a, b;
  ASSERT_TRUE(a.Map(L'G', L"scan-fat16.img") && b.Map(L'H', L"fat32.img"));
  Scan s;
  s.Add(L'G');
  s.Add(L'H', false);  // no recycle bin: passed over, not scanned whole
  ASSERT_TRUE(s.Run(SCAN_KIND_RECYCLE));
  EXPECT_EQ((std::set<std::wstring>{L"G:\\RECYCLED\\_C1.TXT"}), s.Paths());
  EXPECT_EQ(1u, s.Dlg().m_u64Found);
  EXPECT_EQ(s.Dlg().FormatScanningText(1), s.frame.ProgressReports().back().status);
  EXPECT_EQ(s.frame.GetSelectedVolume(), s.Dlg().m_pVolume);  // the selection is given back
}

struct QuietRegistry : CFormatPluginRegistry {
  void ShowLoadError() override {}
};
CFormatPluginRegistry& TestPlugins() {
  static QuietRegistry* reg = nullptr;
  if (!reg) (reg = new QuietRegistry)->LoadFrom(testpaths::Join(testpaths::BinDir(), L"enginetest"));
  return *reg;
}

// A 64-byte record of the test plug-ins (testplugins/TestPlugin.cpp).
std::string Record(const char* magic, int64_t length) {
  std::string r(64, '\0');
  memcpy(&r[0], magic, strlen(magic));
  memcpy(&r[8], &length, 8);
  return r.replace(20, 3, "tsg");
}

TEST(DeepScanStart, ImagesNeedNoVolumeAndBadUnitsFallBackTo512) {
  BoxRecorder boxes;
  std::string img(64 * 1024, '\0');
  img.replace(512 * 3, 64, Record("DLVTSIG1", 2000));  // at a 512-byte step only
  const std::wstring path = testpaths::MakeTempDir(L"deepstart") + L"\\image.raw";
  ASSERT_TRUE(testpaths::WriteWholeFile(path, img));
  const uint32_t unit = g_ConfigSetting.m_uClusterSize;
  Scan s;
  s.frame.SetRegistry(&TestPlugins());
  s.Dlg().SetTargetKind(SCAN_TARGET_IMAGE);
  s.Dlg().SetImagePath(path.c_str());
  // No format selected: the target is opened (and handed to the frame), nothing scanned.
  ASSERT_TRUE(s.Run(SCAN_KIND_DEEP));
  EXPECT_NE(INVALID_HANDLE_VALUE, s.frame.GetDeepScanDevice());
  EXPECT_TRUE(s.frame.Hits().empty());
  EXPECT_EQ(1u, s.frame.ScanDoneCount());
  s.frame.SetSelectedFormats({L"FILE_TYPE_TSIG"});
  for (uint32_t bad : {0u, 1536u}) {
    g_ConfigSetting.m_uClusterSize = bad;
    s.frame.ClearResults();
    ASSERT_TRUE(s.Run(SCAN_KIND_DEEP));
    ASSERT_EQ(1u, s.frame.Hits().size()) << bad;
    EXPECT_EQ(1536u, s.frame.Hits()[0]->GetStart());
  }
  g_ConfigSetting.m_uClusterSize = unit;
  EXPECT_TRUE(g_boxes.empty());
  // An empty image path is refused like a target that will not open.
  s.Dlg().SetImagePath(L"");
  s.frame.ClearResults();
  ASSERT_TRUE(s.Run(SCAN_KIND_DEEP));
  EXPECT_EQ(1u, g_boxes.size());
  EXPECT_TRUE(s.frame.Hits().empty());
  EXPECT_EQ(1u, s.frame.ScanDoneCount());
  // A volume target without a selected volume opens nothing.
  s.Dlg().SetTargetKind(SCAN_TARGET_VOLUME);
  wchar_t name[64];
  EXPECT_EQ(INVALID_HANDLE_VALUE, s.Dlg().OpenScanTarget(name, 64));
  EXPECT_EQ(0, name[0]);
}

// A scan range of a volume: the reader starts at its start, and nothing at
// or past its end is listed, though the engine reads whole windows.
TEST(DeepScanStart, OnlyTheChosenRangeOfAVolumeIsListed) {
  NEEDS_WINE_DRIVES();
  std::string img(1024 * 1024, '\0');
  for (size_t at = 0; at < img.size(); at += 64 * 1024) img.replace(at + 512, 64, Record("DLVTSIG1", 2000));
  const std::wstring path = testpaths::MakeTempDir(L"deeprange") + L"\\range.img";
  ASSERT_TRUE(testpaths::WriteWholeFile(path, img));
  devicemap::CScopedDeviceMap map;
  ASSERT_TRUE(map.Volume(L'J', path));
  Scan s;
  s.frame.SetRegistry(&TestPlugins());
  s.frame.SetSelectedFormats({L"FILE_TYPE_TSIG"});
  s.Add(L'J');
  s.Dlg().SetTargetKind(SCAN_TARGET_VOLUME);
  s.Dlg().SetScanRange(200 * 1024, 700 * 1024);
  ASSERT_TRUE(s.Run(SCAN_KIND_DEEP));
  std::vector<uint64_t> starts;
  for (const DeepScanHit* h : s.frame.Hits()) starts.push_back(h->GetStart());
  std::sort(starts.begin(), starts.end());
  std::vector<uint64_t> expected;
  for (uint64_t k = 4; k <= 10; ++k) expected.push_back(k * 64 * 1024 + 512);
  EXPECT_EQ(expected, starts);
  // Without a range the whole volume.
  s.Dlg().SetScanRange(0, 0);
  s.frame.ClearResults();
  ASSERT_TRUE(s.Run(SCAN_KIND_DEEP));
  EXPECT_EQ(16u, s.frame.Hits().size());
}

// ---- damaged volumes ------------------------------------------------------------------

// Runs every scan kind over the volume at letter; false when one did not end.
bool ScanAllKinds(Scan& s) {
  for (int kind : {SCAN_KIND_DELETED, SCAN_KIND_FORMATTED, SCAN_KIND_RECYCLE}) {
    s.frame.ClearResults();
    if (!s.Run(kind)) return false;
  }
  return true;
}

// Loops made of real entries: a FAT folder whose entry names its own parent,
// an NTFS folder whose parent is its own child.
TEST(DamagedVolumes, LoopingFoldersAndCyclesOfParentsEnd) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  // FAT32: keep\sub points back at keep.
  MappedVolume fat;
  ASSERT_TRUE(fat.Map(L'J', L"scan-fat32.img", [](std::string& img) {
    size_t keep = img.find(std::string("KEEP       \x10", 12));
    size_t sub = img.find(std::string("SUB        \x10", 12));
    if (keep != std::string::npos && sub != std::string::npos) img.replace(sub + 20, 2, img, keep + 20, 2),
                                                               img.replace(sub + 26, 2, img, keep + 26, 2);
  }));
  {
    Scan s;
    s.Add(L'J');
    ASSERT_TRUE(ScanAllKinds(s));
    s.frame.ClearResults();
    ASSERT_TRUE(s.Run(SCAN_KIND_DELETED));
    const std::set<std::wstring> paths = s.Paths();
    EXPECT_EQ(1u, paths.count(L"J:\\keep\\deleted in keep.txt"));
    EXPECT_EQ(paths.size(), s.frame.Found().size());  // nothing listed twice
  }
  // NTFS: keep's parent becomes keep\sub.
  const std::wstring src = testpaths::Fixture(L"scan-ntfs.img");
  CLostNTFSVolume v(src.c_str(), 0);
  ASSERT_TRUE(v.IsVolumeOK());
  ULONGLONG keep = 0, sub = 0;
  WORD subSeq = 0;
  std::vector<ULONGLONG> offsets;  // image offset of keep's $FILE_NAME parent reference
  CFileRecord rec(&v);
  for (ULONGLONG n = 16; n < v.GetRecordCount(); ++n) {
    rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_FILE_NAME));
    if (!rec.LoadRecord(n) || !rec.LoadAttributes() || !rec.IsDirectory() || rec.IsDeleted()) continue;
    wchar_t name[64];
    if (rec.GetFileName(name, 64) <= 0) continue;
    if (!wcscmp(name, L"keep")) {
      keep = n;
      const CAttrBase* fn = rec.FindFirstAttr(ATTR_TYPE_FILE_NAME);
      const BYTE* value = (const BYTE*)static_cast<const CAttrResident*>(fn)->GetBody();
      offsets.push_back(v.GetMFTAddr() + n * v.GetFileRecordSize() + (value - rec.GetBuffer()));
    }
    if (!wcscmp(name, L"sub")) {
      sub = n;
      subSeq = rec.GetSequenceNumber();
    }
  }
  ASSERT_TRUE(keep && sub && offsets.size() == 1);
  MappedVolume ntfs;
  ASSERT_TRUE(ntfs.Map(L'J', L"scan-ntfs.img", [&](std::string& img) {
    memcpy(&img[offsets[0]], &sub, 6);  // 48-bit record number and sub's sequence number
    memcpy(&img[offsets[0] + 6], &subSeq, 2);
  }));
  Scan s;
  s.Add(L'J');
  ASSERT_TRUE(ScanAllKinds(s));
  s.frame.ClearResults();
  ASSERT_TRUE(s.Run(SCAN_KIND_DELETED));
  const std::wstring lost = EngineUIText(L"LostDir");
  // keep -> sub -> keep: the chain ends at the first folder met again.
  EXPECT_TRUE(s.Find(L"J:\\" + lost + L"\\sub\\keep\\deleted in keep.txt") != nullptr);

}

// A boot sector that claims far more clusters than the device holds: the
// formatted sweep stops at the device's end.
TEST(DamagedVolumes, SweepsEndAtTheDeviceEnd) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  MappedVolume vol;
  ASSERT_TRUE(vol.Map(L'J', L"fmt-exfat.img", [](std::string& img) {
    const uint32_t clusters = 0x7FFFFFF0;  // ClusterCount at 92
    memcpy(&img[92], &clusters, 4);
  }));
  Scan s;
  s.Add(L'J');
  const ULONGLONG t0 = GetTickCount64();
  ASSERT_TRUE(s.Run(SCAN_KIND_FORMATTED));
  EXPECT_LT(GetTickCount64() - t0, 30000u);
  EXPECT_EQ(37u, s.frame.Found().size());
}

// Mutations of the metadata of every kind of volume: each scan must end, in
// bounded time, without a crash. One case per volume, so that the program's
// shards share the work.
struct DamageTarget {
  const wchar_t* fixture;
  size_t metaBytes;  // where the file-system metadata lies
  unsigned seed;
  const char* name;
};

class MutatedMetadata : public ::testing::TestWithParam<DamageTarget> {};

TEST_P(MutatedMetadata, NeverHangsOrCrashes) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;  // a damaged boot sector makes a volume that will not open
  const DamageTarget& t = GetParam();
  std::mt19937 rng(t.seed);
  {
    MappedVolume vol;
    ASSERT_TRUE(vol.Map(L'J', t.fixture));
    vol.Unbar();
    const std::string base = vol.original;
    // Bytes worth hitting: non-zero ones (entries, FATs, records) in the metadata area.
    std::vector<size_t> hot;
    for (size_t i = 0; i < std::min(base.size(), t.metaBytes); i += 4)
      if (base[i] || base[i + 1]) hot.push_back(i);
    ASSERT_FALSE(hot.empty());
    Scan s;
    s.Add(L'J');
    // Each round writes only the pages its edits changed (and the previous
    // round's back), not the whole image.
    std::string onDisk = base;
    for (int round = 0; round < 12; ++round) {
      std::string img = base;
      const int edits = 1 + (int)(rng() % 40);
      for (int e = 0; e < edits; ++e) {
        const size_t at = hot[rng() % hot.size()];
        switch (rng() % 4) {
          case 0: img[at] = (char)rng(); break;                            // any byte
          case 1: img[at] ^= (char)(1u << (rng() % 8)); break;             // a flipped bit
          case 2: { uint32_t v = (uint32_t)rng() % 64; memcpy(&img[at], &v, 4); break; }  // small cluster numbers
          default: img.replace(at, 32, base, hot[rng() % hot.size()], 32); // an entry copied elsewhere
        }
      }
      ASSERT_TRUE(testpaths::RewriteChanged(vol.path, onDisk, img));
      const ULONGLONG t0 = GetTickCount64();
      ASSERT_TRUE(ScanAllKinds(s)) << t.fixture << " round " << round;
      EXPECT_LT(GetTickCount64() - t0, 60000u) << t.fixture << " round " << round;
    }
    vol.original.clear();  // rewritten on purpose
  }
}

INSTANTIATE_TEST_SUITE_P(DamagedVolumes, MutatedMetadata,
                         ::testing::Values(DamageTarget{L"scan-fat32.img", 1 << 20, 20240610, "ScanFat32"},
                                           DamageTarget{L"scan-fat16.img", 256 << 10, 20240611, "ScanFat16"},
                                           DamageTarget{L"scan-exfat.img", 1 << 20, 20240612, "ScanExFat"},
                                           DamageTarget{L"scan-ntfs.img", 16 << 20, 20240613, "ScanNtfs"},
                                           DamageTarget{L"fmt-fat32.img", 1 << 20, 20240614, "FmtFat32"},
                                           DamageTarget{L"fmt-exfat.img", 1 << 20, 20240615, "FmtExFat"}),
                         [](const ::testing::TestParamInfo<DamageTarget>& i) { return std::string(i.param.name); });

}  // namespace
