// Loads the built plug-in DLLs from the program's "type" folder and calls
// them the way the program does: through GetProcAddress and a real reader.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "plugins/common/PluginContract.h"
#include "storage/DiskMappingPointer.h"

struct PluginModule {
  HMODULE module = nullptr;
  PFN_GetSupportFormat GetSupportFormat = nullptr;
  PFN_GetFileSign GetFileSign = nullptr;
  PFN_GetFileSizeAtOnce GetFileSizeAtOnce = nullptr;
  PFN_GetRawFileInfo GetRawFileInfo = nullptr;
  PFN_GetThumbnailBitmap GetThumbnailBitmap = nullptr;
  PFN_GetPreviewBitmap GetPreviewBitmap = nullptr;
  // Text entries, bound when the plug-in has them (HasThumbnail non-zero).
  PFN_GetThumbnailText GetThumbnailText = nullptr;
  PFN_GetPreviewText GetPreviewText = nullptr;
  const int32_t *IsFileSigSimple = nullptr, *CanGetFileLenImmediately = nullptr;
  const int32_t *HasThumbnail = nullptr, *HasThumbnailBitmap = nullptr;

  PluginModule() = default;
  PluginModule(const PluginModule&) = delete;
  PluginModule& operator=(const PluginModule&) = delete;
  ~PluginModule();
  // bin\type\<dll>; false when the DLL or any entry of the deep scan is
  // missing (the bitmap entries stay null where the plug-in has none).
  bool Load(const std::wstring& dll);
};

// Counts the bytes a plug-in reads from the device: while it lives, the
// plug-in's own import of ReadFile goes through a counter.
class CReadCounter {
 public:
  explicit CReadCounter(const PluginModule& plugin);
  ~CReadCounter();
  CReadCounter(const CReadCounter&) = delete;
  CReadCounter& operator=(const CReadCounter&) = delete;
  bool Installed() const { return m_module != nullptr; }
  uint64_t Bytes() const;
  void Reset();

 private:
  HMODULE m_module = nullptr;
};

std::wstring Sample(const std::string& name);  // tests/fixtures
std::wstring Corpus(const std::string& rel);   // the shared corpus of formats

// A reader over a file (path form, file length as limit).
std::unique_ptr<CDiskMappingPointer> OpenReader(const std::wstring& path, uint64_t window = 0);

// A window that holds every sample of these tests whole in its first half,
// as the reader's default window (500 allocation units) does, at an eighth
// of its cost: every read clears the part of the window the file leaves.
const uint64_t kWholeSampleWindow = 4u << 20;

struct Analysis {
  int result = 0;
  RawFileInfo info{};
};
// The program's analysis step: seek the reader to offset, zero a record with
// size 80, call GetRawFileInfo.
Analysis Analyse(const PluginModule& p, CDiskMappingPointer* reader, uint64_t offset = 0);

// A temporary file holding bytes (rewritten by Write); removed on destruction.
class TempFile {
 public:
  explicit TempFile(const std::wstring& tag);
  ~TempFile();
  bool Write(const std::string& bytes);
  // Writes bytes and analyses them from their first byte.
  Analysis Analyse(const PluginModule& p, const std::string& bytes, uint64_t window = 0);
  const std::wstring& Path() const { return m_path; }

 private:
  std::wstring m_dir;
  std::wstring m_path;
};

// A temporary file rewritten for every damaged sample of a loop: one handle
// stays open for the whole loop and the readers read through it (the handle
// form), so that a sample costs no create, open or close.
class MutantFile {
 public:
  explicit MutantFile(const std::wstring& tag);
  ~MutantFile();
  MutantFile(const MutantFile&) = delete;
  MutantFile& operator=(const MutantFile&) = delete;
  // Replaces the whole contents with bytes.
  bool Write(const std::string& bytes);
  // A reader over the current contents (file length as limit).
  std::unique_ptr<CDiskMappingPointer> Reader(uint64_t window) const;

 private:
  TempFile m_file;
  HANDLE m_handle = INVALID_HANDLE_VALUE;
};
