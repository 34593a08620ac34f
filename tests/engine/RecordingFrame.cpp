#include "RecordingFrame.h"

CRecordingFrame::CRecordingFrame() : m_hWnd(nullptr), m_scanDlg(this), m_pRegistry(nullptr), m_offers(0)
{
    InitializeCriticalSection(&m_cs);
    m_scanDlg.SetFrameMessageSink(&CRecordingFrame::QueueMessage, this);
}

CRecordingFrame::~CRecordingFrame()
{
    PumpMessages();
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

void CRecordingFrame::QueueMessage(void* self, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CRecordingFrame* frame = (CRecordingFrame*)self;
    EnterCriticalSection(&frame->m_cs);
    frame->m_posted.push_back({msg, wParam, lParam});
    LeaveCriticalSection(&frame->m_cs);
}

void CRecordingFrame::PumpMessages()
{
    std::vector<Posted> posted;
    EnterCriticalSection(&m_cs);
    posted.swap(m_posted);
    LeaveCriticalSection(&m_cs);
    for (const Posted& p : posted)
        Receive(p.msg, p.wParam, p.lParam);
}

void CRecordingFrame::Receive(UINT msg, WPARAM wParam, LPARAM)
{
    if (msg == WMU_ScanProgress && wParam)
    {
        ScanProgressInfo* info = (ScanProgressInfo*)wParam;
        m_progress.push_back({info->nDone, info->nTotal, info->bActive != 0, info->pszStatus, info->pszRemain});
        delete info;
    }
}
