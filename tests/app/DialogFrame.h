// A main window under test for the dialogs it opens: message boxes and usage
// events recorded, a partition control of the test's choosing, and helpers
// to reach a dialog's controls and type into them.
#pragma once
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>

#include "GuiHarness.h"
#include "WindowTestUtil.h"
#include "app/MainFrame.h"
#include "common/TestPaths.h"
#include "core/Language.h"
#include "core/Settings.h"

namespace wintest {

class CDialogFrameTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    // The partition control new frames get; before OpenFrame.
    virtual PartitionScanFactory Factory() { return CFakePartitionScan::Make; }
    void OpenFrame();
    void CloseFrame();
    CPaintManagerUI& pm() { return m_frame->GetPaintManager(); }

    // Opens the title menu and clicks item; action runs once the dialog of
    // class cls is up, and the call returns when that dialog is gone.
    void RunFromMenu(const wchar_t* item, std::function<void(HWND, CPaintManagerUI&)> action,
                     const wchar_t* cls = L"DelvaroDlg");
    // Clicks the frame's control and runs action on the dialog that opens.
    void RunFromButton(const wchar_t* button, std::function<void(HWND, CPaintManagerUI&)> action,
                       const wchar_t* cls = L"DelvaroDlg");

    CRecordingReporter m_reporter;
    IUsageReporter* m_oldReporter = NULL;
    MessageDlgProc m_oldBox = NULL;
    PartitionScanFactory m_oldFactory = NULL;
    CMainFrame* m_frame = NULL;
    HWND m_hwnd = NULL;
};

// The control's text.
std::wstring TextOf(CPaintManagerUI& pm, const wchar_t* name);
// Clicks an edit control and types text over what it holds (characters as
// WM_CHAR to the edit's native window); true when the control then holds
// what the edit accepted.
bool TypeInto(CPaintManagerUI& pm, const wchar_t* name, const std::wstring& text);
// Waits until the dialog window is gone.
bool WaitGone(HWND hwnd);
// The visible top-level window of class cls of any thread of this process.
HWND FindProcessWindow(const wchar_t* cls);

}  // namespace wintest
