// The installers of programs the recovery program does not carry: the two
// companion programs for Android phones and iPhones, and the video decoder
// package. Each download lands in a new folder of its own in the temporary
// folder, is checked against the trust policy, runs silently, and only an
// installer that ended with exit code 0 counts as installed.
//
// Workers never touch controls: they post their progress and outcome to
// the dialog, whose window thread updates the controls. Closing a dialog
// aborts its downloads from the window's thread and waits a bounded time;
// a worker that outlasts the wait (an installer still running) keeps its
// own reference to its callback and posts nothing more.
#pragma once
#include "app/DownloadDialog.h"

class CDownLoadAssistant;

// Messages of the workers (besides the progress message, 1031).
const UINT kInstallStepMessage = WM_USER + 202;  // wParam kind, lParam step
const UINT kInstallDoneMessage = WM_USER + 203;  // wParam kind, lParam InstallResult

enum InstallResult
{
    kInstalled = 0,
    kInstallDownloadFailed,  // failed or cancelled download
    kInstallNotVerified,     // refused by the trust policy
    kInstallFailed,          // the installer did not end with exit code 0
};

class CInstallAppDlg : public CDownloadDialog
{
public:
    // 0 the choice of the two programs, 3 the decoder package at once.
    explicit CInstallAppDlg(int mode);
    virtual ~CInstallAppDlg();

    virtual void Notify(TNotifyUI& msg);
    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

    int GetMode() const { return m_nMode; }

private:
    void OnWindowInit();
    void OnPhone(int kind);
    void StartWorker();
    void OnDone(int result);

    std::wstring m_strUrl;
    int m_nMode;
};

class CInstallGuideDlg : public CSkinDialog
{
public:
    CInstallGuideDlg();
    explicit CInstallGuideDlg(bool phonesFirst);
    virtual ~CInstallGuideDlg();

    virtual void Notify(TNotifyUI& msg);
    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT OnClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

    // Button texts by state: 0 "InstallNow", 1 empty, 2 "Run", 3 "Installing", 4 "DLErr".
    void SetButtonState(int kind, int state);
    int GetButtonState(int kind) const { return m_nState[kind == 2 ? 1 : 0]; }
    bool IsDownloading(int kind) const { return m_hThread[kind == 2 ? 1 : 0] != NULL; }
    // How long the error text stays (2500 ms).
    static void SetErrorShowMs(UINT ms);

private:
    void OnWindowInit();
    void OnPhone(int kind);
    void OnDone(int kind, int result);
    void StopWorkers(DWORD waitMs);

    bool m_bPhonesFirst;
    HANDLE m_hThread[2];            // Android, iPhone
    CDownLoadAssistant* m_pAssistant[2];
    int m_nState[2];
};

// Address of the decoder package and of the companion installers.
std::wstring GetDecoderDownloadUrl();
std::wstring GetCompanionDownloadUrl(int kind);
