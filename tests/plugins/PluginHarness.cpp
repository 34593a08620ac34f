#include "PluginHarness.h"

#include <gdiplus.h>

#include <atomic>
#include <cstring>

#include "common/TestPaths.h"
#include "gtest/gtest.h"

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

namespace {
std::atomic<uint64_t> g_bytesRead{0};
typedef BOOL(WINAPI* PFN_ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
PFN_ReadFile g_realReadFile = nullptr;

BOOL WINAPI CountingReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got,
                             LPOVERLAPPED overlapped) {
  DWORD local = 0;
  if (got == nullptr) got = &local;
  const BOOL ok = g_realReadFile(file, buffer, count, got, overlapped);
  g_bytesRead += *got;
  return ok;
}

// The import slot of kernel32's ReadFile in a loaded module, found through
// the module's import name table.
void** ReadFileSlot(HMODULE module) {
  BYTE* base = reinterpret_cast<BYTE*>(module);
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return nullptr;
  for (const IMAGE_IMPORT_DESCRIPTOR* d =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       d->Name != 0; ++d) {
    if (_stricmp(reinterpret_cast<const char*>(base + d->Name), "kernel32.dll") != 0) continue;
    const IMAGE_THUNK_DATA* names =
        reinterpret_cast<const IMAGE_THUNK_DATA*>(base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
    IMAGE_THUNK_DATA* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
      if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
      const IMAGE_IMPORT_BY_NAME* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
      if (strcmp(reinterpret_cast<const char*>(byName->Name), "ReadFile") == 0)
        return reinterpret_cast<void**>(&slots[i].u1.Function);
    }
  }
  return nullptr;
}

void WriteSlot(void** slot, void* value) {
  DWORD old = 0;
  if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old)) return;
  *slot = value;
  VirtualProtect(slot, sizeof(void*), old, &old);
}
}  // namespace

CReadCounter::CReadCounter(const PluginModule& plugin) {
  if (plugin.module == nullptr || g_realReadFile != nullptr) return;  // one counter at a time
  m_slot = ReadFileSlot(plugin.module);
  if (m_slot == nullptr) return;
  m_original = *m_slot;
  g_realReadFile = reinterpret_cast<PFN_ReadFile>(m_original);
  g_bytesRead = 0;
  WriteSlot(m_slot, reinterpret_cast<void*>(&CountingReadFile));
}

CReadCounter::~CReadCounter() {
  if (m_slot == nullptr) return;
  WriteSlot(m_slot, m_original);
  g_realReadFile = nullptr;
}

uint64_t CReadCounter::Bytes() const { return g_bytesRead; }
void CReadCounter::Reset() { g_bytesRead = 0; }

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
