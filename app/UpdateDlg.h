// The update dialog: what the new version brings (the updater's text),
// then the download of its installer with a progress bar, and its start.
//
// The download runs on a thread of the dialog; the thread reports by posted
// messages and never touches a control. Closing cancels a running download
// (it ends after the block under way) and waits for the thread a bounded
// time; the thread's callback outlives the window.
//
// Only a download that passed the trust policy is kept: without a policy,
// or refused by it, the file is deleted and nothing is recorded, so the
// next check offers the version again.
// The opener deletes the dialog after its modal loop (the loop still reads
// the object after the window is gone).
#pragma once
#include "app/DownloadDialog.h"

class CUpdateDlg : public CDownloadDialog
{
public:
    // Posted by the download thread: wParam an Outcome.
    static const UINT kDownloadDoneMessage = WM_USER + 201;
    enum Outcome
    {
        kDownloadedVerified = 0,   // ready to install
        kDownloadedUnverified = 1, // downloaded, but no trust policy: not started
        kDownloadFailed = 2,       // failed or cancelled
        kDownloadRefused = 3,      // refused by the trust policy
    };

    explicit CUpdateDlg(HWND owner);
    virtual ~CUpdateDlg();

    virtual void Notify(TNotifyUI& msg);
    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

private:
    void OnWindowInit();
    void StartDownload();
    void RunInstaller();
    void OnDownloadDone(int outcome);

    HWND m_hOwner;
};

// The text control's height for the information: 20 pixels per "<n>".
int UpdateContentHeight(const std::wstring& text);
