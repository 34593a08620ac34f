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

}  // namespace
