// The main window's way from a job to a running scan: the home-page jobs,
// the wizard and standard moves between the pages, the disk filter, the
// step indicator, the file categories and the common scan start.
#include <windows.h>
#include <commdlg.h>
#include <shlobj.h>

#include "app/MainFrame.h"
#include "app/ResultDialogs.h"
#include "app/WindowMessages.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Settings.h"

namespace {

const char kSelectDisk[] = "U2VsZWN0RGlzaw==";
const char kSelectRecoverType[] = "U2VsZWN0UmVjb3ZlclR5cGU=";
const char kNoSupportVirtualDisk[] = "Tm9TdXBwb3J0VmlydHVhbERpc2s=";

DuiLib::COptionUI* AsOption(CControlUI* c)
{
    return c ? static_cast<DuiLib::COptionUI*>(c->GetInterface(DUI_CTR_OPTION)) : NULL;
}

// The remote switch of "remotecfg.dat" (section "Scan").
bool ScanInPath()
{
    return ReadScanInPath() != 0;
}

}  // namespace

// ---- file categories ----

void CMainFrame::InitFormatTable()
{
    static const wchar_t* const table[6][8] = {
        {L"FILE_TYPE_PNG", L"FILE_TYPE_GIF", L"FILE_TYPE_BMP", L"FILE_TYPE_JPG", L"FILE_TYPE_PSD", L"FILE_TYPE_CAD",
         L"FILE_TYPE_ICON", L"FILE_TYPE_CAMERA"},
        {L"FILE_TYPE_MP3", L"FILE_TYPE_OGG", L"FILE_TYPE_AMR", L"FILE_TYPE_ASF", L"FILE_TYPE_RIFF"},
        {L"FILE_TYPE_OFFICE", L"FILE_TYPE_PDF", L"FILE_TYPE_ZIP", L"FILE_TYPE_PSD", L"FILE_TYPE_CAD"},
        {L"FILE_TYPE_MOV", L"FILE_TYPE_SWF6", L"FILE_TYPE_RIFF", L"FILE_TYPE_ASF", L"FILE_TYPE_OGG"},
        {L"FILE_TYPE_OUTLOOK"},
        {L"FILE_TYPE_ISO", L"FILE_TYPE_SQLite", L"FILE_TYPE_PE", L"FILE_TYPE_GZIP", L"FILE_TYPE_7Z", L"FILE_TYPE_CAB",
         L"FILE_TYPE_RAR"},
    };
    for (int cat = 0; cat < 6; ++cat)
        for (int i = 0; i < 8 && table[cat][i]; ++i)
            m_FormatNames[cat + 1].push_back(table[cat][i]);
}

// ---- home-page jobs ----

void CMainFrame::ForgetJobState()
{
    m_ScanDiskDlg.SetImagePath(NULL);
    m_ScanDiskDlg.SetTargetKind(SCAN_TARGET_VOLUME);
    m_ScanDiskDlg.SetScanRange(0, 0);
    m_ScanDiskDlg.m_strFolderFilter.clear();
    m_ScanDiskDlg.m_pVolume = NULL;
    m_pSelectedVolume = NULL;
    m_strScanPath.clear();
    m_ScanRange = ScanRange();
    ClearDiskSelection();
}

void CMainFrame::ChooseJob(const wchar_t* event, int entry, int kind, int filter, int page)
{
    AddUsageEvent(event);
    ForgetJobState();
    m_nEntryKind = entry;
    ScanKind = kind;
    if (filter >= 0) {
        m_nDiskFilter = filter;
        FilterDiskList(m_nDiskFilter);
    }
    SelectPage(page);
}

void CMainFrame::OnRecoverDeletedFile()
{
    ChooseJob(L"OnRecoverDeletedFile", 0, SCAN_KIND_DELETED, 1, 1);
}

void CMainFrame::OnRecoverFormatHD()
{
    ChooseJob(L"OnRecoverFormatHD", 1, SCAN_KIND_FORMATTED, 4, 1);
}

void CMainFrame::OnRecoverU()
{
    ChooseJob(L"OnRecoverU", 2, SCAN_KIND_DELETED, 2, 1);
}

void CMainFrame::OnRecoverRecycle()
{
    // The disk list is not filtered: the recycle bin needs no volume choice.
    ChooseJob(L"OnRecoverRecycle", 3, SCAN_KIND_RECYCLE, -1, 3);
}

void CMainFrame::OnRecoverPartitionLost()
{
    CollapseDiskGroups(1);
    ChooseJob(L"OnRecoverPartitionLost", 4, SCAN_KIND_LOST_PARTITION, -1, 1);
}

void CMainFrame::OnDeepRecover()
{
    SetTabSetting(1);
    ChooseJob(L"OnDeepReocver", 5, SCAN_KIND_DEEP, 3, 1);
}

// ---- disk list filter and selection ----

void CMainFrame::FilterDiskList(int filter)
{
    DuiLib::CListUI* list = m_pDiskListUI ? m_pDiskListUI : (m_pDiskListUI = FindList(L"listDisk"));
    if (!list)
        return;
    for (int i = 0; i < list->GetCount(); ++i) {
        CControlUI* row = list->GetItemAt(i);
        if (!row)
            continue;
        row->SetVisible(true);
        const CDuiString& tag = row->GetUserData();
        CControlUI* space = m_PaintManager.FindSubControlByName(row, L"space");
        if (filter == 0) {
            if ((tag == L"Partition" || tag == L"Udisk") && space)
                space->SetVisible(true);
            continue;
        }
        if (tag == L"Folder") {
            row->SetVisible(false);
        } else if (tag == L"Hd") {
            if (filter == 1 || filter == 2 || filter == 4)
                row->SetVisible(false);
        } else if (tag == L"Partition") {
            if (filter == 2)
                row->SetVisible(false);
            else if (filter == 1 && space)
                space->SetVisible(false);
        } else if (tag == L"Udisk") {
            if (filter == 1)
                row->SetVisible(false);
            else if (filter == 2 && space)
                space->SetVisible(false);
        }
    }
    CollapseDiskGroups(0);
    if (filter == 2) {
        EnterCriticalSection(&m_csResults);
        bool none = m_VolumeList.Removable().empty();
        LeaveCriticalSection(&m_csResults);
        ShowControl(L"UDiskHint", none);
    }
}

void CMainFrame::CollapseDiskGroups(int group)
{
    DuiLib::COptionUI* button = AsOption(FindControl(group == 0 ? L"deviceBtn" : L"lostPartBtn"));
    if (button && button->IsSelected()) {
        m_PaintManager.SendNotify(button, DUI_MSGTYPE_CLICK);
        button->Selected(false);
    }
}

void CMainFrame::ToggleDiskGroup(const wchar_t* group, const wchar_t* holder)
{
    CControlUI* ctl = FindControl(group);
    if (!ctl)
        return;
    bool visible = !ctl->IsVisible();
    ctl->SetVisible(visible);
    if (holder)
        SetControlFixedHeight(holder, visible ? 0 : 40);
}

void CMainFrame::ClearDiskSelection()
{
    if (DuiLib::CListUI* l = FindList(L"listLostDisk"))
        l->SelectItem(-1);
    if (DuiLib::CListUI* l = FindList(L"listDisk"))
        l->SelectItem(-1);
    // The step bar follows the selection: with none, the next job starts
    // with all three steps in sight.
    m_bNeedsDeepScan = false;
    PlaceThirdStep(true);
}

// ---- UI mode and the moves between pages ----

void CMainFrame::SetUiMode(int mode)
{
    if (mode == 0) {
        ShowControl(L"WizProgressCtl1", true);
        ShowControl(L"WizProgressCtl2", true);
        ShowControl(L"WizProgressCtl3", true);
        FilterDiskList(0);
        ShowControl(L"DiskListCtl", true);
        ShowControl(L"deviceCtl", true);
        ShowControl(L"LostDiviseCtl", true);
        ShowControl(L"lostPartCtl", true);
        ShowControl(L"btnNext", true);
        PlaceThirdStep(true);
        CollapseDiskGroups(1);
        CollapseDiskGroups(0);
        m_nUiMode = 0;
        SelectPage(1);
        SetBottomTab(1);
        AddUsageEvent(L"Mode_Guide");
    } else {
        ShowControl(L"btnNext", false);
        ShowControl(L"WizProgressCtl1", false);
        ShowControl(L"WizProgressCtl2", false);
        ShowControl(L"WizProgressCtl3", false);
        m_nUiMode = 1;
        SelectPage(0);
        SetBottomTab(0);
        AddUsageEvent(L"Mode_Standard");
    }
    g_ConfigSetting.SetShowMode(m_nUiMode);
    m_nDiskFilter = 0;
    ClearDiskSelection();
}

bool CMainFrame::AnyTypeChosen()
{
    EnterCriticalSection(&m_csResults);
    bool nothing = m_SelectedExtensions.empty() && !m_bOtherTypes && m_FormatNames[0].empty();
    LeaveCriticalSection(&m_csResults);
    if (nothing)
        MessageBoxByBase64Key(kSelectRecoverType, m_hWnd, 0x40, 0);
    return !nothing;
}

void CMainFrame::WizardNext()
{
    if (!m_pMainTab)
        return;
    const int p = GetCurrentPage();
    int s = 1;
    if (p == 1) {
        void* data = NULL;
        if (GetSelectedDiskRow(3, &data)) {
            ScanKind = SCAN_KIND_RECYCLE;
            s = 2;
        } else if (GetSelectedDiskRow(1, &data)) {
            ScanKind = SCAN_KIND_DEEP;
            s = 2;
        } else if (GetSelectedDiskRow(2, &data)) {
            ScanKind = SCAN_KIND_LOST_PARTITION;
            s = 2;
        } else if (GetSelectedDiskRow(0, &data)) {
            CVolumeInfo* volume = (CVolumeInfo*)data;
            AddUsageEvent(volume->m_strFileSystem.c_str());
            // A volume whose file system no scan reads has only the deep
            // scan: the scan-mode page is passed over, as "back" expects.
            if (!IsSupportedFileSystem(volume)) {
                ScanKind = SCAN_KIND_DEEP;
                s = 2;
            }
        } else {
            MessageBoxByBase64Key(kSelectDisk, m_hWnd, 0x40, 0);
            return;
        }
    } else if (p == 2) {
        if (DuiLib::COptionUI* q = AsOption(FindControl(L"optQuickScan")); q && q->IsSelected()) {
            AddUsageEvent(L"OnRecoverFile");
            ScanKind = SCAN_KIND_DELETED;
        } else if (DuiLib::COptionUI* f = AsOption(FindControl(L"optFormatedScan")); f && f->IsSelected()) {
            AddUsageEvent(L"OnFormattedRecover");
            ScanKind = SCAN_KIND_FORMATTED;
        } else {
            AddUsageEvent(L"OnDeepRecover");
            ScanKind = SCAN_KIND_DEEP;
        }
        if (ScanKind == SCAN_KIND_DELETED && ScanInPath())
            SetTabSetting(3);
    } else if (p == 3) {
        if (!AnyTypeChosen())
            return;
        SetTabSetting(0);
        if (!StartScan(ScanKind == SCAN_KIND_DELETED ? -1 : ScanKind))
            return;
    }
    SelectPage(p + s);
}

void CMainFrame::WizardBack()
{
    if (!m_pMainTab)
        return;
    const int p = GetCurrentPage();
    if (p == 3) {
        m_strScanPath.clear();
        SetTabSetting(0);
        SelectPage(p - (m_bNeedsDeepScan ? 2 : 1));
    } else if (p > 0) {
        SelectPage(p - 1);
    }
}

void CMainFrame::StandardNext()
{
    if (!m_pMainTab)
        return;
    const int p = GetCurrentPage();
    int step = 1;
    if (p == 1) {
        void* disk = NULL;
        void* lost = NULL;
        void* volume = NULL;
        bool hasDisk = GetSelectedDiskRow(1, &disk);
        bool hasLost = GetSelectedDiskRow(2, &lost);
        bool hasVolume = GetSelectedDiskRow(0, &volume);
        if (hasVolume)
            AddUsageEvent(((CVolumeInfo*)volume)->m_strFileSystem.c_str());
        if (!hasDisk && !hasLost && !hasVolume && !m_ScanDiskDlg.GetImagePath()) {
            MessageBoxByBase64Key(kSelectDisk, m_hWnd, 0x40, 0);
            return;
        }
        ShowControl(L"UDiskHint", false);
        if (ScanKind == SCAN_KIND_DEEP)
            SetTabSetting(2);
        else if (ScanKind != SCAN_KIND_DELETED)
            SetTabSetting(0);
        else if (ScanInPath())
            SetTabSetting(3);
        step = 2;
    } else if (p == 3) {
        if (!AnyTypeChosen())
            return;
        // Every kind, the recycle bin's included, through the common start.
        if (!StartScan(ScanKind))
            return;
        StartResultRefresh();
        step = 1;
    }
    SelectPage(p + step);
}

void CMainFrame::StandardBack()
{
    if (!m_pMainTab)
        return;
    const int p = GetCurrentPage();
    int target = p;
    if (p == 1) {
        SetTabSetting(0);
        target = 0;
    } else if (p == 3) {
        m_strScanPath.clear();
        m_ScanRange = ScanRange();
        target = m_nEntryKind == 3 ? 0 : 1;
        if (m_nEntryKind == 5) {
            m_ScanDiskDlg.SetTargetKind(SCAN_TARGET_VOLUME);
            m_ScanDiskDlg.SetImagePath(NULL);
            SetTabSetting(1);
        } else {
            SetTabSetting(0);
        }
    } else if (p == 4) {
        target = 3;
    }
    SelectPage(target);
    if (target == 0) {
        m_nDiskFilter = 0;
        FilterDiskList(0);
        ShowControl(L"DiskListCtl", true);
        ShowControl(L"deviceCtl", true);
        ShowControl(L"LostDiviseCtl", true);
        ShowControl(L"lostPartCtl", true);
        ShowControl(L"UDiskHint", false);
        ClearDiskSelection();
    }
}

// ---- step indicator ----

void CMainFrame::SetWizardStep(int step)
{
    static const wchar_t* const sources[3][3] = {
        {L"272,0,544,46", L"0,0,294,46", L"0,0,294,46"},
        {L"544,0,816,46", L"294,0,588,46", L"0,0,294,46"},
        {L"544,0,816,46", L"588,0,882,46", L"294,0,588,46"},
    };
    if (step < 1 || step > 3)
        return;
    CControlUI* holder = FindControl((L"wizProgress" + std::to_wstring(GetCurrentPage())).c_str());
    if (!holder)
        return;
    for (int i = 0; i < 3; ++i) {
        std::wstring n = std::to_wstring(i + 1);
        CControlUI* marker = m_PaintManager.FindSubControlByName(holder, (L"WizStep" + n).c_str());
        if (marker)
            marker->SetBkImage((L"file='mask/wiz_step_" + n + L".png' source='" + sources[step - 1][i] + L"'").c_str());
    }
}

void CMainFrame::PlaceThirdStep(bool readable)
{
    const wchar_t* holders[2] = {L"wizProgress1", L"wizProgress3"};
    for (const wchar_t* h : holders) {
        CControlUI* holder = FindControl(h);
        CControlUI* third = holder ? m_PaintManager.FindSubControlByName(holder, L"WizStep3") : NULL;
        if (third)
            third->SetAttribute(L"pos", readable ? L"526, 0, 820, 46" : L"252, 0, 546, 46");
    }
}

// ---- bottom-bar commands ----

void CMainFrame::OnLoadImage()
{
    // The result dialogs' open-file dialog: the same dialog and flags.
    std::wstring path;
    if (!GetResultDialogs().ChooseOpenFile(m_hWnd, L"All File(*.*)|*.*", NULL, path) || path.empty())
        return;
    AddUsageEvent(L"OnLoadVHD");
    m_ScanDiskDlg.SetImagePath(path.c_str());
    m_ScanDiskDlg.SetTargetKind(SCAN_TARGET_IMAGE);
    StandardNext();
}

void CMainFrame::OnSetScanRange()
{
    if (m_ScanDiskDlg.GetTargetKind() == SCAN_TARGET_IMAGE) {
        MessageBoxByBase64Key(kNoSupportVirtualDisk, m_hWnd, 0x40, 0);
        return;
    }
    AddUsageEvent(L"OnSetPos");
    const unsigned long long size = SelectedDeviceSize();
    if (size == 0)
        return;
    ShowScanRangeDialog(m_hWnd, size, &m_ScanRange);
}

unsigned long long CMainFrame::SelectedDeviceSize()
{
    unsigned long long size = 0;
    void* data = NULL;
    if (GetSelectedDiskRow(0, &data)) {
        size = ((CVolumeInfo*)data)->m_Length;
    } else if (GetSelectedDiskRow(1, &data)) {
        int number = ((CPhysicalDiskInfo*)data)->m_nDiskNumber;
        for (int i = 0; i < m_DiskList.GetCount(); ++i)
            if (m_DiskList.GetDisk(i) && m_DiskList.GetDisk(i)->m_nDiskNumber == number)
                size = m_DiskList.GetDiskBytes(i);
    }
    return size;
}

void CMainFrame::OnSetScanPath()
{
    if (ScanKind != SCAN_KIND_DELETED)
        return;
    AddUsageEvent(L"OnSetPath");
    if (m_strScanPath.empty()) {
        void* data = NULL;
        if (GetSelectedDiskRow(0, &data))
            m_strScanPath = ((CVolumeInfo*)data)->m_strRoot;
    }
    if (m_strScanPath.empty())
        return;
    if (ShowScanPathDialog(m_hWnd, m_strScanPath))
        if (CControlUI* next = FindControl(L"btnNext"))
            m_PaintManager.SendNotify(next, DUI_MSGTYPE_CLICK);
}

void CMainFrame::SelectLostPartition(CPartitionInfo* partition)
{
    DuiLib::CListUI* lost = FindList(L"listLostDisk");
    if (!lost || !partition)
        return;
    for (int i = 0; i < lost->GetCount(); ++i) {
        CControlUI* row = lost->GetItemAt(i);
        if (row && row->GetTag() == (UINT_PTR)partition) {
            if (DuiLib::CListUI* disks = FindList(L"listDisk"))
                disks->SelectItem(-1);
            lost->SelectItem(i);
            if (CControlUI* next = FindControl(L"btnNext"))
                m_PaintManager.SendNotify(next, DUI_MSGTYPE_CLICK);
            return;
        }
    }
}

// ---- the common scan start ----

bool CMainFrame::StartScan(int kind)
{
    // The wait below serves the window's messages: a second click there
    // starts nothing.
    if (m_bStartingScan)
        return false;
    // The rows chosen, to see after the wait that they are still there.
    void* chosen[4] = {};
    bool had[4];
    for (int i = 0; i < 4; ++i)
        had[i] = GetSelectedDiskRow(i, &chosen[i]);
    // The disks, volumes and partition control stay as they are from here
    // until Home: an enumeration already under way ends first, with the
    // controls that start or leave this page answering no click meanwhile.
    const wchar_t* const starters[] = {L"btnNext", L"btnBack"};
    bool enabled[2];
    for (int i = 0; i < 2; ++i) {
        CControlUI* c = FindControl(starters[i]);
        enabled[i] = c && c->IsEnabled();
        EnableControl(starters[i], false);
    }
    m_bStartingScan = true;
    HoldDiskEnumeration(true);
    WaitForDiskEnumeration();
    m_bStartingScan = false;
    for (int i = 0; i < 2; ++i)
        if (enabled[i])
            EnableControl(starters[i], true);
    bool same = true;
    for (int i = 0; i < 4; ++i) {
        void* now = NULL;
        const bool has = GetSelectedDiskRow(i, &now);
        if (has != had[i] || (has && now != chosen[i]))
            same = false;
    }
    if (!same) {
        // The enumeration replaced the row chosen: nothing is scanned, and
        // the lists as they are now are shown to choose from again (the
        // enumeration has already left this page for them).
        HoldDiskEnumeration(false);
        if (GetCurrentPage() > 1)
            SelectPage(m_nUiMode == 1 ? 0 : 1);
        MessageBoxByBase64Key(kSelectDisk, m_hWnd, 0x40, 0);
        return false;
    }
    EnableControl(L"btnRestoreFiles", false);
    if (kind == -1) {
        DuiLib::COptionUI* q = AsOption(FindControl(L"optQuickScan"));
        DuiLib::COptionUI* f = AsOption(FindControl(L"optFormatedScan"));
        kind = q && q->IsSelected() ? SCAN_KIND_DELETED : f && f->IsSelected() ? SCAN_KIND_FORMATTED : SCAN_KIND_DEEP;
    }
    ScanKind = kind;
    m_bResultFromFile = false;
    // A folder limit is this scan's own (the desktop row sets it below).
    m_ScanDiskDlg.m_strFolderFilter.clear();
    // The findings of this scan are taken from here on.
    EnterCriticalSection(&m_csResults);
    m_bIntakeOpen = true;
    LeaveCriticalSection(&m_csResults);
    bool ownDone = false;  // nothing was started: the scan ends at once
    void* data = NULL;
    switch (kind) {
    case SCAN_KIND_DEEP:
        if (GetSelectedDiskRow(1, &data)) {
            m_ScanDiskDlg.SetTargetKind(SCAN_TARGET_DISK);
            m_ScanDiskDlg.SetPhysicalDiskIndex(((CPhysicalDiskInfo*)data)->m_nDiskNumber);
        } else if (GetSelectedDiskRow(0, &data)) {
            m_ScanDiskDlg.SetTargetKind(SCAN_TARGET_VOLUME);
            m_ScanDiskDlg.m_pVolume = (CVolumeInfo*)data;
            m_pSelectedVolume = (CVolumeInfo*)data;
        }
        // The range chosen for this device, else the whole device.
        if (m_ScanRange.u64DeviceSize && m_ScanRange.u64DeviceSize == SelectedDeviceSize() &&
            m_ScanDiskDlg.GetTargetKind() != SCAN_TARGET_IMAGE)
            m_ScanDiskDlg.SetScanRange(m_ScanRange.u64Start, m_ScanRange.u64End);
        else
            m_ScanDiskDlg.SetScanRange(0, 0);
        ownDone = !StartControllerScan(m_ScanDiskDlg, NULL, 0);
        break;
    case SCAN_KIND_RECYCLE:
        if (GetSelectedDiskRow(3, &data) && data == NULL) {
            // The desktop row: the desktop folder of its volume.
            wchar_t desktop[MAX_PATH] = {};
            SHGetFolderPathW(NULL, CSIDL_DESKTOP, NULL, 0, desktop);
            CVolumeInfo* v = desktop[0] ? m_VolumeList.FindVolumeByLetter(desktop[0]) : NULL;
            if (!v) {
                ownDone = true;
                break;
            }
            m_ScanDiskDlg.m_strFolderFilter = desktop;
            m_ScanDiskDlg.m_pVolume = v;
            m_pSelectedVolume = v;
            ownDone = !StartControllerScan(m_ScanDiskDlg, NULL, 0);
        } else {
            // The recycle-bin row, or the recycle-bin job from the home page.
            ownDone = !StartControllerRecycleScan(m_ScanDiskDlg);
        }
        break;
    case SCAN_KIND_LOST_PARTITION:
        if (!GetSelectedDiskRow(2, &data)) {
            ownDone = true;
            break;
        }
        // The control reads the disk the partition was found on, whichever
        // disk was enumerated or searched last; the preview, the recovery
        // and the saved result go by the same disk.
        if (((CPartitionInfo*)data)->m_nDiskNumber >= 0) {
            const int number = ((CPartitionInfo*)data)->m_nDiskNumber;
            CPhysicalDiskInfo* disk = NULL;
            for (int i = 0; i < m_DiskList.GetCount() && !disk; ++i)
                if (m_DiskList.GetDisk(i) && m_DiskList.GetDisk(i)->m_nDiskNumber == number)
                    disk = m_DiskList.GetDisk(i);
            // A disk no longer listed has nothing to read.
            if (!disk) {
                ownDone = true;
                break;
            }
            m_pPartitionScan->SetDisk(number, disk);
        }
        if (!m_pPartitionScan->StartPartitionScan((CPartitionInfo*)data))
            ownDone = true;
        break;
    default:
        if (GetSelectedDiskRow(0, &data)) {
            m_ScanDiskDlg.m_pVolume = (CVolumeInfo*)data;
            m_pSelectedVolume = (CVolumeInfo*)data;
        }
        ownDone = !StartControllerScan(m_ScanDiskDlg, m_strScanPath.empty() ? NULL : m_strScanPath.c_str(), 0);
        break;
    }
    ::PostMessageW(m_hWnd, WMU_SetViewMode, (WPARAM)g_ConfigSetting.m_nViewMode, 0);
    InterlockedExchange(&m_nThumbStop, 0);
    ShowScanRunningControls(false);
    HoldDiskEnumeration(true);
    SetTimer(m_hWnd, 350, 1000, NULL);
    m_bRefreshTimer = true;
    // Started on the result page itself (the deep scan offered when a scan
    // ends): the page is set up for this scan as the way into it would.
    if (GetCurrentPage() == 4) {
        m_u64Processed = 0;
        SetUpResultPage();
        ShowScanStarting();
    }
    if (ownDone)
        ::PostMessageW(m_hWnd, WMU_ScanDone, 0, 0);
    return true;
}
