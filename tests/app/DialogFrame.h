// The main window under test: a fresh frame for every test, message boxes
// and usage events recorded, a partition control of the test's choosing,
// the result dialogs and settings a test changes put back; helpers that
// walk its pages, lists and result trees as a user does, and reach the
// dialogs it opens.
#pragma once
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <string>
#include <vector>

#include "GuiHarness.h"
#include "WindowTestUtil.h"
#include "app/MainFrame.h"
#include "app/ResultDialogs.h"
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

    // The partition control new frames get (NULL: the program's own);
    // before OpenFrame.
    virtual PartitionScanFactory Factory() { return CFakePartitionScan::Make; }
    // Settings the test's frame starts with; before OpenFrame.
    virtual void Configure() {}
    // The settings of the scanning tests: results as a list, and the deep
    // scan stepping by 512-byte clusters, where the pictures of the carving
    // images lie.
    static void UseScanSettings();
    void OpenFrame();
    void CloseFrame();
    CPaintManagerUI& pm() { return m_frame->GetPaintManager(); }
    DuiLib::CListUI* List(const wchar_t* name);

    // ---- the pages, as a user walks them ----
    void ClickAndWaitForPage(const wchar_t* name, int page);
    // The text of a sub-control of a list's row.
    std::wstring RowText(DuiLib::CListUI* list, int i, const wchar_t* sub = L"diskName");
    // The first row of a list whose name holds text (with shownOnly, the
    // first one shown); -1 when none.
    int FindRow(const wchar_t* list, const wchar_t* text, bool shownOnly = false);
    // Scrolls a row into view (as the wheel would) and clicks it.
    void ClickRow(const wchar_t* list, int index);
    // Selects the visible disk-page row whose name holds the text.
    void ClickDiskRow(const std::wstring& text);
    // From the home page through the disk and type pages to a running
    // scan, with every category chosen (the default) or pictures only.
    void StartScanOf(const wchar_t* job, const std::wstring& row, bool picturesOnly);
    // The scan has ended and the intake has moved every finding.
    void WaitForResults(DWORD ms = 240000);
    // The rows of the result list (the visible ones only, or all).
    std::vector<CListThumbElementUI*> Tiles(bool visibleOnly = false);
    // The file choosers of the save and load commands answer with path.
    static void ChooseResultFile(const std::wstring& path);
    // A volume image the test has just mapped is announced as a user's
    // plugged-in drive, and the disk list takes it in.
    void AnnounceVolume(wchar_t letter);
    // Checks every entry through the type tree's root.
    void CheckEverything(size_t count);
    // Recovers the checked entries through the recovery dialog into a new
    // folder (carved hits by type, found files with their folders) and
    // waits for the success box. The folder comes back.
    std::wstring RecoverChecked(const wchar_t* folderName);

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
    ResultDialogs m_oldDialogs = {};
    uint32_t m_oldClusterSize = 512;
    int m_oldViewMode = 1;
    CMainFrame* m_frame = NULL;
    HWND m_hwnd = NULL;
};

// ---- the result trees (native tree views) ----
// An item's label, "name(count)".
std::wstring TreeLabel(HWND tree, HTREEITEM item);
// The count an item's label shows; -1 without one.
long long TreeCount(HWND tree, HTREEITEM item);
// The item at or below `from` (and its later siblings) whose label, before
// the count, is key.
HTREEITEM FindTreeItem(HWND tree, HTREEITEM from, const std::wstring& key);
// A real click on a tree item: on its label, or on its check box.
void ClickTreeItem(HWND tree, HTREEITEM item, bool checkBox);

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
