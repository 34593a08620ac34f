#include "storage/fs/NTFSVolume.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>

#include "storage/DeviceIo.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"

namespace {
bool IsPow2(ULONGLONG v) { return v && !(v & (v - 1)); }

// Size from the signed "clusters per ..." byte: n > 0 is n clusters,
// otherwise 2^-n bytes. 0 for values no volume uses.
DWORD SizeFromClustersByte(signed char n, DWORD clusterSize) {
  if (n > 0) return (ULONGLONG)n * clusterSize > 0x10000 ? 0 : (DWORD)n * clusterSize;
  int shift = -n;
  if (shift < 9 || shift > 16) return 0;
  return 1u << shift;
}
}  // namespace

CNTFSVolume::CNTFSVolume() {}

CNTFSVolume::CNTFSVolume(wchar_t letter) {
  Open(letter);
}

CNTFSVolume::~CNTFSVolume() {
  Close();
}

void CNTFSVolume::Close() {
  delete m_pMftRecord;
  m_pMftRecord = nullptr;
  m_pMftData = nullptr;
  if (m_hVolume != INVALID_HANDLE_VALUE) CloseHandle(m_hVolume);
  m_hVolume = INVALID_HANDLE_VALUE;
  m_UpCase.clear();
  m_nUpCaseState = 0;
  m_dwMftCacheBytes = 0;
  m_bMftCacheFailed = false;
}

BOOL CNTFSVolume::Open(wchar_t letter) {
  std::wstring path = DriveLetterPath(letter);
  if (path.empty()) return FALSE;
  return OpenPath(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_ATTRIBUTE_READONLY);
}

BOOL CNTFSVolume::ParseBootSector(const BYTE* boot) {
  if (memcmp(boot + 3, "NTFS    ", 8) != 0) return FALSE;
  WORD bps = Le16(boot + 11);
  if (bps < 256 || bps > 4096 || !IsPow2(bps)) return FALSE;
  BYTE spcByte = boot[13];
  ULONGLONG spc;
  if (spcByte <= 0x80) spc = spcByte;
  else if (256 - spcByte <= 12) spc = 1ull << (256 - spcByte);  // big clusters: 2^-n sectors
  else return FALSE;
  if (!IsPow2(spc)) return FALSE;
  ULONGLONG cluster = spc * bps;
  if (cluster < 512 || cluster > 2u * 1024 * 1024) return FALSE;
  DWORD recordSize = SizeFromClustersByte((signed char)boot[64], (DWORD)cluster);
  DWORD indexSize = SizeFromClustersByte((signed char)boot[68], (DWORD)cluster);
  // Records and index blocks are fixed up in 512-byte strides and must hold
  // at least a header and the end marker.
  if (recordSize < 512 || recordSize > 0x10000 || !IsPow2(recordSize)) return FALSE;
  if (indexSize < 512 || indexSize > 0x10000 || !IsPow2(indexSize)) return FALSE;
  ULONGLONG totalSectors = Le64(boot + 40);
  ULONGLONG mftLcn = Le64(boot + 48);
  ULONGLONG totalClusters = totalSectors / spc;
  if (totalClusters == 0 || totalClusters > kNtfsMax48) return FALSE;
  if (mftLcn == 0 || mftLcn >= totalClusters) return FALSE;
  m_wSectorSize = bps;
  m_dwClusterSize = (DWORD)cluster;
  m_dwFileRecordSize = recordSize;
  m_dwIndexBlockSize = indexSize;
  m_u64MftAddr = mftLcn * cluster;
  m_u64TotalClusters = totalClusters;
  return TRUE;
}

BOOL CNTFSVolume::OpenPath(const wchar_t* path, ULONGLONG offset, DWORD shareMode, DWORD attributes) {
  Close();
  m_u64OpenOffset = offset;
  HANDLE h = CreateFileW(path, GENERIC_READ, shareMode, nullptr, OPEN_EXISTING, attributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  // The boot sector needs its first 512 bytes only: the sectors behind it
  // may be unreadable.
  BYTE boot[4096];
  if (ReadBootSectors(h, offset, boot) < 512 || !ParseBootSector(boot)) {
    CloseHandle(h);
    return FALSE;
  }
  m_hVolume = h;
  LoadVolumeInfo();
  return TRUE;
}

void CNTFSVolume::LoadVolumeInfo() {
  CFileRecord vol(this);
  vol.SetAttrMask(NtfsAttrMask(ATTR_TYPE_VOLUME_NAME) | NtfsAttrMask(ATTR_TYPE_VOLUME_INFORMATION));
  if (vol.LoadRecord(3) && vol.LoadAttributes()) {
    const CAttr_VolInfo* vi = (const CAttr_VolInfo*)vol.FindFirstAttr(ATTR_TYPE_VOLUME_INFORMATION);
    if (vi) m_nVersion = vi->GetVersion();
  }
  if (m_nVersion > 0x2FF) {
    m_bNtfs3 = 1;
    m_pMftRecord = new CFileRecord(this);
    m_pMftRecord->SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
    if (m_pMftRecord->LoadRecord(0) && m_pMftRecord->LoadAttributes()) {
      m_pMftData = (CAttrBase*)m_pMftRecord->FindDataStream(nullptr);
    }
    // The MFT must be non-resident and hold at least its own 16 system records.
    if (m_pMftData && (!m_pMftData->IsNonResident() ||
                       m_pMftData->GetDataSize() < 16ull * m_dwFileRecordSize)) {
      m_pMftData = nullptr;
    }
    if (!m_pMftData) {
      delete m_pMftRecord;
      m_pMftRecord = nullptr;
    }
  }
}

ULONGLONG CNTFSVolume::GetRecordCount() const {
  if (!m_pMftData || !m_dwFileRecordSize) return 0;
  // A damaged $MFT may claim more than its runs cover or the volume holds;
  // records past either could never be read.
  ULONGLONG bytes = m_pMftData->GetDataSize();
  const CAttrNonResident* nr = static_cast<const CAttrNonResident*>(m_pMftData);
  ULONGLONG covered = nr->GetEndVCN() <= m_u64TotalClusters ? nr->GetEndVCN() * m_dwClusterSize
                                                            : m_u64TotalClusters * m_dwClusterSize;
  if (bytes > covered) bytes = covered;
  return bytes / m_dwFileRecordSize;
}

BOOL CNTFSVolume::ReadRawRecord(ULONGLONG n, BYTE* buffer) {
  if (m_hVolume == INVALID_HANDLE_VALUE || !buffer || n >= kNtfsMax48) return FALSE;
  DWORD got = 0;
  if (n > 15 && m_pMftData) {
    ULONGLONG off = n * m_dwFileRecordSize;
    if (CopyCachedRecord(off, buffer)) return TRUE;
    if (m_pMftData->ReadData(off, buffer, m_dwFileRecordSize, &got) && got == m_dwFileRecordSize) return TRUE;
    // The MFT's data is read by whole clusters: one bad sector would cost
    // every record of its cluster. The record's own sectors alone.
    return ReadRecordSectors(off, buffer);
  }
  ULONGLONG pos = m_u64MftAddr + n * m_dwFileRecordSize + GetPartitionOffset();
  return ReadAt(m_hVolume, pos, buffer, m_dwFileRecordSize) == m_dwFileRecordSize;
}

BOOL CNTFSVolume::GetRecordPosition(ULONGLONG n, ULONGLONG* position) const {
  if (!position || !m_dwFileRecordSize || n >= kNtfsMax48) return FALSE;
  if (n > 15 && m_pMftData) {
    if (!m_pMftData->IsNonResident()) return FALSE;
    return static_cast<const CAttrNonResident*>(m_pMftData)->GetDevicePosition(n * m_dwFileRecordSize, position);
  }
  *position = m_u64MftAddr + n * m_dwFileRecordSize + GetPartitionOffset();
  return TRUE;
}

BOOL CNTFSVolume::ReadRecordSectors(ULONGLONG offset, BYTE* buffer) {
  if (!m_pMftData || !m_pMftData->IsNonResident() || !m_wSectorSize) return FALSE;
  const CAttrNonResident* mft = static_cast<const CAttrNonResident*>(m_pMftData);
  const DWORD piece = std::min<DWORD>(m_wSectorSize, m_dwClusterSize);
  // Pieces that lie one behind the other on the device are read together.
  DWORD done = 0;
  while (done < m_dwFileRecordSize) {
    ULONGLONG at = 0;
    if (!mft->GetDevicePosition(offset + done, &at)) return FALSE;
    DWORD n = piece;
    ULONGLONG next = 0;
    while (done + n < m_dwFileRecordSize && mft->GetDevicePosition(offset + done + n, &next) && next == at + n)
      n += piece;
    if (ReadAt(m_hVolume, at, buffer + done, n) != n) return FALSE;
    done += n;
  }
  return TRUE;
}

BOOL CNTFSVolume::CopyCachedRecord(ULONGLONG offset, BYTE* buffer) {
  const DWORD size = m_dwFileRecordSize;
  const DWORD now = GetTickCount();
  // Blocks are read afresh after a while: a mounted volume changes under us.
  if (m_dwMftCacheBytes && now - m_dwMftCacheTick > kMftCacheLifeMs) m_dwMftCacheBytes = 0;
  if (!m_dwMftCacheBytes || offset < m_u64MftCacheOffset || offset - m_u64MftCacheOffset > m_dwMftCacheBytes - size) {
    const ULONGLONG total = m_pMftData->GetDataSize();
    const ULONGLONG from = offset / kMftCacheBytes * kMftCacheBytes;
    if (from >= total || offset + size > total) return FALSE;
    // A block that failed is not asked for again: its records are read one
    // by one, so that a bad sector costs its own records only.
    if (m_bMftCacheFailed && from == m_u64MftCacheOffset && now - m_dwMftCacheTick <= kMftCacheLifeMs) return FALSE;
    const DWORD want = (DWORD)std::min<ULONGLONG>(kMftCacheBytes, total - from);
    m_MftCache.resize(kMftCacheBytes);
    m_u64MftCacheOffset = from;
    m_dwMftCacheTick = now;
    m_dwMftCacheBytes = 0;
    DWORD got = 0;
    m_bMftCacheFailed = !m_pMftData->ReadData(from, m_MftCache.data(), want, &got) || got != want;
    if (m_bMftCacheFailed) return FALSE;
    m_dwMftCacheBytes = want;
  }
  memcpy(buffer, m_MftCache.data() + (offset - m_u64MftCacheOffset), size);
  return TRUE;
}

const WORD* CNTFSVolume::GetUpCaseTable() {
  if (m_nUpCaseState == 0) {
    m_nUpCaseState = -1;
    CFileRecord rec(this);
    rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
    if (rec.LoadRecord(10) && rec.LoadAttributes()) {
      const CAttrBase* data = rec.FindDataStream(nullptr);
      if (data && data->GetDataSize() == 0x20000) {
        m_UpCase.resize(0x10000);
        DWORD got = 0;
        if (data->ReadData(0, m_UpCase.data(), 0x20000, &got) && got == 0x20000) {
          m_nUpCaseState = 1;
        } else {
          m_UpCase.clear();
        }
      }
    }
  }
  return m_nUpCaseState == 1 ? m_UpCase.data() : nullptr;
}

CLostNTFSVolume::CLostNTFSVolume(int diskNumber, DWORD offsetLow, DWORD offsetHigh)
    : m_nDiskNumber(diskNumber), m_u64PartitionOffset(((ULONGLONG)offsetHigh << 32) | offsetLow) {
  OpenPath(PhysicalDrivePath(diskNumber).c_str(), m_u64PartitionOffset, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
}

CLostNTFSVolume::CLostNTFSVolume(const wchar_t* path, ULONGLONG offset) : m_u64PartitionOffset(offset) {
  if (path) OpenPath(path, offset, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
}
