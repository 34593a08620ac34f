#include "engine/RecoverTarget.h"

#include <winioctl.h>

#include <cstddef>
#include <cwctype>
#include <vector>

#include "core/Helpers.h"
#include "core/Log.h"
#include "engine/RecoverFile.h"
#include "storage/PartitionTable.h"
#include "storage/DeviceIo.h"

std::wstring SafeRecoverName(const std::wstring& name)
{
    std::wstring r = name;
    // Windows drops trailing dots and blanks: "a." would be "a", ".." the parent.
    while (!r.empty() && (r.back() == L'.' || r.back() == L' '))
        r.pop_back();
    if (r.empty())
        return L"_";
    return MakeSafeFileName(r);
}

namespace
{
bool EqualsNoCase(const std::wstring& a, const wchar_t* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (towupper(a[i]) != towupper(b[i]))
            return false;
    return i == a.size() && b[i] == 0;
}

std::wstring WithoutTrailingSlash(std::wstring path)
{
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    return path;
}

// Root of the volume that holds path ("X:\", or a mounted folder), resolved
// as far up as exists; empty when it cannot be told.
std::wstring VolumeRootOf(const std::wstring& path)
{
    if (path.empty())
        return std::wstring();
    wchar_t full[MAX_PATH * 4];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 4, full, nullptr);
    const std::wstring absolute = n && n < MAX_PATH * 4 ? std::wstring(full, n) : path;
    wchar_t root[MAX_PATH * 4];
    if (GetVolumePathNameW(absolute.c_str(), root, MAX_PATH * 4))
        return root;
    if (absolute.size() >= 2 && iswalpha(absolute[0]) && absolute[1] == L':')
        return absolute.substr(0, 2) + L"\\";
    return std::wstring();
}

wchar_t LetterOfRoot(const std::wstring& root)
{
    return root.size() >= 2 && iswalpha(root[0]) && root[1] == L':' ? (wchar_t)towupper(root[0]) : 0;
}

// "\\?\Volume{...}\" of a volume root; empty when the system has none.
std::wstring VolumeGuidOf(const std::wstring& root)
{
    if (root.empty())
        return std::wstring();
    std::wstring r = root;
    if (r.back() != L'\\')
        r += L'\\';
    wchar_t name[64] = {};
    if (!GetVolumeNameForVolumeMountPointW(r.c_str(), name, 64))
        return std::wstring();
    std::wstring g = name;
    for (wchar_t& c : g)
        c = (wchar_t)towupper(c);
    return g;
}

// Whether two volume roots are the same volume: the same letter, or the same
// volume name (a volume mounted on a folder answers with its own name).
bool SameVolume(const std::wstring& a, const std::wstring& b)
{
    const wchar_t la = LetterOfRoot(a), lb = LetterOfRoot(b);
    if (la && lb && la == lb && a.size() <= 3 && b.size() <= 3)
        return true;
    const std::wstring ga = VolumeGuidOf(a), gb = VolumeGuidOf(b);
    return !ga.empty() && ga == gb;
}

// Where a volume lies: the disk and byte ranges the system tells for it
// (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS), else only a disk number
// (IOCTL_STORAGE_GET_DEVICE_NUMBER), else nothing.
struct VolumePlacement
{
    int disk = -1;
    std::vector<DISK_EXTENT> extents;  // empty: the system did not say
};

VolumePlacement PlacementOfDevice(const std::wstring& device)
{
    VolumePlacement placement;
    HANDLE h = OpenRawReadOnly(device.c_str(), 0);
    if (h == INVALID_HANDLE_VALUE)
        return placement;
    const DWORD kMaxExtents = 16;
    std::vector<BYTE> buffer(sizeof(VOLUME_DISK_EXTENTS) + kMaxExtents * sizeof(DISK_EXTENT));
    DWORD got = 0;
    if (StorageDeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(),
                               (DWORD)buffer.size(), &got) &&
        got >= sizeof(VOLUME_DISK_EXTENTS))
    {
        const VOLUME_DISK_EXTENTS* e = (const VOLUME_DISK_EXTENTS*)buffer.data();
        // Only the extents the answer holds: a short answer is not read past.
        const DWORD held = (DWORD)((got - offsetof(VOLUME_DISK_EXTENTS, Extents)) / sizeof(DISK_EXTENT));
        const DWORD n = e->NumberOfDiskExtents < held ? e->NumberOfDiskExtents : held;
        for (DWORD i = 0; i < n; ++i)
            placement.extents.push_back(e->Extents[i]);
        if (!placement.extents.empty())
            placement.disk = (int)placement.extents[0].DiskNumber;
    }
    if (placement.disk < 0)
    {
        STORAGE_DEVICE_NUMBER number = {};
        got = 0;
        if (StorageDeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof(number), &got) &&
            got >= sizeof(number) && number.DeviceType == FILE_DEVICE_DISK)
            placement.disk = (int)number.DeviceNumber;
    }
    CloseHandle(h);
    return placement;
}

// The same file (also through another name of it), when both exist.
bool SameFile(const std::wstring& a, const std::wstring& b)
{
    HANDLE ha = CreateFileW(a.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    HANDLE hb = CreateFileW(b.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    bool same = false;
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (ha != INVALID_HANDLE_VALUE && hb != INVALID_HANDLE_VALUE && GetFileInformationByHandle(ha, &ia) &&
        GetFileInformationByHandle(hb, &ib))
        same = ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
               ia.nFileIndexLow == ib.nFileIndexLow;
    if (ha != INVALID_HANDLE_VALUE)
        CloseHandle(ha);
    if (hb != INVALID_HANDLE_VALUE)
        CloseHandle(hb);
    if (!same)
    {
        wchar_t fa[MAX_PATH * 4], fb[MAX_PATH * 4];
        DWORD na = GetFullPathNameW(a.c_str(), MAX_PATH * 4, fa, nullptr);
        DWORD nb = GetFullPathNameW(b.c_str(), MAX_PATH * 4, fb, nullptr);
        same = na && nb && na < MAX_PATH * 4 && nb < MAX_PATH * 4 && lstrcmpiW(fa, fb) == 0;
    }
    return same;
}
}  // namespace

bool FitsSystemPath(const std::wstring& path, size_t reserve)
{
    // The long form adds "\\?\" (or "\\?\UNC" for a share) and the
    // system counts a terminating zero.
    const size_t added = path.compare(0, 4, L"\\\\?\\") == 0 ? 0 : path.compare(0, 2, L"\\\\") == 0 ? 6 : 4;
    return path.size() + added + reserve < kMaxSystemPath;
}

std::wstring KeepPathFolder(const std::wstring& target, const std::wstring& entryPath, bool dropDrive,
                            const std::wstring& recycleText)
{
    std::wstring folder = WithoutTrailingSlash(target);
    std::wstring path = entryPath;
    if (dropDrive)
        path = path.size() > 2 ? path.substr(2) : std::wstring();
    size_t i = 0;
    while (i < path.size())
    {
        size_t j = path.find_first_of(L"\\/", i);
        if (j == std::wstring::npos)
            j = path.size();
        const std::wstring part = path.substr(i, j - i);
        i = j + 1;
        if (part.empty())
            continue;
        const std::wstring name = EqualsNoCase(part, L"$RECYCLE.BIN") && !recycleText.empty() ? recycleText : part;
        if (!folder.empty() && folder.back() != L'\\')
            folder += L'\\';
        folder += SafeRecoverName(name);
    }
    return folder;
}

std::wstring CCarvedFolderLayout::NextFolder(const std::string& extension)
{
    std::wstring base;
    if (m_bByType)
    {
        // The extension comes from a plug-in or a loaded result: one safe component.
        std::wstring ext;
        for (char c : extension)
            ext += (wchar_t)(unsigned char)c;
        base = ext.empty() ? L"bin" : SafeRecoverName(ext);
    }
    else
    {
        base = L"Delvaro";
    }
    Slot& slot = m_slots[base];
    if (++slot.count > kFilesPerFolder)
    {
        slot.count = 1;
        ++slot.overflow;
    }
    std::wstring folder = WithoutTrailingSlash(m_strTarget) + L"\\" + base;
    if (slot.overflow)
        folder += L"." + std::to_wstring(slot.overflow);
    return folder;
}

bool TargetFreeBytes(const std::wstring& target, uint64_t* freeBytes)
{
    if (!freeBytes)
        return false;
    const std::wstring root = VolumeRootOf(target);
    if (root.empty())
        return false;
    ULARGE_INTEGER available = {}, total = {}, free = {};
    if (!GetDiskFreeSpaceExW(root.c_str(), &available, &total, &free))
        return false;
    *freeBytes = available.QuadPart;
    return true;
}

namespace
{
VolumePlacement PlacementOfPath(const std::wstring& path)
{
    const std::wstring root = VolumeRootOf(path);
    if (root.empty())
        return VolumePlacement();
    const wchar_t letter = LetterOfRoot(root);
    if (letter && root.size() <= 3)
        return PlacementOfDevice(DriveLetterPath(letter));
    // A folder a volume is mounted on: the volume by its name, without the
    // trailing backslash that would name its root folder.
    std::wstring guid = VolumeGuidOf(root);
    if (guid.empty())
        return VolumePlacement();
    guid.pop_back();
    return PlacementOfDevice(guid);
}

bool IsTargetOverLostPartition(const ILostPartitionSource& lost, int disk, const std::wstring& target,
                               TargetConflict* why)
{
    // The partition's bytes on its disk; unknown bounds stand for the whole
    // disk.
    const CPartitionInfo* part = lost.GetCurrentPartition();
    const uint64_t sector = lost.GetSectorSize() ? lost.GetSectorSize() : 512;
    const uint64_t first = part ? part->m_StartSector * sector : 0;
    const uint64_t end = part && part->m_SectorCount ? first + part->m_SectorCount * sector : UINT64_MAX;
    const VolumePlacement placement = PlacementOfPath(target);
    for (const DISK_EXTENT& e : placement.extents)
    {
        const uint64_t start = (uint64_t)e.StartingOffset.QuadPart;
        const uint64_t length = (uint64_t)e.ExtentLength.QuadPart;
        const uint64_t stop = length > UINT64_MAX - start ? UINT64_MAX : start + length;
        if ((int)e.DiskNumber != disk || stop <= first || start >= end)
            continue;
        if (why)
        {
            why->disk = disk;
            why->volumeStart = start;
            why->volumeLength = length;
            why->partitionStart = first;
            why->partitionLength = end == UINT64_MAX ? 0 : end - first;
            why->sectorSize = (unsigned int)sector;
        }
        return true;
    }
    // A disk number alone does not place the target on the partition's
    // sectors (some systems answer one number for every drive); nor does
    // silence. Only a known overlap is refused.
    if (placement.extents.empty())
        DebugPrint(L"[Delvaro] recovery target %s: where it lies on disk %d is not known.\n", target.c_str(),
                   placement.disk);
    return false;
}
}  // namespace

int DiskNumberOfPath(const std::wstring& path)
{
    return PlacementOfPath(path).disk;
}

bool IsTargetOnScannedDevice(const ScannedSource& source, const std::wstring& target, TargetConflict* why)
{
    if (target.empty())
        return false;
    const std::wstring root = VolumeRootOf(target);
    int disk = -1;
    std::wstring image;
    if (source.scanKind == 4)
    {
        if (source.lost)
        {
            const std::wstring path = source.lost->GetDiskPath();
            if (path.compare(0, 4, L"\\\\.\\") == 0)
                return IsTargetOverLostPartition(*source.lost, source.lost->GetDiskNumber(), target, why);
            image = path;
        }
    }
    // Whole-disk reads: any volume of that disk.
    else if (source.scanKind == 1 && source.targetKind == 2)
    {
        disk = source.diskNumber;
    }
    else if (source.scanKind == 1 && source.targetKind == 0)
    {
        image = source.imagePath;
    }
    if (disk >= 0)
    {
        const int targetDisk = DiskNumberOfPath(target);
        if (targetDisk == disk)
        {
            if (why)
            {
                *why = TargetConflict();
                why->disk = disk;
            }
            return true;
        }
        if (targetDisk < 0)
            DebugPrint(L"[Delvaro] recovery target %s: its disk is not known.\n", target.c_str());
        return false;
    }
    if (!image.empty())
        return SameFile(target, image);
    if (root.empty())
        return false;
    // Volume reads: the scanned volume, or each entry's volume.
    std::vector<std::wstring> roots;
    if (source.scanKind == 3)
    {
        for (wchar_t l : source.entryLetters)
            if (iswalpha(l))
                roots.push_back(std::wstring(1, (wchar_t)towupper(l)) + L":\\");
    }
    else if (!source.volumeRoot.empty())
    {
        roots.push_back(source.volumeRoot.substr(0, 3));
    }
    for (const std::wstring& r : roots)
        if (SameVolume(root, r))
            return true;
    return false;
}
