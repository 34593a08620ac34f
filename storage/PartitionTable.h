// MBR (with extended chains) and GPT partition tables of a physical disk.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// File-system codes by which the partition scan picks a volume reader.
enum FileSystemCode
{
    FS_UNKNOWN = 0,
    FS_FAT16 = 6,
    FS_NTFS = 7,
    FS_FAT32 = 11,
    FS_EXFAT = -7,
};

// Classifies the first sector (at least 512 bytes) of a partition.
int DetectFileSystem(const unsigned char* bootSector);
// The sector size a recognised boot sector was made for (its bytes-per-
// sector field; exFAT's shift), 512 to 4096; 0 when it names none.
unsigned int BootSectorBytesPerSector(const unsigned char* bootSector);
// The logical sector size of a disk (or disk image) behind the handle: where
// its GPT header lies, else the size for which a table entry's start holds a
// boot sector made for that size, else the size a file system at sector 0
// was made for, else what the driver reports, else 512.
unsigned int DetectDiskSectorSize(HANDLE hDisk);

class CPartitionInfo
{
public:
    CPartitionInfo();

    // "%d MB" below 1 GB, else "%.02f GB"; empty for a zero-length entry.
    std::wstring GetSizeText() const;

    // The physical disk the partition lies on ("\\.\PhysicalDrive<n>");
    // -1 when it was read from a handle of unknown origin.
    int m_nDiskNumber;
    BOOL m_bActive;                 // MBR status byte 0x80; 0 for GPT
    BOOL m_bLogical;                // found inside an extended partition
    int m_nType;                    // MBR type byte; GPT: FileSystemCode of the boot sector
    int m_nScheme;                  // 1 MBR, 2 GPT
    unsigned int m_uSectorSize;     // bytes per sector of its disk (512 until known)
    unsigned __int64 m_StartSector; // absolute first sector
    unsigned __int64 m_SectorCount;
    unsigned __int64 m_HiddenSectors; // MBR: hidden sectors of the partition's boot sector
    std::wstring m_strName;         // GPT partition name
    std::wstring m_strTypeGuid;     // GPT type GUID "{...}"
    // The entry (or a found boot sector) claims sectors past the end of its
    // disk: shown as such, and nothing past the disk's end is read for it.
    BOOL m_bPastDiskEnd;
    // Read from a GPT entry array whose headers both failed their checks:
    // nothing vouches for the entry but its own plausibility.
    BOOL m_bUnverified;
};

class CPartitionTable
{
public:
    enum { SCHEME_MBR = 1, SCHEME_GPT = 2 };
    // Bounds that keep a damaged table from running away.
    enum
    {
        kMaxChainLinks = 128,          // extended boot records followed per disk
        kMaxGptEntries = 1024,         // entries read from one GPT array
        kMaxGptArrayBytes = 1024 * 1024,
    };

    CPartitionTable();
    ~CPartitionTable();

    // Reads the table of "\\.\PhysicalDrive<n>"; 1 when sector 0 was read
    // with its boot signature, else 0.
    int ReadFromDisk(int diskNumber);
    // The same over a handle the caller opened (a disk device or an image file).
    int ReadFromHandle(HANDLE hDisk);

    int GetCount() const { return (int)m_Items.size(); }
    // NULL for an index out of range.
    CPartitionInfo* GetAt(int index) const;
    int GetScheme() const { return m_nScheme; }
    unsigned int GetSectorSize() const { return m_uSectorSize; }
    // 1 when the GPT was taken from the backup header at the end of the disk.
    int UsedBackupGpt() const { return m_bUsedBackupGpt; }
    // 1 when neither GPT header passed its checks and the entry array was
    // read at its standard place (LBA 2) instead; its records are unverified.
    int UsedUnverifiedGpt() const { return m_bUnverifiedGpt; }

    // Reads count sectors (of the table's sector size) from sector; a new[]
    // buffer the caller deletes, or NULL.
    unsigned char* ReadSectors(HANDLE hDisk, unsigned __int64 sector, unsigned int count);

    void DeleteAll();

private:
    CPartitionTable(const CPartitionTable&);
    CPartitionTable& operator=(const CPartitionTable&);

    void ReadExtendedChain(HANDLE hDisk, unsigned __int64 ebrSector, unsigned __int64 extStart,
                           std::vector<unsigned __int64>& visited);
    int ReadGpt(HANDLE hDisk);
    int ReadGptAt(HANDLE hDisk, unsigned __int64 headerLba, unsigned __int64 diskSectors);
    int ReadGptEntries(HANDLE hDisk, const unsigned char* array, unsigned int count, unsigned int entrySize,
                       unsigned __int64 diskSectors, BOOL unverified);
    // An MBR or EBR entry whose status byte is neither 0x00 nor 0x80 is kept
    // only when its first sector holds a file system's boot sector.
    bool OddStatusEntryHoldsFileSystem(HANDLE hDisk, const unsigned char* entry, unsigned __int64 start);
    void AddMbrEntry(HANDLE hDisk, const unsigned char* entry, unsigned __int64 start, BOOL bLogical);
    unsigned __int64 GetDiskSectors(HANDLE hDisk);

    std::vector<CPartitionInfo*> m_Items;
    int m_nScheme;
    unsigned int m_uSectorSize;
    int m_bUsedBackupGpt;
    int m_bUnverifiedGpt;
};
