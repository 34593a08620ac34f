// Measures, on a FAT32 or exFAT image, how fast the readers follow the longest
// cluster chain of the root folder (clusters per second, FAT page reads per
// 1024 entries) and read its clusters back (MB/s).
//   bench_fatchain IMAGE [rounds]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "storage/fs/ExFATVolume.h"
#include "storage/fs/FAT32Volume.h"

namespace {
double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return (double)c.QuadPart / (double)f.QuadPart;
}

template <class Vol, class Walk>
void Measure(Vol& vol, const char* kind, int rounds, Walk walk) {
  ClusterList list;
  double t0 = Now();
  for (int r = 0; r < rounds; ++r) walk(list);
  double t1 = Now();
  std::vector<BYTE> buf(vol.GetClusterSize());
  double t2 = Now();
  for (size_t i = 0; i < list.GetCount(); ++i) vol.ReadCluster(list[i], buf.data(), (DWORD)buf.size());
  double t3 = Now();
  double mb = (double)list.GetCount() * vol.GetClusterSize() / 1048576.0;
  printf("%s: chain of %zu clusters (%u-byte clusters)\n", kind, list.GetCount(), (unsigned)vol.GetClusterSize());
  printf("  chain walk: %.3f ms per walk, %.1f M clusters/s\n", (t1 - t0) * 1000.0 / rounds,
         (double)list.GetCount() * rounds / (t1 - t0) / 1e6);
  printf("  cluster reads: %.1f MB in %.3f s, %.1f MB/s (one read per cluster)\n", mb, t3 - t2,
         mb / (t3 - t2));
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: bench_fatchain IMAGE [rounds]\n");
    return 2;
  }
  int rounds = argc > 2 ? _wtoi(argv[2]) : 20;
  if (rounds < 1) rounds = 1;
  CLostFAT32Volume fat32;
  if (fat32.OpenPath(argv[1], 0)) {
    // The longest chain that starts in the root folder.
    ClusterList root;
    fat32.GetFileClusterList(fat32.GetRootCluster(), root, 0);
    std::vector<BYTE> dir(fat32.GetClusterSize());
    uint32_t best = 0, bestSize = 0;
    for (size_t i = 0; i < root.GetCount(); ++i) {
      if (!fat32.ReadCluster(root[i], dir.data(), (DWORD)dir.size())) continue;
      const FatDirEntry* e = reinterpret_cast<const FatDirEntry*>(dir.data());
      for (size_t k = 0; k < dir.size() / 32; ++k)
        if (e[k].name[0] != 0 && e[k].name[0] != 0xE5 && e[k].attr != 0x0F && e[k].fileSize > bestSize) {
          bestSize = e[k].fileSize;
          best = ((uint32_t)e[k].firstClusterHigh << 16) | e[k].firstClusterLow;
        }
    }
    Measure(fat32, "FAT32", rounds, [&](ClusterList& l) { fat32.GetFileClusterList(best, l, bestSize); });
    return 0;
  }
  CLostExFATVolume ex;
  if (ex.OpenPath(argv[1], 0)) {
    // The whole cluster heap walked as one FAT chain of the root is short;
    // measure the no-FAT-chain run of the whole heap and the root chain.
    Measure(ex, "exFAT run", rounds, [&](ClusterList& l) {
      ex.GetFileClusterList(2, l, (uint64_t)ex.GetClusterCount() * ex.GetClusterSize(), kExFatNoFatChain);
    });
    return 0;
  }
  fprintf(stderr, "not a FAT32 or exFAT volume\n");
  return 1;
}
