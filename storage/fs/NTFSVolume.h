// Raw, read-only access to an NTFS file system: geometry from the boot
// sector, the NTFS version, and the $MFT record through which every other
// file record is found.
#pragma once
#include <windows.h>
#include <cstdint>
#include <vector>

class CFileRecord;
class CAttrBase;


class CNTFSVolume {
 public:
  explicit CNTFSVolume(wchar_t letter);
  virtual ~CNTFSVolume();
  virtual ULONGLONG GetPartitionOffset() const { return 0; }

  BOOL Open(wchar_t letter);
  BOOL IsVolumeOK() const { return m_hVolume != INVALID_HANDLE_VALUE; }
  ULONGLONG GetRecordCount() const;

  WORD GetSectorSize() const { return m_wSectorSize; }
  DWORD GetClusterSize() const { return m_dwClusterSize; }
  DWORD GetFileRecordSize() const { return m_dwFileRecordSize; }
  DWORD GetIndexBlockSize() const { return m_dwIndexBlockSize; }
  ULONGLONG GetMFTAddr() const { return m_u64MftAddr; }
  ULONGLONG GetTotalClusters() const { return m_u64TotalClusters; }
  HANDLE GetHandle() const { return m_hVolume; }
  int GetVersion() const { return m_nVersion; }
  BOOL IsNtfs3() const { return m_bNtfs3; }
  CAttrBase* GetMFTData() const { return m_pMftData; }

  // The volume's own upper-case table ($UpCase, 65536 entries), loaded on
  // first use; null when it cannot be read.
  const WORD* GetUpCaseTable();

  // Reads the raw image of record n (file record size bytes). Records past
  // the first 16 come from a block of the MFT read once for its neighbours.
  BOOL ReadRawRecord(ULONGLONG n, BYTE* buffer);
  // Device position (partition offset included) of record n's first byte.
  BOOL GetRecordPosition(ULONGLONG n, ULONGLONG* position) const;

  // Checks a boot sector and derives the sizes; FALSE for anything that is
  // not a sane NTFS boot sector.
  BOOL ParseBootSector(const BYTE* boot);

 protected:
  CNTFSVolume();
  // Opens `path` read-only, reads the boot sector at `offset` and loads
  // $Volume and $MFT. Shared by every way of opening.
  BOOL OpenPath(const wchar_t* path, ULONGLONG offset, DWORD shareMode, DWORD attributes);
  void LoadVolumeInfo();
  void Close();
  // The record at byte `offset` of the MFT from the cached block, reading
  // the block around it when needed; FALSE when the block cannot be had.
  BOOL CopyCachedRecord(ULONGLONG offset, BYTE* buffer);
  // One record at byte `offset` of the MFT, read through its own sectors.
  BOOL ReadRecordSectors(ULONGLONG offset, BYTE* buffer);

 public:
  WORD m_wSectorSize = 0;
  DWORD m_dwClusterSize = 0;
  DWORD m_dwFileRecordSize = 0;
  DWORD m_dwIndexBlockSize = 0;
  ULONGLONG m_u64MftAddr = 0;
  HANDLE m_hVolume = INVALID_HANDLE_VALUE;
  int m_bNtfs3 = 0;
  int m_nVersion = 0;
  CFileRecord* m_pMftRecord = nullptr;
  CAttrBase* m_pMftData = nullptr;

 private:
  ULONGLONG m_u64TotalClusters = 0;
  std::vector<WORD> m_UpCase;
  int m_nUpCaseState = 0;  // 0 not tried, 1 loaded, -1 unavailable
  ULONGLONG m_u64OpenOffset = 0;
  // The last block of the MFT read: records that lie together are read once.
  static const DWORD kMftCacheBytes = 64 * 1024;
  static const DWORD kMftCacheLifeMs = 1000;
  std::vector<BYTE> m_MftCache;
  ULONGLONG m_u64MftCacheOffset = 0;
  DWORD m_dwMftCacheBytes = 0;  // 0: nothing cached
  DWORD m_dwMftCacheTick = 0;
  bool m_bMftCacheFailed = false;
  friend class CLostNTFSVolume;
};

// An NTFS volume at a byte offset inside a physical disk (or inside any
// device or image file, for the tools and tests).
class CLostNTFSVolume : public CNTFSVolume {
 public:
  CLostNTFSVolume(int diskNumber, DWORD offsetLow, DWORD offsetHigh);
  // Same reader over any path that CreateFileW opens: an image file, a
  // volume or a disk.
  CLostNTFSVolume(const wchar_t* path, ULONGLONG offset);
  ULONGLONG GetPartitionOffset() const override { return m_u64PartitionOffset; }
  int GetDiskNumber() const { return m_nDiskNumber; }

 private:
  int m_nDiskNumber = -1;
  ULONGLONG m_u64PartitionOffset = 0;
};

// True when `bytes` exceed what the volume can hold (its clusters times the
// cluster size): a data size no file on it can have. False when the volume
// does not say how large it is.
inline bool NtfsSizeBeyondVolume(const CNTFSVolume& volume, ULONGLONG bytes) {
  const ULONGLONG clusters = volume.GetTotalClusters();
  const ULONGLONG cluster = volume.GetClusterSize();
  if (clusters == 0 || cluster == 0) return false;
  if (clusters > ~0ull / cluster) return false;
  return bytes > clusters * cluster;
}
