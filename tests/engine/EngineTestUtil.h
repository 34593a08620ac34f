// Helpers shared by the engine tests: synthetic raw images with test records
// and one-call deep scans through the recording frame.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "RecordingFrame.h"

namespace enginetest {

// Folder whose "type" subfolder holds the test plug-ins.
std::wstring TestPluginHome();
// Registry loaded once from the test plug-in folder.
CFormatPluginRegistry& TestRegistry();

// A 64-byte record of a test plug-in (see testplugins/TestPlugin.cpp).
std::string Record(const char* magic, int64_t length, uint32_t options, const std::string& ext);

// Raw bytes of a synthetic device.
struct Image {
  std::string bytes;
  explicit Image(size_t size, unsigned seed = 0);  // seed 0: zeros, else noise
  void Put(uint64_t offset, const std::string& data);
};

// Writes bytes to a new file in a fresh temp folder; returns its path.
std::wstring WriteTemp(const std::string& bytes, const wchar_t* tag);

struct ScanSetup {
  std::wstring image;
  uint64_t windowSize = 0;  // 0: the reader's default
  unsigned int blockStep = 512;
  std::vector<std::wstring> formats;
  bool pathForm = true;     // reader opens the path itself (else borrows a handle)
  int targetKind = 0;
};

// Binds, runs and ends one deep scan; returns Run's result. The frame's
// messages are pumped afterwards.
int RunDeepScan(CRecordingFrame& frame, const ScanSetup& setup, unsigned int* pluginCount = nullptr);

}  // namespace enginetest
