// carve IMAGE OUTDIR
//
// Runs the deep scan over an image file with every plug-in of the "type"
// folder beside this program bound, through the recording stand-in of the
// main window. Each kept hit's byte range is written to OUTDIR under the hit's
// name, and one tab-separated row per hit is printed: name, start offset,
// length, extension. The last line gives the bytes scanned and the speed.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "RecordingFrame.h"
#include "storage/DiskMappingPointer.h"

namespace
{
class CToolRegistry : public CFormatPluginRegistry
{
protected:
    void ShowLoadError() override { fwprintf(stderr, L"carve: no file-type plug-ins could be loaded\n"); }
};

struct ScanJob
{
    CDeepScanEngine* engine;
    int result;
};

DWORD WINAPI ScanThread(LPVOID param)
{
    ScanJob* job = (ScanJob*)param;
    job->result = job->engine->Run();
    return 0;
}

bool CopyRange(HANDLE source, unsigned __int64 start, unsigned __int64 length, const std::wstring& target)
{
    HANDLE out = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)start;
    bool ok = SetFilePointerEx(source, li, nullptr, FILE_BEGIN) != 0;
    std::vector<char> buffer(1 << 20);
    while (ok && length > 0)
    {
        DWORD want = (DWORD)(length < buffer.size() ? length : buffer.size());
        DWORD got = 0;
        if (!ReadFile(source, buffer.data(), want, &got, nullptr) || got == 0)
        {
            ok = false;
            break;
        }
        DWORD wrote = 0;
        if (!WriteFile(out, buffer.data(), got, &wrote, nullptr) || wrote != got)
            ok = false;
        length -= got;
    }
    CloseHandle(out);
    return ok;
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
    {
        fwprintf(stderr, L"usage: carve IMAGE OUTDIR\n");
        return 2;
    }
    // Rows are tab-separated text for scripts: no CR added to line ends.
    _setmode(_fileno(stdout), _O_BINARY);
    const std::wstring image = argv[1];
    const std::wstring outDir = argv[2];
    CreateDirectoryW(outDir.c_str(), nullptr);

    CToolRegistry registry;
    registry.Load();

    CRecordingFrame frame;
    frame.SetRegistry(&registry);
    CScanDiskDlg* dlg = frame.GetScanDiskDlg();
    dlg->SetTargetKind(SCAN_TARGET_IMAGE);
    dlg->SetImagePath(image.c_str());

    CDiskMappingPointer* reader = new CDiskMappingPointer(image.c_str(), 0, SCAN_TARGET_IMAGE, 0, 512, 0);
    unsigned __int64 total = reader->GetTotalSize();
    if (total == 0)
    {
        fwprintf(stderr, L"carve: cannot read %ls (error %lu)\n", image.c_str(), reader->GetError());
        delete reader;
        return 1;
    }

    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    int result = 0;
    {
        CDeepScanEngine engine(&frame);
        engine.BindPlugins(registry.GetFormatNames());
        engine.SetBlockStep(512);
        engine.SetReader(reader);
        dlg->BeginScanState();
        QueryPerformanceCounter(&t0);
        ScanJob job = {&engine, 0};
        HANDLE thread = CreateThread(nullptr, 0, ScanThread, &job, 0, nullptr);
        if (!thread)
        {
            job.result = engine.Run();
        }
        else
        {
            // The scan posts its progress here: keep the queue drained.
            for (;;)
            {
                DWORD wait = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT);
                frame.PumpMessages();
                if (wait == WAIT_OBJECT_0)
                    break;
            }
            CloseHandle(thread);
        }
        QueryPerformanceCounter(&t1);
        result = job.result;
        dlg->OnScanThreadExit();
        frame.PumpMessages();
    }
    delete reader;

    HANDLE source = CreateFileW(image.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_READONLY, nullptr);
    int failures = 0;
    for (const DeepScanHit* hit : frame.Hits())
    {
        std::wstring name;
        for (const char* c = hit->szName; *c && c < hit->szName + sizeof(hit->szName); ++c)
            name += (wchar_t)(unsigned char)*c;
        if (source == INVALID_HANDLE_VALUE || !CopyRange(source, hit->GetStart(), hit->u64Length, outDir + L"\\" + name))
            ++failures;
        printf("%s\t%llu\t%llu\t%s\n", hit->szName, (unsigned long long)hit->GetStart(),
               (unsigned long long)hit->u64Length, hit->szExtension);
    }
    if (source != INVALID_HANDLE_VALUE)
        CloseHandle(source);

    double seconds = (double)(t1.QuadPart - t0.QuadPart) / (double)freq.QuadPart;
    double rate = seconds > 0 ? (double)total / 1e6 / seconds : 0.0;
    printf("scanned %llu bytes in %.3f s\t%.1f MB/s\t%u plug-ins\t%u files\n", (unsigned long long)total, seconds,
           rate, (unsigned)registry.GetModules().size(), (unsigned)frame.Hits().size());
    fflush(stdout);
    if (result != 1)
        return 1;
    return failures ? 1 : 0;
}
