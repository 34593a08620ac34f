// bench_diskread <image> [passes]
// Reads the image end to end through CDiskMappingPointer with the default
// window (the way the carving loop walks a disk: double buffer, ReadNext)
// and prints the throughput in MB/s.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "storage/DiskMappingPointer.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: bench_diskread <image> [passes]\n");
        return 2;
    }
    const int passes = argc > 2 ? _wtoi(argv[2]) : 1;
    double best = 0;
    for (int p = 0; p < (passes > 0 ? passes : 1); ++p) {
        LARGE_INTEGER f, t0, t1;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&t0);
        CDiskMappingPointer r(argv[1], 0, 0, 0, 512, 0);
        const unsigned __int64 total = r.GetTotalSize();
        unsigned __int64 sum = 0;
        r.SaveBufferStart();
        while (!r.IsEnd() && r.GetPosition() < total) {
            // Touch one byte per page so the data is really consumed.
            const unsigned char* b = r.GetPointer();
            for (unsigned __int64 i = 0; i < r.m_WindowSize; i += 4096)
                sum += b[i];
            r.ReadNext();
            if (r.GetError() != 0)
                break;
        }
        r.RestoreBufferStart();
        QueryPerformanceCounter(&t1);
        const double sec = (double)(t1.QuadPart - t0.QuadPart) / (double)f.QuadPart;
        const double mbs = (double)total / 1e6 / sec;
        if (mbs > best)
            best = mbs;
        printf("pass %d: %.0f MB in %.3f s = %.1f MB/s (window %llu, check %llu)\n", p + 1, total / 1e6, sec, mbs,
               (unsigned long long)r.m_WindowSize, (unsigned long long)sum);
    }
    printf("delvaro reader: %.1f MB/s\n", best);
    return 0;
}
