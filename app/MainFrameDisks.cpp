// The disk page: the disk-enumeration thread, the rows of "listDisk" and
// "listLostDisk" (always built on the window's thread), the selection rules
// and the refresh on a volume change.
#include <algorithm>
#include <cstdio>

#include "app/MainFrame.h"
#include "app/ResultText.h"
#include "app/WindowMessages.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"

namespace {
// What "lostPartCtl" holds beside its list: the hint bar (its border is
// drawn over the list's edge and takes no room).
const int kLostListFrame = 40;
}  // namespace

DWORD WINAPI DiskEnumThreadProc(LPVOID param)
{
    CMainFrame* frame = static_cast<CMainFrame*>(param);
    frame->EnumDisks();
    ::PostMessageW(frame->GetFrameWindow(), WMU_DiskEnumDone, 0, 0);
    return 0;
}

int GetPartitionTypeCode(int scanKind, const CVolumeInfo* volume, const CPartitionInfo* partition)
{
    if (scanKind == SCAN_KIND_LOST_PARTITION)
        return partition ? partition->m_nType : 0;
    if (!volume)
        return 0;
    const std::wstring& fs = volume->m_strFileSystem;
    if (fs == L"NTFS")
        return 7;
    if (fs == L"FAT32")
        return 11;
    if (fs == L"FAT")
        return 6;
    if (fs == L"exFAT")
        return -7;
    return 0;
}

const wchar_t* FileSystemNameOfType(int type)
{
    switch (type) {
    case 11:
        return L"FAT32";
    case 6:
        return L"FAT";
    case 7:
        return L"NTFS";
    case -7:
        return L"exFAT";
    default:
        return L"";
    }
}

// ---- the enumeration thread ----

void CMainFrame::StartDiskEnum(int quiet)
{
    if (m_bClosing)
        return;
    if (quiet != 1) {
        HICON icon = LoadIconW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(201));
        ShowTrayBalloon(m_hWnd, icon, GetUIText(L"DeviceChange").c_str(), g_strLangProductName.c_str(), 0, 1000);
        m_bTrayHintShown = true;
    }
    // A deep scan's device that went away is opened again.
    if (ScanKind == SCAN_KIND_DEEP && m_hTargetDevice && m_hTargetDevice != INVALID_HANDLE_VALUE &&
        m_ScanDiskDlg.GetTargetKind() != SCAN_TARGET_IMAGE) {
        DWORD got = 0;
        if (!DeviceIoControl(m_hTargetDevice, IOCTL_STORAGE_CHECK_VERIFY, NULL, 0, NULL, 0, &got, NULL)) {
            HANDLE fresh = OpenControllerTarget(m_ScanDiskDlg);
            if (fresh && fresh != INVALID_HANDLE_VALUE) {
                CloseHandle(m_hTargetDevice);
                m_hTargetDevice = fresh;
            }
        }
    }
    // One enumeration at a time: a request while one runs is served by a new
    // run when it ends, not by waiting for it here.
    if (m_hDiskEnumThread) {
        m_bEnumAgain = true;
        return;
    }
    InterlockedExchange(&m_bStopEnum, 0);
    m_hDiskEnumThread = CreateThread(NULL, 0, DiskEnumThreadProc, this, 0, NULL);
}

void CMainFrame::OnDiskEnumDone()
{
    if (m_hDiskEnumThread) {
        WaitForSingleObject(m_hDiskEnumThread, INFINITE);
        CloseHandle(m_hDiskEnumThread);
        m_hDiskEnumThread = NULL;
    }
    if (m_bEnumAgain && !m_bClosing) {
        m_bEnumAgain = false;
        StartDiskEnum(1);
        return;
    }
    if (m_bTrayHintShown) {
        RemoveTrayIcon(m_hWnd);
        m_bTrayHintShown = false;
    }
}

void CMainFrame::EnumDisks()
{
    // 1. Held back while a result page or the lost-partition dialog uses the
    //    volume and disk objects. The thread waits on its own copy of the gate,
    //    which the window may close.
    //    Passing it is told under the lock that holds it, so that whoever
    //    holds the gate next knows whether to wait for this run.
    struct PastGate
    {
        CMainFrame* frame;
        ~PastGate()
        {
            EnterCriticalSection(&frame->m_csResults);
            frame->m_bEnumPastGate = false;
            LeaveCriticalSection(&frame->m_csResults);
        }
    } pastGate = {this};
    for (;;) {
        HANDLE gate = NULL;
        EnterCriticalSection(&m_csResults);
        if (!m_hDiskListGate || WaitForSingleObject(m_hDiskListGate, 0) == WAIT_OBJECT_0)
            m_bEnumPastGate = !m_bStopEnum;
        else
            DuplicateHandle(GetCurrentProcess(), m_hDiskListGate, GetCurrentProcess(), &gate, SYNCHRONIZE, FALSE, 0);
        LeaveCriticalSection(&m_csResults);
        if (!gate || m_bStopEnum)
            break;
        while (WaitForSingleObject(gate, 100) == WAIT_TIMEOUT && !m_bStopEnum) {
        }
        CloseHandle(gate);
    }
    if (m_bStopEnum)
        return;

    // 2. The window empties its lists (and forgets what pointed into them).
    ::PostMessageW(m_hWnd, WMU_ShowUDiskHint, 0, 0);
    ::SendMessageW(m_hWnd, WMU_ClearDiskLists, 0, 0);
    ::PostMessageW(m_hWnd, WMU_ShowInitHint, 1, 0);

    // 3. The disks and volumes again.
    std::vector<VolumeDiskEntry> pairs;
    EnterCriticalSection(&m_csResults);
    m_DiskList.DeleteAll();
    m_VolumeList.DeleteAll();
    m_pPartitionScan->ClearLostPartitions();
    LeaveCriticalSection(&m_csResults);
    m_DiskList.EnumerateDisks();
    m_VolumeList.EnumerateVolumes();
    m_VolumeList.RefreshRemovable();
    m_VolumeList.GetVolumeDiskMap(pairs);
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);

    // 4. The two folder rows.
    DiskListItemArgs args = {};
    PostDiskListItem(&args, NULL, NULL, NULL, g_strLangDesktop.c_str(), ROWS_DESKTOP, L"listDisk", -1);
    PostDiskListItem(&args, NULL, NULL, NULL, g_strLangRecycle.c_str(), ROWS_RECYCLE, L"listDisk", -1);

    // 5. Each disk with its volumes; volumes of no listed disk follow.
    std::vector<bool> listed(pairs.size(), false);
    auto addVolume = [&](size_t i) {
        CVolumeInfo* v = m_VolumeList.FindVolumeByLetter((wchar_t)pairs[i].letter);
        listed[i] = true;
        if (!v)
            return;
        uint32_t flags = ROWS_OTHER_VOLUME;
        if (windows[0] && towupper(windows[0]) == towupper((wchar_t)pairs[i].letter))
            flags = ROWS_SYSTEM_VOLUME;
        else if (v->m_uDriveType == DRIVE_REMOVABLE)
            flags = ROWS_REMOVABLE_VOLUME;
        PostDiskListItem(&args, v, NULL, NULL, NULL, flags, L"listDisk", -1);
    };
    for (int d = 0; d < m_DiskList.GetCount() && !m_bStopEnum; ++d) {
        CPhysicalDiskInfo* disk = m_DiskList.GetDisk(d);
        if (!disk)
            continue;
        PostDiskListItem(&args, NULL, disk, NULL, NULL, ROWS_DISK, L"listDisk", -1);
        for (size_t i = 0; i < pairs.size(); ++i)
            if (!listed[i] && (int)pairs[i].diskNumber == disk->m_nDiskNumber)
                addVolume(i);
    }
    for (size_t i = 0; i < pairs.size() && !m_bStopEnum; ++i)
        if (!listed[i])
            addVolume(i);

    // 6. Each disk's lost partitions: only those that disk's parse added.
    for (int d = 0; d < m_DiskList.GetCount() && !m_bStopEnum; ++d) {
        CPhysicalDiskInfo* disk = m_DiskList.GetDisk(d);
        if (!disk)
            continue;
        m_pPartitionScan->ResetScan(false);
        m_pPartitionScan->SetDisk(disk->m_nDiskNumber, disk);
        std::vector<CVolumeInfo*> volumes;
        m_VolumeList.CollectVolumesOnDisk((DWORD)disk->m_nDiskNumber, volumes);
        const int before = m_pPartitionScan->GetLostPartitionCount();
        if (m_pPartitionScan->QuickParsePartition(volumes)) {
            const int after = m_pPartitionScan->GetLostPartitionCount();
            for (int k = before; k < after; ++k)
                if (CPartitionInfo* p = m_pPartitionScan->GetLostPartition(k))
                    PostDiskListItem(&args, NULL, NULL, p, NULL, ROWS_LOST, L"listLostDisk", -1);
        }
    }

    // 7. Done.
    ::PostMessageW(m_hWnd, WMU_ShowInitHint, 0, 0);
    if (m_nUiMode == 1 && GetCurrentPage() != 0)
        ::PostMessageW(m_hWnd, WMU_DiskListFilled, 0, 0);
    if (m_bShowGuideAfterEnum) {
        m_bShowGuideAfterEnum = false;
        ::PostMessageW(m_hWnd, WMU_ShowGuide, 0, 0);
    }
}

bool CMainFrame::PostDiskListItem(DiskListItemArgs* args, CVolumeInfo* volume, CPhysicalDiskInfo* disk,
                                  CPartitionInfo* lost, const wchar_t* text, uint32_t flags,
                                  const wchar_t* listName, int index)
{
    if (!args || !m_hWnd)
        return false;
    args->pVolume = volume;
    args->pDisk = disk;
    args->pLostPartition = lost;
    args->pszText = text;
    args->uFlags = flags;
    args->pszListName = listName;
    args->nIndex = index;
    ::SendMessageW(m_hWnd, WMU_AddDiskItem, (WPARAM)args, 0);
    return true;
}

void CMainFrame::OnClearDiskLists()
{
    ClearRowsOf(L"listDisk");
    ClearRowsOf(L"listLostDisk");
    // The lists are about to be freed: nothing may point into them.
    const bool hadSelection = m_ScanDiskDlg.m_pVolume != NULL || m_pSelectedVolume != NULL;
    m_ScanDiskDlg.m_pVolume = NULL;
    m_pSelectedVolume = NULL;
    const int page = GetCurrentPage();
    if (page >= 1 && page <= 3 && (hadSelection || page > 1)) {
        SetTabSetting(0);
        if (m_nUiMode == 1) {
            m_nDiskFilter = 0;
            SelectPage(0);
        } else {
            SelectPage(1);
        }
    }
}

void CMainFrame::ClearRowsOf(const wchar_t* listName)
{
    if (DuiLib::CListUI* list = FindList(listName))
        list->RemoveAll();
}

// ---- rows ----

void CMainFrame::ApplyRowLook(CControlUI* row, uint32_t flags)
{
    if (CControlUI* space = m_PaintManager.FindSubControlByName(row, L"space"))
        space->SetVisible((flags & ROW_SPACE) != 0);
    static const struct
    {
        uint32_t flag;
        const wchar_t* icon;
        const wchar_t* tag;
    } looks[] = {{ROW_SYSTEM_VOLUME, L"icon/icon_drive_os.png", L"Partition"},
                 {ROW_VOLUME, L"icon/icon_drive.png", L"Partition"},
                 {ROW_DESKTOP, L"icon/icon_desktop.png", L"Folder"},
                 {ROW_RECYCLE, L"icon/icon_recycle.png", L"Folder"},
                 {ROW_REMOVABLE, L"icon/icon_usb.png", L"Udisk"},
                 {ROW_DISK, L"icon/icon_HD.png", L"Hd"},
                 {ROW_LOST, L"icon/icon_drive_lost.png", NULL}};
    const wchar_t* icon = NULL;
    const wchar_t* tag = NULL;
    for (const auto& l : looks)
        if (flags & l.flag) {
            icon = l.icon;
            tag = l.tag;
            break;
        }
    if (CControlUI* ico = m_PaintManager.FindSubControlByName(row, L"ico"))
        if (icon)
            ico->SetBkImage(icon);
    if (tag)
        row->SetUserData(tag);
}

bool CMainFrame::AddDiskListItem(CVolumeInfo* volume, CPhysicalDiskInfo* disk, CPartitionInfo* lost,
                                 const wchar_t* text, uint32_t flags, const wchar_t* listName, int index)
{
    DuiLib::CListUI* list = FindList(listName);
    if (!list)
        return false;
    CControlUI* row;
    if (!m_bDiskRowParsed) {
        row = m_DiskRowBuilder.Create(L"disk_list_item.xml", (UINT)0, NULL, &m_PaintManager);
        m_bDiskRowParsed = row != NULL;
    } else {
        row = m_DiskRowBuilder.Create((DuiLib::IDialogBuilderCallback*)NULL, &m_PaintManager);
    }
    if (!row)
        return false;
    bool added = index < 0 ? list->Add(row) : list->AddAt(row, index);
    if (!added) {
        row->Delete();
        return false;
    }
    auto sub = [&](const wchar_t* name) { return m_PaintManager.FindSubControlByName(row, name); };
    auto setText = [&](const wchar_t* name, const std::wstring& value) {
        if (CControlUI* c = sub(name))
            c->SetText(value.c_str());
    };
    const bool lostList = wcscmp(listName, L"listLostDisk") == 0;
    if (flags & ROW_DEVICE) {
        wchar_t buf[512];
        if (volume) {
            swprintf(buf, 512, L"%ls (%ls)", volume->m_strLabel.c_str(), volume->m_strRoot.c_str());
            setText(L"diskName", buf);
            setText(L"typeName", volume->m_strFileSystem);
            setText(L"totalSize", volume->GetTotalSizeText());
            setText(L"freeSize", volume->GetFreeSizeText());
            row->SetTag((UINT_PTR)volume);
        } else if (disk) {
            swprintf(buf, 512, L"HD%d: %ls (%ls)", disk->m_nDiskNumber, DiskModelText(disk->m_strModel).c_str(),
                     DiskSizeText(disk->m_fSizeGB).c_str());
            setText(L"diskName", buf);
            // A whole disk offers the deep scan only; it has no file system.
            const wchar_t* hidden[] = {L"typeNameCtrl", L"totalSizeCtrl", L"freeSizeCtrl"};
            for (const wchar_t* h : hidden)
                if (CControlUI* c = sub(h))
                    c->SetVisible(false);
            if (CControlUI* c = sub(L"DeepScan"))
                c->SetVisible(true);
            if (lostList)
                row->SetEnabled(false);
            row->SetTag((UINT_PTR)disk);
        } else if (lost) {
            std::wstring label = m_pPartitionScan->GetPartitionLabel(lost);
            if (label.empty())
                label = g_strLangDefDiskName;
            // Which disk the partition lies on, as the disk rows name it.
            if (lost->m_nDiskNumber >= 0)
                swprintf(buf, 512, L"HD%d: %ls (*:\\)", lost->m_nDiskNumber, label.c_str());
            else
                swprintf(buf, 512, L"%ls (*:\\)", label.c_str());
            setText(L"diskName", buf);
            setText(L"typeName", FileSystemNameOfType(lost->m_nType));
            setText(L"totalSize", lost->GetSizeText());
            setText(L"freeSize", g_strLangUnknow);
            row->SetTag((UINT_PTR)lost);
        }
    } else {
        setText(L"diskName", text ? text : L"");
        const wchar_t* hidden[] = {L"typeNameCtrl", L"totalSizeCtrl", L"freeSizeCtrl"};
        for (const wchar_t* h : hidden)
            if (CControlUI* c = sub(h))
                c->SetVisible(false);
    }
    ApplyRowLook(row, flags);
    if (lostList)
        SizeLostPartitionList(row);
    return true;
}

void CMainFrame::SizeLostPartitionList(CControlUI* newRow)
{
    DuiLib::CListUI* lost = FindList(L"listLostDisk");
    CControlUI* holder = FindControl(L"DeviceListCtl");
    if (!lost || !holder || !newRow)
        return;
    const int rows = lost->GetCount();
    const int h = newRow->GetFixedHeight() ? newRow->GetFixedHeight() : newRow->GetHeight();
    const RECT pos = holder->GetPos();
    const int room = ((pos.bottom - pos.top) - 80) / 2;
    if (room < 0 || room >= rows * h + 45) {
        SetControlFixedHeight(L"lostPartCtl", rows * h + 55);
    } else if (h > 0) {
        // More rows than room: the list shows as many whole rows as fit and
        // scrolls to the others, never a row cut in two.
        const int fit = std::max(1, std::min(rows, (room - kLostListFrame) / h));
        SetControlFixedHeight(L"lostPartCtl", fit * h + kLostListFrame);
    }
}

void CMainFrame::AddLostPartitionItem(CPartitionInfo* partition)
{
    if (!partition || !m_hWnd)
        return;
    // The search thread hands the row to the window's thread, which owns
    // the list.
    if (GetCurrentThreadId() == m_dwWindowThread)
        AddDiskListItem(NULL, NULL, partition, NULL, ROWS_LOST, L"listLostDisk", -1);
    else
        ::SendMessageW(m_hWnd, WMU_AddLostPartition, (WPARAM)partition, 0);
}

bool CMainFrame::GetSelectedDiskRow(int kind, void** out)
{
    DuiLib::CListUI* list = FindList(kind == 2 ? L"listLostDisk" : L"listDisk");
    if (!list || !out)
        return false;
    const int sel = list->GetCurSel();
    if (sel < 0)
        return false;
    CControlUI* row = list->GetItemAt(sel);
    if (!row)
        return false;
    const CDuiString& tag = row->GetUserData();
    switch (kind) {
    case 3:
        if (tag != L"Folder" || sel > 1)
            return false;
        *out = sel == 0 ? NULL : (void*)1;
        return true;
    case 1: {
        // A whole-disk row: no file-system text.
        CControlUI* type = m_PaintManager.FindSubControlByName(row, L"typeName");
        if (tag != L"Hd" || !row->GetTag() || (type && !type->GetText().IsEmpty()))
            return false;
        *out = (void*)row->GetTag();
        return true;
    }
    case 0:
        // Only a volume row answers with a volume.
        if ((tag != L"Partition" && tag != L"Udisk") || !row->GetTag())
            return false;
        *out = (void*)row->GetTag();
        return true;
    case 2:
        if (!row->GetTag())
            return false;
        *out = (void*)row->GetTag();
        return true;
    }
    return false;
}

void CMainFrame::OnItemSelect(TNotifyUI& msg)
{
    if (!msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"listDisk") {
        void* data = NULL;
        if (GetSelectedDiskRow(0, &data)) {
            m_ScanDiskDlg.m_pVolume = (CVolumeInfo*)data;
            m_bNeedsDeepScan = !IsSupportedFileSystem((CVolumeInfo*)data);
        } else {
            m_bNeedsDeepScan = true;
        }
        PlaceThirdStep(!m_bNeedsDeepScan);
    } else if (name == L"listLostDisk") {
        m_bNeedsDeepScan = true;
        PlaceThirdStep(false);
    }
}
