#include "app/WorkerDialogs.h"

#include "app/MainFrame.h"
#include "core/Language.h"

namespace {

DuiLib::CProgressUI* FindProgress(CSkinDialog& dlg, const wchar_t* name)
{
    CControlUI* c = dlg.FindControl(name);
    return c ? static_cast<DuiLib::CProgressUI*>(c->GetInterface(DUI_CTR_PROGRESS)) : NULL;
}

}  // namespace

// ---- recovery ----

CRecoverProcessDlg::CRecoverProcessDlg(CMainFrame* frame, const std::wstring& target, int remainFullPath,
                                       bool singleFile)
    : CSkinDialog(L"dlg_recovering"),
      m_pFrame(frame),
      m_strTarget(target),
      m_worker(new CRecoverProcessWorker(frame, target, remainFullPath, singleFile)),
      m_pProgress(NULL),
      m_bStarted(false),
      m_bFinished(false),
      m_bCloseAsked(false)
{
}

CRecoverProcessDlg::~CRecoverProcessDlg()
{
    // The worker has ended by now (the window goes only after it did),
    // unless it never started.
    m_worker->StopAndWait(INFINITE);
}

void CRecoverProcessDlg::OnWindowInit()
{
    ApplyDialogFrameImage();
    m_pProgress = FindProgress(*this, L"recoverProgress");
    m_bStarted = m_worker->Start(m_hWnd);
    if (!m_bStarted)
        Close(0);
}

void CRecoverProcessDlg::Stop()
{
    m_worker->Stop();
    SetControlText(L"FileCount", L"");
    SetControlText(L"FileName", GetUIText(L"StopRecover").c_str());
    EnableControl(L"btnStop", false);
}

void CRecoverProcessDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnStop")
        Stop();
    else if (name == L"btnClose")
        Close(0);
}

LRESULT CRecoverProcessDlg::OnClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    // A running worker is stopped first; its end closes the window.
    if (m_bStarted && !m_bFinished) {
        if (!m_bCloseAsked) {
            m_bCloseAsked = true;
            Stop();
        }
        bHandled = TRUE;
        return 0;
    }
    return CSkinDialog::OnClose(uMsg, wParam, lParam, bHandled);
}

LRESULT CRecoverProcessDlg::HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    switch (uMsg) {
    case WMU_RecoverProgress:
        if (m_pProgress)
            m_pProgress->SetValue((int)wParam);
        bHandled = TRUE;
        return 0;
    case WMU_RecoverStatus:
        if (RecoverStatusText* status = reinterpret_cast<RecoverStatusText*>(wParam)) {
            if (!m_worker->IsStopRequested()) {
                SetControlText(L"FileCount", status->countText.c_str());
                SetControlText(L"FileName", status->nameText.c_str());
            }
            delete status;
        }
        bHandled = TRUE;
        return 0;
    case WMU_RecoverDone:
        Stop();
        bHandled = TRUE;
        return 0;
    case WMU_RecoverFinished:
        if (RecoverFinishedInfo* info = reinterpret_cast<RecoverFinishedInfo*>(wParam)) {
            m_finished = *info;
            delete info;
        }
        m_bFinished = true;
        Close(0);
        bHandled = TRUE;
        return 0;
    }
    return CSkinDialog::HandleCustomMessage(uMsg, wParam, lParam, bHandled);
}

// ---- scan-result files ----

CResultFileDlg::CResultFileDlg(const wchar_t* layout, const wchar_t* progressName, CResultFileWorker* worker)
    : CSkinDialog(layout), m_worker(worker), m_strProgressName(progressName), m_pProgress(NULL)
{
}

void CResultFileDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        ApplyDialogFrameImage();
        m_pProgress = FindProgress(*this, m_strProgressName.c_str());
        StartWorker();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnStop") {
        RequestStop();
    } else if (name == L"btnClose") {
        // The worker stops after the record in hand; the wait for it
        // follows the modal loop.
        RequestStop();
        Close(0);
    }
}

void CResultFileDlg::RequestStop()
{
    m_worker->RequestStop();
    SetControlText(L"Hint", GetUIText(L"StopRecover").c_str());
    EnableControl(L"btnStop", false);
}

void CResultFileDlg::SetProgressPerMille(WPARAM done, LPARAM total)
{
    if (m_pProgress)
        m_pProgress->SetValue(CResultFileWorker::ProgressPerMille(done, total));
}

void CResultFileDlg::WaitForWorker()
{
    m_worker->WaitForEnd(INFINITE);
}

LRESULT CResultFileDlg::HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    if (uMsg == WMU_RecoverProgress) {
        SetProgressPerMille(wParam, lParam);
        bHandled = TRUE;
        return 0;
    }
    if (uMsg == WMU_RecoverDone) {
        RequestStop();
        bHandled = TRUE;
        return 0;
    }
    return CSkinDialog::HandleCustomMessage(uMsg, wParam, lParam, bHandled);
}

CSaveResultDlg::CSaveResultDlg(IMainFrameServices* owner, const std::wstring& path)
    : CResultFileDlg(L"dlg_saveresult", L"SaveProgress", new CSaveResultWorker(owner, path.c_str()))
{
}

bool CSaveResultDlg::StartWorker()
{
    if (static_cast<CSaveResultWorker*>(m_worker.get())->StartSave(DialogTarget(m_hWnd)))
        return true;
    Close(0);
    return false;
}

CLoadDataDlg::CLoadDataDlg(IMainFrameServices* owner, const std::wstring& path)
    : CResultFileDlg(L"dlg_loaddata", L"LoadProgress", new CLoadDataWorker(owner, path.c_str()))
{
}

int CLoadDataDlg::GetKind() const
{
    return static_cast<const CLoadDataWorker*>(m_worker.get())->GetKind();
}

bool CLoadDataDlg::StartWorker()
{
    // A file that is not a scan result shows its error and closes the
    // window itself.
    return static_cast<CLoadDataWorker*>(m_worker.get())->StartLoad(DialogTarget(m_hWnd));
}
