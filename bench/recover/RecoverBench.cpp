// bench_recover IMAGE OUTDIR [PASSES] [LETTER] [full]
// Scans a volume image (mapped to a drive letter, default B) for deleted
// files once, then runs the recovery worker over every entry PASSES times,
// each into a fresh OUTDIR\passN (the one before is deleted first), and
// prints per pass the bytes written, the seconds and the MB/s. "full" keeps
// each entry's folder path under the pass folder. IMAGE "-" takes the letter
// as mapped already (by the caller, before the process starts), as a user's
// volume is there before the program.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "RecordingFrame.h"
#include "RecordingRecoverDlg.h"
#include "common/DeviceMap.h"
#include "core/Helpers.h"
#include "core/Language.h"

namespace
{
int QuietBox(HWND, const wchar_t* text, const wchar_t*, UINT, int)
{
    fwprintf(stderr, L"box: %ls\n", text ? text : L"");
    return IDYES;
}

void RemoveTree(const std::wstring& dir)
{
    std::wstring from = dir + L'\0';
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    SHFileOperationW(&op);
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
    {
        fprintf(stderr, "usage: bench_recover IMAGE OUTDIR [PASSES] [LETTER] [full]\n");
        return 2;
    }
    const std::wstring out = argv[2];
    const int passes = argc > 3 ? _wtoi(argv[3]) : 3;
    const wchar_t letter = argc > 4 ? argv[4][0] : L'B';
    const int fullPath = argc > 5 && wcscmp(argv[5], L"full") == 0 ? 1 : 0;
    SetMessageDlgProc(QuietBox);
    InitApplicationPaths();
    LoadLanguageStrings();
    devicemap::CScopedDeviceMap map;
    if (wcscmp(argv[1], L"-") != 0 && !map.Volume(letter, argv[1]))
    {
        fprintf(stderr, "cannot map the image\n");
        return 1;
    }
    CRecordingFrame frame;
    frame.SelectVolume(frame.AddMappedVolume(letter));
    ScanKind = SCAN_KIND_DELETED;
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    if (!frame.GetScanDiskDlg()->StartScan(nullptr, true) || !frame.WaitForScan(600000))
    {
        fprintf(stderr, "the scan did not end\n");
        return 1;
    }
    QueryPerformanceCounter(&t1);
    printf("%zu deleted entries, scanned in %.3f s\n", frame.Found().size(),
           double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart));
    for (int p = 0; p < passes; ++p)
    {
        const std::wstring dir = out + L"\\pass" + std::to_wstring(p);
        RemoveTree(out + L"\\pass" + std::to_wstring(p - 1));
        SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
        QueryPerformanceCounter(&t0);
        CRecordingRecoverDlg dlg(&frame, dir, fullPath, false);
        if (!dlg.Start() || !dlg.WaitForEnd(3600000))
        {
            fprintf(stderr, "the recovery did not end\n");
            return 1;
        }
        QueryPerformanceCounter(&t1);
        const double s = double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart);
        unsigned long long bytes = 0;
        for (const RecoverEntryResult& r : dlg.Worker().Results())
            bytes += r.outcome.bytesWritten;
        printf("pass %d: %d recovered, %llu bytes in %.3f s: %.0f MB/s (%zu progress posts)\n", p + 1,
               dlg.FinishedInfo().recovered, bytes, s, s > 0 ? bytes / 1048576.0 / s : 0.0, dlg.PerMille().size());
        fflush(stdout);
    }
    return 0;
}
