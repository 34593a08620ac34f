// What a user can reach: every page and dialog of the main window walked
// in each state a user meets it in (home, disk page, each kind of scan
// running, paused and ended, the result page as a list and as thumbnails,
// the dialogs), and every control shown there on the screen whole, under
// nothing, and answering a click at its centre; and a long deep scan
// stopped with Stop as a user stops it. Over the journey images:
//   P: a FAT32 volume (mkfs.fat), \\.\PhysicalDrive6 the carving image as
//   a whole disk, \\.\PhysicalDrive14 a disk with a lost FAT volume
//   (sfdisk), W: a sparse 8 GiB image with a picture every 256 MiB.
#include <algorithm>
#include <iostream>
#include <cstring>
#include <mutex>
#include <set>
#include <tuple>

#include "DialogFrame.h"
#include "app/MessageDlg.h"
#include "app/WindowImplBaseShw.h"
#include "app/WindowMessages.h"
#include "common/DeviceMap.h"
#include "engine/ScanDiskDlg.h"

using namespace wintest;

namespace {

// Holds the end of a scan back (its last progress report, which hides the
// progress bar, and WMU_ScanDone) until released: the page stays as it is
// while a scan runs, however soon the scan of a small image ends.
class CScanEndHold
{
public:
    explicit CScanEndHold(HWND frame) : m_frame(frame) {}
    static void Sink(void* context, UINT message, WPARAM wParam, LPARAM lParam)
    {
        CScanEndHold* self = static_cast<CScanEndHold*>(context);
        std::lock_guard<std::mutex> lock(self->m_lock);
        const bool end = message == WMU_ScanDone ||
                         (message == WMU_ScanProgress && wParam && !((ScanProgressInfo*)wParam)->bActive);
        if (end) {
            self->m_held.push_back(std::make_tuple(message, wParam, lParam));
            self->m_ended = self->m_ended || message == WMU_ScanDone;
        } else if (!PostMessageW(self->m_frame, message, wParam, lParam) && message == WMU_ScanProgress) {
            delete (ScanProgressInfo*)wParam;
        }
    }
    bool Ended()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_ended;
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (const auto& m : m_held)
            PostMessageW(m_frame, std::get<0>(m), std::get<1>(m), std::get<2>(m));
        m_held.clear();
        m_ended = false;
    }

private:
    HWND m_frame;
    std::mutex m_lock;
    std::vector<std::tuple<UINT, WPARAM, LPARAM>> m_held;
    bool m_ended = false;
};

class ReachTest : public CDialogFrameTest
{
protected:
    static void SetUpTestSuite()
    {
        CDialogFrameTest::SetUpTestSuite();
        s_fat32 = new devicemap::CMountedDrive;
        s_disk = new devicemap::CScopedDeviceMap;
        ASSERT_TRUE(
            s_fat32->Define(L'P', testpaths::MakeTempDir(L"rproot"), testpaths::Fixture(L"recover-fat32.img")));
        ASSERT_TRUE(s_disk->PhysicalDrive(6, testpaths::Fixture(L"carve.img")));
        ASSERT_TRUE(s_disk->PhysicalDrive(14, testpaths::Fixture(L"twodisk-a.raw")));
    }
    static void TearDownTestSuite()
    {
        delete s_disk;
        delete s_fat32;
        CDialogFrameTest::TearDownTestSuite();
    }
    // The program's own partition control: the lost partition is real.
    PartitionScanFactory Factory() override { return NULL; }
    void Configure() override { UseScanSettings(); }
    void TearDown() override
    {
        if (m_frame)
            m_frame->GetScanDiskDlg()->SetFrameMessageSink(NULL, NULL);
        if (m_hold)
            m_hold->Release();
        CDialogFrameTest::TearDown();
        delete m_hold;
        m_hold = NULL;
    }

    // The window in front, painted: what the screen shows is the window.
    void Front(HWND hwnd)
    {
        SetForegroundWindow(hwnd);
        SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        RedrawWindow(hwnd, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    }

    // Every named control and every clickable control shown in the window
    // is where a user can see it and click it.
    void ExpectReachable(CPaintManagerUI& p, std::initializer_list<const wchar_t*> names, const char* state)
    {
        Front(p.GetPaintWindow());
        for (const wchar_t* name : names) {
            const std::wstring why = gui::Unreachable(p, name);
            EXPECT_TRUE(why.empty()) << state << ": " << testpaths::Narrow(why);
        }
        int clickable = 0;
        for (CControlUI* c : gui::ClickableControls(p)) {
            const std::wstring why = gui::Unreachable(p, c);
            EXPECT_TRUE(why.empty()) << state << ": " << testpaths::Narrow(why);
            ++clickable;
        }
        // A window that shows nothing to click has lost its layout.
        EXPECT_GT(clickable, 0) << state;
        const std::wstring shot = L"reach_" + std::wstring(state, state + strlen(state));
        gui::SaveScreenshot(p.GetPaintWindow(), shot.c_str());
    }

    // The dialog of class "DelvaroDlg" that the click on control opens:
    // its controls reachable (looked at before anything else runs, so a
    // dialog that closes itself is still there), then check runs.
    void ReachDialog(const wchar_t* control, std::initializer_list<const wchar_t*> names, const char* state,
                     std::function<void(HWND, CPaintManagerUI&)> then)
    {
        bool ran = false;
        HWND dialog = NULL;
        gui::OnDialog(L"DelvaroDlg", [&](HWND d) {
            dialog = d;
            CPaintManagerUI* dpm = gui::ManagerOf(d);
            ASSERT_TRUE(dpm != NULL);
            UpdateWindow(d);
            ExpectReachable(*dpm, names, state);
            if (then)
                then(d, *dpm);
            ran = true;
        });
        ASSERT_TRUE(gui::Click(pm(), control)) << testpaths::Narrow(control);
        ASSERT_TRUE(gui::PumpUntil([&] { return ran && !IsWindow(dialog); }, 60000)) << state;
    }

    // A click on a dialog's button, as a user makes it.
    static void Press(CPaintManagerUI& dpm, const wchar_t* button) { EXPECT_TRUE(gui::Click(dpm, button)); }

    // The scan started last runs, with its progress in sight: its page as
    // it runs, then paused and resumed by Pause and Resume, then ended.
    void WalkScan(const char* kind, bool deep)
    {
        ASSERT_TRUE(gui::PumpUntil([&] { return m_hold->Ended(); }, 120000)) << kind;
        // The intake has taken what the scan found; the progress shows.
        ASSERT_TRUE(gui::PumpUntil(
            [&] { return m_frame->GetResultList()->GetCount() == (int)m_frame->GetFoundCount(); }, 30000));
        ScanProgressInfo* progress = new ScanProgressInfo;
        progress->nDone = 5000;
        progress->nTotal = 20000;
        progress->bActive = true;
        SendMessageW(m_hwnd, WMU_ScanProgress, (WPARAM)progress, 1);
        ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(pm(), L"scanProgressCtl"); }));
        gui::PumpPending();
        const std::string running = std::string(kind) + "_running";
        const bool results = m_frame->GetFoundCount() > 0;
        ExpectReachable(pm(), {L"scanProgress", L"btnPause", L"btnStop", L"btnHome", L"ScanTitle"}, running.c_str());
        if (results)
            ExpectReachable(pm(), {L"optTypeFilter", L"checkSelectAll", L"NameFilter", L"optThumbView",
                                   L"optListView", L"listFile", L"FileName", L"FileSize", L"LastModify",
                                   L"btnRestoreFiles"},
                            running.c_str());
        EXPECT_FALSE(gui::Find(pm(), L"btnHome")->IsEnabled()) << running;

        ASSERT_TRUE(gui::Click(pm(), L"btnPause"));
        ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(pm(), L"btnResume"); })) << kind;
        ExpectReachable(pm(), {L"btnResume", L"btnStop", L"scanProgress"}, (std::string(kind) + "_paused").c_str());
        EXPECT_FALSE(gui::IsShown(pm(), L"btnPause"));
        ASSERT_TRUE(gui::Click(pm(), L"btnResume"));
        ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(pm(), L"btnPause"); })) << kind;

        m_hold->Release();
        ASSERT_TRUE(gui::PumpUntil(
            [&] { return gui::Find(pm(), L"btnHome")->IsEnabled() && !m_frame->IsRefreshTimerRunning(); }, 60000))
            << kind;
        gui::PumpPending();
        const std::string ended = std::string(kind) + "_ended";
        EXPECT_FALSE(gui::IsShown(pm(), L"btnPause") || gui::IsShown(pm(), L"btnStop") ||
                     gui::IsShown(pm(), L"btnResume"))
            << ended;
        ExpectReachable(pm(), {L"btnHome", L"btnRestoreFiles", L"SaveScanResultButton", L"ScanTitle"},
                        ended.c_str());
        if (results) {
            ExpectReachable(pm(), {L"optTypeFilter", L"checkSelectAll", L"NameFilter", L"optThumbView",
                                   L"optListView", L"listFile", L"FileName", L"FileSize", L"LastModify",
                                   L"FilePreview", L"BottomStatus"},
                            ended.c_str());
            if (!deep)
                ExpectReachable(pm(), {L"optPathFilter", L"optTimeFilter", L"FilePath"}, ended.c_str());
        }
    }

    void GoHome()
    {
        if (m_frame->GetCurrentPage() == 4)
            ClickAndWaitForPage(L"btnHome", 0);
    }

    CScanEndHold* m_hold = NULL;
    static devicemap::CMountedDrive* s_fat32;
    static devicemap::CScopedDeviceMap* s_disk;
};
devicemap::CMountedDrive* ReachTest::s_fat32 = NULL;
devicemap::CScopedDeviceMap* ReachTest::s_disk = NULL;

}  // namespace

TEST_F(ReachTest, EveryControlOfEveryPageAndDialogIsOnScreenAndAnswersAClickInEachState)
{
    m_hold = new CScanEndHold(m_hwnd);
    m_frame->GetScanDiskDlg()->SetFrameMessageSink(&CScanEndHold::Sink, m_hold);

    // ---- the wizard: disk page, scan modes; the one-button message box ----
    ASSERT_EQ(1, m_frame->GetCurrentPage());
    ExpectReachable(pm(), {L"btnNext", L"btnProMode", L"LoadPrevScanButton", L"btnMenu", L"btnMin", L"btnClose"},
                    "wizard_disks");
    SetMessageDlgProc(ShowSkinMessageDlg);
    ReachDialog(L"btnNext", {L"btnYes"}, "message_one_button",
                [&](HWND, CPaintManagerUI& dpm) { Press(dpm, L"btnYes"); });
    SetMessageDlgProc(MessageLog::Proc);
    ASSERT_FALSE(HasFatalFailure());
    ClickDiskRow(L"(P:\\)");
    ClickAndWaitForPage(L"btnNext", 2);
    ExpectReachable(pm(), {L"optQuickScan", L"optDeepScan", L"optFormatedScan", L"btnNext", L"btnBack"},
                    "wizard_modes");

    // ---- home ----
    ClickAndWaitForPage(L"btnBack", 1);
    ClickAndWaitForPage(L"btnProMode", 0);
    ExpectReachable(pm(), {L"RecoverDeletedFileButton", L"FormatHDButton", L"RecoverUButton", L"RecoverRecycleButton",
                           L"PartitionLostButton", L"DeepReocverButton", L"btnUseWizMode", L"LoadPrevScanButton"},
                    "home");

    // ---- deleted files: disk page, types with the scan-path dialog, scan ----
    ClickAndWaitForPage(L"RecoverDeletedFileButton", 1);
    ExpectReachable(pm(), {L"btnBack", L"btnNext", L"listDisk"}, "disks");
    ClickDiskRow(L"(P:\\)");
    ClickAndWaitForPage(L"btnNext", 3);
    ExpectReachable(pm(), {L"optSelectAllType", L"optSelectPicture", L"optSelectMusic", L"optSelectDocument",
                           L"optSelectVedio", L"optSelectEmail", L"optSelectOther", L"btnNext", L"btnBack",
                           L"btnSetPath"},
                    "types");
    ReachDialog(L"btnSetPath", {}, "dialog_scan_path", [&](HWND d, CPaintManagerUI&) { gui::Key(d, VK_ESCAPE); });
    ClickAndWaitForPage(L"btnNext", 4);
    WalkScan("deleted", false);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_GT(m_frame->GetFoundCount(), 1u);

    // The result page as thumbnails, and back to the list.
    ASSERT_TRUE(gui::Click(pm(), L"optThumbView"));
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetResultList()->IsTileMode(); }));
    gui::PumpPending();
    ExpectReachable(pm(), {L"optThumbView", L"optListView", L"listFile", L"checkSelectAll", L"NameFilter"},
                    "results_thumbnails");
    EXPECT_FALSE(gui::IsShown(pm(), L"LastModify"));
    ASSERT_TRUE(gui::Click(pm(), L"optListView"));
    ASSERT_TRUE(gui::PumpUntil([&] { return !m_frame->GetResultList()->IsTileMode(); }));

    // The question before a recovery (its two paths), the recovery, the
    // save and the load dialogs.
    CheckEverything(m_frame->GetFoundCount());
    ASSERT_FALSE(HasFatalFailure());
    ReachDialog(L"btnRestoreFiles", {L"btnYes", L"btnClose", L"RemainPath", L"OnSamePath"}, "message_recover_paths",
                [&](HWND, CPaintManagerUI& dpm) { Press(dpm, L"btnClose"); });
    ChooseResultFile(testpaths::MakeTempDir(L"reachsaved") + L"\\p.dsr");
    RecoverChecked(L"reachout");
    ASSERT_TRUE(gui::Click(pm(), L"SaveScanResultButton"));
    ASSERT_TRUE(gui::PumpUntil([&] {
        return std::find(MessageLog::texts.begin(), MessageLog::texts.end(), MessageText(L"SaveResultOk")) !=
               MessageLog::texts.end();
    }));
    const size_t found = m_frame->GetFoundCount();
    GoHome();
    ASSERT_TRUE(gui::Click(pm(), L"LoadPrevScanButton"));
    ASSERT_TRUE(gui::PumpUntil(
        [&] {
            return m_frame->GetCurrentPage() == 4 && !m_frame->IsRefreshTimerRunning() &&
                   m_frame->GetResultList()->GetCount() == (int)found;
        },
        60000));
    ExpectReachable(pm(), {L"btnHome", L"btnRestoreFiles", L"listFile", L"optPathFilter"}, "results_loaded");
    GoHome();

    // ---- formatted volume ----
    StartScanOf(L"FormatHDButton", L"(P:\\)", false);
    WalkScan("formatted", false);
    ASSERT_FALSE(HasFatalFailure());
    GoHome();

    // ---- deep scan of a whole disk, with the scan-range dialog; the
    //      question before a recovery of carved files (its check box) ----
    ClickAndWaitForPage(L"DeepReocverButton", 1);
    ClickDiskRow(L"HD6:");
    ClickAndWaitForPage(L"btnNext", 3);
    ExpectReachable(pm(), {L"btnSetPos", L"btnNext", L"btnBack"}, "types_deep");
    ReachDialog(L"btnSetPos", {}, "dialog_scan_range", [&](HWND d, CPaintManagerUI&) { gui::Key(d, VK_ESCAPE); });
    ClickAndWaitForPage(L"btnNext", 4);
    WalkScan("deep", true);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_GT(m_frame->GetFoundCount(), 1u);
    CheckEverything(m_frame->GetFoundCount());
    ASSERT_FALSE(HasFatalFailure());
    GetResultDialogs().AskRecoverOption = DefaultResultDialogs().AskRecoverOption;
    ReachDialog(L"btnRestoreFiles", {L"btnYes", L"btnClose", L"checkRemainFullPath"}, "message_recover_by_type",
                [&](HWND, CPaintManagerUI& dpm) { Press(dpm, L"btnClose"); });
    GoHome();

    // ---- recycle bin ----
    ClickAndWaitForPage(L"RecoverRecycleButton", 3);
    ClickAndWaitForPage(L"btnNext", 4);
    WalkScan("recycle", false);
    ASSERT_FALSE(HasFatalFailure());
    GoHome();

    // ---- lost partition: the disk page, the search dialog, the scan ----
    ClickAndWaitForPage(L"PartitionLostButton", 1);
    ExpectReachable(pm(), {L"btnDeepScanPart", L"btnBack", L"btnNext"}, "disks_lost");
    ReachDialog(L"btnDeepScanPart", {L"btnNext", L"btnClose"}, "dialog_lost_partition",
                [&](HWND, CPaintManagerUI& dpm) { Press(dpm, L"btnClose"); });
    DuiLib::CListUI* lost = List(L"listLostDisk");
    int row = -1;
    ASSERT_TRUE(gui::PumpUntil([&] { return (row = FindRow(L"listLostDisk", L"HD14: ")) >= 0; }));
    ClickRow(L"listLostDisk", row);
    ASSERT_EQ(row, lost->GetCurSel());
    ClickAndWaitForPage(L"btnNext", 3);
    ClickAndWaitForPage(L"btnNext", 4);
    EXPECT_EQ(SCAN_KIND_LOST_PARTITION, ScanKind);
    WalkScan("lost", false);
    ASSERT_FALSE(HasFatalFailure());

    // The dialogs over a worker (recovery, save, load) close when their
    // work is done, often before a look: their layouts, over the frame.
    for (const wchar_t* layout : {L"dlg_recovering", L"dlg_saveresult", L"dlg_loaddata"}) {
        CSkinDialog* dlg = new CSkinDialog(layout);
        ASSERT_TRUE(dlg->CreateOver(m_hwnd));
        dlg->CenterWindow();
        ShowWindow(dlg->GetHWND(), SW_SHOWNORMAL);
        CPaintManagerUI& dpm = dlg->GetPaintManager();
        ASSERT_TRUE(gui::PumpUntil([&] { return dpm.GetRoot() && dpm.GetRoot()->GetPos().right > 0; }));
        ExpectReachable(dpm, {L"btnStop"}, testpaths::Narrow(layout).c_str());
        DestroyWindow(dlg->GetHWND());
        delete dlg;
    }
}

// A long deep scan stopped with Stop, pressed where the user sees it with
// the pointer that just rested on Pause: the scan ends within seconds, Home
// and Save answer, and what it found so far stays listed and comes back
// byte for byte.
TEST_F(ReachTest, StopEndsALongDeepScanAndKeepsWhatItFound)
{
    const std::wstring image = testpaths::Fixture(L"sparse-deep.raw");
    const auto key = ReadTsv(testpaths::Fixture(L"sparse-deep.tsv"), true);
    ASSERT_EQ(32u, key.size());
    devicemap::CMountedDrive sparse;
    ASSERT_TRUE(sparse.Define(L'W', testpaths::MakeTempDir(L"rwroot"), image));
    AnnounceVolume(L'W');
    ASSERT_FALSE(HasFatalFailure());
    StartScanOf(L"DeepReocverButton", L"(W:\\)", true);
    CScanDiskDlg* dlg = m_frame->GetScanDiskDlg();

    // A few findings in the list, and the scan far from its end.
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetResultList()->GetCount() >= 3 || !dlg->IsScanRunning(); },
                               240000));
    ASSERT_TRUE(dlg->IsScanRunning());
    ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(pm(), L"scanProgressCtl"); }));
    SetForegroundWindow(m_hwnd);
    RedrawWindow(m_hwnd, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    const std::wstring why = gui::Unreachable(pm(), L"btnStop");
    ASSERT_TRUE(why.empty()) << testpaths::Narrow(why);
    EXPECT_FALSE(gui::Find(pm(), L"btnHome")->IsEnabled());
    EXPECT_FALSE(gui::Find(pm(), L"SaveScanResultButton")->IsEnabled());
    gui::SaveScreenshot(m_hwnd, L"stop_before");

    // As a person stops it, through the system's input: the pointer rests
    // on Stop, then on Pause, long enough for each tip to show; neither tip
    // lies over the other button. Then it moves to Stop and presses.
    auto screenRect = [&](const wchar_t* name) {
        RECT rc = gui::Find(pm(), name)->GetPos();
        MapWindowPoints(m_hwnd, NULL, (POINT*)&rc, 2);
        return rc;
    };
    auto tipMeets = [&](const wchar_t* over, const wchar_t* other) {
        EXPECT_TRUE(gui::MovePointer(pm(), gui::Find(pm(), over)));
        gui::Rest(3000);
        HWND tip = gui::ShownTooltip();
        EXPECT_TRUE(tip != NULL) << testpaths::Narrow(over) << " shows no tip";
        RECT rcTip = {}, meet;
        const RECT rcOther = screenRect(other);
        return tip && GetWindowRect(tip, &rcTip) && IntersectRect(&meet, &rcTip, &rcOther);
    };
    EXPECT_FALSE(tipMeets(L"btnStop", L"btnPause")) << "the tip of Stop lies over Pause";
    EXPECT_FALSE(tipMeets(L"btnPause", L"btnStop")) << "the tip of Pause lies over Stop";
    gui::SaveScreenScreenshot(L"stop_pause_tip");
    ASSERT_TRUE(dlg->IsScanRunning());
    ASSERT_TRUE(gui::MovePointer(pm(), gui::Find(pm(), L"btnStop")));
    const DWORD clicked = GetTickCount();
    gui::PressPointer();
    ASSERT_TRUE(gui::PumpUntil([&] { return !dlg->IsScanRunning() && gui::Find(pm(), L"btnHome")->IsEnabled(); },
                               30000));
    const DWORD took = GetTickCount() - clicked;
    EXPECT_LT(took, 5000u) << "the scan took " << took << " ms to stop";
    std::cout << "[ stopped  ] " << took << " ms after the click, " << m_frame->GetFoundCount() << " found\n";
    EXPECT_TRUE(m_reporter.Has(L"OnStopScan"));
    // The intake drains what was handed over; nothing more comes.
    ASSERT_TRUE(gui::PumpUntil(
        [&] {
            return !m_frame->IsRefreshTimerRunning() &&
                   m_frame->GetResultList()->GetCount() == (int)m_frame->GetFoundCount();
        },
        30000));
    const size_t found = m_frame->GetFoundCount();
    EXPECT_GE(found, 3u);
    EXPECT_LT(found, key.size());
    EXPECT_FALSE(gui::IsShown(pm(), L"btnStop") || gui::IsShown(pm(), L"btnPause"));
    for (const wchar_t* name : {L"btnHome", L"SaveScanResultButton", L"btnRestoreFiles"}) {
        EXPECT_TRUE(gui::Find(pm(), name)->IsEnabled()) << testpaths::Narrow(name);
        const std::wstring w = gui::Unreachable(pm(), name);
        EXPECT_TRUE(w.empty()) << testpaths::Narrow(w);
    }
    gui::SaveScreenshot(m_hwnd, L"stop_after");

    // Every finding listed is a picture of the key; the first comes back
    // byte for byte.
    std::set<std::tuple<uint64_t, uint64_t>> want;
    for (const auto& r : key)
        want.insert(std::make_tuple(std::stoull(r[0]), std::stoull(r[1])));
    std::vector<CListThumbElementUI*> tiles = Tiles();
    ASSERT_EQ(found, tiles.size());
    for (CListThumbElementUI* t : tiles) {
        const DeepScanHit* hit = reinterpret_cast<const DeepScanHit*>(t->GetTag());
        ASSERT_TRUE(hit != NULL);
        EXPECT_TRUE(want.count(std::make_tuple(hit->GetStart(), hit->u64Length))) << hit->GetStart();
    }
    const DeepScanHit* first = reinterpret_cast<const DeepScanHit*>(tiles[0]->GetTag());
    const RECT box = tiles[0]->CheckBoxArea();
    PostMessageW(m_hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM((box.left + box.right) / 2, (box.top + box.bottom) / 2));
    PostMessageW(m_hwnd, WM_LBUTTONUP, 0, MAKELPARAM((box.left + box.right) / 2, (box.top + box.bottom) / 2));
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCheckedCount() == 1; }));
    // One finding: the file it goes to is asked for.
    const std::wstring target = testpaths::MakeTempDir(L"rstopout") + L"\\first." + Wide(first->szExtension);
    ChooseResultFile(target);
    MessageLog::texts.clear();
    ASSERT_TRUE(gui::Click(pm(), L"btnRestoreFiles"));
    ASSERT_TRUE(gui::PumpUntil([&] { return !MessageLog::texts.empty(); }, 60000));
    std::string want0 = std::string();
    {
        HANDLE h = CreateFileW(image.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                               NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        LARGE_INTEGER at;
        at.QuadPart = (LONGLONG)first->GetStart();
        want0.resize((size_t)first->u64Length);
        DWORD got = 0;
        EXPECT_TRUE(SetFilePointerEx(h, at, NULL, FILE_BEGIN) &&
                    ReadFile(h, &want0[0], (DWORD)want0.size(), &got, NULL) && got == want0.size());
        CloseHandle(h);
    }
    EXPECT_EQ(Sha256(want0), FileSha256(target)) << testpaths::Narrow(MessageLog::texts[0]);
}
