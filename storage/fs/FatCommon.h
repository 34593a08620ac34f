// Pieces shared by the FAT16, FAT32 and exFAT readers: the cluster list, the
// 32-byte FAT directory entry, names and DOS times, raw reads, and the one
// bounded cluster-chain walk all three readers use.
#pragma once
#include <windows.h>

#include "core/Log.h"
#include "storage/DeviceIo.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Growable array of cluster numbers (32-bit for FAT32 and exFAT, 16-bit for FAT16).
template <typename T>
class ClusterListT {
 public:
  typedef T value_type;
  void Add(T cluster) { m_items.push_back(cluster); }
  size_t GetCount() const { return m_items.size(); }
  void RemoveAll() { m_items.clear(); }
  T GetAt(size_t i) const { return m_items[i]; }
  T operator[](size_t i) const { return m_items[i]; }
  const T* GetData() const { return m_items.empty() ? nullptr : &m_items[0]; }
  bool IsEmpty() const { return m_items.empty(); }

 private:
  std::vector<T> m_items;
};
typedef ClusterListT<uint32_t> ClusterList;
typedef ClusterListT<uint16_t> ClusterList16;

#pragma pack(push, 1)
// Short (8.3) directory entry.
struct FatDirEntry {
  uint8_t name[8];
  uint8_t ext[3];
  uint8_t attr;
  uint8_t ntReserved;
  uint8_t createTimeTenth;
  uint16_t createTime;
  uint16_t createDate;
  uint16_t accessDate;
  uint16_t firstClusterHigh;
  uint16_t writeTime;
  uint16_t writeDate;
  uint16_t firstClusterLow;
  uint32_t fileSize;
};
// Long-name entry (attribute 0x0F) as it overlays a FatDirEntry.
struct FatLongNameEntry {
  uint8_t order;
  uint16_t name1[5];
  uint8_t attr;
  uint8_t type;
  uint8_t checksum;
  uint16_t name2[6];
  uint16_t firstClusterLow;
  uint16_t name3[2];
};
#pragma pack(pop)
static_assert(sizeof(FatDirEntry) == 32, "FAT directory entry is 32 bytes");
static_assert(sizeof(FatLongNameEntry) == 32, "FAT long-name entry is 32 bytes");
static_assert(offsetof(FatDirEntry, attr) == 11, "attribute at 11");
static_assert(offsetof(FatDirEntry, firstClusterHigh) == 20, "cluster high word at 20");
static_assert(offsetof(FatDirEntry, writeTime) == 22, "write time at 22");
static_assert(offsetof(FatDirEntry, writeDate) == 24, "write date at 24");
static_assert(offsetof(FatDirEntry, firstClusterLow) == 26, "cluster low word at 26");
static_assert(offsetof(FatDirEntry, fileSize) == 28, "size at 28");
static_assert(offsetof(FatLongNameEntry, name2) == 14, "long-name units at 14");
static_assert(offsetof(FatLongNameEntry, name3) == 28, "long-name units at 28");

const uint8_t kFatDeletedMark = 0xE5;
const uint8_t kFatAttrLongName = 0x0F;
const uint8_t kFatAttrVolumeLabel = 0x08;
const uint8_t kFatAttrDirectory = 0x10;

namespace fatcommon {
// Whether `size` bytes fit the clusters first .. last (contiguous from its
// first cluster, as a deleted file is taken) of clusterBytes each. A size
// past that is a damaged entry: nothing can be read for most of it.
inline bool SizeFitsClusters(uint64_t size, uint64_t first, uint64_t last, uint64_t clusterBytes) {
  if (clusterBytes == 0 || first < 2 || first > last) return size == 0;
  const uint64_t clusters = last - first + 1;
  if (clusters > ~0ull / clusterBytes) return true;
  return size <= clusters * clusterBytes;
}

// "%04d-%02d-%02d  %02d:%02d" of a DOS date and time word.
std::wstring FormatDosTime(WORD date, WORD time);
// 8.3 name from the entry: name cut at the first blank, "." and the extension
// (cut at the first blank) unless it is a directory; a deleted first byte
// shows as "_", the escape 0x05 as the character 0xE5; the lower-case flags
// of byte 12 are honoured.
std::wstring ShortName(const FatDirEntry& entry);
// Checksum of the 11 short-name bytes that long-name entries carry.
uint8_t ShortNameChecksum(const uint8_t* name11);
// Long name of the short entry at `index`, gathered from the long-name
// entries just before it (never reading before entries[0]). Entries whose
// checksum does not belong to the short entry, or whose deleted state differs
// from it, are not part of its name. Empty when there is none.
std::wstring LongName(const FatDirEntry* entries, size_t index);

// Positioned read of exactly `size` bytes; FALSE on any failure or short read.
BOOL ReadExact(HANDLE h, uint64_t offset, void* buffer, DWORD size);
// As ReadExact but a short read is accepted; returns the bytes read (0 on failure).
DWORD ReadUpTo(HANDLE h, uint64_t offset, void* buffer, DWORD size);
// Opens a volume, disk or image for reading only.
HANDLE OpenReadOnly(const wchar_t* path);
using ::Le16;
using ::Le32;
using ::Le64;
inline bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The boot-sector fields FAT16 and FAT32 share, with the first FAT's offset
// and one FAT's size in bytes.
struct FatBootFields {
  uint32_t bytesPerSector, sectorsPerCluster, reservedSectors, numberOfFats, fatSectors;
  uint64_t totalSectors, fat1Offset, fatBytes;
};
// Reads them from a boot sector; fatSectors is the kind's own FAT-size field.
// FALSE for sizes no volume has (sector not 512..4096 or not a power of two,
// cluster not a power of two, no reserved sector, no FAT).
BOOL ReadFatBootFields(const BYTE* boot, uint32_t fatSectors, FatBootFields* out);

// Reads page `pageIndex` (pageSize bytes) of a FAT that starts at disk offset
// fatStart and is fatBytes long into `page`, zeroed first; a page at the end
// of the FAT may be short. Returns the bytes read, 0 on failure.
DWORD LoadFatPage(HANDLE h, uint64_t fatStart, uint64_t fatBytes, uint64_t pageIndex, void* page,
                  DWORD pageSize, DWORD sectorBytes = 512);

// What the chain walk does with one FAT value.
enum ChainAction { kChainNext, kChainEnd, kChainFail };

// Rules of one FAT flavour for the shared chain walk.
struct ChainRules {
  const wchar_t* className;   // "CFAT32Volume", ... for log lines
  uint32_t maxCluster;        // highest cluster number the volume has
  // Classifies a FAT value; may set a log line (format with one %d for the value).
  ChainAction (*classify)(uint32_t value, const wchar_t** logFormat);
};

// Follows a cluster chain from `first`. `getEntry(cluster, &value)` reads one
// FAT entry (FALSE on a failed read). `limit` is the number of clusters the
// file needs (0: no size given).
//
// Result 1 when the chain ends at an end mark (or, without a size, at a FAT
// read that fails) and, with a size, holds exactly `limit` clusters.
// Result 0 otherwise. A chain that points to itself, at a free, reserved or bad
// value, past the volume's last cluster, loops, or grows beyond the size is
// refused with an empty list. A chain that ends early, with a size given,
// returns 0 but keeps the clusters it found, so a caller can see how far it got.
// The walk always ends: it is bounded by the number of clusters of the volume
// and detects loops as it goes.
template <typename GetEntry>
int FollowChain(uint32_t first, std::vector<uint32_t>& out, uint64_t limit,
                const ChainRules& rules, GetEntry getEntry);

}  // namespace fatcommon

// ---- implementation of the template ----------------------------------------

namespace fatcommon {
template <typename GetEntry>
int FollowChain(uint32_t first, std::vector<uint32_t>& out, uint64_t limit,
                const ChainRules& rules, GetEntry getEntry) {
  out.clear();
  if (first < 2 || first > rules.maxCluster) return 0;
  out.push_back(first);
  uint32_t current = first;
  // Loop detection (Brent): a saved cluster that comes round again is a loop.
  uint32_t saved = first;
  uint64_t power = 1, lambda = 0;
  for (;;) {
    uint32_t value = 0;
    if (!getEntry(current, &value)) {
      if (limit != 0 && out.size() != limit) return 0;  // ended early: partial list kept
      return out.empty() ? 0 : 1;
    }
    const wchar_t* logFormat = nullptr;
    ChainAction action = rules.classify(value, &logFormat);
    if (action == kChainEnd) {
      if (limit != 0 && out.size() != limit) return 0;  // ended early: partial list kept
      return out.empty() ? 0 : 1;
    }
    if (action == kChainFail) {
      if (logFormat) DebugPrint(logFormat, (int)value);
      out.clear();
      return 0;
    }
    if (value == current || value > rules.maxCluster || value == saved) {
      out.clear();
      return 0;
    }
    out.push_back(value);
    current = value;
    if (limit != 0 && out.size() > limit) {
      DebugPrint(L"%s::GetFileClusterList error . File cluster except.\n", rules.className);
      out.clear();
      return 0;
    }
    if (out.size() > (uint64_t)rules.maxCluster) {  // cannot hold more distinct clusters
      out.clear();
      return 0;
    }
    if (++lambda == power) {
      saved = current;
      power <<= 1;
      lambda = 0;
    }
  }
}
}  // namespace fatcommon
