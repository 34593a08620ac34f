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

// Strides and first places in bytes: cylinders of 63-sector tracks (on
// disks of 512-byte sectors only), 1 MiB, 128 KiB.
struct SearchPass
{
    uint64_t stride;
    uint64_t first;
};
const SearchPass kPasses[] = {{16065 * 512, 63 * 512}, {1024 * 1024, 1024 * 1024}, {128 * 1024, 128 * 1024}};
// Progress at most about twice a second.
const ULONGLONG kSearchProgressMs = 501;

}  // namespace

CPartitionInfo* CPartitionScanControl::MakeFoundRecord(uint64_t sector, const BYTE* boot)
{
    const int code = DetectFileSystem(boot);
    if (code != FS_NTFS && code != FS_FAT32 && code != FS_FAT16 && code != FS_EXFAT)
        return nullptr;
    // The boot sector counts its volume's start from hidden sectors before
    // it (in its own sectors); a field larger than the place itself (a
    // volume moved towards the disk's start) means the volume starts right
    // here.
    const uint64_t field = code == FS_EXFAT ? Le64(boot + 64) : Le32(boot + 28);
    const uint32_t own = BootSectorBytesPerSector(boot);
    uint64_t hidden = 0, bootByte = 0;
    if (own && !__builtin_mul_overflow(sector, (uint64_t)m_uSectorSize, &bootByte) && field <= bootByte / own &&
        (field * own) % m_uSectorSize == 0)
        hidden = field * own / m_uSectorSize;
    if (hidden > sector)
        hidden = 0;
    CPartitionInfo* p = NewVolumeRecord(sector, boot, code, hidden);
    if (p && p->m_SectorCount == 0)
    {
        delete p;
        return nullptr;
    }
    if (p && p->m_nType == FS_FAT32)
        DebugPrint(L"ScanLostPartitionFAT32 %I64d, %I64d.\n", p->m_StartSector, p->m_SectorCount);
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

            const uint64_t limit = DiskSectors();
            const int passes = m_pCurrentDisk->m_fSizeGB <= 16.0f ? 3 : 2;
            bool abort = false;
            for (int pass = 0; pass < passes && !abort && !IsStopRequested(); ++pass)
            {
                // In the disk's own sectors; a pass whose places are no whole
                // sectors of this disk is none of its alignments.
                if (kPasses[pass].stride % m_uSectorSize || kPasses[pass].first % m_uSectorSize)
                    continue;
                const uint64_t stride = kPasses[pass].stride / m_uSectorSize;
                const uint64_t total = limit / stride;
                uint64_t count = 0;
                for (uint64_t candidate = kPasses[pass].first / m_uSectorSize; !IsStopRequested() && candidate < limit;)
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
