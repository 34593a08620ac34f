#include "plugins/office/OfficeCarve.h"

#include <cstring>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/FindBytes.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderCursor.h"
#include "plugins/common/ReaderView.h"

namespace office {

namespace {

using plugin::Le16;
using plugin::Le32;

const uint32_t kFree = 0xFFFFFFFFu;
const uint32_t kEnd = 0xFFFFFFFEu;
const uint64_t kMaxFatBytes = 0x2800000;  // 41,943,040
const uint32_t kEntrySize = 128;
const uint64_t kMinSummary = 48;
const uint64_t kMaxSummary = 0x100000;
const uint64_t kMaxMiniStream = 0xFFFFF;
const uint32_t kHeaderDifat = 109;
// Directory bytes gathered for the choice of extension (8,192 entries).
const size_t kMaxDirectoryBytes = 8192 * 128;

// How a directory name takes part in the choice of extension.
enum NameUse : uint8_t {
  kPlain = 0,
  kSecondEntryOnly = 1,  // only the entry at index 1 of a sector
  kWhileUnset = 2,       // only while no extension is set; the guess remembers it
  kSummary = 3,          // the summary information stream: read its property set
  kNotGuessed = 4,       // not tried by the sector guess
};

struct NameRule {
  const char* name;  // ASCII; "\x05" stands for the character 5
  const char* ext;
  uint8_t use;
};

// In the order they are tried; among names of one length the first match wins.
const NameRule kNames[] = {
    {"Scene", "max", kPlain},
    {"Licom", "amb", kPlain},
    {"doc.det", "psmodel", kSecondEntryOnly},
    {"Version", "snt", kNotGuessed},
    {"Workbook", "xls", kWhileUnset},
    {"CONTENTS", "wps", kPlain},
    {"PageMaker", "p65", kPlain},
    {"JNBVersion", "jnb", kPlain},
    {"ImagesStore", "albm", kPlain},
    {"WksSSWorkBook", "xlr", kPlain},
    {"VisioDocument", "vsd", kPlain},
    {"swXmlContents", "sld", kPlain},
    {"manifest.camxml", "camrec", kNotGuessed},
    {"StarCalcDocument", "sdc", kPlain},
    {"StarDrawDocument3", "sda", kPlain},
    {"file_COMPANY_FILE", "qbb", kNotGuessed},
    {"NativeContent_MAIN", "qpw", kPlain},
    {"StarWriterDocument", "sdw", kPlain},
    {"\x05SummaryInformation", "", kSummary},
    {"PowerPoint Document", "ppt", kPlain},
    {"__nameid_version1.0", "msg", kPlain},
    {"ISolidWorksInformation", "sld", kPlain},
    {"\x05WilcomDesignInformationDDD", "emb", kPlain},
};

// The entry's name (UTF-16LE at offset 0, its byte length with the NUL at 64)
// equals the ASCII name with its NUL.
bool NameIs(const unsigned char* entry, const char* name) {
  const size_t n = strlen(name);
  if (Le16(entry + 64) != (n + 1) * 2 || (n + 1) * 2 > 64) return false;
  for (size_t i = 0; i < n; ++i)
    if (Le16(entry + 2 * i) != static_cast<unsigned char>(name[i])) return false;
  return Le16(entry + 2 * n) == 0;
}

// Name length above 5 and the name "Dgn" followed by its NUL.
bool IsDgnEntry(const unsigned char* entry) {
  return Le16(entry + 64) > 5 && Le16(entry) == 'D' && Le16(entry + 2) == 'g' &&
         Le16(entry + 4) == 'n' && Le16(entry + 6) == 0;
}

bool StartsWithUtf16(const unsigned char* entry, const char* text) {
  const size_t n = strlen(text);
  if (Le16(entry + 64) < n * 2) return false;
  for (size_t i = 0; i < n; ++i)
    if (Le16(entry + 2 * i) != static_cast<unsigned char>(text[i])) return false;
  return true;
}

uint32_t SectorsPerDirectory(const OleHeader& h) { return h.sectorSize / kEntrySize; }

}  // namespace

bool ParseOleHeader(const unsigned char* p, OleHeader* h) {
  static const unsigned char kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  if (memcmp(p, kSignature, 8) != 0) return false;
  if (Le16(p + 28) != 0xFFFE) return false;
  h->major = Le16(p + 26);
  if (h->major != 3 && h->major != 4) return false;
  for (int i = 34; i < 40; ++i)
    if (p[i] != 0) return false;
  if (Le16(p + 32) != 6) return false;
  const uint16_t shift = Le16(p + 30);
  const uint32_t dirSectors = Le32(p + 40);
  if (h->major == 3 && (shift != 9 || dirSectors != 0)) return false;
  if (h->major == 4 && (shift != 12 || dirSectors == 0)) return false;
  h->sectorSize = 1u << shift;
  h->fatSectors = Le32(p + 44);
  h->firstDirectory = Le32(p + 48);
  h->miniCutoff = Le32(p + 56);
  h->firstMiniFat = Le32(p + 60);
  h->miniFatSectors = Le32(p + 64);
  h->firstDifat = Le32(p + 68);
  h->difatSectors = Le32(p + 72);
  for (uint32_t i = 0; i < kHeaderDifat; ++i) h->headerDifat[i] = Le32(p + 76 + 4 * i);
  if (h->fatSectors == 0 || h->difatSectors > 50) return false;
  // Each DIFAT sector names sector size / 4 - 1 FAT sectors: a count of FAT
  // sectors beyond what the header and the DIFAT sectors can name is damage.
  const uint64_t named = kHeaderDifat + static_cast<uint64_t>(h->difatSectors) * (h->sectorSize / 4 - 1);
  return h->fatSectors <= named;
}

// ---------------------------------------------------------------------------
// Sector reads
// ---------------------------------------------------------------------------
bool COleSectors::ReadSector(uint32_t n, unsigned char* out) const {
  const uint64_t offset = (static_cast<uint64_t>(n) + 1) * m_h.sectorSize;
  return m_view.Copy(offset, out, m_h.sectorSize);
}

bool COleSectors::ReadFat(std::vector<uint32_t>* fat) const {
  const uint32_t ss = m_h.sectorSize, per = ss / 4;
  const uint32_t F = m_h.fatSectors;
  if (F == 0 || m_h.difatSectors > 50 || static_cast<uint64_t>(F) * ss > kMaxFatBytes) return false;
  std::vector<uint32_t> list(m_h.headerDifat, m_h.headerDifat + kHeaderDifat);
  std::vector<unsigned char> sector(ss);
  uint32_t next = m_h.firstDifat;
  for (uint32_t i = 0; i < m_h.difatSectors && list.size() < F; ++i) {
    if (next == kFree || next == kEnd) break;
    if (!ReadSector(next, sector.data())) return false;
    for (uint32_t k = 0; k + 1 < per; ++k) list.push_back(Le32(sector.data() + 4 * k));
    next = Le32(sector.data() + 4 * (per - 1));
  }
  if (list.size() < F) return false;  // the DIFAT chain ended before naming every FAT sector
  fat->assign(static_cast<size_t>(F) * per, 0);
  for (uint32_t i = 0; i < F; ++i) {
    if (!ReadSector(list[i], sector.data())) return false;
    for (uint32_t k = 0; k < per; ++k) (*fat)[static_cast<size_t>(i) * per + k] = Le32(sector.data() + 4 * k);
  }
  return true;
}

bool COleSectors::ReadChain(uint32_t start, const std::vector<uint32_t>& fat, uint64_t want,
                            std::vector<unsigned char>* out) const {
  const uint32_t ss = m_h.sectorSize;
  const uint64_t units = (want + ss - 1) / ss;
  out->assign(static_cast<size_t>(units * ss), 0);
  uint32_t sector = start;
  for (uint64_t i = 0; i < units; ++i) {
    // No more sectors than the size asks for: a looping chain ends there.
    if (sector >= fat.size()) return false;
    if (!ReadSector(sector, out->data() + i * ss)) return false;
    sector = fat[sector];
  }
  return true;
}

// ---------------------------------------------------------------------------
// Summary information
// ---------------------------------------------------------------------------
void MapApplicationName(const unsigned char* name, uint32_t n, std::string* ext) {
  const char* s = reinterpret_cast<const char*>(name);
  if (n >= 12 && memcmp(s, "MicroStation", 12) == 0) *ext = "dgn";
  else if (n >= 14 && memcmp(s, "Microsoft Word", 14) == 0) *ext = "doc";
  else if (n >= 15 && memcmp(s, "Microsoft Excel", 15) == 0) *ext = "xls";
  else if (n >= 20 && memcmp(s, "Microsoft PowerPoint", 20) == 0) *ext = "ppt";
  else if (n >= 21 && memcmp(s, "Microsoft Office Word", 21) == 0) *ext = "doc";
  else if (n == 21 && memcmp(s, "TurboCAD for Windows", 21) == 0) *ext = "tcw";
  else if (n == 22 && memcmp(s, "TurboCAD pour Windows", 22) == 0) *ext = "tcw";
}

void ApplySummaryInformation(const unsigned char* p, uint64_t size, std::string* ext) {
  if (size < kMinSummary || p[0] != 0xFE || p[1] != 0xFF) return;
  const uint64_t section = Le32(p + 44);
  if (section > size || size - section < 8) return;
  const uint64_t count = Le32(p + section + 4);
  if (count > (size - section - 8) / 8) return;
  for (uint64_t i = 0; i < count; ++i) {
    const unsigned char* pair = p + section + 8 + 8 * i;
    const uint32_t id = Le32(pair);
    const uint64_t value = section + Le32(pair + 4);
    if (id != 18 || value > size || size - value < 8) continue;
    const uint32_t type = Le32(p + value);
    const uint64_t n = Le32(p + value + 4);
    const unsigned char* text = p + value + 8;
    const uint64_t room = size - value - 8;
    if (type == 30 && n <= room) {
      MapApplicationName(text, static_cast<uint32_t>(n), ext);
    } else if (type == 31 && n <= room / 2) {
      static const char kPowerShape[] = "Delcam PowerSHAPE";
      bool match = n > 16;
      for (size_t k = 0; match && k < sizeof(kPowerShape) - 1; ++k)
        match = Le16(text + 2 * k) == static_cast<unsigned char>(kPowerShape[k]);
      if (match)
        *ext = "psmodel";
      else
        ext->clear();
    }
  }
}

namespace {

// Reads the summary information stream of the entry into out; false when it
// is absent, too small or large, or cannot be read.
bool ReadSummaryStream(const COleSectors& sectors, const OleHeader& h, const std::vector<uint32_t>& fat,
                       const unsigned char* entry, uint32_t rootStart, uint32_t rootSize,
                       std::vector<unsigned char>* out) {
  const uint32_t start = Le32(entry + 116);
  const uint64_t size = Le32(entry + 120);
  if (size < kMinSummary || size > kMaxSummary) return false;
  if (size >= h.miniCutoff) {
    if (!sectors.ReadChain(start, fat, size, out)) return false;
    out->resize(static_cast<size_t>(size));
    return true;
  }
  if (h.miniFatSectors == 0 || rootSize < 1 || rootSize > kMaxMiniStream) return false;
  // The mini FAT: its sectors through the FAT, at most the header's count.
  std::vector<uint32_t> miniFat;
  std::vector<unsigned char> sector(h.sectorSize);
  uint32_t s = h.firstMiniFat;
  // No more mini FAT sectors than the mini stream has mini sectors to map.
  const uint64_t needed = rootSize / 64 / (h.sectorSize / 4) + 1;
  for (uint64_t i = 0; i < h.miniFatSectors && i < needed && s < fat.size(); ++i) {
    if (!sectors.ReadSector(s, sector.data())) return false;
    for (uint32_t k = 0; k < h.sectorSize / 4; ++k) miniFat.push_back(Le32(sector.data() + 4 * k));
    s = fat[s];
  }
  std::vector<unsigned char> miniStream;
  if (!sectors.ReadChain(rootStart, fat, rootSize, &miniStream)) return false;
  out->assign(static_cast<size_t>((size + 63) / 64 * 64), 0);
  uint32_t mini = start;
  for (uint64_t i = 0; i * 64 < size; ++i) {
    if (mini >= miniFat.size()) return false;
    const uint64_t at = static_cast<uint64_t>(mini) * 64;
    // A mini sector beyond the mini stream contributes zeros.
    if (at + 64 <= miniStream.size()) memcpy(out->data() + i * 64, miniStream.data() + at, 64);
    mini = miniFat[mini];
  }
  out->resize(static_cast<size_t>(size));
  return true;
}

// The directory chain's sectors through the FAT: from the first directory
// sector until the end of the chain, E sectors, a number outside the FAT, or a
// sector already visited. visit returns false to stop.
template <typename Visit>
bool WalkDirectory(const COleSectors& sectors, const OleHeader& h, const std::vector<uint32_t>& fat,
                   Visit visit) {
  const uint64_t E = fat.size();
  std::vector<bool> seen(static_cast<size_t>(E), false);
  std::vector<unsigned char> sector(h.sectorSize);
  uint32_t s = h.firstDirectory;
  for (uint64_t walked = 0; walked < E && s < E && !seen[s]; ++walked) {
    seen[s] = true;
    if (!sectors.ReadSector(s, sector.data())) return false;
    if (!visit(sector.data(), walked == 0)) return true;
    s = fat[s];
  }
  return true;
}

// The length from the FAT, and the check of the directory against it.
uint64_t LengthFromFat(const COleSectors& sectors, const OleHeader& h, const std::vector<uint32_t>& fat) {
  const uint64_t E = fat.size();
  uint64_t trailing = 0;
  for (uint64_t i = E - 1; i > 0 && fat[i] == kFree; --i) ++trailing;
  const uint64_t length = (E - trailing + 1) * h.sectorSize;
  std::vector<unsigned char> sector(h.sectorSize);
  std::vector<bool> seen(static_cast<size_t>(E), false);
  uint32_t s = h.firstDirectory;
  // A chain that comes back to a sector it passed is walked once: the sectors
  // it would visit again were checked already.
  for (uint64_t walked = 0; walked < E && s != kEnd; ++walked) {
    if (s >= E || !sectors.ReadSector(s, sector.data())) return 0;
    if (seen[s]) break;
    seen[s] = true;
    for (uint32_t k = 0; k < SectorsPerDirectory(h); ++k) {
      const unsigned char* entry = sector.data() + k * kEntrySize;
      if (entry[66] == 0) break;
      const uint64_t start = Le32(entry + 116), size = Le32(entry + 120);
      if (start == 0 || size == 0) continue;
      if ((size >= h.miniCutoff && start > E) || size > length) return 0;
    }
    s = fat[s];
  }
  return length;
}

}  // namespace

// ---------------------------------------------------------------------------
// Extension choices
// ---------------------------------------------------------------------------
bool COleDirectory::Read(const COleSectors& sectors, const OleHeader& h, const std::vector<uint32_t>& fat) {
  m_perSector = SectorsPerDirectory(h);
  m_entries.clear();
  const bool ok = WalkDirectory(sectors, h, fat, [&](const unsigned char* sector, bool) {
    m_entries.insert(m_entries.end(), sector, sector + h.sectorSize);
    return m_entries.size() < kMaxDirectoryBytes;
  });
  const size_t count = m_entries.size() / kEntrySize;
  if (!ok || count == 0) {
    m_entries.clear();
    return false;
  }
  // The names that type a file are those of its root storage: the root's
  // children, a tree linked through the entries' left and right siblings. A
  // stream of the same name inside an embedded object (a spreadsheet in a
  // Word document's object pool) does not make the document a spreadsheet.
  // Where the tree cannot be followed every entry counts.
  m_top.assign(count, false);
  std::vector<uint32_t> pending(1, Le32(Entry(0) + 76));
  bool any = false;
  while (!pending.empty()) {
    const uint32_t i = pending.back();
    pending.pop_back();
    if (i >= count || i == 0 || m_top[i]) continue;
    m_top[i] = any = true;
    pending.push_back(Le32(Entry(i) + 68));
    pending.push_back(Le32(Entry(i) + 72));
  }
  if (!any) m_top.assign(count, true);
  return true;
}

std::string COleDirectory::Detect(const COleSectors& sectors, const OleHeader& h,
                                  const std::vector<uint32_t>& fat) const {
  std::string ext;
  if (Count() == 0) return ext;
  const uint32_t rootStart = Le32(Entry(0) + 116), rootSize = Le32(Entry(0) + 120);
  for (size_t i = 0; i < Count(); ++i) {
    const unsigned char* entry = Entry(i);
    const size_t k = i % m_perSector;
    if (entry[66] == 0 || !m_top[i]) continue;
    for (const NameRule& rule : kNames) {
      if (!NameIs(entry, rule.name)) continue;
      if (rule.use == kSecondEntryOnly && k != 1) continue;
      if (rule.use == kWhileUnset) {
        if (ext.empty()) ext = rule.ext;
      } else if (rule.use == kSummary) {
        std::vector<unsigned char> stream;
        if (ReadSummaryStream(sectors, h, fat, entry, rootStart, rootSize, &stream))
          ApplySummaryInformation(stream.data(), stream.size(), &ext);
      } else {
        ext = rule.ext;
      }
      break;
    }
    if (k == 1 && IsDgnEntry(entry)) ext = "dgn";
  }
  return ext;
}

std::string COleDirectory::Guess() const {
  const size_t look = m_perSector < 4 ? m_perSector : 4;
  for (size_t first = 0; first < Count(); first += m_perSector) {
    bool workbook = false;
    int catalog = 0;
    for (size_t k = 0; k < look && first + k < Count(); ++k) {
      const unsigned char* entry = Entry(first + k);
      if (entry[66] == 0) break;
      if (!m_top[first + k]) continue;
      if (k == 1 && NameIs(entry, "1")) ++catalog;
      if (k == 2 && (NameIs(entry, "2") || StartsWithUtf16(entry, "Catalog"))) ++catalog;
      for (const NameRule& rule : kNames) {
        if (rule.use == kSecondEntryOnly || rule.use == kSummary || rule.use == kNotGuessed) continue;
        if (!NameIs(entry, rule.name)) continue;
        if (rule.use != kWhileUnset) return rule.ext;
        workbook = true;
        break;
      }
      if (k == 1 && IsDgnEntry(entry)) return "dgn";
    }
    if (workbook) return "xls";
    if (catalog == 2) return "db";
  }
  return std::string();
}

const char* ExtensionFromBytes(const unsigned char* p, uint64_t n) {
  static const struct {
    const char* name;
    const char* ext;
  } kSearch[] = {
      {"WordDocument", "doc"},          {"Workbook", "xls"},     {"Book", "xls"},
      {"Worksheet", "xls"},             {"Calc", "xls"},         {"Power", "ppt"},
      {"StarDraw", "sda"},              {"StarCalc", "sdc"},     {"StarImpress", "sdd"},
      {"AccessObjSiteData", "mdb"},     {"Visio", "vsd"},        {"SfxDocument", "sdw"},
      {"CPicPage", "fla"},              {"Microsoft Publisher", "pub"},
      {"Microsoft Works Database", "wdb"}, {"MSWorksDBDoc", "wdb"}, {"MetaStock", "mws"},
  };
  for (const auto& s : kSearch) {
    unsigned char wide[64];
    const size_t len = strlen(s.name);
    for (size_t i = 0; i < len; ++i) {
      wide[2 * i] = static_cast<unsigned char>(s.name[i]);
      wide[2 * i + 1] = 0;
    }
    if (plugin::FindBytes(p, n, wide, 2 * len) != nullptr) return s.ext;
  }
  return "ole";
}

// ---------------------------------------------------------------------------
// The analysis
// ---------------------------------------------------------------------------
int AnalyseCompoundFile(CDiskMappingPointer* reader, RawFileInfo* info) {
  CReaderCursor cur(reader);
  if (!cur.IsUsable() || cur.Loaded() < 512) return 0;
  OleHeader h;
  if (!ParseOleHeader(cur.Data(), &h)) return 0;
  uint64_t length = 0;
  std::string ext;
  {
    // Sectors are read wherever they lie; the reader is back at the header
    // when the view goes.
    CReaderView view(reader);
    COleSectors sectors(view, h);
    std::vector<uint32_t> fat;
    if (!sectors.ReadFat(&fat)) return 0;
    length = LengthFromFat(sectors, h, fat);
    if (length == 0) return 0;
    COleDirectory directory;
    if (directory.Read(sectors, h, fat)) {
      ext = directory.Detect(sectors, h, fat);
      if (ext.empty()) ext = directory.Guess();
      // The names are looked for where they are kept, in the directory, and
      // then in the bytes of the file that the window holds.
      if (ext.empty()) ext = ExtensionFromBytes(directory.Bytes().data(), directory.Bytes().size());
    }
  }
  if (ext.empty() || ext == "ole") {
    uint64_t n = cur.Loaded();
    if (n > length) n = length;
    ext = ExtensionFromBytes(cur.Data(), n);
  }
  plugin::SetRawFound(info, length, ext.c_str());
  return 1;
}

}  // namespace office
