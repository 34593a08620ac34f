// carve IMAGE OUTDIR
//
// Runs the deep scan over an image file with every plug-in of the "type"
// folder beside this program bound, through the recording stand-in of the
// main window (which needs no window). Each kept hit's byte range is written
// to OUTDIR under the hit's name while the scan goes on, and one tab-separated
// row per hit is printed: name, start offset, length, extension. The last line
// gives the bytes scanned, the speed, and the bytes the plug-ins read.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "ReadFileCount.h"
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

// Copies the hits the frame keeps to OUTDIR on a thread of its own, in the
// order they are kept, while the scan goes on: creating files is a round
// trip to the system (under Wine to its server) that the scan need not wait
// for.
class CCopier
{
public:
    CCopier(const std::wstring& image, const std::wstring& outDir)
        : m_outDir(outDir), m_buffer(new char[kCopyBuffer]), m_done(false), m_failures(0)
    {
        InitializeSRWLock(&m_lock);
        InitializeConditionVariable(&m_ready);
        m_source = CreateFileW(image.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_READONLY, nullptr);
        m_thread = CreateThread(nullptr, 0, Proc, this, 0, nullptr);
    }
    ~CCopier()
    {
        Finish();
        if (m_source != INVALID_HANDLE_VALUE)
            CloseHandle(m_source);
    }
    // On the scanning thread: the hit stays the frame's until the end.
    void Add(const DeepScanHit* hit)
    {
        AcquireSRWLockExclusive(&m_lock);
        m_queue.push_back(hit);
        ReleaseSRWLockExclusive(&m_lock);
        WakeConditionVariable(&m_ready);
    }
    // Copies what is left and returns the number of files that failed.
    int Finish()
    {
        AcquireSRWLockExclusive(&m_lock);
        m_done = true;
        ReleaseSRWLockExclusive(&m_lock);
        WakeConditionVariable(&m_ready);
        if (m_thread)
        {
            WaitForSingleObject(m_thread, INFINITE);
            CloseHandle(m_thread);
            m_thread = nullptr;
        }
        Drain(false);  // without a thread, everything is copied here
        return m_failures;
    }

private:
    static DWORD WINAPI Proc(LPVOID param)
    {
        ((CCopier*)param)->Drain(true);
        return 0;
    }
    // Copies queued hits; waiting for more until the scan is done when wait is set.
    void Drain(bool wait)
    {
        for (;;)
        {
            AcquireSRWLockExclusive(&m_lock);
            while (wait && m_queue.empty() && !m_done)
                SleepConditionVariableSRW(&m_ready, &m_lock, INFINITE, 0);
            if (m_queue.empty())
            {
                ReleaseSRWLockExclusive(&m_lock);
                return;
            }
            const DeepScanHit* hit = m_queue.front();
            m_queue.pop_front();
            ReleaseSRWLockExclusive(&m_lock);
            std::wstring name;
            for (const char* c = hit->szName; *c && c < hit->szName + sizeof(hit->szName); ++c)
                name += (wchar_t)(unsigned char)*c;
            if (m_source == INVALID_HANDLE_VALUE ||
                !CopyRange(m_source, hit->GetStart(), hit->u64Length, m_outDir + L"\\" + name, m_buffer.get()))
                ++m_failures;
        }
    }

    std::wstring m_outDir;
    std::unique_ptr<char[]> m_buffer;
    HANDLE m_source;
    HANDLE m_thread;
    SRWLOCK m_lock;
    CONDITION_VARIABLE m_ready;
    std::deque<const DeepScanHit*> m_queue;  // guarded by m_lock
    bool m_done;                             // guarded by m_lock
    int m_failures;
};

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
    // What the plug-ins read of the image, beside what the scan itself reads.
    for (HMODULE module : registry.GetModules())
        readcount::Hook(module);

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

    CreateDirectoryW(outDir.c_str(), nullptr);
    CCopier copier(image, outDir);
    frame.onKept = [&copier](const DeepScanHit& hit) { copier.Add(&hit); };

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

    const int failures = copier.Finish();
    const std::vector<DeepScanHit*>& hits = frame.Hits();
    for (const DeepScanHit* hit : hits)
        printf("%s\t%llu\t%llu\t%s\n", hit->szName, (unsigned long long)hit->GetStart(),
               (unsigned long long)hit->u64Length, hit->szExtension);

    double seconds = (double)(t1.QuadPart - t0.QuadPart) / (double)freq.QuadPart;
    double rate = seconds > 0 ? (double)total / 1e6 / seconds : 0.0;
    const uint64_t pluginReads = readcount::Bytes();
    printf("scanned %llu bytes in %.3f s\t%.1f MB/s\t%u plug-ins\t%u files\tplug-ins read %llu bytes (%.2f x scanned)\n",
           (unsigned long long)total, seconds, rate, (unsigned)registry.GetModules().size(), (unsigned)hits.size(),
           (unsigned long long)pluginReads, total ? (double)pluginReads / (double)total : 0.0);
    fflush(stdout);
    if (result != 1)
        return 1;
    return failures ? 1 : 0;
}
