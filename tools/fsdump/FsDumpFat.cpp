// FAT16, FAT32 and exFAT parts of fsdump: walks the directory tree through
// the volume readers and hashes what they give back for every entry.
#include "tools/fsdump/FsDump.h"

#include "storage/fs/ExFATVolume.h"
#include "storage/fs/FAT32Volume.h"
#include "storage/fs/FATVolume.h"

#include <set>
#include <vector>

namespace {

// A directory larger than this is cut off (65536 entries).
const size_t kMaxDirBytes = 65536 * 32;
// Folders deeper than this are listed but not entered. Windows keeps FAT and
// exFAT paths within 260 characters, so no real tree comes near it; a damaged
// or crafted one (each cluster a folder naming the next) would otherwise
// recurse until the stack runs out.
const int kMaxDepth = 256;

// Reads `n` clusters of a run, or of a list, into one buffer; false when a
// cluster cannot be read.
template <class Vol, class Clusters>
bool ReadClusters(Vol& vol, const Clusters& clusters, size_t count, uint64_t bytesWanted,
                  std::vector<BYTE>& out) {
  out.clear();
  const DWORD cb = vol.GetClusterSize();
  std::vector<BYTE> buf(cb);
  for (size_t i = 0; i < count && out.size() < bytesWanted; ++i) {
    if (!vol.ReadCluster(clusters(i), buf.data(), cb)) return false;
    uint64_t take = bytesWanted - out.size();
    if (take > cb) take = cb;
    out.insert(out.end(), buf.begin(), buf.begin() + (size_t)take);
  }
  return out.size() == bytesWanted;
}

std::string HashOrDash(bool ok, const std::vector<BYTE>& data) {
  return ok ? Sha256Hex(data.empty() ? "" : (const void*)data.data(), data.size()) : "-";
}

// ---- FAT16 / FAT32 ----------------------------------------------------------
template <class Vol, class List>
class CFatDumper {
 public:
  CFatDumper(Vol& vol, bool fat32, std::vector<FsDumpRow>& rows)
      : m_vol(vol), m_fat32(fat32), m_rows(rows) {}

  void WalkRoot(const std::vector<BYTE>& dir, uint32_t rootCluster) {
    if (rootCluster) m_visited.insert(rootCluster);
    WalkEntries(dir, L"", false, 0);
  }

  // Reads a sub-folder: its chain when there is one, else its first cluster alone.
  bool ReadDir(uint32_t first, std::vector<BYTE>& out) {
    List list;
    const DWORD cb = m_vol.GetClusterSize();
    m_vol.GetFileClusterList(first, list, 0);
    size_t n = list.GetCount();
    if (n == 0) {
      std::vector<BYTE> one(cb);
      if (!m_vol.ReadCluster((typename List::value_type)first, one.data(), cb)) return false;
      out = one;
      return true;
    }
    if ((uint64_t)n * cb > kMaxDirBytes) n = kMaxDirBytes / cb;
    return ReadClusters(m_vol, [&](size_t i) { return list[i]; }, n, (uint64_t)n * cb, out);
  }

 private:
  void WalkEntries(const std::vector<BYTE>& dir, const std::wstring& path, bool parentDeleted,
                   int depth) {
    const FatDirEntry* entries = reinterpret_cast<const FatDirEntry*>(dir.data());
    const size_t count = dir.size() / 32;
    for (size_t i = 0; i < count; ++i) {
      const FatDirEntry& e = entries[i];
      if (e.name[0] == 0x00) break;
      if (e.attr == kFatAttrLongName) continue;
      if (e.attr & kFatAttrVolumeLabel) continue;
      if (e.name[0] == '.') continue;
      std::wstring name = m_vol.GetLongName(entries, i);
      if (name.empty()) name = m_vol.GetShortName(&e);
      if (name.empty()) continue;
      FsDumpRow row;
      row.path = path + L"/" + name;
      row.size = e.fileSize;
      row.deleted = e.name[0] == kFatDeletedMark || parentDeleted;
      uint32_t first = e.firstClusterLow;
      if (m_fat32) first |= (uint32_t)e.firstClusterHigh << 16;
      row.firstCluster = first;
      if (e.attr & kFatAttrDirectory) {
        row.sha256 = "-";
        m_rows.push_back(row);
        // A folder already walked (a loop back to an ancestor) is not walked again.
        if (first >= 2 && depth + 1 < kMaxDepth && m_visited.insert(first).second) {
          std::vector<BYTE> sub;
          bool ok = row.deleted ? ReadFirstCluster(first, sub) : ReadDir(first, sub);
          if (ok) WalkEntries(sub, row.path, row.deleted, depth + 1);
        }
        continue;
      }
      row.sha256 = HashFile(first, e.fileSize, e.name[0] == kFatDeletedMark, parentDeleted);
      m_rows.push_back(row);
    }
  }

  bool ReadFirstCluster(uint32_t first, std::vector<BYTE>& out) {
    out.assign(m_vol.GetClusterSize(), 0);
    return m_vol.ReadCluster((typename List::value_type)first, out.data(), m_vol.GetClusterSize()) != 0;
  }

  // A deleted file's chain is gone: its clusters are taken as one run. So are
  // those of a file inside a deleted folder whose chain went with the folder.
  std::string HashFile(uint32_t first, uint32_t size, bool deleted, bool inDeletedFolder) {
    std::vector<BYTE> data;
    if (size == 0) return HashOrDash(true, data);
    const DWORD cb = m_vol.GetClusterSize();
    const uint64_t n = ((uint64_t)size + cb - 1) / cb;
    if (first < 2) return "-";
    List list;
    bool chain = !deleted && m_vol.GetFileClusterList((typename List::value_type)first, list, size) &&
                 list.GetCount() == n;
    if (!chain && (deleted || inDeletedFolder)) {
      bool ok = ReadClusters(m_vol, [&](size_t i) { return (typename List::value_type)(first + i); },
                             (size_t)n, size, data);
      return HashOrDash(ok, data);
    }
    if (!chain) return "-";
    bool ok = ReadClusters(m_vol, [&](size_t i) { return list[i]; }, list.GetCount(), size, data);
    return HashOrDash(ok, data);
  }

  Vol& m_vol;
  bool m_fat32;
  std::vector<FsDumpRow>& m_rows;
  std::set<uint32_t> m_visited;
};

// ---- exFAT -----------------------------------------------------------------
class CExFatDumper {
 public:
  CExFatDumper(CExFATVolume& vol, std::vector<FsDumpRow>& rows) : m_vol(vol), m_rows(rows) {}

  void WalkRoot() {
    std::vector<BYTE> dir;
    const uint32_t root = m_vol.GetRootCluster();
    m_visited.insert(root);
    if (ReadDir(root, 0, 0, false, dir)) WalkEntries(dir, L"", false, 0);
  }

 private:
  bool ReadDir(uint32_t first, uint64_t length, BYTE flags, bool deleted, std::vector<BYTE>& out) {
    ClusterList list;
    const DWORD cb = m_vol.GetClusterSize();
    if ((flags & kExFatNoFatChain) && length == 0) return false;
    // A run is only listed as far as the cut-off: a damaged length must not
    // list clusters that would never be read.
    const uint64_t listed = (flags & kExFatNoFatChain) && length > kMaxDirBytes ? kMaxDirBytes : length;
    m_vol.GetFileClusterList(first, list, listed, flags);
    size_t n = list.GetCount();
    if (n == 0 || deleted) {
      // No chain to follow: a deleted folder's run, else its first cluster.
      if (deleted && length != 0 && first >= 2) {
        uint64_t want = length > kMaxDirBytes ? kMaxDirBytes : length;
        uint64_t cl = (want + cb - 1) / cb;
        return ReadClusters(m_vol, [&](size_t i) { return (uint32_t)(first + i); }, (size_t)cl,
                            cl * cb, out);
      }
      out.assign(cb, 0);
      return m_vol.ReadCluster(first, out.data(), cb) != 0;
    }
    if ((uint64_t)n * cb > kMaxDirBytes) n = kMaxDirBytes / cb;
    return ReadClusters(m_vol, [&](size_t i) { return list[i]; }, n, (uint64_t)n * cb, out);
  }

  void WalkEntries(const std::vector<BYTE>& dir, const std::wstring& path, bool parentDeleted,
                   int depth) {
    const size_t count = dir.size() / 32;
    for (size_t i = 0; i < count;) {
      const BYTE* e = dir.data() + i * 32;
      if (e[0] == 0x00) break;
      int cls = CExFATVolume::GetEntryClass(e);
      bool isSet = cls == kExFatFile || cls == kExFatDirectory || cls == kExFatDeletedFile ||
                   cls == kExFatDeletedDirectory;
      int sc = CExFATVolume::GetSecondaryCount(e);
      if (!isSet || sc < 2 || sc > 18) {
        ++i;
        continue;
      }
      ExFatEntrySet set = {e, (uint32_t)(count - i)};
      if ((uint32_t)sc + 1 > set.count) break;  // set cut off by the end of the folder
      const bool ownDeleted = cls == kExFatDeletedFile || cls == kExFatDeletedDirectory;
      const BYTE streamType = CExFATVolume::GetStreamType(&set);
      if (streamType != (ownDeleted ? 0x40 : 0xC0)) {
        ++i;
        continue;
      }
      i += (size_t)sc + 1;
      std::wstring name = CExFATVolume::GetEntrySetName(&set, sc);
      if (name.empty()) continue;
      FsDumpRow row;
      row.path = path + L"/" + name;
      row.size = CExFATVolume::GetValidDataLength(&set);
      row.deleted = ownDeleted || parentDeleted;
      const uint32_t first = CExFATVolume::GetFirstCluster(&set);
      const BYTE flags = CExFATVolume::GetStreamFlags(&set);
      row.firstCluster = first;
      if (cls == kExFatDirectory || cls == kExFatDeletedDirectory) {
        row.sha256 = "-";
        row.size = 0;
        m_rows.push_back(row);
        if (first >= 2 && depth + 1 < kMaxDepth && m_visited.insert(first).second) {
          std::vector<BYTE> sub;
          if (ReadDir(first, CExFATVolume::GetDataLength(&set), flags, ownDeleted, sub))
            WalkEntries(sub, row.path, row.deleted, depth + 1);
        }
        continue;
      }
      row.sha256 = HashFile(first, row.size, flags, ownDeleted, parentDeleted);
      m_rows.push_back(row);
    }
  }

  std::string HashFile(uint32_t first, uint64_t size, BYTE flags, bool deleted, bool inDeletedFolder) {
    std::vector<BYTE> data;
    if (size == 0) return HashOrDash(true, data);
    const DWORD cb = m_vol.GetClusterSize();
    const uint64_t n = (size + cb - 1) / cb;
    if (first < 2 || n > 0x7FFFFFFF) return "-";
    ClusterList list;
    bool chain = !deleted && m_vol.GetFileClusterList(first, list, size, flags) && list.GetCount() == n;
    if (!chain && (deleted || inDeletedFolder)) {
      bool ok = ReadClusters(m_vol, [&](size_t i) { return (uint32_t)(first + i); }, (size_t)n, size,
                             data);
      return HashOrDash(ok, data);
    }
    if (!chain) return "-";
    bool ok = ReadClusters(m_vol, [&](size_t i) { return list[i]; }, list.GetCount(), size, data);
    return HashOrDash(ok, data);
  }

  CExFATVolume& m_vol;
  std::vector<FsDumpRow>& m_rows;
  std::set<uint32_t> m_visited;
};

}  // namespace

bool DumpFatVolume(const std::wstring& image, uint64_t offset, std::vector<FsDumpRow>& rows) {
  {
    CLostFAT32Volume vol;
    if (vol.OpenPath(image.c_str(), offset)) {
      CFatDumper<CFAT32Volume, ClusterList> dumper(vol, true, rows);
      std::vector<BYTE> root;
      if (dumper.ReadDir(vol.GetRootCluster(), root)) dumper.WalkRoot(root, vol.GetRootCluster());
      return true;
    }
  }
  CLostFATVolume vol;
  if (!vol.OpenPath(image.c_str(), offset)) return false;
  CFatDumper<CFATVolume, ClusterList16> dumper(vol, false, rows);
  uint16_t count = 0;
  BYTE* root = vol.ReadRootDirectory(&count);
  if (root) {
    std::vector<BYTE> dir(root, root + (size_t)count * 32);
    delete[] root;
    dumper.WalkRoot(dir, 0);
  }
  return true;
}

bool DumpExFatVolume(const std::wstring& image, uint64_t offset, std::vector<FsDumpRow>& rows) {
  CLostExFATVolume vol;
  if (!vol.OpenPath(image.c_str(), offset)) return false;
  CExFatDumper dumper(vol, rows);
  dumper.WalkRoot();
  return true;
}
