// Read-only reader of a FAT32 file system: boot-sector geometry, FAT entries
// through a one-page cache, cluster chains, cluster reads, and the names,
// times and recoverability of 32-byte directory entries.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "storage/fs/FatCommon.h"
#include "storage/fs/FatVolumeBase.h"

// FAT entry values of FAT32 (the top four bits are reserved and masked off).
const uint32_t kFat32EntryMask = 0x0FFFFFFF;
const uint32_t kFat32MaxDataCluster = 0x0FFFFFEF;  // highest cluster number a chain may hold
const uint32_t kFat32EndOfChainMin = 0x0FFFFFF8;   // 0x0FFFFFF8 .. 0x0FFFFFFF end a chain

class CFAT32Volume : public CFatVolumeBase {
 public:
  CFAT32Volume();
  explicit CFAT32Volume(wchar_t letter);

  int ReadCluster(uint32_t cluster, void* buffer, DWORD bytes);
  // FAT1 entry of a cluster, its top four (reserved) bits masked off.
  int GetFatEntry(uint32_t cluster, uint32_t* value);
  int GetFileClusterList(uint32_t firstCluster, ClusterList& list, uint32_t size);
  std::wstring FormatDosTime(WORD date, WORD time) const;
  std::wstring GetShortName(const FatDirEntry* entry) const;
  std::wstring GetLongName(const FatDirEntry* entries, size_t shortIndex) const;
  int GetRecoverablePercent(const FatDirEntry* entry);
  int IsValidCluster(uint32_t cluster) const { return cluster >= 2 && cluster <= kFat32MaxDataCluster; }

  DWORD GetRootCluster() const { return m_dwRootCluster; }
  DWORD GetNumberOfFats() const { return m_dwNumberOfFats; }
  // Highest cluster number of the data area (clusters run 2 .. this).
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
  DWORD m_dwRootCluster = 0;
  DWORD m_dwFatSectors = 0;
  DWORD m_dwNumberOfFats = 0;
  uint64_t m_u64Fat1Offset = 0;
  uint64_t m_u64DataOffset = 0;
  DWORD m_dwMaxCluster = 0;   // last cluster number of the data area
};

// A FAT32 file system at a byte offset inside a physical disk or an image.
class CLostFAT32Volume : public CLostVolumeT<CFAT32Volume> {
 public:
  using CLostVolumeT<CFAT32Volume>::CLostVolumeT;
};
