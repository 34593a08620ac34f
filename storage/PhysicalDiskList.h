// The physical disks offered for whole-disk scans.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

class CPhysicalDiskInfo
{
public:
    CPhysicalDiskInfo();

    std::wstring m_strModel;        // IDENTIFY words 27-46, or "Hard Disk"
    std::wstring m_strSerial;       // words 10-19
    std::wstring m_strFirmware;     // words 23-26
    int m_nMediaKind;               // 2 removable, 1 fixed, 0 unknown
    unsigned __int64 m_SectorCount; // 512-byte sectors
    unsigned __int64 m_TotalBytes;
    float m_fSizeGB;
    int m_nDiskNumber;              // N of "\\.\PhysicalDrive%d"
    // The disk's logical sector size, in which its table and every partition
    // on it count; 0 when not known yet (the reader then asks the disk).
    unsigned int m_uSectorSize;
};

class CPhysicalDiskList
{
public:
    enum { kMaxDisks = 16 };

    CPhysicalDiskList();
    ~CPhysicalDiskList();

    // AddDisk for disks 0 to 15; 1 when any disk answered the SMART identify.
    int EnumerateDisks();
    // 0 only when the drive does not exist; *pbIdentified = 1 after a SMART identify.
    int AddDisk(int diskNumber, int* pbIdentified);
    // Appends a record made from 256 words of ATA IDENTIFY data.
    void AddFromIdentify(int diskNumber, const WORD* words);

    int GetCount() const { return (int)m_Disks.size(); }
    CPhysicalDiskInfo* GetDisk(int index) const;
    unsigned __int64 GetDiskBytes(int index) const;
    float GetDiskGB(int index) const;
    unsigned __int64 GetDiskSectors(int index) const;
    void DeleteAll();

private:
    CPhysicalDiskList(const CPhysicalDiskList&);
    CPhysicalDiskList& operator=(const CPhysicalDiskList&);
    BOOL SendIdentify(HANDLE hDisk, BYTE command, int diskNumber, WORD* words);
    void AddFromSize(int diskNumber, unsigned __int64 sectors);
    static void SetSize(CPhysicalDiskInfo* d, unsigned __int64 sectors);

    std::vector<CPhysicalDiskInfo*> m_Disks;
};

// Text of an inclusive range of IDENTIFY words: high byte first, trailing
// spaces removed, converted with the ANSI code page.
std::wstring GetAtaString(const WORD* words, int first, int last);
// The same text, 8-bit as the words give it: a zero byte ends it, and
// trailing blanks are removed but never the first character.
std::string IdentifyWordsToString(const WORD* words, int first, int last);
