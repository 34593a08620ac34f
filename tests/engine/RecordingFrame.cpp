#include "RecordingFrame.h"

CRecordingFrame::CRecordingFrame() : m_hWnd(nullptr), m_scanDlg(this), m_pRegistry(nullptr), m_offers(0)
{
    InitializeCriticalSection(&m_cs);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"DelvaroRecordingFrame";
    RegisterClassW(&wc);  // fails harmlessly once registered
    m_hWnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    if (m_hWnd)
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, (LONG_PTR)this);
}

CRecordingFrame::~CRecordingFrame()
{
    PumpMessages();
    if (m_hWnd)
        DestroyWindow(m_hWnd);
    for (DeepScanHit* hit : m_hits)
        delete hit;
    DeleteCriticalSection(&m_cs);
}

int CRecordingFrame::AddCarvedFile(DeepScanHit* hit)
{
    if (!hit)
        return 0;
    if (onOffer)
        onOffer(*hit);
    EnterCriticalSection(&m_cs);
    bool keep = m_refused.count(++m_offers) == 0;
    if (keep)
        m_hits.push_back(hit);
    LeaveCriticalSection(&m_cs);
    if (!keep)
        delete hit;
    return keep ? 1 : 0;
}

void CRecordingFrame::PumpMessages()
{
    MSG msg;
    while (m_hWnd && PeekMessageW(&msg, m_hWnd, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

LRESULT CALLBACK CRecordingFrame::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CRecordingFrame* self = (CRecordingFrame*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    if (self && msg == WMU_ScanProgress && wParam)
    {
        ScanProgressInfo* info = (ScanProgressInfo*)wParam;
        self->m_progress.push_back({info->nDone, info->nTotal, info->bActive != 0, info->pszStatus, info->pszRemain});
        delete info;
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}
