// What system the reports and the updater run on, and embedded resources
// written out as files.
#pragma once
#include <windows.h>

#include <string>

// "Windows2000", "WindowsXP", "Windows2003", "Vista", "Windows7",
// "Windows8" or "windows10" from RtlGetVersion; empty for other versions.
std::wstring GetOsName();
BOOL GetOsNameRaw(wchar_t* buffer, int capacity);
// The program's own four-part file version.
std::wstring GetAppVersion();
// Locked bytes of a resource (numeric id, 8-bit type name), or NULL.
const void* LoadResourceData(HMODULE module, int id, DWORD* size, const char* type);
// Writes the resource to path (created or truncated); FALSE when it is
// missing, empty or the file cannot be written.
BOOL SaveResourceToFile(HMODULE module, int id, const char* path, const char* type);
