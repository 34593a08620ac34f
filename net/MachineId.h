// MD5, CRC-32 and the machine identifier that the reports carry: derived
// once from the IDE/ATA disk serial numbers and a checksum of the BIOS
// area, hashed twice with MD5, and kept in the registry value "uid".
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// RFC 1321 MD5.
class MD5_CTX {
 public:
  MD5_CTX();
  virtual ~MD5_CTX();
  void MD5Update(const unsigned char* input, size_t length);
  // The 16-byte digest; the context is wiped and starts over afterwards.
  void MD5Final(unsigned char digest[16]);
  void MD5Transform(const unsigned char block[64]);

 private:
  void Reset();
  uint32_t m_state[4];
  uint32_t m_count[2];  // bits, low word first
  unsigned char m_buffer[64];
  unsigned char m_padding[64];
};

// MD5 of the bytes up to the terminating zero as 32 lower-case hex digits,
// at most capacity - 1 of them, terminated, the rest of out zeroed.
void MD5HexString(const char* text, char* out, size_t capacity);

// Reflected CRC-32 (polynomial 0xEDB88320, as in ZIP), from 0.
uint32_t Crc32Update(const void* bytes, size_t count);

// The machine code; empty until LoadMachineCode has run.
extern std::wstring g_strMachineCode;

// Reads "uid" (HKLM "Software\Microsoft\Delvaro") or derives and stores it.
// Returns whether the code was read or written back.
BOOL LoadMachineCode();
std::wstring GetMachineCodeText();
// 32 lower-case hex digits: MD5 of the disk serials followed by the BIOS
// checksums. Non-zero on success.
BOOL GetMachineCode(wchar_t* buffer, int capacity);
// Serial numbers of the disks that answer an ATA identify (SMART path for
// drives 0 to 3, else the SCSI miniport path), in drive order.
std::string GetDiskSerialText();
// Two CRC-32 values ("%04X") over the 4 KiB of the BIOS area at 0xFE000,
// or empty when the physical-memory section cannot be mapped.
std::string GetBiosCrcText();

// Test seam: the section calls of GetBiosCrcText (a null member keeps the
// ntdll function; NULL restores all). The section handle that openSection
// returns is closed with CloseHandle.
struct MachineIdSectionHooks {
  typedef LONG(NTAPI* OpenSectionFn)(HANDLE*, ACCESS_MASK, void* objectAttributes);
  typedef LONG(NTAPI* MapViewFn)(HANDLE section, HANDLE process, PVOID* view, ULONG_PTR zeroBits, SIZE_T commit,
                                 LARGE_INTEGER* offset, SIZE_T* viewSize, DWORD inherit, ULONG allocationType,
                                 ULONG protect);
  typedef LONG(NTAPI* UnmapViewFn)(HANDLE process, PVOID view);
  OpenSectionFn openSection;
  MapViewFn mapView;
  UnmapViewFn unmapView;
};
void SetMachineIdSectionHooks(const MachineIdSectionHooks* hooks);

// Test seam: how the identify paths open "\\.\PhysicalDriveN" and
// "\\.\ScsiN:" (NULL restores CreateFileW). Their control calls go through
// the storage layer's StorageDeviceIoControl.
typedef HANDLE (*MachineIdOpenFn)(const wchar_t* path);
MachineIdOpenFn SetMachineIdOpenHook(MachineIdOpenFn fn);
