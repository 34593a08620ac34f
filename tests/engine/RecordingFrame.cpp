#include "RecordingFrame.h"

#include <cwctype>

#include "core/Language.h"
#include "engine/SaveLoadWorkers.h"
#include "storage/DeviceIo.h"
#include "storage/fs/ExFATVolume.h"
#include "storage/fs/FAT32Volume.h"
#include "storage/fs/FATVolume.h"
#include "storage/fs/NTFSVolume.h"

CRecordingFrame::CRecordingFrame()
    : m_hWnd(nullptr),
      m_scanDlg(this),
      m_pRegistry(nullptr),
      m_pSelected(nullptr),
      m_hDevice(INVALID_HANDLE_VALUE),
      m_offers(0),
      m_scanDone(0),
      m_hDialog(nullptr),
      m_clears(0),
      m_refreshStarts(0),
      m_resultFromFile(0),
      m_partitionControl(this)
{
    InitializeCriticalSection(&m_cs);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"DelvaroRecordingFrame";
    RegisterClassW(&wc);  // fails harmlessly once registered
    m_hWnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    if (m_hWnd)
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, (LONG_PTR)this);
    WNDCLASSW dc = {};
    dc.lpfnWndProc = DialogProc;
    dc.hInstance = wc.hInstance;
    dc.lpszClassName = L"DelvaroRecordingDialog";
    RegisterClassW(&dc);
    m_hDialog = CreateWindowExW(0, dc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, dc.hInstance, nullptr);
    if (m_hDialog)
        SetWindowLongPtrW(m_hDialog, GWLP_USERDATA, (LONG_PTR)this);
}

CRecordingFrame::~CRecordingFrame()
{
    m_scanDlg.EndScanThread();
    m_partitionControl.StopSearch();
    PumpMessages();
    if (m_hWnd)
        DestroyWindow(m_hWnd);
    if (m_hDialog)
        DestroyWindow(m_hDialog);
    ClearResults();
    if (m_hDevice != INVALID_HANDLE_VALUE)
        CloseHandle(m_hDevice);
    DeleteCriticalSection(&m_cs);
}

void CRecordingFrame::ClearResults()
{
    for (DeepScanHit* hit : m_hits)
        delete hit;
    for (CFoundItem* item : m_found)
        delete item;
    m_hits.clear();
    m_found.clear();
    m_progress.clear();
    m_offers = 0;
    m_scanDone = 0;
}

int CRecordingFrame::AddCarvedFile(DeepScanHit* hit)
{
    if (!hit)
        return 0;
    if (onOffer)
        onOffer(*hit);
    EnterCriticalSection(&m_cs);
    bool keep = m_refused.count(++m_offers) == 0;
    if (keep)
        m_hits.push_back(hit);
    LeaveCriticalSection(&m_cs);
    if (!keep)
        delete hit;
    return keep ? 1 : 0;
}

bool CRecordingFrame::AddFoundFile(CFoundItem* item)
{
    if (!item)
        return false;
    if (onFound)
        onFound(*item);
    std::wstring ext = L"unknow";
    size_t dot = item->m_strName.rfind(L'.');
    if (dot != std::wstring::npos)
        ext = item->m_strName.substr(dot + 1);
    for (wchar_t& c : ext)
        c = (wchar_t)towupper(c);
    EnterCriticalSection(&m_cs);
    bool keep = m_refusedExt.count(ext) == 0;
    if (keep)
        m_found.push_back(item);
    LeaveCriticalSection(&m_cs);
    if (!keep)
        delete item;
    return keep;
}

void CRecordingFrame::SetDeepScanDevice(HANDLE device)
{
    if (m_hDevice != INVALID_HANDLE_VALUE && m_hDevice != device)
        CloseHandle(m_hDevice);
    m_hDevice = device;
}

CVolumeInfo* CRecordingFrame::AddMappedVolume(wchar_t letter)
{
    CVolumeInfo* info = new CVolumeInfo();
    const wchar_t root[] = {(wchar_t)towupper(letter), L':', L'\\', 0};
    info->m_strRoot = root;
    info->m_strFileSystem = DetectFileSystemName(DriveLetterPath(letter).c_str());
    info->m_uDriveType = DRIVE_FIXED;
    m_volumes.Append(info);
    return info;
}

void CRecordingFrame::PumpMessages()
{
    MSG msg;
    while (m_hWnd && PeekMessageW(&msg, m_hWnd, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
    while (m_hDialog && PeekMessageW(&msg, m_hDialog, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

void CRecordingFrame::ClearScanResults()
{
    EnterCriticalSection(&m_cs);
    std::vector<DeepScanHit*> hits;
    std::vector<CFoundItem*> found;
    hits.swap(m_hits);
    found.swap(m_found);
    ++m_clears;
    LeaveCriticalSection(&m_cs);
    for (DeepScanHit* hit : hits)
        delete hit;
    for (CFoundItem* item : found)
        delete item;
}

void CRecordingFrame::AddLostPartitionItem(CPartitionInfo* partition)
{
    if (!partition)
        return;
    EnterCriticalSection(&m_cs);
    m_lostItems.push_back(partition);
    LeaveCriticalSection(&m_cs);
}

std::vector<CFoundItem*> CRecordingFrame::GetFoundFiles()
{
    EnterCriticalSection(&m_cs);
    std::vector<CFoundItem*> copy = m_found;
    LeaveCriticalSection(&m_cs);
    return copy;
}

std::vector<DeepScanHit*> CRecordingFrame::GetCarvedFiles()
{
    EnterCriticalSection(&m_cs);
    std::vector<DeepScanHit*> copy = m_hits;
    LeaveCriticalSection(&m_cs);
    return copy;
}

bool CRecordingFrame::AppendLoadedFile(CFoundItem* item)
{
    if (!item)
        return false;
    EnterCriticalSection(&m_cs);
    m_found.push_back(item);
    LeaveCriticalSection(&m_cs);
    return true;
}

bool CRecordingFrame::AppendLoadedHit(DeepScanHit* hit)
{
    if (!hit)
        return false;
    EnterCriticalSection(&m_cs);
    m_hits.push_back(hit);
    LeaveCriticalSection(&m_cs);
    return true;
}

size_t CRecordingFrame::DialogCount(UINT msg) const
{
    size_t n = 0;
    for (const Message& m : m_dialogMessages)
        n += m.msg == msg;
    return n;
}

size_t CRecordingFrame::FrameCount(UINT msg) const
{
    size_t n = 0;
    for (const Message& m : m_frameMessages)
        n += m.msg == msg;
    return n;
}

bool CRecordingFrame::PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs)
{
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    for (;;)
    {
        PumpMessages();
        if (pred())
            return true;
        if (GetTickCount64() >= until)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

bool CRecordingFrame::SelectDisk(int diskNumber)
{
    CPhysicalDiskInfo* disk = nullptr;
    for (int i = 0; i < m_disks.GetCount() && !disk; ++i)
        if (m_disks.GetDisk(i)->m_nDiskNumber == diskNumber)
            disk = m_disks.GetDisk(i);
    if (!disk)
    {
        int identified = 0;
        const int before = m_disks.GetCount();
        m_disks.AddDisk(diskNumber, &identified);
        if (m_disks.GetCount() == before)
            return false;
        disk = m_disks.GetDisk(m_disks.GetCount() - 1);
    }
    m_partitionControl.ResetScan(false);
    m_partitionControl.SetDisk(diskNumber, disk);
    m_partitionControl.SetSearchWindow(m_hDialog);
    return true;
}

bool CRecordingFrame::SearchDisk(int diskNumber, DWORD timeoutMs)
{
    if (!SelectDisk(diskNumber))
        return false;
    const size_t before = DialogCount(WMU_PartitionSearchDone);
    if (!m_partitionControl.StartLostPartitionSearch())
        return false;
    return PumpUntil(
        [&] { return !m_partitionControl.IsRunning() && DialogCount(WMU_PartitionSearchDone) > before; }, timeoutMs);
}

bool CRecordingFrame::WaitForPartitionWork(DWORD timeoutMs)
{
    const size_t done = m_scanDone + DialogCount(WMU_PartitionSearchDone);
    return PumpUntil(
        [&] {
            return !m_partitionControl.IsRunning() && m_scanDone + DialogCount(WMU_PartitionSearchDone) > done;
        },
        timeoutMs);
}

bool CRecordingFrame::WaitForScan(DWORD timeoutMs)
{
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    const unsigned int before = m_scanDone;
    for (;;)
    {
        HANDLE thread = m_scanDlg.m_hThread;
        DWORD left = (DWORD)(until > GetTickCount64() ? until - GetTickCount64() : 0);
        if (thread)
            MsgWaitForMultipleObjects(1, &thread, FALSE, left < 50 ? left : 50, QS_ALLINPUT);
        else
            MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 50 ? left : 50, QS_ALLINPUT);
        PumpMessages();
        const bool ended = !m_scanDlg.IsScanRunning();
        if (ended && m_scanDone > before)
            return true;
        if (GetTickCount64() >= until)
            return false;
    }
}

LRESULT CALLBACK CRecordingFrame::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CRecordingFrame* self = (CRecordingFrame*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    if (self && msg == WMU_ScanProgress && wParam)
    {
        ScanProgressInfo* info = (ScanProgressInfo*)wParam;
        self->m_progress.push_back({info->nDone, info->nTotal, info->bActive != 0, info->pszStatus, info->pszRemain});
        delete info;
        return 0;
    }
    if (self && msg == WMU_ScanDone)
    {
        ++self->m_scanDone;
        self->m_frameMessages.push_back({msg, wParam, lParam});
        return 0;
    }
    if (self && msg >= WM_USER)
    {
        self->m_frameMessages.push_back({msg, wParam, lParam});
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK CRecordingFrame::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CRecordingFrame* self = (CRecordingFrame*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    if (self && (msg >= WM_USER || msg == WM_CLOSE))
    {
        if (msg == WMU_ScanProgress && wParam)
        {
            ScanProgressInfo* info = (ScanProgressInfo*)wParam;
            self->m_progress.push_back({info->nDone, info->nTotal, info->bActive != 0, info->pszStatus, info->pszRemain});
            delete info;
            wParam = 0;
        }
        self->m_dialogMessages.push_back({msg, wParam, lParam});
        return 0;  // WM_CLOSE is recorded, never acted on
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

std::wstring DetectFileSystemName(const wchar_t* path)
{
    HANDLE h = OpenRawReadOnly(path, 0);
    if (h == INVALID_HANDLE_VALUE)
        return L"RAW";
    BYTE boot[512] = {};
    const DWORD got = ReadAt(h, 0, boot, sizeof(boot));
    CloseHandle(h);
    if (got != sizeof(boot))
        return L"RAW";
    if (memcmp(boot + 3, "NTFS    ", 8) == 0)
        return L"NTFS";
    if (memcmp(boot + 3, "EXFAT   ", 8) == 0)
        return L"exFAT";
    if (CFAT32Volume().ParseBootSector(boot))
        return L"FAT32";
    if (CFATVolume().ParseBootSector(boot))
        return L"FAT";
    return L"RAW";
}

std::wstring ToolWindowsPath(const std::wstring& path)
{
    if (path.empty() || path[0] != L'/')
        return path;
    std::wstring w = L"Z:" + path;
    for (wchar_t& c : w)
        if (c == L'/')
            c = L'\\';
    return w;
}

namespace
{
std::wstring g_toolName;
int PrintBox(HWND, const wchar_t* text, const wchar_t* title, UINT, int)
{
    fwprintf(stderr, L"%ls: %ls: %ls\n", g_toolName.c_str(), title ? title : L"", text ? text : L"");
    return IDOK;
}
}  // namespace

void PrintMessageBoxesAs(const wchar_t* tool)
{
    g_toolName = tool ? tool : L"";
    SetMessageDlgProc(PrintBox);
}

bool RunResultWorker(CRecordingFrame& frame, CResultFileWorker& worker, bool started)
{
    if (!started)
        return false;
    frame.PumpUntil([&] { return !worker.IsRunning(); }, 24 * 3600 * 1000);
    worker.WaitForEnd(INFINITE);
    frame.PumpMessages();
    return worker.GetResult();
}
