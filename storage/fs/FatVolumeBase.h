// What the FAT16, FAT32 and exFAT readers have in common: the read-only
// device and its open by letter or path with the boot-sector check, cluster
// reads of the data area, FAT entries through a one-page cache, and the count
// of free clusters behind a deleted entry's first cluster. Each reader keeps
// its own geometry and rules; the lost variants add the partition offset.
#pragma once
#include <windows.h>

#include <cstdint>

#include "storage/DeviceIo.h"

class CFatVolumeBase {
 public:
  // Entries in one cached page of the FAT.
  static const uint32_t kPageEntries = 1024;

  virtual ~CFatVolumeBase();
  // Byte offset of the file system inside the opened device (0 for a volume).
  virtual uint64_t GetPartitionOffset() const { return 0; }

  // Opens "\\.\X:" read-only and checks the boot sector. 1 or 0.
  int Open(wchar_t letter);
  // Opens any path (volume, disk or image file) read-only and reads the boot
  // sector at GetPartitionOffset(). Every open goes through here.
  int OpenPath(const wchar_t* path);
  void Close();

  // Parses a boot sector into the geometry; FALSE when it is not this kind's
  // or not sane.
  virtual BOOL ParseBootSector(const BYTE* boot) = 0;

  int IsValid() const { return m_bValid; }
  HANDLE GetHandle() const { return m_hDevice; }
  // The file system's sector size.
  DWORD GetSectorSize() const { return m_dwSectorBytes; }
  DWORD GetClusterSize() const { return m_dwClusterBytes; }
  wchar_t GetDriveLetter() const { return m_cDriveLetter; }

 protected:
  // entryBytes: 2 for FAT16, 4 for FAT32 and exFAT.
  explicit CFatVolumeBase(uint32_t entryBytes);

  // Called after a successful boot-sector parse, before the open reports success.
  virtual void OnOpened() {}

  // Reads `bytes` of cluster `cluster` (2 .. lastCluster) of the data area
  // that starts `dataOffset` bytes into the file system. 1 or 0.
  int ReadDataCluster(uint64_t dataOffset, uint64_t lastCluster, uint32_t cluster, void* buffer,
                      DWORD bytes);
  // Raw FAT entry of `cluster` (below m_dwFatEntries) of the FAT that starts
  // `fatOffset` bytes into the file system and is `fatBytes` long, through
  // the page cache. A page that failed to read is not retried entry by entry.
  int ReadFatEntry(uint64_t fatOffset, uint64_t fatBytes, uint32_t cluster, uint32_t* value);
  // Reads page `page` sector by sector after the page failed as a whole:
  // each sector from the first FAT, else from the copies behind it. The
  // bytes of the page that exist (0 when no sector could be read).
  DWORD LoadFatPageBySector(uint64_t fatStart, uint64_t fatBytes, uint64_t page);
  // How many of the clusters first .. first + n - 1 read as free (0) in the
  // FAT, `mask` applied; counting stops at the first cluster outside 2 .. last.
  uint64_t CountFreeRun(uint64_t first, uint64_t n, uint64_t last, uint64_t fatOffset,
                        uint64_t fatBytes, uint32_t mask);

  wchar_t m_cDriveLetter = 0;
  int m_bValid = 0;
  HANDLE m_hDevice = INVALID_HANDLE_VALUE;
  DWORD m_dwClusterBytes = 4096;
  DWORD m_dwFatEntries = 0;   // entries one FAT holds
  // One cached page of the first FAT: kPageEntries entries of m_dwEntryBytes.
  uint32_t m_FatPage[kPageEntries];
  int m_nCachedPage = -1;
  int m_nFailedPage = -1;     // last page whose read failed
  DWORD m_dwPageBytes = 0;    // bytes of the cached page that were read
  // The file system's sector size: FAT pages are read in whole sectors.
  DWORD m_dwSectorBytes = 512;
  // Copies of the FAT, one behind the other: a sector of the first that
  // cannot be read is taken from the next.
  DWORD m_dwFatCopies = 1;
  // Sectors of the cached page that could be read from no copy (bit i:
  // sector i); their entries are unknown.
  uint32_t m_uPageBadSectors = 0;

 private:
  const uint32_t m_dwEntryBytes;
};

// The same reader for a file system that starts at a byte offset inside a
// physical disk or an image (a lost or unmounted partition).
template <class Reader>
class CLostVolumeT : public Reader {
 public:
  CLostVolumeT() = default;
  // Opens "\\.\PhysicalDriveN" with the file system at the given offset.
  CLostVolumeT(int diskNumber, DWORD offsetLow, DWORD offsetHigh)
      : m_nDiskNumber(diskNumber), m_dwOffsetLow(offsetLow), m_dwOffsetHigh(offsetHigh) {
    Reader::OpenPath(PhysicalDrivePath(diskNumber).c_str());
  }
  uint64_t GetPartitionOffset() const override {
    return ((uint64_t)m_dwOffsetHigh << 32) | m_dwOffsetLow;
  }
  // Opens `path` (a disk or an image file) with the file system at `offset`.
  int OpenPath(const wchar_t* path, uint64_t offset) {
    m_dwOffsetLow = (DWORD)(offset & 0xFFFFFFFFu);
    m_dwOffsetHigh = (DWORD)(offset >> 32);
    return Reader::OpenPath(path);
  }
  using Reader::OpenPath;
  // Disk number given to the constructor, -1 when opened by path.
  int GetDiskNumber() const { return m_nDiskNumber; }

 protected:
  int m_nDiskNumber = -1;
  DWORD m_dwOffsetLow = 0;
  DWORD m_dwOffsetHigh = 0;
};
