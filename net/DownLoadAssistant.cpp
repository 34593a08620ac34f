#include "net/DownLoadAssistant.h"

#include <shellapi.h>

#include "core/Log.h"

CDownLoadAssistant::CDownLoadAssistant()
    : m_nRefs(1), m_nId(0), m_hWnd(NULL), m_nCancel(0), m_nLastPercent(-1), m_pActive(NULL)
{
    InitializeCriticalSection(&m_lock);
}

CDownLoadAssistant::~CDownLoadAssistant()
{
    DeleteCriticalSection(&m_lock);
}

LONG CDownLoadAssistant::AddRef()
{
    return InterlockedIncrement(&m_nRefs);
}

LONG CDownLoadAssistant::Release()
{
    LONG n = InterlockedDecrement(&m_nRefs);
    if (n == 0)
        delete this;
    return n;
}

void CDownLoadAssistant::SetTarget(int id, HWND window)
{
    EnterCriticalSection(&m_lock);
    m_nId = id;
    m_hWnd = window;
    LeaveCriticalSection(&m_lock);
}

void CDownLoadAssistant::Detach()
{
    EnterCriticalSection(&m_lock);
    m_hWnd = NULL;
    LeaveCriticalSection(&m_lock);
}

bool CDownLoadAssistant::Post(UINT msg, WPARAM wParam, LPARAM lParam)
{
    EnterCriticalSection(&m_lock);
    bool posted = m_hWnd && PostMessageW(m_hWnd, msg, wParam, lParam);
    LeaveCriticalSection(&m_lock);
    return posted;
}

void CDownLoadAssistant::Reset()
{
    EnterCriticalSection(&m_lock);
    InterlockedExchange(&m_nCancel, 0);
    m_nLastPercent = -1;
    LeaveCriticalSection(&m_lock);
}

void CDownLoadAssistant::Cancel()
{
    EnterCriticalSection(&m_lock);
    InterlockedExchange(&m_nCancel, 1);
    if (m_pActive)
        m_pActive->Abort();
    LeaveCriticalSection(&m_lock);
}

void CDownLoadAssistant::StopWorker(HANDLE& thread, DWORD waitMs)
{
    if (!thread)
        return;
    HCURSOR old = SetCursor(LoadCursor(NULL, IDC_WAIT));
    Cancel();
    WaitForSingleObject(thread, waitMs);
    CloseHandle(thread);
    thread = NULL;
    SetCursor(old);
}

HRESULT CDownLoadAssistant::Download(CDownloader& downloader, const wchar_t* url, const wchar_t* target,
                                     DWORD disposition)
{
    downloader.SetCallBack(this);
    EnterCriticalSection(&m_lock);
    if (m_nCancel)
        downloader.Abort();
    m_pActive = &downloader;
    LeaveCriticalSection(&m_lock);
    HRESULT hr = downloader.Download(url, target, disposition);
    EnterCriticalSection(&m_lock);
    m_pActive = NULL;
    LeaveCriticalSection(&m_lock);
    return hr;
}

int CDownLoadAssistant::OnProgress(BOOL, int, unsigned done, unsigned total)
{
    if (m_nCancel)
        return 1;
    // One message per percent, not per block.
    const int percent = ProgressPercent(done, total);
    if (percent != m_nLastPercent) {
        m_nLastPercent = percent;
        Post(kProgressMessage, (WPARAM)m_nId, (LPARAM)percent);
    }
    return 0;
}

InstallOutcome RunInstallerAndWait(const std::wstring& installer, const wchar_t* arguments,
                                   const CTrustPolicy& policy, DWORD* exitCode)
{
    CVerifiedFile check(installer.c_str(), policy);
    if (!check.IsTrusted()) {
        DebugPrint(L"[Delvaro] %s not run: %s.\n", installer.c_str(), TrustVerdictText(check.Verdict()));
        return INSTALL_NOT_VERIFIED;
    }
    std::wstring command = L"\"" + installer + L"\"";
    if (arguments && *arguments)
        command += std::wstring(L" ") + arguments;
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    if (!CreateProcessW(installer.c_str(), &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return INSTALL_NOT_STARTED;
    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    if (!GetExitCodeProcess(pi.hProcess, &code))
        code = 1;
    CloseHandle(pi.hProcess);
    if (exitCode)
        *exitCode = code;
    return code == 0 ? INSTALL_OK : INSTALL_FAILED;
}

bool OpenVerifiedProgram(const std::wstring& program, const CTrustPolicy& policy, TrustVerdict* verdict)
{
    CVerifiedFile check(program.c_str(), policy);
    if (verdict)
        *verdict = check.Verdict();
    if (!check.IsTrusted())
        return false;
    return (INT_PTR)ShellExecuteW(NULL, L"open", program.c_str(), NULL, NULL, SW_SHOWDEFAULT) > 32;
}
