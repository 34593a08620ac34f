#include "engine/ScanDiskDlg.h"

#include <cmath>
#include <cstdio>
#include <cwchar>
#include <ctime>
#include <new>

#include "core/Language.h"
#include "core/Log.h"
#include "engine/EngineText.h"
#include "engine/FoundItem.h"
#include "engine/MainFrameServices.h"
#include "storage/VolumeList.h"

int ScanKind = SCAN_KIND_DELETED;
std::wstring g_strPathFilter;

namespace
{
wchar_t* DupText(const wchar_t* text)
{
    if (!text)
        text = L"";
    size_t n = wcslen(text);
    wchar_t* copy = new (std::nothrow) wchar_t[n + 1];
    if (copy)
        wmemcpy(copy, text, n + 1);
    return copy;
}

wchar_t g_emptyText[1] = {0};

// Remaining-time text shared by every progress report of the process,
// recomputed at most once a second.
CRITICAL_SECTION* RemainLock()
{
    static CRITICAL_SECTION cs;
    static LONG once = 0;
    if (InterlockedCompareExchange(&once, 1, 0) == 0)
    {
        InitializeCriticalSection(&cs);
        InterlockedExchange(&once, 2);
    }
    while (once != 2)
        Sleep(0);
    return &cs;
}
__int64 g_lastRemainUpdate = 0;
std::wstring g_lastRemainText;
}  // namespace

ScanProgressInfo::ScanProgressInfo()
    : nDone(0), nTotal(0), bActive(false), pszStatus(g_emptyText), pszRemain(g_emptyText)
{
}

ScanProgressInfo::~ScanProgressInfo()
{
    if (pszStatus != g_emptyText)
        delete[] pszStatus;
    if (pszRemain != g_emptyText)
        delete[] pszRemain;
}

void ScanProgressInfo::SetStatus(const wchar_t* text)
{
    wchar_t* copy = DupText(text);
    if (pszStatus != g_emptyText)
        delete[] pszStatus;
    pszStatus = copy ? copy : g_emptyText;
}

void ScanProgressInfo::SetRemain(const wchar_t* text)
{
    wchar_t* copy = DupText(text);
    if (pszRemain != g_emptyText)
        delete[] pszRemain;
    pszRemain = copy ? copy : g_emptyText;
}

CScanDiskDlg::CScanDiskDlg(IMainFrameServices* mainFrame)
    : m_u64Examined(0),
      m_u64Found(0),
      m_hGate(nullptr),
      m_hThread(nullptr),
      m_bStop(true),
      m_bPaused(false),
      m_bIncludeSubfolders(true),
      m_nTargetKind(SCAN_TARGET_VOLUME),
      m_nDiskNumber(0),
      m_i64StartTime(0),
      m_pMainFrame(mainFrame),
      m_pVolume(nullptr),
      m_walkHost(this),
      m_u64LastProgressTick(0),
      m_bFolderRequired(false),
      m_pfnMessageSink(nullptr),
      m_pMessageSinkContext(nullptr),
      m_u64PublishedDone(0),
      m_u64PublishedTotal(0)
{
    InitializeCriticalSection(&m_csGate);
}

CScanDiskDlg::~CScanDiskDlg()
{
    EndScanThread();
    EnterCriticalSection(&m_csGate);
    if (m_hGate)
    {
        CloseHandle(m_hGate);
        m_hGate = nullptr;
    }
    LeaveCriticalSection(&m_csGate);
    DeleteCriticalSection(&m_csGate);
}

// ---- thread machinery ---------------------------------------------------------

bool CScanDiskDlg::IsScanRunning() const
{
    return m_hThread && WaitForSingleObject(m_hThread, 0) == WAIT_TIMEOUT;
}

void CScanDiskDlg::PostScanDone()
{
    PostToFrame(WMU_ScanDone, 0, 0);
}

bool CScanDiskDlg::StartWorker(LPTHREAD_START_ROUTINE proc)
{
    // One scan at a time; a worker that has ended gives its handle back here.
    if (IsScanRunning())
        return false;
    if (m_hThread)
    {
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    m_u64Examined = 0;
    m_u64Found = 0;
    m_u64LastProgressTick = 0;
    m_bFolderRequired = false;
    m_bVolumeUnreadable = false;
    m_readTrouble.Reset();
    m_walkHost.ResetDeviceGone();
    BeginScanState();
    m_hThread = CreateThread(nullptr, 0, proc, this, 0, nullptr);
    if (!m_hThread)
    {
        OnScanThreadExit();
        return false;
    }
    return true;
}

bool CScanDiskDlg::StartScan(const wchar_t* folder, bool includeSubfolders)
{
    if (IsScanRunning())
        return false;
    // Even a scan that finds nothing to read ends with its own record.
    m_readTrouble.Reset();
    if (m_pMainFrame)
        m_pVolume = m_pMainFrame->GetSelectedVolume();
    if (!m_pMainFrame || (!m_pVolume && ScanKind != SCAN_KIND_DEEP))
    {
        PostScanDone();
        return true;
    }
    if (folder && *folder && wcslen(folder) != 3)
        m_strFolderFilter = folder;
    m_bIncludeSubfolders = includeSubfolders;
    LPTHREAD_START_ROUTINE proc = ScanKind == SCAN_KIND_FORMATTED ? FormatScanThreadProc
                                  : ScanKind == SCAN_KIND_DEEP    ? DeepScanThreadProc
                                                                  : QuickScanThreadProc;
    return StartWorker(proc);
}

bool CScanDiskDlg::StartRecycleScan()
{
    if (!m_pMainFrame || IsScanRunning())
        return false;
    m_pVolume = m_pMainFrame->GetSelectedVolume();
    return StartWorker(RecycleScanThreadProc);
}

DWORD WINAPI CScanDiskDlg::QuickScanThreadProc(LPVOID param)
{
    CScanDiskDlg* self = (CScanDiskDlg*)param;
    self->QuickScan();
    self->OnScanThreadExit();
    return 0;
}

DWORD WINAPI CScanDiskDlg::FormatScanThreadProc(LPVOID param)
{
    CScanDiskDlg* self = (CScanDiskDlg*)param;
    self->FormatScan();
    self->OnScanThreadExit();
    return 0;
}

DWORD WINAPI CScanDiskDlg::DeepScanThreadProc(LPVOID param)
{
    CScanDiskDlg* self = (CScanDiskDlg*)param;
    self->DeepScan();
    self->OnScanThreadExit();
    return 0;
}

DWORD WINAPI CScanDiskDlg::RecycleScanThreadProc(LPVOID param)
{
    CScanDiskDlg* self = (CScanDiskDlg*)param;
    self->RecycleScan();
    self->OnScanThreadExit();
    return 0;
}

void CScanDiskDlg::BeginScanState()
{
    EnterCriticalSection(&m_csGate);
    if (m_hGate)
        SetEvent(m_hGate);
    else
        m_hGate = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    LeaveCriticalSection(&m_csGate);
    m_i64StartTime = _time64(nullptr);
    m_bPaused = false;
    m_bStop = false;
}

void CScanDiskDlg::OnScanThreadExit()
{
    m_bStop = true;
    m_bPaused = false;
    EnterCriticalSection(&m_csGate);
    if (m_hGate)
    {
        CloseHandle(m_hGate);
        m_hGate = nullptr;
    }
    LeaveCriticalSection(&m_csGate);
}

void CScanDiskDlg::PauseScan()
{
    EnterCriticalSection(&m_csGate);
    if (m_hGate)
    {
        ResetEvent(m_hGate);
        m_bPaused = true;
    }
    LeaveCriticalSection(&m_csGate);
}

void CScanDiskDlg::ResumeScan()
{
    EnterCriticalSection(&m_csGate);
    if (m_hGate)
        SetEvent(m_hGate);
    m_bPaused = false;
    LeaveCriticalSection(&m_csGate);
}

void CScanDiskDlg::StopScan()
{
    m_bStop = true;
    EnterCriticalSection(&m_csGate);
    if (m_hGate)
        SetEvent(m_hGate);  // a paused worker wakes and sees the flag
    m_bPaused = false;
    LeaveCriticalSection(&m_csGate);
    WaitForThread(5000, true);
}

void CScanDiskDlg::EndScanThread()
{
    if (!m_hThread)
        return;
    m_bStop = true;
    EnterCriticalSection(&m_csGate);
    if (m_hGate)
        SetEvent(m_hGate);
    m_bPaused = false;
    LeaveCriticalSection(&m_csGate);
    // What the worker uses is freed once this returns: wait for its end
    // however long its last read takes.
    WaitForThread(INFINITE, true);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
}

void CScanDiskDlg::WaitForThread(DWORD milliseconds, bool waitCursor)
{
    if (!m_hThread)
        return;
    HCURSOR old = waitCursor ? SetCursor(LoadCursorW(nullptr, IDC_WAIT)) : nullptr;
    // The worker may be sending this thread a message (the report before an
    // error box): serve sent messages while waiting, or both would wait for
    // ever. Posted messages stay queued.
    const ULONGLONG start = GetTickCount64();
    for (;;)
    {
        DWORD left = INFINITE;
        if (milliseconds != INFINITE)
        {
            const ULONGLONG spent = GetTickCount64() - start;
            if (spent >= milliseconds)
                break;
            left = (DWORD)(milliseconds - spent);
        }
        const DWORD r = MsgWaitForMultipleObjects(1, &m_hThread, FALSE, left, QS_SENDMESSAGE);
        if (r != WAIT_OBJECT_0 + 1)
            break;
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    if (waitCursor)
        SetCursor(old);
}

void CScanDiskDlg::WaitGate()
{
    // A wait is a round trip to the kernel (and under Wine to its server):
    // only a paused scan pays it. The handle is only closed by the worker
    // itself (OnScanThreadExit), so it stays valid for the whole wait.
    if (!m_bPaused)
        return;
    HANDLE gate = m_hGate;
    if (gate)
        WaitForSingleObject(gate, INFINITE);
}

// ---- progress -------------------------------------------------------------------

std::wstring CScanDiskDlg::FormatScanningText(unsigned __int64 count) const
{
    return EngineFormatInt(L"ScanningFile", (int)(unsigned int)count);
}

void CScanDiskDlg::ReportProgress(int done, int total, const wchar_t* text, bool active, bool post)
{
    ScanProgressInfo* info = new (std::nothrow) ScanProgressInfo();
    if (!info)
        return;
    info->nDone = done;
    info->nTotal = total;
    info->bActive = active;
    info->SetStatus(text);

    if (m_i64StartTime != 0 && done != 0 && total > 0)
    {
        __int64 now = _time64(nullptr);
        EnterCriticalSection(RemainLock());
        if (g_lastRemainUpdate == 0)
            g_lastRemainUpdate = now;
        if (now - g_lastRemainUpdate > 1)
        {
            g_lastRemainUpdate = now;
            const std::wstring clock = RemainingTimeClock((double)(now - m_i64StartTime), done, total);
            g_lastRemainText = EngineFormatText(L"RemainTime", clock.c_str());
        }
        info->SetRemain(g_lastRemainText.c_str());
        LeaveCriticalSection(RemainLock());
    }

    if (post || m_pfnMessageSink)
    {
        // A full queue or a closed window refuses the post: free the payload
        // here rather than leak it.
        if (!PostToFrame(WMU_ScanProgress, (WPARAM)info, 1))
            delete info;
        return;
    }
    HWND target = m_pMainFrame ? m_pMainFrame->GetFrameWindow() : nullptr;
    if (target)
        SendMessageW(target, WMU_ScanProgress, (WPARAM)info, 1);
    else
        delete info;
}

bool CScanDiskDlg::PostToFrame(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (m_pfnMessageSink)
    {
        m_pfnMessageSink(m_pMessageSinkContext, message, wParam, lParam);
        return true;
    }
    HWND target = m_pMainFrame ? m_pMainFrame->GetFrameWindow() : nullptr;
    return target && PostMessageW(target, message, wParam, lParam);
}

std::wstring CScanDiskDlg::RemainingTimeClock(double elapsed, int done, int total)
{
    // A done count beyond the total (or at or below 0) must not turn into an
    // infinite or negative estimate.
    double fraction = total > 0 ? (double)done / (double)total : 1.0;
    if (!(fraction > 1e-9))
        fraction = 1e-9;
    if (fraction > 1.0)
        fraction = 1.0;
    if (!(elapsed > 0))
        elapsed = 0;
    const double remaining = elapsed / fraction * (1.0 - fraction);
    const double hoursD = remaining / 3600.0;
    const int hours = hoursD > 98.0 ? 99 : (int)hoursD;
    const int minutes = (int)fmod(remaining / 60.0, 60.0);
    const int seconds = (int)fmod(remaining, 60.0);
    wchar_t clock[32];
    _snwprintf(clock, 31, L"%02d:%02d:%02d", hours, minutes, seconds);
    clock[31] = 0;
    return clock;
}

void CScanDiskDlg::WalkProgress(int done, int total)
{
    const ULONGLONG now = GetTickCount64();
    if (m_u64LastProgressTick != 0 && now - m_u64LastProgressTick < (ULONGLONG)kProgressIntervalMs)
        return;
    m_u64LastProgressTick = now ? now : 1;
    ReportProgress(done, total, FormatScanningText(m_u64Found).c_str(), true, true);
}

bool CScanDiskDlg::CWalkHost::WaitAndCheckStop()
{
    m_pDlg->WaitGate();
    return IsStopRequested();
}

bool CScanDiskDlg::CWalkHost::HandOver(CFoundItem* item)
{
    if (!item)
        return false;
    IMainFrameServices* frame = m_pDlg->m_pMainFrame;
    if (!frame)
    {
        delete item;
        return false;
    }
    if (!frame->AddFoundFile(item))
        return false;  // the frame deleted it
    ++m_pDlg->m_u64Found;
    return true;
}

// ---- helpers ------------------------------------------------------------------------

bool CScanDiskDlg::IsSupportedFileSystem(const wchar_t* name)
{
    return name && (wcscmp(name, L"NTFS") == 0 || wcscmp(name, L"FAT32") == 0 || wcscmp(name, L"FAT") == 0 ||
                    wcscmp(name, L"exFAT") == 0);
}

bool CScanDiskDlg::IsValidFileName(const wchar_t* text)
{
    return text && wcspbrk(text, L"/*?<>|\"") == nullptr;
}

int CScanDiskDlg::NextPathComponent(const wchar_t*& cursor, wchar_t* out)
{
    int n = 0;
    if (!cursor)
    {
        if (out)
            out[0] = 0;
        return 0;
    }
    const wchar_t* p = cursor;
    while (*p && *p != L'\\' && *p != L'"' && n < 260)
    {
        if (out)
            out[n] = *p;
        ++n;
        ++p;
    }
    if (out)
        out[n] = 0;
    while (*p == L'\\' || *p == L'"')
        ++p;
    cursor = p;
    return n;
}

wchar_t CScanDiskDlg::SelectedDriveLetter() const
{
    return m_pVolume && !m_pVolume->m_strRoot.empty() ? m_pVolume->m_strRoot[0] : 0;
}

std::wstring CScanDiskDlg::SelectedRoot() const
{
    const wchar_t root[] = {SelectedDriveLetter(), L':', L'\\', 0};
    return root;
}

void CScanDiskDlg::ReportOpenFailure(const char* base64Key)
{
    // The recycle-bin scan passes over a volume it cannot read.
    if (m_bFolderRequired)
        return;
    DebugPrint(L"[Delvaro] CScanDiskDlg: the volume cannot be read (%hs)\n", base64Key ? base64Key : "");
    m_bVolumeUnreadable = true;
    ReportProgress(0, 0, nullptr, false, false);
}

void CScanDiskDlg::EndOfScan()
{
    m_bStop = true;
    ReportProgress(0, 0, FormatScanningText(m_u64Found).c_str(), false, true);
    PostScanDone();
}

// ---- the scans -------------------------------------------------------------------------

void CScanDiskDlg::QuickScan()
{
    const std::wstring fs = m_pVolume ? m_pVolume->m_strFileSystem : std::wstring();
    const wchar_t* filter = m_strFolderFilter.c_str();
    if (fs == L"NTFS")
        NTFSQuickScan(filter, m_bIncludeSubfolders);
    else if (fs == L"FAT32")
        FAT32QuickScan(filter);
    else if (fs == L"FAT")
        FAT16QuickScan(filter);
    else if (fs == L"exFAT")
        ExFATQuickScan(filter);
    else
        ReportOpenFailure(nullptr);
    EndOfScan();
    m_strFolderFilter.clear();
}

void CScanDiskDlg::FormatScan()
{
    const std::wstring fs = m_pVolume ? m_pVolume->m_strFileSystem : std::wstring();
    if (fs == L"NTFS")
        NTFSFormatScan();
    else if (fs == L"FAT32")
        FAT32FormatScan();
    else if (fs == L"FAT")
        FAT16FormatScan();
    else if (fs == L"exFAT")
        ExFATFormatScan();
    else
        ReportOpenFailure(nullptr);
    EndOfScan();
}
