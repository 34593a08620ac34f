#include "storage/VolumeList.h"

#include <cstdio>
#include <new>

#include "core/Language.h"
#include "storage/DeviceIo.h"
#include "storage/PartitionTable.h"

namespace {
std::wstring SizeText(unsigned __int64 clusters, DWORD sectorsPerCluster, DWORD bytesPerSector)
{
    unsigned __int64 bytes = clusters * sectorsPerCluster * bytesPerSector;
    unsigned __int64 mb = bytes / 1048576ull;
    float gb = (float)mb / 1024.0f;
    wchar_t text[64];
    if (gb < 1.0f)
        swprintf(text, 64, L"%dM", (int)mb);
    else
        swprintf(text, 64, L"%.02fG", gb);
    return text;
}

void ApplyLabelFallback(CVolumeInfo* v)
{
    if (v->m_strLabel.empty())
        v->m_strLabel = GetUIText(L"LocalDiskVolumeName");
}

void DeleteRecords(std::vector<CVolumeInfo*>& list)
{
    for (size_t i = 0; i < list.size(); ++i)
        delete list[i];
    list.clear();
}
}  // namespace

std::wstring VolumeDevicePath(const std::wstring& root)
{
    return L"\\\\.\\" + root.substr(0, 2);
}

CVolumeInfo::CVolumeInfo()
    : m_dwSectorsPerCluster(0), m_dwBytesPerSector(0), m_dwFreeClusters(0), m_dwTotalClusters(0),
      m_Length(0), m_uDriveType(0)
{
    m_DeviceNumber.DeviceType = 0;
    m_DeviceNumber.DeviceNumber = 0;
    m_DeviceNumber.PartitionNumber = 0;
}

// A RAW record counts its clusters in bytes, of which 32 bits hold only what
// lies below 4 GiB: its length says the rest.
std::wstring CVolumeInfo::GetTotalSizeText() const
{
    if (IsRawRecord())
        return SizeText(m_Length, 1, 1);
    return SizeText(m_dwTotalClusters, m_dwSectorsPerCluster, m_dwBytesPerSector);
}

std::wstring CVolumeInfo::GetFreeSizeText() const
{
    if (IsRawRecord())
        return SizeText(m_Length, 1, 1);
    return SizeText(m_dwFreeClusters, m_dwSectorsPerCluster, m_dwBytesPerSector);
}

bool CVolumeInfo::IsRawRecord() const
{
    // Known by its byte-sized clusters: its name may be the one its boot
    // sector gave it.
    return m_Length != 0 && m_dwSectorsPerCluster == 1 && m_dwBytesPerSector == 1;
}

void CVolumeInfo::QueryDevice()
{
    if (m_strRoot.empty())
        return;
    HANDLE h = OpenRawReadOnly(VolumeDevicePath(m_strRoot).c_str(), 0);
    if (h == INVALID_HANDLE_VALUE)
        return;
    STORAGE_DEVICE_NUMBER num = {};
    if (StorageDeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &num, sizeof(num), NULL))
        m_DeviceNumber = num;
    // The length control code first; where the driver does not answer it,
    // the geometry or the size of the underlying file.
    unsigned __int64 len = QueryDeviceLength(h, 1);
    if (len)
        m_Length = len;
    // The file system the volume's own boot sector names; the system's name
    // is only a hint: it calls a volume it cannot read "RAW", and a drive
    // mapped onto a folder after that folder's host. 4096 bytes suit every
    // sector size up to 4 KiB.
    unsigned char* boot = new (std::nothrow) unsigned char[4096];
    if (boot) {
        if (ReadBootSectors(h, 0, boot) >= 512) {
            const wchar_t* name = NULL;
            switch (DetectFileSystem(boot)) {
            case FS_NTFS:
                name = L"NTFS";
                break;
            case FS_FAT32:
                name = L"FAT32";
                break;
            case FS_FAT16:
                name = L"FAT";
                break;
            case FS_EXFAT:
                name = L"exFAT";
                break;
            default:
                break;
            }
            if (name)
                m_strFileSystem = name;
        }
        delete[] boot;
    }
    CloseHandle(h);
}

int CVolumeInfo::GetPartitionInfo(PARTITION_INFORMATION* out) const
{
    if (!out || m_strRoot.empty())
        return 0;
    HANDLE h = OpenRawReadOnly(VolumeDevicePath(m_strRoot).c_str(), 0);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    BOOL ok = StorageDeviceIoControl(h, IOCTL_DISK_GET_PARTITION_INFO, NULL, 0, out,
                                     sizeof(PARTITION_INFORMATION), NULL);
    CloseHandle(h);
    return ok ? 1 : 0;
}

int GetVolumeDiskNumber(wchar_t letter, VolumeDiskEntry* out)
{
    HANDLE h = OpenRawReadOnly(DriveLetterPath(letter).c_str(), 0);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    union {
        VOLUME_DISK_EXTENTS extents;
        unsigned char raw[32];
    } buf = {};
    DWORD disk = 0;
    if (StorageDeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, NULL, 0, &buf, sizeof(buf), NULL) &&
        buf.extents.NumberOfDiskExtents > 0)
        disk = buf.extents.Extents[0].DiskNumber;
    if (out) {
        out->letter = letter;
        out->diskNumber = disk;
    }
    CloseHandle(h);
    return 1;
}

CVolumeList::CVolumeList() {}

CVolumeList::~CVolumeList()
{
    DeleteAll();
}

void CVolumeList::DeleteAll()
{
    DeleteRecords(m_Fixed);
    DeleteRecords(m_Raw);
    DeleteRecords(m_Removable);
}

int CVolumeList::EnumerateVolumes()
{
    wchar_t roots[1024] = {};
    if (GetLogicalDriveStringsW(1023, roots) == 0)
        return 0;
    for (const wchar_t* r = roots; *r && r < roots + 1023; r += wcslen(r) + 1) {
        if (r[0] <= L'B')
            continue;
        if (!AddFixedVolume(r))
            AddRawVolume(r);
    }
    return 1;
}

int CVolumeList::RefreshRemovable()
{
    wchar_t roots[1024] = {};
    if (GetLogicalDriveStringsW(1023, roots) == 0)
        return 0;
    DeleteRecords(m_Removable);
    for (const wchar_t* r = roots; *r && r < roots + 1023; r += wcslen(r) + 1) {
        if (r[0] > L'B')
            AddRemovableVolume(r);
    }
    return 1;
}

CVolumeInfo* CVolumeList::MakeFilesystemVolume(const wchar_t* root, UINT driveType)
{
    wchar_t label[260] = {};
    wchar_t fs[260] = {};
    if (!GetVolumeInformationW(root, label, 259, NULL, NULL, NULL, fs, 259))
        return NULL;
    CVolumeInfo* v = new (std::nothrow) CVolumeInfo;
    if (!v)
        return NULL;
    v->m_uDriveType = driveType;
    v->m_strRoot = root;
    v->m_strLabel = label;
    v->m_strFileSystem = fs;
    DWORD spc = 0, bps = 0, freeC = 0, totalC = 0;
    if (GetDiskFreeSpaceW(root, &spc, &bps, &freeC, &totalC)) {
        v->m_dwSectorsPerCluster = spc;
        v->m_dwBytesPerSector = bps;
        v->m_dwFreeClusters = freeC;
        v->m_dwTotalClusters = totalC;
    }
    v->QueryDevice();
    ApplyLabelFallback(v);
    return v;
}

int CVolumeList::AddFixedVolume(const wchar_t* root)
{
    if (!root || GetDriveTypeW(root) != DRIVE_FIXED)
        return 0;
    CVolumeInfo* v = MakeFilesystemVolume(root, DRIVE_FIXED);
    if (!v)
        return 0;
    m_Fixed.push_back(v);
    return 1;
}

int CVolumeList::AddRemovableVolume(const wchar_t* root)
{
    if (!root || GetDriveTypeW(root) != DRIVE_REMOVABLE)
        return 0;
    // The RAW record the enumeration made for this medium, if any.
    CVolumeInfo* raw = NULL;
    for (size_t i = 0; i < m_Raw.size(); ++i) {
        if (_wcsicmp(m_Raw[i]->m_strRoot.c_str(), root) == 0) {
            raw = m_Raw[i];
            m_Raw.erase(m_Raw.begin() + i);
            break;
        }
    }
    // A medium with a file system replaces its RAW record. One without (a
    // damaged or unformatted card) stays a removable volume, RAW, so that it
    // can still be chosen for a deep scan.
    CVolumeInfo* v = MakeFilesystemVolume(root, DRIVE_REMOVABLE);
    if (v) {
        delete raw;
    } else {
        v = raw ? raw : MakeRawVolume(root, DRIVE_REMOVABLE);
        if (!v)
            return 0;
    }
    m_Removable.push_back(v);
    return 1;
}

int CVolumeList::AddRawVolume(const wchar_t* root)
{
    if (!root)
        return 0;
    UINT type = GetDriveTypeW(root);
    if (type == DRIVE_REMOTE || type == DRIVE_CDROM)
        return 0;
    CVolumeInfo* v = MakeRawVolume(root, type);
    if (!v)
        return 0;
    m_Raw.push_back(v);
    return 1;
}

CVolumeInfo* CVolumeList::MakeRawVolume(const wchar_t* root, UINT type)
{
    CVolumeInfo* v = new (std::nothrow) CVolumeInfo;
    if (!v)
        return NULL;
    v->m_uDriveType = type;
    v->m_strRoot = root;
    v->m_strFileSystem = L"RAW";
    v->m_dwSectorsPerCluster = 1;
    v->m_dwBytesPerSector = 1;
    HANDLE h = OpenRawReadOnly(VolumeDevicePath(v->m_strRoot).c_str(), 0);
    if (h != INVALID_HANDLE_VALUE) {
        unsigned __int64 len = QueryDeviceLength(h, 1);
        v->m_dwTotalClusters = (DWORD)len;
        v->m_dwFreeClusters = v->m_dwTotalClusters;
        CloseHandle(h);
    }
    v->QueryDevice();
    if (v->m_Length == 0 && v->m_dwTotalClusters == 0) {
        delete v;
        return NULL;
    }
    ApplyLabelFallback(v);
    return v;
}

CVolumeInfo* CVolumeList::GetAtOrNull(int index) const
{
    if (index < 0 || index >= (int)m_Fixed.size())
        return NULL;
    return m_Fixed[index];
}

CVolumeInfo* CVolumeList::FindVolumeByLetter(wchar_t letter) const
{
    const std::vector<CVolumeInfo*>* lists[3] = {&m_Fixed, &m_Removable, &m_Raw};
    for (int k = 0; k < 3; ++k)
        for (size_t i = 0; i < lists[k]->size(); ++i)
            if (!(*lists[k])[i]->m_strRoot.empty() && (*lists[k])[i]->m_strRoot[0] == letter)
                return (*lists[k])[i];
    return NULL;
}

int CVolumeList::CollectVolumesOnDisk(DWORD diskNumber, std::vector<CVolumeInfo*>& out) const
{
    int any = 0;
    for (size_t i = 0; i < m_Fixed.size(); ++i) {
        if (m_Fixed[i]->IsOnDisk(diskNumber)) {
            out.push_back(m_Fixed[i]);
            any = 1;
        }
    }
    return any;
}

int CVolumeList::GetVolumeDiskMap(std::vector<VolumeDiskEntry>& out) const
{
    out.clear();
    const std::vector<CVolumeInfo*>* lists[3] = {&m_Fixed, &m_Removable, &m_Raw};
    for (int k = 0; k < 3; ++k) {
        for (size_t i = 0; i < lists[k]->size(); ++i) {
            const std::wstring& root = (*lists[k])[i]->m_strRoot;
            if (root.empty())
                continue;
            VolumeDiskEntry e = {};
            if (GetVolumeDiskNumber(root[0], &e))
                out.push_back(e);
        }
    }
    return (int)out.size();
}
