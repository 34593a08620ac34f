// carve IMAGE OUTDIR
//
// Runs the deep scan over an image file with every plug-in of the "type"
// folder beside this program bound, through the recording stand-in of the
// main window (which needs no window). Each kept hit's byte range is written
// under the hit's name into a folder of OUTDIR that holds a hundred hits
// ("0000001-0000100", ...), and one tab-separated row per hit is printed:
// name, start offset, length, extension. The last line gives the bytes
// scanned and the speed.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <memory>
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

// One copy buffer for every file: fresh memory costs a page fault per page
// on first touch, which a buffer per file would pay again and again.
const DWORD kCopyBuffer = 1 << 20;
// Hits per output folder. Creating a file makes Wine search its folder for
// the name in any case, so a folder of thousands makes copying quadratic.
const size_t kHitsPerFolder = 100;

bool CopyRange(HANDLE source, unsigned __int64 start, unsigned __int64 length, const std::wstring& target,
               char* buffer)
{
    HANDLE out = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)start;
    bool ok = SetFilePointerEx(source, li, nullptr, FILE_BEGIN) != 0;
    while (ok && length > 0)
    {
        DWORD want = (DWORD)(length < kCopyBuffer ? length : kCopyBuffer);
        DWORD got = 0;
        if (!ReadFile(source, buffer, want, &got, nullptr) || got == 0)
        {
            ok = false;
            break;
        }
        DWORD wrote = 0;
        if (!WriteFile(out, buffer, got, &wrote, nullptr) || wrote != got)
            ok = false;
        length -= got;
    }
    CloseHandle(out);
    return ok;
}

// The system's text for an error code, without its line break.
std::wstring ErrorText(DWORD code)
{
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, (LPWSTR)&text, 0, nullptr);
    std::wstring s = n && text ? std::wstring(text, n) : L"error " + std::to_wstring(code);
    if (text)
        LocalFree(text);
    while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r' || s.back() == L' ' || s.back() == L'.'))
        s.pop_back();
    return s;
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

    // An image that cannot be opened, or holds nothing, says so plainly.
    HANDLE probe = CreateFileW(image.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_READONLY, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
    {
        fwprintf(stderr, L"carve: cannot open %ls: %ls\n", image.c_str(), ErrorText(GetLastError()).c_str());
        return 1;
    }
    LARGE_INTEGER size = {};
    BOOL sized = GetFileSizeEx(probe, &size);
    CloseHandle(probe);
    if (sized && size.QuadPart == 0)
    {
        fwprintf(stderr, L"carve: %ls is empty: nothing to scan\n", image.c_str());
        return 1;
    }

    CToolRegistry registry;
    registry.Load();

    CRecordingFrame frame;
    frame.SetRegistry(&registry);
    CScanDiskDlg* dlg = frame.GetScanDiskDlg();
    dlg->SetTargetKind(SCAN_TARGET_IMAGE);
    dlg->SetImagePath(image.c_str());

    CDiskMappingPointer* reader =
        new CDiskMappingPointer(image.c_str(), 0, SCAN_TARGET_IMAGE, CDeepScanEngine::SCAN_WINDOW_BYTES, 512, 0);
    unsigned __int64 total = reader->GetTotalSize();
    if (total == 0 || reader->GetError() != 0)
    {
        fwprintf(stderr, L"carve: cannot read %ls: %ls\n", image.c_str(), ErrorText(reader->GetError()).c_str());
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
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        QueryPerformanceCounter(&t1);
        result = job.result;
        dlg->OnScanThreadExit();
        frame.PumpMessages();
    }
    delete reader;

    CreateDirectoryW(outDir.c_str(), nullptr);
    HANDLE source = CreateFileW(image.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_READONLY, nullptr);
    int failures = 0;
    std::unique_ptr<char[]> buffer(new char[kCopyBuffer]);
    const std::vector<DeepScanHit*>& hits = frame.Hits();
    std::wstring folder;
    for (size_t i = 0; i < hits.size(); ++i)
    {
        const DeepScanHit* hit = hits[i];
        if (i % kHitsPerFolder == 0)
        {
            wchar_t range[32];
            _snwprintf(range, 32, L"%07u-%07u", (unsigned)(i + 1), (unsigned)(i + kHitsPerFolder));
            range[31] = 0;
            folder = outDir + L"\\" + range;
            CreateDirectoryW(folder.c_str(), nullptr);
        }
        std::wstring name;
        for (const char* c = hit->szName; *c && c < hit->szName + sizeof(hit->szName); ++c)
            name += (wchar_t)(unsigned char)*c;
        if (source == INVALID_HANDLE_VALUE ||
            !CopyRange(source, hit->GetStart(), hit->u64Length, folder + L"\\" + name, buffer.get()))
            ++failures;
        printf("%s\t%llu\t%llu\t%s\n", hit->szName, (unsigned long long)hit->GetStart(),
               (unsigned long long)hit->u64Length, hit->szExtension);
    }
    if (source != INVALID_HANDLE_VALUE)
        CloseHandle(source);

    double seconds = (double)(t1.QuadPart - t0.QuadPart) / (double)freq.QuadPart;
    double rate = seconds > 0 ? (double)total / 1e6 / seconds : 0.0;
    printf("scanned %llu bytes in %.3f s\t%.1f MB/s\t%u plug-ins\t%u files\n", (unsigned long long)total, seconds,
           rate, (unsigned)registry.GetModules().size(), (unsigned)hits.size());
    fflush(stdout);
    if (result != 1)
        return 1;
    return failures ? 1 : 0;
}
