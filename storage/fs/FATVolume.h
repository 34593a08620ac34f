// Read-only reader of a FAT16 file system (FAT12 is refused): the same shape
// as the FAT32 reader with 16-bit FAT entries, plus the fixed root directory.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "storage/fs/FatCommon.h"
#include "storage/fs/FatVolumeBase.h"

// FAT entry values of FAT16.
const uint16_t kFat16MaxDataCluster = 0xFFEF;  // highest cluster number a chain may hold
const uint16_t kFat16EndOfChainMin = 0xFFF8;   // 0xFFF8 .. 0xFFFF end a chain

class CFATVolume : public CFatVolumeBase {
 public:
  CFATVolume();
  explicit CFATVolume(wchar_t letter);

  int ReadCluster(uint16_t cluster, void* buffer, DWORD bytes);
  int GetFatEntry(uint16_t cluster, uint16_t* value);
  int GetFileClusterList(uint16_t firstCluster, ClusterList16& list, uint32_t size);
  std::wstring FormatDosTime(WORD date, WORD time) const;
  std::wstring GetShortName(const FatDirEntry* entry) const;
  std::wstring GetLongName(const FatDirEntry* entries, size_t shortIndex) const;
  int GetRecoverablePercent(const FatDirEntry* entry);
  int IsValidCluster(uint32_t cluster) const {
    uint16_t c = (uint16_t)cluster;
    return c >= 2 && c <= kFat16MaxDataCluster;
  }
  // Root directory offset in whole clusters from the start of the file system.
  DWORD GetRootDirClusterOffset() const {
    return m_dwClusterBytes ? m_dwRootDirOffset / m_dwClusterBytes : 0;
  }
  // The fixed root directory (root entry count x 32 bytes), new[]-allocated
  // for the caller to delete[]; null on failure.
  BYTE* ReadRootDirectory(uint16_t* entryCount);

  WORD GetRootEntryCount() const { return m_wRootEntryCount; }
  // Byte offset of the fixed root directory in the file system.
  DWORD GetRootDirOffset() const { return m_dwRootDirOffset; }
  DWORD GetNumberOfFats() const { return m_dwNumberOfFats; }
  DWORD GetMaxCluster() const { return m_dwMaxCluster; }
  uint64_t GetDataOffset() const { return m_u64DataOffset; }
  // Where the first FAT starts inside the file system, the bytes of one FAT
  // (the others follow it), and the sector size.
  uint64_t GetFat1Offset() const { return m_u64Fat1Offset; }
  uint64_t GetFatBytes() const { return (uint64_t)m_dwFatSectors * m_wBytesPerSector; }
  WORD GetBytesPerSector() const { return m_wBytesPerSector; }
  BOOL ParseBootSector(const BYTE* boot) override;

 protected:
  WORD m_wBytesPerSector = 0;
  WORD m_wRootEntryCount = 0;
  DWORD m_dwRootDirOffset = 0;
  DWORD m_dwFatSectors = 0;
  DWORD m_dwNumberOfFats = 0;
  uint64_t m_u64Fat1Offset = 0;
  uint64_t m_u64DataOffset = 0;
  DWORD m_dwMaxCluster = 0;
};

// A FAT16 file system at a byte offset inside a physical disk or an image.
class CLostFATVolume : public CLostVolumeT<CFATVolume> {
 public:
  using CLostVolumeT<CFATVolume>::CLostVolumeT;
};
