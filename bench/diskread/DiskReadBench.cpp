// bench_diskread <image> [passes] [window bytes]
// Reads the image end to end through one CDiskMappingPointer the way the
// carving loop walks a disk (double buffer, ReadNext), several passes over
// the same reader so that its buffers are allocated and first touched once,
// and prints the throughput of each pass and the best. A window of 0 (the
// default) is the reader's own default window.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "storage/DiskMappingPointer.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: bench_diskread <image> [passes] [window bytes]\n");
        return 2;
    }
    const int passes = argc > 2 && _wtoi(argv[2]) > 0 ? _wtoi(argv[2]) : 1;
    const unsigned __int64 window = argc > 3 ? _wcstoui64(argv[3], nullptr, 10) : 0;
    CDiskMappingPointer r(argv[1], 0, 0, window, 512, 0);
    const unsigned __int64 total = r.GetTotalSize();
    if (total == 0) {
        fprintf(stderr, "bench_diskread: cannot read the image (error %lu)\n", r.GetError());
        return 1;
    }
    double best = 0;
    for (int p = 0; p < passes; ++p) {
        LARGE_INTEGER f, t0, t1;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&t0);
        unsigned __int64 sum = 0;
        r.RestoreBufferStart();
        r.SeekTo(0);
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
        QueryPerformanceCounter(&t1);
        const double sec = (double)(t1.QuadPart - t0.QuadPart) / (double)f.QuadPart;
        const double mbs = (double)total / 1e6 / sec;
        if (mbs > best)
            best = mbs;
        printf("pass %d: %.0f MB in %.3f s = %.1f MB/s (window %llu, check %llu)\n", p + 1, total / 1e6, sec, mbs,
               (unsigned long long)r.m_WindowSize, (unsigned long long)sum);
    }
    r.RestoreBufferStart();
    printf("delvaro reader: %.1f MB/s\n", best);
    return 0;
}
