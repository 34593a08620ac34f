// Intake and display of many found entries in the real main window: a
// feeder thread hands N entries to the frame at once (as a fast scan or a
// loaded result does), the window's one-second intake moves them into the
// result list and the trees, and a probe thread measures how soon the
// window's message loop answers throughout. Then one sort of all rows by
// name and by size, timed on the window's thread.
//   bench_results.exe [N]   (default 100000)
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "GuiHarness.h"
#include "app/MainFrame.h"
#include "core/Settings.h"
#include "engine/FoundItem.h"

namespace {

double Now()
{
    static LARGE_INTEGER freq = {};
    if (!freq.QuadPart)
        QueryPerformanceFrequency(&freq);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart / (double)freq.QuadPart;
}

const wchar_t* const kExt[] = {L"jpg", L"png", L"doc", L"pdf", L"mp3", L"txt", L"xls", L"avi", L"zip", L"gif"};

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int n = argc > 1 ? _wtoi(argv[1]) : 100000;
    gui::InitProcess(1252);
    g_ConfigSetting.m_bShowMode = 0;
    g_ConfigSetting.m_nViewMode = 1;
    CMainFrame* frame = new CMainFrame;
    HWND hwnd = frame->Create(NULL, L"Delvaro", WS_VISIBLE | WS_CAPTION | WS_SYSMENU, 0, 0, 0, 1000, 700);
    if (!hwnd || !gui::PumpUntil([&] { return frame->IsInitialized() && !frame->IsDiskEnumRunning(); })) {
        printf("the window did not start\n");
        return 1;
    }
    ScanKind = SCAN_KIND_DELETED;
    frame->BeginLoadedResult();
    frame->StartResultRefresh();

    // The probe: a sent WM_NULL every 20 ms; the longest wait for its answer.
    std::atomic<bool> probing(true);
    std::vector<double> waits;
    std::vector<std::pair<double, double>> slow;  // (when, wait) over 100 ms
    const double startAt = Now();
    std::thread probe([&] {
        while (probing) {
            const double t0 = Now();
            DWORD_PTR r = 0;
            SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &r);
            waits.push_back(Now() - t0);
            if (waits.back() > 0.1)
                slow.push_back(std::make_pair(t0 - startAt, waits.back()));
            Sleep(20);
        }
    });

    double fedAt = 0, firstAt = 0;
    std::thread feeder([&] {
        fedAt = Now();
        for (int i = 0; i < n; ++i) {
            wchar_t name[64], path[64], when[32];
            swprintf(name, 64, L"found file %06d.%ls", (i * 7919) % n, kExt[i % 10]);
            swprintf(path, 64, L"C:\\folder %03d\\sub %02d\\", i % 400, i % 17);
            swprintf(when, 32, L"20%02d-%02d-%02d  %02d:%02d", 10 + i % 12, 1 + i % 12, 1 + i % 28, i % 24, i % 60);
            CFoundItem* item = new CFoundItem(name, path, when, (uint64_t)(i % 5000) * 1024 + 17, (uint64_t)i);
            if (!frame->AppendLoadedFile(item))
                delete item;
        }
    });
    CResultListUI* list = frame->GetResultList();
    gui::PumpUntil([&] { return list->GetCount() > 0; }, 60000);
    firstAt = Now();
    const bool all = gui::PumpUntil([&] { return list->GetCount() >= n; }, 3600000);
    const double lastAt = Now();
    feeder.join();
    probing = false;
    probe.join();

    double sortName = Now();
    frame->SortTilesBy(SORT_BY_NAME, false);
    sortName = Now() - sortName;
    double sortSize = Now();
    frame->SortTilesBy(SORT_BY_SIZE, true);
    sortSize = Now() - sortSize;
    gui::PumpPending();

    std::sort(waits.begin(), waits.end());
    const double maxWait = waits.empty() ? 0 : waits.back();
    const double p99 = waits.empty() ? 0 : waits[waits.size() * 99 / 100];
    printf("entries: %d shown: %d%s\n", n, list->GetCount(), all ? "" : " (not all)");
    printf("first shown %.2f s after the feed began; last shown %.2f s after the first\n", firstAt - fedAt,
           lastAt - firstAt);
    printf("message loop: %zu probes, answer p99 %.1f ms, max %.1f ms\n", waits.size(), p99 * 1000, maxWait * 1000);
    for (const auto& w : slow)
        printf("  slow answer at %.1f s: %.0f ms\n", w.first, w.second * 1000);
    printf("one sort of all rows: by name %.3f s, by size %.3f s\n", sortName, sortSize);
    fflush(stdout);
    DestroyWindow(hwnd);
    gui::PumpPending();
    return all ? 0 : 2;
}
