#include "storage/fs/FATVolume.h"

#include "core/Log.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {
using fatcommon::Le16;
using fatcommon::Le32;

fatcommon::ChainAction ClassifyFat16(uint32_t v, const wchar_t**) {
  if (v >= 0xFFF8) return fatcommon::kChainEnd;
  if (v >= 2 && v <= 0xFFEF) return fatcommon::kChainNext;
  return fatcommon::kChainFail;  // free, 1, reserved and bad marks
}
}  // namespace

CFATVolume::CFATVolume() { memset(m_FatPage, 0, sizeof(m_FatPage)); }

CFATVolume::CFATVolume(wchar_t letter) : CFATVolume() {
  if (Open(letter)) memset(m_FatPage, 0, sizeof(m_FatPage));
}

CFATVolume::~CFATVolume() { Close(); }

void CFATVolume::Close() {
  if (m_hDevice != INVALID_HANDLE_VALUE) CloseHandle(m_hDevice);
  m_hDevice = INVALID_HANDLE_VALUE;
  m_bValid = 0;
  m_nCachedPage = -1;
}

int CFATVolume::Open(wchar_t letter) {
  std::wstring path = DriveLetterPath(letter);
  if (path.empty()) return 0;
  m_cDriveLetter = letter;
  return OpenPath(path.c_str());
}

BOOL CFATVolume::ParseBootSector(const BYTE* boot) {
  if (!boot) return FALSE;
  if (memcmp(boot + 54, "FAT16", 5) != 0 || Le16(boot + 510) != 0xAA55) return FALSE;
  fatcommon::FatBootFields f;
  if (!fatcommon::ReadFatBootFields(boot, Le16(boot + 22), &f)) return FALSE;
  const uint32_t bps = f.bytesPerSector, spc = f.sectorsPerCluster, reserved = f.reservedSectors;
  const uint32_t fats = f.numberOfFats, fatSectors = f.fatSectors;
  const uint32_t rootEntries = Le16(boot + 17);
  const uint64_t totalSectors = f.totalSectors, fat1 = f.fat1Offset, fatBytes = f.fatBytes;
  // The root directory and the data area lie behind every FAT the boot sector declares.
  const uint64_t root = fat1 + fatBytes * fats;
  const uint64_t data = root + (uint64_t)rootEntries * 32;
  if (root > 0xFFFFFFFFull) return FALSE;
  const uint64_t metaSectors = (data + bps - 1) / bps;
  if (totalSectors <= metaSectors) return FALSE;
  uint64_t clusters = (totalSectors - metaSectors) / spc;
  uint64_t fatEntries = fatBytes / 2;
  if (fatEntries > 0x10000) fatEntries = 0x10000;
  uint64_t maxCluster = clusters + 1;
  if (maxCluster > fatEntries - 1) maxCluster = fatEntries - 1;
  if (maxCluster > 0xFFEF) maxCluster = 0xFFEF;
  if (maxCluster < 2) return FALSE;

  m_wBytesPerSector = (WORD)bps;
  m_wReservedSectors = (WORD)reserved;
  m_wRootEntryCount = (WORD)rootEntries;
  m_dwClusterBytes = bps * spc;
  m_dwFatSectors = fatSectors;
  m_dwNumberOfFats = fats;
  m_u64Fat1Offset = fat1;
  m_u64Fat2Offset = fat1 + fatBytes;
  m_dwRootDirOffset = (DWORD)root;
  m_u64DataOffset = data;
  m_dwMaxCluster = (DWORD)maxCluster;
  m_dwFatEntries = (DWORD)fatEntries;
  return TRUE;
}

int CFATVolume::OpenPath(const wchar_t* path) {
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

int CFATVolume::ReadCluster(uint16_t cluster, void* buffer, DWORD bytes) {
  if (cluster < 2 || !buffer || bytes == 0 || m_hDevice == INVALID_HANDLE_VALUE || !m_bValid)
    return 0;
  if (cluster > m_dwMaxCluster) return 0;
  uint64_t pos = m_u64DataOffset + (uint64_t)(cluster - 2) * m_dwClusterBytes + GetPartitionOffset();
  return fatcommon::ReadExact(m_hDevice, pos, buffer, bytes) ? 1 : 0;
}

int CFATVolume::GetFatEntry(uint16_t cluster, uint16_t* value) {
  if (!value || !m_bValid || m_hDevice == INVALID_HANDLE_VALUE) return 0;
  if (cluster >= m_dwFatEntries) return 0;
  const short page = (short)((cluster >> 10) & 0x3F);
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
  if ((index + 1) * 2 > m_dwPageBytes) return 0;
  *value = m_FatPage[index];
  return 1;
}

int CFATVolume::GetFileClusterList(uint16_t firstCluster, ClusterList16& list, uint32_t size) {
  list.RemoveAll();
  if (!m_bValid) return 0;
  uint64_t limit = size ? ((uint64_t)size + m_dwClusterBytes - 1) / m_dwClusterBytes : 0;
  if (limit > 0xFFFF) {  // no FAT16 file can have that many clusters
    DebugPrint(L"CFATVolume::GetFileClusterList error . File cluster except.\n");
    return 0;
  }
  fatcommon::ChainRules rules = {L"CFATVolume", m_dwMaxCluster, ClassifyFat16};
  std::vector<uint32_t> chain;
  int ok = fatcommon::FollowChain(firstCluster, chain, limit, rules, [this](uint32_t c, uint32_t* v) {
    uint16_t e = 0;
    if (c > 0xFFFF || !GetFatEntry((uint16_t)c, &e)) return false;
    *v = e;
    return true;
  });
  for (uint32_t c : chain) list.Add((uint16_t)c);
  return ok;
}

std::wstring CFATVolume::FormatDosTime(WORD date, WORD time) const {
  return fatcommon::FormatDosTime(date, time);
}

std::wstring CFATVolume::GetShortName(const FatDirEntry* entry) const {
  return entry ? fatcommon::ShortName(*entry) : std::wstring();
}

std::wstring CFATVolume::GetLongName(const FatDirEntry* entries, size_t shortIndex) const {
  return fatcommon::LongName(entries, shortIndex);
}

int CFATVolume::GetRecoverablePercent(const FatDirEntry* entry) {
  if (!entry || !m_bValid) return 0;
  const uint16_t first = entry->firstClusterLow;
  const uint64_t n = ((uint64_t)entry->fileSize + m_dwClusterBytes - 1) / m_dwClusterBytes;
  if (entry->name[0] != kFatDeletedMark) {
    ClusterList16 list;
    if (GetFileClusterList(first, list, entry->fileSize) && list.GetCount() == n && n != 0) return 100;
    return 0;
  }
  if (n == 0) return 100;
  // A run that would pass the last 16-bit cluster number counts nothing free.
  if ((uint64_t)first + n - 1 > 0xFFFF) return 0;
  uint64_t freeCount = 0;
  for (uint64_t k = 0; k < n; ++k) {
    uint16_t v = 1;
    uint64_t c = (uint64_t)first + k;
    if (c < 2 || c > m_dwMaxCluster) break;
    if (GetFatEntry((uint16_t)c, &v) && v == 0) ++freeCount;
  }
  if (freeCount == n) return 100;
  return (int)((double)freeCount * 100.0 / (double)n);
}

BYTE* CFATVolume::ReadRootDirectory(uint16_t* entryCount) {
  if (entryCount) *entryCount = 0;
  if (m_wRootEntryCount == 0 || m_hDevice == INVALID_HANDLE_VALUE || !m_bValid) return nullptr;
  const DWORD bytes = (DWORD)m_wRootEntryCount * 32;
  BYTE* buf = new (std::nothrow) BYTE[bytes];
  if (!buf) return nullptr;
  memset(buf, 0, bytes);
  if (!fatcommon::ReadExact(m_hDevice, (uint64_t)m_dwRootDirOffset + GetPartitionOffset(), buf, bytes)) {
    delete[] buf;
    return nullptr;
  }
  if (entryCount) *entryCount = m_wRootEntryCount;
  return buf;
}

CLostFATVolume::CLostFATVolume(int diskNumber, DWORD offsetLow, DWORD offsetHigh) {
  m_nDiskNumber = diskNumber;
  m_dwOffsetLow = offsetLow;
  m_dwOffsetHigh = offsetHigh;
  if (CFATVolume::OpenPath(PhysicalDrivePath(diskNumber).c_str())) memset(m_FatPage, 0, sizeof(m_FatPage));
}

CLostFATVolume::~CLostFATVolume() {}

int CLostFATVolume::OpenPath(const wchar_t* path, uint64_t offset) {
  m_dwOffsetLow = (DWORD)(offset & 0xFFFFFFFFu);
  m_dwOffsetHigh = (DWORD)(offset >> 32);
  return CFATVolume::OpenPath(path);
}
