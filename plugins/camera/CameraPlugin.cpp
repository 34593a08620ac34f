// Camera raw photographs on the TIFF container (both byte orders): named by
// the camera maker in the header, sized by the furthest end of the image data
// that the directories point to, following sub-directories, the Exif
// directory and the chain of directories.
#include <cstring>
#include <string>
#include <vector>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderView.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 0);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 0);

namespace {

const char kFormatName[] = "FILE_TYPE_CAMERA";
const uint64_t kWalkError = UINT64_MAX;
const uint64_t kDirectoryBytes = 8192;
const uint64_t kMaxEntries = 682;  // the entries that fit in kDirectoryBytes
const uint64_t kEntryBytes = 12;
const int kMaxDepth = 4;
const int kMaxChain = 16;
const uint64_t kMaxSubDirectories = 32;
const uint64_t kMaxArrayEntries = 2048;
// Directories one candidate may walk: a real photograph has a dozen or two;
// a damaged one that points everywhere is refused instead of walked forever.
const size_t kMaxDirectories = 512;
const uint64_t kMinRawLength = 513;
const uint64_t kMaxRawLength = 104857599;
const uint32_t kNoStrip = 0xFFFFFFFF;

enum : uint16_t {
  kTagMake = 271,
  kTagStripOffsets = 273,
  kTagStripByteCounts = 279,
  kTagTileOffsets = 324,
  kTagTileByteCounts = 325,
  kTagSubIfds = 330,
  kTagJpegOffset = 513,
  kTagJpegLength = 514,
  kTagPrivateIfd = 33424,
  kTagExifIfd = 34665,
  kTagHdImageOffset = 48320,
  kTagHdImageBytes = 48321,
  kTagHdAlphaOffset = 48322,
  kTagHdAlphaBytes = 48323,
  kTagDngVersion = 50706,
};

int DELVARO_CDECL CheckTiffSignature(const unsigned char* p) {
  if (p == nullptr) return 0;
  return (p[0] == 0x49 && p[1] == 0x49 && p[2] == 0x2A && p[3] == 0x00) ||
         (p[0] == 0x4D && p[1] == 0x4D && p[2] == 0x00 && p[3] == 0x2A);
}

uint64_t GetTiffTypeSize(uint16_t type) {
  switch (type) {
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: case 16: case 17: case 18: return 8;
    default: return 1;
  }
}

struct ByteOrder {
  bool big;
  uint16_t U16(const unsigned char* p) const { return big ? plugin::Be16(p) : plugin::Le16(p); }
  uint32_t U32(const unsigned char* p) const { return big ? plugin::Be32(p) : plugin::Le32(p); }
};

// A value held inside a 12-byte entry.
uint32_t ReadTiffValue(const ByteOrder& bo, const unsigned char* entry) {
  switch (bo.U16(entry + 2)) {
    case 1: return entry[8];
    case 3: return bo.U16(entry + 8);
    case 4: return bo.U32(entry + 8);
    default: return 0;
  }
}

// --- type decision, within the bytes loaded at the candidate -------------

struct Loaded {
  const unsigned char* b;
  uint64_t n;
};

// The entry of tag in the directory at off, or null; *exif receives the Exif
// directory's offset when the directory names one, *next the next directory's.
const unsigned char* FindInDirectory(const Loaded& l, const ByteOrder& bo, uint64_t off,
                                     uint16_t tag, uint64_t* exif, uint64_t* next) {
  if (off < 8 || off + 2 > l.n) return nullptr;
  uint64_t count = bo.U16(l.b + off);
  if (count > kMaxEntries) count = kMaxEntries;
  const uint64_t fits = (l.n - off - 2) / kEntryBytes;
  const unsigned char* found = nullptr;
  uint64_t i = 0;
  for (; i < count && i < fits; ++i) {
    const unsigned char* e = l.b + off + 2 + i * kEntryBytes;
    const uint16_t t = bo.U16(e);
    if (t == kTagExifIfd && exif != nullptr && bo.U32(e + 8) < l.n) *exif = bo.U32(e + 8);
    if (t == tag && found == nullptr) found = e;
  }
  if (next != nullptr && i == count && off + 2 + count * kEntryBytes + 4 <= l.n)
    *next = bo.U32(l.b + off + 2 + count * kEntryBytes);
  return found;
}

// The entry of tag in IFD0, else in the Exif directory, else in the next
// directory of the chain; null when none of them holds it.
const unsigned char* FindTiffTag(const Loaded& l, const ByteOrder& bo, uint16_t tag) {
  uint64_t exif = 0, next = 0;
  const unsigned char* e = FindInDirectory(l, bo, bo.U32(l.b + 4), tag, &exif, &next);
  if (e == nullptr && exif != 0) e = FindInDirectory(l, bo, exif, tag, nullptr, nullptr);
  if (e == nullptr && next != 0 && next + 14 <= l.n)
    e = FindInDirectory(l, bo, next, tag, nullptr, nullptr);
  return e;
}

// The maker text of the Make entry (up to its NUL, inside the loaded bytes).
bool MakeText(const Loaded& l, const ByteOrder& bo, std::string* text) {
  const unsigned char* e = FindTiffTag(l, bo, kTagMake);
  if (e == nullptr) return false;
  const uint64_t count = bo.U32(e + 4);
  const unsigned char* p;
  uint64_t avail;
  if (count <= 4) {
    p = e + 8;
    avail = 4;
  } else {
    const uint64_t at = bo.U32(e + 8);
    // The text starts early enough for a maker name to be read whole.
    if (at + 20 > l.n) return false;
    p = l.b + at;
    avail = l.n - at;
  }
  if (avail > count) avail = count;
  uint64_t len = 0;
  while (len < avail && p[len] != 0) ++len;
  text->assign(reinterpret_cast<const char*>(p), static_cast<size_t>(len));
  return true;
}

// The extension by maker; *named is set when the format flag is to be set.
const char* RawExtension(const Loaded& l, const ByteOrder& bo, bool* named) {
  std::string make;
  if (bo.big) {
    // A DNG is a DNG in either byte order (Adobe's converter writes
    // big-endian ones), whatever camera its Make names.
    *named = true;
    if (FindTiffTag(l, bo, kTagDngVersion) != nullptr) return "dng";
    *named = false;
    if (!MakeText(l, bo, &make)) return "";
    *named = true;
    if (make == "PENTAX Corporation " || make == "PENTAX             ") return "pef";
    if (make == "NIKON CORPORATION") return "nef";
    if (make == "Kodak") return "dcr";
    return "";
  }
  *named = true;
  if (l.n >= 11 && l.b[8] == 'C' && l.b[9] == 'R' && l.b[10] == 0x02) return "cr2";
  if (FindTiffTag(l, bo, kTagDngVersion) != nullptr) return "dng";
  if (!MakeText(l, bo, &make)) return "";
  if (make == "SONY") return "sr2";
  if (make.compare(0, 5, "SONY ") == 0) return "arw";
  if (make == "NIKON CORPORATION") return "nef";
  return "";
}

// --- length walk -----------------------------------------------------------

class CTiffWalker {
 public:
  CTiffWalker(CReaderView& view, ByteOrder bo, bool arw) : m_view(view), m_bo(bo), m_arw(arw) {}

  // The furthest end reached from the directory at off and the directories
  // chained behind it, or kWalkError. A fault in a chained directory ends the
  // chain there; a fault in the first one (or below it) fails the walk.
  uint64_t Walk(uint64_t off, int depth) {
    uint64_t best = 0;
    for (int chain = 0;; ++chain) {
      uint64_t next = 0;
      const uint64_t r = WalkDirectory(off, depth, chain, &next);
      if (r == kWalkError) return chain == 0 ? kWalkError : best;
      if (r > best) best = r;
      if (next == 0) return best;
      off = next;
    }
  }

 private:
  struct Array {
    bool present = false;
    uint16_t type = 0;
    uint64_t count = 0, offset = 0;
  };

  static void Join(uint64_t* best, uint64_t v) {
    if (v > *best) *best = v;
  }

  // Largest offset[i] + length[i] of two parallel LONG arrays.
  uint64_t ArrayEnd(const Array& offsets, const Array& lengths) {
    if (offsets.count != lengths.count || offsets.count == 0 || offsets.type != 4 ||
        lengths.type != 4)
      return kWalkError;
    const uint64_t n = offsets.count < kMaxArrayEntries ? offsets.count : kMaxArrayEntries;
    std::vector<unsigned char> a(static_cast<size_t>(n * 4)), b(static_cast<size_t>(n * 4));
    if (!m_view.Copy(offsets.offset, a.data(), n * 4) || !m_view.Copy(lengths.offset, b.data(), n * 4))
      return kWalkError;
    uint64_t best = 0;
    for (uint64_t i = 0; i < n; ++i)
      Join(&best, static_cast<uint64_t>(m_bo.U32(&a[i * 4])) + m_bo.U32(&b[i * 4]));
    return best;
  }

  // Walks the directories listed at off (count LONG offsets, at most 32).
  uint64_t WalkList(uint64_t off, uint64_t count, int depth) {
    if (count > kMaxSubDirectories) count = kMaxSubDirectories;
    unsigned char list[kMaxSubDirectories * 4];
    if (!m_view.Copy(off, list, count * 4)) return kWalkError;
    uint64_t best = 0;
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t r = Walk(m_bo.U32(list + i * 4), depth);
      if (r == kWalkError) return kWalkError;
      Join(&best, r);
    }
    return best;
  }

  uint64_t WalkDirectory(uint64_t off, int depth, int chain, uint64_t* next) {
    *next = 0;
    if (depth > kMaxDepth || chain > kMaxChain || off <= 7) return kWalkError;
    if (off >= m_view.SourceLeft()) return 0;
    // A directory reached twice (a loop in the chain, or a sub-directory
    // pointing back up) has given all it has the first time.
    for (uint64_t seen : m_visited)
      if (seen == off) return 0;
    if (m_visited.size() >= kMaxDirectories) return kWalkError;
    m_visited.push_back(off);

    // The directory is copied: the walks below move the reader.
    uint64_t got = 0;
    const unsigned char* p = m_view.Span(off, kDirectoryBytes, &got);
    if (p == nullptr || got < 2) return kWalkError;
    std::vector<unsigned char> dir(p, p + got);
    uint64_t count = m_bo.U16(dir.data());
    if (count == 0) return kWalkError;
    if (count > kMaxEntries) count = kMaxEntries;
    if (count > (got - 2) / kEntryBytes) count = (got - 2) / kEntryBytes;

    uint64_t best = 0;
    // Single values of the extent fields, by slot of kSingles.
    bool has[10] = {};
    uint32_t single[10] = {};
    Array stripOffsets, stripCounts, tileOffsets, tileCounts;
    static const uint16_t kSingles[10] = {kTagStripOffsets, kTagStripByteCounts, kTagTileOffsets,
                                          kTagTileByteCounts, kTagJpegOffset, kTagJpegLength,
                                          kTagHdImageOffset, kTagHdImageBytes, kTagHdAlphaOffset,
                                          kTagHdAlphaBytes};
    for (uint64_t i = 0; i < count; ++i) {
      const unsigned char* e = dir.data() + 2 + i * kEntryBytes;
      const uint16_t tag = m_bo.U16(e);
      const uint16_t type = m_bo.U16(e + 2);
      const uint64_t n = m_bo.U32(e + 4);
      const uint64_t v = m_bo.U32(e + 8);
      const uint64_t size = GetTiffTypeSize(type) * n;
      if (size > 4) {
        const uint64_t end = v + size;
        if (end == 0) return kWalkError;
        Join(&best, end);
      }
      if (n == 1 && size <= 4) {
        const uint32_t x = ReadTiffValue(m_bo, e);
        for (int s = 0; s < 10; ++s)
          if (tag == kSingles[s]) {
            has[s] = true;
            single[s] = x;
          }
        if (tag == kTagPrivateIfd || tag == kTagExifIfd || (tag == kTagSubIfds && !m_arw)) {
          const uint64_t r = Walk(x, depth + 1);
          if (r == kWalkError) return kWalkError;
          Join(&best, r);
        } else if (tag == kTagSubIfds) {
          Join(&best, x);
        }
      } else if (n > 1) {
        Array* a = tag == kTagStripOffsets     ? &stripOffsets
                   : tag == kTagStripByteCounts ? &stripCounts
                   : tag == kTagTileOffsets     ? &tileOffsets
                   : tag == kTagTileByteCounts  ? &tileCounts
                                                : nullptr;
        if (a != nullptr) {
          a->present = true;
          a->type = type;
          a->count = n;
          a->offset = v;
        }
        if ((tag == kTagSubIfds || tag == kTagPrivateIfd || tag == kTagExifIfd) && type == 4) {
          const uint64_t r = WalkList(v, n, depth + 1);
          if (r == kWalkError) return kWalkError;
          Join(&best, r);
        }
      }
    }

    // Extents given as an offset and a byte count: HD Photo alpha and image,
    // the embedded JPEG, a single strip, a single tile.
    const int pairs[5][2] = {{8, 9}, {6, 7}, {4, 5}, {0, 1}, {2, 3}};
    for (const auto& pr : pairs) {
      if (!has[pr[0]] || !has[pr[1]]) continue;
      if ((pr[0] == 0 || pr[0] == 2) && single[pr[0]] == kNoStrip) continue;
      Join(&best, static_cast<uint64_t>(single[pr[0]]) + single[pr[1]]);
    }
    if (stripOffsets.present && stripCounts.present) {
      const uint64_t r = ArrayEnd(stripOffsets, stripCounts);
      if (r == kWalkError) return kWalkError;
      Join(&best, r);
    }
    if (tileOffsets.present && tileCounts.present) {
      const uint64_t r = ArrayEnd(tileOffsets, tileCounts);
      if (r == kWalkError) return kWalkError;
      Join(&best, r);
    }
    const uint64_t link = 2 + count * kEntryBytes;
    if (link + 4 <= dir.size()) *next = m_bo.U32(dir.data() + link);
    return best;
  }

  CReaderView& m_view;
  ByteOrder m_bo;
  bool m_arw;
  std::vector<uint64_t> m_visited;
};

int ZeroEntry() { return 0; }

}  // namespace

DELVARO_PLUGIN_CHECK_ENTRIES(kFormatName, CheckTiffSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || info == nullptr) return 0;
  CReaderView view(reader);
  if (!view.IsUsable()) return 0;
  uint64_t got = 0;
  const unsigned char* b = view.Span(0, UINT64_MAX, &got);
  if (b == nullptr || got < 8 || !CheckTiffSignature(b)) return 0;
  const ByteOrder bo = {b[0] == 'M'};
  const uint64_t ifd0 = bo.U32(b + 4);
  if (ifd0 < 8) return 0;
  bool named = false;
  const char* ext = RawExtension(Loaded{b, got}, bo, &named);
  if (named) plugin::SetRawFormat(info, ext);

  CTiffWalker walker(view, bo, strcmp(ext, "arw") == 0);
  const uint64_t length = walker.Walk(ifd0, 0);
  if (length == kWalkError) return 0;
  static const char* const kAccepted[] = {"cr2", "dcr", "nef", "pef", "sr2", "dng"};
  bool accepted = false;
  for (const char* a : kAccepted) accepted = accepted || strcmp(ext, a) == 0;
  if (!accepted || length < kMinRawLength || length > kMaxRawLength) return 0;
  plugin::SetRawLength(info, length);
  plugin::SetRawValid(info);
  return 1;
  DELVARO_PLUGIN_GUARD_END
}

// No thumbnail and no text: one routine serves both entries.
DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailBitmap(CDiskMappingPointer*, int64_t, HBITMAP*,
                                                           int*, int*) {
  return ZeroEntry();
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailText(CDiskMappingPointer*, int64_t, char*, int) {
  return ZeroEntry();
}
