// What the user sees on the screen: windows as they paint themselves, with
// no shadow or other window over them; windows made only on the window
// thread (message boxes that workers ask for, the first-use guide).
#include <algorithm>
#include <atomic>
#include <thread>

#include "DialogFrame.h"
#include "app/GuideDlg.h"
#include "app/MessageDlg.h"
#include "app/WindowMessages.h"
#include "app/WndShadow.h"
#include "app/ResultText.h"
#include "engine/RecoverProcess.h"
#include "engine/ScanDiskDlg.h"
#include "storage/PartitionTable.h"
#include "core/Language.h"

using namespace wintest;

namespace {

class ScreenTest : public CDialogFrameTest
{
protected:
    void TearDown() override
    {
        CWndShadow::SetCompositionOverride(-1);
        CDialogFrameTest::TearDown();
    }
    // The frame in front, painted.
    void BringFrameForward()
    {
        SetForegroundWindow(m_hwnd);
        RedrawWindow(m_hwnd, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        gui::PumpPending();
    }
};

// hwnd lies below top in the z-order.
bool IsBelow(HWND hwnd, HWND top)
{
    for (HWND w = GetWindow(top, GW_HWNDNEXT); w; w = GetWindow(w, GW_HWNDNEXT))
        if (w == hwnd)
            return true;
    return false;
}

TEST_F(ScreenTest, NoShadowCoversTheFrameOrADialogOnTheScreen)
{
    // As the system answers: under Wine on a display without a compositor
    // layered windows are not composed, and no shadow is made there.
    CWndShadow::SetCompositionOverride(-1);
    BringFrameForward();
    if (!CWndShadow::IsComposited()) {
        EXPECT_EQ((HWND)(LONG_PTR)-1, m_frame->GetShadow().GetShadowWindow());
    }
    std::wstring why;
    ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsUncoveredOnScreen(m_hwnd, &why); })) << testpaths::Narrow(why);
    gui::SaveScreenshot(m_hwnd, L"screen_frame");

    // A message box over the frame, looked at from the moment it is found.
    SetMessageDlgProc(ShowSkinMessageDlg);
    bool firstLook = false, later = false;
    gui::OnDialog(L"DelvaroDlg", [&](HWND dlg) {
        std::wstring first;
        firstLook = gui::IsUncoveredOnScreen(dlg, &first);
        EXPECT_TRUE(firstLook) << testpaths::Narrow(first);
        later = gui::PumpUntil([&] { return gui::IsUncoveredOnScreen(dlg, &first); });
        EXPECT_TRUE(later) << testpaths::Narrow(first);
        gui::SaveScreenshot(dlg, L"screen_message");
        gui::SaveScreenScreenshot(L"screen_message_over_frame");
        // The check sees a cover: a dark window over a part of the box.
        RECT rc;
        GetWindowRect(dlg, &rc);
        HWND cover = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, L"STATIC", L"", WS_POPUP | WS_VISIBLE | SS_BLACKRECT,
                                     rc.left, rc.top, (rc.right - rc.left) / 3, rc.bottom - rc.top, dlg, NULL, NULL, NULL);
        ASSERT_TRUE(cover != NULL);
        UpdateWindow(cover);
        EXPECT_TRUE(gui::PumpUntil([&] { return !gui::IsUncoveredOnScreen(dlg); }));
        DestroyWindow(cover);
        EXPECT_TRUE(gui::PumpUntil([&] { return gui::IsUncoveredOnScreen(dlg); }));
        gui::Click(*gui::ManagerOf(dlg), L"btnYes");
    });
    EXPECT_EQ(6, MessageBoxByKey(L"NoFileCanRecovered", m_hwnd, MB_ICONINFORMATION, 0));
    SetMessageDlgProc(MessageLog::Proc);
    EXPECT_TRUE(firstLook && later);
}

TEST_F(ScreenTest, AComposedShadowStaysBelowItsWindow)
{
    // Where layered windows are composed, the shadow exists and lies below
    // the window it shadows, owned by that window's owner.
    CWndShadow::SetCompositionOverride(1);
    CMessageDlg* dlg = new CMessageDlg(L"Shadow", L"", 0, false);
    ASSERT_TRUE(dlg->CreateOver(m_hwnd));
    dlg->CenterWindow();
    ShowWindow(dlg->GetHWND(), SW_SHOWNORMAL);
    CWndShadow& shadow = dlg->GetShadow();
    ASSERT_TRUE(gui::PumpUntil([&] { return shadow.GetStatus() == 7; }));
    HWND sw = shadow.GetShadowWindow();
    ASSERT_TRUE(IsWindow(sw));
    EXPECT_TRUE(IsWindowVisible(sw));
    EXPECT_EQ(m_hwnd, GetWindow(sw, GW_OWNER));
    EXPECT_TRUE(GetWindowLongW(sw, GWL_EXSTYLE) & WS_EX_TRANSPARENT);

    // Raised (as activation does): the shadow follows it down at once. (A
    // display without a window manager may raise a layered window on its
    // own when it maps it; the window's next raise puts it right.)
    SetWindowPos(dlg->GetHWND(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_TRUE(IsBelow(sw, dlg->GetHWND()));
    EXPECT_FALSE(IsBelow(dlg->GetHWND(), sw));
    EXPECT_EQ(sw, GetWindow(dlg->GetHWND(), GW_HWNDNEXT));
    // Moving keeps the order too.
    RECT rc;
    GetWindowRect(dlg->GetHWND(), &rc);
    SetWindowPos(dlg->GetHWND(), NULL, rc.left + 20, rc.top + 10, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    EXPECT_TRUE(IsBelow(sw, dlg->GetHWND()));
    RECT srect;
    GetWindowRect(sw, &srect);
    EXPECT_EQ(rc.left + 20 - 4, srect.left);

    DestroyWindow(dlg->GetHWND());
    EXPECT_FALSE(IsWindow(sw));
    delete dlg;

    // Without composition no shadow window is made at all.
    CWndShadow::SetCompositionOverride(0);
    CMessageDlg* plain = new CMessageDlg(L"Plain", L"", 0, false);
    ASSERT_TRUE(plain->CreateOver(m_hwnd));
    EXPECT_EQ((HWND)(LONG_PTR)-1, plain->GetShadow().GetShadowWindow());
    EXPECT_EQ(0, plain->GetShadow().GetStatus());
    DestroyWindow(plain->GetHWND());
    delete plain;
}

// ---- windows only on the window thread ----

TEST_F(ScreenTest, AWorkersMessageBoxIsShownByTheWindowThreadAndAnswered)
{
    SetMessageDlgProc(ShowSkinMessageDlg);
    DWORD boxThread = 0;
    int shown = 0;
    gui::OnDialog(L"DelvaroDlg", [&](HWND dlg) {
        // Found among this thread's windows at all means it was made here.
        boxThread = GetWindowThreadProcessId(dlg, NULL);
        ++shown;
        CPaintManagerUI* dpm = gui::ManagerOf(dlg);
        ASSERT_TRUE(dpm != NULL);
        EXPECT_TRUE(gui::PumpUntil([&] { return gui::IsShown(*dpm, L"btnYes"); }));
        // Over the frame, which it disables while it is up.
        EXPECT_EQ(m_hwnd, GetWindow(dlg, GW_OWNER));
        EXPECT_FALSE(IsWindowEnabled(m_hwnd));
        gui::Click(*dpm, L"btnYes");
    });
    std::atomic<int> answer(-1);
    std::thread worker([&] { answer = MessageBoxByKey(L"NoFileCanRecovered", NULL, MB_ICONINFORMATION | MB_YESNO, 0); });
    EXPECT_TRUE(gui::PumpUntil([&] { return answer != -1; }));
    // A box the worker made itself would wait for ever: closed, so the test
    // ends.
    if (answer == -1)
        if (HWND stray = FindProcessWindow(L"DelvaroDlg"))
            PostMessageW(stray, WM_CLOSE, 0, 0);
    worker.join();
    EXPECT_EQ(6, answer.load());
    EXPECT_EQ(1, shown);
    EXPECT_EQ(GetCurrentThreadId(), boxThread);
    EXPECT_TRUE(IsWindowEnabled(m_hwnd));

    // The program's other boxes (here the test's stand-in) take the same way:
    // the stand-in runs on the window thread too.
    SetMessageDlgProc([](HWND, const wchar_t* text, const wchar_t*, UINT, int) {
        MessageLog::texts.push_back(text ? text : L"");
        return GetCurrentThreadId() == (DWORD)MessageLog::answer ? 12 : 0;
    });
    MessageLog::texts.clear();
    MessageLog::answer = (int)GetCurrentThreadId();
    answer = -1;
    std::thread second([&] { answer = ErrorBoxByKey(L"NoFileCanRecovered", NULL); });
    EXPECT_TRUE(gui::PumpUntil([&] { return answer != -1; }));
    second.join();
    EXPECT_EQ(12, answer.load());
    ASSERT_EQ(1u, MessageLog::texts.size());
    EXPECT_EQ(MessageText(L"NoFileCanRecovered"), MessageLog::texts[0]);
    SetMessageDlgProc(MessageLog::Proc);
    MessageLog::answer = 7;

    // Once the window is gone, a worker's box is its own again (and does
    // not wait for a window that cannot answer).
    HWND frame = m_hwnd;
    CloseFrame();
    EXPECT_FALSE(IsWindow(frame));
    EXPECT_TRUE(GetMessageBoxHost() == NULL);
    answer = -1;
    std::thread third([&] { answer = MessageBoxByKey(L"NoFileCanRecovered", NULL, MB_ICONINFORMATION, 0); });
    third.join();
    EXPECT_EQ(7, answer.load());  // the stand-in's answer, given on the worker
}

// ---- dialogs deleted after their modal loop ----

class CCountedDialog : public CSkinDialog
{
public:
    CCountedDialog() : CSkinDialog(L"dlg_about") { ++s_live; }
    ~CCountedDialog() override { --s_live; }
    void OnFinalMessage(HWND hWnd) override
    {
        CSkinDialog::OnFinalMessage(hWnd);
        // Only a static is touched: the object may be gone if the window
        // deleted it.
        s_liveAfterFinal = s_live;
    }
    static int s_live;
    static int s_liveAfterFinal;
};
int CCountedDialog::s_live = 0;
int CCountedDialog::s_liveAfterFinal = -1;

TEST_F(ScreenTest, ASelfDeletingDialogGoesOnlyAfterItsModalLoop)
{
    bool closed = false;
    gui::OnDialog(L"DelvaroDlg", [&](HWND dlg) {
        EXPECT_EQ(1, CCountedDialog::s_live);
        PostMessageW(dlg, WM_CLOSE, 0, 0);
        closed = true;
    });
    CSkinDialog::RunSelfDeleting(new CCountedDialog, m_hwnd);
    EXPECT_TRUE(closed);
    // Still there when its window's last message had run; gone now.
    EXPECT_EQ(1, CCountedDialog::s_liveAfterFinal);
    EXPECT_EQ(0, CCountedDialog::s_live);
    EXPECT_TRUE(IsWindowEnabled(m_hwnd));
}

// ---- texts and rows the user reads ----

TEST_F(ScreenTest, FourLostPartitionsAllShowWholeOnTheDiskPage)
{
    m_frame->SelectPage(1);
    DuiLib::CListUI* lost = static_cast<DuiLib::CListUI*>(gui::Find(pm(), L"listLostDisk")->GetInterface(DUI_CTR_LIST));
    ASSERT_TRUE(lost != NULL);
    std::vector<CPartitionInfo*> extra;
    while (lost->GetCount() < 4) {
        CPartitionInfo* p = new CPartitionInfo;
        p->m_nType = 7;
        p->m_StartSector = 4096 + 2048 * extra.size();
        p->m_SectorCount = 204800;
        extra.push_back(p);
        m_frame->AddLostPartitionItem(p);
    }
    // Every row is either whole in the list's view or wholly outside it
    // (reached by scrolling); none is cut in two.
    auto noneCut = [&] {
        const RECT view = lost->GetList()->GetPos();
        for (int i = 0; i < lost->GetCount(); ++i) {
            const RECT r = lost->GetItemAt(i)->GetPos();
            const bool inside = r.top >= view.top && r.bottom <= view.bottom;
            const bool outside = r.bottom <= view.top || r.top >= view.bottom;
            if (!inside && !outside)
                return false;
        }
        return true;
    };
    gui::PumpPending();
    EXPECT_TRUE(gui::PumpUntil(noneCut));
    gui::SaveScreenshot(m_hwnd, L"page_disks_four_lost");
    // Scrolled to the end, the fourth row is whole in view.
    lost->EndDown();
    EXPECT_TRUE(gui::PumpUntil([&] {
        const RECT view = lost->GetList()->GetPos(), r = lost->GetItemAt(3)->GetPos();
        return r.top >= view.top && r.bottom <= view.bottom && r.bottom > r.top;
    }));
    EXPECT_TRUE(noneCut());
    CloseFrame();
    for (CPartitionInfo* p : extra)
        delete p;
}

TEST_F(ScreenTest, SizesCountsAndTimesReadAsSentences)
{
    // Disk sizes: megabytes under 1 GB, never "0 GB".
    EXPECT_EQ(L"512 MB", DiskSizeText(0.5));
    EXPECT_EQ(L"1023 MB", DiskSizeText(1023.0 / 1024.0));
    EXPECT_EQ(L"1 GB", DiskSizeText(1.0));
    EXPECT_EQ(L"77 GB", DiskSizeText(77.3));
    EXPECT_EQ(L"0 MB", DiskSizeText(-1.0));

    // One file is one file.
    const std::wstring one = BottomStatusText(1, 2048);
    EXPECT_EQ(0u, one.find(L"Selected: 1 file, ")) << testpaths::Narrow(one);
    EXPECT_EQ(std::wstring::npos, one.find(L"files"));
    EXPECT_NE(std::wstring::npos, BottomStatusText(2, 4096).find(L"2 files"));
    MessageLog::texts.clear();
    RecoverFinishedInfo info;
    info.recovered = 1;
    CRecoverProcessWorker::ShowRecoverFinished(m_hwnd, info);
    info.recovered = 3;
    CRecoverProcessWorker::ShowRecoverFinished(m_hwnd, info);
    // Some partial, some failed: the box says how many of each.
    info.partial = 1;
    info.failed = 2;
    CRecoverProcessWorker::ShowRecoverFinished(m_hwnd, info);
    ASSERT_EQ(3u, MessageLog::texts.size());
    EXPECT_EQ(0u, MessageLog::texts[0].find(L"1 file was recovered.")) << testpaths::Narrow(MessageLog::texts[0]);
    EXPECT_EQ(0u, MessageLog::texts[1].find(L"3 files were recovered."));
    EXPECT_EQ(0u, MessageLog::texts[2].find(L"Files recovered: 3 (2 whole, 1 partial"))
        << testpaths::Narrow(MessageLog::texts[2]);
    EXPECT_NE(std::wstring::npos, MessageLog::texts[2].find(L"failed: 2."));

    // A scan's progress before there is an estimate: no made-up clock.
    m_frame->SelectPage(4);
    gui::PumpPending();
    ScanProgressInfo* progress = new ScanProgressInfo;
    progress->nDone = 100;
    progress->nTotal = 20000;
    progress->bActive = true;
    SendMessageW(m_hwnd, WMU_ScanProgress, (WPARAM)progress, 1);
    const std::wstring text = TextOf(pm(), L"scanProgress");
    EXPECT_NE(std::wstring::npos, text.find(L"0.50%")) << testpaths::Narrow(text);
    EXPECT_EQ(std::wstring::npos, text.find(L"99:99:99")) << testpaths::Narrow(text);
    EXPECT_NE(std::wstring::npos, text.find(RemainTimeUnknownText()));
    // Every language has the new texts.
    for (int cp : {936, 950, 1252}) {
        gui::UseLanguage(cp);
        for (const wchar_t* key : {L"RemainTimeUnknown", L"RecoverSuccessOne", L"BottomStatusOne", L"DiskSizeMB",
                                   L"DiskSizeGB", L"RecoverSummary", L"RecoverSomeFailed", L"RecoverNothing",
                                   L"DeviceGone"})
            EXPECT_FALSE(GetUIText(key).empty()) << cp << " " << testpaths::Narrow(key);
    }
    gui::UseLanguage(1252);
}

// ---- the first-use tips over a running scan ----

TEST_F(ScreenTest, TheScanningTipLeavesTheProgressInSight)
{
    m_frame->SelectPage(4);
    gui::PumpPending();
    ScanProgressInfo* progress = new ScanProgressInfo;
    progress->nDone = 5000;
    progress->nTotal = 20000;
    progress->bActive = true;
    SendMessageW(m_hwnd, WMU_ScanProgress, (WPARAM)progress, 1);
    CControlUI* bar = gui::Find(pm(), L"scanProgressCtl");
    ASSERT_TRUE(bar != NULL);
    ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(bar) && bar->GetPos().bottom > bar->GetPos().top; }));
    BringFrameForward();
    RECT rc = bar->GetPos();
    POINT origin = {0, 0};
    ClientToScreen(m_hwnd, &origin);
    OffsetRect(&rc, origin.x, origin.y);
    RECT frameRect;
    GetWindowRect(m_hwnd, &frameRect);

    HWND guide = ShowFirstUseGuide(m_frame, GUIDE_SCANNING);
    ASSERT_TRUE(guide != NULL);
    EXPECT_EQ(GetCurrentThreadId(), GetWindowThreadProcessId(guide, NULL));
    ASSERT_TRUE(gui::PumpUntil([&] {
        RECT g;
        return GetWindowRect(guide, &g) && EqualRect(&g, &frameRect) && IsWindowVisible(guide);
    }));
    UpdateWindow(guide);
    gui::PumpPending();
    // The frame's own picture of the progress strip is what the screen shows.
    int w = 0, h = 0, sw = 0, sh = 0;
    std::vector<uint32_t> own, shown;
    ASSERT_TRUE(gui::CaptureWindow(m_hwnd, w, h, own));
    auto same = [&](const RECT& r) {
        if (!gui::CaptureScreen(r, sw, sh, shown))
            return 0.0;
        size_t equal = 0;
        for (int y = 0; y < sh; ++y)
            for (int x = 0; x < sw; ++x)
                if ((own[(size_t)(y + r.top - frameRect.top) * w + x + r.left - frameRect.left] & 0xFFFFFF) ==
                    (shown[(size_t)y * sw + x] & 0xFFFFFF))
                    ++equal;
        return (double)equal / ((size_t)sw * sh);
    };
    double inSight = 0;
    EXPECT_TRUE(gui::PumpUntil([&] { return (inSight = same(rc)) > 0.98; })) << inSight;
    // The rest of the window is under the tip.
    RECT middle = {frameRect.left + 200, frameRect.top + 250, frameRect.left + 600, frameRect.top + 350};
    EXPECT_LT(same(middle), 0.5);
    // What shows through answers: the frame stays enabled, and the point
    // in the middle of Stop belongs to the frame, not to the tip.
    EXPECT_TRUE(IsWindowEnabled(m_hwnd));
    CControlUI* stop = gui::Find(pm(), L"btnStop");
    ASSERT_TRUE(stop != NULL);
    const RECT s = stop->GetPos();
    POINT inStop = {(s.left + s.right) / 2 + origin.x, (s.top + s.bottom) / 2 + origin.y};
    EXPECT_EQ(m_hwnd, GetAncestor(WindowFromPoint(inStop), GA_ROOT));
    gui::SaveScreenScreenshot(L"screen_guide_scanning");
    CloseFirstUseGuide(guide);
    EXPECT_FALSE(IsWindow(guide));
    EXPECT_TRUE(IsWindowEnabled(m_hwnd));
}

}  // namespace
