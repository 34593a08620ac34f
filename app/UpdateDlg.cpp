#include "app/UpdateDlg.h"

#include <shellapi.h>

#include "app/Services.h"
#include "core/Language.h"
#include "core/Log.h"
#include "net/DownLoadAssistant.h"
#include "net/ReportClient.h"
#include "net/Update.h"

namespace {

// What the download thread owns: its own copies, and a reference to the
// callback that the dialog shares.
struct UpdateJob
{
    CDownLoadAssistant* assistant;
    std::wstring url;
    std::wstring target;
};

DWORD WINAPI UpdateDownloadThreadProc(void* param)
{
    UpdateJob* job = (UpdateJob*)param;
    DeleteFileW(job->target.c_str());
    const CTrustPolicy& policy = GetUpdater().GetTrustPolicy();
    CDownloader downloader;
    downloader.SetTrustPolicy(&policy);
    HRESULT hr = job->assistant->Download(downloader, job->url.c_str(), job->target.c_str(), CREATE_ALWAYS);
    int outcome = CUpdateDlg::kDownloadFailed;
    if (hr == 0 && !policy.IsConfigured()) {
        // An installer that will never run is no pending update: no mark,
        // no report, and the file goes, so the checks go on offering it.
        DeleteFileW(job->target.c_str());
        outcome = CUpdateDlg::kDownloadedUnverified;
    } else if (hr == 0) {
        // The downloader checked it against the policy before it took the
        // installer's name.
        GetUpdater().SetHasNewInstaller();
        GetUpdater().SaveDownloadedUpdateVersion();
        UsageReporter().SendAction(CReportClient::kUpdateDownloaded, false);
        outcome = CUpdateDlg::kDownloadedVerified;
    } else if (downloader.GetResult() == DL_NOT_VERIFIED) {
        outcome = CUpdateDlg::kDownloadRefused;
    }
    job->assistant->Post(CUpdateDlg::kDownloadDoneMessage, (WPARAM)outcome, 0);
    job->assistant->Release();
    delete job;
    return 0;
}

}  // namespace

int UpdateContentHeight(const std::wstring& text)
{
    int markers = 0;
    for (size_t at = text.find(L"<n>"); at != std::wstring::npos; at = text.find(L"<n>", at + 3))
        ++markers;
    return 20 * markers;
}

CUpdateDlg::CUpdateDlg(HWND owner) : CDownloadDialog(L"dlg_findnewversion"), m_hOwner(owner)
{
    // Nothing runs until "btnUpdate": a progress callback before that stops at once.
    m_pAssistant->Cancel();
}

CUpdateDlg::~CUpdateDlg() {}

void CUpdateDlg::OnWindowInit()
{
    InitDownloadWindow();
    CControlUI* content = FindControl(L"updateContent");
    if (!content)
        return;
    // The server's text may use the line break and nothing else.
    const std::wstring text = PlainUpdateText(GetUpdater().GetInformation());
    content->SetFixedHeight(UpdateContentHeight(text));
    content->SetText(text.c_str());
}

void CUpdateDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnClose" || name == L"btnCancle")
        Close(IDCANCEL);  // OnClose ends a running download first
    else if (name == L"btnUpdate")
        StartDownload();
    else if (name == L"btnInst")
        RunInstaller();
}

void CUpdateDlg::StartDownload()
{
    if (m_hThread)
        return;
    if (DuiLib::CTabLayoutUI* tab = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"tabMain")))
        tab->SelectItem(1);
    ShowControl(L"btnUpdate", false);
    m_pAssistant->Reset();
    UpdateJob* job = new UpdateJob;
    job->assistant = m_pAssistant;
    job->url = GetInstallerDownloadUrl();
    job->target = GetNewInstallerPath();
    m_pAssistant->AddRef();
    m_hThread = CreateThread(NULL, 0, UpdateDownloadThreadProc, job, 0, NULL);
    if (!m_hThread) {
        m_pAssistant->Release();
        delete job;
        OnDownloadDone(kDownloadFailed);
    }
}

LRESULT CUpdateDlg::HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    if (uMsg == kDownloadDoneMessage) {
        OnDownloadDone((int)wParam);
        bHandled = TRUE;
        return 0;
    }
    return CDownloadDialog::HandleCustomMessage(uMsg, wParam, lParam, bHandled);
}

void CUpdateDlg::OnDownloadDone(int outcome)
{
    switch (outcome) {
    case kDownloadedVerified:
        ShowControl(L"btnInst", true);
        ShowControl(L"btnCancle", false);
        SetControlText(L"Title", GetUIText(L"NowInstUpdate").c_str());
        break;
    case kDownloadedUnverified:
    case kDownloadRefused:
        ShowControl(L"progress", false);
        SetControlText(L"Title", GetUIText(L"NotVerified").c_str());
        break;
    default:
        ShowControl(L"progress", false);
        SetControlText(L"Title", GetUIText(L"DownloadErr").c_str());
        break;
    }
}

void CUpdateDlg::RunInstaller()
{
    TrustVerdict verdict = TRUST_NO_POLICY;
    if (!StartVerifiedInstaller(GetNewInstallerPath(), GetUpdater().GetTrustPolicy(), &verdict)) {
        DebugPrint(L"[update] installer not started: %s.\n", TrustVerdictText(verdict));
        ShowControl(L"btnInst", false);
        ShowControl(L"btnCancle", true);
        ShowControl(L"progress", false);
        SetControlText(L"Title", GetUIText(verdict == TRUST_OK ? L"DownloadErr" : L"NotVerified").c_str());
        return;
    }
    Close(IDOK);
}
