#include "storage/fs/FATVolume.h"

#include "core/Log.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {
using fatcommon::Le16;
using fatcommon::Le32;

fatcommon::ChainAction ClassifyFat16(uint32_t v, const wchar_t**) {
  if (v >= kFat16EndOfChainMin) return fatcommon::kChainEnd;
  if (v >= 2 && v <= kFat16MaxDataCluster) return fatcommon::kChainNext;
  return fatcommon::kChainFail;  // free, 1, reserved and bad marks
}
}  // namespace

CFATVolume::CFATVolume() : CFatVolumeBase(2) {}

CFATVolume::CFATVolume(wchar_t letter) : CFATVolume() { Open(letter); }

BOOL CFATVolume::ParseBootSector(const BYTE* boot) {
  if (!boot) return FALSE;
  if (memcmp(boot + 54, "FAT16", 5) != 0 || Le16(boot + 510) != 0xAA55) return FALSE;
  fatcommon::FatBootFields f;
  if (!fatcommon::ReadFatBootFields(boot, Le16(boot + 22), &f)) return FALSE;
  const uint32_t bps = f.bytesPerSector, spc = f.sectorsPerCluster;
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
  if (maxCluster > kFat16MaxDataCluster) maxCluster = kFat16MaxDataCluster;
  if (maxCluster < 2) return FALSE;

  m_wBytesPerSector = (WORD)bps;
  m_wRootEntryCount = (WORD)rootEntries;
  m_dwClusterBytes = bps * spc;
  m_dwSectorBytes = bps;
  m_dwFatSectors = fatSectors;
  m_dwNumberOfFats = fats;
  m_dwFatCopies = fats;
  m_u64Fat1Offset = fat1;
  m_dwRootDirOffset = (DWORD)root;
  m_u64DataOffset = data;
  m_dwMaxCluster = (DWORD)maxCluster;
  m_dwFatEntries = (DWORD)fatEntries;
  return TRUE;
}

int CFATVolume::ReadCluster(uint16_t cluster, void* buffer, DWORD bytes) {
  return ReadDataCluster(m_u64DataOffset, m_dwMaxCluster, cluster, buffer, bytes);
}

int CFATVolume::GetFatEntry(uint16_t cluster, uint16_t* value) {
  uint32_t v = 0;
  if (!value || !ReadFatEntry(m_u64Fat1Offset, (uint64_t)m_dwFatSectors * m_wBytesPerSector, cluster, &v))
    return 0;
  *value = (uint16_t)v;
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
  const uint64_t freeCount = CountFreeRun(first, n, m_dwMaxCluster, m_u64Fat1Offset,
                                          (uint64_t)m_dwFatSectors * m_wBytesPerSector, 0xFFFF);
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
  if (ReadAtAligned(m_hDevice, (uint64_t)m_dwRootDirOffset + GetPartitionOffset(), buf, bytes, m_dwSectorBytes) !=
      bytes) {
    delete[] buf;
    return nullptr;
  }
  if (entryCount) *entryCount = m_wRootEntryCount;
  return buf;
}
