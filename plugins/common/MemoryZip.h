// A ZIP archive held in memory (a ZIP-based document, a drawing's thumbnail
// container), read through minizip with a file-function table of our own:
// the archive's bytes are never copied or written out. Entries are read
// whole and only up to a size the caller allows: a claimed size above it is
// refused, never inflated; data that does not inflate to exactly that size,
// or whose checksum fails, is refused too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "unzip.h"

namespace plugin {

// Most central-directory entries visited in one archive.
const uint32_t kMaxEntriesVisited = 100000;

struct EntryInfo {
  std::string name;       // as stored
  uint64_t size;          // uncompressed, as claimed
  uint16_t flags;
  unz64_file_pos where;   // to come back to the entry
};

// The archive's bytes as minizip's file functions see them.
struct ZipMemFile {
  const unsigned char* data;
  uint64_t size;
  uint64_t pos;
};

class CMemoryZip {
 public:
  CMemoryZip(const void* data, uint64_t size);
  ~CMemoryZip();
  CMemoryZip(const CMemoryZip&) = delete;
  CMemoryZip& operator=(const CMemoryZip&) = delete;

  bool IsOpen() const { return m_zip != nullptr; }
  // The entries in central-directory order; false when the archive cannot
  // be listed at all. Stops after kMaxEntriesVisited entries, or at the
  // first entry the visitor answers false for.
  template <typename Visit>
  bool ForEach(Visit visit);
  // Reads the whole of an entry into *out. False for an encrypted entry, a
  // claimed size of 0 or above maxBytes, or data that does not inflate to
  // exactly the claimed size with a matching checksum.
  bool ReadEntry(const EntryInfo& entry, uint64_t maxBytes, std::string* out);
  // The first entry called name (exact, case-sensitive).
  bool Find(const char* name, EntryInfo* found);

 private:
  bool Current(EntryInfo* info);

  ZipMemFile m_file;
  unzFile m_zip;
};

template <typename Visit>
bool CMemoryZip::ForEach(Visit visit) {
  if (!m_zip || unzGoToFirstFile(m_zip) != UNZ_OK) return false;
  EntryInfo info;
  for (uint32_t i = 0; i < kMaxEntriesVisited; ++i) {
    if (!Current(&info) || !visit(info)) break;
    if (unzGoToNextFile(m_zip) != UNZ_OK) break;
  }
  return true;
}

// Reads the entry called name of the archive in data[0, size) into out, as
// CMemoryZip::ReadEntry does.
bool ReadZipEntry(const unsigned char* data, uint64_t size, const char* name, uint64_t maxBytes,
                  std::vector<unsigned char>* out);

}  // namespace plugin
