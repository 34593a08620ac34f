// Read-only reader of a FAT16 file system (FAT12 is refused): the same shape
// as the FAT32 reader with 16-bit FAT entries, plus the fixed root directory.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "storage/fs/FatCommon.h"

class CFATVolume {
 public:
  CFATVolume();
  explicit CFATVolume(wchar_t letter);
  // Virtual so that a lost volume held by a base pointer is closed right.
  virtual ~CFATVolume();
  virtual uint64_t GetPartitionOffset() const { return 0; }

  int Open(wchar_t letter);
  // Opens any path read-only and reads the boot sector at GetPartitionOffset().
  int OpenPath(const wchar_t* path);
  void Close();

  int ReadCluster(uint16_t cluster, void* buffer, DWORD bytes);
  int GetFatEntry(uint16_t cluster, uint16_t* value);
  int GetFileClusterList(uint16_t firstCluster, ClusterList16& list, uint32_t size);
  std::wstring FormatDosTime(WORD date, WORD time) const;
  std::wstring GetShortName(const FatDirEntry* entry) const;
  std::wstring GetLongName(const FatDirEntry* entries, size_t shortIndex) const;
  int GetRecoverablePercent(const FatDirEntry* entry);
  int IsValidCluster(uint32_t cluster) const {
    uint16_t c = (uint16_t)cluster;
    return c >= 2 && c <= 0xFFEF;
  }
  wchar_t GetDriveLetter() const { return m_cDriveLetter; }
  // Root directory offset in whole clusters from the start of the file system.
  DWORD GetRootDirClusterOffset() const {
    return m_dwClusterBytes ? m_dwRootDirOffset / m_dwClusterBytes : 0;
  }
  // The fixed root directory (root entry count x 32 bytes), new[]-allocated
  // for the caller to delete[]; null on failure.
  BYTE* ReadRootDirectory(uint16_t* entryCount);

  int IsValid() const { return m_bValid; }
  HANDLE GetHandle() const { return m_hDevice; }
  DWORD GetClusterSize() const { return m_dwClusterBytes; }
  WORD GetRootEntryCount() const { return m_wRootEntryCount; }
  DWORD GetNumberOfFats() const { return m_dwNumberOfFats; }
  DWORD GetMaxCluster() const { return m_dwMaxCluster; }
  uint64_t GetDataOffset() const { return m_u64DataOffset; }
  BOOL ParseBootSector(const BYTE* boot);

 protected:
  wchar_t m_cDriveLetter = 0;
  int m_bValid = 0;
  HANDLE m_hDevice = INVALID_HANDLE_VALUE;
  WORD m_wBytesPerSector = 0;
  WORD m_wReservedSectors = 0;
  WORD m_wRootEntryCount = 0;
  DWORD m_dwClusterBytes = 4096;
  DWORD m_dwRootDirOffset = 0;
  DWORD m_dwFatSectors = 0;
  DWORD m_dwNumberOfFats = 0;
  uint64_t m_u64Fat1Offset = 0;
  uint64_t m_u64Fat2Offset = 0;
  uint64_t m_u64DataOffset = 0;
  uint16_t m_FatPage[1024];
  short m_nCachedPage = -1;
  DWORD m_dwMaxCluster = 0;
  DWORD m_dwFatEntries = 0;
  DWORD m_dwPageBytes = 0;
  int m_nFailedPage = -1;    // last page whose read failed: not retried entry by entry
};

class CLostFATVolume : public CFATVolume {
 public:
  CLostFATVolume() = default;
  CLostFATVolume(int diskNumber, DWORD offsetLow, DWORD offsetHigh);
  ~CLostFATVolume() override;
  uint64_t GetPartitionOffset() const override {
    return ((uint64_t)m_dwOffsetHigh << 32) | m_dwOffsetLow;
  }
  int OpenPath(const wchar_t* path, uint64_t offset);
  using CFATVolume::OpenPath;

 protected:
  int m_nDiskNumber = -1;
  DWORD m_dwOffsetLow = 0;
  DWORD m_dwOffsetHigh = 0;
};
