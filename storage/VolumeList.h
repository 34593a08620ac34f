// The logical volumes (drive letters) offered for scanning.
#pragma once
#include <windows.h>
#include <winioctl.h>
#include <string>
#include <vector>

class CVolumeInfo
{
public:
    CVolumeInfo();

    // "%dM" below 1 GiB, else "%.02fG".
    std::wstring GetTotalSizeText() const;
    std::wstring GetFreeSizeText() const;
    // A volume without a recognised file system, counted in bytes.
    bool IsRawRecord() const;
    // Device number, length and file system (the one its boot sector names,
    // when it names one) of "\\.\X:"; fields stay as they are when the open
    // fails.
    void QueryDevice();
    // IOCTL_DISK_GET_PARTITION_INFO of the volume; 1 on success.
    int GetPartitionInfo(PARTITION_INFORMATION* out) const;
    int IsOnDisk(DWORD diskNumber) const { return m_DeviceNumber.DeviceNumber == diskNumber; }

    std::wstring m_strRoot;         // "C:\"
    std::wstring m_strLabel;
    std::wstring m_strFileSystem;   // "NTFS", "FAT32", "FAT", "exFAT", ... or "RAW"
    DWORD m_dwSectorsPerCluster;
    DWORD m_dwBytesPerSector;
    DWORD m_dwFreeClusters;
    DWORD m_dwTotalClusters;
    unsigned __int64 m_Length;      // bytes, 0 when unknown
    UINT m_uDriveType;
    STORAGE_DEVICE_NUMBER m_DeviceNumber;
};

struct VolumeDiskEntry
{
    DWORD letter;
    DWORD diskNumber;
};

// Opens "\\.\<letter>:" and reports the disk of its first extent; 0 when the
// volume cannot be opened.
int GetVolumeDiskNumber(wchar_t letter, VolumeDiskEntry* out);

// The text of the volume device for a root such as "C:\" ("\\.\C:").
std::wstring VolumeDevicePath(const std::wstring& root);

class CVolumeList
{
public:
    CVolumeList();
    ~CVolumeList();

    int EnumerateVolumes();
    int RefreshRemovable();
    int AddFixedVolume(const wchar_t* root);
    int AddRemovableVolume(const wchar_t* root);
    int AddRawVolume(const wchar_t* root);
    void DeleteAll();
    // Takes a record the caller filled (a volume known by other means) into
    // the fixed volumes.
    void Append(CVolumeInfo* record) { if (record) m_Fixed.push_back(record); }

    CVolumeInfo* GetAtOrNull(int index) const;
    CVolumeInfo* FindVolumeByLetter(wchar_t letter) const;
    int CollectVolumesOnDisk(DWORD diskNumber, std::vector<CVolumeInfo*>& out) const;
    int GetVolumeDiskMap(std::vector<VolumeDiskEntry>& out) const;

    const std::vector<CVolumeInfo*>& Fixed() const { return m_Fixed; }
    const std::vector<CVolumeInfo*>& Raw() const { return m_Raw; }
    const std::vector<CVolumeInfo*>& Removable() const { return m_Removable; }

private:
    CVolumeList(const CVolumeList&);
    CVolumeList& operator=(const CVolumeList&);
    CVolumeInfo* MakeFilesystemVolume(const wchar_t* root, UINT driveType);
    // A "RAW" record with the device's length; NULL when it has none.
    CVolumeInfo* MakeRawVolume(const wchar_t* root, UINT driveType);

    std::vector<CVolumeInfo*> m_Fixed;
    std::vector<CVolumeInfo*> m_Raw;
    std::vector<CVolumeInfo*> m_Removable;
};
