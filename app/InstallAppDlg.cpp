#include "app/InstallAppDlg.h"

#include <shellapi.h>

#include "app/Services.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Settings.h"
#include "net/DownLoadAssistant.h"
#include "net/Update.h"

namespace {

volatile LONG g_errorShowMs = 2500;

const wchar_t kCompanionArgs[] = L"/S";
const wchar_t kDecoderArgs[] = L"/VERYSILENT /NORESTART /NOCLOSEAPPLICATIONS /NORESTARTAPPLICATIONS /SUPPRESSMSGBOXES";
const UINT_PTR kErrorTimerBase = 0x21;

// What one worker owns: its own copy of the address, and a reference to
// the callback that its dialog shares.
struct InstallJob
{
    CDownLoadAssistant* assistant;
    std::wstring url;
    const wchar_t* args;
    int kind;       // 1 Android, 2 iPhone, 3 decoder
};

void WriteDecodeMark()
{
    HKEY h;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Delvaro", 0, NULL, 0, KEY_SET_VALUE, NULL, &h,
                        NULL) != ERROR_SUCCESS)
        return;
    DWORD zero = 0;
    RegSetValueExW(h, L"Decode", 0, REG_DWORD, (const BYTE*)&zero, sizeof zero);
    RegCloseKey(h);
}

DWORD WINAPI InstallWorkerProc(void* param)
{
    InstallJob* job = (InstallJob*)param;
    CDownLoadAssistant* a = job->assistant;
    const CTrustPolicy& policy = GetUpdater().GetTrustPolicy();
    int result = kInstallDownloadFailed;
    // A folder no one else knows: nothing can be put beside the installer.
    const std::wstring folder = CreatePrivateDownloadFolder();
    if (!folder.empty()) {
        const std::wstring target = folder + L"\\" + SafeDownloadName(job->url, L"downloadinstall.exe");
        CDownloader downloader;
        downloader.SetTrustPolicy(&policy);
        if (a->Download(downloader, job->url.c_str(), target.c_str(), CREATE_ALWAYS) == 0 && !a->IsCancelled()) {
            a->Post(kInstallStepMessage, (WPARAM)job->kind, 1);
            DWORD code = 0;
            InstallOutcome outcome = RunInstallerAndWait(target, job->args, policy, &code);
            result = outcome == INSTALL_OK             ? kInstalled
                     : outcome == INSTALL_NOT_VERIFIED ? kInstallNotVerified
                                                       : kInstallFailed;
            if (job->kind == 3 && result == kInstalled)
                WriteDecodeMark();
        } else if (downloader.GetResult() == DL_NOT_VERIFIED) {
            result = kInstallNotVerified;
        }
        RemoveDownloadFolder(folder);
    }
    a->Post(kInstallDoneMessage, (WPARAM)job->kind, (LPARAM)result);
    a->Release();
    delete job;
    return 0;
}

HANDLE StartInstallWorker(CDownLoadAssistant* a, const std::wstring& url, const wchar_t* args, int kind)
{
    InstallJob* job = new InstallJob;
    job->assistant = a;
    job->url = url;
    job->args = args;
    job->kind = kind;
    a->AddRef();
    HANDLE h = CreateThread(NULL, 0, InstallWorkerProc, job, 0, NULL);
    if (!h) {
        a->Release();
        delete job;
    }
    return h;
}

void SelectPage(WindowImplBaseShw* w, int page)
{
    if (DuiLib::CTabLayoutUI* tab = static_cast<DuiLib::CTabLayoutUI*>(w->FindControl(L"tabMain")))
        tab->SelectItem(page);
}

const wchar_t* EventOf(int kind)
{
    return kind == 2 ? L"Fennicko" : L"Palometo";
}

int IndexOf(int kind)
{
    return kind == 2 ? 1 : 0;
}

}  // namespace

std::wstring GetDecoderDownloadUrl()
{
    return GetUpdater().GetEndpoints().decoder;
}

std::wstring GetCompanionDownloadUrl(int kind)
{
    return kind == 2 ? g_OemInfo.m_strIPhoneAppUrl : g_OemInfo.m_strAndroidAppUrl;
}

// ---- CInstallAppDlg ----

CInstallAppDlg::CInstallAppDlg(int mode) : CDownloadDialog(L"dlg_install_app"), m_nMode(mode) {}

CInstallAppDlg::~CInstallAppDlg() {}

void CInstallAppDlg::OnWindowInit()
{
    InitDownloadWindow();
    if (m_nMode == 3) {
        SetControlText(L"caption", GetUIText(L"DownloadDecoder").c_str());
        SelectPage(this, 1);
        m_strUrl = GetDecoderDownloadUrl();
        StartWorker();
    }
}

void CInstallAppDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnAndroid")
        OnPhone(1);
    else if (name == L"btnIphone")
        OnPhone(2);
    else if (name == L"btnClose")
        Close(IDCANCEL);
}

void CInstallAppDlg::OnPhone(int kind)
{
    if (m_hThread)
        return;
    AddUsageEvent(EventOf(kind));
    const std::wstring installed = GetCompanionAppPath(kind);
    if (!installed.empty()) {
        ShellExecuteW(m_hWnd, L"open", installed.c_str(), NULL, NULL, SW_SHOW);
        Close(IDOK);
        return;
    }
    m_nMode = kind;
    m_strUrl = GetCompanionDownloadUrl(kind);
    SelectPage(this, 1);
    StartWorker();
}

void CInstallAppDlg::StartWorker()
{
    m_pAssistant->Reset();
    m_hThread = StartInstallWorker(m_pAssistant, m_strUrl, m_nMode == 3 ? kDecoderArgs : kCompanionArgs, m_nMode);
    if (!m_hThread)
        OnDone(kInstallDownloadFailed);
}

LRESULT CInstallAppDlg::HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    if (uMsg == kInstallStepMessage) {
        SetControlText(L"Title", GetUIText(L"Installing").c_str());
        bHandled = TRUE;
        return 0;
    }
    if (uMsg == kInstallDoneMessage) {
        OnDone((int)lParam);
        bHandled = TRUE;
        return 0;
    }
    return CDownloadDialog::HandleCustomMessage(uMsg, wParam, lParam, bHandled);
}

void CInstallAppDlg::OnDone(int result)
{
    if (m_hThread) {
        CloseHandle(m_hThread);
        m_hThread = NULL;
    }
    if (result == kInstalled) {
        if (m_nMode == 1 || m_nMode == 2) {
            const std::wstring installed = GetCompanionAppPath(m_nMode);
            if (!installed.empty())
                ShellExecuteW(m_hWnd, L"open", installed.c_str(), NULL, NULL, SW_SHOW);
        }
        Close(IDOK);
        return;
    }
    ShowControl(L"progress", false);
    const wchar_t* key = result == kInstallNotVerified ? L"NotVerified"
                         : result == kInstallFailed    ? L"InstallFailed"
                                                       : L"DownloadErr";
    SetControlText(L"Title", GetUIText(key).c_str());
}

// ---- CInstallGuideDlg ----

void CInstallGuideDlg::SetErrorShowMs(UINT ms)
{
    InterlockedExchange(&g_errorShowMs, (LONG)ms);
}

CInstallGuideDlg::CInstallGuideDlg() : CInstallGuideDlg(false) {}

CInstallGuideDlg::CInstallGuideDlg(bool phonesFirst) : CSkinDialog(L"dlg_install_guide"), m_bPhonesFirst(phonesFirst)
{
    for (int i = 0; i < 2; ++i) {
        m_hThread[i] = NULL;
        m_pAssistant[i] = new CDownLoadAssistant;
        m_nState[i] = 0;
    }
}

CInstallGuideDlg::~CInstallGuideDlg()
{
    StopWorkers(500);
    for (int i = 0; i < 2; ++i) {
        m_pAssistant[i]->Detach();
        m_pAssistant[i]->Release();
    }
}

void CInstallGuideDlg::StopWorkers(DWORD waitMs)
{
    for (int i = 0; i < 2; ++i)
        m_pAssistant[i]->StopWorker(m_hThread[i], waitMs);
}

void CInstallGuideDlg::SetButtonState(int kind, int state)
{
    static const wchar_t* const keys[5] = {L"InstallNow", NULL, L"Run", L"Installing", L"DLErr"};
    if (state < 0 || state > 4)
        return;
    m_nState[IndexOf(kind)] = state;
    SetControlText(kind == 2 ? L"btnIphone" : L"btnAndroid", keys[state] ? GetUIText(keys[state]).c_str() : L"");
}

void CInstallGuideDlg::OnWindowInit()
{
    SetControlText(L"caption", g_strLangProductName.c_str());
    if (m_bPhonesFirst) {
        SelectPage(this, 1);
        ShowControl(L"btnBack", false);
    }
    for (int kind = 1; kind <= 2; ++kind)
        SetButtonState(kind, GetCompanionAppPath(kind).empty() ? 0 : 2);
    m_pAssistant[0]->SetTarget(0, m_hWnd);
    m_pAssistant[1]->SetTarget(1, m_hWnd);
}

void CInstallGuideDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnClose" || name == L"btnOvoDelvaro")
        Close(IDCANCEL);
    else if (name == L"btnMobileRecover")
        SelectPage(this, 1);
    else if (name == L"btnBack")
        SelectPage(this, 0);
    else if (name == L"btnAndroid")
        OnPhone(1);
    else if (name == L"btnIphone")
        OnPhone(2);
}

void CInstallGuideDlg::OnPhone(int kind)
{
    AddUsageEvent(EventOf(kind));
    const std::wstring installed = GetCompanionAppPath(kind);
    if (!installed.empty()) {
        ShellExecuteW(m_hWnd, L"open", installed.c_str(), NULL, NULL, SW_SHOW);
        return;
    }
    const int i = IndexOf(kind);
    if (m_hThread[i])
        return;
    EnableControl(kind == 2 ? L"btnIphone" : L"btnAndroid", false);
    SetButtonState(kind, 1);
    KillTimer(m_hWnd, kErrorTimerBase + i);
    m_pAssistant[i]->Reset();
    m_hThread[i] = StartInstallWorker(m_pAssistant[i], GetCompanionDownloadUrl(kind), kCompanionArgs, kind);
    if (!m_hThread[i])
        OnDone(kind, kInstallDownloadFailed);
}

LRESULT CInstallGuideDlg::HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    if (uMsg == CDownLoadAssistant::kProgressMessage) {
        SetProgressValue(wParam == 1 ? L"progress_IOS" : L"progress_Android", (int)lParam);
        return 0;
    }
    if (uMsg == kInstallStepMessage) {
        SetButtonState((int)wParam, 3);
        bHandled = TRUE;
        return 0;
    }
    if (uMsg == kInstallDoneMessage) {
        OnDone((int)wParam, (int)lParam);
        bHandled = TRUE;
        return 0;
    }
    if (uMsg == WM_TIMER && (wParam == kErrorTimerBase || wParam == kErrorTimerBase + 1)) {
        // The error text has been read: back to the start, the bar full.
        KillTimer(m_hWnd, wParam);
        const int i = (int)(wParam - kErrorTimerBase);
        SetButtonState(i == 1 ? 2 : 1, 0);
        SetProgressValue(i == 1 ? L"progress_IOS" : L"progress_Android", 100);
        bHandled = TRUE;
        return 0;
    }
    return CSkinDialog::HandleCustomMessage(uMsg, wParam, lParam, bHandled);
}

void CInstallGuideDlg::OnDone(int kind, int result)
{
    const int i = IndexOf(kind);
    if (m_hThread[i]) {
        CloseHandle(m_hThread[i]);
        m_hThread[i] = NULL;
    }
    if (result == kInstalled) {
        const std::wstring installed = GetCompanionAppPath(kind);
        if (!installed.empty())
            ShellExecuteW(m_hWnd, L"open", installed.c_str(), NULL, NULL, SW_SHOW);
        SetButtonState(kind, 2);
        SetProgressValue(kind == 2 ? L"progress_IOS" : L"progress_Android", 100);
    } else if (!m_pAssistant[i]->IsCancelled()) {
        SetButtonState(kind, 4);
        SetTimer(m_hWnd, kErrorTimerBase + i, (UINT)g_errorShowMs, NULL);
    } else {
        SetButtonState(kind, 0);
    }
    SetControlText(L"caption", GetUIText(L"ProductName").c_str());
    EnableControl(kind == 2 ? L"btnIphone" : L"btnAndroid", true);
}

LRESULT CInstallGuideDlg::OnClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    KillTimer(m_hWnd, kErrorTimerBase);
    KillTimer(m_hWnd, kErrorTimerBase + 1);
    StopWorkers(500);
    m_pAssistant[0]->Detach();
    m_pAssistant[1]->Detach();
    return CSkinDialog::OnClose(uMsg, wParam, lParam, bHandled);
}
