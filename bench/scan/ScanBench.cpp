// bench_scan KIND IMAGE [PASSES] [LETTER]
// Runs the scan controller's deleted-file (KIND deleted) or formatted-volume
// (KIND formatted) scan over a volume image mapped to a drive letter (default
// B), through the recording stand-in of the main window, and prints the
// entries found, the seconds and the entries per second of each pass, and
// how many progress reports reached the window.
#include <windows.h>

#include <cstdio>
#include <string>

#include "RecordingFrame.h"
#include "common/DeviceMap.h"
#include "core/Helpers.h"
#include "core/Language.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
    {
        fprintf(stderr, "usage: bench_scan deleted|formatted IMAGE [PASSES] [LETTER]\n");
        return 2;
    }
    const std::wstring kind = argv[1];
    const int passes = argc > 3 ? _wtoi(argv[3]) : 3;
    const wchar_t letter = argc > 4 ? argv[4][0] : L'B';
    InitApplicationPaths();
    LoadLanguageStrings();
    devicemap::CScopedDeviceMap map;
    if (!map.Volume(letter, argv[2]))
    {
        fprintf(stderr, "cannot map the image\n");
        return 1;
    }
    ScanKind = kind == L"formatted" ? SCAN_KIND_FORMATTED : SCAN_KIND_DELETED;
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    for (int p = 0; p < passes; ++p)
    {
        CRecordingFrame frame;
        frame.SelectVolume(frame.AddMappedVolume(letter));
        LARGE_INTEGER t0, t1;
        QueryPerformanceCounter(&t0);
        if (!frame.GetScanDiskDlg()->StartScan(nullptr, true) || !frame.WaitForScan(3600 * 1000))
        {
            fprintf(stderr, "the scan did not run\n");
            return 1;
        }
        QueryPerformanceCounter(&t1);
        const double s = double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart);
        const size_t n = frame.Found().size();
        printf("pass %d: %zu entries in %.3f s: %.0f entries/s (%zu progress reports)\n", p + 1, n, s,
               s > 0 ? n / s : 0.0, frame.ProgressReports().size());
    }
    return 0;
}
