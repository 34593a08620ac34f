#include "PluginHarness.h"

#include <gdiplus.h>

#include <cstring>

#include "common/TestPaths.h"
#include "gtest/gtest.h"

namespace {

// GDI+ is started by the program before any bitmap entry is called.
class GdiplusEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&m_token, &input, nullptr);
  }
  void TearDown() override { Gdiplus::GdiplusShutdown(m_token); }

 private:
  ULONG_PTR m_token = 0;
};

::testing::Environment* const g_gdiplus = ::testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

}  // namespace

PluginModule::~PluginModule() {
  if (module) FreeLibrary(module);
}

bool PluginModule::Load(const std::wstring& dll) {
  module = LoadLibraryW(testpaths::Join(testpaths::BinDir(), L"type\\" + dll).c_str());
  if (!module) return false;
  auto get = [this](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); };
  GetSupportFormat = reinterpret_cast<PFN_GetSupportFormat>(get(DELVARO_EXPORT_GetSupportFormat));
  GetFileSign = reinterpret_cast<PFN_GetFileSign>(get(DELVARO_EXPORT_GetFileSign));
  GetFileSizeAtOnce = reinterpret_cast<PFN_GetFileSizeAtOnce>(get(DELVARO_EXPORT_GetFileSizeAtOnce));
  GetRawFileInfo = reinterpret_cast<PFN_GetRawFileInfo>(get(DELVARO_EXPORT_GetRawFileInfo));
  GetThumbnailText = reinterpret_cast<PFN_GetThumbnailText>(get(DELVARO_EXPORT_GetThumbnailText));
  GetThumbnailBitmap =
      reinterpret_cast<PFN_GetThumbnailBitmap>(get(DELVARO_EXPORT_GetThumbnailBitmap));
  GetPreviewBitmap = reinterpret_cast<PFN_GetPreviewBitmap>(get(DELVARO_EXPORT_GetPreviewBitmap));
  IsFileSigSimple = static_cast<const int32_t*>(get(DELVARO_EXPORT_IsFileSigSimple));
  CanGetFileLenImmediately = static_cast<const int32_t*>(get(DELVARO_EXPORT_CanGetFileLenImmediately));
  HasThumbnail = static_cast<const int32_t*>(get(DELVARO_EXPORT_HasThumbnail));
  HasThumbnailBitmap = static_cast<const int32_t*>(get(DELVARO_EXPORT_HasThumbnailBitmap));
  return GetSupportFormat && GetFileSign && GetFileSizeAtOnce && GetRawFileInfo &&
         GetThumbnailText && GetThumbnailBitmap && GetPreviewBitmap && IsFileSigSimple &&
         CanGetFileLenImmediately && HasThumbnail && HasThumbnailBitmap;
}

std::unique_ptr<CDiskMappingPointer> OpenReader(const std::wstring& path, uint64_t start,
                                                uint64_t window) {
  return std::unique_ptr<CDiskMappingPointer>(
      new CDiskMappingPointer(path.c_str(), start, 0, window, 512, 0));
}

Analysis Analyse(const PluginModule& p, CDiskMappingPointer* reader, uint64_t offset) {
  Analysis a;
  memset(&a.info, 0, sizeof(a.info));
  a.info.size = RAWINFO_RECORD_SIZE;
  if (!reader->SeekTo(offset)) return a;
  a.result = p.GetRawFileInfo(reader, &a.info);
  return a;
}

TempFile::TempFile(const std::wstring& tag) {
  m_dir = testpaths::MakeTempDir(tag);
  m_path = testpaths::Join(m_dir, L"sample.bin");
}

TempFile::~TempFile() {
  DeleteFileW(m_path.c_str());
  RemoveDirectoryW(m_dir.c_str());
}

bool TempFile::Write(const std::string& bytes) {
  HANDLE h = CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  BOOL ok = bytes.empty() ||
            WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
  CloseHandle(h);
  return ok && done == bytes.size();
}

void BitmapSize(HBITMAP bmp, int* width, int* height) {
  BITMAP b;
  memset(&b, 0, sizeof(b));
  *width = *height = 0;
  if (bmp && GetObjectW(bmp, sizeof(b), &b)) {
    *width = b.bmWidth;
    *height = b.bmHeight;
  }
}
