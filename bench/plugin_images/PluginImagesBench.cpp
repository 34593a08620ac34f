// Measures one image plug-in on one picture: GetRawFileInfo through a reader
// over the file (the deep scan's analysis step, dominated by the JPEG
// entropy scan), and GetThumbnailBitmap / GetPreviewBitmap (decode and fit).
#include <windows.h>
#include <gdiplus.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "plugins/common/PluginContract.h"
#include "storage/DiskMappingPointer.h"

namespace {
double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    fwprintf(stderr, L"usage: bench_plugin_images <fmt_x.dll> <picture> [rounds]\n");
    return 2;
  }
  const int rounds = argc > 3 ? _wtoi(argv[3]) : 20;
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring dir(exe);
  dir.resize(dir.rfind(L'\\'));
  HMODULE m = LoadLibraryW((dir + L"\\type\\" + argv[1]).c_str());
  if (!m) {
    fwprintf(stderr, L"cannot load %ls\n", argv[1]);
    return 1;
  }
  auto raw = reinterpret_cast<PFN_GetRawFileInfo>(GetProcAddress(m, DELVARO_EXPORT_GetRawFileInfo));
  auto thumb = reinterpret_cast<PFN_GetThumbnailBitmap>(GetProcAddress(m, DELVARO_EXPORT_GetThumbnailBitmap));
  auto preview = reinterpret_cast<PFN_GetPreviewBitmap>(GetProcAddress(m, DELVARO_EXPORT_GetPreviewBitmap));
  Gdiplus::GdiplusStartupInput in;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &in, nullptr);

  CDiskMappingPointer reader(argv[2], 0, 0, 0, 512, 0);
  const unsigned long long size = reader.m_Limit;
  std::vector<unsigned char> bytes(static_cast<size_t>(size));
  memcpy(bytes.data(), reader.m_pBuffer, bytes.size() < reader.m_WindowSize ? bytes.size() : static_cast<size_t>(reader.m_WindowSize));

  RawFileInfo info;
  int result = 0;
  double t0 = Now();
  for (int i = 0; i < rounds; ++i) {
    memset(&info, 0, sizeof(info));
    info.size = RAWINFO_RECORD_SIZE;
    reader.SeekTo(0);
    result = raw(&reader, &info);
  }
  double t1 = Now();
  wprintf(L"GetRawFileInfo: result %d length %llu, %.3f ms per call, %.1f MB/s over the file\n", result,
          info.length, (t1 - t0) * 1000 / rounds, size * rounds / (t1 - t0) / 1e6);

  int w = 0, h = 0, ok = 0;
  t0 = Now();
  for (int i = 0; i < rounds; ++i) {
    HBITMAP bmp = nullptr;
    reader.SeekTo(0);
    ok = thumb(&reader, static_cast<int64_t>(size), &bmp, &w, &h);
    if (bmp) DeleteObject(bmp);
  }
  t1 = Now();
  wprintf(L"GetThumbnailBitmap: result %d %dx%d, %.2f ms per call\n", ok, w, h, (t1 - t0) * 1000 / rounds);
  t0 = Now();
  for (int i = 0; i < rounds; ++i) {
    HBITMAP bmp = nullptr;
    ok = preview(bytes.data(), static_cast<int64_t>(bytes.size()), &bmp, &w, &h);
    if (bmp) DeleteObject(bmp);
  }
  t1 = Now();
  wprintf(L"GetPreviewBitmap: result %d %dx%d, %.2f ms per call\n", ok, w, h, (t1 - t0) * 1000 / rounds);
  Gdiplus::GdiplusShutdown(token);
  FreeLibrary(m);
  return 0;
}
