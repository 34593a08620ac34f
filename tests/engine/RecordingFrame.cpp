#include "RecordingFrame.h"

#include <cwctype>

#include "core/Language.h"
#include "engine/SaveLoadWorkers.h"
#include "storage/DeviceIo.h"
#include "storage/fs/ExFATVolume.h"
#include "storage/fs/FAT32Volume.h"
#include "storage/fs/FATVolume.h"
#include "storage/fs/NTFSVolume.h"

CRecordingFrame::CRecordingFrame()
    : m_hWnd(nullptr),
      m_scanDlg(this),
      m_pRegistry(nullptr),
      m_pSelected(nullptr),
      m_hDevice(INVALID_HANDLE_VALUE),
      m_offers(0),
      m_scanDone(0),
      m_clears(0),
      m_refreshStarts(0),
      m_resultFromFile(0),
      m_partitionControl(this)
{
    InitializeCriticalSection(&m_cs);
    m_scanDlg.SetFrameMessageSink(&CRecordingFrame::QueueMessage, this);
}

CRecordingFrame::~CRecordingFrame()
{
    m_scanDlg.EndScanThread();
    m_partitionControl.StopSearch();
    PumpMessages();
    ClearResults();
    if (m_hDevice != INVALID_HANDLE_VALUE)
        CloseHandle(m_hDevice);
    DeleteCriticalSection(&m_cs);
}

void CRecordingFrame::ClearResults()
{
    for (DeepScanHit* hit : m_hits)
        delete hit;
    for (CFoundItem* item : m_found)
        delete item;
    m_hits.clear();
    m_found.clear();
    m_progress.clear();
    m_offers = 0;
    m_scanDone = 0;
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
    else if (onKept)
        onKept(*hit);
    return keep ? 1 : 0;
}

bool CRecordingFrame::AddFoundFile(CFoundItem* item)
{
    if (!item)
        return false;
    if (onFound)
        onFound(*item);
    std::wstring ext = L"unknow";
    size_t dot = item->m_strName.rfind(L'.');
    if (dot != std::wstring::npos)
        ext = item->m_strName.substr(dot + 1);
    for (wchar_t& c : ext)
        c = (wchar_t)towupper(c);
    EnterCriticalSection(&m_cs);
    bool keep = m_refusedExt.count(ext) == 0;
    if (keep)
        m_found.push_back(item);
    LeaveCriticalSection(&m_cs);
    if (!keep)
        delete item;
    return keep;
}

void CRecordingFrame::ClearScanResults()
{
    EnterCriticalSection(&m_cs);
    std::vector<DeepScanHit*> hits;
    std::vector<CFoundItem*> found;
    hits.swap(m_hits);
    found.swap(m_found);
    ++m_clears;
    LeaveCriticalSection(&m_cs);
    for (DeepScanHit* hit : hits)
        delete hit;
    for (CFoundItem* item : found)
        delete item;
}

void CRecordingFrame::AddLostPartitionItem(CPartitionInfo* partition)
{
    if (!partition)
        return;
    EnterCriticalSection(&m_cs);
    m_lostItems.push_back(partition);
    LeaveCriticalSection(&m_cs);
}

std::vector<CFoundItem*> CRecordingFrame::GetFoundFiles()
{
    EnterCriticalSection(&m_cs);
    std::vector<CFoundItem*> copy = m_found;
    LeaveCriticalSection(&m_cs);
    return copy;
}

std::vector<DeepScanHit*> CRecordingFrame::GetCarvedFiles()
{
    EnterCriticalSection(&m_cs);
    std::vector<DeepScanHit*> copy = m_hits;
    LeaveCriticalSection(&m_cs);
    return copy;
}

bool CRecordingFrame::AppendLoadedFile(CFoundItem* item)
{
    if (!item)
        return false;
    EnterCriticalSection(&m_cs);
    m_found.push_back(item);
    LeaveCriticalSection(&m_cs);
    return true;
}

bool CRecordingFrame::AppendLoadedHit(DeepScanHit* hit)
{
    if (!hit)
        return false;
    EnterCriticalSection(&m_cs);
    m_hits.push_back(hit);
    LeaveCriticalSection(&m_cs);
    return true;
}

size_t CRecordingFrame::DialogCount(UINT msg) const
{
    size_t n = 0;
    for (const Message& m : m_dialogMessages)
        n += m.msg == msg;
    return n;
}

size_t CRecordingFrame::FrameCount(UINT msg) const
{
    size_t n = 0;
    for (const Message& m : m_frameMessages)
        n += m.msg == msg;
    return n;
}

bool CRecordingFrame::PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs)
{
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    for (;;)
    {
        PumpMessages();
        if (pred())
            return true;
        if (GetTickCount64() >= until)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

bool CRecordingFrame::SelectDisk(int diskNumber)
{
    CPhysicalDiskInfo* disk = nullptr;
    for (int i = 0; i < m_disks.GetCount() && !disk; ++i)
        if (m_disks.GetDisk(i)->m_nDiskNumber == diskNumber)
            disk = m_disks.GetDisk(i);
    if (!disk)
    {
        int identified = 0;
        const int before = m_disks.GetCount();
        m_disks.AddDisk(diskNumber, &identified);
        if (m_disks.GetCount() == before)
            return false;
        disk = m_disks.GetDisk(m_disks.GetCount() - 1);
    }
    m_partitionControl.ResetScan(false);
    m_partitionControl.SetDisk(diskNumber, disk);
    m_partitionControl.SetSearchDialog(StandInDialog());
    return true;
}

bool CRecordingFrame::SearchDisk(int diskNumber, DWORD timeoutMs)
{
    if (!SelectDisk(diskNumber))
        return false;
    const size_t before = DialogCount(WMU_PartitionSearchDone);
    if (!m_partitionControl.StartLostPartitionSearch())
        return false;
    return PumpUntil(
        [&] { return !m_partitionControl.IsRunning() && DialogCount(WMU_PartitionSearchDone) > before; }, timeoutMs);
}

bool CRecordingFrame::WaitForPartitionWork(DWORD timeoutMs)
{
    const size_t done = m_scanDone + DialogCount(WMU_PartitionSearchDone);
    return PumpUntil(
        [&] {
            return !m_partitionControl.IsRunning() && m_scanDone + DialogCount(WMU_PartitionSearchDone) > done;
        },
        timeoutMs);
}

bool CRecordingFrame::GetCheckedFiles(std::vector<CFoundItem*>& out)
{
    out.clear();
    for (CFoundItem* item : m_found)
        if (!isChecked || isChecked(*item))
            out.push_back(item);
    return !out.empty();
}

bool CRecordingFrame::GetCheckedCarvedFiles(std::vector<DeepScanHit*>& out)
{
    out.clear();
    for (DeepScanHit* hit : m_hits)
        if (!isHitChecked || isHitChecked(*hit))
            out.push_back(hit);
    return !out.empty();
}

ILostPartitionSource* CRecordingFrame::GetLostPartitionSource()
{
    return m_pLost ? m_pLost : &m_partitionControl;
}

void CRecordingFrame::SetDeepScanDevice(HANDLE device)
{
    if (m_hDevice != INVALID_HANDLE_VALUE && m_hDevice != device)
        CloseHandle(m_hDevice);
    m_hDevice = device;
}

CVolumeInfo* CRecordingFrame::AddMappedVolume(wchar_t letter)
{
    CVolumeInfo* info = new CVolumeInfo();
    const wchar_t root[] = {(wchar_t)towupper(letter), L':', L'\\', 0};
    info->m_strRoot = root;
    info->m_strFileSystem = DetectFileSystemName(DriveLetterPath(letter).c_str());
    info->m_uDriveType = DRIVE_FIXED;
    m_volumes.Append(info);
    return info;
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
    EnterCriticalSection(&m_cs);
    posted.clear();
    posted.swap(m_dialogPosted);
    LeaveCriticalSection(&m_cs);
    for (Posted p : posted)
    {
        if (p.msg == WMU_ScanProgress && p.wParam)
        {
            ScanProgressInfo* info = (ScanProgressInfo*)p.wParam;
            m_progress.push_back({info->nDone, info->nTotal, info->bActive != 0, info->pszStatus, info->pszRemain});
            delete info;
            p.wParam = 0;
        }
        m_dialogMessages.push_back({p.msg, p.wParam, p.lParam});
    }
}

void CRecordingFrame::QueueDialogMessage(void* self, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CRecordingFrame* frame = (CRecordingFrame*)self;
    EnterCriticalSection(&frame->m_cs);
    frame->m_dialogPosted.push_back({msg, wParam, lParam});
    LeaveCriticalSection(&frame->m_cs);
}

bool CRecordingFrame::WaitForScan(DWORD timeoutMs)
{
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    const unsigned int before = m_scanDone;
    for (;;)
    {
        HANDLE thread = m_scanDlg.m_hThread;
        DWORD left = (DWORD)(until > GetTickCount64() ? until - GetTickCount64() : 0);
        if (thread)
            MsgWaitForMultipleObjects(1, &thread, FALSE, left < 50 ? left : 50, QS_ALLINPUT);
        else
            MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 50 ? left : 50, QS_ALLINPUT);
        PumpMessages();
        const bool ended = !m_scanDlg.IsScanRunning();
        if (ended && m_scanDone > before)
            return true;
        if (GetTickCount64() >= until)
            return false;
    }
}

void CRecordingFrame::Receive(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WMU_ScanProgress && wParam)
    {
        ScanProgressInfo* info = (ScanProgressInfo*)wParam;
        m_progress.push_back({info->nDone, info->nTotal, info->bActive != 0, info->pszStatus, info->pszRemain});
        delete info;
    }
    else
    {
        if (msg == WMU_ScanDone)
            ++m_scanDone;
        m_frameMessages.push_back({msg, wParam, lParam});
    }
}

std::wstring DetectFileSystemName(const wchar_t* path)
{
    HANDLE h = OpenRawReadOnly(path, 0);
    if (h == INVALID_HANDLE_VALUE)
        return L"RAW";
    BYTE boot[512] = {};
    const DWORD got = ReadAt(h, 0, boot, sizeof(boot));
    CloseHandle(h);
    if (got != sizeof(boot))
        return L"RAW";
    if (memcmp(boot + 3, "NTFS    ", 8) == 0)
        return L"NTFS";
    if (memcmp(boot + 3, "EXFAT   ", 8) == 0)
        return L"exFAT";
    if (CFAT32Volume().ParseBootSector(boot))
        return L"FAT32";
    if (CFATVolume().ParseBootSector(boot))
        return L"FAT";
    return L"RAW";
}

bool RunResultWorker(CRecordingFrame& frame, CResultFileWorker& worker, bool started)
{
    if (!started)
        return false;
    frame.PumpUntil([&] { return !worker.IsRunning(); }, 24 * 3600 * 1000);
    worker.WaitForEnd(INFINITE);
    frame.PumpMessages();
    return worker.GetResult();
}
