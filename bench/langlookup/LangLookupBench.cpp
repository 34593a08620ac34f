// bench_langlookup [count]: lookups per second of GetUIText on the built
// language files, on one thread and on four threads.
#include <windows.h>
#include <process.h>

#include <cstdio>
#include <cwchar>

#include "core/Helpers.h"
#include "core/Language.h"

namespace {
int g_count = 2000;
volatile LONG g_misses = 0;

unsigned __stdcall Worker(void*) {
  for (int i = 0; i < g_count; ++i)
    if (GetUIText(L"ScanningFile").empty()) InterlockedIncrement(&g_misses);
  return 0;
}

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b, LARGE_INTEGER f) {
  return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1) g_count = _wtoi(argv[1]) > 0 ? _wtoi(argv[1]) : g_count;
  InitApplicationPaths();
  LARGE_INTEGER f, a, b;
  QueryPerformanceFrequency(&f);
  for (int cp : {1252, 936, 950}) {
    g_nUICodePage = cp;
    QueryPerformanceCounter(&a);
    Worker(nullptr);
    QueryPerformanceCounter(&b);
    double s = Seconds(a, b, f);
    wprintf(L"code page %4d, 1 thread : %8.0f lookups/s (%.1f us each)\n", cp, g_count / s,
            s * 1e6 / g_count);
  }
  g_nUICodePage = 1252;
  HANDLE t[4];
  QueryPerformanceCounter(&a);
  for (HANDLE& h : t) h = (HANDLE)_beginthreadex(nullptr, 0, Worker, nullptr, 0, nullptr);
  WaitForMultipleObjects(4, t, TRUE, INFINITE);
  QueryPerformanceCounter(&b);
  for (HANDLE h : t) CloseHandle(h);
  double s = Seconds(a, b, f);
  wprintf(L"code page 1252, 4 threads: %8.0f lookups/s in total\n", 4 * g_count / s);
  wprintf(L"missed lookups: %ld\n", (long)g_misses);
  return g_misses ? 1 : 0;
}
