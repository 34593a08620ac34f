#include "net/SysInfo.h"

#include <cstdio>
#include <cstring>

#include "core/Helpers.h"

BOOL GetOsNameRaw(wchar_t* buffer, int capacity) {
  typedef LONG(WINAPI * RtlGetVersionFn)(OSVERSIONINFOEXW*);
  HMODULE ntdll = LoadLibraryW(L"ntdll.dll");
  if (!ntdll) return FALSE;
  RtlGetVersionFn rtlGetVersion = (RtlGetVersionFn)(void*)GetProcAddress(ntdll, "RtlGetVersion");
  BOOL written = FALSE;
  OSVERSIONINFOEXW v;
  memset(&v, 0, sizeof v);
  v.dwOSVersionInfoSize = sizeof v;
  if (rtlGetVersion && rtlGetVersion(&v) == 0) {
    static const struct {
      DWORD major, minor;
      const wchar_t* name;
    } kNames[] = {{5, 0, L"Windows2000"}, {5, 1, L"WindowsXP"}, {5, 2, L"Windows2003"}, {6, 0, L"Vista"},
                  {6, 1, L"Windows7"},    {6, 2, L"Windows8"},  {10, 0, L"windows10"}};
    for (const auto& n : kNames)
      if (n.major == v.dwMajorVersion && n.minor == v.dwMinorVersion && buffer && capacity > 0) {
        lstrcpynW(buffer, n.name, capacity);
        written = TRUE;
      }
  }
  FreeLibrary(ntdll);
  return written;
}

std::wstring GetOsName() {
  wchar_t name[260] = {};
  GetOsNameRaw(name, 260);
  return name;
}

std::wstring GetAppVersion() { return GetProgramVersion(); }

const void* LoadResourceData(HMODULE module, int id, DWORD* size, const char* type) {
  HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(id), type);
  if (!info) return nullptr;
  HGLOBAL loaded = LoadResource(module, info);
  if (!loaded) return nullptr;
  if (size) *size = SizeofResource(module, info);
  return LockResource(loaded);
}

BOOL SaveResourceToFile(HMODULE module, int id, const char* path, const char* type) {
  DWORD size = 0;
  const void* data = LoadResourceData(module, id, &size, type);
  if (!data || size == 0 || !path) return FALSE;
  FILE* f = fopen(path, "wb");
  if (!f) return FALSE;
  size_t written = fwrite(data, 1, size, f);
  // A short write or a failed close is a failed save, not a truncated skin.
  bool ok = fclose(f) == 0 && written == size;
  return ok ? TRUE : FALSE;
}
