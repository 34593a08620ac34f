// bench_saveload VOLUMEIMAGE RESULTFILE [COUNT]
//
// Saves COUNT (default 100,000) found entries as a scan result of the volume
// image (mapped to drive letter X:) through the save worker, loads
// them again through the load worker, and prints the seconds of each and the
// file's size.
#include <windows.h>

#include <cstdio>
#include <string>

#include "RecordingFrame.h"
#include "common/DeviceMap.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "engine/SaveLoadWorkers.h"

namespace
{
int Quiet(HWND, const wchar_t* text, const wchar_t*, UINT, int)
{
    fwprintf(stderr, L"bench_saveload: %ls\n", text ? text : L"");
    return IDOK;
}

double Seconds(const LARGE_INTEGER& a, const LARGE_INTEGER& b)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
    {
        fwprintf(stderr, L"usage: bench_saveload VOLUMEIMAGE RESULTFILE [COUNT]\n");
        return 2;
    }
    const int count = argc > 3 ? _wtoi(argv[3]) : 100000;
    SetMessageDlgProc(Quiet);
    InitApplicationPaths();
    LoadLanguageStrings();
    devicemap::CScopedDeviceMap map;
    if (!map.Volume(L'X', argv[1]))
        return 1;
    CRecordingFrame frame;
    frame.SelectVolume(frame.AddMappedVolume(L'X'));
    for (int i = 0; i < count; ++i)
    {
        wchar_t name[64], folder[64];
        swprintf(name, 64, L"IMG_%06d.JPG", i);
        swprintf(folder, 64, L"X:\\DCIM\\%03dCANON\\", i / 1000);
        CFoundItem* item = new CFoundItem(name, folder, L"2019-07-14  18:22", 1000000 + i * 37, 0);
        item->m_uFirstCluster = 100 + i * 250;
        item->m_bContiguous = i & 1;
        item->SetRecoverability(i % 101);
        frame.AppendLoadedFile(item);
    }
    ScanKind = SCAN_KIND_DELETED;
    LARGE_INTEGER t0, t1, t2;
    QueryPerformanceCounter(&t0);
    CSaveResultWorker saver(&frame, argv[2]);
    const bool saved = RunResultWorker(frame, saver, saver.StartSave(frame.StandInDialog()));
    QueryPerformanceCounter(&t1);
    frame.ClearScanResults();
    CLoadDataWorker loader(&frame, argv[2]);
    const bool loaded = RunResultWorker(frame, loader, loader.StartLoad(frame.StandInDialog()));
    QueryPerformanceCounter(&t2);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(argv[2], GetFileExInfoStandard, &data);
    printf("save %d entries: %.3f s%s; load: %.3f s, %zu entries%s; file %.1f MB (%.0f bytes an entry)\n", count,
           Seconds(t0, t1), saved ? "" : " (FAILED)", Seconds(t1, t2), frame.Found().size(),
           loaded ? "" : " (FAILED)", data.nFileSizeLow / 1048576.0, count ? data.nFileSizeLow / (double)count : 0.0);
    return saved && loaded && frame.Found().size() == (size_t)count ? 0 : 1;
}
