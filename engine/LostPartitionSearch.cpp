// The lost-partition search: the whole disk read at a few fixed strides for
// boot sectors of NTFS, FAT32, FAT16 and exFAT volumes that no table entry
// or mounted volume accounts for.
#include <windows.h>

#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "core/Language.h"
#include "core/Log.h"
#include "engine/EngineText.h"
#include "engine/MainFrameServices.h"
#include "engine/PartitionScanControl.h"
#include "storage/DeviceIo.h"
#include "storage/VolumeList.h"

namespace
{
const char kErrWhenReadSectorKey[] = "RXJyV2hlblJlYWRTZWN0b3I=";  // "ErrWhenReadSector"

struct SearchPass
{
    uint64_t stride;
    uint64_t first;
};
const SearchPass kPasses[] = {{16065, 63}, {2048, 2048}, {256, 256}};
// Progress at most about twice a second.
const ULONGLONG kSearchProgressMs = 501;

}  // namespace

CPartitionInfo* CPartitionScanControl::MakeFoundRecord(uint64_t sector, const BYTE* boot)
{
    const int code = DetectFileSystem(boot);
    if (code != FS_NTFS && code != FS_FAT32 && code != FS_FAT16 && code != FS_EXFAT)
        return nullptr;
    CPartitionInfo* p = new (std::nothrow) CPartitionInfo;
    if (!p)
        return nullptr;
    // The boot sector counts its volume's start from hidden sectors before
    // it; a field larger than the sector itself (a volume moved towards the
    // disk's start) means the volume starts right here.
    uint64_t hidden = code == FS_EXFAT ? Le64(boot + 64) : Le32(boot + 28);
    if (hidden > sector)
        hidden = 0;
    p->m_nDiskNumber = m_nDiskNumber;
    p->m_nType = code;
    p->m_StartSector = sector - hidden;
    p->m_HiddenSectors = hidden;
    p->m_nScheme = 0;
    p->m_bActive = FALSE;
    p->m_uSectorSize = m_uSectorSize;
    switch (code)
    {
    case FS_NTFS:
    {
        const uint64_t total = Le64(boot + 40);
        p->m_SectorCount = total == ~0ull ? total : total + 1;
        p->m_strName = ReadNtfsVolumeLabel(sector, boot);
        break;
    }
    case FS_FAT32:
        p->m_SectorCount = Le32(boot + 32);
        p->m_strName = FatVolumeLabel(boot + 71);
        DebugPrint(L"ScanLostPartitionFAT32 %I64d, %I64d.\n", p->m_StartSector, p->m_SectorCount);
        break;
    case FS_FAT16:
        p->m_SectorCount = Le32(boot + 32) ? Le32(boot + 32) : Le16(boot + 19);
        p->m_strName = FatVolumeLabel(boot + 43);
        break;
    default:  // exFAT: no label in the boot sector
        p->m_SectorCount = Le64(boot + 72);
        break;
    }
    if (p->m_SectorCount == 0)
    {
        delete p;
        return nullptr;
    }
    p->m_bPastDiskEnd = IsPastDiskEnd(sector, p->m_SectorCount);
    return p;
}

void CPartitionScanControl::SearchLostPartitions()
{
    const DialogTarget search = m_search;
    const HWND searchWindow = search.window;
    if (m_pCurrentDisk && m_nDiskNumber >= 0 && m_pMainFrame)
    {
        // One handle for the whole search.
        m_hSearchDisk = OpenRawReadOnly(PhysicalDrivePath(m_nDiskNumber).c_str(), FILE_ATTRIBUTE_READONLY);
        if (m_hSearchDisk == INVALID_HANDLE_VALUE)
        {
            if (GetLastError() == ERROR_SHARING_VIOLATION)
                ErrorBoxByBase64Key(kErrWhenReadSectorKey, searchWindow);
        }
        else
        {
            std::vector<CVolumeInfo*> volumes;
            if (CVolumeList* list = m_pMainFrame->GetVolumeList())
                list->CollectVolumesOnDisk((DWORD)m_nDiskNumber, volumes);
            std::vector<DiskExtent> extents;
            CollectOccupiedExtents(volumes, extents, nullptr, true);
            std::unordered_set<uint64_t> occupied;
            for (const DiskExtent& e : extents)
                occupied.insert(e.start);
            std::unordered_set<uint64_t> found;

            const uint64_t limit = m_pCurrentDisk->m_SectorCount;
            const int passes = m_pCurrentDisk->m_fSizeGB <= 16.0f ? 3 : 2;
            bool abort = false;
            for (int pass = 0; pass < passes && !abort && !IsStopRequested(); ++pass)
            {
                const uint64_t stride = kPasses[pass].stride;
                const uint64_t total = limit / stride;
                uint64_t count = 0;
                for (uint64_t candidate = kPasses[pass].first; !IsStopRequested() && candidate < limit;)
                {
                    BYTE* sector = ReadDiskSectors(candidate, 1);
                    if (!sector && GetLastError() == ERROR_SHARING_VIOLATION)
                    {
                        ErrorBoxByBase64Key(kErrWhenReadSectorKey, searchWindow);
                        abort = true;
                        break;
                    }
                    if (sector && sector[510] == 0x55 && sector[511] == 0xAA && !found.count(candidate) &&
                        !occupied.count(candidate))
                    {
                        CPartitionInfo* record = MakeFoundRecord(candidate, sector);
                        if (record)
                        {
                            // The same volume found before (by the quick parse, or
                            // through another pass) keeps its record.
                            CPartitionInfo* existing = FindPartitionByBootSector(candidate);
                            if (existing)
                            {
                                delete record;
                                record = existing;
                            }
                            else
                            {
                                AppendLostPartition(record);
                                m_pMainFrame->AddLostPartitionItem(record);
                            }
                            // A later pass that meets this sector again passes it over.
                            found.insert(candidate);
                            if (m_bReportToMainFrame == 0)
                                PostToSearchWindow(WMU_LostPartitionFound, (WPARAM)record);
                        }
                    }
                    delete[] sector;
                    ++count;
                    if (limit - candidate <= stride)
                        break;
                    candidate += stride;
                    const ULONGLONG now = GetTickCount64();
                    if (now - m_u64LastProgressTick >= kSearchProgressMs)
                    {
                        m_u64LastProgressTick = now;
                        const double percent = limit ? (double)candidate * 100.0 / (double)limit : 0.0;
                        const std::wstring text = EngineFormatSearchTitle(pass + 1, percent, passes);
                        PostProgress((int)(count > 0x7FFFFFFF ? 0x7FFFFFFF : count),
                                     (int)(total > 0x7FFFFFFF ? 0x7FFFFFFF : total), text.c_str(), true);
                    }
                }
            }
            CloseHandle(m_hSearchDisk);
            m_hSearchDisk = INVALID_HANDLE_VALUE;
        }
    }
    PostProgress(0, 0, nullptr, false);
    const bool toDialog = m_bReportToMainFrame == 0 && search.IsSet();
    m_bStop = true;
    m_bReportToMainFrame = 1;
    if (toDialog)
        search.Post(WMU_PartitionSearchDone, 0, 0);
}
