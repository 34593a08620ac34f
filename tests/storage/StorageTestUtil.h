// Shared helpers of the storage tests.
#pragma once
#include <windows.h>
#include <string>

namespace storagetest {

// A private copy of a fixture in a fresh temp folder; empty on failure.
std::wstring CopyFixture(const std::wstring& name, const std::wstring& tag);
// Extracts the zip member whose name ends with suffix to dest; false on failure.
bool ExtractZipMember(const std::wstring& zipPath, const std::string& suffix, const std::wstring& dest);
// Overwrites bytes of a file in place.
bool PatchFile(const std::wstring& path, unsigned __int64 offset, const void* data, DWORD size);
bool ReadFileAt(const std::wstring& path, unsigned __int64 offset, void* data, DWORD size);
HANDLE OpenForRead(const std::wstring& path);
void RemoveTree(const std::wstring& dir);

}  // namespace storagetest
