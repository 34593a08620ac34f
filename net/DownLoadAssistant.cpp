#include "net/DownLoadAssistant.h"

#include <shellapi.h>

#include "core/Log.h"
#include "net/SehGuard.h"

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
    EnterGuardedLock(&m_lock);
    m_nId = id;
    m_hWnd = window;
    LeaveGuardedLock(&m_lock);
}

void CDownLoadAssistant::Detach()
{
    EnterGuardedLock(&m_lock);
    m_hWnd = NULL;
    LeaveGuardedLock(&m_lock);
}

bool CDownLoadAssistant::Post(UINT msg, WPARAM wParam, LPARAM lParam)
{
    EnterGuardedLock(&m_lock);
    bool posted = m_hWnd && PostMessageW(m_hWnd, msg, wParam, lParam);
    LeaveGuardedLock(&m_lock);
    return posted;
}

void CDownLoadAssistant::Reset()
{
    EnterGuardedLock(&m_lock);
    InterlockedExchange(&m_nCancel, 0);
    m_nLastPercent = -1;
    LeaveGuardedLock(&m_lock);
}

void CDownLoadAssistant::Cancel()
{
    EnterGuardedLock(&m_lock);
    InterlockedExchange(&m_nCancel, 1);
    if (m_pActive)
        m_pActive->Abort();
    LeaveGuardedLock(&m_lock);
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
    EnterGuardedLock(&m_lock);
    if (m_nCancel)
        downloader.Abort();
    m_pActive = &downloader;
    LeaveGuardedLock(&m_lock);
    HRESULT hr = downloader.Download(url, target, disposition);
    EnterGuardedLock(&m_lock);
    m_pActive = NULL;
    LeaveGuardedLock(&m_lock);
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
    if (!CreateProcessW(installer.c_str(), &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        const DWORD error = GetLastError();
        DebugPrint(L"[Delvaro] %s could not be started: error %lu.\n", installer.c_str(), error);
        SetLastError(error);
        return INSTALL_NOT_STARTED;
    }
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

namespace {

struct FolderCleanup
{
    HANDLE process;
    std::wstring folder;
};

DWORD WINAPI RemoveFolderAfterProcess(void* param)
{
    FolderCleanup* job = (FolderCleanup*)param;
    WaitForSingleObject(job->process, INFINITE);
    CloseHandle(job->process);
    // The process may take a moment to let go of its file.
    for (int i = 0; i < 50; ++i) {
        RemoveDownloadFolder(job->folder);
        if (GetFileAttributesW(job->folder.c_str()) == INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
    }
    delete job;
    return 0;
}

}  // namespace

bool StartVerifiedInstaller(const std::wstring& installer, const CTrustPolicy& policy, TrustVerdict* verdict)
{
    if (verdict)
        *verdict = TRUST_NO_POLICY;
    if (!policy.IsConfigured())
        return false;
    const std::wstring folder = CreatePrivateDownloadFolder();
    size_t slash = installer.find_last_of(L"\\/");
    const std::wstring copy = folder + L"\\" + (slash == std::wstring::npos ? installer : installer.substr(slash + 1));
    if (folder.empty() || !CopyFileW(installer.c_str(), copy.c_str(), TRUE)) {
        if (verdict)
            *verdict = TRUST_UNREADABLE;
        RemoveDownloadFolder(folder);
        return false;
    }
    bool started = false;
    HANDLE process = NULL;
    {
        // What is checked is the copy, held unchanged until it runs.
        CVerifiedFile check(copy.c_str(), policy);
        if (verdict)
            *verdict = check.Verdict();
        if (!check.IsTrusted()) {
            DebugPrint(L"[Delvaro] %s not started: %s.\n", installer.c_str(), TrustVerdictText(check.Verdict()));
        } else {
            SHELLEXECUTEINFOW sei;
            ZeroMemory(&sei, sizeof sei);
            sei.cbSize = sizeof sei;
            sei.fMask = SEE_MASK_NOCLOSEPROCESS;
            sei.lpVerb = L"open";
            sei.lpFile = copy.c_str();
            sei.lpDirectory = folder.c_str();
            sei.nShow = SW_SHOWDEFAULT;
            started = ShellExecuteExW(&sei) && (INT_PTR)sei.hInstApp > 32;
            process = sei.hProcess;
        }
    }
    if (!started) {
        if (process)
            CloseHandle(process);
        RemoveDownloadFolder(folder);
        return false;
    }
    if (process) {
        FolderCleanup* job = new FolderCleanup;
        job->process = process;
        job->folder = folder;
        HANDLE t = CreateThread(NULL, 0, RemoveFolderAfterProcess, job, 0, NULL);
        if (t) {
            CloseHandle(t);
        } else {
            CloseHandle(process);
            delete job;
        }
    }
    return true;
}
