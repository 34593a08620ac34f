// scan KIND TARGET... [--letter X] [--folder PATH] [--pathfile TEXT]
//
// Runs a scan of the real scan controller through the recording stand-in of
// the main window. KIND is deleted, formatted, recycle or deep; each TARGET is
// a volume image, mapped to a drive letter (from X, default S) through the
// Wine drive links, so the walkers open "\\.\X:" as they do on Windows. The
// recycle-bin scan walks every target; the others the first.
//
// Prints one tab-separated row per found entry: path, size, deleted flag,
// first cluster (FAT, exFAT) or MFT record number (NTFS), recoverability
// percent, contiguous flag. A deep scan prints its carved files: name,
// length, 1, start offset, -1, 1. The last line gives the count, the seconds
// taken and the entries per second.
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

namespace
{
using toolsupport::PrintUtf8;
using toolsupport::WindowsPath;

int Usage()
{
    fwprintf(stderr, L"usage: scan deleted|formatted|recycle|deep TARGET... [--letter X] [--folder PATH] "
                     L"[--pathfile TEXT]\n");
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
    std::wstring folder;
    for (int i = 2; i < argc; ++i)
    {
        const std::wstring a = argv[i];
        if (a == L"--letter" && i + 1 < argc)
            letter = (wchar_t)towupper(argv[++i][0]);
        else if (a == L"--folder" && i + 1 < argc)
            folder = argv[++i];
        else if (a == L"--pathfile" && i + 1 < argc)
            g_strPathFilter = argv[++i];
        else
            targets.push_back(WindowsPath(a));
    }
    int scanKind;
    if (kind == L"deleted")
        scanKind = SCAN_KIND_DELETED;
    else if (kind == L"formatted")
        scanKind = SCAN_KIND_FORMATTED;
    else if (kind == L"recycle")
        scanKind = SCAN_KIND_RECYCLE;
    else if (kind == L"deep")
        scanKind = SCAN_KIND_DEEP;
    else
        return Usage();
    if (targets.empty() || letter < L'C' || letter > L'Z' || letter + targets.size() - 1 > L'Z')
        return Usage();
    toolsupport::PrintBoxes(L"scan", IDOK);
    InitApplicationPaths();
    LoadLanguageStrings();

    devicemap::CScopedDeviceMap map;
    CRecordingFrame frame;
    toolsupport::CToolRegistry registry(L"scan");
    for (size_t i = 0; i < targets.size(); ++i)
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

    CScanDiskDlg* dlg = frame.GetScanDiskDlg();
    ScanKind = scanKind;
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    const bool started = scanKind == SCAN_KIND_RECYCLE ? dlg->StartRecycleScan()
                                                       : dlg->StartScan(folder.empty() ? nullptr : folder.c_str(), true);
    if (!started || !frame.WaitForScan(4 * 3600 * 1000))
    {
        fwprintf(stderr, L"scan: the scan did not run to its end\n");
        return 1;
    }
    QueryPerformanceCounter(&t1);
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
    fflush(stdout);
    return 0;
}
