// What the download dialogs share with their worker threads: a download
// callback that turns progress into a posted window message and can stop
// its transfer from the window's thread, and the silent run of a checked
// installer.
//
// The assistant is reference-counted: the dialog and each worker hold a
// reference, so a dialog that closes before its worker ends leaves the
// worker a valid callback (it then posts nothing more).
#pragma once
#include <windows.h>

#include <string>

#include "net/Downloader.h"
#include "net/TrustCheck.h"

class CDownLoadAssistant final : public IDownLoadCallBack
{
public:
    // Progress: wParam the id, lParam the percentage.
    static const UINT kProgressMessage = WM_USER + 7;  // 1031

    CDownLoadAssistant();
    LONG AddRef();
    LONG Release();

    // Where progress goes (id 0 Android, 1 iPhone in the guide).
    void SetTarget(int id, HWND window);
    int GetId() const { return m_nId; }
    // The window is going: nothing is posted from now on.
    void Detach();
    // Posts to the window while it is attached; false otherwise.
    bool Post(UINT msg, WPARAM wParam, LPARAM lParam);

    // Clears the cancel flag before a download.
    void Reset();
    // From the window's thread: the running transfer ends after the block
    // under way (a wait for a silent server at its receive time-out), and
    // the next one does not start.
    void Cancel();
    bool IsCancelled() const { return m_nCancel != 0; }
    // From the window's thread: cancels, waits at most waitMs for the
    // worker thread under the wait cursor, and closes (and clears) its
    // handle. A worker that outlasts the wait ends on its own.
    void StopWorker(HANDLE& thread, DWORD waitMs);

    // Downloads with this assistant as the downloader's callback (worker
    // thread); Cancel reaches the transfer meanwhile.
    HRESULT Download(CDownloader& downloader, const wchar_t* url, const wchar_t* target, DWORD disposition);

    virtual int OnStatus(int) { return 0; }
    virtual int OnFileInfo(const wchar_t*, int) { return 0; }
    // 1 when cancelled; otherwise posts the percentage when it changed.
    virtual int OnProgress(BOOL failed, int reserved, unsigned done, unsigned total);
    virtual int OnComplete() { return 0; }

private:
    ~CDownLoadAssistant();
    CDownLoadAssistant(const CDownLoadAssistant&);
    CDownLoadAssistant& operator=(const CDownLoadAssistant&);

    volatile LONG m_nRefs;
    int m_nId;
    HWND m_hWnd;
    volatile LONG m_nCancel;
    int m_nLastPercent;
    CDownloader* m_pActive;
    CRITICAL_SECTION m_lock;
};

// Outcome of a silent installation.
enum InstallOutcome
{
    INSTALL_OK = 0,         // the installer ended with exit code 0
    INSTALL_NOT_VERIFIED,   // refused by the trust policy: not started
    INSTALL_NOT_STARTED,    // the process could not be created
    INSTALL_FAILED,         // it ended with another exit code
};

// Checks the installer against the policy and, while it is held unchanged,
// runs it with the arguments (after its quoted path) and waits until it
// ends. *exitCode gets its exit code when it ran.
InstallOutcome RunInstallerAndWait(const std::wstring& installer, const wchar_t* arguments,
                                   const CTrustPolicy& policy, DWORD* exitCode);
// Starts a downloaded installer that passes the policy, from a copy in a
// fresh private folder (with that folder as its working folder), so that
// nothing another process put beside the download is loaded by it. The
// shell verb "open" with SW_SHOWDEFAULT; true when it was started. The
// folder goes when the installer ends (or at once when it did not start).
bool StartVerifiedInstaller(const std::wstring& installer, const CTrustPolicy& policy, TrustVerdict* verdict);
