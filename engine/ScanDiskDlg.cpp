#include "engine/ScanDiskDlg.h"

#include <cmath>
#include <cstdio>
#include <cwchar>
#include <ctime>
#include <new>

#include "core/Language.h"
#include "core/Log.h"
#include "engine/EngineText.h"
#include "engine/MainFrameServices.h"

int ScanKind = SCAN_KIND_DELETED;

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

// The format's first "%s" replaced by arg; any other conversion is kept as
// written, so a damaged language text cannot read stray arguments.
std::wstring FillTextArgument(const std::wstring& format, const wchar_t* arg)
{
    std::wstring out;
    bool used = false;
    for (size_t i = 0; i < format.size(); ++i)
    {
        if (format[i] == L'%' && i + 1 < format.size())
        {
            if (format[i + 1] == L'%')
            {
                out += L'%';
                ++i;
                continue;
            }
            if (format[i + 1] == L's' && !used)
            {
                out += arg;
                used = true;
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

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
    WaitForThread(5000);
}

void CScanDiskDlg::EndScanThread()
{
    if (!m_hThread)
        return;
    m_bStop = true;
    EnterCriticalSection(&m_csGate);
    if (m_hGate)
        SetEvent(m_hGate);
    LeaveCriticalSection(&m_csGate);
    WaitForThread(10000);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
}

void CScanDiskDlg::WaitForThread(DWORD milliseconds)
{
    if (!m_hThread)
        return;
    HCURSOR old = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    WaitForSingleObject(m_hThread, milliseconds);
    SetCursor(old);
}

void CScanDiskDlg::WaitGate()
{
    // The handle is only closed by the worker itself (OnScanThreadExit), so
    // it stays valid for the whole wait.
    HANDLE gate = m_hGate;
    if (gate)
        WaitForSingleObject(gate, INFINITE);
}

std::wstring CScanDiskDlg::FormatScanningText(unsigned __int64 count) const
{
    // The language text is data: only its first integer conversion is filled.
    return FormatTextWithInt(EngineUIText(L"ScanningFile").c_str(), (int)(unsigned int)count);
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
            double fraction = (double)done / (double)total;
            double elapsed = (double)(now - m_i64StartTime);
            double remaining = fraction > 0 ? elapsed / fraction * (1.0 - fraction) : 0.0;
            if (remaining < 0)
                remaining = 0;
            double hoursD = remaining / 3600.0;
            int hours = hoursD > 98.0 ? 99 : (int)hoursD;
            int minutes = (int)fmod(remaining / 60.0, 60.0);
            int seconds = (int)fmod(remaining, 60.0);
            wchar_t clock[32];
            _snwprintf(clock, 31, L"%02d:%02d:%02d", hours, minutes, seconds);
            clock[31] = 0;
            g_lastRemainText = FillTextArgument(EngineUIText(L"RemainTime"), clock);
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
