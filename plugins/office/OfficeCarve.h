// Carving of OLE2 compound files: header checks, the length from the sector
// allocation table, and the extension from the directory, the summary
// information's application name, or names found in the bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/common/PluginContract.h"

class CDiskMappingPointer;
class CReaderView;

namespace office {

struct OleHeader {
  uint16_t major = 0;
  uint32_t sectorSize = 0;
  uint32_t fatSectors = 0;        // F
  uint32_t difatSectors = 0;      // D
  uint32_t firstDirectory = 0;
  uint32_t miniCutoff = 0;
  uint32_t firstMiniFat = 0;
  uint32_t miniFatSectors = 0;
  uint32_t firstDifat = 0;
  uint32_t headerDifat[109] = {};
};

// The checks of a compound-file header (512 bytes at p); false when any fails.
bool ParseOleHeader(const unsigned char* p, OleHeader* h);

// The whole analysis of a candidate at the reader's cursor: fills info as the
// plug-in contract asks; 1 when a file was recognised.
int AnalyseCompoundFile(CDiskMappingPointer* reader, RawFileInfo* info);

// Sector reads relative to the header, the candidate's first byte.
class COleSectors {
 public:
  COleSectors(CReaderView& view, const OleHeader& h) : m_view(view), m_h(h) {}
  // Reads sector n (at (n + 1) x sector size from the header).
  bool ReadSector(uint32_t n, unsigned char* out) const;
  // The sector allocation table; false when it cannot be read whole.
  bool ReadFat(std::vector<uint32_t>* fat) const;
  // Follows the chain from start through table (FAT or mini FAT), reading at
  // most `want` bytes of whole units; false on a number outside the table or a
  // failed read.
  bool ReadChain(uint32_t start, const std::vector<uint32_t>& fat, uint64_t want,
                 std::vector<unsigned char>* out) const;

 private:
  CReaderView& m_view;
  const OleHeader& m_h;
};

// The directory's entries, read once, with the root storage's own entries
// marked.
class COleDirectory {
 public:
  // False when a directory sector cannot be read.
  bool Read(const COleSectors& sectors, const OleHeader& h, const std::vector<uint32_t>& fat);
  // The extension chosen by the names of the root storage's entries and the
  // summary information; empty when nothing decided.
  std::string Detect(const COleSectors& sectors, const OleHeader& h, const std::vector<uint32_t>& fat) const;
  // The second choice: the first four entries of each directory sector.
  std::string Guess() const;

  size_t Count() const { return m_entries.size() / 128; }
  const std::vector<unsigned char>& Bytes() const { return m_entries; }
  const unsigned char* Entry(size_t i) const { return m_entries.data() + i * 128; }

 private:
  std::vector<unsigned char> m_entries;
  std::vector<bool> m_top;
  size_t m_perSector = 4;
};

// The third: UTF-16 names found anywhere in the bytes; "ole" when none.
const char* ExtensionFromBytes(const unsigned char* p, uint64_t n);
// Maps an 8-bit application name (count bytes, NUL included) to an extension;
// unchanged when nothing matches.
void MapApplicationName(const unsigned char* name, uint32_t count, std::string* ext);
// Applies the summary information property set held in bytes.
void ApplySummaryInformation(const unsigned char* p, uint64_t size, std::string* ext);

}  // namespace office
