#include "RecordingRecoverDlg.h"

CRecordingRecoverDlg::CRecordingRecoverDlg(IMainFrameServices* frame, const std::wstring& target,
                                           int remainFullPath, bool singleFile)
    : m_worker(new CRecoverProcessWorker(frame, target, remainFullPath, singleFile))
{
    InitializeCriticalSection(&m_cs);
    Attach(*m_worker);
}

CRecordingRecoverDlg::~CRecordingRecoverDlg()
{
    // Closing: stop, wait for the worker, then go.
    m_worker->StopAndWait(INFINITE);
    PumpMessages();
    DeleteCriticalSection(&m_cs);
}

void CRecordingRecoverDlg::Queue(void* self, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CRecordingRecoverDlg* dlg = (CRecordingRecoverDlg*)self;
    EnterCriticalSection(&dlg->m_cs);
    dlg->m_posted.push_back({msg, wParam, lParam});
    LeaveCriticalSection(&dlg->m_cs);
}

void CRecordingRecoverDlg::PumpMessages()
{
    std::vector<Posted> posted;
    EnterCriticalSection(&m_cs);
    posted.swap(m_posted);
    LeaveCriticalSection(&m_cs);
    for (const Posted& p : posted)
        Receive(p.msg, p.wParam);
}

bool CRecordingRecoverDlg::WaitForEnd(DWORD timeoutMs)
{
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    for (;;)
    {
        PumpMessages();
        // The window a test gives the worker is this thread's: what the
        // worker sends it is answered here.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (m_bFinished && !m_worker->IsRunning())
            return m_worker->StopAndWait(timeoutMs);
        if (GetTickCount64() >= until)
            return false;
        Sleep(5);
    }
}

void CRecordingRecoverDlg::Receive(UINT msg, WPARAM wParam)
{
    switch (msg)
    {
    case WMU_RecoverProgress:
        m_perMille.push_back((int)wParam);
        break;
    case WMU_RecoverStatus:
        if (wParam)
        {
            std::unique_ptr<RecoverStatusText> status((RecoverStatusText*)wParam);
            m_statuses.push_back(*status);
        }
        break;
    case WMU_RecoverDone:
        ++m_nDone;
        m_worker->Stop();
        break;
    case WMU_RecoverFinished:
        if (wParam)
        {
            std::unique_ptr<RecoverFinishedInfo> info((RecoverFinishedInfo*)wParam);
            m_finished = *info;
        }
        m_bFinished = true;
        break;
    }
}
