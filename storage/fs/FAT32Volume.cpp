#include "storage/fs/FAT32Volume.h"

#include "core/Log.h"

#include <cstdio>
#include <cstring>

namespace {
using fatcommon::Le16;
using fatcommon::Le32;

fatcommon::ChainAction ClassifyFat32(uint32_t v, const wchar_t** logFormat) {
  if (v == 0 || v == 1) {
    *logFormat = L"CFAT32Volume::GetFileClusterList error . FAT = %d.\n";
    return fatcommon::kChainFail;
  }
  if (v >= 0x0FFFFFF8) return fatcommon::kChainEnd;
  if (v <= 0x0FFFFFEF) return fatcommon::kChainNext;
  return fatcommon::kChainFail;  // reserved values and the bad-cluster mark
}
}  // namespace

CFAT32Volume::CFAT32Volume() { memset(m_FatPage, 0, sizeof(m_FatPage)); }

CFAT32Volume::CFAT32Volume(wchar_t letter) : CFAT32Volume() {
  if (Open(letter)) memset(m_FatPage, 0, sizeof(m_FatPage));
}

CFAT32Volume::~CFAT32Volume() { Close(); }

void CFAT32Volume::Close() {
  if (m_hDevice != INVALID_HANDLE_VALUE) CloseHandle(m_hDevice);
  m_hDevice = INVALID_HANDLE_VALUE;
  m_bValid = 0;
  m_nCachedPage = -1;
}

int CFAT32Volume::Open(wchar_t letter) {
  std::wstring path = DriveLetterPath(letter);
  if (path.empty()) return 0;
  m_cDriveLetter = letter;
  return OpenPath(path.c_str());
}

BOOL CFAT32Volume::ParseBootSector(const BYTE* boot) {
  if (!boot) return FALSE;
  if (memcmp(boot + 82, "FAT32", 5) != 0 || Le16(boot + 510) != 0xAA55) return FALSE;
  fatcommon::FatBootFields f;
  if (!fatcommon::ReadFatBootFields(boot, Le32(boot + 36), &f)) return FALSE;
  const uint32_t bps = f.bytesPerSector, spc = f.sectorsPerCluster, reserved = f.reservedSectors;
  const uint32_t fats = f.numberOfFats, fatSectors = f.fatSectors;
  const uint64_t totalSectors = f.totalSectors, fat1 = f.fat1Offset, fatBytes = f.fatBytes;
  // The data area lies behind as many FATs as the boot sector declares.
  const uint64_t data = fat1 + fatBytes * fats;
  const uint64_t metaSectors = data / bps;
  if (totalSectors <= metaSectors) return FALSE;
  uint64_t clusters = (totalSectors - metaSectors) / spc;
  uint64_t fatEntries = fatBytes / 4;
  uint64_t maxCluster = clusters + 1;
  if (maxCluster > fatEntries - 1) maxCluster = fatEntries - 1;
  if (maxCluster > 0x0FFFFFEF) maxCluster = 0x0FFFFFEF;
  if (maxCluster < 2) return FALSE;
  if (fatEntries > 0x10000000) fatEntries = 0x10000000;

  m_wBytesPerSector = (WORD)bps;
  m_wReservedSectors = (WORD)reserved;
  m_dwClusterBytes = bps * spc;
  m_dwRootCluster = Le32(boot + 44);
  m_dwFatSectors = fatSectors;
  m_dwNumberOfFats = fats;
  m_u64Fat1Offset = fat1;
  m_u64Fat2Offset = fat1 + fatBytes;
  m_u64DataOffset = data;
  m_dwMaxCluster = (DWORD)maxCluster;
  m_dwFatEntries = (DWORD)fatEntries;
  return TRUE;
}

int CFAT32Volume::OpenPath(const wchar_t* path) {
  Close();
  if (!path) return 0;
  m_hDevice = fatcommon::OpenReadOnly(path);
  if (m_hDevice == INVALID_HANDLE_VALUE) return 0;
  BYTE boot[512];
  if (!fatcommon::ReadExact(m_hDevice, GetPartitionOffset(), boot, sizeof(boot)) ||
      !ParseBootSector(boot)) {
    Close();
    return 0;
  }
  m_bValid = m_dwClusterBytes != 0;
  m_nCachedPage = -1;
  m_nFailedPage = -1;
  memset(m_FatPage, 0, sizeof(m_FatPage));
  return m_bValid;
}

int CFAT32Volume::ReadCluster(uint32_t cluster, void* buffer, DWORD bytes) {
  if (cluster < 2 || !buffer || bytes == 0 || m_hDevice == INVALID_HANDLE_VALUE || !m_bValid)
    return 0;
  if (cluster > m_dwMaxCluster) return 0;
  uint64_t pos = m_u64DataOffset + (uint64_t)(cluster - 2) * m_dwClusterBytes + GetPartitionOffset();
  return fatcommon::ReadExact(m_hDevice, pos, buffer, bytes) ? 1 : 0;
}

int CFAT32Volume::GetFatEntry(uint32_t cluster, uint32_t* value) {
  if (!value || !m_bValid || m_hDevice == INVALID_HANDLE_VALUE) return 0;
  if (cluster >= m_dwFatEntries) return 0;
  const int page = (int)(cluster >> 10);
  const uint32_t index = cluster & 0x3FF;
  if (m_nCachedPage != page) {
    if (page == m_nFailedPage) return 0;
    m_nCachedPage = -1;
    DWORD got = fatcommon::LoadFatPage(m_hDevice, m_u64Fat1Offset + GetPartitionOffset(),
                                       (uint64_t)m_dwFatSectors * m_wBytesPerSector, (uint64_t)page, m_FatPage,
                                       sizeof(m_FatPage));
    if (got == 0) {
      m_nFailedPage = page;
      return 0;
    }
    m_dwPageBytes = got;
    m_nCachedPage = page;
  }
  if ((index + 1) * 4 > m_dwPageBytes) return 0;
  *value = m_FatPage[index] & 0x0FFFFFFF;
  return 1;
}

int CFAT32Volume::GetFileClusterList(uint32_t firstCluster, ClusterList& list, uint32_t size) {
  list.RemoveAll();
  if (!m_bValid) return 0;
  uint64_t limit = size ? ((uint64_t)size + m_dwClusterBytes - 1) / m_dwClusterBytes : 0;
  fatcommon::ChainRules rules = {L"CFAT32Volume", m_dwMaxCluster, ClassifyFat32};
  std::vector<uint32_t> chain;
  int ok = fatcommon::FollowChain(firstCluster, chain, limit, rules,
                                  [this](uint32_t c, uint32_t* v) { return GetFatEntry(c, v) != 0; });
  for (uint32_t c : chain) list.Add(c);
  return ok;
}

std::wstring CFAT32Volume::FormatDosTime(WORD date, WORD time) const {
  return fatcommon::FormatDosTime(date, time);
}

std::wstring CFAT32Volume::GetShortName(const FatDirEntry* entry) const {
  return entry ? fatcommon::ShortName(*entry) : std::wstring();
}

std::wstring CFAT32Volume::GetLongName(const FatDirEntry* entries, size_t shortIndex) const {
  return fatcommon::LongName(entries, shortIndex);
}

int CFAT32Volume::GetRecoverablePercent(const FatDirEntry* entry) {
  if (!entry || !m_bValid) return 0;
  const uint32_t first = ((uint32_t)entry->firstClusterHigh << 16) | entry->firstClusterLow;
  const uint64_t n = ((uint64_t)entry->fileSize + m_dwClusterBytes - 1) / m_dwClusterBytes;
  if (entry->name[0] != kFatDeletedMark) {
    ClusterList list;
    if (GetFileClusterList(first, list, entry->fileSize) && list.GetCount() == n && n != 0) return 100;
    return 0;
  }
  uint64_t freeCount = 0;
  for (uint64_t k = 0; k < n; ++k) {
    uint64_t c = (uint64_t)first + k;
    uint32_t v = 1;
    if (c < 2 || c > m_dwMaxCluster) break;  // past the volume: not free
    if (GetFatEntry((uint32_t)c, &v) && v == 0) ++freeCount;
  }
  if (freeCount == n) return entry->firstClusterHigh != 0 ? 100 : 99;
  return (int)((double)freeCount * 100.0 / (double)n);
}

CLostFAT32Volume::CLostFAT32Volume(int diskNumber, DWORD offsetLow, DWORD offsetHigh) {
  m_nDiskNumber = diskNumber;
  m_dwOffsetLow = offsetLow;
  m_dwOffsetHigh = offsetHigh;
  if (CFAT32Volume::OpenPath(PhysicalDrivePath(diskNumber).c_str())) memset(m_FatPage, 0, sizeof(m_FatPage));
}

CLostFAT32Volume::~CLostFAT32Volume() {}

int CLostFAT32Volume::OpenPath(const wchar_t* path, uint64_t offset) {
  m_dwOffsetLow = (DWORD)(offset & 0xFFFFFFFFu);
  m_dwOffsetHigh = (DWORD)(offset >> 32);
  return CFAT32Volume::OpenPath(path);
}
