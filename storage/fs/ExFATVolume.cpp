#include "storage/fs/ExFATVolume.h"

#include "core/Log.h"
#include "storage/DeviceIo.h"

#include <cstdio>
#include <cstring>

namespace {
using fatcommon::Le16;
using fatcommon::Le32;
using fatcommon::Le64;

fatcommon::ChainAction ClassifyExFat(uint32_t v, const wchar_t** logFormat) {
  if (v == 0) {
    *logFormat = L"CExFATVolume::GetFileClusterList free . FAT = %d.\n";
    return fatcommon::kChainFail;
  }
  if (v == 1) {
    *logFormat = L"CExFATVolume::GetFileClusterList invailed value . FAT = %d.\n";
    return fatcommon::kChainFail;
  }
  if (v == kExFatEndOfChain) return fatcommon::kChainEnd;
  if (v == kExFatBadCluster || v == 0xFFFFFFF8) {
    *logFormat = L"CExFATVolume::GetFileClusterList bad cluster . FAT = %d.\n";
    return fatcommon::kChainFail;
  }
  if (v >= 0xFFFFFFF9) {
    *logFormat = L"CExFATVolume::GetFileClusterList reserve . FAT = %d.\n";
    return fatcommon::kChainFail;
  }
  return fatcommon::kChainNext;
}

// The stream extension entry of a set, or null when the set is too short.
const BYTE* StreamEntry(const ExFatEntrySet* set) {
  if (!set || !set->entries || set->count < 2) return nullptr;
  return set->entries + 32;
}
}  // namespace

CExFATVolume::CExFATVolume() : CFatVolumeBase(4) {}

CExFATVolume::CExFATVolume(wchar_t letter) : CExFATVolume() { Open(letter); }

BOOL CExFATVolume::ParseBootSector(const BYTE* boot) {
  if (!boot) return FALSE;
  if (memcmp(boot + 3, "EXFAT   ", 8) != 0 || Le16(boot + 510) != 0xAA55 || boot[110] != 1)
    return FALSE;
  const uint32_t bpsShift = boot[108];
  const uint32_t spcShift = boot[109];
  // Sector 512 bytes to 4 KiB, cluster at most 32 MiB.
  if (bpsShift < 9 || bpsShift > 12 || bpsShift + spcShift > 25) return FALSE;
  const uint32_t bps = 1u << bpsShift;
  const uint32_t fatOffset = Le32(boot + 80);
  const uint32_t fatLength = Le32(boot + 84);
  const uint32_t heapOffset = Le32(boot + 88);
  const uint32_t clusterCount = Le32(boot + 92);
  if (fatOffset == 0 || fatLength == 0 || heapOffset == 0 || clusterCount == 0 ||
      clusterCount > 0xFFFFFFF5)
    return FALSE;
  uint64_t fatEntries = (uint64_t)fatLength * bps / 4;
  if (fatEntries < 3) return FALSE;
  if (fatEntries > (uint64_t)clusterCount + 2) fatEntries = (uint64_t)clusterCount + 2;

  m_dwBytesPerSector = bps;
  m_dwClusterBytes = bps << spcShift;
  m_dwSectorBytes = bps;
  m_dwClusterCount = clusterCount;
  m_dwRootCluster = Le32(boot + 96);
  m_dwFatLength = fatLength;
  m_u64FatOffset = (uint64_t)bps * fatOffset;
  m_u64ClusterHeapOffset = (uint64_t)bps * heapOffset;
  m_dwFatEntries = (DWORD)fatEntries;
  return TRUE;
}

void CExFATVolume::OnOpened() { m_u64DeviceBytes = QueryDeviceLength(m_hDevice, 1); }

uint64_t CExFATVolume::LastClusterOnDevice() const {
  uint64_t last = (uint64_t)m_dwClusterCount + 1;
  if (m_u64DeviceBytes == 0 || m_dwClusterBytes == 0) return last;
  const uint64_t heap = GetPartitionOffset() + m_u64ClusterHeapOffset;
  if (heap >= m_u64DeviceBytes) return 1;  // no cluster on the device
  const uint64_t onDevice = (m_u64DeviceBytes - heap + m_dwClusterBytes - 1) / m_dwClusterBytes;
  return onDevice + 1 < last ? onDevice + 1 : last;
}

int CExFATVolume::GetFatEntry(uint32_t cluster, uint32_t* value) {
  return ReadFatEntry(m_u64FatOffset, (uint64_t)m_dwFatLength * m_dwBytesPerSector, cluster, value);
}

int CExFATVolume::ReadCluster(uint32_t cluster, void* buffer, DWORD bytes) {
  return ReadDataCluster(m_u64ClusterHeapOffset, (uint64_t)m_dwClusterCount + 1, cluster, buffer, bytes);
}

int CExFATVolume::GetFileClusterList(uint32_t firstCluster, ClusterList& list, uint64_t size) {
  list.RemoveAll();
  if (!m_bValid) return 0;
  uint64_t limit = size ? (size + m_dwClusterBytes - 1) / m_dwClusterBytes : 0;
  fatcommon::ChainRules rules = {L"CExFATVolume", m_dwClusterCount + 1, ClassifyExFat};
  std::vector<uint32_t> chain;
  int ok = fatcommon::FollowChain(firstCluster, chain, limit, rules,
                                  [this](uint32_t c, uint32_t* v) { return GetFatEntry(c, v) != 0; });
  for (uint32_t c : chain) list.Add(c);
  return ok;
}

int CExFATVolume::GetFileClusterList(uint32_t firstCluster, ClusterList& list, uint64_t size,
                                     BYTE streamFlags) {
  if (!(streamFlags & kExFatNoFatChain)) return GetFileClusterList(firstCluster, list, size);
  list.RemoveAll();
  if (!m_bValid || firstCluster < 2) return 0;
  const uint64_t n = (size + m_dwClusterBytes - 1) / m_dwClusterBytes;
  // The run must lie inside the heap and on the device: a damaged length
  // must not turn into a list of billions of clusters.
  if (n == 0 || (uint64_t)firstCluster + n - 1 > LastClusterOnDevice()) return 0;
  for (uint64_t k = 0; k < n; ++k) list.Add((uint32_t)(firstCluster + k));
  return 1;
}

int CExFATVolume::GetRecoverablePercent(const ExFatEntrySet* set) {
  const BYTE* stream = StreamEntry(set);
  if (!stream || !m_bValid) return 0;
  const uint32_t first = Le32(stream + 20);
  const uint64_t vdl = Le64(stream + 8);
  const uint64_t n = (vdl + m_dwClusterBytes - 1) / m_dwClusterBytes;
  if (stream[0] == 0x40) {  // deleted stream extension
    if (n == 0) return 100;
    const uint64_t freeCount = CountFreeRun(first, n, LastClusterOnDevice(), m_u64FatOffset,
                                            (uint64_t)m_dwFatLength * m_dwBytesPerSector, 0xFFFFFFFF);
    if (freeCount == n) return 100;
    return (int)((double)freeCount * 100.0 / (double)n);
  }
  // A live file: its clusters are all there when its run (no FAT chain) lies
  // inside the heap, or when its chain holds exactly the clusters it needs.
  ClusterList list;
  if (GetFileClusterList(first, list, vdl, stream[1]) && list.GetCount() == n && n != 0) return 100;
  return 0;
}

std::wstring CExFATVolume::FormatEntryTime(const BYTE* fileEntry, int which) const {
  if (!fileEntry) return L"";
  if (which < 0 || which > 2) return fatcommon::FormatDosTime(33, 0);
  const uint32_t stamp = Le32(fileEntry + 8 + which * 4);
  return fatcommon::FormatDosTime((WORD)(stamp >> 16), (WORD)(stamp & 0xFFFF));
}

int CExFATVolume::GetEntryClass(const BYTE* entry) {
  if (!entry) return kExFatNoEntry;
  const BYTE t = entry[0];
  const bool dir = (Le16(entry + 4) & 0x10) != 0;
  if (t == 0x00) return kExFatEndOfDirectory;
  if (t == 0x03) return kExFatVolumeLabel;
  if (t == 0x05) return dir ? kExFatDeletedDirectory : kExFatDeletedFile;
  if (t == 0x40) return kExFatDeletedStream;
  if (t == 0x41) return kExFatDeletedFileName;
  if (t < 0x80) return kExFatUnusedBenign;
  if (t == 0x80) return kExFatInvalid;
  if (t == 0x81) return kExFatBitmap;
  if (t == 0x82) return kExFatUpcase;
  if (t == 0x83) return kExFatVolumeLabel;
  if (t == 0x85) return dir ? kExFatDirectory : kExFatFile;
  if (t <= 0x9F) return kExFatPrimaryOther;
  if (t == 0xA0) return kExFatGuid;
  if (t == 0xA1) return kExFatPadding;
  if (t == 0xA2) return kExFatAcl;
  if (t <= 0xBF) return kExFatBenignOther;
  if (t == 0xC0) return kExFatStream;
  if (t == 0xC1) return kExFatFileName;
  if (t == 0xC2) return kExFatSecondaryC2;
  if (t <= 0xDF) return kExFatSecondaryOther;
  return kExFatSecondaryBenign;
}

uint64_t CExFATVolume::GetValidDataLength(const ExFatEntrySet* set) {
  const BYTE* s = StreamEntry(set);
  return s ? Le64(s + 8) : 0;
}

uint64_t CExFATVolume::GetDataLength(const ExFatEntrySet* set) {
  const BYTE* s = StreamEntry(set);
  return s ? Le64(s + 24) : 0;
}

BYTE CExFATVolume::GetStreamFlags(const ExFatEntrySet* set) {
  const BYTE* s = StreamEntry(set);
  return s ? s[1] : 0;
}

uint32_t CExFATVolume::GetFirstCluster(const ExFatEntrySet* set) {
  const BYTE* s = StreamEntry(set);
  return s ? Le32(s + 20) : 0;
}

BYTE CExFATVolume::GetStreamType(const ExFatEntrySet* set) {
  const BYTE* s = StreamEntry(set);
  return s ? s[0] : 0;
}

std::wstring CExFATVolume::GetEntrySetName(const ExFatEntrySet* set, int secondaryCount) {
  std::wstring name;
  if (!set || !set->entries) return name;
  for (int i = 2; i <= secondaryCount && (uint32_t)i < set->count; ++i) {
    const BYTE* e = set->entries + (size_t)i * 32;
    if (e[0] != 0xC1 && e[0] != 0x41) break;
    for (int k = 0; k < 15; ++k) {
      uint16_t u = Le16(e + 2 + k * 2);
      if (u == 0x0000 || u == 0xFFFF) break;
      name += (wchar_t)u;
    }
  }
  return name;
}
