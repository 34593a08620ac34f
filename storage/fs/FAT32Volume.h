// Read-only reader of a FAT32 file system: boot-sector geometry, FAT entries
// through a one-page cache, cluster chains, cluster reads, and the names,
// times and recoverability of 32-byte directory entries.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "storage/fs/FatCommon.h"

class CFAT32Volume {
 public:
  CFAT32Volume();
  explicit CFAT32Volume(wchar_t letter);
  virtual ~CFAT32Volume();
  // Byte offset of the file system inside the opened device (0 for a volume).
  virtual uint64_t GetPartitionOffset() const { return 0; }

  // Opens "\\.\X:" read-only and checks the boot sector. 1 or 0.
  int Open(wchar_t letter);
  // Opens any path (volume, disk or image file) read-only and reads the boot
  // sector at GetPartitionOffset(). Every open goes through here.
  int OpenPath(const wchar_t* path);
  void Close();

  int ReadCluster(uint32_t cluster, void* buffer, DWORD bytes);
  // FAT1 entry of a cluster, its top four (reserved) bits masked off.
  int GetFatEntry(uint32_t cluster, uint32_t* value);
  int GetFileClusterList(uint32_t firstCluster, ClusterList& list, uint32_t size);
  std::wstring FormatDosTime(WORD date, WORD time) const;
  std::wstring GetShortName(const FatDirEntry* entry) const;
  std::wstring GetLongName(const FatDirEntry* entries, size_t shortIndex) const;
  int GetRecoverablePercent(const FatDirEntry* entry);
  int IsValidCluster(uint32_t cluster) const { return cluster >= 2 && cluster <= 0x0FFFFFEF; }
  wchar_t GetDriveLetter() const { return m_cDriveLetter; }

  int IsValid() const { return m_bValid; }
  HANDLE GetHandle() const { return m_hDevice; }
  DWORD GetClusterSize() const { return m_dwClusterBytes; }
  DWORD GetRootCluster() const { return m_dwRootCluster; }
  DWORD GetNumberOfFats() const { return m_dwNumberOfFats; }
  // Highest cluster number of the data area (clusters run 2 .. this).
  DWORD GetMaxCluster() const { return m_dwMaxCluster; }
  uint64_t GetDataOffset() const { return m_u64DataOffset; }
  // Parses a boot sector into the geometry; FALSE for anything not sane.
  BOOL ParseBootSector(const BYTE* boot);

 protected:
  wchar_t m_cDriveLetter = 0;
  int m_bValid = 0;
  HANDLE m_hDevice = INVALID_HANDLE_VALUE;
  WORD m_wBytesPerSector = 0;
  WORD m_wReservedSectors = 0;
  DWORD m_dwClusterBytes = 4096;
  DWORD m_dwRootCluster = 0;
  DWORD m_dwFatSectors = 0;
  DWORD m_dwNumberOfFats = 0;
  uint64_t m_u64Fat1Offset = 0;
  uint64_t m_u64Fat2Offset = 0;
  uint64_t m_u64DataOffset = 0;
  uint32_t m_FatPage[1024];
  int m_nCachedPage = -1;
  // Beyond the boot-sector fields: bounds of the FAT and the data area.
  DWORD m_dwMaxCluster = 0;   // last cluster number of the data area
  DWORD m_dwFatEntries = 0;   // entries one FAT holds
  DWORD m_dwPageBytes = 0;
  int m_nFailedPage = -1;    // last page whose read failed: not retried entry by entry    // bytes of the cached page that were read
};

// A FAT32 file system at a byte offset inside a physical disk or an image.
class CLostFAT32Volume : public CFAT32Volume {
 public:
  CLostFAT32Volume() = default;
  CLostFAT32Volume(int diskNumber, DWORD offsetLow, DWORD offsetHigh);
  ~CLostFAT32Volume() override;
  uint64_t GetPartitionOffset() const override {
    return ((uint64_t)m_dwOffsetHigh << 32) | m_dwOffsetLow;
  }
  // Opens `path` (a disk or an image file) with the file system at `offset`.
  int OpenPath(const wchar_t* path, uint64_t offset);
  using CFAT32Volume::OpenPath;

 protected:
  int m_nDiskNumber = -1;
  DWORD m_dwOffsetLow = 0;
  DWORD m_dwOffsetHigh = 0;
};
