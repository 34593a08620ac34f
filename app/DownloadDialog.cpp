#include "app/DownloadDialog.h"

#include "net/DownLoadAssistant.h"

CDownloadDialog::CDownloadDialog(const wchar_t* layoutName)
    : CSkinDialog(layoutName), m_pAssistant(new CDownLoadAssistant), m_hThread(NULL)
{
}

CDownloadDialog::~CDownloadDialog()
{
    StopWorker();
    m_pAssistant->Detach();
    m_pAssistant->Release();
}

void CDownloadDialog::InitDownloadWindow()
{
    ApplyDialogFrameImage();
    m_pAssistant->SetTarget(0, m_hWnd);
}

void CDownloadDialog::StopWorker()
{
    m_pAssistant->StopWorker(m_hThread, kCloseWaitMs);
}

LRESULT CDownloadDialog::OnClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    StopWorker();
    m_pAssistant->Detach();
    return CSkinDialog::OnClose(uMsg, wParam, lParam, bHandled);
}

LRESULT CDownloadDialog::HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    if (uMsg == CDownLoadAssistant::kProgressMessage) {
        SetProgressValue(L"progress", (int)lParam);
        bHandled = TRUE;
        return 0;
    }
    return CSkinDialog::HandleCustomMessage(uMsg, wParam, lParam, bHandled);
}
