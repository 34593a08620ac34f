// The partition scan control: its thread and gate machinery, the sector
// reader, progress, the quick parse of table gaps and the check of one
// place for a boot sector.
#include "engine/PartitionScanControl.h"

#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "core/Helpers.h"
#include "core/Log.h"
#include "engine/EngineText.h"
#include "engine/MainFrameServices.h"
#include "engine/PartitionStart.h"
#include "engine/ScanDiskDlg.h"
#include "engine/ScanResultFile.h"
#include "storage/DeviceIo.h"
#include "storage/VolumeList.h"

namespace
{
bool HasBootSignature(const BYTE* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

uint64_t SaturatingEnd(uint64_t start, uint64_t length)
{
    return length > ~0ull - start ? ~0ull : start + length;
}
}  // namespace

// An 11-byte FAT label as text: up to a zero byte, trailing blanks removed.
std::wstring FatVolumeLabel(const BYTE* bytes)
{
    char text[12] = {0};
    memcpy(text, bytes, 11);
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == ' ')
        text[--n] = 0;
    if (!n)
        return std::wstring();
    wchar_t wide[16] = {0};
    const int m = MultiByteToWideChar(CP_ACP, 0, text, (int)n, wide, 15);
    return std::wstring(wide, m > 0 ? m : 0);
}

void SortPartitionsByStart(std::vector<DiskExtent>& extents)
{
    std::vector<DiskExtent> scratch;
    scratch.reserve(extents.size());
    while (!extents.empty())
    {
        size_t largest = 0;
        for (size_t i = 1; i < extents.size(); ++i)
            if (extents[i].start > extents[largest].start)
                largest = i;
        scratch.push_back(extents[largest]);
        extents.erase(extents.begin() + largest);
    }
    for (size_t i = scratch.size(); i-- > 0;)
        extents.push_back(scratch[i]);
}

CPartitionScanControl::CPartitionScanControl(IMainFrameServices* mainFrame)
    : m_u64Processed(0),
      m_u64Found(0),
      m_nDiskNumber(-1),
      m_pCurrentPartition(nullptr),
      m_uSectorSize(512),

      m_pCurrentDisk(nullptr),
      m_pMainFrame(mainFrame),
      m_hThread(nullptr),
      m_hGate(nullptr),
      m_bStop(true),
      m_bPaused(false),
      m_bReportToMainFrame(1),
      m_bKeep(1),
      m_hSearchDisk(INVALID_HANDLE_VALUE),
      m_u64LastProgressTick(0),
      m_walkHost(this)
{
    InitializeCriticalSection(&m_cs);
}

CPartitionScanControl::~CPartitionScanControl()
{
    if (m_hThread)
    {
        m_bStop = true;
        EnterCriticalSection(&m_cs);
        if (m_hGate)
            SetEvent(m_hGate);
        LeaveCriticalSection(&m_cs);
        ReapThread(INFINITE);
    }
    ResetScan(false);
    ClearLostPartitions();
    CloseGate();
    DeleteCriticalSection(&m_cs);
}

unsigned int CPartitionScanControl::SectorSizeOfDisk(int diskNumber, const CPhysicalDiskInfo* disk)
{
    if (disk && disk->m_uSectorSize)
        return disk->m_uSectorSize;
    if (diskNumber < 0)
        return 512;
    HANDLE h = OpenRawReadOnly(PhysicalDrivePath(diskNumber).c_str(), FILE_ATTRIBUTE_READONLY);
    const unsigned int size = DetectDiskSectorSize(h);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return size;
}

void CPartitionScanControl::SetDisk(int diskNumber, CPhysicalDiskInfo* disk)
{
    m_nDiskNumber = diskNumber;
    m_pCurrentDisk = disk;
    // Each disk counts in its own sectors: nothing of the last disk (or of
    // a loaded result) carries over.
    m_uSectorSize = SectorSizeOfDisk(diskNumber, disk);
}

void CPartitionScanControl::SetLoadedDisk(int diskNumber, const CPhysicalDiskInfo& disk)
{
    CPhysicalDiskList* list = m_pMainFrame ? m_pMainFrame->GetPhysicalDisks() : nullptr;
    for (int i = 0; list && i < list->GetCount(); ++i)
    {
        CPhysicalDiskInfo* d = list->GetDisk(i);
        if (d && d->m_nDiskNumber == diskNumber)
        {
            SetDisk(diskNumber, d);
            return;
        }
    }
    m_loadedDisk = disk;
    SetDisk(diskNumber, &m_loadedDisk);
}

uint64_t CPartitionScanControl::DiskSectors() const
{
    return m_pCurrentDisk && m_uSectorSize ? m_pCurrentDisk->m_TotalBytes / m_uSectorSize : 0;
}

BYTE* CPartitionScanControl::ReadDiskSectors(uint64_t sector, uint32_t count)
{
    if (count == 0 || count > kMaxReadSectors || m_uSectorSize == 0 || m_uSectorSize > 4096)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uint64_t offset = 0;
    if (__builtin_mul_overflow(sector, (uint64_t)m_uSectorSize, &offset))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE h = m_hSearchDisk;
    const bool own = h == INVALID_HANDLE_VALUE;
    if (own)
    {
        h = OpenRawReadOnly(PhysicalDrivePath(m_nDiskNumber).c_str(), FILE_ATTRIBUTE_READONLY);
        if (h == INVALID_HANDLE_VALUE)
            return nullptr;  // the open's error stays
    }
    const DWORD bytes = count * m_uSectorSize;
    BYTE* buffer = new (std::nothrow) BYTE[bytes];
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    if (buffer)
    {
        memset(buffer, 0, bytes);
        SetLastError(0);
        const DWORD got = ReadAt(h, offset, buffer, bytes);
        error = GetLastError();
        if (got != bytes)
        {
            delete[] buffer;
            buffer = nullptr;
            if (error == 0)
                error = ERROR_HANDLE_EOF;
        }
    }
    if (own)
        CloseHandle(h);
    // The caller tells a busy disk from a bad sector by this error: the
    // clean-up above must not replace it.
    if (!buffer)
        SetLastError(error);
    return buffer;
}

std::wstring CPartitionScanControl::VolumeLabelFromRecord(BYTE* rec, uint32_t bytes)
{
    if (!rec || bytes < 512 || memcmp(rec, "FILE", 4) != 0)
        return std::wstring();
    // Update sequence: the last two bytes of every 512-byte stride hold the
    // sequence number; the array after it holds the real bytes.
    const uint32_t usaOffset = Le16(rec + 4), usaCount = Le16(rec + 6);
    if (usaCount < 2 || usaCount - 1 != bytes / 512 || usaOffset < 42 ||
        (uint64_t)usaOffset + 2ull * usaCount > bytes)
        return std::wstring();
    const uint16_t seq = Le16(rec + usaOffset);
    for (uint32_t i = 1; i < usaCount; ++i)
    {
        BYTE* tail = rec + i * 512 - 2;
        if (Le16(tail) != seq)
            return std::wstring();
        tail[0] = rec[usaOffset + 2 * i];
        tail[1] = rec[usaOffset + 2 * i + 1];
    }
    uint32_t at = Le16(rec + 20);
    const uint32_t used = std::min<uint32_t>(Le32(rec + 24), bytes);
    if (at < 42 || at >= used)
        return std::wstring();
    for (int guard = 0; guard < 64 && at + 24 <= used; ++guard)
    {
        const uint32_t type = Le32(rec + at);
        if (type == 0xFFFFFFFFu)
            break;
        const uint32_t length = Le32(rec + at + 4);
        if (length < 24 || length > used - at)
            break;
        if (type == 0x60)
        {
            if (rec[at + 8] != 0)  // a volume name is resident
                break;
            const uint32_t valueLength = Le32(rec + at + 16);
            const uint32_t valueOffset = Le16(rec + at + 20);
            if (valueOffset < 24 || valueOffset > length || valueLength > length - valueOffset)
                break;
            const uint32_t units = std::min<uint32_t>(valueLength, 2048) / 2;
            std::wstring label;
            label.reserve(units);
            for (uint32_t u = 0; u < units; ++u)
            {
                const wchar_t c = (wchar_t)Le16(rec + at + valueOffset + 2 * u);
                if (!c)
                    break;
                label += c;
            }
            return label;
        }
        at += length;
    }
    return std::wstring();
}

std::wstring CPartitionScanControl::ReadNtfsVolumeLabel(uint64_t partitionStart, const BYTE* boot)
{
    if (!boot || memcmp(boot + 3, "NTFS    ", 8) != 0 || !HasBootSignature(boot))
        return std::wstring();
    const uint32_t bytesPerSector = Le16(boot + 11);
    const uint32_t sectorsPerCluster = boot[13];
    if (bytesPerSector < 256 || bytesPerSector > 4096 || (bytesPerSector & (bytesPerSector - 1)) ||
        sectorsPerCluster == 0 || (sectorsPerCluster & (sectorsPerCluster - 1)))
        return std::wstring();
    const uint32_t clusterBytes = bytesPerSector * sectorsPerCluster;
    const int8_t clustersPerRecord = (int8_t)boot[64];
    uint64_t recordBytes = 0;
    if (clustersPerRecord > 0)
        recordBytes = (uint64_t)clusterBytes * (uint64_t)clustersPerRecord;
    else if (clustersPerRecord >= -31)
        recordBytes = 1ull << (-clustersPerRecord);
    // Records are 512 bytes to 64 KiB, a power of two, whole disk sectors.
    if (recordBytes < 512 || recordBytes > 65536 || (recordBytes & (recordBytes - 1)) ||
        recordBytes % m_uSectorSize)
        return std::wstring();
    const uint64_t mftCluster = Le64(boot + 48);
    uint64_t offset = 0, mftBytes = 0, start = 0;
    if (__builtin_mul_overflow(mftCluster, (uint64_t)clusterBytes, &mftBytes) ||
        __builtin_mul_overflow(partitionStart, (uint64_t)m_uSectorSize, &start) ||
        __builtin_add_overflow(start, mftBytes, &offset) || __builtin_add_overflow(offset, 3 * recordBytes, &offset) ||
        offset % m_uSectorSize)
        return std::wstring();
    const uint32_t count = (uint32_t)(recordBytes / m_uSectorSize);
    if (count > kMaxReadSectors)
        return std::wstring();
    BYTE* rec = ReadDiskSectors(offset / m_uSectorSize, count);
    if (!rec)
        return std::wstring();
    std::wstring label = VolumeLabelFromRecord(rec, (uint32_t)recordBytes);
    delete[] rec;
    return label;
}

bool CPartitionScanControl::IsPastDiskEnd(uint64_t firstSector, uint64_t length, uint32_t sectorSize) const
{
    const uint64_t disk = m_pCurrentDisk && sectorSize ? m_pCurrentDisk->m_TotalBytes / sectorSize : 0;
    return disk && (firstSector >= disk || length > disk - firstSector);
}

CPartitionInfo* CPartitionScanControl::NewVolumeRecord(uint64_t at, const BYTE* boot, int code, uint64_t hidden)
{
    // The volume counts in the sectors its boot sector was made for; a disk
    // of another sector size (or one whose size could not be told) keeps
    // its own only where the volume's start is no whole sector of it.
    const uint32_t own = BootSectorBytesPerSector(boot);
    uint64_t bootByte = 0, hiddenBytes = 0;
    if (__builtin_mul_overflow(at, (uint64_t)m_uSectorSize, &bootByte) ||
        __builtin_mul_overflow(hidden, (uint64_t)m_uSectorSize, &hiddenBytes) || hiddenBytes > bootByte)
        return nullptr;
    const uint32_t size = own && bootByte % own == 0 && hiddenBytes % own == 0 ? own : m_uSectorSize;
    uint64_t count = 0;
    std::wstring label;
    if (code == FS_NTFS)
    {
        const uint64_t total = Le64(boot + 40);
        count = total == ~0ull ? total : total + 1;
        label = ReadNtfsVolumeLabel(at, boot);
    }
    else if (code == FS_FAT32)
    {
        count = Le32(boot + 32);
        label = FatVolumeLabel(boot + 71);
    }
    else if (code == FS_FAT16)
    {
        count = Le32(boot + 32) ? Le32(boot + 32) : Le16(boot + 19);
        label = FatVolumeLabel(boot + 43);
    }
    else if (code == FS_EXFAT)  // no label in the boot sector
        count = Le64(boot + 72);
    else
        return nullptr;
    // The boot sector counts in its own sectors.
    if (own && own != size)
        count = count > ~0ull / own ? ~0ull / size : count * own / size;
    CPartitionInfo* record = new (std::nothrow) CPartitionInfo;
    if (!record)
        return nullptr;
    record->m_nDiskNumber = m_nDiskNumber;
    record->m_nType = code;
    record->m_uSectorSize = size;
    record->m_StartSector = (bootByte - hiddenBytes) / size;
    record->m_HiddenSectors = hiddenBytes / size;
    record->m_SectorCount = count;
    record->m_strName = label;
    record->m_nScheme = 0;
    record->m_bActive = FALSE;
    record->m_bPastDiskEnd = IsPastDiskEnd(bootByte / size, count, size);
    return record;
}

CPartitionInfo* CPartitionScanControl::CheckPartitionIsValid(uint64_t start, uint32_t hidden)
{
    DebugPrint(L"[Delvaro] CheckPartitionIsValid start=%I64d Hide=%d\n", start, hidden);
    uint64_t at = 0;
    if (__builtin_add_overflow(start, (uint64_t)hidden, &at))
        return nullptr;
    BYTE* boot = ReadDiskSectors(at, 1);
    if (!boot)
        return nullptr;
    CPartitionInfo* record = nullptr;
    const int code = HasBootSignature(boot) ? DetectFileSystem(boot) : FS_UNKNOWN;
    const uint32_t field = Le32(boot + 28);
    if ((code == FS_NTFS || code == FS_FAT32 || code == FS_FAT16) && (hidden == 0 || hidden == field))
        record = NewVolumeRecord(at, boot, code, hidden);
    delete[] boot;
    return record;
}

void CPartitionScanControl::CollectOccupiedExtents(const std::vector<CVolumeInfo*>& volumes,
                                                   std::vector<DiskExtent>& extents, int* scheme, bool stoppable)
{
    extents.clear();
    CPartitionTable table;
    table.ReadFromDisk(m_nDiskNumber);
    if (scheme)
        *scheme = table.GetScheme();
    const int entries = table.GetCount();
    if ((int)volumes.size() >= entries)
    {
        for (size_t i = 0; i < volumes.size() && !(stoppable && IsStopRequested()); ++i)
        {
            PARTITION_INFORMATION info;
            memset(&info, 0, sizeof(info));
            if (!volumes[i] || !volumes[i]->GetPartitionInfo(&info))
                continue;
            const DiskExtent e = {(uint64_t)info.StartingOffset.QuadPart / m_uSectorSize,
                                  (uint64_t)info.PartitionLength.QuadPart / m_uSectorSize, (uint32_t)info.HiddenSectors};
            DebugPrint(L"[Delvaro] QuickParsePartition 1 start=%I64d Length=%I64d Hide=%d\n", e.start, e.length,
                       e.hidden);
            extents.push_back(e);
        }
    }
    if ((int)volumes.size() < entries || extents.empty())
    {
        for (int i = 0; i < entries && !(stoppable && IsStopRequested()); ++i)
        {
            const CPartitionInfo* p = table.GetAt(i);
            if (!p)
                continue;
            const DiskExtent e = {p->m_StartSector, p->m_SectorCount, (uint32_t)p->m_HiddenSectors};
            DebugPrint(L"[Delvaro] QuickParsePartition 2 start=%I64d Length=%I64d Hide=%d\n", e.start, e.length,
                       e.hidden);
            extents.push_back(e);
        }
    }
}

void CPartitionScanControl::FindTableGaps(const std::vector<DiskExtent>& extents, uint64_t diskSectors,
                                          std::vector<DiskExtent>& gaps, std::vector<uint32_t>& candidates,
                                          uint32_t sectorSize)
{
    if (extents.empty())
        return;
    const uint64_t minGap = kMinGapBytes / (sectorSize ? sectorSize : 512);
    if (extents.front().start >= minGap)
        gaps.push_back({0, extents.front().start, 0});
    // After the furthest end of any entry (an overlapping entry of a damaged
    // table may reach further than the last one).
    uint64_t lastEnd = 0;
    for (const DiskExtent& e : extents)
        lastEnd = std::max(lastEnd, SaturatingEnd(e.start, e.length));
    // An entry that runs past the disk's end leaves no gap after it.
    // start + length is already the first sector after an entry (a GPT
    // entry's last sector + 1): a gap starts right there on either table.
    if (diskSectors > 0 && diskSectors > lastEnd && diskSectors - lastEnd >= minGap)
        gaps.push_back({lastEnd, diskSectors - lastEnd, 0});
    for (size_t i = 0; i + 1 < extents.size(); ++i)
    {
        DebugPrint(L"[Delvaro] QuickParsePartition other partition HideSectors = %d\n", extents[i].hidden);
        if (extents[i].hidden < 8192 &&
            std::find(candidates.begin(), candidates.end(), extents[i].hidden) == candidates.end())
            candidates.push_back(extents[i].hidden);
        const uint64_t end = SaturatingEnd(extents[i].start, extents[i].length);
        const uint64_t next = extents[i + 1].start;
        // Overlapping or touching entries leave no gap (never a wrapped one).
        if (next <= end || next - end < minGap)
            continue;
        DiskExtent gap = {end, next - end, 0};
        const uint64_t gapEnd = SaturatingEnd(gap.start, gap.length);
        bool inside = false;
        for (const DiskExtent& e : extents)
        {
            const uint64_t eEnd = SaturatingEnd(e.start, e.length);
            if ((gap.start > e.start && gap.start < eEnd) || (gapEnd > e.start && gapEnd < eEnd))
                inside = true;
        }
        if (inside)
            continue;
        DebugPrint(L"find lost start=%I64x length=%I64x\n", gap.start, gap.length);
        gaps.push_back(gap);
    }
}

bool CPartitionScanControl::QuickParsePartition(const std::vector<CVolumeInfo*>& volumes)
{
    std::vector<DiskExtent> extents;
    int scheme = CPartitionTable::SCHEME_MBR;
    CollectOccupiedExtents(volumes, extents, &scheme, false);
    if (extents.empty())
        return false;
    SortPartitionsByStart(extents);
    const uint64_t diskSectors = DiskSectors();
    std::vector<DiskExtent> gaps;
    std::vector<uint32_t> candidates;
    FindTableGaps(extents, diskSectors, gaps, candidates, m_uSectorSize);
    if (gaps.empty())
        return false;
    if (scheme == CPartitionTable::SCHEME_GPT)
        candidates.push_back(0);
    else
        // The usual distances of a boot sector from its gap's start (63
        // sectors of 512 bytes; 512 KiB to 2 MiB), in the disk's sectors.
        for (uint32_t bytes : {63u * 512u, 1024u * 512u, 2048u * 512u, 4096u * 512u})
        {
            const uint32_t c = bytes / m_uSectorSize;
            if (bytes % m_uSectorSize == 0 && std::find(candidates.begin(), candidates.end(), c) == candidates.end())
                candidates.push_back(c);
        }
    std::vector<CPartitionInfo*> found;
    const bool any = FindLostPartition(gaps, candidates, scheme, found);
    for (CPartitionInfo* p : found)
        AppendLostPartition(p);
    return any;
}

bool CPartitionScanControl::FindLostPartition(const std::vector<DiskExtent>& gaps,
                                              const std::vector<uint32_t>& candidates, int scheme,
                                              std::vector<CPartitionInfo*>& out)
{
    bool any = false;
    for (const DiskExtent& gap : gaps)
    {
        if (scheme == CPartitionTable::SCHEME_MBR)
        {
            // A boot record of a lost extended partition at the gap's start.
            BYTE* first = ReadDiskSectors(gap.start, 1);
            if (first && HasBootSignature(first))
            {
                const BYTE* entry = first + 446;
                const uint32_t relative = Le32(entry + 8);
                if ((entry[4] == 6 || entry[4] == 11 || entry[4] == 7) && relative <= 4096)
                {
                    DebugPrint(L"[Delvaro] FindLostPartition part startoffset=%I64d hideSector=%d\n", gap.start,
                               relative);
                    CPartitionInfo* p = CheckPartitionIsValid(gap.start, relative);
                    if (p)
                    {
                        delete[] first;
                        out.push_back(p);
                        return true;
                    }
                }
            }
            delete[] first;
        }
        for (uint32_t hidden : candidates)
        {
            CPartitionInfo* p = CheckPartitionIsValid(gap.start, hidden);
            if (p)
            {
                out.push_back(p);
                any = true;
                break;
            }
        }
    }
    return any;
}

bool CPartitionScanControl::IsRunning() const
{
    return m_hThread && WaitForSingleObject(m_hThread, 0) == WAIT_TIMEOUT;
}

bool CPartitionScanControl::ReapThread(DWORD waitMs)
{
    if (!m_hThread)
        return true;
    const DWORD r = waitMs == 0 ? WaitForSingleObject(m_hThread, 0) : WaitWithMessagePump(m_hThread, waitMs, TRUE);
    if (r != WAIT_OBJECT_0)
        return false;
    CloseHandle(m_hThread);
    m_hThread = nullptr;
    return true;
}

void CPartitionScanControl::CloseGate()
{
    EnterCriticalSection(&m_cs);
    if (m_hGate)
        CloseHandle(m_hGate);
    m_hGate = nullptr;
    LeaveCriticalSection(&m_cs);
}

void CPartitionScanControl::WaitGate()
{
    // Only the worker closes the gate, so its handle stays valid here.
    if (m_bPaused && m_hGate)
        WaitForSingleObject(m_hGate, INFINITE);
}

bool CPartitionScanControl::StartPartitionScan(CPartitionInfo* partition)
{
    if (!m_pMainFrame || !partition || !ReapThread(0))
        return false;
    m_bStop = false;
    m_bPaused = false;
    m_u64Processed = 0;
    m_u64Found = 0;
    m_readTrouble.Reset();
    m_pCurrentPartition = partition;
    EnterCriticalSection(&m_cs);
    if (m_hGate)
        CloseHandle(m_hGate);
    m_hGate = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    LeaveCriticalSection(&m_cs);
    m_hThread = CreateThread(nullptr, 0, PartitionScanThreadProc, this, 0, nullptr);
    if (!m_hThread)
    {
        CloseGate();
        m_bStop = true;
        return false;
    }
    return true;
}

bool CPartitionScanControl::StartLostPartitionSearch()
{
    if (!m_pMainFrame || !ReapThread(0))
        return false;
    m_bStop = false;
    m_bReportToMainFrame = 0;
    m_hThread = CreateThread(nullptr, 0, LostPartitionSearchThreadProc, this, 0, nullptr);
    if (!m_hThread)
    {
        m_bStop = true;
        m_bReportToMainFrame = 1;
        return false;
    }
    return true;
}

DWORD WINAPI CPartitionScanControl::PartitionScanThreadProc(LPVOID param)
{
    CPartitionScanControl* self = (CPartitionScanControl*)param;
    self->ScanPartition();
    // Idle first (flags and gate), so that whoever reacts to the done
    // message finds the control ready; the done message goes last.
    self->m_bStop = true;
    self->m_bPaused = false;
    self->CloseGate();
    self->PostProgress(0, 0, self->FormatScanningText(self->m_u64Found).c_str(), false);
    PostFrameMessage(self->m_pMainFrame, WMU_ScanDone, 0, 0);
    return 0;
}

DWORD WINAPI CPartitionScanControl::LostPartitionSearchThreadProc(LPVOID param)
{
    ((CPartitionScanControl*)param)->SearchLostPartitions();
    return 0;
}

void CPartitionScanControl::StopSearch()
{
    if (!m_hThread)
        return;
    EnterCriticalSection(&m_cs);
    if (m_hGate)
        SetEvent(m_hGate);
    LeaveCriticalSection(&m_cs);
    m_bStop = true;
    ReapThread(INFINITE);
}

void CPartitionScanControl::PauseScan()
{
    if (!m_hThread)
        return;
    EnterCriticalSection(&m_cs);
    if (m_hGate)
    {
        ResetEvent(m_hGate);
        m_bPaused = true;
    }
    LeaveCriticalSection(&m_cs);
}

void CPartitionScanControl::ResumeScan()
{
    if (!m_hThread)
        return;
    EnterCriticalSection(&m_cs);
    if (m_hGate)
        SetEvent(m_hGate);
    m_bPaused = false;
    LeaveCriticalSection(&m_cs);
}

void CPartitionScanControl::ResetScan(bool keep)
{
    // A worker still running uses what is reset here: it ends first.
    if (m_hThread && !ReapThread(0))
        StopSearch();
    ReapThread(0);
    if (!keep)
    {
        m_nDiskNumber = -1;
        m_pCurrentDisk = nullptr;
        m_pCurrentPartition = nullptr;
        m_bKeep = 0;
    }
}

bool CPartitionScanControl::GetPartitionDescriptor(PartitionDescriptor* out)
{
    if (!out || !m_pCurrentPartition)
        return false;
    const CPartitionInfo& p = *m_pCurrentPartition;
    memset(out, 0, sizeof(*out));
    out->uDiskNumber = (uint32_t)m_nDiskNumber;
    out->uSectorSize = p.m_uSectorSize ? p.m_uSectorSize : m_uSectorSize;
    out->uActive = p.m_bActive ? 1 : 0;
    out->nType = p.m_nType;
    out->uScheme = (uint32_t)p.m_nScheme;
    out->u64Start = p.m_StartSector;
    out->u64Length = p.m_SectorCount;
    out->u64Hidden = p.m_HiddenSectors;
    wcsncpy(out->szLabel, p.m_strName.c_str(), 259);
    wcsncpy(out->szSecond, p.m_strTypeGuid.c_str(), 259);
    return true;
}

int64_t CPartitionScanControl::GetDiskLength() const
{
    return m_pCurrentDisk ? (int64_t)m_pCurrentDisk->m_TotalBytes : -1;
}

CPartitionInfo* CPartitionScanControl::FindPartitionByStart(uint64_t start)
{
    CPartitionInfo* found = nullptr;
    EnterCriticalSection(&m_cs);
    for (CPartitionInfo* p : m_lostPartitions)
        if (p && p->m_StartSector == start)
        {
            found = p;
            break;
        }
    LeaveCriticalSection(&m_cs);
    return found;
}

CPartitionInfo* CPartitionScanControl::FindPartitionByBootSector(uint64_t sector)
{
    CPartitionInfo* found = nullptr;
    EnterCriticalSection(&m_cs);
    for (CPartitionInfo* p : m_lostPartitions)
    {
        uint64_t boot = 0, wanted = 0;
        if (p && PartitionBootOffset(*p, 0, &boot) && !__builtin_mul_overflow(sector, (uint64_t)m_uSectorSize, &wanted) &&
            boot == wanted)
        {
            found = p;
            break;
        }
    }
    LeaveCriticalSection(&m_cs);
    return found;
}

void CPartitionScanControl::ClearLostPartitions()
{
    EnterCriticalSection(&m_cs);
    std::vector<CPartitionInfo*> old;
    old.swap(m_lostPartitions);
    LeaveCriticalSection(&m_cs);
    for (CPartitionInfo* p : old)
    {
        if (p == m_pCurrentPartition)
            m_pCurrentPartition = nullptr;
        delete p;
    }
}

void CPartitionScanControl::AppendLostPartition(CPartitionInfo* partition)
{
    if (!partition)
        return;
    EnterCriticalSection(&m_cs);
    m_lostPartitions.push_back(partition);
    LeaveCriticalSection(&m_cs);
}

std::vector<CPartitionInfo*> CPartitionScanControl::GetLostPartitions()
{
    EnterCriticalSection(&m_cs);
    std::vector<CPartitionInfo*> copy = m_lostPartitions;
    LeaveCriticalSection(&m_cs);
    return copy;
}

void CPartitionScanControl::PostProgress(int done, int total, const wchar_t* text, bool active)
{
    ScanProgressInfo* info = new (std::nothrow) ScanProgressInfo;
    if (!info)
        return;
    info->nDone = done;
    info->nTotal = total;
    info->bActive = active;
    info->SetStatus(text ? text : L"");
    bool posted = false;
    if (m_bReportToMainFrame == 0 && m_search.IsSet())
        posted = m_search.Post(WMU_ScanProgress, (WPARAM)info, 0);
    else if (m_bReportToMainFrame == 1)
        posted = PostFrameMessage(m_pMainFrame, WMU_ScanProgress, (WPARAM)info, 1);
    if (!posted)
        delete info;
}

std::wstring CPartitionScanControl::FormatScanningText(uint64_t count)
{
    return EngineFormatInt(L"ScanningFile", (int)(uint32_t)count);
}

void CPartitionScanControl::PostToSearchWindow(UINT message, WPARAM wParam)
{
    m_search.Post(message, wParam, 0);
}

bool CPartitionScanControl::CurrentBootOffset(uint64_t* offset) const
{
    // A partition counts in the sectors of the disk it was found on.
    return m_pCurrentPartition && PartitionBootOffset(*m_pCurrentPartition, 0, offset);
}
