// The dialogs that shape a scan from the wizard's bottom bar (scan path,
// scan range) and the lost-partition search, over mapped devices: P: a
// FAT32 volume, Q: the carving image, \\.\PhysicalDrive14 an MBR disk,
// \\.\PhysicalDrive15 a disk whose table was wiped.
#include <shlobj.h>

#include <atomic>
#include <set>
#include <thread>

#include "DialogFrame.h"
#include "app/DeepScanPartitionDlg.h"
#include "app/PosSetDlg.h"
#include "app/WindowMessages.h"
#include "common/DeviceMap.h"
#include "core/Helpers.h"
#include "engine/FoundItem.h"
#include "engine/ScanDiskDlg.h"

using namespace wintest;

namespace {

// A partition control whose search "finds" a number of partitions, reports
// them as the real search does (a row through the frame, a message to the
// dialog) and then runs until released or stopped.
class CSearchingScan : public CFakePartitionScan
{
public:
    static CSearchingScan* last;
    static int toFind;
    static HANDLE release;  // manual reset: the search ends when set

    explicit CSearchingScan(CMainFrame* frame) : m_frame(frame) { last = this; }
    ~CSearchingScan() override
    {
        StopSearch();
        for (CPartitionInfo* p : m_found)
            delete p;
    }
    void SetReportWindow(HWND h) override { m_report = h; }
    HWND ReportWindow() const { return m_report; }
    bool StartLostPartitionSearch() override
    {
        if (m_thread)
            return false;
        m_stop = false;
        m_thread = CreateThread(NULL, 0, Body, this, 0, NULL);
        return m_thread != NULL;
    }
    bool IsRunning() override { return m_thread && WaitForSingleObject(m_thread, 0) == WAIT_TIMEOUT; }
    void StopSearch() override
    {
        m_stop = true;
        if (m_thread) {
            WaitWithMessagePump(m_thread, INFINITE, TRUE);
            CloseHandle(m_thread);
            m_thread = NULL;
        }
    }
    void ResetScan(bool keep) override
    {
        if (m_thread && !IsRunning()) {
            CloseHandle(m_thread);
            m_thread = NULL;
        }
        CFakePartitionScan::ResetScan(keep);
    }
    std::wstring GetPartitionLabel(const CPartitionInfo* p) override
    {
        return p->m_StartSector == 63 ? L"" : L"Found" + std::to_wstring((unsigned long long)p->m_StartSector);
    }
    static IPartitionScanControl* Make(CMainFrame* frame) { return new CSearchingScan(frame); }

private:
    static DWORD WINAPI Body(LPVOID param)
    {
        CSearchingScan* self = (CSearchingScan*)param;
        ScanProgressInfo* info = new ScanProgressInfo;
        info->nDone = 5000;
        info->nTotal = 20000;
        info->bActive = true;
        info->SetStatus(L"Pass 1");
        if (!PostMessageW(self->m_report, WMU_ScanProgress, (WPARAM)info, 0))
            delete info;
        for (int i = 0; i < toFind; ++i) {
            CPartitionInfo* p = new CPartitionInfo;
            p->m_nType = i == 0 ? 7 : 11;
            p->m_StartSector = i == 0 ? 2048 : 63;
            p->m_SectorCount = 409600;
            self->m_found.push_back(p);
            self->m_frame->AddLostPartitionItem(p);
            PostMessageW(self->m_report, WMU_LostPartitionFound, (WPARAM)p, 0);
        }
        while (!self->m_stop && WaitForSingleObject(release, 20) == WAIT_TIMEOUT) {
        }
        PostMessageW(self->m_report, WMU_PartitionSearchDone, 0, 0);
        return 0;
    }

    CMainFrame* m_frame;
    HWND m_report = NULL;
    HANDLE m_thread = NULL;
    std::atomic<bool> m_stop{false};
    std::vector<CPartitionInfo*> m_found;
};
CSearchingScan* CSearchingScan::last = NULL;
int CSearchingScan::toFind = 0;
HANDLE CSearchingScan::release = NULL;

class ScanDialogTest : public CDialogFrameTest
{
protected:
    static void SetUpTestSuite()
    {
        CDialogFrameTest::SetUpTestSuite();
        s_root = testpaths::MakeTempDir(L"mroot");
        CreateDirectoryW((s_root + L"\\keep").c_str(), NULL);  // a folder of the volume
        s_fat = new devicemap::CMountedDrive;
        s_carve = new devicemap::CMountedDrive;
        // The disk stays mapped for the whole program (the suite below
        // sets this suite up again): under Wine a disk name mapped, removed
        // and mapped again within one process can leave that process
        // without a screen, and its windows then never lay out.
        static devicemap::CScopedDeviceMap disk;
        static bool diskMapped = false;
        ASSERT_TRUE(s_fat->Define(L'P', s_root, testpaths::Fixture(L"scan-fat32.img")));
        ASSERT_TRUE(s_carve->Define(L'Q', testpaths::MakeTempDir(L"nroot"), testpaths::Fixture(L"carve.img")));
        if (!diskMapped) {
            diskMapped = disk.PhysicalDrive(14, testpaths::Fixture(L"disk-mbr.img"));
            ASSERT_TRUE(diskMapped);
        }
        CSearchingScan::release = CreateEventW(NULL, TRUE, FALSE, NULL);
    }
    static void TearDownTestSuite()
    {
        delete s_carve;
        delete s_fat;
        CloseHandle(CSearchingScan::release);
        CDialogFrameTest::TearDownTestSuite();
    }
    PartitionScanFactory Factory() override { return CSearchingScan::Make; }

    DuiLib::CListUI* ListOf(CPaintManagerUI& p, const wchar_t* name)
    {
        return static_cast<DuiLib::CListUI*>(gui::Find(p, name)->GetInterface(DUI_CTR_LIST));
    }
    int FindDiskRow(const wchar_t* text)
    {
        DuiLib::CListUI* l = ListOf(pm(), L"listDisk");
        for (int i = 0; i < l->GetCount(); ++i) {
            CControlUI* name = pm().FindSubControlByName(l->GetItemAt(i), L"diskName");
            if (name && std::wstring(name->GetText()).find(text) != std::wstring::npos)
                return i;
        }
        return -1;
    }
    void SelectRow(CPaintManagerUI& p, DuiLib::CListUI* l, int index)
    {
        ASSERT_TRUE(index >= 0 && index < l->GetCount());
        l->EnsureVisible(index);
        ASSERT_TRUE(gui::PumpUntil([&] {
            RECT r = l->GetItemAt(index)->GetPos(), lr = l->GetList()->GetPos();
            return r.bottom > r.top && r.top >= lr.top && r.bottom <= lr.bottom;
        }));
        ASSERT_TRUE(gui::Click(p, l->GetItemAt(index)));
        ASSERT_TRUE(gui::PumpUntil([&] { return l->GetCurSel() == index; }));
    }
    void Go(const wchar_t* button, int page)
    {
        ASSERT_TRUE(gui::Click(pm(), button)) << testpaths::Narrow(button);
        ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCurrentPage() == page; }));
    }
    // Home page, a job, the volume of the letter, on to the file types.
    void ChooseVolume(const wchar_t* job, const wchar_t* letter)
    {
        if (m_frame->GetUiMode() != 1)
            Go(L"btnProMode", 0);
        Go(job, 1);
        SelectRow(pm(), ListOf(pm(), L"listDisk"), FindDiskRow(letter));
        Go(L"btnNext", 3);
    }
    bool WaitForScanEnd()
    {
        return gui::PumpUntil([&] {
            return !m_frame->GetScanDiskDlg()->IsScanRunning() && gui::Find(pm(), L"btnHome")->IsEnabled();
        }, 60000);
    }

    static std::wstring s_root;
    static devicemap::CMountedDrive* s_fat;
    static devicemap::CMountedDrive* s_carve;
};
std::wstring ScanDialogTest::s_root;
devicemap::CMountedDrive* ScanDialogTest::s_fat = NULL;
devicemap::CMountedDrive* ScanDialogTest::s_carve = NULL;

// ---- scan path ----

TEST_F(ScanDialogTest, ScanPathPicksAFolderOfTheVolumeAndTheScanKeepsToIt)
{
    // Wine names the host's file system for the drive; the walkers go by the volume's.
    m_frame->GetVolumeList()->FindVolumeByLetter(L'P')->m_strFileSystem = L"FAT32";
    ChooseVolume(L"RecoverDeletedFileButton", L"(P:\\)");
    ASSERT_TRUE(gui::IsShown(pm(), L"btnSetPath"));

    // "OK" at once keeps the path shown; a cancelled picker changes nothing;
    // a folder picked inside the volume is taken.
    RunFromButton(L"btnSetPath", [&](HWND dlg, CPaintManagerUI& dpm) {
        EXPECT_EQ(L"P:\\", TextOf(dpm, L"PathEdit"));
        bool cancelled = false;
        gui::OnDialog(L"#32770", [&](HWND picker) {
            cancelled = true;
            PostMessageW(picker, WM_COMMAND, IDCANCEL, 0);
        });
        ASSERT_TRUE(gui::Click(dpm, L"btnSelectPath"));
        ASSERT_TRUE(gui::PumpUntil([&] { return cancelled && !gui::FindThreadWindow(L"#32770"); }));
        EXPECT_EQ(L"P:\\", TextOf(dpm, L"PathEdit"));

        bool picked = false;
        gui::OnDialog(L"#32770", [&](HWND picker) {
            SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, (LPARAM)L"P:\\keep");
            gui::SaveScreenshot(picker, L"dlg_folder_browse");
            PostMessageW(picker, WM_COMMAND, IDOK, 0);
            picked = true;
        });
        ASSERT_TRUE(gui::Click(dpm, L"btnSelectPath"));
        ASSERT_TRUE(gui::PumpUntil([&] { return picked && TextOf(dpm, L"PathEdit") == L"P:\\keep"; }));
        gui::SaveScreenshot(dlg, L"dlg_pathset");
        ASSERT_TRUE(gui::Click(dpm, L"btnOk"));
    });
    // Confirmed: the scan starts on the folder.
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCurrentPage() == 4; }));
    EXPECT_EQ(L"P:\\keep", m_frame->GetScanPath());
    ASSERT_TRUE(WaitForScanEnd());
    // The folder's two deleted files, one of them in a sub-folder.
    const size_t inFolder = m_frame->GetFoundCount();
    EXPECT_EQ(2u, inFolder);

    // Back to the file types: the whole volume ("btnDefault") finds more.
    Go(L"btnHome", 0);
    ChooseVolume(L"RecoverDeletedFileButton", L"(P:\\)");
    RunFromButton(L"btnSetPath", [&](HWND, CPaintManagerUI& dpm) {
        ASSERT_TRUE(gui::Click(dpm, L"btnDefault"));
        ASSERT_TRUE(gui::PumpUntil([&] { return TextOf(dpm, L"PathEdit") == L"P:\\"; }));
        ASSERT_TRUE(gui::Click(dpm, L"btnOk"));
    });
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCurrentPage() == 4; }));
    ASSERT_TRUE(WaitForScanEnd());
    EXPECT_GT(m_frame->GetFoundCount(), inFolder);

    // Cancel keeps the frame's path and starts nothing.
    Go(L"btnHome", 0);
    ChooseVolume(L"RecoverDeletedFileButton", L"(P:\\)");
    RunFromButton(L"btnSetPath", [&](HWND dlg, CPaintManagerUI&) { gui::Key(dlg, VK_ESCAPE); });
    gui::PumpPending();
    EXPECT_EQ(3, m_frame->GetCurrentPage());
    EXPECT_EQ(L"P:\\", m_frame->GetScanPath());
}

// ---- scan range ----

// Drags a slider: press on its thumb, move with the button held (each
// position once), release at the last.
void Drag(CPaintManagerUI& dpm, const wchar_t* slider, const std::vector<int>& xs)
{
    DuiLib::CSliderUI* s = static_cast<DuiLib::CSliderUI*>(gui::Find(dpm, slider)->GetInterface(DUI_CTR_SLIDER));
    const RECT thumb = s->GetThumbRect();
    const int y = (thumb.top + thumb.bottom) / 2;
    HWND w = dpm.GetPaintWindow();
    PostMessageW(w, WM_MOUSEMOVE, 0, MAKELPARAM((thumb.left + thumb.right) / 2, y));
    PostMessageW(w, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM((thumb.left + thumb.right) / 2, y));
    for (int x : xs)
        PostMessageW(w, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(x, y));
    PostMessageW(w, WM_LBUTTONUP, 0, MAKELPARAM(xs.back(), y));
    gui::PumpPending();
}

int SliderValue(CPaintManagerUI& dpm, const wchar_t* name, int* max = NULL)
{
    DuiLib::CSliderUI* s = static_cast<DuiLib::CSliderUI*>(gui::Find(dpm, name)->GetInterface(DUI_CTR_SLIDER));
    if (max)
        *max = s->GetMaxValue();
    return s->GetValue();
}

std::wstring SizeText(uint64_t n)
{
    wchar_t buf[64] = {};
    FormatSizeText(n, buf, (int)sizeof(buf));
    return buf;
}

TEST(ScanRangeSteps, StepsAndBytesBothWays)
{
    ScanRange r;
    CPosSetDlg::StepsToRange(655360, 50, 90, r);
    EXPECT_EQ(327680u, r.u64Start);
    EXPECT_EQ(589824u, r.u64End);
    CPosSetDlg::StepsToRange(1000001, 0, 100, r);
    EXPECT_EQ(0u, r.u64Start);
    EXPECT_EQ(0u, r.u64End);  // to the device's end
    CPosSetDlg::StepsToRange(1000001, 33, 33, r);  // never empty
    EXPECT_EQ(329728u, r.u64Start);
    EXPECT_EQ(340480u, r.u64End);
    CPosSetDlg::StepsToRange(~0ull, 99, 100, r);  // no overflow
    EXPECT_EQ((~0ull / 100 * 99) / 512 * 512, r.u64Start / 512 * 512);
    int a = 0, b = 0;
    CPosSetDlg::RangeToSteps(r, ~0ull, a, b);
    EXPECT_EQ(99, a);
    EXPECT_EQ(100, b);
    r.u64DeviceSize = 123;  // chosen for another device: the whole device
    CPosSetDlg::RangeToSteps(r, 655360, a, b);
    EXPECT_EQ(0, a);
    EXPECT_EQ(100, b);
}

TEST_F(ScanDialogTest, ScanRangeReachesTheDeepScan)
{
    CVolumeInfo* n = m_frame->GetVolumeList()->FindVolumeByLetter(L'Q');
    ASSERT_TRUE(n != NULL);
    ASSERT_EQ(655360u, n->m_Length);
    ChooseVolume(L"DeepReocverButton", L"(Q:\\)");
    ASSERT_TRUE(gui::IsShown(pm(), L"btnSetPos"));
    RunFromButton(L"btnSetPos", [&](HWND dlg, CPaintManagerUI& dpm) {
        EXPECT_EQ(SizeText(655360), TextOf(dpm, L"sizeMax"));
        int max1 = 0, max2 = 0;
        EXPECT_EQ(0, SliderValue(dpm, L"slider1", &max1));
        EXPECT_EQ(50, SliderValue(dpm, L"slider2", &max2));
        EXPECT_EQ(50, max1);
        EXPECT_EQ(50, max2);
        // Held against its end while the other slider has room, the start
        // pushes the boundary one step per move; the end stays. The slider
        // followed the mouse itself: the listener left it its own handling.
        const RECT dialog = gui::Find(dpm, L"DlgFrame")->GetPos();
        Drag(dpm, L"slider1", std::vector<int>(6, dialog.right - 4));
        ASSERT_TRUE(gui::PumpUntil([&] { return SliderValue(dpm, L"slider1") == 55; }));
        EXPECT_EQ(45, SliderValue(dpm, L"slider2", &max2));
        SliderValue(dpm, L"slider1", &max1);
        EXPECT_EQ(55, max1);
        EXPECT_EQ(45, max2);
        EXPECT_EQ(SizeText(655360 * 55 / 100 / 512 * 512), TextOf(dpm, L"beginPos"));
        EXPECT_EQ(SizeText(655360), TextOf(dpm, L"endPos"));
        ASSERT_TRUE(gui::Click(dpm, L"btnDefault"));
        ASSERT_TRUE(gui::PumpUntil([&] { return SliderValue(dpm, L"slider1") == 0; }));
        EXPECT_EQ(50, SliderValue(dpm, L"slider2"));

        // Start at the boundary (50), end at 90 steps.
        Drag(dpm, L"slider1", {dialog.right - 4});
        ASSERT_TRUE(gui::PumpUntil([&] { return SliderValue(dpm, L"slider1") == 50; }));
        CControlUI* s2 = gui::Find(dpm, L"slider2");
        const int x90 = s2->GetPos().left + CPosSetDlg::kThumbPixels / 2 + 40 * CPosSetDlg::kStepPixels;
        Drag(dpm, L"slider2", {x90});
        ASSERT_TRUE(gui::PumpUntil([&] { return SliderValue(dpm, L"slider2") == 40; }));
        EXPECT_EQ(50, SliderValue(dpm, L"slider1"));
        gui::SaveScreenshot(dlg, L"dlg_posset");
        ASSERT_TRUE(gui::Click(dpm, L"btnOk"));
    });
    const ScanRange& range = m_frame->GetScanRange();
    EXPECT_EQ(327680u, range.u64Start);
    EXPECT_EQ(589824u, range.u64End);
    EXPECT_EQ(655360u, range.u64DeviceSize);

    // The dialog opens again on the range chosen.
    RunFromButton(L"btnSetPos", [&](HWND, CPaintManagerUI& dpm) {
        EXPECT_EQ(50, SliderValue(dpm, L"slider1"));
        EXPECT_EQ(40, SliderValue(dpm, L"slider2"));
        ASSERT_TRUE(gui::Click(dpm, L"btnClose"));
    });

    // The deep scan reads that range.
    Go(L"btnNext", 4);
    EXPECT_EQ(327680u, m_frame->GetScanDiskDlg()->GetRangeStart());
    EXPECT_EQ(589824u, m_frame->GetScanDiskDlg()->GetRangeEnd());
    ASSERT_TRUE(WaitForScanEnd());
    // Home forgets it.
    Go(L"btnHome", 0);
    EXPECT_EQ(0u, m_frame->GetScanRange().u64DeviceSize);
}

// ---- lost partitions ----

CDeepScanPartitionDlg* DialogOf(HWND dlg)
{
    return dynamic_cast<CDeepScanPartitionDlg*>((DuiLib::CWindowWnd*)GetWindowLongPtrW(dlg, GWLP_USERDATA));
}

TEST_F(ScanDialogTest, LostPartitionSearchAsksBeforeItIsCutShortAndHandsThePartitionBack)
{
    CSearchingScan::toFind = 2;
    ResetEvent(CSearchingScan::release);
    ASSERT_EQ(1, m_frame->GetCurrentPage());
    if (!gui::IsShown(pm(), L"btnDeepScanPart"))
        ASSERT_TRUE(gui::Click(pm(), L"lostPartBtn"));
    ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(pm(), L"btnDeepScanPart"); }));
    const int lostBefore = ListOf(pm(), L"listLostDisk")->GetCount();
    RunFromButton(L"btnDeepScanPart", [&](HWND dlg, CPaintManagerUI& dpm) {
        // The disk enumeration waits while the dialog uses the disks.
        EXPECT_TRUE(m_frame->GetDiskListGate() != NULL);
        DuiLib::CListUI* disks = ListOf(dpm, L"listDisk");
        ASSERT_EQ(m_frame->GetPhysicalDiskList().GetCount(), disks->GetCount());
        int hd7 = -1;
        for (int i = 0; i < disks->GetCount(); ++i)
            if (std::wstring(static_cast<DuiLib::CListTextElementUI*>(disks->GetItemAt(i))->GetText(0)).find(L"HD14:") == 0)
                hd7 = i;
        ASSERT_GE(hd7, 0);
        gui::SaveScreenshot(dlg, L"dlg_deepscanpartition");
        // Next without a disk only tells the user.
        MessageLog::texts.clear();
        ASSERT_TRUE(gui::Click(dpm, L"btnNext"));
        ASSERT_TRUE(gui::PumpUntil([] { return !MessageLog::texts.empty(); }));
        EXPECT_EQ(MessageText(L"SelectDisk"), MessageLog::texts.back());
        EXPECT_EQ(0, static_cast<DuiLib::CTabLayoutUI*>(gui::Find(dpm, L"tabStep"))->GetCurSel());

        SelectRow(dpm, disks, hd7);
        ASSERT_TRUE(gui::Click(dpm, L"btnNext"));
        DuiLib::CListUI* found = ListOf(dpm, L"listLostDisk");
        ASSERT_TRUE(gui::PumpUntil([&] { return found->GetCount() == 2; }));
        EXPECT_EQ(L"Found2048 (*:\\)", std::wstring(static_cast<DuiLib::CListTextElementUI*>(found->GetItemAt(0))->GetText(0)));
        EXPECT_EQ(L"NTFS", std::wstring(static_cast<DuiLib::CListTextElementUI*>(found->GetItemAt(0))->GetText(1)));
        EXPECT_EQ(g_strLangDefDiskName + L" (*:\\)",
                  std::wstring(static_cast<DuiLib::CListTextElementUI*>(found->GetItemAt(1))->GetText(0)));
        EXPECT_EQ(L"FAT32", std::wstring(static_cast<DuiLib::CListTextElementUI*>(found->GetItemAt(1))->GetText(1)));
        EXPECT_EQ(L"200 MB", std::wstring(static_cast<DuiLib::CListTextElementUI*>(found->GetItemAt(1))->GetText(2)));
        EXPECT_EQ(L"Pass 1", TextOf(dpm, L"ScanHDProgress"));
        EXPECT_EQ(250, static_cast<DuiLib::CProgressUI*>(gui::Find(dpm, L"progress"))->GetValue());
        EXPECT_TRUE(gui::IsShown(dpm, L"btnStop") && gui::IsShown(dpm, L"btnPrev") && !gui::IsShown(dpm, L"btnNext"));
        EXPECT_EQ(dlg, CSearchingScan::last->ReportWindow());
        gui::SaveScreenshot(dlg, L"dlg_deepscanpartition_search");

        // Alt+F4, the system close and the close button all ask while the
        // search runs; "no" keeps the dialog and the search.
        MessageLog::answer = 7;
        MessageLog::texts.clear();
        PostMessageW(dlg, WM_SYSKEYDOWN, VK_F4, 0x20000001);
        ASSERT_TRUE(gui::PumpUntil([] { return MessageLog::texts.size() == 1; }));
        SendMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        ASSERT_TRUE(gui::Click(dpm, L"btnClose"));
        ASSERT_TRUE(gui::PumpUntil([] { return MessageLog::texts.size() == 3; }));
        for (const std::wstring& t : MessageLog::texts)
            EXPECT_EQ(MessageText(L"ScanningHD"), t);
        EXPECT_TRUE(IsWindow(dlg));
        EXPECT_TRUE(CSearchingScan::last->IsRunning());

        // Stopped: what was found stays, and the end is told once.
        MessageLog::answer = 6;
        MessageLog::texts.clear();
        ASSERT_TRUE(gui::Click(dpm, L"btnStop"));
        ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(dpm, L"btnScan"); }));
        EXPECT_FALSE(CSearchingScan::last->IsRunning());
        gui::PumpPending();
        ASSERT_EQ(2u, MessageLog::texts.size());
        EXPECT_EQ(MessageText(L"ScanningHD"), MessageLog::texts[0]);
        EXPECT_EQ(FormatTextWithInt(MessageText(L"FoundLostDrive").c_str(), 2), MessageLog::texts[1]);
        EXPECT_FALSE(gui::IsShown(dpm, L"ScanHDProgressCtl") || gui::IsShown(dpm, L"btnStop"));

        // A double-click on a partition scans it.
        CControlUI* row = found->GetItemAt(0);
        const RECT r = row->GetPos();
        PostMessageW(dlg, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2));
        PostMessageW(dlg, WM_LBUTTONUP, 0, MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2));
        PostMessageW(dlg, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2));
        PostMessageW(dlg, WM_LBUTTONUP, 0, MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2));
    });
    // The frame selects that partition's row and goes on to the file types.
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCurrentPage() == 3; }));
    EXPECT_EQ(SCAN_KIND_LOST_PARTITION, ScanKind);
    DuiLib::CListUI* lost = ListOf(pm(), L"listLostDisk");
    EXPECT_EQ(lostBefore + 2, lost->GetCount());
    EXPECT_EQ(lostBefore, lost->GetCurSel());
    EXPECT_TRUE(m_frame->GetDiskListGate() == NULL);
    EXPECT_TRUE(CSearchingScan::last->ReportWindow() == NULL);
}

TEST_F(ScanDialogTest, LostPartitionDialogClosedDuringTheSearchWaitsForItAndAnEmptySearchOffersNoScan)
{
    CSearchingScan::toFind = 1;
    ResetEvent(CSearchingScan::release);
    RunFromButton(L"btnDeepScanPart", [&](HWND dlg, CPaintManagerUI& dpm) {
        SelectRow(dpm, ListOf(dpm, L"listDisk"), 0);
        ASSERT_TRUE(gui::Click(dpm, L"btnNext"));
        ASSERT_TRUE(gui::PumpUntil([&] { return ListOf(dpm, L"listLostDisk")->GetCount() == 1; }));
        // Back to the disks: asks, stops, forgets the finds.
        MessageLog::answer = 6;
        ASSERT_TRUE(gui::Click(dpm, L"btnPrev"));
        ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(dpm, L"btnNext"); }));
        EXPECT_EQ(0, ListOf(dpm, L"listLostDisk")->GetCount());
        EXPECT_EQ(0, DialogOf(dlg)->GetFoundCount());
        EXPECT_FALSE(CSearchingScan::last->IsRunning());

        // Nothing found: no scan offered.
        CSearchingScan::toFind = 0;
        SetEvent(CSearchingScan::release);
        MessageLog::texts.clear();
        ASSERT_TRUE(gui::Click(dpm, L"btnNext"));
        ASSERT_TRUE(gui::PumpUntil([] { return !MessageLog::texts.empty(); }));
        EXPECT_EQ(MessageText(L"NoPartitionCanRecovered"), MessageLog::texts.back());
        EXPECT_FALSE(gui::IsShown(dpm, L"btnScan"));

        // Searching again; Alt+F4 with "yes" ends the search, then the dialog.
        ResetEvent(CSearchingScan::release);
        CSearchingScan::toFind = 1;
        ASSERT_TRUE(gui::Click(dpm, L"btnPrev"));
        ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(dpm, L"btnNext"); }));
        SelectRow(dpm, ListOf(dpm, L"listDisk"), 0);
        ASSERT_TRUE(gui::Click(dpm, L"btnNext"));
        ASSERT_TRUE(gui::PumpUntil([&] { return CSearchingScan::last->IsRunning(); }));
        PostMessageW(dlg, WM_SYSKEYDOWN, VK_F4, 0x20000001);
    });
    EXPECT_FALSE(CSearchingScan::last->IsRunning());
    EXPECT_TRUE(CSearchingScan::last->ReportWindow() == NULL);
    EXPECT_EQ(1, m_frame->GetCurrentPage());
}

// ---- the lost-partition dialog over a real disk ----

// The engine's partition control behind the window, over a copy of the
// lost-partition disk (volumes written by the real drivers) whose first
// sector, with its table, is zeroed: \\.\PhysicalDrive15.
class LostDiskDialogTest : public ScanDialogTest
{
protected:
    static void SetUpTestSuite()
    {
        ScanDialogTest::SetUpTestSuite();
        std::string bytes = testpaths::ReadWholeFile(testpaths::Fixture(L"lost-mbr.img"));
        ASSERT_GT(bytes.size(), 512u);
        memset(&bytes[0], 0, 512);
        const std::wstring path = testpaths::MakeTempDir(L"lostdisk") + L"\\wiped.img";
        ASSERT_TRUE(testpaths::WriteWholeFile(path, bytes));
        s_wiped = new devicemap::CScopedDeviceMap;
        ASSERT_TRUE(s_wiped->PhysicalDrive(15, path));
    }
    static void TearDownTestSuite()
    {
        delete s_wiped;
        s_wiped = NULL;
        ScanDialogTest::TearDownTestSuite();
    }
    PartitionScanFactory Factory() override { return NewPartitionScanControl; }
    static devicemap::CScopedDeviceMap* s_wiped;
};
devicemap::CScopedDeviceMap* LostDiskDialogTest::s_wiped = NULL;

std::wstring Cell(DuiLib::CListUI* list, int row, int column)
{
    return static_cast<DuiLib::CListTextElementUI*>(list->GetItemAt(row))->GetText(column);
}

TEST_F(LostDiskDialogTest, AWipedTableStillShowsItsVolumesAndOneOfThemScansToItsFiles)
{
    if (!gui::IsShown(pm(), L"btnDeepScanPart"))
        ASSERT_TRUE(gui::Click(pm(), L"lostPartBtn"));
    ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(pm(), L"btnDeepScanPart"); }));
    MessageLog::answer = 6;
    const int lostBefore = ListOf(pm(), L"listLostDisk")->GetCount();
    RunFromButton(L"btnDeepScanPart", [&](HWND dlg, CPaintManagerUI& dpm) {
        DuiLib::CListUI* disks = ListOf(dpm, L"listDisk");
        int row = -1;
        for (int i = 0; i < disks->GetCount(); ++i)
            if (Cell(disks, i, 0).find(L"HD15:") == 0)
                row = i;
        ASSERT_GE(row, 0);
        // Searched twice (back to the disks in between): the second search
        // lists the same volumes again.
        for (int pass = 0; pass < 2; ++pass) {
            if (pass) {
                ASSERT_TRUE(gui::Click(dpm, L"btnPrev"));
                ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(dpm, L"btnNext"); }));
            }
            SelectRow(dpm, disks, row);
            MessageLog::texts.clear();
            ASSERT_TRUE(gui::Click(dpm, L"btnNext"));
            ASSERT_TRUE(gui::PumpUntil([&] { return gui::IsShown(dpm, L"btnScan"); }, 120000));
        }
        // The volumes the table held, by label and file system (the exFAT
        // one has no label).
        DuiLib::CListUI* found = ListOf(dpm, L"listLostDisk");
        std::multiset<std::wstring> rows;
        int fat16 = -1;
        for (int i = 0; i < found->GetCount(); ++i) {
            rows.insert(Cell(found, i, 0) + L"|" + Cell(found, i, 1));
            if (Cell(found, i, 0) == L"MBRFAT16 (*:\\)")
                fat16 = i;
        }
        const std::multiset<std::wstring> expected = {
            L"MBRFAT16 (*:\\)|FAT", L"MBRNTFS (*:\\)|NTFS", L"LOGNTFS (*:\\)|NTFS", L"LOGFAT32 (*:\\)|FAT32",
            g_strLangDefDiskName + L" (*:\\)|exFAT"};
        EXPECT_EQ(expected, rows);
        ASSERT_FALSE(MessageLog::texts.empty());
        EXPECT_EQ(FormatTextWithInt(MessageText(L"FoundLostDrive").c_str(), found->GetCount()), MessageLog::texts.back());
        gui::SaveScreenshot(dlg, L"dlg_deepscanpartition_found");
        SelectRow(dpm, found, fat16);
        ASSERT_TRUE(gui::Click(dpm, L"btnScan"));
    });
    // The frame takes the partition on to the file types, and its scan lists
    // the volume's files, the deleted one too.
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCurrentPage() == 3; }));
    EXPECT_EQ(SCAN_KIND_LOST_PARTITION, ScanKind);
    EXPECT_EQ(lostBefore + 5, ListOf(pm(), L"listLostDisk")->GetCount());  // each volume once
    Go(L"btnNext", 4);
    ASSERT_TRUE(WaitForScanEnd());
    std::set<std::wstring> names;
    for (CFoundItem* item : m_frame->GetFoundFiles())
        names.insert(item->m_strName);
    EXPECT_EQ(1u, names.count(L"readme.txt"));
    EXPECT_EQ(1u, names.count(L"numbers.txt"));
    EXPECT_EQ(1u, names.count(L"note.txt"));
    // The deleted one: FAT keeps its short name without the first letter.
    EXPECT_EQ(1u, names.count(L"_one.txt"));
}

}  // namespace
