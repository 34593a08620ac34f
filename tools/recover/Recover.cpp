// recover KIND TARGET OUTDIR [--letter X] [--full-path]
//
// Runs the scan of the scan tool (KIND deleted, formatted, recycle or deep)
// over the volume image TARGET, mapped to a drive letter (X, default X)
// through the Wine drive links, checks every entry it found, and runs the
// real recovery worker into OUTDIR through the recording stand-ins of the
// main window and the recovery dialog. --full-path keeps each entry's folder
// path (a deep scan: sorts the files into folders by type).
//
// Prints one tab-separated row per entry: output path, bytes written,
// result. The last line gives the counts, the seconds the recovery took and
// the megabytes written per second. What the scan could not read goes to
// standard error; a scan that did not finish ends with code 4, a volume
// whose file system cannot be read with code 3.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwctype>
#include <string>

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
    fwprintf(stderr, L"usage: recover deleted|formatted|recycle|deep TARGET OUTDIR [--letter X] [--full-path]\n");
    return 2;
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4)
        return Usage();
    _setmode(_fileno(stdout), _O_BINARY);
    const std::wstring kind = argv[1];
    const std::wstring target = WindowsPath(argv[2]);
    std::wstring outDir = WindowsPath(argv[3]);
    wchar_t letter = L'X';
    int fullPath = 0;
    for (int i = 4; i < argc; ++i)
    {
        const std::wstring a = argv[i];
        if (a == L"--letter" && i + 1 < argc)
            letter = (wchar_t)towupper(argv[++i][0]);
        else if (a == L"--full-path")
            fullPath = 1;
        else
            return Usage();
    }
    const int scanKind = toolsupport::ScanKindOfName(kind);
    if (scanKind < 0 || scanKind == SCAN_KIND_LOST_PARTITION)
        return Usage();
    if (letter < L'C' || letter > L'Z')
        return Usage();
    toolsupport::PrintBoxes(L"recover", IDYES);
    InitApplicationPaths();
    LoadLanguageStrings();

    devicemap::CScopedDeviceMap map;
    CRecordingFrame frame;
    toolsupport::CToolRegistry registry(L"recover");
    if (!map.Volume(letter, target))
    {
        fwprintf(stderr, L"recover: cannot map %ls to %lc:\n", target.c_str(), letter);
        return 1;
    }
    frame.SelectVolume(frame.AddMappedVolume(letter));
    if (scanKind == SCAN_KIND_DEEP)
    {
        registry.Load();
        frame.SetRegistry(&registry);
        frame.SetSelectedFormats(registry.GetFormatNames());
    }
    ScanKind = scanKind;
    CScanDiskDlg* dlg = frame.GetScanDiskDlg();
    const bool started = scanKind == SCAN_KIND_RECYCLE ? dlg->StartRecycleScan() : dlg->StartScan(nullptr, true);
    if (!started || !frame.WaitForScan(4 * 3600 * 1000))
    {
        fwprintf(stderr, L"recover: the scan did not run to its end\n");
        return 1;
    }
    // What the scan could not read, as the scan tool says it; a volume
    // whose file system could not be read is said so instead of recovering
    // nothing without a word.
    const CReadTrouble& trouble = dlg->ReadTrouble();
    if (trouble.Any())
        fprintf(stderr, "recover: %s\n", trouble.DescribePlain().c_str());
    if ((scanKind == SCAN_KIND_DELETED || scanKind == SCAN_KIND_FORMATTED) && dlg->IsVolumeUnreadable())
    {
        fprintf(stderr, "recover: volume cannot be read: its boot sector is unreadable or damaged; only a deep "
                        "scan can find its files\n");
        return 3;
    }
    // A scan that did not finish ends with code 4: its entries are all it
    // could read.
    const int rc = toolsupport::RecoverAndPrint(&frame, outDir, fullPath, L"recover");
    return rc ? rc : (trouble.Unfinished() ? 4 : 0);
}
