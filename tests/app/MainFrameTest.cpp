// The main window driven as a user would: by control name, with synthetic
// clicks and keys, over two mapped devices: W: a FAT16 volume image and
// \\.\PhysicalDrive6 an MBR disk image.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <thread>

#include "DialogFrame.h"
#include "app/MainFrame.h"
#include "app/MenuWnd.h"
#include "app/WindowMessages.h"
#include "common/DeviceMap.h"
#include "common/TestPaths.h"
#include "core/Language.h"
#include "core/Settings.h"

using namespace wintest;

namespace {

void CALLBACK ReleaseParse(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(NULL, id);
    SetEvent(wintest::CFakePartitionScan::parseGate);
}

// From inside a scan start's wait: whether Next answers, and a second
// start; then the held parse goes on.
CMainFrame* g_startFrame = NULL;
int g_nextEnabledInWait = -1;
int g_secondStart = -1;
void CALLBACK StartAgainThenRelease(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(NULL, id);
    CControlUI* next = gui::Find(g_startFrame->GetPaintManager(), L"btnNext");
    g_nextEnabledInWait = next && next->IsEnabled() ? 1 : 0;
    g_secondStart = g_startFrame->StartScan(SCAN_KIND_DELETED) ? 1 : 0;
    SetTimer(NULL, 0, 300, ReleaseParse);
}

class FrameTest : public CDialogFrameTest
{
protected:
    static void SetUpTestSuite()
    {
        CDialogFrameTest::SetUpTestSuite();
        s_drive = new devicemap::CMountedDrive;
        s_disk = new devicemap::CScopedDeviceMap;
        s_root = testpaths::MakeTempDir(L"kroot");
        ASSERT_TRUE(s_drive->Define(L'W', s_root, testpaths::Fixture(L"fat16.img")));
        ASSERT_TRUE(s_disk->PhysicalDrive(6, testpaths::Fixture(L"disk-mbr.img")));
    }
    static void TearDownTestSuite()
    {
        delete s_disk;
        delete s_drive;
        CDialogFrameTest::TearDownTestSuite();
    }

    std::wstring StepImage(int page, int step)
    {
        CControlUI* holder = gui::Find(pm(), (L"wizProgress" + std::to_wstring(page)).c_str());
        CControlUI* m = pm().FindSubControlByName(holder, (L"WizStep" + std::to_wstring(step)).c_str());
        return m ? m->GetBkImage() : L"";
    }

    static devicemap::CMountedDrive* s_drive;
    static devicemap::CScopedDeviceMap* s_disk;
    static std::wstring s_root;
};
devicemap::CMountedDrive* FrameTest::s_drive = NULL;
devicemap::CScopedDeviceMap* FrameTest::s_disk = NULL;
std::wstring FrameTest::s_root;

// ---- the two ways through the pages ----

TEST_F(FrameTest, StandardModeLeadsFromTheHomePageToTheDiskPageAndBack)
{
    ClickAndWaitForPage(L"btnProMode", 0);
    EXPECT_EQ(1, m_frame->GetUiMode());
    EXPECT_TRUE(m_reporter.Has(L"Mode_Standard"));
    EXPECT_EQ(1, g_ConfigSetting.m_bShowMode);
    EXPECT_FALSE(gui::IsShown(pm(), L"btnNext"));
    const std::wstring shot = gui::SaveScreenshot(m_hwnd, L"page_home");
    ASSERT_FALSE(shot.empty());

    // The home screen is a picture, not an empty window.
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    ASSERT_TRUE(gui::CaptureWindow(m_hwnd, w, h, px));
    size_t colours = 0;
    double other = 0;
    gui::ImageStats(px, colours, other);
    EXPECT_EQ(800, w);
    EXPECT_GT(colours, 50u);
    EXPECT_GT(other, 0.25);

    ClickAndWaitForPage(L"RecoverDeletedFileButton", 1);
    EXPECT_TRUE(m_reporter.Has(L"OnRecoverDeletedFile"));
    EXPECT_EQ(0, ScanKind);
    EXPECT_EQ(1, m_frame->GetDiskFilter());
    // Filter 1: volumes of fixed disks only.
    DuiLib::CListUI* disks = List(L"listDisk");
    for (int i = 0; i < disks->GetCount(); ++i) {
        const CDuiString& tag = disks->GetItemAt(i)->GetUserData();
        EXPECT_EQ(tag == L"Partition", disks->GetItemAt(i)->IsVisible()) << RowText(disks, i);
    }
    gui::SaveScreenshot(m_hwnd, L"page_disks_standard");

    // Next without a selection only tells the user.
    ClickAndWaitForPage(L"btnNext", 1);
    ASSERT_TRUE(gui::PumpUntil([] { return !MessageLog::texts.empty(); }));
    EXPECT_EQ(MessageText(L"SelectDisk"), MessageLog::texts.back());

    const int k = FindRow(L"listDisk", L"(W:\\)");
    ASSERT_GE(k, 0);
    ClickRow(L"listDisk", k);
    ClickAndWaitForPage(L"btnNext", 3);
    EXPECT_TRUE(gui::IsShown(pm(), L"btnSetPath"));  // the scan-path command of a quick scan
    gui::SaveScreenshot(m_hwnd, L"page_types");

    ClickAndWaitForPage(L"btnBack", 1);
    ClickAndWaitForPage(L"btnBack", 0);
    EXPECT_EQ(0, m_frame->GetDiskFilter());
    EXPECT_EQ(-1, List(L"listDisk")->GetCurSel());
    // Back from the file types after the recycle-bin job goes home.
    ClickAndWaitForPage(L"RecoverRecycleButton", 3);
    EXPECT_EQ(3, ScanKind);
    ClickAndWaitForPage(L"btnBack", 0);
    ClickAndWaitForPage(L"btnUseWizMode", 1);
}

TEST_F(FrameTest, WizardStepsFollowTheSelection)
{
    ASSERT_EQ(1, m_frame->GetCurrentPage());
    EXPECT_TRUE(m_reporter.Has(L"Mode_Guide"));
    gui::SaveScreenshot(m_hwnd, L"page_disks");

    const int k = FindRow(L"listDisk", L"(W:\\)");
    ASSERT_GE(k, 0);
    ClickRow(L"listDisk", k);
    EXPECT_FALSE(m_frame->NeedsDeepScan());
    ClickAndWaitForPage(L"btnNext", 2);
    // Pictures the layout does not give: the first step done, the second
    // current.
    EXPECT_EQ(L"file='mask/wiz_step_1.png' source='544,0,816,46'", StepImage(2, 1));
    EXPECT_EQ(L"file='mask/wiz_step_2.png' source='294,0,588,46'", StepImage(2, 2));
    EXPECT_EQ(L"file='mask/wiz_step_3.png' source='0,0,294,46'", StepImage(2, 3));
    ASSERT_TRUE(gui::Click(pm(), L"optDeepScan"));
    ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsSelected(pm(), L"optDeepScan"); }));
    EXPECT_EQ(0xFFE5F3FBu, gui::Find(pm(), L"deepScanBg")->GetBkColor());
    gui::SaveScreenshot(m_hwnd, L"page_modes");
    ClickAndWaitForPage(L"btnNext", 3);
    EXPECT_EQ(1, ScanKind);
    EXPECT_EQ(L"file='mask/wiz_step_1.png' source='544,0,816,46'", StepImage(3, 1));
    EXPECT_EQ(L"file='mask/wiz_step_2.png' source='588,0,882,46'", StepImage(3, 2));
    EXPECT_EQ(L"file='mask/wiz_step_3.png' source='294,0,588,46'", StepImage(3, 3));
    ClickAndWaitForPage(L"btnBack", 2);
    ClickAndWaitForPage(L"btnBack", 1);

    // The recycle-bin row goes straight to the file types, and back again.
    ClickRow(L"listDisk", 1);
    EXPECT_TRUE(m_frame->NeedsDeepScan());
    CControlUI* third = pm().FindSubControlByName(gui::Find(pm(), L"wizProgress1"), L"WizStep3");
    EXPECT_EQ(252, third->GetFixedXY().cx);
    ClickAndWaitForPage(L"btnNext", 3);
    EXPECT_EQ(3, ScanKind);
    ClickAndWaitForPage(L"btnBack", 1);

    // A whole disk: the deep scan.
    const int hd = FindRow(L"listDisk", L"HD6:");
    ASSERT_GE(hd, 0);
    ClickRow(L"listDisk", hd);
    ClickAndWaitForPage(L"btnNext", 3);
    EXPECT_EQ(1, ScanKind);
}

TEST_F(FrameTest, ClickArrivesBeforeTheOptionChanges)
{
    ClickAndWaitForPage(L"btnProMode", 0);
    ClickAndWaitForPage(L"RecoverRecycleButton", 3);
    struct Watch : DuiLib::INotifyUI
    {
        int stateAtClick = -1;
        void Notify(TNotifyUI& msg) override
        {
            if (msg.sType == DUI_MSGTYPE_CLICK && msg.pSender->GetName() == L"optSelectPicture")
                stateAtClick = static_cast<DuiLib::COptionUI*>(msg.pSender)->IsSelected();
        }
    } watch;
    pm().AddNotifier(&watch);
    ASSERT_TRUE(gui::IsSelected(pm(), L"optSelectPicture"));
    ASSERT_TRUE(gui::Click(pm(), L"optSelectPicture"));
    ASSERT_TRUE(gui::PumpUntil([&] { return !gui::IsSelected(pm(), L"optSelectPicture"); }));
    pm().RemoveNotifier(&watch);
    EXPECT_EQ(1, watch.stateAtClick);
    EXPECT_EQ(5, m_frame->GetSelectedCategoryCount());
    EXPECT_FALSE(gui::IsSelected(pm(), L"optSelectAllType"));
    // Documents still name PSD and CAD: each stays chosen once.
    const auto& f = m_frame->GetDeepScanFormats();
    EXPECT_EQ(1, std::count(f.begin(), f.end(), L"FILE_TYPE_PSD"));
    EXPECT_EQ(0, std::count(f.begin(), f.end(), L"FILE_TYPE_JPG"));

    ASSERT_TRUE(gui::Click(pm(), L"optSelectAllType"));
    ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsSelected(pm(), L"optSelectAllType"); }));
    EXPECT_EQ(6, m_frame->GetSelectedCategoryCount());
    EXPECT_TRUE(gui::IsSelected(pm(), L"optSelectPicture"));
    ASSERT_TRUE(gui::Click(pm(), L"optSelectAllType"));
    ASSERT_TRUE(gui::PumpUntil([&] { return !gui::IsSelected(pm(), L"optSelectAllType"); }));
    EXPECT_EQ(0, m_frame->GetSelectedCategoryCount());
    EXPECT_FALSE(m_frame->OtherTypesSelected());
    ClickAndWaitForPage(L"btnNext", 3);
    ASSERT_TRUE(gui::PumpUntil([] { return !MessageLog::texts.empty(); }));
    EXPECT_EQ(MessageText(L"SelectRecoverType"), MessageLog::texts.back());
}

// ---- the disk page ----

TEST_F(FrameTest, DiskPageListsTheMappedVolumeAndDisk)
{
    DuiLib::CListUI* disks = List(L"listDisk");
    ASSERT_GE(disks->GetCount(), 4);
    EXPECT_EQ(g_strLangDesktop, RowText(disks, 0));
    EXPECT_EQ(g_strLangRecycle, RowText(disks, 1));
    EXPECT_EQ(L"Folder", std::wstring(disks->GetItemAt(1)->GetUserData()));

    const int k = FindRow(L"listDisk", L"(W:\\)");
    const int hd = FindRow(L"listDisk", L"HD6:");
    ASSERT_GE(k, 0);
    ASSERT_GE(hd, 0);
    EXPECT_FALSE(RowText(disks, k, L"typeName").empty());
    EXPECT_EQ(L"Partition", std::wstring(disks->GetItemAt(k)->GetUserData()));
    EXPECT_EQ(L"icon/icon_drive.png", std::wstring(pm().FindSubControlByName(disks->GetItemAt(k), L"ico")->GetBkImage()));
    EXPECT_EQ(L"Hd", std::wstring(disks->GetItemAt(hd)->GetUserData()));
    EXPECT_TRUE(RowText(disks, hd, L"typeName").empty());
    // A disk row is a whole disk and never taken for a volume.
    ClickRow(L"listDisk", hd);
    void* data = NULL;
    EXPECT_TRUE(m_frame->GetSelectedDiskRow(1, &data) && data != NULL);
    EXPECT_FALSE(m_frame->GetSelectedDiskRow(0, &data));
    EXPECT_TRUE(m_frame->NeedsDeepScan());
    // Every volume row comes after a disk row.
    bool seenDisk = false;
    for (int i = 2; i < disks->GetCount(); ++i) {
        const CDuiString& tag = disks->GetItemAt(i)->GetUserData();
        seenDisk = seenDisk || tag == L"Hd";
        if (tag == L"Partition") {
            EXPECT_TRUE(seenDisk) << RowText(disks, i);
        }
    }

    // Filter 2 on a machine without removable disks: the hint and no rows.
    ClickAndWaitForPage(L"btnProMode", 0);
    ClickAndWaitForPage(L"RecoverUButton", 1);
    EXPECT_TRUE(gui::IsShown(pm(), L"UDiskHint"));
    for (int i = 0; i < disks->GetCount(); ++i)
        EXPECT_FALSE(disks->GetItemAt(i)->IsVisible()) << RowText(disks, i);
}

TEST_F(FrameTest, EachDiskListsItsOwnLostPartitionsOnce)
{
    DuiLib::CListUI* lost = List(L"listLostDisk");
    const int disks = m_frame->GetPhysicalDiskList().GetCount();
    ASSERT_GE(disks, 2);
    ASSERT_EQ(disks, lost->GetCount());
    for (int i = 0; i < lost->GetCount(); ++i)
        for (int j = i + 1; j < lost->GetCount(); ++j)
            EXPECT_NE(lost->GetItemAt(i)->GetTag(), lost->GetItemAt(j)->GetTag());
    EXPECT_GE(FindRow(L"listLostDisk", L"Lost6 (*:\\)"), 0);
    EXPECT_EQ(L"NTFS", RowText(lost, 0, L"typeName"));

    // A partition found by the search thread becomes a row through the window.
    CPartitionInfo found;
    found.m_nType = 11;
    found.m_StartSector = 2048 + 40;
    found.m_SectorCount = 4096;
    std::thread search([&] { m_frame->AddLostPartitionItem(&found); });
    ASSERT_TRUE(gui::PumpUntil([&] { return lost->GetCount() == disks + 1; }));
    search.join();
    EXPECT_EQ(L"FAT32", RowText(lost, disks, L"typeName"));

    // The lost-partition dialog hands a partition back: it is selected and
    // the wizard moves on.
    ClickRow(L"listDisk", FindRow(L"listDisk", L"(W:\\)"));
    SendMessageW(m_hwnd, WMU_SelectLostPartition, (WPARAM)&found, 0);
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCurrentPage() == 3; }));
    EXPECT_EQ(disks, lost->GetCurSel());
    EXPECT_EQ(-1, List(L"listDisk")->GetCurSel());
    EXPECT_EQ(4, ScanKind);
    lost->RemoveAt(disks);  // the row points at this test's record
}

TEST_F(FrameTest, VolumeChangeForgetsTheSelectionAndRefillsOnce)
{
    ClickRow(L"listDisk", FindRow(L"listDisk", L"(W:\\)"));
    ClickAndWaitForPage(L"btnNext", 2);
    ASSERT_TRUE(m_frame->GetScanDiskDlg()->m_pVolume != NULL);
    const int before = CFakePartitionScan::enumerations;

    // Not a volume: nothing happens.
    DEV_BROADCAST_HDR port = {sizeof(port), DBT_DEVTYP_PORT, 0};
    SendMessageW(m_hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&port);
    EXPECT_FALSE(m_frame->IsDiskEnumRunning());
    EXPECT_EQ(2, m_frame->GetCurrentPage());

    // Two volume changes in a row: one enumeration runs, one more follows.
    DEV_BROADCAST_HDR volume = {sizeof(volume), DBT_DEVTYP_VOLUME, 0};
    SendMessageW(m_hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&volume);
    SendMessageW(m_hwnd, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, (LPARAM)&volume);
    ASSERT_TRUE(gui::PumpUntil([&] { return !m_frame->IsDiskEnumRunning() && CFakePartitionScan::enumerations == before + 2; }));
    gui::PumpPending();
    EXPECT_EQ(before + 2, CFakePartitionScan::enumerations);
    EXPECT_TRUE(m_frame->GetScanDiskDlg()->m_pVolume == NULL);
    EXPECT_EQ(1, m_frame->GetCurrentPage());
    EXPECT_GE(FindRow(L"listDisk", L"(W:\\)"), 0);
}

// ---- keys, menus and closing ----

TEST_F(FrameTest, TitleMenuOpensBelowItsButtonAndHandsOverTheItem)
{
    static std::vector<std::wstring> commands;
    static WNDPROC previous = NULL;
    commands.clear();
    struct Hook
    {
        static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l)
        {
            if (m == WMU_MenuItemClick && w) {
                commands.push_back(*(std::wstring*)w);
                // The update check itself is the update tests' subject:
                // here it would only end in a message box nobody answers.
                if (commands.back() == L"menuUpdate") {
                    delete (std::wstring*)w;
                    return 0;
                }
            }
            return CallWindowProcW(previous, h, m, w, l);
        }
    };
    previous = (WNDPROC)SetWindowLongPtrW(m_hwnd, GWLP_WNDPROC, (LONG_PTR)Hook::Proc);

    ASSERT_TRUE(gui::Click(pm(), L"btnMenu"));
    HWND menu = NULL;
    ASSERT_TRUE(gui::PumpUntil([&] { return (menu = gui::FindThreadWindow(L"MenuWnd")) != NULL; }));
    gui::PumpUntil([&] { return gui::ManagerOf(menu) && gui::ManagerOf(menu)->GetRoot(); });
    gui::SaveScreenshot(menu, L"menu_title");
    RECT rcMenu, rcButton = gui::Find(pm(), L"btnMenu")->GetPos();
    GetWindowRect(menu, &rcMenu);
    POINT below = {rcButton.left, rcButton.bottom};
    ClientToScreen(m_hwnd, &below);
    EXPECT_EQ(below.y, rcMenu.top);
    CPaintManagerUI* mpm = gui::ManagerOf(menu);
    ASSERT_TRUE(mpm != NULL);
    EXPECT_TRUE(gui::IsShown(*mpm, L"menuSetting"));
    ASSERT_TRUE(gui::Click(*mpm, L"menuUpdate"));
    ASSERT_TRUE(gui::PumpUntil([&] { return !commands.empty(); }));
    EXPECT_EQ(L"menuUpdate", commands[0]);
    EXPECT_TRUE(gui::PumpUntil([&] { return !IsWindow(menu); }));

    // Escape closes it without a command.
    ASSERT_TRUE(gui::Click(pm(), L"btnMenu"));
    ASSERT_TRUE(gui::PumpUntil([&] { return (menu = gui::FindThreadWindow(L"MenuWnd")) != NULL; }));
    gui::Key(menu, VK_ESCAPE);
    ASSERT_TRUE(gui::PumpUntil([&] { return !IsWindow(menu); }));
    EXPECT_EQ(1u, commands.size());

    // The list menu at the screen's corner stays in the work area; with no
    // row selected its commands are off; losing the focus closes it.
    CListMenuWnd* listMenu = new CListMenuWnd;
    ASSERT_TRUE(listMenu->Init(gui::Find(pm(), L"listDisk"), GetSystemMetrics(SM_CXSCREEN) - 5,
                               GetSystemMetrics(SM_CYSCREEN) - 5, 1));
    menu = listMenu->GetHWND();
    ASSERT_TRUE(gui::PumpUntil([&] { return gui::Find(listMenu->GetPaintManager(), L"menuReView") &&
                                            !gui::Find(listMenu->GetPaintManager(), L"menuReView")->IsEnabled(); }));
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(menu, &rcMenu);
    EXPECT_LE(rcMenu.right, work.right);
    EXPECT_LE(rcMenu.bottom, work.bottom);
    SetForegroundWindow(m_hwnd);
    SetFocus(m_hwnd);
    ASSERT_TRUE(gui::PumpUntil([&] { return !IsWindow(menu); }));
    EXPECT_EQ(1u, commands.size());
    SetWindowLongPtrW(m_hwnd, GWLP_WNDPROC, (LONG_PTR)previous);
}

// The title menu as a person uses it, with the pointer moved and pressed
// through the system's input: it rests on the menu button until the
// button's tip shows, presses, rests there while the menu opens below and
// the eyes find the first item, then goes down to that item's word and
// presses: the item's command runs, whatever tip was up.
TEST_F(FrameTest, APressOnTheFirstMenuItemUnderTheMenuButtonReachesTheItem)
{
    static std::vector<std::wstring> commands;
    static WNDPROC previous = NULL;
    commands.clear();
    struct Hook
    {
        static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l)
        {
            if (m == WMU_MenuItemClick && w) {
                // Recorded only: the dialog itself is the dialog tests' subject.
                commands.push_back(*(std::wstring*)w);
                delete (std::wstring*)w;
                return 0;
            }
            return CallWindowProcW(previous, h, m, w, l);
        }
    };
    previous = (WNDPROC)SetWindowLongPtrW(m_hwnd, GWLP_WNDPROC, (LONG_PTR)Hook::Proc);
    SetForegroundWindow(m_hwnd);
    RedrawWindow(m_hwnd, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    const std::wstring why = gui::Unreachable(pm(), L"btnMenu");
    ASSERT_TRUE(why.empty()) << testpaths::Narrow(why);

    ASSERT_TRUE(gui::MovePointer(pm(), gui::Find(pm(), L"btnMenu")));
    ASSERT_TRUE(gui::RestUntilTooltip(3000) != NULL) << "the menu button shows no tip";
    gui::PressPointer();
    HWND menu = NULL;
    ASSERT_TRUE(gui::PumpUntil([&] { return (menu = gui::FindThreadWindow(L"MenuWnd")) != NULL; }));
    ASSERT_TRUE(gui::PumpUntil([&] { return gui::ManagerOf(menu) && gui::ManagerOf(menu)->GetRoot(); }));
    // A hand is never quite still: the pointer stirs on the button.
    RECT button = gui::Find(pm(), L"btnMenu")->GetPos();
    ASSERT_TRUE(gui::MovePointer(m_hwnd, POINT{(button.left + button.right) / 2 + 2, (button.top + button.bottom) / 2 + 1}));
    gui::Rest(2500);
    gui::SaveScreenScreenshot(L"pointer_menu_open");
    CPaintManagerUI* mpm = gui::ManagerOf(menu);
    CControlUI* item = gui::Find(*mpm, L"menuSetting");
    ASSERT_TRUE(item != NULL);
    const std::wstring itemWhy = gui::Unreachable(*mpm, item);
    EXPECT_TRUE(itemWhy.empty()) << testpaths::Narrow(itemWhy);
    // On its word: the text starts 16 pixels in.
    const RECT rc = item->GetPos();
    const POINT word = {rc.left + 28, (rc.top + rc.bottom) / 2};
    ASSERT_TRUE(gui::MovePointer(menu, word));
    gui::Rest(300);
    gui::SaveScreenScreenshot(L"pointer_menu_item");
    gui::PressPointer();
    EXPECT_TRUE(gui::PumpUntil([&] { return !commands.empty(); }, 5000)) << "the press reached no item";
    if (!commands.empty())
        EXPECT_EQ(L"menuSetting", commands[0]);
    if (IsWindow(menu))
        gui::Key(menu, VK_ESCAPE);
    EXPECT_TRUE(gui::PumpUntil([&] { return !IsWindow(menu); }));
    SetWindowLongPtrW(m_hwnd, GWLP_WNDPROC, (LONG_PTR)previous);
}

TEST_F(FrameTest, OneClosePathAsksThenWaitsForTheDiskEnumeration)
{
    // Escape does nothing.
    gui::Key(m_hwnd, VK_ESCAPE);
    gui::PumpUntil([] { return false; }, 200);
    ASSERT_TRUE(IsWindow(m_hwnd));

    // Closing asks; "no" with "don't ask again" keeps the window.
    SetCloseConfirm(-1);
    bool asked = false;
    gui::OnDialog(L"DelvaroDlg", [&](HWND dlg) {
        asked = true;
        CPaintManagerUI* dpm = gui::ManagerOf(dlg);
        gui::SaveScreenshot(dlg, L"dlg_close_confirm");
        gui::Click(*dpm, L"checkRemainFullPath");
        gui::PumpUntil([&] { return gui::IsSelected(*dpm, L"checkRemainFullPath"); });
        gui::Click(*dpm, L"btnClose");
    });
    SendMessageW(m_hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(gui::PumpUntil([&] { return asked && !gui::FindThreadWindow(L"DelvaroDlg"); }));
    gui::PumpPending();
    EXPECT_TRUE(IsWindow(m_hwnd));
    EXPECT_EQ(0, GetCloseConfirm());

    // A disk enumeration that is still reading: the window goes only after it.
    CFakePartitionScan::parseGate = CreateEventW(NULL, TRUE, FALSE, NULL);
    CFakePartitionScan::inParse = CreateEventW(NULL, TRUE, FALSE, NULL);
    CFakePartitionScan::watchWindow = m_hwnd;
    CFakePartitionScan::windowAliveAtRelease = -1;
    DEV_BROADCAST_HDR volume = {sizeof(volume), DBT_DEVTYP_VOLUME, 0};
    SendMessageW(m_hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&volume);
    ASSERT_TRUE(gui::PumpUntil([] { return WaitForSingleObject(CFakePartitionScan::inParse, 0) == WAIT_OBJECT_0; }));
    // Released from inside the close's own wait, a moment after it began.
    SetTimer(NULL, 0, 300, ReleaseParse);
    gui::Click(pm(), L"btnClose");
    ASSERT_TRUE(gui::PumpUntil([&] { return !IsWindow(m_hwnd); }));
    EXPECT_EQ(1, CFakePartitionScan::windowAliveAtRelease);
    CloseHandle(CFakePartitionScan::parseGate);
    CloseHandle(CFakePartitionScan::inParse);
    CFakePartitionScan::parseGate = CFakePartitionScan::inParse = NULL;
    SetCloseConfirm(0);
}

TEST_F(FrameTest, ScanOfTheRecycleBinGoesThroughTheCommonStart)
{
    // The recycle-bin scan walks every volume of the machine. Here C: and Z:
    // are host folders whose raw devices this test neither knows nor
    // controls: the walk keeps to W:, read as the FAT16 volume it is, which
    // has no recycle bin.
    CVolumeList* volumes = m_frame->GetVolumeList();
    ASSERT_TRUE(volumes != NULL);
    bool haveW = false;
    for (const std::vector<CVolumeInfo*>* kind : {&volumes->Fixed(), &volumes->Removable()})
        for (CVolumeInfo* v : *kind) {
            const bool w = v && v->m_strRoot.size() >= 3 && towupper(v->m_strRoot[0]) == L'W';
            haveW = haveW || w;
            if (v)
                v->m_strFileSystem = w ? L"FAT" : L"RAW";
        }
    ASSERT_TRUE(haveW);
    ClickAndWaitForPage(L"btnProMode", 0);
    ClickAndWaitForPage(L"RecoverRecycleButton", 3);
    MessageLog::texts.clear();
    ClickAndWaitForPage(L"btnNext", 4);
    // The scan-running controls and the disk-list gate of every scan.
    EXPECT_TRUE(m_frame->GetDiskListGate() != NULL);
    EXPECT_TRUE(gui::IsShown(pm(), L"btnRestoreFiles"));
    EXPECT_GT(m_frame->GetBusyAnimation().GetFrameCount(), 1);
    // The native trees over the result page: the folder tree for this scan.
    for (int id : {101, 102, 103})
        EXPECT_EQ(id, GetDlgCtrlID(m_frame->GetTreeWindow(id)));
    EXPECT_TRUE(IsWindowVisible(m_frame->GetTreeWindow(101)));
    EXPECT_FALSE(IsWindowVisible(m_frame->GetTreeWindow(103)));
    // W: has no recycle bin: the scan ends at once, with the nothing-found box.
    ASSERT_TRUE(gui::PumpUntil([] { return !MessageLog::texts.empty(); }))
        << "scan running " << m_frame->GetScanDiskDlg()->IsScanRunning() << ", found "
        << m_frame->GetScanDiskDlg()->m_u64Found << ", a popup over the window "
        << (GetLastActivePopup(m_hwnd) != m_hwnd);
    EXPECT_EQ(MessageText(L"NoFileCanRecovered"), MessageLog::texts.back());
    EXPECT_TRUE(gui::Find(pm(), L"btnHome")->IsEnabled());
    gui::SaveScreenshot(m_hwnd, L"page_results");
    ClickAndWaitForPage(L"btnHome", 0);
    EXPECT_TRUE(m_frame->GetDiskListGate() == NULL);
}

TEST_F(FrameTest, DeletedFilesScanOfTheMappedVolumeRunsFromTheWindow)
{
    // Wine names the file system of the drive's root folder; Windows would
    // name the volume's own, which the walkers go by.
    CVolumeInfo* k = m_frame->GetVolumeList()->FindVolumeByLetter(L'W');
    ASSERT_TRUE(k != NULL);
    k->m_strFileSystem = L"FAT";
    ClickAndWaitForPage(L"btnProMode", 0);
    ClickAndWaitForPage(L"RecoverDeletedFileButton", 1);
    ClickRow(L"listDisk", FindRow(L"listDisk", L"(W:\\)"));
    ClickAndWaitForPage(L"btnNext", 3);
    MessageLog::texts.clear();
    ClickAndWaitForPage(L"btnNext", 4);
    ASSERT_TRUE(gui::PumpUntil([&] {
        return !m_frame->GetScanDiskDlg()->IsScanRunning() && gui::Find(pm(), L"btnHome")->IsEnabled();
    }));
    // The walkers' findings reached the frame; with them there is no
    // nothing-found box, and recovery is offered.
    EXPECT_GT(m_frame->GetFoundCount(), 0u);
    EXPECT_TRUE(MessageLog::texts.empty());
    EXPECT_TRUE(gui::Find(pm(), L"btnRestoreFiles")->IsEnabled());
    ClickAndWaitForPage(L"btnHome", 0);
    EXPECT_EQ(0u, m_frame->GetFoundCount());
}

// Start pressed while a disk enumeration is past its gate, about to empty
// the lists: the start waits for it with Next and Back answering no click
// and a second start refused, and as the row chosen went, nothing is
// scanned: a disk is asked for again, with no "nothing found" for a volume
// never scanned.
TEST_F(FrameTest, StartDuringADiskEnumerationWaitsAndChecksTheChoiceAgain)
{
    ClickAndWaitForPage(L"btnProMode", 0);
    ClickAndWaitForPage(L"RecoverDeletedFileButton", 1);
    ClickRow(L"listDisk", FindRow(L"listDisk", L"(W:\\)"));
    ClickAndWaitForPage(L"btnNext", 3);
    gui::PumpPending();
    MessageLog::texts.clear();
    CFakePartitionScan::parseGate = CreateEventW(NULL, TRUE, FALSE, NULL);
    CFakePartitionScan::inParse = CreateEventW(NULL, TRUE, FALSE, NULL);
    // The enumeration passes its gate and waits for the window to empty the
    // lists, which it does only once it serves messages again.
    DEV_BROADCAST_HDR volume = {sizeof(volume), DBT_DEVTYP_VOLUME, 0};
    SendMessageW(m_hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&volume);
    bool waiting = false;
    for (int i = 0; i < 1000 && !(waiting = (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0); ++i)
        Sleep(10);
    ASSERT_TRUE(waiting);
    g_startFrame = m_frame;
    g_nextEnabledInWait = g_secondStart = -1;
    SetTimer(NULL, 0, 300, StartAgainThenRelease);
    // Next pressed now: its click is served before any other message.
    pm().SendNotify(gui::Find(pm(), L"btnNext"), DUI_MSGTYPE_CLICK);
    ASSERT_TRUE(gui::PumpUntil([&] { return !m_frame->IsDiskEnumRunning() && !MessageLog::texts.empty(); }));
    gui::PumpPending();
    EXPECT_EQ(0, g_nextEnabledInWait);
    EXPECT_EQ(0, g_secondStart);
    EXPECT_EQ(std::vector<std::wstring>{MessageText(L"SelectDisk")}, MessageLog::texts);
    EXPECT_EQ(0, m_frame->GetCurrentPage());  // the job buttons, as after any disk change
    EXPECT_FALSE(m_frame->GetScanDiskDlg()->IsScanRunning());
    EXPECT_TRUE(m_frame->GetDiskListGate() == NULL);
    EXPECT_TRUE(gui::Find(pm(), L"btnNext")->IsEnabled());
    // The lists as they are now: the volume is there to be chosen again.
    EXPECT_GE(FindRow(L"listDisk", L"(W:\\)"), 0);
    CloseHandle(CFakePartitionScan::parseGate);
    CloseHandle(CFakePartitionScan::inParse);
    CFakePartitionScan::parseGate = CFakePartitionScan::inParse = NULL;
}

}  // namespace
