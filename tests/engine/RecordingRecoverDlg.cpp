#include "RecordingRecoverDlg.h"

#include "RecordingFrame.h"

CRecordingRecoverDlg::CRecordingRecoverDlg(IMainFrameServices* frame, const std::wstring& target,
                                           int remainFullPath, bool singleFile)
    : m_worker(new CRecoverProcessWorker(frame, target, remainFullPath, singleFile))
{
    m_hWnd = CreateRecordingWindow(L"DelvaroRecordingRecoverDlg", WndProc, this);
}

CRecordingRecoverDlg::~CRecordingRecoverDlg()
{
    // Closing: stop, wait for the worker, then destroy.
    m_worker->StopAndWait(INFINITE);
    PumpMessages();
    if (m_hWnd)
        DestroyWindow(m_hWnd);
}

void CRecordingRecoverDlg::PumpMessages()
{
    MSG msg;
    while (m_hWnd && PeekMessageW(&msg, m_hWnd, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

bool CRecordingRecoverDlg::WaitForEnd(DWORD timeoutMs)
{
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    while (!m_bFinished)
    {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        PumpMessages();
        if (GetTickCount64() >= until)
            return false;
    }
    return m_worker->StopAndWait(timeoutMs);
}

LRESULT CALLBACK CRecordingRecoverDlg::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CRecordingRecoverDlg* self = (CRecordingRecoverDlg*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    if (!self)
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    switch (msg)
    {
    case WMU_RecoverProgress:
        self->m_perMille.push_back((int)wParam);
        return 0;
    case WMU_RecoverStatus:
        if (wParam)
        {
            std::unique_ptr<RecoverStatusText> status((RecoverStatusText*)wParam);
            self->m_statuses.push_back(*status);
        }
        return 0;
    case WMU_RecoverDone:
        ++self->m_nDone;
        self->m_worker->Stop();
        return 0;
    case WMU_RecoverFinished:
        if (wParam)
        {
            std::unique_ptr<RecoverFinishedInfo> info((RecoverFinishedInfo*)wParam);
            self->m_finished = *info;
        }
        self->m_bFinished = true;
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}
