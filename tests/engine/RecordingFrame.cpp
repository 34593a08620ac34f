#include "RecordingFrame.h"

#include <cctype>

namespace
{
const wchar_t kClassName[] = L"DelvaroRecordingFrame";

void RegisterFrameClass()
{
    static bool registered = false;
    if (registered)
        return;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kClassName;
    RegisterClassW(&wc);
    registered = true;
}
}  // namespace

CRecordingFrame::CRecordingFrame()
    : m_hWnd(nullptr), m_scanDlg(this), m_pRegistry(nullptr), m_offers(0), m_scanDone(0)
{
    InitializeCriticalSection(&m_cs);
    RegisterFrameClass();
    m_hWnd = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    if (m_hWnd)
    {
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, (LONG_PTR)this);
        SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, (LONG_PTR)WndProc);
    }
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
    unsigned int call = ++m_offers;
    std::string ext;
    for (const char* c = hit->szExtension; *c && c < hit->szExtension + sizeof(hit->szExtension); ++c)
        ext += (char)tolower((unsigned char)*c);
    bool keep = m_refused.count(call) == 0 && (m_selected.empty() || m_selected.count(ext) != 0);
    if (keep)
        m_hits.push_back(hit);
    LeaveCriticalSection(&m_cs);
    if (!keep)
    {
        delete hit;
        return 0;
    }
    return 1;
}

void CRecordingFrame::PumpMessages()
{
    if (!m_hWnd)
        return;
    MSG msg;
    while (PeekMessageW(&msg, m_hWnd, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

LRESULT CALLBACK CRecordingFrame::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CRecordingFrame* self = (CRecordingFrame*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    if (self && msg == WMU_ScanProgress)
    {
        ScanProgressInfo* info = (ScanProgressInfo*)wParam;
        if (info)
        {
            Progress p = {info->nDone, info->nTotal, info->bActive, info->pszStatus, info->pszRemain};
            self->m_progress.push_back(p);
            delete info;
        }
        return 0;
    }
    if (self && msg == WMU_ScanDone)
    {
        ++self->m_scanDone;
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}
