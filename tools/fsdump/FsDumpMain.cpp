// fsdump IMAGE [--offset BYTES]
// Prints one tab-separated line per directory entry of the volume found at
// the offset: path, size, deleted flag, first cluster, SHA-256 of the bytes
// the readers give back ("-" for folders and unreadable data).
#include "tools/fsdump/FsDump.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef DELVARO_FSDUMP_HAS_NTFS
bool DumpNtfsVolume(const std::wstring&, uint64_t, std::vector<FsDumpRow>&) { return false; }
#endif

namespace {
void WriteOut(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD done = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    DWORD chunk = (DWORD)std::min<size_t>(text.size() - pos, 1 << 20);
    if (!WriteFile(out, text.data() + pos, chunk, &done, nullptr) || done == 0) return;
    pos += done;
  }
}

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return "";
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), &s[0], n, nullptr, nullptr);
  return s;
}

enum FsKind { kUnknown, kFat, kExFat, kNtfs };

FsKind Detect(const std::wstring& image, uint64_t offset) {
  HANDLE h = CreateFileW(image.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kUnknown;
  unsigned char boot[512] = {};
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)offset;
  DWORD got = 0;
  bool ok = SetFilePointerEx(h, li, nullptr, FILE_BEGIN) && ReadFile(h, boot, 512, &got, nullptr) &&
            got == 512;
  CloseHandle(h);
  if (!ok) return kUnknown;
  if (memcmp(boot + 3, "NTFS    ", 8) == 0) return kNtfs;
  if (memcmp(boot + 3, "EXFAT   ", 8) == 0) return kExFat;
  if (memcmp(boot + 82, "FAT32", 5) == 0 || memcmp(boot + 54, "FAT16", 5) == 0) return kFat;
  return kUnknown;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring image;
  uint64_t offset = 0;
  for (int i = 1; i < argc; ++i) {
    if (wcscmp(argv[i], L"--offset") == 0 && i + 1 < argc) {
      offset = _wcstoui64(argv[++i], nullptr, 10);
    } else if (image.empty()) {
      image = argv[i];
    } else {
      image.clear();
      break;
    }
  }
  if (image.empty()) {
    fprintf(stderr, "usage: fsdump IMAGE [--offset BYTES]\n");
    return 2;
  }
  std::vector<FsDumpRow> rows;
  bool ok = false;
  switch (Detect(image, offset)) {
    case kFat: ok = DumpFatVolume(image, offset, rows); break;
    case kExFat: ok = DumpExFatVolume(image, offset, rows); break;
    case kNtfs: ok = DumpNtfsVolume(image, offset, rows); break;
    default: break;
  }
  if (!ok) {
    fprintf(stderr, "fsdump: no readable FAT, exFAT or NTFS volume there\n");
    return 1;
  }
  std::stable_sort(rows.begin(), rows.end(), [](const FsDumpRow& a, const FsDumpRow& b) {
    if (a.path != b.path) return a.path < b.path;
    return a.firstCluster < b.firstCluster;
  });
  std::string text = "path\tsize\tdeleted\tfirst_cluster\tsha256\n";
  char num[64];
  for (const FsDumpRow& r : rows) {
    text += Utf8(r.path);
    snprintf(num, sizeof num, "\t%llu\t%d\t%llu\t", (unsigned long long)r.size, r.deleted ? 1 : 0,
             (unsigned long long)r.firstCluster);
    text += num;
    text += r.sha256;
    text += "\n";
  }
  WriteOut(text);
  return 0;
}
