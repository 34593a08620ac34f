#include "storage/DeviceIo.h"

#include <cwctype>

#include <winioctl.h>
#include <cstddef>
#include <cstring>
#include <vector>

static StorageIoControlFn g_pfnIoControl = NULL;

BOOL StorageDeviceIoControl(HANDLE hDevice, DWORD code, void* in, DWORD inSize, void* out,
                            DWORD outSize, DWORD* returned)
{
    DWORD dummy = 0;
    if (!returned)
        returned = &dummy;
    StorageIoControlFn fn = g_pfnIoControl ? g_pfnIoControl : &DeviceIoControl;
    return fn(hDevice, code, in, inSize, out, outSize, returned, NULL);
}

StorageIoControlFn SetStorageIoControlHook(StorageIoControlFn fn)
{
    StorageIoControlFn old = g_pfnIoControl;
    g_pfnIoControl = fn;
    return old;
}

HANDLE OpenRawReadOnly(const wchar_t* path, DWORD attributes)
{
    if (!path)
        return INVALID_HANDLE_VALUE;
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       attributes, NULL);
}

unsigned __int64 QueryDeviceLength(HANDLE hDevice, int bDevice)
{
    if (hDevice == NULL || hDevice == INVALID_HANDLE_VALUE)
        return 0;
    if (bDevice) {
        GET_LENGTH_INFORMATION len = {};
        DWORD got = 0;
        if (StorageDeviceIoControl(hDevice, IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &len, sizeof(len),
                                   &got) && got >= sizeof(len) && len.Length.QuadPart > 0)
            return (unsigned __int64)len.Length.QuadPart;
        DISK_GEOMETRY_EX geo = {};
        got = 0;
        if (StorageDeviceIoControl(hDevice, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, NULL, 0, &geo,
                                   sizeof(geo), &got) &&
            got >= offsetof(DISK_GEOMETRY_EX, Data) && geo.DiskSize.QuadPart > 0)
            return (unsigned __int64)geo.DiskSize.QuadPart;
    }
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(hDevice, &size) && size.QuadPart > 0)
        return (unsigned __int64)size.QuadPart;
    return 0;
}

namespace {
StorageReadFn g_pfnReadHook = NULL;
}  // namespace

StorageReadFn SetStorageReadHook(StorageReadFn fn)
{
    StorageReadFn old = g_pfnReadHook;
    g_pfnReadHook = fn;
    return old;
}

bool StorageReadHooked() { return g_pfnReadHook != NULL; }

DWORD ReadAt(HANDLE hDevice, unsigned __int64 offset, void* buffer, DWORD size)
{
    return g_pfnReadHook ? g_pfnReadHook(hDevice, offset, buffer, size) : RawReadAt(hDevice, offset, buffer, size);
}

DWORD ReadAtAligned(HANDLE hDevice, unsigned __int64 offset, void* buffer, DWORD size, DWORD align)
{
    if (!buffer || size == 0)
        return 0;
    if (align < 2 || (align & (align - 1)) != 0 || align > 65536 ||
        (offset % align == 0 && size % align == 0))
        return ReadAt(hDevice, offset, buffer, size);
    const unsigned __int64 from = offset / align * align;
    const unsigned __int64 to = (offset + size + align - 1) / align * align;
    if (to - from > 64ull * 1024 * 1024)
        return ReadAt(hDevice, offset, buffer, size);
    std::vector<unsigned char> span((size_t)(to - from));
    const DWORD got = ReadAt(hDevice, from, span.data(), (DWORD)span.size());
    const DWORD lead = (DWORD)(offset - from);
    if (got <= lead)
        return ReadAt(hDevice, offset, buffer, size);
    const DWORD useful = got - lead < size ? got - lead : size;
    memcpy(buffer, span.data() + lead, useful);
    return useful;
}

DWORD ReadBootSectors(HANDLE hDevice, unsigned __int64 offset, void* buffer4096)
{
    if (!buffer4096 || hDevice == NULL || hDevice == INVALID_HANDLE_VALUE)
        return 0;
    memset(buffer4096, 0, 4096);
    const DWORD got = ReadAt(hDevice, offset, buffer4096, 4096);
    if (got >= 512)
        return got;
    memset(buffer4096, 0, 4096);
    return ReadAt(hDevice, offset, buffer4096, 512) == 512 ? 512 : 0;
}

DWORD RawReadAt(HANDLE hDevice, unsigned __int64 offset, void* buffer, DWORD size)
{
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)offset;
    if (!SetFilePointerEx(hDevice, li, NULL, FILE_BEGIN))
        return 0;
    DWORD got = 0;
    if (!ReadFile(hDevice, buffer, size, &got, NULL))
        return 0;
    return got;
}

std::wstring PhysicalDrivePath(int diskNumber) {
  return L"\\\\.\\PhysicalDrive" + std::to_wstring(diskNumber);
}

std::wstring DriveLetterPath(wchar_t letter) {
  if (!iswalpha(letter)) return std::wstring();
  const wchar_t path[] = {L'\\', L'\\', L'.', L'\\', letter, L':', 0};
  return path;
}
