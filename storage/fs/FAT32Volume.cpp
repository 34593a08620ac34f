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
  if (v >= kFat32EndOfChainMin) return fatcommon::kChainEnd;
  if (v <= kFat32MaxDataCluster) return fatcommon::kChainNext;
  return fatcommon::kChainFail;  // reserved values and the bad-cluster mark
}
}  // namespace

CFAT32Volume::CFAT32Volume() : CFatVolumeBase(4) {}

CFAT32Volume::CFAT32Volume(wchar_t letter) : CFAT32Volume() { Open(letter); }

BOOL CFAT32Volume::ParseBootSector(const BYTE* boot) {
  if (!boot) return FALSE;
  if (memcmp(boot + 82, "FAT32", 5) != 0 || Le16(boot + 510) != 0xAA55) return FALSE;
  fatcommon::FatBootFields f;
  if (!fatcommon::ReadFatBootFields(boot, Le32(boot + 36), &f)) return FALSE;
  const uint32_t bps = f.bytesPerSector, spc = f.sectorsPerCluster;
  const uint64_t totalSectors = f.totalSectors, fat1 = f.fat1Offset, fatBytes = f.fatBytes;
  // The data area lies behind as many FATs as the boot sector declares.
  const uint64_t data = fat1 + fatBytes * f.numberOfFats;
  const uint64_t metaSectors = data / bps;
  if (totalSectors <= metaSectors) return FALSE;
  uint64_t clusters = (totalSectors - metaSectors) / spc;
  uint64_t fatEntries = fatBytes / 4;
  uint64_t maxCluster = clusters + 1;
  if (maxCluster > fatEntries - 1) maxCluster = fatEntries - 1;
  if (maxCluster > kFat32MaxDataCluster) maxCluster = kFat32MaxDataCluster;
  if (maxCluster < 2) return FALSE;
  if (fatEntries > (uint64_t)kFat32EntryMask + 1) fatEntries = (uint64_t)kFat32EntryMask + 1;

  m_wBytesPerSector = (WORD)bps;
  m_dwClusterBytes = bps * spc;
  m_dwSectorBytes = bps;
  m_dwRootCluster = Le32(boot + 44);
  m_dwFatSectors = f.fatSectors;
  m_dwNumberOfFats = f.numberOfFats;
  m_dwFatCopies = f.numberOfFats;
  m_u64Fat1Offset = fat1;
  m_u64DataOffset = data;
  m_dwMaxCluster = (DWORD)maxCluster;
  m_dwFatEntries = (DWORD)fatEntries;
  return TRUE;
}

int CFAT32Volume::ReadCluster(uint32_t cluster, void* buffer, DWORD bytes) {
  return ReadDataCluster(m_u64DataOffset, m_dwMaxCluster, cluster, buffer, bytes);
}

int CFAT32Volume::GetFatEntry(uint32_t cluster, uint32_t* value) {
  uint32_t v = 0;
  if (!value || !ReadFatEntry(m_u64Fat1Offset, (uint64_t)m_dwFatSectors * m_wBytesPerSector, cluster, &v))
    return 0;
  *value = v & kFat32EntryMask;
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
  const uint64_t freeCount = CountFreeRun(first, n, m_dwMaxCluster, m_u64Fat1Offset,
                                          (uint64_t)m_dwFatSectors * m_wBytesPerSector, kFat32EntryMask);
  if (freeCount == n) return entry->firstClusterHigh != 0 ? 100 : 99;
  return (int)((double)freeCount * 100.0 / (double)n);
}
