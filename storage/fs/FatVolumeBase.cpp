#include "storage/fs/FatVolumeBase.h"

#include <algorithm>
#include <cstring>

#include "storage/fs/FatCommon.h"

CFatVolumeBase::CFatVolumeBase(uint32_t entryBytes) : m_dwEntryBytes(entryBytes) {
  memset(m_FatPage, 0, sizeof(m_FatPage));
}

CFatVolumeBase::~CFatVolumeBase() { Close(); }

void CFatVolumeBase::Close() {
  if (m_hDevice != INVALID_HANDLE_VALUE) CloseHandle(m_hDevice);
  m_hDevice = INVALID_HANDLE_VALUE;
  m_bValid = 0;
  m_nCachedPage = -1;
}

int CFatVolumeBase::Open(wchar_t letter) {
  std::wstring path = DriveLetterPath(letter);
  if (path.empty()) return 0;
  m_cDriveLetter = letter;
  return OpenPath(path.c_str());
}

int CFatVolumeBase::OpenPath(const wchar_t* path) {
  Close();
  if (!path) return 0;
  m_hDevice = fatcommon::OpenReadOnly(path);
  if (m_hDevice == INVALID_HANDLE_VALUE) return 0;
  // The boot check needs the first 512 bytes only: the sectors behind them
  // (FSInfo, the backup boot sector, the start of the FAT) may be unreadable.
  BYTE boot[4096];
  if (ReadBootSectors(m_hDevice, GetPartitionOffset(), boot) < 512 || !ParseBootSector(boot)) {
    Close();
    return 0;
  }
  m_bValid = m_dwClusterBytes != 0;
  m_nCachedPage = -1;
  m_nFailedPage = -1;
  m_dwPageBytes = 0;
  memset(m_FatPage, 0, sizeof(m_FatPage));
  OnOpened();
  return m_bValid;
}

int CFatVolumeBase::ReadDataCluster(uint64_t dataOffset, uint64_t lastCluster, uint32_t cluster, void* buffer,
                                    DWORD bytes) {
  if (cluster < 2 || !buffer || bytes == 0 || m_hDevice == INVALID_HANDLE_VALUE || !m_bValid) return 0;
  if (cluster > lastCluster) return 0;
  const uint64_t pos = dataOffset + (uint64_t)(cluster - 2) * m_dwClusterBytes + GetPartitionOffset();
  return fatcommon::ReadExact(m_hDevice, pos, buffer, bytes) ? 1 : 0;
}

int CFatVolumeBase::ReadFatEntry(uint64_t fatOffset, uint64_t fatBytes, uint32_t cluster, uint32_t* value) {
  if (!value || !m_bValid || m_hDevice == INVALID_HANDLE_VALUE) return 0;
  if (cluster >= m_dwFatEntries) return 0;
  const int page = (int)(cluster / kPageEntries);
  const uint32_t index = cluster % kPageEntries;
  if (m_nCachedPage != page) {
    if (page == m_nFailedPage) return 0;
    m_nCachedPage = -1;
    m_uPageBadSectors = 0;
    DWORD got = fatcommon::LoadFatPage(m_hDevice, fatOffset + GetPartitionOffset(), fatBytes, (uint64_t)page,
                                       m_FatPage, kPageEntries * m_dwEntryBytes, m_dwSectorBytes);
    if (got == 0) got = LoadFatPageBySector(fatOffset + GetPartitionOffset(), fatBytes, (uint64_t)page);
    if (got == 0) {
      m_nFailedPage = page;
      return 0;
    }
    m_dwPageBytes = got;
    m_nCachedPage = page;
  }
  if ((index + 1) * m_dwEntryBytes > m_dwPageBytes) return 0;
  if (m_uPageBadSectors && m_dwSectorBytes &&
      (m_uPageBadSectors >> (index * m_dwEntryBytes / m_dwSectorBytes)) & 1)
    return 0;  // no copy of this entry could be read
  const BYTE* at = (const BYTE*)m_FatPage + (size_t)index * m_dwEntryBytes;
  *value = m_dwEntryBytes == 2 ? Le16(at) : Le32(at);
  return 1;
}

DWORD CFatVolumeBase::LoadFatPageBySector(uint64_t fatStart, uint64_t fatBytes, uint64_t page) {
  const DWORD pageBytes = kPageEntries * m_dwEntryBytes;
  const DWORD sector = m_dwSectorBytes;
  memset(m_FatPage, 0, sizeof(m_FatPage));
  m_uPageBadSectors = 0;
  const uint64_t pageStart = page * pageBytes;
  if (!sector || pageBytes % sector || pageBytes / sector > 32 || pageStart >= fatBytes) return 0;
  const DWORD bytes = (DWORD)std::min<uint64_t>(pageBytes, fatBytes - pageStart);
  const DWORD copies = std::max<DWORD>(1, std::min<DWORD>(m_dwFatCopies, 4));
  bool any = false;
  for (DWORD at = 0, i = 0; at < bytes; at += sector, ++i) {
    BYTE* into = (BYTE*)m_FatPage + at;
    bool read = false;
    for (DWORD copy = 0; copy < copies && !read; ++copy)
      read = ReadAt(m_hDevice, fatStart + copy * fatBytes + pageStart + at, into, sector) == sector;
    if (read) {
      any = true;
    } else {
      memset(into, 0, sector);
      m_uPageBadSectors |= 1u << i;
    }
  }
  return any ? bytes : 0;
}

uint64_t CFatVolumeBase::CountFreeRun(uint64_t first, uint64_t n, uint64_t last, uint64_t fatOffset,
                                      uint64_t fatBytes, uint32_t mask) {
  uint64_t freeCount = 0;
  for (uint64_t k = 0; k < n; ++k) {
    const uint64_t c = first + k;
    if (c < 2 || c > last) break;  // past the volume: not free
    uint32_t v = 1;
    if (ReadFatEntry(fatOffset, fatBytes, (uint32_t)c, &v) && (v & mask) == 0) ++freeCount;
  }
  return freeCount;
}
