// Small helpers shared by the raw device readers: read-only opens, the
// device length with its fall-backs, and positioned reads.
//
// Every DeviceIoControl of the storage classes goes through
// StorageDeviceIoControl so that a test can stand in for the driver (for
// instance to answer "not supported" the way Wine does, or to answer with
// a length) and so exercise both the control-code path and its fall-back.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

typedef BOOL (WINAPI* StorageIoControlFn)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                                          LPOVERLAPPED);

BOOL StorageDeviceIoControl(HANDLE hDevice, DWORD code, void* in, DWORD inSize, void* out,
                            DWORD outSize, DWORD* returned);
// Replaces the control-call function (NULL restores DeviceIoControl); returns the previous one.
StorageIoControlFn SetStorageIoControlHook(StorageIoControlFn fn);

// Opens a device or file for raw reading: GENERIC_READ only, sharing read and
// write, OPEN_EXISTING. Never opens anything for writing.
HANDLE OpenRawReadOnly(const wchar_t* path, DWORD attributes);

// Length in bytes of a device or file: IOCTL_DISK_GET_LENGTH_INFO when
// bDevice, then IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, then the file size.
// 0 when nothing answers.
unsigned __int64 QueryDeviceLength(HANDLE hDevice, int bDevice);

// Reads size bytes at offset; returns the bytes read (0 on failure).
DWORD ReadAt(HANDLE hDevice, unsigned __int64 offset, void* buffer, DWORD size);
// The same bytes read in whole units of `align` bytes (a power of two; the
// device's sector size, up to 4096): raw handles of devices refuse reads that
// do not start and end on a sector. Returns the bytes of the request that
// arrived; where the aligned read fails as a whole, the plain read is tried.
DWORD ReadAtAligned(HANDLE hDevice, unsigned __int64 offset, void* buffer, DWORD size, DWORD align);
// The first sectors of a file system at `offset` into a buffer of 4096
// bytes: one 4 KiB read (devices with 4 KiB sectors refuse less), and where
// that fails, the first 512-byte sector alone, which holds everything a boot
// check needs (the sectors after it may be unreadable). The bytes that did
// not come are zeros. Returns the bytes read: 4096, 512, or 0.
DWORD ReadBootSectors(HANDLE hDevice, unsigned __int64 offset, void* buffer4096);
// The read itself, without a hook.
DWORD RawReadAt(HANDLE hDevice, unsigned __int64 offset, void* buffer, DWORD size);
// Replaces ReadAt (NULL restores it), so that a test can fail reads the way
// a bad sector does; returns the previous replacement.
typedef DWORD (*StorageReadFn)(HANDLE, unsigned __int64, void*, DWORD);
StorageReadFn SetStorageReadHook(StorageReadFn fn);
// Whether a replacement is in place (the cached reader then reads through it too).
bool StorageReadHooked();

// "\\.\X:" of a drive letter; empty for anything that is not a letter.
std::wstring DriveLetterPath(wchar_t letter);
// "\\.\PhysicalDriveN" of a disk number.
std::wstring PhysicalDrivePath(int diskNumber);

// Little-endian fields of on-disk structures.
inline uint16_t Le16(const BYTE* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const BYTE* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline uint64_t Le64(const BYTE* p) { return (uint64_t)Le32(p) | ((uint64_t)Le32(p + 4) << 32); }
