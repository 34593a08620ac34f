#include "PluginHarness.h"

#include <gdiplus.h>

#include <atomic>
#include <cstring>

#include "common/TestPaths.h"
#include "gtest/gtest.h"
#include "tools/carve/ReadFileCount.h"

namespace {

// GDI+ is started by the program before any bitmap entry is called.
struct GdiplusEnvironment : ::testing::Environment {
  ULONG_PTR token = 0;
  void SetUp() override {
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
  }
  void TearDown() override { Gdiplus::GdiplusShutdown(token); }
};
::testing::Environment* const g_gdiplus = ::testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

template <typename T>
bool Bind(HMODULE module, const char* name, T* slot) {
  *slot = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *slot != nullptr;
}

}  // namespace

PluginModule::~PluginModule() {
  if (module) FreeLibrary(module);
}

bool PluginModule::Load(const std::wstring& dll) {
  module = LoadLibraryW(testpaths::Join(testpaths::BinDir(), L"type\\" + dll).c_str());
  if (!module) return false;
  // Plug-ins without pictures need not export the bitmap entries.
  Bind(module, DELVARO_EXPORT_GetThumbnailBitmap, &GetThumbnailBitmap);
  Bind(module, DELVARO_EXPORT_GetPreviewBitmap, &GetPreviewBitmap);
  Bind(module, DELVARO_EXPORT_GetThumbnailText, &GetThumbnailText);
  Bind(module, DELVARO_EXPORT_GetPreviewText, &GetPreviewText);
  return Bind(module, DELVARO_EXPORT_GetSupportFormat, &GetSupportFormat) &&
         Bind(module, DELVARO_EXPORT_GetFileSign, &GetFileSign) &&
         Bind(module, DELVARO_EXPORT_GetFileSizeAtOnce, &GetFileSizeAtOnce) &&
         Bind(module, DELVARO_EXPORT_GetRawFileInfo, &GetRawFileInfo) &&
         Bind(module, DELVARO_EXPORT_IsFileSigSimple, &IsFileSigSimple) &&
         Bind(module, DELVARO_EXPORT_CanGetFileLenImmediately, &CanGetFileLenImmediately) &&
         Bind(module, DELVARO_EXPORT_HasThumbnail, &HasThumbnail) &&
         Bind(module, DELVARO_EXPORT_HasThumbnailBitmap, &HasThumbnailBitmap);
}

CReadCounter::CReadCounter(const PluginModule& plugin) {
  if (plugin.module == nullptr || !readcount::Hook(plugin.module)) return;
  m_module = plugin.module;
  readcount::Reset();
}

CReadCounter::~CReadCounter() {
  if (m_module != nullptr) readcount::Unhook(m_module);
}

uint64_t CReadCounter::Bytes() const { return readcount::Bytes(); }
void CReadCounter::Reset() { readcount::Reset(); }

std::wstring Sample(const std::string& name) {
  return testpaths::Fixture(std::wstring(name.begin(), name.end()));
}

std::wstring Corpus(const std::string& rel) {
  const std::string full = "corpora/formats/" + rel;
  return testpaths::Shared(std::wstring(full.begin(), full.end()));
}

std::unique_ptr<CDiskMappingPointer> OpenReader(const std::wstring& path, uint64_t window) {
  return std::unique_ptr<CDiskMappingPointer>(
      new CDiskMappingPointer(path.c_str(), 0, 0, window, 512, 0));
}

Analysis Analyse(const PluginModule& p, CDiskMappingPointer* reader, uint64_t offset) {
  Analysis a;
  memset(&a.info, 0, sizeof(a.info));
  a.info.size = RAWINFO_RECORD_SIZE;
  if (reader->SeekTo(offset)) a.result = p.GetRawFileInfo(reader, &a.info);
  return a;
}

TempFile::TempFile(const std::wstring& tag)
    : m_dir(testpaths::MakeTempDir(tag)), m_path(testpaths::Join(m_dir, L"sample.bin")) {}

TempFile::~TempFile() {
  DeleteFileW(m_path.c_str());
  RemoveDirectoryW(m_dir.c_str());
}

bool TempFile::Write(const std::string& bytes) {
  HANDLE h = CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
  CloseHandle(h);
  return ok && done == bytes.size();
}

Analysis TempFile::Analyse(const PluginModule& p, const std::string& bytes, uint64_t window) {
  if (!Write(bytes)) return Analysis();
  auto reader = OpenReader(m_path, window);
  return ::Analyse(p, reader.get(), 0);
}

MutantFile::MutantFile(const std::wstring& tag) : m_file(tag) {
  m_handle = CreateFileW(m_file.Path().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, CREATE_ALWAYS, 0, nullptr);
}

MutantFile::~MutantFile() {
  if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
}

bool MutantFile::Write(const std::string& bytes) {
  if (m_handle == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER zero = {};
  DWORD done = 0;
  return SetFilePointerEx(m_handle, zero, nullptr, FILE_BEGIN) &&
         (bytes.empty() || WriteFile(m_handle, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr)) &&
         done == bytes.size() && SetEndOfFile(m_handle);
}

std::unique_ptr<CDiskMappingPointer> MutantFile::Reader(uint64_t window) const {
  return std::unique_ptr<CDiskMappingPointer>(new CDiskMappingPointer(m_handle, 0, 0, window, 512, 0));
}
