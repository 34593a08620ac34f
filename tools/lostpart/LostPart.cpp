// lostpart DISKIMAGE [--disk N] [--quick]
//
// Maps a whole-disk image as "\\.\PhysicalDriveN" (N from --disk, default 7)
// through the Wine device links and runs the real lost-partition search of
// the partition scan control through the recording stand-in of the main
// window (--quick: the quick parse of the table's gaps instead).
//
// Prints one tab-separated row per found partition: the sector where its
// file system starts, its length in sectors, the file system (NTFS, FAT32,
// FAT16, exFAT), its label, the start and hidden sectors of the record, and
// "past-end" when the volume claims more than the disk holds. The last line
// gives the count and the seconds taken.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "RecordingFrame.h"
#include "ToolSupport.h"
#include "common/DeviceMap.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "engine/PartitionStart.h"
#include "storage/VolumeList.h"

namespace
{
const char* FileSystemName(int code)
{
    switch (code)
    {
    case FS_NTFS: return "NTFS";
    case FS_FAT32: return "FAT32";
    case FS_FAT16: return "FAT16";
    case FS_EXFAT: return "exFAT";
    default: return "unknown";
    }
}

void PrintRow(const CPartitionInfo& p)
{
    uint64_t first = 0;
    PartitionBootSector(p, &first);
    char* label = WideToUtf8(p.m_strName.c_str());
    printf("%llu\t%llu\t%s\t%s\t%llu\t%llu%s\n", (unsigned long long)first, (unsigned long long)p.m_SectorCount,
           FileSystemName(p.m_nType), label ? label : "", (unsigned long long)p.m_StartSector,
           (unsigned long long)p.m_HiddenSectors, p.m_bPastDiskEnd ? "\tpast-end" : "");
    delete[] label;
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring image;
    int disk = 7;
    bool quick = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring a = argv[i];
        if (a == L"--disk" && i + 1 < argc)
            disk = _wtoi(argv[++i]);
        else if (a == L"--quick")
            quick = true;
        else
            image = toolsupport::WindowsPath(a);
    }
    if (image.empty() || disk < 0 || disk > 15)
    {
        fwprintf(stderr, L"usage: lostpart DISKIMAGE [--disk N] [--quick]\n");
        return 2;
    }
    _setmode(_fileno(stdout), _O_BINARY);
    toolsupport::PrintBoxes(L"lostpart", IDOK);
    InitApplicationPaths();
    LoadLanguageStrings();

    devicemap::CScopedDeviceMap map;
    if (!map.PhysicalDrive(disk, image))
    {
        fwprintf(stderr, L"lostpart: cannot map %ls to PhysicalDrive%d\n", image.c_str(), disk);
        return 1;
    }
    CRecordingFrame frame;
    CPartitionScanControl* control = frame.GetPartitionScanControl();
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    if (quick)
    {
        if (!frame.SelectDisk(disk))
        {
            fwprintf(stderr, L"lostpart: the disk does not answer\n");
            return 1;
        }
        control->QuickParsePartition(std::vector<CVolumeInfo*>());
    }
    else if (!frame.SearchDisk(disk, 4 * 3600 * 1000))
    {
        fwprintf(stderr, L"lostpart: the search did not run to its end\n");
        return 1;
    }
    QueryPerformanceCounter(&t1);
    const double seconds = double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart);
    const std::vector<CPartitionInfo*> found = control->GetLostPartitions();
    for (const CPartitionInfo* p : found)
        PrintRow(*p);
    printf("%zu partitions in %.3f s\n", found.size(), seconds);
    fflush(stdout);
    return 0;
}
