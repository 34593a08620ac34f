// Read-only reader of an exFAT file system: boot-sector geometry, FAT
// entries through a one-page cache, cluster chains (or the contiguous run of
// a file without a FAT chain), cluster reads, and the fields, names and times
// of directory entry sets.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "storage/fs/FatCommon.h"
#include "storage/fs/FatVolumeBase.h"

// A directory entry set as the caller holds it: the file entry at `entries`,
// then its secondary entries. `count` is how many 32-byte entries may be read
// from `entries` (the rest of the caller's buffer); nothing past them is read.
struct ExFatEntrySet {
  const BYTE* entries;
  uint32_t count;
};

// Code of one 32-byte entry by its type byte.
enum ExFatEntryClass {
  kExFatNoEntry = -1,
  kExFatEndOfDirectory = 0,
  kExFatUnusedBenign = 1,       // other 0x01-0x7F
  kExFatInvalid = 2,            // 0x80
  kExFatPrimaryOther = 0x100,   // other 0x84-0x9F
  kExFatBitmap = 0x101,
  kExFatUpcase = 0x102,
  kExFatVolumeLabel = 0x103,    // 0x83, and 0x03
  kExFatDirectory = 0x104,
  kExFatDeletedDirectory = 0x105,
  kExFatFile = 0x11F,
  kExFatDeletedFile = 0x120,
  kExFatSecondaryOther = 0x200, // other 0xC3-0xDF
  kExFatStream = 0x201,
  kExFatFileName = 0x202,
  kExFatSecondaryC2 = 0x203,
  kExFatDeletedStream = 0x204,
  kExFatDeletedFileName = 0x205,
  kExFatBenignOther = 0x400,    // other 0xA3-0xBF
  kExFatGuid = 0x401,
  kExFatPadding = 0x402,
  kExFatAcl = 0x403,
  kExFatSecondaryBenign = 0x800 // 0xE0-0xFF
};

// GeneralSecondaryFlags bit: the data is one contiguous run without a FAT chain.
const BYTE kExFatNoFatChain = 0x02;

// FAT entry values of exFAT.
const uint32_t kExFatEndOfChain = 0xFFFFFFFF;
const uint32_t kExFatBadCluster = 0xFFFFFFF7;
const uint32_t kExFatMaxDataCluster = 0xFFFFFFF6;

class CExFATVolume : public CFatVolumeBase {
 public:
  CExFATVolume();
  explicit CExFATVolume(wchar_t letter);

  int GetFatEntry(uint32_t cluster, uint32_t* value);
  int ReadCluster(uint32_t cluster, void* buffer, DWORD bytes);
  // FAT chain from firstCluster for `size` bytes (0: no size).
  int GetFileClusterList(uint32_t firstCluster, ClusterList& list, uint64_t size);
  // As above, honouring the stream flags: with the no-FAT-chain flag the
  // clusters are the run firstCluster .. firstCluster + n - 1, which must lie
  // inside the cluster heap; the FAT is not consulted.
  int GetFileClusterList(uint32_t firstCluster, ClusterList& list, uint64_t size, BYTE streamFlags);
  int GetRecoverablePercent(const ExFatEntrySet* set);
  // which: 0 created, 1 last modified, 2 last accessed.
  std::wstring FormatEntryTime(const BYTE* fileEntry, int which) const;
  static int GetSecondaryCount(const BYTE* fileEntry) { return fileEntry ? fileEntry[1] : 0; }
  static int GetEntryClass(const BYTE* entry);
  static uint64_t GetValidDataLength(const ExFatEntrySet* set);
  static uint64_t GetDataLength(const ExFatEntrySet* set);
  static BYTE GetStreamFlags(const ExFatEntrySet* set);
  static uint32_t GetFirstCluster(const ExFatEntrySet* set);
  static BYTE GetStreamType(const ExFatEntrySet* set);
  static std::wstring GetEntrySetName(const ExFatEntrySet* set, int secondaryCount);
  int IsValidCluster(uint32_t cluster) const { return cluster >= 2 && cluster <= kExFatMaxDataCluster; }

  DWORD GetClusterCount() const { return m_dwClusterCount; }
  // Highest cluster number of the heap (clusters run 2 .. this).
  uint64_t GetMaxCluster() const { return (uint64_t)m_dwClusterCount + 1; }
  DWORD GetRootCluster() const { return m_dwRootCluster; }
  uint64_t GetClusterHeapOffset() const { return m_u64ClusterHeapOffset; }
  DWORD GetBytesPerSector() const { return m_dwBytesPerSector; }
  BOOL ParseBootSector(const BYTE* boot) override;

 protected:
  void OnOpened() override;

  DWORD m_dwBytesPerSector = 0;
  DWORD m_dwClusterCount = 0;
  DWORD m_dwRootCluster = 0;
  DWORD m_dwFatLength = 0;
  uint64_t m_u64FatOffset = 0;
  uint64_t m_u64ClusterHeapOffset = 0;
  uint64_t m_u64DeviceBytes = 0;  // length of the opened device or image; 0 when unknown

  // Highest cluster whose bytes lie on the device: the heap's last cluster,
  // lowered to the device's end when its length is known (a damaged boot
  // sector can claim far more clusters than the disk holds).
  uint64_t LastClusterOnDevice() const;
};

// An exFAT file system at a byte offset inside a physical disk or an image.
class CLostExFATVolume : public CLostVolumeT<CExFATVolume> {
 public:
  using CLostVolumeT<CExFATVolume>::CLostVolumeT;
};
