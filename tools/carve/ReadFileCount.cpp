#include "ReadFileCount.h"

#include <atomic>
#include <cstring>

namespace readcount {
namespace {

typedef BOOL(WINAPI* PFN_ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
std::atomic<uint64_t> g_bytes{0};
std::atomic<PFN_ReadFile> g_real{nullptr};

BOOL WINAPI CountingReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped) {
  DWORD local = 0;
  if (got == nullptr) got = &local;
  const BOOL ok = g_real.load()(file, buffer, count, got, overlapped);
  g_bytes += *got;
  return ok;
}

// The import slot of kernel32's ReadFile in a loaded module, found through
// the module's import name table.
void** ReadFileSlot(HMODULE module) {
  if (module == nullptr) return nullptr;
  BYTE* base = reinterpret_cast<BYTE*>(module);
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return nullptr;
  for (const IMAGE_IMPORT_DESCRIPTOR* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       d->Name != 0; ++d) {
    if (_stricmp(reinterpret_cast<const char*>(base + d->Name), "kernel32.dll") != 0) continue;
    const IMAGE_THUNK_DATA* names =
        reinterpret_cast<const IMAGE_THUNK_DATA*>(base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
    IMAGE_THUNK_DATA* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
      if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
      const IMAGE_IMPORT_BY_NAME* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
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

bool Hook(HMODULE module) {
  void** slot = ReadFileSlot(module);
  if (slot == nullptr || *slot == reinterpret_cast<void*>(&CountingReadFile)) return false;
  PFN_ReadFile expected = nullptr;
  g_real.compare_exchange_strong(expected, reinterpret_cast<PFN_ReadFile>(*slot));
  WriteSlot(slot, reinterpret_cast<void*>(&CountingReadFile));
  return true;
}

void Unhook(HMODULE module) {
  void** slot = ReadFileSlot(module);
  if (slot != nullptr && *slot == reinterpret_cast<void*>(&CountingReadFile) && g_real.load() != nullptr)
    WriteSlot(slot, reinterpret_cast<void*>(g_real.load()));
}

uint64_t Bytes() { return g_bytes; }
void Reset() { g_bytes = 0; }

}  // namespace readcount
