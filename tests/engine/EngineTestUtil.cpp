#include "EngineTestUtil.h"

#include <cstring>
#include <random>

#include "common/TestPaths.h"
#include "storage/DiskMappingPointer.h"

namespace enginetest {

std::wstring TestPluginHome() { return testpaths::Join(testpaths::BinDir(), L"enginetest"); }

namespace {
class CQuietRegistry : public CFormatPluginRegistry {
 protected:
  void ShowLoadError() override {}
};
}  // namespace

CFormatPluginRegistry& TestRegistry() {
  static CQuietRegistry registry;
  static bool loaded = false;
  if (!loaded) {
    registry.LoadFrom(TestPluginHome());
    loaded = true;
  }
  return registry;
}

std::string Record(const char* magic, int64_t length, uint32_t options, const std::string& ext) {
  std::string r(64, '\0');
  memcpy(&r[0], magic, strlen(magic));
  memcpy(&r[8], &length, 8);
  memcpy(&r[16], &options, 4);
  memcpy(&r[20], ext.data(), ext.size() < 32 ? ext.size() : 32);
  return r;
}

Image::Image(size_t size, unsigned seed) : bytes(size, '\0') {
  if (seed) {
    std::mt19937 rng(seed);
    for (char& c : bytes) c = (char)(rng() & 0xFF);
  }
}

void Image::Put(uint64_t offset, const std::string& data) {
  if (offset >= bytes.size()) return;
  size_t n = data.size();
  if (offset + n > bytes.size()) n = (size_t)(bytes.size() - offset);
  memcpy(&bytes[(size_t)offset], data.data(), n);
}

std::wstring WriteTemp(const std::string& bytes, const wchar_t* tag) {
  std::wstring dir = testpaths::MakeTempDir(tag);
  std::wstring path = dir + L"\\image.raw";
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return L"";
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD chunk = (DWORD)((bytes.size() - done) > (1u << 24) ? (1u << 24) : (bytes.size() - done));
    DWORD wrote = 0;
    if (!WriteFile(h, bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0) break;
    done += wrote;
  }
  CloseHandle(h);
  return path;
}

int RunDeepScan(CRecordingFrame& frame, const ScanSetup& setup, unsigned int* pluginCount) {
  if (!frame.GetPluginRegistry()) frame.SetRegistry(&TestRegistry());
  CScanDiskDlg* dlg = frame.GetScanDiskDlg();
  dlg->SetTargetKind(setup.targetKind);
  dlg->BeginScanState();

  HANDLE borrowed = INVALID_HANDLE_VALUE;
  CDiskMappingPointer* reader = nullptr;
  if (setup.pathForm) {
    reader = new CDiskMappingPointer(setup.image.c_str(), 0, setup.targetKind, setup.windowSize, 512, 0);
  } else {
    borrowed = CreateFileW(setup.image.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_READONLY, nullptr);
    reader = new CDiskMappingPointer(borrowed, 0, setup.targetKind, setup.windowSize, 512, 0);
  }
  int result;
  {
    CDeepScanEngine engine(&frame);
    engine.BindPlugins(setup.formats);
    engine.SetBlockStep(setup.blockStep);
    engine.SetReader(reader);
    result = engine.Run();
    if (pluginCount) *pluginCount = engine.GetPluginCount();
  }
  delete reader;
  if (borrowed != INVALID_HANDLE_VALUE) CloseHandle(borrowed);
  dlg->OnScanThreadExit();
  frame.PumpMessages();
  return result;
}

}  // namespace enginetest
