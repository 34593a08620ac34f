// The result page driven from the window: scans of volume images made by
// mkfs.fat and mtools (each mapped to a drive letter), started as a user
// starts them, their findings checked against the images' answer keys in
// the list and the three trees, then filtered, checked, sorted and shown as
// thumbnails.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "DialogFrame.h"
#include "app/MainFrame.h"
#include "app/ResultDialogs.h"
#include "app/WindowMessages.h"
#include "common/DeviceMap.h"
#include "common/TestPaths.h"
#include "core/Language.h"
#include "core/Settings.h"
#include "views/FileCategory.h"
#include "views/PreviewHost.h"

using namespace wintest;

namespace {

// Records what the result page asks of the previews; streams come from the
// program's own host.
class CRecordingPreview : public IPreviewHost
{
public:
    struct Call
    {
        std::wstring name;
        int mediaClass;
        bool player;
    };
    std::vector<Call> calls;
    IPreviewHost* real = NULL;
    void ShowPreviewWindow(const PreviewTarget& t) override { calls.push_back({Name(t), t.mediaClass, false}); }
    int ShowMediaPlayer(const PreviewTarget& t) override
    {
        calls.push_back({Name(t), t.mediaClass, true});
        return 0;
    }
    IStream* OpenEntryStream(const PreviewTarget& t, uint64_t cap) override { return real->OpenEntryStream(t, cap); }

private:
    static std::wstring Name(const PreviewTarget& t) { return t.item ? t.item->m_strName : std::wstring(); }
};

class ResultPageTest : public CDialogFrameTest
{
protected:
    static void SetUpTestSuite()
    {
        CDialogFrameTest::SetUpTestSuite();
        s_fat = new devicemap::CMountedDrive;
        s_deep = new devicemap::CMountedDrive;
        ASSERT_TRUE(s_fat->Define(L'Q', testpaths::MakeTempDir(L"qroot"), testpaths::Fixture(L"results-fat16.img")));
        ASSERT_TRUE(s_deep->Define(L'P', testpaths::MakeTempDir(L"proot"), testpaths::Fixture(L"results-deep.img")));
        // W is the frame tests' drive, free while this suite runs.
        s_formatted = new devicemap::CMountedDrive;
        ASSERT_TRUE(
            s_formatted->Define(L'W', testpaths::MakeTempDir(L"wroot"), testpaths::Fixture(L"fmt-fat16.img")));
    }
    static void TearDownTestSuite()
    {
        delete s_formatted;
        delete s_deep;
        delete s_fat;
        CDialogFrameTest::TearDownTestSuite();
    }

    void Configure() override { UseScanSettings(); }

    // From the home page through the disk and type pages to a running scan
    // of a drive, as a user does it; picturesOnly keeps one category.
    void StartScanOf(const wchar_t* job, wchar_t letter, bool picturesOnly)
    {
        // Wine names the file system of the drive's root folder; Windows
        // would name the volume's own, which the scans go by.
        CVolumeInfo* v = m_frame->GetVolumeList()->FindVolumeByLetter(letter);
        ASSERT_TRUE(v != NULL);
        v->m_strFileSystem = L"FAT";
        CDialogFrameTest::StartScanOf(job, std::wstring(L"(") + letter + L":\\)", picturesOnly);
    }

    // The scan has ended, the intake has moved every finding, and they are
    // as many as expected.
    void WaitForResults(size_t expected)
    {
        CDialogFrameTest::WaitForResults(60000);
        if (!HasFatalFailure()) {
            EXPECT_EQ(expected, m_frame->GetFoundCount());
        }
    }

    static devicemap::CMountedDrive* s_fat;
    static devicemap::CMountedDrive* s_deep;
    static devicemap::CMountedDrive* s_formatted;
};
devicemap::CMountedDrive* ResultPageTest::s_fat = NULL;
devicemap::CMountedDrive* ResultPageTest::s_deep = NULL;
devicemap::CMountedDrive* ResultPageTest::s_formatted = NULL;

TEST_F(ResultPageTest, DeepScanOfThousandsOfCarvedPicturesFillsListTreeAndThumbnails)
{
    const auto key = ReadTsv(testpaths::Fixture(L"results-deep.tsv"));
    ASSERT_EQ(2400u, key.size());
    StartScanOf(L"DeepReocverButton", L'P', true);
    WaitForResults(key.size());

    // The list is the answer key: every picture at its place with its length.
    std::set<std::tuple<uint64_t, uint64_t, std::string>> want, got;
    for (const auto& r : key)
        want.insert(std::make_tuple(std::stoull(r[0]), std::stoull(r[1]), r[2]));
    std::vector<CListThumbElementUI*> tiles = Tiles(false);
    for (CListThumbElementUI* t : tiles) {
        const DeepScanHit* hit = reinterpret_cast<const DeepScanHit*>(t->GetTag());
        ASSERT_TRUE(hit != NULL);
        got.insert(std::make_tuple(hit->GetStart(), hit->u64Length, std::string(hit->szExtension)));
    }
    EXPECT_EQ(want, got);
    // Nothing is checked until the user checks it.
    EXPECT_EQ(0u, m_frame->GetCheckedCount());

    // The type tree counts the same entries; the folder and date trees stay
    // empty for carved hits, and only the type tree is offered.
    HWND typeTree = m_frame->GetTreeWindow(103);
    EXPECT_TRUE(IsWindowVisible(typeTree));
    EXPECT_FALSE(gui::IsShown(pm(), L"optPathFilter"));
    HTREEITEM top = TreeView_GetRoot(typeTree);
    EXPECT_EQ(g_strLangAllType + L"(2400)", TreeLabel(typeTree, top));
    EXPECT_EQ(g_strLangPicture + L"(2400)", TreeLabel(typeTree, FindTreeItem(typeTree, top, g_strLangPicture)));
    HTREEITEM gif = FindTreeItem(typeTree, top, L"gif");
    HTREEITEM bmp = FindTreeItem(typeTree, top, L"bmp");
    ASSERT_TRUE(gif && bmp);
    EXPECT_EQ(L"gif(1200)", TreeLabel(typeTree, gif));
    EXPECT_EQ(L"bmp(1200)", TreeLabel(typeTree, bmp));
    EXPECT_EQ(NULL, TreeView_GetRoot(m_frame->GetTreeWindow(101)));
    EXPECT_EQ(NULL, TreeView_GetRoot(m_frame->GetTreeWindow(102)));
    gui::SaveScreenshot(m_hwnd, L"results_deep_list");

    // Filter by the gif node: only the gifs show.
    ClickTreeItem(typeTree, gif, false);
    ASSERT_TRUE(gui::PumpUntil([&] { return Tiles(true).size() == 1200; }));
    for (CListThumbElementUI* t : Tiles(true))
        EXPECT_STREQ("gif", reinterpret_cast<const DeepScanHit*>(t->GetTag())->szExtension);

    // Check the bmp node's box: the checked entries are the bmps, in the
    // list, the store and the status line.
    ClickTreeItem(typeTree, bmp, true);
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCheckedCount() == 1200; }));
    std::vector<DeepScanHit*> checked;
    ASSERT_TRUE(m_frame->GetCheckedCarvedFiles(checked));
    EXPECT_EQ(1200u, checked.size());
    int wrong = 0;
    for (const DeepScanHit* h : checked)
        wrong += strcmp(h->szExtension, "bmp") != 0;
    for (CListThumbElementUI* t : Tiles(false))
        wrong += (strcmp(reinterpret_cast<const DeepScanHit*>(t->GetTag())->szExtension, "bmp") == 0) != t->GetCheck();
    EXPECT_EQ(0, wrong);
    EXPECT_NE(std::wstring::npos,
              std::wstring(gui::Find(pm(), L"BottomStatus")->GetText().GetData()).find(L"1200"));

    // The checked bitmaps recovered through the recovery dialog into folders
    // by type, stopped from the dialog part way: every file written holds
    // exactly its picture's bytes of the volume, and the dialog goes once
    // the worker has ended.
    {
        static std::wstring s_carvedOut;
        s_carvedOut = testpaths::MakeTempDir(L"carved");
        GetResultDialogs().AskRecoverOption = [](HWND, const std::wstring&, bool carved, int& option) {
            option = carved ? 1 : 0;
            return true;
        };
        GetResultDialogs().ChooseFolder = [](HWND, const std::wstring&, std::wstring& path) {
            path = s_carvedOut;
            return true;
        };
        auto written = [] {
            int n = 0;
            WIN32_FIND_DATAW fd;
            HANDLE f = FindFirstFileW((s_carvedOut + L"\\bmp\\*.bmp").c_str(), &fd);
            if (f != INVALID_HANDLE_VALUE) {
                do
                    ++n;
                while (FindNextFileW(f, &fd));
                FindClose(f);
            }
            return n;
        };
        MessageLog::texts.clear();
        MessageLog::answer = 7;
        bool stopClicked = false;
        gui::OnDialog(L"DelvaroDlg", [&](HWND dlg) {
            gui::PumpUntil([&] { return written() >= 20 || !IsWindow(dlg); });
            // (A run that ended first has nothing left to stop.)
            if (IsWindow(dlg) && gui::ManagerOf(dlg))
                EXPECT_TRUE(gui::Click(*gui::ManagerOf(dlg), L"btnStop"));
            stopClicked = true;
        });
        ASSERT_TRUE(gui::Click(pm(), L"btnRestoreFiles"));
        ASSERT_TRUE(gui::PumpUntil([&] { return stopClicked && !gui::FindThreadWindow(L"DelvaroDlg"); }, 60000));
        const int n = written();
        EXPECT_GE(n, 20);
        EXPECT_LE(n, 1200);
        const std::string image = testpaths::ReadWholeFile(testpaths::Fixture(L"results-deep.img"));
        int same = 0;
        for (const DeepScanHit* h : checked) {
            const std::wstring path = s_carvedOut + L"\\bmp\\" + Wide(h->szName);
            if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
                continue;
            same += testpaths::ReadWholeFile(path) == image.substr((size_t)h->GetStart(), (size_t)h->u64Length);
        }
        EXPECT_EQ(n, same);
    }

    // Back to all rows; sort by size: ascending, then descending.
    ClickTreeItem(typeTree, top, false);
    ASSERT_TRUE(gui::PumpUntil([&] { return Tiles(true).size() == 2400; }));
    ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(pm(), L"FileSize"); }));
    auto sizes = [&] {
        std::vector<uint64_t> s;
        for (CListThumbElementUI* t : Tiles(false))
            s.push_back(reinterpret_cast<const DeepScanHit*>(t->GetTag())->u64Length);
        return s;
    };
    ASSERT_TRUE(gui::Click(pm(), L"FileSize"));
    ASSERT_TRUE(gui::PumpUntil([&] { auto s = sizes(); return std::is_sorted(s.begin(), s.end()); }));
    ASSERT_TRUE(gui::Click(pm(), L"FileSize"));
    ASSERT_TRUE(gui::PumpUntil([&] { auto s = sizes(); return std::is_sorted(s.rbegin(), s.rend()); }));
    // The path and time columns do not sort carved hits.
    const std::vector<uint64_t> before = sizes();
    ASSERT_TRUE(gui::Click(pm(), L"FilePath"));
    gui::PumpPending();
    EXPECT_EQ(before, sizes());

    // Thumbnail view: the tiles in view get the plug-ins' pictures.
    ASSERT_TRUE(gui::Click(pm(), L"optThumbView"));
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetResultList()->IsTileMode(); }));
    auto firstTilesDone = [&] {
        std::vector<CListThumbElementUI*> t = Tiles(true);
        for (size_t i = 0; i < 12 && i < t.size(); ++i)
            if (t[i]->GetState() != THUMB_BITMAP || !t[i]->HasThumbnail())
                return false;
        return m_frame->IsThumbnailWorkerIdle();
    };
    ASSERT_TRUE(gui::PumpUntil(firstTilesDone, 30000));
    // A picture of 20 x 15 is kept at its own size.
    EXPECT_EQ(20, Tiles(true)[0]->GetImageRect().right);
    EXPECT_EQ(15, Tiles(true)[0]->GetImageRect().bottom);
    gui::SaveScreenshot(m_hwnd, L"results_deep_thumbnails");

    // Scrolled to the end: the worker starts over the tiles now in view.
    m_frame->GetResultList()->EndDown();
    ASSERT_TRUE(gui::PumpUntil(
        [&] {
            std::vector<CListThumbElementUI*> t = Tiles(true);
            return t.back()->GetState() == THUMB_BITMAP && m_frame->IsThumbnailWorkerIdle();
        },
        30000));
    g_ConfigSetting.m_nViewMode = 1;
}

// The acceptance path: a deleted-file scan of a FAT16 volume that mtools
// wrote and deleted files on, its findings by folder, date and type, all of
// them checked and recovered through the recovery dialog into a folder,
// byte for byte.
TEST_F(ResultPageTest, DeletedFileScanShowsFindingsByFolderDateAndTypeAndRecoversThemByteExact)
{
    std::map<std::wstring, std::vector<std::string>> want;  // by name
    for (const auto& r : ReadTsv(testpaths::Fixture(L"results-fat16.key.tsv")))
        if (r.size() >= 5 && r[4] == "deleted") {
            const std::wstring path = Wide(r[0]);
            want[path.substr(path.rfind(L'\\') + 1)] = r;
        }
    ASSERT_EQ(9u, want.size());
    StartScanOf(L"RecoverDeletedFileButton", L'Q', false);
    WaitForResults(want.size());

    // Each finding is a deleted file of the key, with its size, folder and time.
    std::set<std::wstring> seen;
    for (CListThumbElementUI* t : Tiles(false)) {
        const CFoundItem* item = reinterpret_cast<const CFoundItem*>(t->GetTag());
        ASSERT_TRUE(item != NULL);
        auto it = want.find(item->m_strName);
        ASSERT_TRUE(it != want.end()) << "not in the key: " << std::string(item->m_strName.begin(), item->m_strName.end());
        seen.insert(item->m_strName);
        EXPECT_EQ(std::stoull(it->second[1]), item->m_u64Size) << it->second[0];
        const std::wstring keyPath = Wide(it->second[0]);
        const std::wstring folder = keyPath.substr(0, keyPath.rfind(L'\\') + 1);
        EXPECT_NE(std::wstring::npos, item->GetPath().find(folder)) << it->second[0];
        EXPECT_EQ(Wide(it->second[2]), item->m_strTime) << it->second[0];
    }
    EXPECT_EQ(want.size(), seen.size());

    // By type: the two JPEGs (one named in upper case) under "jpg", a name
    // without a dot under "unknow".
    HWND typeTree = m_frame->GetTreeWindow(103);
    ASSERT_TRUE(gui::Click(pm(), L"optTypeFilter"));
    ASSERT_TRUE(gui::PumpUntil([&] { return IsWindowVisible(typeTree) != FALSE; }));
    HTREEITEM typeTop = TreeView_GetRoot(typeTree);
    HTREEITEM jpg = FindTreeItem(typeTree, typeTop, L"jpg");
    ASSERT_TRUE(jpg != NULL);
    EXPECT_EQ(L"jpg(2)", TreeLabel(typeTree, jpg));
    ClickTreeItem(typeTree, jpg, false);
    ASSERT_TRUE(gui::PumpUntil([&] { return Tiles(true).size() == 2; }));
    ClickTreeItem(typeTree, typeTop, false);
    ASSERT_TRUE(gui::PumpUntil([&] { return Tiles(true).size() == want.size(); }));

    // By folder: the 2015 folder holds two of them.
    ASSERT_TRUE(gui::Click(pm(), L"optPathFilter"));
    HWND pathTree = m_frame->GetTreeWindow(101);
    ASSERT_TRUE(gui::PumpUntil([&] { return IsWindowVisible(pathTree) != FALSE; }));
    HTREEITEM y2015 = FindTreeItem(pathTree, TreeView_GetRoot(pathTree), L"2015");
    ASSERT_TRUE(y2015 != NULL);
    ClickTreeItem(pathTree, y2015, false);
    ASSERT_TRUE(gui::PumpUntil([&] { return Tiles(true).size() == 2; }));
    for (CListThumbElementUI* t : Tiles(true))
        EXPECT_NE(std::wstring::npos, reinterpret_cast<const CFoundItem*>(t->GetTag())->GetPath().find(L"2015"));

    // By date: every finding is under the date tree's root.
    HWND timeTree = m_frame->GetTreeWindow(102);
    HTREEITEM timeTop = TreeView_GetRoot(timeTree);
    ASSERT_TRUE(timeTop != NULL);
    EXPECT_NE(std::wstring::npos, TreeLabel(timeTree, timeTop).find(L"(9)"));
    gui::SaveScreenshot(m_hwnd, L"results_deleted_list");

    // By name: the filter shows the rows whose name holds the text; the
    // select-all box then checks those rows only.
    CControlUI* filter = gui::Find(pm(), L"NameFilter");
    ASSERT_TRUE(filter != NULL);
    filter->SetText(L"party");
    pm().SendNotify(filter, DUI_MSGTYPE_TEXTCHANGED);
    ASSERT_TRUE(gui::PumpUntil([&] { return Tiles(true).size() == 1; }));
    ASSERT_TRUE(gui::Click(pm(), L"checkSelectAll"));
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCheckedCount() == 1; }));
    for (CListThumbElementUI* t : Tiles(false))
        EXPECT_EQ(reinterpret_cast<const CFoundItem*>(t->GetTag())->m_strName == L"party-night.gif", t->GetCheck());
    ASSERT_TRUE(gui::Click(pm(), L"checkSelectAll"));
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCheckedCount() == 0; }));
    filter->SetText(L"");
    pm().SendNotify(filter, DUI_MSGTYPE_TEXTCHANGED);
    ASSERT_TRUE(gui::PumpUntil([&] { return Tiles(true).size() == want.size(); }));

    // Opening a row: audio and video (any case) in the player, everything
    // else, a name without a dot too, in the preview window.
    CRecordingPreview previews;
    previews.real = SetPreviewHost(&previews);
    ClickTreeItem(pathTree, TreeView_GetRoot(pathTree), false);
    ASSERT_TRUE(gui::PumpUntil([&] { return Tiles(true).size() == want.size(); }));
    CResultListUI* list = m_frame->GetResultList();
    std::map<std::wstring, CRecordingPreview::Call> opened;
    for (int i = 0; i < list->GetCount(); ++i) {
        list->SelectItem(i, false, false);
        previews.calls.clear();
        PostMessageW(m_hwnd, WMU_PreviewSelected, 0, 0);
        ASSERT_TRUE(gui::PumpUntil([&] { return !previews.calls.empty(); }));
        opened[previews.calls[0].name] = previews.calls[0];
    }
    EXPECT_TRUE(opened[L"favourite-song.mp3"].player);
    EXPECT_EQ(0, opened[L"favourite-song.mp3"].mediaClass);
    EXPECT_FALSE(opened[L"IMG_0001_CAMERA.JPG"].player);
    EXPECT_FALSE(opened[L"notes for later"].player);
    EXPECT_FALSE(opened[L"letter-to-anna.txt"].player);

    // Thumbnail view: the pictures' tiles get pictures read through the
    // volume's reader, the song its play sign.
    ASSERT_TRUE(gui::Click(pm(), L"optThumbView"));
    ASSERT_TRUE(gui::PumpUntil([&] { return list->IsTileMode(); }));
    auto tileOf = [&](const wchar_t* name) -> CListThumbElementUI* {
        for (CListThumbElementUI* t : Tiles(false))
            if (reinterpret_cast<const CFoundItem*>(t->GetTag())->m_strName == name)
                return t;
        return NULL;
    };
    ASSERT_TRUE(gui::PumpUntil(
        [&] {
            return m_frame->IsThumbnailWorkerIdle() && tileOf(L"beach-holiday.jpg")->GetState() == THUMB_BITMAP &&
                   tileOf(L"party-night.gif")->GetState() == THUMB_BITMAP;
        },
        30000));
    EXPECT_TRUE(tileOf(L"beach-holiday.jpg")->HasThumbnail());
    EXPECT_EQ(THUMB_MEDIA, tileOf(L"favourite-song.mp3")->GetState());
    gui::SaveScreenshot(m_hwnd, L"results_deleted_thumbnails");
    SetPreviewHost(previews.real);
    ASSERT_TRUE(gui::Click(pm(), L"optListView"));
    ASSERT_TRUE(gui::PumpUntil([&] { return !list->IsTileMode(); }));

    // Check everything by the type tree's root, then recover into a folder
    // keeping the folders.
    ASSERT_TRUE(gui::Click(pm(), L"optTypeFilter"));
    ASSERT_TRUE(gui::PumpUntil([&] { return IsWindowVisible(typeTree) != FALSE; }));
    ClickTreeItem(typeTree, typeTop, true);
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCheckedCount() == want.size(); }));
    static std::wstring s_out;
    GetResultDialogs().AskRecoverOption = [](HWND, const std::wstring&, bool, int& option) {
        option = 1;
        return true;
    };
    GetResultDialogs().ChooseFolder = [](HWND, const std::wstring&, std::wstring& path) {
        path = s_out;
        return true;
    };
    // A folder on the scanned drive, named in lower case, is refused before
    // anything is written.
    s_out = L"q:\\restored";
    MessageLog::texts.clear();
    ASSERT_TRUE(gui::Click(pm(), L"btnRestoreFiles"));
    const std::wstring refused = MessageText(L"RecoverDiffDrive");
    ASSERT_TRUE(gui::PumpUntil([&] {
        return std::find(MessageLog::texts.begin(), MessageLog::texts.end(), refused) != MessageLog::texts.end();
    }));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"Q:\\restored"));
    s_out = testpaths::MakeTempDir(L"recovered");

    MessageLog::texts.clear();
    MessageLog::answer = 7;  // the success box: do not open Explorer
    const std::wstring success = GetUIText(L"RecoverSuccess");
    const std::wstring successHead = success.substr(0, success.find(L'%'));
    ASSERT_TRUE(gui::Click(pm(), L"btnRestoreFiles"));
    ASSERT_TRUE(gui::PumpUntil(
        [&] {
            for (const std::wstring& t : MessageLog::texts)
                if (t.compare(0, successHead.size(), successHead) == 0)
                    return true;
            return false;
        },
        60000))
        << (MessageLog::texts.empty() ? std::string("no box") : std::string(MessageLog::texts[0].begin(), MessageLog::texts[0].end()));
    for (const auto& w : want) {
        const std::wstring keyPath = Wide(w.second[0]);
        EXPECT_EQ(w.second[3], FileSha256(s_out + L"\\" + keyPath)) << w.second[0];
    }

    // The result saved through the save dialog, and loaded again from the
    // home page through the load dialog: the same findings.
    const std::wstring savedFile = s_out + L"\\deleted.dsr";
    ChooseResultFile(savedFile);
    MessageLog::texts.clear();
    ASSERT_TRUE(gui::Click(pm(), L"SaveScanResultButton"));
    const std::wstring saved = MessageText(L"SaveResultOk");
    ASSERT_TRUE(gui::PumpUntil([&] {
        return std::find(MessageLog::texts.begin(), MessageLog::texts.end(), saved) != MessageLog::texts.end();
    })) << MessageLog::texts.size();
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(savedFile.c_str()));
    ASSERT_TRUE(gui::Click(pm(), L"btnHome"));
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetFoundCount() == 0 && gui::IsShown(pm(), L"LoadPrevScanButton"); }));
    ASSERT_TRUE(gui::Click(pm(), L"LoadPrevScanButton"));
    ASSERT_TRUE(gui::PumpUntil(
        [&] {
            return m_frame->GetCurrentPage() == 4 && !m_frame->IsRefreshTimerRunning() &&
                   m_frame->GetResultList()->GetCount() == (int)want.size();
        },
        30000));
    std::set<std::wstring> loaded;
    for (CListThumbElementUI* t : Tiles(false)) {
        const CFoundItem* item = reinterpret_cast<const CFoundItem*>(t->GetTag());
        loaded.insert(item->m_strName);
        EXPECT_EQ(std::stoull(want[item->m_strName][1]), item->m_u64Size);
    }
    EXPECT_EQ(seen, loaded);
}

// A file that is not a scan result (its kind digit is '9') starts no load:
// its error is shown and the home page stays.
// Eight rows ticked one after another as a person ticks them, the pointer
// moved and pressed through the system's input: on each row's check box it
// rests until the row's name shows as a tip (below the pointer, where the
// next row's check box lies), then presses. Every press ticks its own row.
TEST_F(ResultPageTest, EightRowsTickedOneAfterAnotherWithTheirTipsUpAreAllTicked)
{
    StartScanOf(L"RecoverDeletedFileButton", L'Q', false);
    WaitForResults(9);
    ASSERT_FALSE(HasFatalFailure());
    SetForegroundWindow(m_hwnd);
    RedrawWindow(m_hwnd, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    gui::PumpPending();
    const std::vector<CListThumbElementUI*> rows = Tiles(true);
    ASSERT_GE(rows.size(), 9u);
    int tips = 0;
    for (size_t i = 0; i < 8; ++i) {
        CListThumbElementUI* row = rows[i];
        ASSERT_FALSE(row->GetCheck()) << i;
        const std::wstring why = gui::Unreachable(pm(), row);
        EXPECT_TRUE(why.empty()) << i << ": " << testpaths::Narrow(why);
        ASSERT_TRUE(gui::MovePointer(m_hwnd, row->CheckBoxArea())) << i;
        tips += gui::RestUntilTooltip(3000) != NULL;
        if (i == 1)
            gui::SaveScreenScreenshot(L"pointer_rows_tip");
        gui::PressPointer();
        EXPECT_TRUE(gui::PumpUntil([&] { return row->GetCheck(); }, 3000)) << "row " << i << " was not ticked";
    }
    // The rows were ticked with their tips up.
    EXPECT_GE(tips, 7);
    EXPECT_EQ(8u, m_frame->GetCheckedCount());
    EXPECT_FALSE(rows[8]->GetCheck());
}

TEST_F(ResultPageTest, LoadingAFileThatIsNoScanResultShowsItsErrorAndLoadsNothing)
{
    const std::wstring bogus = testpaths::MakeTempDir(L"notresult") + L"\\bogus.dsr";
    HANDLE f = CreateFileW(bogus.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    const char head[] = "DELVARO69 and then nothing a result file holds";
    DWORD put = 0;
    WriteFile(f, head, sizeof(head), &put, NULL);
    CloseHandle(f);
    ChooseResultFile(bogus);
    MessageLog::texts.clear();
    ASSERT_TRUE(gui::Click(pm(), L"LoadPrevScanButton"));
    const std::wstring error = MessageText(L"ReadResultDataError");
    ASSERT_TRUE(gui::PumpUntil([&] {
        return std::find(MessageLog::texts.begin(), MessageLog::texts.end(), error) != MessageLog::texts.end();
    }));
    gui::PumpPending();
    EXPECT_EQ(0u, m_frame->GetFoundCount());
    EXPECT_NE(4, m_frame->GetCurrentPage());
}

// A formatted-volume scan from the window of a FAT16 volume that mkfs.fat
// formatted again after files were written to it: every file found is one
// of the answer key (The Sleuth Kit's listing before the format) with its
// size, and the one checked and recovered alone, through the save-file
// choice, comes back with its size.
TEST_F(ResultPageTest, FormattedScanFromTheWindowFindsTheFilesOfTheOldVolume)
{
    std::map<std::wstring, uint64_t> key;  // name -> size
    {
        std::istringstream in(testpaths::ReadWholeFile(testpaths::Fixture(L"fmt-fat16.key.tsv")));
        std::string line;
        while (std::getline(in, line)) {
            const size_t tab = line.rfind('\t');
            if (tab == std::string::npos)
                continue;
            const std::wstring path = Wide(line.substr(0, tab));
            key[path.substr(path.rfind(L'/') + 1)] = std::stoull(line.substr(tab + 1));
        }
    }
    ASSERT_EQ(38u, key.size());
    StartScanOf(L"FormatHDButton", L'W', false);
    ASSERT_TRUE(gui::PumpUntil(
        [&] {
            return !m_frame->GetScanDiskDlg()->IsScanRunning() && !m_frame->IsRefreshTimerRunning() &&
                   m_frame->GetResultList()->GetCount() == (int)m_frame->GetFoundCount();
        },
        60000));
    // A format rewrites the root folder: what was only there is gone.
    EXPECT_GE(m_frame->GetFoundCount(), 30u);
    const CFoundItem* one = NULL;
    for (CListThumbElementUI* t : Tiles(false)) {
        const CFoundItem* item = reinterpret_cast<const CFoundItem*>(t->GetTag());
        auto it = key.find(item->m_strName);
        ASSERT_TRUE(it != key.end()) << std::string(item->m_strName.begin(), item->m_strName.end());
        EXPECT_EQ(it->second, item->m_u64Size);
        if (!one && item->m_u64Size > 1000)
            one = item;
    }
    ASSERT_TRUE(one != NULL);
    // Checked by its own box: one finding, recovered to the file chosen.
    CListThumbElementUI* tile = NULL;
    for (CListThumbElementUI* t : Tiles(false))
        if (reinterpret_cast<const CFoundItem*>(t->GetTag()) == one)
            tile = t;
    ASSERT_TRUE(tile != NULL);
    m_frame->GetResultList()->EnsureVisible(m_frame->GetResultList()->GetItemIndex(tile));
    gui::PumpPending();
    RECT box = tile->CheckBoxArea();
    const POINT pt = {(box.left + box.right) / 2, (box.top + box.bottom) / 2};
    PostMessageW(m_hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(pt.x, pt.y));
    PostMessageW(m_hwnd, WM_LBUTTONUP, 0, MAKELPARAM(pt.x, pt.y));
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCheckedCount() == 1; }));
    static std::wstring s_file;
    s_file = testpaths::MakeTempDir(L"single") + L"\\" + one->m_strName;
    GetResultDialogs().ChooseSaveFile = [](HWND, const wchar_t*, const wchar_t*, std::wstring& path) {
        path = s_file;
        return true;
    };
    // The reader asks whether to recover a file whose clusters it has to
    // assume (the format emptied the FAT): yes; the success box: no
    // Explorer.
    SetMessageDlgProc([](HWND, const wchar_t* text, const wchar_t* caption, UINT, int) {
        MessageLog::texts.push_back(text ? text : L"");
        return caption && GetUIText(L"SuccessTitle") == caption ? 7 : 6;
    });
    MessageLog::texts.clear();
    ASSERT_TRUE(gui::Click(pm(), L"btnRestoreFiles"));
    WIN32_FILE_ATTRIBUTE_DATA fa = {};
    ASSERT_TRUE(gui::PumpUntil([&] {
        return MessageLog::texts.size() >= 2 && GetFileAttributesExW(s_file.c_str(), GetFileExInfoStandard, &fa);
    }, 60000)) << (MessageLog::texts.empty() ? std::string("no box") : std::string(MessageLog::texts[0].begin(), MessageLog::texts[0].end()))
               << " file " << (GetFileAttributesW(s_file.c_str()) != INVALID_FILE_ATTRIBUTES) << " popup "
               << (GetLastActivePopup(m_hwnd) != m_hwnd);
    EXPECT_EQ(one->m_u64Size, ((uint64_t)fa.nFileSizeHigh << 32) | fa.nFileSizeLow);
    const std::wstring success = GetUIText(L"RecoverSuccess");
    EXPECT_EQ(0, MessageLog::texts.back().compare(0, success.find(L'%'), success.substr(0, success.find(L'%'))));
}
// A scan with nothing behind it (no volume chosen) ends at once: the end of
// the scan runs, its box shows, and the page is not left scanning.
TEST_F(ResultPageTest, AScanThatCannotStartEndsWithItsBox)
{
    MessageLog::texts.clear();
    m_frame->StartScan(SCAN_KIND_DELETED);
    const std::wstring nothing = MessageText(L"NoFileCanRecovered");
    ASSERT_TRUE(gui::PumpUntil([&] {
        return std::find(MessageLog::texts.begin(), MessageLog::texts.end(), nothing) != MessageLog::texts.end();
    }));
    EXPECT_FALSE(m_frame->GetScanDiskDlg()->IsScanRunning());
    EXPECT_FALSE(gui::IsShown(pm(), L"btnStop"));
    EXPECT_FALSE(gui::IsShown(pm(), L"btnPause"));
}

// Clearing the results while a scan thread still hands entries over: from
// the clear on, every late entry is refused (its owner frees it) and the
// lists stay empty.
TEST_F(ResultPageTest, EntriesArrivingDuringAClearAreRefused)
{
    ScanKind = SCAN_KIND_DELETED;
    m_frame->BeginLoadedResult();
    std::atomic<bool> cleared(false), stop(false);
    std::atomic<int> takenAfterClear(0), offered(0);
    std::thread scan([&] {
        for (int i = 0; !stop; ++i) {
            const bool after = cleared;
            CFoundItem* item = new CFoundItem(L"late.txt", L"C:\\x\\", L"2020-01-01  00:00", 10, (uint64_t)i);
            if (m_frame->AppendLoadedFile(item)) {
                if (after)
                    ++takenAfterClear;
            } else {
                delete item;
            }
            ++offered;
        }
    });
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetFoundCount() > 1000; }));
    m_frame->ClearScanResults();
    cleared = true;
    const int at = offered;
    ASSERT_TRUE(gui::PumpUntil([&] { return offered > at + 1000; }));
    stop = true;
    scan.join();
    EXPECT_EQ(0, takenAfterClear.load());
    EXPECT_EQ(0u, m_frame->GetFoundCount());
    EXPECT_EQ(0, m_frame->GetResultList()->GetCount());
}

// Tree insertions made slow, so that a tick's entries go in by slices.
HHOOK g_slowInserts = NULL;
LRESULT CALLBACK SlowTreeInserts(int code, WPARAM w, LPARAM l)
{
    const CWPSTRUCT* m = reinterpret_cast<const CWPSTRUCT*>(l);
    if (code == HC_ACTION && m && m->message == TVM_INSERTITEMW)
        Sleep(3);
    return CallNextHookEx(g_slowInserts, code, w, l);
}

// A clear (Home) while the intake still takes a tick's entries by slices,
// with a worker running that the clear waits for while serving messages:
// the rest of that batch goes with the results, and neither its entries nor
// its count of selected files reach the next job.
TEST_F(ResultPageTest, AClearDuringTheIntakeLeavesNothingOfTheOldBatch)
{
    ScanKind = SCAN_KIND_DELETED;
    m_frame->BeginLoadedResult();
    auto add = [&](int i) {
        const std::wstring folder = L"C:\\in" + std::to_wstring(i) + L"\\";
        CFoundItem* item = new CFoundItem(L"a.txt", folder.c_str(), L"2020-01-01  00:00", 10, (uint64_t)i);
        if (!m_frame->AppendLoadedFile(item))
            delete item;
    };
    add(0);
    SendMessageW(m_hwnd, WM_TIMER, 350, 0);
    ASSERT_EQ(1u, m_frame->GetProcessedCount());
    // The first tile is checked a moment later: that worker runs now.
    ASSERT_TRUE(m_frame->GetTileCheckCancel() != NULL);
    for (int i = 1; i <= 500; ++i)
        add(i);
    g_slowInserts = SetWindowsHookExW(WH_CALLWNDPROC, SlowTreeInserts, NULL, GetCurrentThreadId());
    ASSERT_TRUE(g_slowInserts != NULL);
    SendMessageW(m_hwnd, WM_TIMER, 350, 0);
    UnhookWindowsHookEx(g_slowInserts);
    const uint64_t taken = m_frame->GetProcessedCount();
    ASSERT_GT(taken, 1u);
    ASSERT_LT(taken, 501u);  // the rest waits for its next slice
    m_frame->ClearScanResults();
    gui::PumpPending();
    EXPECT_EQ(0u, m_frame->GetProcessedCount());
    EXPECT_EQ(0u, m_frame->GetCheckedCount());
    EXPECT_EQ(0, m_frame->GetResultList()->GetCount());
    EXPECT_EQ(0u, m_frame->GetFoundCount());
}

}  // namespace
