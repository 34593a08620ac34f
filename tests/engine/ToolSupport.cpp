#include "ToolSupport.h"

#include <shlobj.h>

#include <cstdio>

#include "RecordingRecoverDlg.h"

#include "core/Helpers.h"
#include "core/Language.h"
#include "engine/ScanDiskDlg.h"

namespace toolsupport {
namespace {
const wchar_t* g_tool = L"tool";
int g_answer = IDOK;

int PrintBox(HWND, const wchar_t* text, const wchar_t* title, UINT, int)
{
    fwprintf(stderr, L"%ls: %ls: %ls\n", g_tool, title ? title : L"", text ? text : L"");
    return g_answer;
}
}  // namespace

std::wstring WindowsPath(const std::wstring& path)
{
    if (path.empty() || path[0] != L'/')
        return path;
    std::wstring w = L"Z:" + path;
    for (wchar_t& c : w)
        if (c == L'/')
            c = L'\\';
    return w;
}

void PrintUtf8(const std::wstring& text)
{
    char* utf8 = WideToUtf8(text.c_str());
    if (utf8)
        fputs(utf8, stdout);
    delete[] utf8;
}

int ScanKindOfName(const std::wstring& name)
{
    static const wchar_t* const kNames[] = {L"deleted", L"deep", L"formatted", L"recycle", L"lost"};
    static const int kKinds[] = {SCAN_KIND_DELETED, SCAN_KIND_DEEP, SCAN_KIND_FORMATTED, SCAN_KIND_RECYCLE,
                                 SCAN_KIND_LOST_PARTITION};
    for (size_t i = 0; i < sizeof(kKinds) / sizeof(kKinds[0]); ++i)
        if (name == kNames[i])
            return kKinds[i];
    return -1;
}

void PrintBoxes(const wchar_t* tool, int answer)
{
    g_tool = tool;
    g_answer = answer;
    SetMessageDlgProc(PrintBox);
}

int RecoverAndPrint(IMainFrameServices* frame, std::wstring outDir, int fullPath, const wchar_t* tool)
{
    for (wchar_t& c : outDir)
        if (c == L'/')
            c = L'\\';
    while (outDir.size() > 3 && outDir.back() == L'\\')
        outDir.pop_back();
    SHCreateDirectoryExW(nullptr, outDir.c_str(), nullptr);

    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    CRecordingRecoverDlg recovery(frame, outDir, fullPath, false);
    if (!recovery.Start() || !recovery.WaitForEnd(4 * 3600 * 1000))
    {
        fwprintf(stderr, L"%ls: the recovery did not run to its end\n", tool);
        return 1;
    }
    QueryPerformanceCounter(&t1);
    const double seconds = double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart);

    unsigned long long bytes = 0;
    size_t recovered = 0, partial = 0;
    const std::vector<RecoverEntryResult>& results = recovery.Worker().Results();
    for (const RecoverEntryResult& r : results)
    {
        PrintUtf8(r.outcome.path.empty() ? L"-" : r.outcome.path);
        printf("\t%llu\t", (unsigned long long)r.outcome.bytesWritten);
        PrintUtf8(r.outcome.Text());
        printf("\n");
        bytes += r.outcome.bytesWritten;
        if (r.outcome.Ok())
            ++recovered;
        if (r.outcome.Partial())
            ++partial;
    }
    printf("%zu entries: %zu recovered (%zu partial), %zu failed%s in %.3f s: %.1f MB/s\n", results.size(), recovered,
           partial, results.size() - recovered, recovery.Worker().WasRefused() ? " (target refused)" : "", seconds,
           seconds > 0 ? bytes / 1048576.0 / seconds : 0.0);
    fflush(stdout);
    return recovery.Worker().WasRefused() ? 3 : 0;
}

void CToolRegistry::ShowLoadError()
{
    fwprintf(stderr, L"%ls: no file-type plug-ins could be loaded\n", m_tool);
}
}  // namespace toolsupport
