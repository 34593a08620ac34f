// scan KIND TARGET... [--letter X] [--folder PATH] [--pathfile TEXT]
//      [--disk N] [--start SECTOR] [--save FILE | --load FILE]
//      [--recover OUTDIR]
//
// Runs a scan of the real scan controller through the recording stand-in of
// the main window. KIND is deleted, formatted, recycle or deep; each TARGET is
// a volume image, mapped to a drive letter (from X, default S) through the
// Wine drive links, so the walkers open "\\.\X:" as they do on Windows. The
// recycle-bin scan walks every target; the others the first.
//
// KIND lost takes a whole-disk image, maps it as "\\.\PhysicalDriveN" (N
// from --disk, default 8), runs the lost-partition search and scans the found
// partition whose file system starts at SECTOR (default: the first found).
//
// --save FILE writes the result through the save worker after the scan;
// --load FILE loads a saved result through the load worker instead of
// scanning (the targets are mapped the same way) and prints its entries.
//
// --recover OUTDIR then runs the real recovery worker over every entry into
// OUTDIR, keeping folder paths, and prints its rows after the entries (as
// the recover tool does: output path, bytes written, result).
//
// Prints one tab-separated row per found entry: path, size, deleted flag,
// first cluster (FAT, exFAT) or MFT record number (NTFS), recoverability
// percent, contiguous flag. A deep scan prints its carved files: name,
// length, 1, start offset, -1, 1. The last line gives the count, the seconds
// taken and the entries per second. A deleted-file or formatted scan of a
// volume whose file system cannot be read (boot sector unreadable or
// damaged) says so on a last line and ends with code 3.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "RecordingFrame.h"
#include "ToolSupport.h"
#include "common/DeviceMap.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "engine/PartitionStart.h"
#include "engine/SaveLoadWorkers.h"

namespace
{
using toolsupport::PrintUtf8;
using toolsupport::WindowsPath;

int Usage()
{
    fwprintf(stderr, L"usage: scan deleted|formatted|recycle|deep|lost TARGET... [--letter X] [--folder PATH] "
                     L"[--pathfile TEXT] [--disk N] [--start SECTOR] [--save FILE | --load FILE] "
                     L"[--recover OUTDIR]\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return Usage();
    _setmode(_fileno(stdout), _O_BINARY);
    const std::wstring kind = argv[1];
    std::vector<std::wstring> targets;
    wchar_t letter = L'S';
    std::wstring folder, saveFile, loadFile, recoverDir;
    int disk = 8;
    long long startSector = -1;
    for (int i = 2; i < argc; ++i)
    {
        const std::wstring a = argv[i];
        if (a == L"--disk" && i + 1 < argc)
            disk = _wtoi(argv[++i]);
        else if (a == L"--start" && i + 1 < argc)
            startSector = _wtoi64(argv[++i]);
        else if (a == L"--save" && i + 1 < argc)
            saveFile = WindowsPath(argv[++i]);
        else if (a == L"--load" && i + 1 < argc)
            loadFile = WindowsPath(argv[++i]);
        else if (a == L"--recover" && i + 1 < argc)
            recoverDir = WindowsPath(argv[++i]);
        else if (a == L"--letter" && i + 1 < argc)
            letter = (wchar_t)towupper(argv[++i][0]);
        else if (a == L"--folder" && i + 1 < argc)
            folder = argv[++i];
        else if (a == L"--pathfile" && i + 1 < argc)
            g_strPathFilter = argv[++i];
        else
            targets.push_back(WindowsPath(a));
    }
    int scanKind = toolsupport::ScanKindOfName(kind);
    if (scanKind < 0)
        return Usage();
    if (targets.empty() || letter < L'C' || letter > L'Z' || letter + targets.size() - 1 > L'Z' || disk < 0 ||
        disk > 15 || (!saveFile.empty() && !loadFile.empty()))
        return Usage();
    toolsupport::PrintBoxes(L"scan", IDOK);
    InitApplicationPaths();
    LoadLanguageStrings();

    devicemap::CScopedDeviceMap map;
    CRecordingFrame frame;
    toolsupport::CToolRegistry registry(L"scan");
    for (size_t i = 0; i < targets.size() && scanKind != SCAN_KIND_LOST_PARTITION; ++i)
    {
        const wchar_t l = (wchar_t)(letter + i);
        if (!map.Volume(l, targets[i]))
        {
            fwprintf(stderr, L"scan: cannot map %ls to %lc:\n", targets[i].c_str(), l);
            return 1;
        }
        CVolumeInfo* volume = frame.AddMappedVolume(l);
        if (i == 0)
            frame.SelectVolume(volume);
    }
    if (scanKind == SCAN_KIND_DEEP)
    {
        registry.Load();
        frame.SetRegistry(&registry);
        frame.SetSelectedFormats(registry.GetFormatNames());
    }
    if (!folder.empty() && folder[0] == L'\\')
        folder = std::wstring(1, letter) + L":" + folder;

    if (scanKind == SCAN_KIND_LOST_PARTITION && !map.PhysicalDrive(disk, targets[0]))
    {
        fwprintf(stderr, L"scan: cannot map %ls to PhysicalDrive%d\n", targets[0].c_str(), disk);
        return 1;
    }

    CScanDiskDlg* dlg = frame.GetScanDiskDlg();
    CPartitionScanControl* control = frame.GetPartitionScanControl();
    ScanKind = scanKind;
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    if (!loadFile.empty())
    {
        // The disk a lost-partition result names is known to the frame.
        if (scanKind == SCAN_KIND_LOST_PARTITION && !frame.SelectDisk(disk))
        {
            fwprintf(stderr, L"scan: the disk does not answer\n");
            return 1;
        }
        CLoadDataWorker loader(&frame, loadFile.c_str());
        if (!RunResultWorker(frame, loader, loader.StartLoad(frame.StandInDialog())))
        {
            fwprintf(stderr, L"scan: the result could not be loaded\n");
            return 1;
        }
        scanKind = ScanKind;
    }
    else if (scanKind == SCAN_KIND_LOST_PARTITION)
    {
        if (!frame.SearchDisk(disk, 4 * 3600 * 1000))
        {
            fwprintf(stderr, L"scan: the lost-partition search did not run to its end\n");
            return 1;
        }
        CPartitionInfo* chosen = nullptr;
        for (CPartitionInfo* p : control->GetLostPartitions())
        {
            uint64_t first = 0;
            if (!chosen && PartitionBootSector(*p, &first) && (startSector < 0 || first == (uint64_t)startSector))
                chosen = p;
        }
        if (!chosen)
        {
            fwprintf(stderr, L"scan: no found partition starts there\n");
            return 1;
        }
        if (!control->StartPartitionScan(chosen) || !frame.WaitForPartitionWork(4 * 3600 * 1000))
        {
            fwprintf(stderr, L"scan: the scan did not run to its end\n");
            return 1;
        }
    }
    else
    {
        const bool started = scanKind == SCAN_KIND_RECYCLE
                                 ? dlg->StartRecycleScan()
                                 : dlg->StartScan(folder.empty() ? nullptr : folder.c_str(), true);
        if (!started || !frame.WaitForScan(4 * 3600 * 1000))
        {
            fwprintf(stderr, L"scan: the scan did not run to its end\n");
            return 1;
        }
    }
    QueryPerformanceCounter(&t1);
    if (!saveFile.empty())
    {
        CSaveResultWorker saver(&frame, saveFile.c_str());
        if (!RunResultWorker(frame, saver, saver.StartSave(frame.StandInDialog())))
        {
            fwprintf(stderr, L"scan: the result could not be saved\n");
            return 1;
        }
    }
    const double seconds = double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart);

    size_t count = 0;
    if (scanKind == SCAN_KIND_DEEP)
    {
        for (const DeepScanHit* hit : frame.Hits())
        {
            printf("%s\t%llu\t1\t%llu\t-1\t1\n", hit->szName, (unsigned long long)hit->u64Length,
                   (unsigned long long)hit->GetStart());
            ++count;
        }
    }
    else
    {
        for (const CFoundItem* item : frame.Found())
        {
            PrintUtf8(item->GetCurrentPath() + item->m_strName);
            const unsigned long long ref = item->m_u64FileRef ? item->m_u64FileRef : item->m_uFirstCluster;
            printf("\t%llu\t%d\t%llu\t%d\t%u\n", (unsigned long long)item->m_u64Size, item->m_bDeleted ? 1 : 0, ref,
                   item->m_nPercent, (unsigned)item->m_bContiguous);
            ++count;
        }
    }
    printf("%zu entries in %.3f s: %.0f entries/s\n", count, seconds, seconds > 0 ? count / seconds : 0.0);
    // What the scan could not read: one line on standard error; a scan that
    // did not finish ends with code 4 (its rows are all it could read).
    const CReadTrouble& trouble = scanKind == SCAN_KIND_LOST_PARTITION ? control->ReadTrouble() : dlg->ReadTrouble();
    if (loadFile.empty() && trouble.Any())
        fprintf(stderr, "scan: %s\n", trouble.DescribePlain().c_str());
    if (loadFile.empty() && (scanKind == SCAN_KIND_DELETED || scanKind == SCAN_KIND_FORMATTED) &&
        dlg->IsVolumeUnreadable())
    {
        // Nothing was scanned: the window's question is printed, and the
        // run ends with its own code.
        printf("volume cannot be read: its boot sector is unreadable or damaged; only a deep scan "
               "(scan deep) can find its files\n");
        fflush(stdout);
        MessageBoxByKey(L"VolumeUnreadable", nullptr, MB_ICONQUESTION | MB_YESNO, 0);
        return 3;
    }
    fflush(stdout);
    if (!recoverDir.empty())
    {
        const int rc = toolsupport::RecoverAndPrint(&frame, recoverDir, 1, L"scan");
        return rc ? rc : (loadFile.empty() && trouble.Unfinished() ? 4 : 0);
    }
    return loadFile.empty() && trouble.Unfinished() ? 4 : 0;
}
