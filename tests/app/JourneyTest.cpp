// Journeys through the main window as a new user takes them, from a fresh
// window to recovered files, over images made by the real tools and their
// answer keys:
//   W: a sparse 8 GiB image with a picture every 256 MiB (deep scan whose
//      findings come in over many intake ticks), or a letter that comes and
//      goes under a loaded result,
//   P: a FAT32 volume and Q: an exFAT volume (mkfs.fat, mkfs.exfat), each
//      mapped the way winecfg maps a drive, so that the system names the
//      host folder's file system for it, not the volume's,
//   \\.\PhysicalDrive6 the carving image as a whole disk,
//   \\.\PhysicalDrive14 and 15 two disks, each with a lost FAT volume in
//      front of the one partition its table (sfdisk) still lists, and
//   \\.\PhysicalDrive0 the first of them again, as the first disk of the
//      machine.
// Each recovers what it lists and compares the bytes.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
#include <wincrypt.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "DialogFrame.h"
#include "app/MainFrame.h"
#include "app/ResultDialogs.h"
#include "app/WindowMessages.h"
#include "common/DeviceMap.h"
#include "common/TestPaths.h"
#include "core/Language.h"
#include "core/Settings.h"
#include "engine/EngineText.h"
#include "views/PreviewHost.h"

using namespace wintest;

namespace {

// Bytes of a file at an offset (the sparse image is never read whole).
std::string ReadRange(const std::wstring& path, uint64_t offset, size_t length)
{
    std::string out(length, '\0');
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    DWORD got = 0;
    if (!SetFilePointerEx(h, at, NULL, FILE_BEGIN) || !ReadFile(h, &out[0], (DWORD)length, &got, NULL))
        got = 0;
    CloseHandle(h);
    out.resize(got);
    return out;
}

int CountFiles(const std::wstring& pattern)
{
    int n = 0;
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW(pattern.c_str(), &fd);
    if (f != INVALID_HANDLE_VALUE) {
        do
            n += (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        while (FindNextFileW(f, &fd));
        FindClose(f);
    }
    return n;
}

// Every file under a folder, by name.
void ListFiles(const std::wstring& folder, std::multimap<std::wstring, std::wstring>& out)
{
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (f == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListFiles(folder + L"\\" + name, out);
        else
            out.insert(std::make_pair(name, folder + L"\\" + name));
    } while (FindNextFileW(f, &fd));
    FindClose(f);
}

// Keeps what the result page asks the previews to show; the streams come
// from the program's own host.
class CRecordingPreview : public IPreviewHost
{
public:
    std::vector<PreviewTarget> shown;
    IPreviewHost* real = NULL;
    void ShowPreviewWindow(const PreviewTarget& t) override { shown.push_back(t); }
    int ShowMediaPlayer(const PreviewTarget& t) override
    {
        shown.push_back(t);
        return 0;
    }
    IStream* OpenEntryStream(const PreviewTarget& t, uint64_t cap) override { return real->OpenEntryStream(t, cap); }
};

// The bytes of a stream from its start.
std::string StreamBytes(IStream* stream)
{
    std::string out;
    if (!stream)
        return out;
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, NULL);
    char buf[65536];
    ULONG got = 0;
    while (SUCCEEDED(stream->Read(buf, sizeof(buf), &got)) && got > 0)
        out.append(buf, got);
    stream->Release();
    return out;
}

class JourneyTest : public CDialogFrameTest
{
protected:
    static void SetUpTestSuite()
    {
        CDialogFrameTest::SetUpTestSuite();
        s_fat32 = new devicemap::CMountedDrive;
        s_exfat = new devicemap::CMountedDrive;
        s_disk = new devicemap::CScopedDeviceMap;
        ASSERT_TRUE(
            s_fat32->Define(L'P', testpaths::MakeTempDir(L"jproot"), testpaths::Fixture(L"recover-fat32.img")));
        ASSERT_TRUE(
            s_exfat->Define(L'Q', testpaths::MakeTempDir(L"jqroot"), testpaths::Fixture(L"recover-exfat.img")));
        ASSERT_TRUE(s_disk->PhysicalDrive(6, testpaths::Fixture(L"carve.img")));
        ASSERT_TRUE(s_disk->PhysicalDrive(14, testpaths::Fixture(L"twodisk-a.raw")));
        ASSERT_TRUE(s_disk->PhysicalDrive(15, testpaths::Fixture(L"twodisk-b.raw")));
    }
    static void TearDownTestSuite()
    {
        delete s_disk;
        delete s_exfat;
        delete s_fat32;
        CDialogFrameTest::TearDownTestSuite();
    }

    // The program's own partition control: the lost partitions are real.
    PartitionScanFactory Factory() override { return NULL; }
    void Configure() override { UseScanSettings(); }

    // A deleted-file scan of a mapped FAT32 or exFAT volume: every deleted
    // file of the key is listed at its size in its folder and recovered
    // byte for byte.
    void DeletedFileJourney(wchar_t letter, const wchar_t* imageName, const wchar_t* fsName)
    {
        const std::wstring root = std::wstring(1, letter) + L":\\";
        wchar_t reported[64] = {};
        ASSERT_TRUE(GetVolumeInformationW(root.c_str(), NULL, 0, NULL, NULL, NULL, reported, 63));
        // What the system reports is not the volume's own file system, and
        // the test touches neither.
        ASSERT_NE(std::wstring(fsName), std::wstring(reported));
        CVolumeInfo* v = m_frame->GetVolumeList()->FindVolumeByLetter(letter);
        ASSERT_TRUE(v != NULL);
        EXPECT_EQ(std::wstring(fsName), v->m_strFileSystem);

        std::vector<std::vector<std::string>> want;
        for (const auto& r : ReadTsv(testpaths::Fixture(std::wstring(imageName) + L".key.tsv"), false))
            if (r.size() >= 4 && r[3] == "deleted")
                want.push_back(r);
        ASSERT_GE(want.size(), 4u);
        StartScanOf(L"RecoverDeletedFileButton", L"(" + root + L")", false);
        WaitForResults();
        EXPECT_TRUE(MessageLog::texts.empty()) << std::string(MessageLog::texts[0].begin(), MessageLog::texts[0].end());
        ASSERT_GT(m_frame->GetFoundCount(), 0u);

        // Each deleted file of the key is in the list: its folder, its size
        // and its name (a short name of FAT loses its first character).
        std::map<size_t, const CFoundItem*> listed;  // key row -> entry
        for (CListThumbElementUI* t : Tiles()) {
            const CFoundItem* item = reinterpret_cast<const CFoundItem*>(t->GetTag());
            ASSERT_TRUE(item != NULL);
            for (size_t i = 0; i < want.size(); ++i) {
                std::wstring keyPath = Wide(want[i][0]);
                std::replace(keyPath.begin(), keyPath.end(), L'/', L'\\');
                const std::wstring name = keyPath.substr(keyPath.rfind(L'\\') + 1);
                const std::wstring folder = keyPath.substr(0, keyPath.rfind(L'\\') + 1);
                if (item->m_u64Size == std::stoull(want[i][1]) && item->m_strName.size() == name.size() &&
                    item->m_strName.substr(1) == name.substr(1) &&
                    item->GetPath().find(folder.substr(1)) != std::wstring::npos)
                    listed[i] = item;
            }
        }
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_TRUE(listed.count(i)) << "not listed: " << want[i][0];
        // The type tree counts what the list holds; the folder tree holds
        // the key's folders.
        HWND typeTree = m_frame->GetTreeWindow(103);
        EXPECT_EQ((long long)m_frame->GetFoundCount(), TreeCount(typeTree, TreeView_GetRoot(typeTree)));
        EXPECT_TRUE(TreeView_GetRoot(m_frame->GetTreeWindow(101)) != NULL);

        CheckEverything(m_frame->GetFoundCount());
        ASSERT_FALSE(HasFatalFailure());
        const std::wstring out = RecoverChecked(letter == L'P' ? L"jfat32out" : L"jexfatout");
        // (The recycle bin's files come back under a folder of its own.)
        std::multimap<std::wstring, std::wstring> written;  // name -> path
        ListFiles(out, written);
        for (const auto& hit : listed) {
            std::set<std::string> sums;
            auto range = written.equal_range(hit.second->m_strName);
            for (auto it = range.first; it != range.second; ++it)
                sums.insert(FileSha256(it->second));
            EXPECT_TRUE(sums.count(want[hit.first][2])) << want[hit.first][0];
        }
    }

    static devicemap::CMountedDrive* s_fat32;
    static devicemap::CMountedDrive* s_exfat;
    static devicemap::CScopedDeviceMap* s_disk;
};
devicemap::CMountedDrive* JourneyTest::s_fat32 = NULL;
devicemap::CMountedDrive* JourneyTest::s_exfat = NULL;
devicemap::CScopedDeviceMap* JourneyTest::s_disk = NULL;

}  // namespace

// The first thing after the start: a deep scan of a whole disk (its row on
// the disk page, no volume chosen before) finds every whole picture of the
// carving key and recovers each byte for byte.
TEST_F(JourneyTest, WholeDiskDeepScanRightAfterTheStartFindsAndRecoversTheCarvingKey)
{
    std::vector<std::vector<std::string>> whole;
    for (const auto& r : ReadTsv(testpaths::Fixture(L"carve.tsv"), true))
        if (r.size() >= 6 && r[3] == "1" && r[4] == "1")
            whole.push_back(r);
    ASSERT_GE(whole.size(), 15u);
    StartScanOf(L"DeepReocverButton", L"HD6:", false);
    WaitForResults();
    EXPECT_EQ(SCAN_TARGET_DISK, m_frame->GetScanDiskDlg()->GetTargetKind());
    EXPECT_EQ(6, m_frame->GetScanDiskDlg()->GetDiskNumber());

    std::map<std::pair<uint64_t, uint64_t>, const DeepScanHit*> hits;
    for (CListThumbElementUI* t : Tiles()) {
        const DeepScanHit* hit = reinterpret_cast<const DeepScanHit*>(t->GetTag());
        ASSERT_TRUE(hit != NULL);
        hits[std::make_pair(hit->GetStart(), hit->u64Length)] = hit;
    }
    for (const auto& r : whole)
        EXPECT_TRUE(hits.count(std::make_pair(std::stoull(r[0]), std::stoull(r[1])))) << r[6] << " at " << r[0];
    HWND typeTree = m_frame->GetTreeWindow(103);
    EXPECT_EQ((long long)hits.size(), TreeCount(typeTree, TreeView_GetRoot(typeTree)));

    CheckEverything(m_frame->GetFoundCount());
    ASSERT_FALSE(HasFatalFailure());
    const std::wstring out = RecoverChecked(L"jdiskout");
    for (const auto& r : whole) {
        const DeepScanHit* hit = hits[std::make_pair(std::stoull(r[0]), std::stoull(r[1]))];
        if (!hit)
            continue;
        EXPECT_EQ(r[5], FileSha256(out + L"\\" + Wide(hit->szExtension) + L"\\" + Wide(hit->szName))) << r[0];
    }

    // Saved, Home, loaded again: the same hits, and the pictures of the
    // tiles in view are made.
    static std::wstring s_saved;
    s_saved = testpaths::MakeTempDir(L"jdisksaved") + L"\\disk.dsr";
    GetResultDialogs().ChooseSaveFile = [](HWND, const wchar_t*, const wchar_t*, std::wstring& path) {
        path = s_saved;
        return true;
    };
    GetResultDialogs().ChooseOpenFile = [](HWND, const wchar_t*, const wchar_t*, std::wstring& path) {
        path = s_saved;
        return true;
    };
    const size_t found = m_frame->GetFoundCount();
    const std::wstring saved = MessageText(L"SaveResultOk");
    MessageLog::texts.clear();
    ASSERT_TRUE(gui::Click(pm(), L"SaveScanResultButton"));
    ASSERT_TRUE(gui::PumpUntil(
        [&] { return std::find(MessageLog::texts.begin(), MessageLog::texts.end(), saved) != MessageLog::texts.end(); }));
    ClickAndWaitForPage(L"btnHome", 0);
    ASSERT_TRUE(gui::Click(pm(), L"LoadPrevScanButton"));
    ASSERT_TRUE(gui::PumpUntil(
        [&] {
            return m_frame->GetCurrentPage() == 4 && !m_frame->IsRefreshTimerRunning() &&
                   m_frame->GetResultList()->GetCount() == (int)found;
        },
        60000));
    ASSERT_TRUE(gui::Click(pm(), L"optThumbView"));
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetResultList()->IsTileMode(); }));
    auto pictured = [&] {
        int n = 0;
        for (CListThumbElementUI* t : Tiles())
            n += t->GetState() == THUMB_BITMAP && t->HasThumbnail();
        return n;
    };
    EXPECT_TRUE(gui::PumpUntil([&] { return pictured() >= 8 && m_frame->IsThumbnailWorkerIdle(); }, 60000))
        << pictured() << " pictures";
    g_ConfigSetting.m_nViewMode = 1;
}

// A volume whose first sector holds no file system (the carving image as a
// drive): the deleted-file scan ends with the question whether to scan it
// deeply. Answered yes, the deep scan gets the page a deep scan from the
// home page gets: its hits in the type tree, shown; "Select all" ticks
// every one; and every whole picture of the key comes back byte for byte.
TEST_F(JourneyTest, TheDeepScanOfferedForAnUnreadableVolumeFillsAWorkingResultPage)
{
    std::vector<std::vector<std::string>> whole;
    for (const auto& r : ReadTsv(testpaths::Fixture(L"carve.tsv"), true))
        if (r.size() >= 6 && r[3] == "1" && r[4] == "1")
            whole.push_back(r);
    ASSERT_GE(whole.size(), 15u);
    devicemap::CMountedDrive unreadable;
    ASSERT_TRUE(unreadable.Define(L'V', testpaths::MakeTempDir(L"jvroot"), testpaths::Fixture(L"carve.img")));
    AnnounceVolume(L'V');
    ASSERT_FALSE(HasFatalFailure());
    // The question comes as soon as the scan ends, which may be before the
    // page shows: it is answered yes.
    MessageLog::answer = 6;
    StartScanOf(L"RecoverDeletedFileButton", L"(V:\\)", false);
    ASSERT_FALSE(HasFatalFailure());
    const std::wstring question = MessageText(L"VolumeUnreadable");
    ASSERT_FALSE(question.empty());
    ASSERT_TRUE(gui::PumpUntil(
        [&] {
            return std::find(MessageLog::texts.begin(), MessageLog::texts.end(), question) != MessageLog::texts.end();
        },
        120000));
    MessageLog::answer = 7;
    ASSERT_EQ(SCAN_KIND_DEEP, ScanKind);
    WaitForResults();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(4, m_frame->GetCurrentPage());

    std::map<std::pair<uint64_t, uint64_t>, const DeepScanHit*> hits;
    for (CListThumbElementUI* t : Tiles()) {
        const DeepScanHit* hit = reinterpret_cast<const DeepScanHit*>(t->GetTag());
        ASSERT_TRUE(hit != NULL);
        hits[std::make_pair(hit->GetStart(), hit->u64Length)] = hit;
    }
    for (const auto& r : whole)
        EXPECT_TRUE(hits.count(std::make_pair(std::stoull(r[0]), std::stoull(r[1])))) << r[6] << " at " << r[0];
    // The type tree is the one shown, and it holds every hit.
    HWND typeTree = m_frame->GetTreeWindow(103);
    EXPECT_TRUE(IsWindowVisible(typeTree));
    EXPECT_FALSE(IsWindowVisible(m_frame->GetTreeWindow(101)));
    EXPECT_EQ((long long)hits.size(), TreeCount(typeTree, TreeView_GetRoot(typeTree)));
    EXPECT_TRUE(gui::IsSelected(pm(), L"optTypeFilter"));

    // "Select all", as the user finds it on the page.
    const size_t found = m_frame->GetFoundCount();
    ASSERT_GT(found, 0u);
    ASSERT_TRUE(gui::Click(pm(), L"checkSelectAll"));
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCheckedCount() == found; }))
        << m_frame->GetCheckedCount() << " of " << found << " ticked";
    const std::wstring out = RecoverChecked(L"junreadout");
    EXPECT_EQ(MessageLog::texts.end(), std::find(MessageLog::texts.begin(), MessageLog::texts.end(),
                                                 MessageText(L"SelectRecoverFile")));
    for (const auto& r : whole) {
        const DeepScanHit* hit = hits[std::make_pair(std::stoull(r[0]), std::stoull(r[1]))];
        if (!hit)
            continue;
        EXPECT_EQ(r[5], FileSha256(out + L"\\" + Wide(hit->szExtension) + L"\\" + Wide(hit->szName))) << r[0];
    }
    ClickAndWaitForPage(L"btnHome", 0);
}

// FAT32 and exFAT volumes that the system names after their host folder
// are read as what their boot sectors say: a deleted-file scan from the
// home page lists the key's deleted files and recovers them.
TEST_F(JourneyTest, AFat32VolumeNamedOtherwiseByTheSystemIsScannedAsFat32)
{
    DeletedFileJourney(L'P', L"recover-fat32.img", L"FAT32");
}

TEST_F(JourneyTest, AnExFatVolumeNamedOtherwiseByTheSystemIsScannedAsExFat)
{
    DeletedFileJourney(L'Q', L"recover-exfat.img", L"exFAT");
}

// A deep scan whose pictures lie hundreds of MiB apart: findings arrive
// while the intake has already taken everything before them, again and
// again (the scan is paused until the list has caught up, then resumed).
// The list, the type tree and the counts end equal to the key, and every
// picture comes back byte for byte.
TEST_F(JourneyTest, FindingsThatArriveOverManyIntakeTicksAllReachTheListAndTheTrees)
{
    const std::wstring image = testpaths::Fixture(L"sparse-deep.raw");
    const auto key = ReadTsv(testpaths::Fixture(L"sparse-deep.tsv"), true);
    ASSERT_EQ(32u, key.size());
    // Mapped by the mount manager, which this window lists at once.
    devicemap::CMountedDrive sparse;
    ASSERT_TRUE(sparse.Define(L'W', testpaths::MakeTempDir(L"jwroot"), image));
    AnnounceVolume(L'W');
    ASSERT_FALSE(HasFatalFailure());
    StartScanOf(L"DeepReocverButton", L"(W:\\)", true);
    CScanDiskDlg* dlg = m_frame->GetScanDiskDlg();

    // Caught up, then more: twelve times (each round waits for a tick of
    // the intake), then the rest at the scan's own pace.
    int rounds = 0;
    while (dlg->IsScanRunning() && rounds < 12) {
        const size_t before = m_frame->GetFoundCount();
        ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetFoundCount() > before || !dlg->IsScanRunning(); }, 240000));
        if (!dlg->IsScanRunning())
            break;
        ASSERT_TRUE(gui::Click(pm(), L"btnPause"));
        ASSERT_TRUE(gui::PumpUntil([&] { return dlg->IsPaused(); }));
        // The intake takes all that was handed over.
        ASSERT_TRUE(gui::PumpUntil(
            [&] { return m_frame->GetResultList()->GetCount() == (int)m_frame->GetFoundCount(); }, 30000))
            << "after " << rounds << " rounds: " << m_frame->GetResultList()->GetCount() << " of "
            << m_frame->GetFoundCount();
        ++rounds;
        ASSERT_TRUE(gui::Click(pm(), L"btnResume"));
        ASSERT_TRUE(gui::PumpUntil([&] { return !dlg->IsPaused(); }));
    }
    EXPECT_GE(rounds, 10);
    WaitForResults();
    ASSERT_EQ(key.size(), m_frame->GetFoundCount());

    std::set<std::tuple<uint64_t, uint64_t, std::string>> want, got;
    for (const auto& r : key)
        want.insert(std::make_tuple(std::stoull(r[0]), std::stoull(r[1]), r[2]));
    std::vector<const DeepScanHit*> hits;
    for (CListThumbElementUI* t : Tiles()) {
        const DeepScanHit* hit = reinterpret_cast<const DeepScanHit*>(t->GetTag());
        ASSERT_TRUE(hit != NULL);
        hits.push_back(hit);
        got.insert(std::make_tuple(hit->GetStart(), hit->u64Length, std::string(hit->szExtension)));
    }
    EXPECT_EQ(want, got);
    HWND typeTree = m_frame->GetTreeWindow(103);
    EXPECT_EQ((long long)key.size(), TreeCount(typeTree, TreeView_GetRoot(typeTree)));
    // The title counts what the intake moved.
    EXPECT_EQ(EngineFormatInt(L"ScanningFile", (int)key.size()),
              std::wstring(gui::Find(pm(), L"ScanTitle")->GetText().GetData()));
    // The status line counts the checked entries: all of them.
    CheckEverything(key.size());
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_NE(std::wstring::npos, std::wstring(gui::Find(pm(), L"BottomStatus")->GetText().GetData())
                                      .find(std::to_wstring(key.size())));
    gui::SaveScreenshot(m_hwnd, L"journey_sparse_deep");

    const std::wstring out = RecoverChecked(L"jsparseout");
    int same = 0;
    for (const DeepScanHit* h : hits) {
        const std::string bytes =
            testpaths::ReadWholeFile(out + L"\\" + Wide(h->szExtension) + L"\\" + Wide(h->szName));
        same += !bytes.empty() && bytes == ReadRange(image, h->GetStart(), (size_t)h->u64Length);
    }
    EXPECT_EQ((int)key.size(), same);
    EXPECT_EQ((int)key.size(), CountFiles(out + L"\\jpg\\*") + CountFiles(out + L"\\gif\\*") +
                                   CountFiles(out + L"\\bmp\\*"));
}

// Two disks, each with a lost partition that the quick parse finds: each
// row says its disk, and the partition's files are scanned, listed and
// recovered from that disk, whichever disk the enumeration read last. The
// first disk's first, then, from the home page, the second's.
TEST_F(JourneyTest, ALostPartitionOfEachOfTwoDisksIsScannedAndRecoveredFromItsOwnDisk)
{
    const struct
    {
        int disk;
        const wchar_t* label;
        const wchar_t* key;
        const wchar_t* out;
    } disks[2] = {{14, L"MBRFAT16", L"twodisk-a.tsv", L"jlostaout"}, {15, L"OLDFAT32", L"twodisk-b.tsv", L"jlostbout"}};
    for (const auto& d : disks) {
        SCOPED_TRACE(d.disk);
        const auto key = ReadTsv(testpaths::Fixture(d.key), true);
        ASSERT_EQ(5u, key.size());
        if (m_frame->GetCurrentPage() == 4)
            ClickAndWaitForPage(L"btnHome", 0);
        if (m_frame->GetUiMode() != 1)
            ClickAndWaitForPage(L"btnProMode", 0);
        ClickAndWaitForPage(L"PartitionLostButton", 1);
        DuiLib::CListUI* lost = List(L"listLostDisk");
        const std::wstring rowText = L"HD" + std::to_wstring(d.disk) + L": " + d.label + L" (*:\\)";
        int row = -1;
        ASSERT_TRUE(gui::PumpUntil([&] {
            for (int i = 0; i < lost->GetCount() && row < 0; ++i) {
                CControlUI* c = pm().FindSubControlByName(lost->GetItemAt(i), L"diskName");
                if (c && rowText == c->GetText().GetData())
                    row = i;
            }
            return row >= 0;
        })) << "no row " << std::string(rowText.begin(), rowText.end());
        ASSERT_TRUE(gui::Click(pm(), lost->GetItemAt(row)));
        ASSERT_TRUE(gui::PumpUntil([&] { return lost->GetCurSel() == row; }));
        ClickAndWaitForPage(L"btnNext", 3);
        MessageLog::texts.clear();
        ClickAndWaitForPage(L"btnNext", 4);
        EXPECT_EQ(SCAN_KIND_LOST_PARTITION, ScanKind);
        ASSERT_TRUE(gui::PumpUntil(
            [&] {
                return !m_frame->IsRefreshTimerRunning() && gui::Find(pm(), L"btnHome")->IsEnabled() &&
                       m_frame->GetResultList()->GetCount() == (int)m_frame->GetFoundCount();
            },
            120000));
        EXPECT_TRUE(MessageLog::texts.empty()) << std::string(MessageLog::texts[0].begin(), MessageLog::texts[0].end());

        // The key's files, at their sizes in their folders.
        std::map<std::wstring, const CFoundItem*> byName;
        for (CListThumbElementUI* t : Tiles()) {
            const CFoundItem* item = reinterpret_cast<const CFoundItem*>(t->GetTag());
            ASSERT_TRUE(item != NULL);
            byName[item->m_strName] = item;
        }
        for (const auto& r : key) {
            const std::wstring path = Wide(r[0]);
            const std::wstring name = path.substr(path.rfind(L'\\') + 1);
            auto it = byName.find(name);
            ASSERT_TRUE(it != byName.end()) << r[0];
            EXPECT_EQ(std::stoull(r[1]), it->second->m_u64Size) << r[0];
            const std::wstring folder = path.substr(0, path.rfind(L'\\') + 1);
            EXPECT_NE(std::wstring::npos, it->second->GetPath().find(folder)) << r[0];
        }

        // Recovered byte for byte, as The Sleuth Kit reads them.
        CheckEverything(m_frame->GetFoundCount());
        ASSERT_FALSE(HasFatalFailure());
        const std::wstring out = RecoverChecked(d.out);
        std::multimap<std::wstring, std::wstring> written;
        ListFiles(out, written);
        for (const auto& r : key) {
            const std::wstring path = Wide(r[0]);
            std::set<std::string> sums;
            auto range = written.equal_range(path.substr(path.rfind(L'\\') + 1));
            for (auto it = range.first; it != range.second; ++it)
                sums.insert(FileSha256(it->second));
            EXPECT_TRUE(sums.count(r[2])) << r[0];
        }
    }
}

// One job after another from the home page: an image's deep scan, then a
// volume's deleted files, whose result saves (no image result is refused),
// then a job whose filter hides the volume chosen before (it is not taken:
// the user is asked for a disk). The saved result loaded again while a
// drive letter comes and goes: the disk list waits until Home, so the
// result's volume stays and its files come back byte for byte.
TEST_F(JourneyTest, EachJobStartsAfreshAndALoadedResultKeepsItsVolumeWhileADriveComesAndGoes)
{
    static std::wstring s_file;
    GetResultDialogs().ChooseOpenFile = [](HWND, const wchar_t*, const wchar_t*, std::wstring& path) {
        path = s_file;
        return true;
    };
    GetResultDialogs().ChooseSaveFile = [](HWND, const wchar_t*, const wchar_t*, std::wstring& path) {
        path = s_file;
        return true;
    };
    auto shown = [&](const wchar_t* key) {
        const std::wstring text = MessageText(key);
        return std::find(MessageLog::texts.begin(), MessageLog::texts.end(), text) != MessageLog::texts.end();
    };

    // 1. A disk image, deep-scanned.
    s_file = testpaths::Fixture(L"carve.img");
    ClickAndWaitForPage(L"btnProMode", 0);
    ClickAndWaitForPage(L"DeepReocverButton", 1);
    ASSERT_TRUE(gui::Click(pm(), L"btnLoadVHD"));
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCurrentPage() == 3; }));
    ClickAndWaitForPage(L"btnNext", 4);
    WaitForResults();
    EXPECT_EQ(SCAN_TARGET_IMAGE, m_frame->GetScanDiskDlg()->GetTargetKind());
    EXPECT_GE(m_frame->GetFoundCount(), 15u);

    // 2. Home, and the deleted files of a volume: its result saves.
    ClickAndWaitForPage(L"btnHome", 0);
    EXPECT_TRUE(m_frame->GetScanDiskDlg()->GetImagePath() == NULL);
    EXPECT_NE(SCAN_TARGET_IMAGE, m_frame->GetScanDiskDlg()->GetTargetKind());
    StartScanOf(L"RecoverDeletedFileButton", L"(P:\\)", false);
    WaitForResults();
    const size_t found = m_frame->GetFoundCount();
    ASSERT_GT(found, 4u);
    s_file = testpaths::MakeTempDir(L"jsaved") + L"\\p.dsr";
    MessageLog::texts.clear();
    ASSERT_TRUE(gui::Click(pm(), L"SaveScanResultButton"));
    ASSERT_TRUE(gui::PumpUntil([&] { return shown(L"SaveResultOk") || shown(L"NoSupportSaveVhdResult"); }));
    EXPECT_TRUE(shown(L"SaveResultOk"));

    // 3. Home, and the removable-disk job: the fixed volume chosen before is
    //    hidden, and not taken.
    ClickAndWaitForPage(L"btnHome", 0);
    ClickAndWaitForPage(L"RecoverUButton", 1);
    MessageLog::texts.clear();
    ASSERT_TRUE(gui::Click(pm(), L"btnNext"));
    ASSERT_TRUE(gui::PumpUntil([&] { return shown(L"SelectDisk"); }));
    EXPECT_EQ(1, m_frame->GetCurrentPage());
    ClickAndWaitForPage(L"btnBack", 0);

    // 4. The saved result loaded from the home page.
    MessageLog::texts.clear();
    ASSERT_TRUE(gui::Click(pm(), L"LoadPrevScanButton"));
    ASSERT_TRUE(gui::PumpUntil(
        [&] {
            return m_frame->GetCurrentPage() == 4 && !m_frame->IsRefreshTimerRunning() &&
                   m_frame->GetResultList()->GetCount() == (int)found;
        },
        60000))
        << "page " << m_frame->GetCurrentPage() << ", " << m_frame->GetResultList()->GetCount() << " of " << found
        << (MessageLog::texts.empty() ? std::string(", no box")
                                      : ", " + std::string(MessageLog::texts.back().begin(), MessageLog::texts.back().end()));
    CVolumeInfo* volume = m_frame->GetVolumeList()->FindVolumeByLetter(L'P');
    ASSERT_TRUE(volume != NULL);
    EXPECT_EQ(volume, m_frame->GetSelectedVolume());

    // 5. A drive letter comes: the enumeration it starts waits.
    const std::vector<std::vector<std::string>> key = ReadTsv(testpaths::Fixture(L"recover-fat32.img.key.tsv"), false);
    {
        devicemap::CMountedDrive drive;
        ASSERT_TRUE(drive.Define(L'W', testpaths::MakeTempDir(L"jcomes"), testpaths::Fixture(L"fat16.img")));
        DEV_BROADCAST_HDR arrival = {sizeof(arrival), DBT_DEVTYP_VOLUME, 0};
        SendMessageW(m_hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&arrival);
        ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->IsDiskEnumHeld(); }));
        CheckEverything(found);
        ASSERT_FALSE(HasFatalFailure());
        const std::wstring out = RecoverChecked(L"jloadedout");
        std::multimap<std::wstring, std::wstring> written;
        ListFiles(out, written);
        int same = 0, deleted = 0;
        for (const auto& r : key) {
            if (r.size() < 4 || r[3] != "deleted")
                continue;
            ++deleted;
            const std::wstring path = Wide(r[0]);
            // A deleted short name of FAT loses its first letter.
            const std::wstring name = path.substr(path.rfind(L'/') + 1);
            bool ok = false;
            for (auto it = written.begin(); it != written.end() && !ok; ++it)
                ok = it->first.size() == name.size() && _wcsicmp(it->first.c_str() + 1, name.c_str() + 1) == 0 &&
                     FileSha256(it->second) == r[2];
            same += ok;
            EXPECT_TRUE(ok) << r[0];
        }
        EXPECT_EQ(deleted, same);
        EXPECT_GE(same, 6);
    }
    // ... and goes again.
    DEV_BROADCAST_HDR removal = {sizeof(removal), DBT_DEVTYP_VOLUME, 0};
    SendMessageW(m_hwnd, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, (LPARAM)&removal);
    gui::PumpPending();
    EXPECT_TRUE(m_frame->IsDiskEnumHeld());
    EXPECT_EQ(volume, m_frame->GetVolumeList()->FindVolumeByLetter(L'P'));
    EXPECT_EQ(volume, m_frame->GetSelectedVolume());

    // 6. Home: the disk list catches up.
    ClickAndWaitForPage(L"btnHome", 0);
    ASSERT_TRUE(gui::PumpUntil([&] { return !m_frame->IsDiskEnumRunning(); }, 60000));
    EXPECT_TRUE(m_frame->GetVolumeList()->FindVolumeByLetter(L'P') != NULL);
    EXPECT_TRUE(m_frame->GetVolumeList()->FindVolumeByLetter(L'W') == NULL);
}

// The recycle-bin job walks every volume: the deleted file in the recycle
// bin of the FAT32 volume and the one of the exFAT volume are each
// previewed from their own volume and recovered byte for byte.
TEST_F(JourneyTest, RecycleBinEntriesOfTwoVolumesArePreviewedAndRecoveredFromTheirOwnVolumes)
{
    std::map<wchar_t, std::string> want;  // drive letter -> sha256 of its recycled file
    for (const auto& r : ReadTsv(testpaths::Fixture(L"recover-fat32.img.key.tsv"), false))
        if (r[0].find("$RECYCLE.BIN") != std::string::npos)
            want[L'P'] = r[2];
    for (const auto& r : ReadTsv(testpaths::Fixture(L"recover-exfat.img.key.tsv"), false))
        if (r[0].find("$RECYCLE.BIN") != std::string::npos)
            want[L'Q'] = r[2];
    ASSERT_EQ(2u, want.size());
    ASSERT_NE(want[L'P'], want[L'Q']);
    ClickAndWaitForPage(L"btnProMode", 0);
    ClickAndWaitForPage(L"RecoverRecycleButton", 3);
    MessageLog::texts.clear();
    ClickAndWaitForPage(L"btnNext", 4);
    EXPECT_EQ(SCAN_KIND_RECYCLE, ScanKind);
    WaitForResults();

    // The recycled file of each volume, by its drive letter and size.
    std::map<wchar_t, int> rowOf;
    std::vector<CListThumbElementUI*> tiles = Tiles();
    for (size_t i = 0; i < tiles.size(); ++i) {
        const CFoundItem* item = reinterpret_cast<const CFoundItem*>(tiles[i]->GetTag());
        ASSERT_TRUE(item != NULL);
        const wchar_t letter = (wchar_t)towupper(item->GetDriveLetter());
        if (want.count(letter) && item->m_u64Size == 2000 && item->m_strName.size() == 12 &&
            _wcsicmp(item->m_strName.c_str() + 1, L"RABC123.txt") == 0)
            rowOf[letter] = (int)i;
    }
    ASSERT_EQ(2u, rowOf.size());

    // Opened from the list: each preview reads its own volume.
    CRecordingPreview previews;
    previews.real = SetPreviewHost(&previews);
    for (const auto& r : rowOf) {
        m_frame->GetResultList()->SelectItem(r.second, false, false);
        previews.shown.clear();
        PostMessageW(m_hwnd, WMU_PreviewSelected, 0, 0);
        EXPECT_TRUE(gui::PumpUntil([&] { return !previews.shown.empty(); }));
        if (previews.shown.empty())
            continue;
        const PreviewTarget& t = previews.shown[0];
        ASSERT_TRUE(t.volume != NULL);
        EXPECT_EQ(r.first, (wchar_t)towupper(t.volume->m_strRoot[0]));
        EXPECT_EQ(want[r.first], Sha256(StreamBytes(previews.real->OpenEntryStream(t, 1 << 20)))) << (char)r.first;
    }
    SetPreviewHost(previews.real);

    // Recovered: both files, each with its own bytes.
    CheckEverything(m_frame->GetFoundCount());
    ASSERT_FALSE(HasFatalFailure());
    const std::wstring out = RecoverChecked(L"jrecycleout");
    std::multimap<std::wstring, std::wstring> written;
    ListFiles(out, written);
    std::set<std::string> sums;
    for (const auto& w : written)
        if (w.first.size() == 12 && _wcsicmp(w.first.c_str() + 1, L"RABC123.txt") == 0)
            sums.insert(FileSha256(w.second));
    EXPECT_TRUE(sums.count(want[L'P']));
    EXPECT_TRUE(sums.count(want[L'Q']));
}

namespace {

// A node of a folder tree: its path built from the labels ("\" is a lost
// partition's root, "X:" a drive), its label and its check box.
struct FolderNode
{
    std::wstring path;
    std::wstring label;
    bool checked;
    HTREEITEM item;
    HTREEITEM parent;
};

void WalkFolderTree(HWND tree, HTREEITEM first, HTREEITEM parent, const std::wstring& above,
                    std::vector<FolderNode>& out)
{
    for (HTREEITEM item = first; item; item = TreeView_GetNextSibling(tree, item)) {
        wchar_t buf[300] = {};
        TVITEMW tv = {};
        tv.mask = TVIF_TEXT | TVIF_STATE;
        tv.stateMask = TVIS_STATEIMAGEMASK;
        tv.hItem = item;
        tv.pszText = buf;
        tv.cchTextMax = 300;
        TreeView_GetItem(tree, &tv);
        const std::wstring label = buf;
        const std::wstring path = above.empty() ? (label == L"\\" ? label : label + L"\\") : above + label + L"\\";
        out.push_back({path, label, (tv.state >> 12) == 2, item, parent});
        WalkFolderTree(tree, TreeView_GetChild(tree, item), item, path, out);
    }
}

}  // namespace

// A lost partition (mkfs.fat and mtools: long names in mixed case) of the
// first disk, walked in the wizard: the folder tree names its folders as
// fls -r -p spells them, under the partition's one root, with a root-folder node for the files in its
// root; every check command leaves the tree and the list agreeing; the
// files are recovered to a folder on another drive, byte for byte; and
// Home gives the next job a step bar with all three steps.
TEST_F(JourneyTest, ALostPartitionOfTheFirstDiskIsNamedCheckedAndRecoveredAsItsFilesAre)
{
    devicemap::CScopedDeviceMap disk0;
    ASSERT_TRUE(disk0.PhysicalDrive(0, testpaths::Fixture(L"twodisk-a.raw")));
    DEV_BROADCAST_HDR arrival = {sizeof(arrival), DBT_DEVTYP_VOLUME, 0};
    SendMessageW(m_hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&arrival);
    ASSERT_TRUE(gui::PumpUntil([&] { return !m_frame->IsDiskEnumRunning(); }, 60000));
    const auto key = ReadTsv(testpaths::Fixture(L"twodisk-a-tree.tsv"), true);
    std::set<std::wstring> keyFolders;
    std::vector<std::vector<std::string>> keyFiles;
    for (const auto& r : key) {
        if (r.size() < 4)
            continue;
        if (r[3] == "dir")
            keyFolders.insert(L"\\" + Wide(r[0]) + L"\\");
        else
            keyFiles.push_back(r);
    }
    ASSERT_EQ(3u, keyFolders.size());
    ASSERT_GE(keyFiles.size(), 5u);

    // The wizard: the partition's row, then the file types, then the scan.
    ASSERT_EQ(0, m_frame->GetUiMode());
    ASSERT_EQ(1, m_frame->GetCurrentPage());
    DuiLib::CListUI* lost = List(L"listLostDisk");
    const std::wstring rowText = L"HD0: MBRFAT16 (*:\\)";
    int row = -1;
    ASSERT_TRUE(gui::PumpUntil([&] {
        for (int i = 0; i < lost->GetCount() && row < 0; ++i) {
            CControlUI* c = pm().FindSubControlByName(lost->GetItemAt(i), L"diskName");
            if (c && rowText == c->GetText().GetData())
                row = i;
        }
        return row >= 0;
    })) << "no row " << testpaths::Narrow(rowText) << " among " << [&] {
        std::wstring rows;
        for (int i = 0; i < lost->GetCount(); ++i)
            if (CControlUI* c = pm().FindSubControlByName(lost->GetItemAt(i), L"diskName"))
                rows += std::wstring(c->GetText().GetData()) + L"; ";
        return testpaths::Narrow(rows);
    }();
    if (!gui::IsShown(lost->GetItemAt(row))) {
        ASSERT_TRUE(gui::Click(pm(), L"lostPartBtn"));
        ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(lost->GetItemAt(row)); }));
    }
    ASSERT_TRUE(gui::Click(pm(), lost->GetItemAt(row)));
    ASSERT_TRUE(gui::PumpUntil([&] { return lost->GetCurSel() == row; }));
    ClickAndWaitForPage(L"btnNext", 3);
    MessageLog::texts.clear();
    ClickAndWaitForPage(L"btnNext", 4);
    EXPECT_EQ(SCAN_KIND_LOST_PARTITION, ScanKind);
    ASSERT_TRUE(gui::PumpUntil(
        [&] {
            return !m_frame->IsRefreshTimerRunning() && gui::Find(pm(), L"btnHome")->IsEnabled() &&
                   m_frame->GetResultList()->GetCount() == (int)m_frame->GetFoundCount();
        },
        120000));
    EXPECT_TRUE(MessageLog::texts.empty()) << testpaths::Narrow(MessageLog::texts[0]);

    // The folder tree: one root, the partition's, named "\"; its first
    // child the root-folder node (readme.txt lies in the root); below it
    // the folders as fls names them, case kept.
    ASSERT_TRUE(gui::Click(pm(), L"optPathFilter"));
    HWND pathTree = m_frame->GetTreeWindow(101);
    ASSERT_TRUE(gui::PumpUntil([&] { return IsWindowVisible(pathTree) != FALSE; }));
    gui::SaveScreenshot(m_hwnd, L"journey_lost_disk0_tree");
    std::vector<FolderNode> nodes;
    WalkFolderTree(pathTree, TreeView_GetRoot(pathTree), NULL, L"", nodes);
    ASSERT_FALSE(nodes.empty());
    EXPECT_EQ(L"\\", nodes[0].label);
    EXPECT_TRUE(TreeView_GetNextSibling(pathTree, TreeView_GetRoot(pathTree)) == NULL) << "one root";
    const HTREEITEM firstChild = TreeView_GetChild(pathTree, TreeView_GetRoot(pathTree));
    std::set<std::wstring> treeFolders;
    std::map<std::wstring, const FolderNode*> byPath;  // folder path -> node (root files: "\")
    for (const FolderNode& n : nodes) {
        if (n.item == TreeView_GetRoot(pathTree))
            continue;
        if (n.label == g_strLangRootDir) {
            EXPECT_EQ(firstChild, n.item) << "the root-folder node comes first";
            byPath[L"\\"] = &n;
            continue;
        }
        treeFolders.insert(n.path);
        byPath[n.path] = &n;
    }
    EXPECT_TRUE(byPath.count(L"\\")) << "no node for the files in the partition's root";
    EXPECT_EQ(keyFolders, treeFolders);
    for (const std::wstring& f : treeFolders)
        EXPECT_TRUE(keyFolders.count(f)) << "not a folder of the partition: " << testpaths::Narrow(f);

    // Tree and list agree: each row is checked exactly when its folder's
    // node is.
    auto agree = [&](const char* step, int wantChecked) {
        nodes.clear();
        WalkFolderTree(pathTree, TreeView_GetRoot(pathTree), NULL, L"", nodes);
        std::map<std::wstring, bool> checkedOf;
        for (const FolderNode& n : nodes)
            checkedOf[n.label == g_strLangRootDir ? std::wstring(L"\\") : n.path] = n.checked;
        int checkedRows = 0;
        for (CListThumbElementUI* t : Tiles()) {
            const CFoundItem* item = reinterpret_cast<const CFoundItem*>(t->GetTag());
            auto it = checkedOf.find(item->GetCurrentPath());
            ASSERT_TRUE(it != checkedOf.end()) << step << ": no node for " << testpaths::Narrow(item->GetCurrentPath());
            EXPECT_EQ(it->second, t->GetCheck()) << step << ": " << testpaths::Narrow(item->GetCurrentPath() + item->m_strName);
            EXPECT_EQ(t->GetCheck(), item->m_bChecked) << step;
            checkedRows += t->GetCheck();
        }
        if (wantChecked >= 0)
            EXPECT_EQ(wantChecked, checkedRows) << step;
        EXPECT_EQ((uint64_t)checkedRows, m_frame->GetCheckedCount()) << step;
    };
    const int found = (int)m_frame->GetFoundCount();
    ASSERT_GE(found, (int)keyFiles.size());
    ASSERT_TRUE(gui::Click(pm(), L"checkSelectAll"));
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCheckedCount() == (uint64_t)found; }));
    agree("select all", found);
    for (const FolderNode& n : nodes)
        EXPECT_TRUE(n.checked) << "select all left unchecked: " << testpaths::Narrow(n.path);
    ASSERT_TRUE(gui::Click(pm(), L"checkSelectAll"));
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCheckedCount() == 0; }));
    agree("select none", 0);
    ASSERT_TRUE(byPath.count(L"\\Pictures\\"));
    ClickTreeItem(pathTree, byPath[L"\\Pictures\\"]->item, true);
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCheckedCount() > 0; }));
    agree("the Pictures box", -1);
    ClickTreeItem(pathTree, TreeView_GetRoot(pathTree), true);
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCheckedCount() == (uint64_t)found; }));
    agree("the root's box", found);

    // Recovered to a folder on another drive of the same disk number (the
    // system tells no more of where it lies), byte for byte as icat reads.
    ASSERT_FALSE(HasFatalFailure());
    const std::wstring out = RecoverChecked(L"jlost0out");
    std::multimap<std::wstring, std::wstring> written;
    ListFiles(out, written);
    for (const auto& r : keyFiles) {
        if (r[3] != "live")
            continue;  // a deleted short name has lost its first letter
        const std::wstring path = Wide(r[0]);
        std::set<std::string> sums;
        auto range = written.equal_range(path.substr(path.rfind(L'\\') + 1));
        for (auto it = range.first; it != range.second; ++it)
            sums.insert(FileSha256(it->second));
        EXPECT_TRUE(sums.count(r[2])) << r[0];
    }

    // Home: the wizard's disk page, whose step bar shows step 2 again.
    ClickAndWaitForPage(L"btnHome", 1);
    gui::PumpPending();
    CControlUI* holder = gui::Find(pm(), L"wizProgress1");
    ASSERT_TRUE(holder != NULL);
    CControlUI* step2 = pm().FindSubControlByName(holder, L"WizStep2");
    CControlUI* step3 = pm().FindSubControlByName(holder, L"WizStep3");
    ASSERT_TRUE(step2 && step3);
    gui::SaveScreenshot(m_hwnd, L"journey_lost_home_steps");
    const RECT r2 = step2->GetPos(), r3 = step3->GetPos();
    EXPECT_TRUE(gui::IsShown(step2));
    EXPECT_GT(r3.left, (r2.left + r2.right) / 2) << "step 3 at " << r3.left << " covers step 2 at " << r2.left;
}
