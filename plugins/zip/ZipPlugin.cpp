// ZIP archives and the formats built on them: office-open documents, jar
// archives, browser extensions, open-document files and others. Sized by
// the walk of their records, typed by their entry names, shown by the words
// or cells of a document, the names of an archive, or the thumbnail entry.
#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/ByteSource.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderCursor.h"
#include "plugins/common/ScanNotes.h"
#include "plugins/zip/ZipRecords.h"
#include "plugins/zip/ZipText.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 1);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 1);

namespace {

const char kFormatName[] = "FILE_TYPE_ZIP";
const unsigned char kSignature[] = {0x50, 0x4B, 0x03, 0x04};
// Longest archive measured; a longer one is refused.
const uint64_t kMaxArchive = 0x280000000ull;  // 10 GiB
// The bytes the scan buffer holds behind a candidate for the at-once form.
const uint64_t kAtOnceBytes = 512;
const uint64_t kAtOnceFallback = 512;
// Start offsets searched for the part folder of an office-open document.
const uint64_t kContentSearch = 2000;

// Entry-name prefixes of the central directory, in the order they are tried.
const struct {
  const char* prefix;
  const char* ext;
} kCentralNames[] = {{"word/", "docx"},         {"ppt/", "pptx"},      {"xl/", "xlsx"},
                     {"META-INF/", "jar"},      {"QuickLook/", "pages"}, {"chrome.manifest", "xpi"},
                     {"imsmanifest.xml", "notebook"}, {"links.xml", "cdr"}, {"xsd/", "mmap"}};

// Contents of a "mimetype" entry and the extension each one names.
const struct {
  const char* mime;
  const char* ext;
} kMimeTypes[] = {{"image/openraster", "ora"},
                  {"application/vnd.sun.xml.calc", "sxc"},
                  {"application/vnd.sun.xml.draw", "sxd"},
                  {"application/vnd.sun.xml.writer", "sxw"},
                  {"application/vnd.sun.xml.impress", "sxi"},
                  {"application/vnd.oasis.opendocument.text", "odt"},
                  {"application/vnd.oasis.opendocument.graphics", "odg"},
                  {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
                  {"application/vnd.oasis.opendocument.presentation", "odp"}};
const char kKritaMime[] = "application/x-krita";

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

// What the first local header alone says. *mimeExt is set when the archive
// opens with a "mimetype" entry whose content is a known type: that names
// the file before any entry name of the central directory does (an
// open-document file also carries a META-INF folder).
const char* TypeFromFirstEntry(plugin::CByteSource& src, const char** mimeExt) {
  *mimeExt = nullptr;
  unsigned char h[30];
  if (!src.Read(0, h, sizeof(h))) return "zip";
  const uint16_t n = plugin::Le16(h + 26), extra = plugin::Le16(h + 28);
  char name[20] = {0};
  if (n > sizeof(name) - 1 || !src.Read(30, name, n)) return "zip";
  if (n == 19) {
    if (strcmp(name, "[Content_Types].xml") != 0) return "zip";
    // The part folders are named in the content-types list at the start.
    const unsigned char* p = nullptr;
    const uint64_t have = src.View(0, &p);
    const std::string head(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(have < kContentSearch + 5 ? have : kContentSearch + 5));
    for (const char* folder : {"word/", "xl/", "ppt/"}) {
      const size_t at = head.find(folder);
      if (at != std::string::npos && at < kContentSearch)
        return folder[0] == 'w' ? "docx" : folder[0] == 'x' ? "xlsx" : "pptx";
    }
    return "docx";
  }
  if (n == 8 && strcmp(name, "mimetype") == 0) {
    // The content of a stored entry, right behind the name and extra field.
    const uint32_t len = plugin::Le32(h + 18);
    char mime[48];
    const size_t take = len < sizeof(mime) ? len : sizeof(mime);
    if (src.Read(30 + n + extra, mime, take)) {
      for (const auto& m : kMimeTypes)
        if (strlen(m.mime) == len && memcmp(mime, m.mime, len) == 0) *mimeExt = m.ext;
      const size_t k = strlen(kKritaMime);
      if (!*mimeExt && take >= k && memcmp(mime, kKritaMime, k) == 0) *mimeExt = "kra";
    }
    return *mimeExt ? *mimeExt : "sxw";
  }
  if (n == 8) return strcmp(name, "Song.xml") == 0 ? "xrns" : "zip";
  if (n == 4 && strcmp(name, "Home") == 0) return "sh3d";
  return "zip";
}

// Most places noted for the descriptor searches, and the local headers kept
// of a walk (each a few bytes; as many again on sector starts): enough for
// any real archive, and a bound on what hostile data can make the notes cost.
const size_t kMaxNotes = 1u << 20;
const uint64_t kSector = 512;
// What the descriptor searches of one scan may pass again over stretches
// that searches have already seen: this much, and half of what the scan
// has covered since its first search.
const uint64_t kRereadSlack = 16ull << 20;
// A search that may pass again over less than this is not begun: each one
// costs at least a whole window of the reader.
const uint64_t kRereadLeast = 4ull << 20;

// What the descriptor searches of one scan saw: for each data start that
// some place in the stretch closes, the first such place's end.
class CDescriptorNotes : public zipfmt::CDescriptorMemo {
 public:
  uint64_t From() const override { return m_from; }
  uint64_t To() const override { return m_to; }
  uint64_t EndFor(uint64_t start) const override {
    const auto it = m_ends.find(start);
    return it == m_ends.end() ? 0 : it->second;
  }
  void Restart(uint64_t from) override {
    m_ends.clear();
    m_from = m_to = from;
    m_full = false;
  }
  bool Note(uint64_t start, uint64_t end) override {
    if (m_full) return false;
    if (m_ends.size() >= kMaxNotes) {
      m_full = true;
      return false;
    }
    m_ends.emplace(start, end);  // an earlier place stays
    return true;
  }
  bool Extend(uint64_t to) override {
    if (m_full) return false;
    if (to > m_to) m_to = to;
    return true;
  }
  // The notes hold a bounded number of places, and a search starting over
  // (a header whose data begins before the notes) forgets them: what is
  // searched again is what the bound holds in proportion.
  uint64_t SearchBound(uint64_t candidate, uint64_t from) override {
    if (!m_searched) {
      m_searched = true;
      m_firstCandidate = candidate;
    }
    if (from >= m_seenTo) return UINT64_MAX;
    const uint64_t covered = candidate > m_firstCandidate ? candidate - m_firstCandidate : 0;
    const uint64_t allowed = kRereadSlack + covered / 2;
    const uint64_t left = allowed > m_reread ? allowed - m_reread : 0;
    if (m_seenTo - from <= left) return UINT64_MAX;
    return left < kRereadLeast ? from : from + left;
  }
  void Searched(uint64_t from, uint64_t to) override {
    if (to <= from) return;
    if (from < m_seenTo) m_reread += (to < m_seenTo ? to : m_seenTo) - from;
    if (to > m_seenTo) m_seenTo = to;
  }

 private:
  std::unordered_map<uint64_t, uint64_t> m_ends;
  uint64_t m_from = 0, m_to = 0;
  bool m_full = false;
  // Over the whole scan, whatever the notes: the furthest place judged, the
  // places judged again before it, and the first candidate that searched.
  bool m_searched = false;
  uint64_t m_firstCandidate = 0;
  uint64_t m_seenTo = 0;
  uint64_t m_reread = 0;
};

// The last whole walk: every local header it passed belongs to the same
// archive, and a walk from any of them passes the same records to the same
// end.
struct CWalkNotes {
  std::vector<uint64_t> locals;  // device offsets, ascending
  zipfmt::WalkStop stop = zipfmt::kStopForeign;
  bool measured = false;
  uint64_t end = 0;              // device offset where the whole records end
  const char* type = nullptr;    // from the central directory's names
};

struct CZipNotes {
  CDescriptorNotes descriptors;
  CWalkNotes walk;
  void Clear() {
    descriptors = CDescriptorNotes();
    walk = CWalkNotes();
  }
};

plugin::CScanNotes<CZipNotes> g_notes;

// Sums the records and notes the first central-directory name that types
// the archive, and the local headers passed.
class CLengthWalk : public zipfmt::CRecordVisitor {
 public:
  explicit CLengthWalk(uint64_t deviceBase) : m_base(deviceBase) {}
  bool Visit(const zipfmt::Record& rec) override {
    if (rec.kind == zipfmt::kLocal) {
      // Past the first notes only the headers on a sector's start are kept:
      // the deep scan's candidates lie there.
      const uint64_t at = m_base + rec.offset;
      if (m_locals.size() < kMaxNotes || (m_locals.size() < 2 * kMaxNotes && at % kSector == 0))
        m_locals.push_back(at);
    }
    m_total += rec.span;
    if (m_total > kMaxArchive) {
      m_tooLong = true;
      return false;
    }
    if (rec.kind == zipfmt::kCentral && m_type == nullptr) {
      for (const auto& c : kCentralNames) {
        if (StartsWith(rec.name, c.prefix)) {
          m_type = c.ext;
          break;
        }
      }
    }
    return true;
  }
  uint64_t m_base;
  uint64_t m_total = 0;
  bool m_tooLong = false;
  const char* m_type = nullptr;
  std::vector<uint64_t> m_locals;
};

// The walk over the bytes of the at-once form, which holds only what the
// scan buffer guarantees behind a candidate.
class CAtOnceWalk : public zipfmt::CRecordVisitor {
 public:
  bool Visit(const zipfmt::Record&) override { return true; }
};

}  // namespace

DELVARO_PLUGIN_SIGNATURE_ENTRIES(kFormatName, kSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char* data) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (data == nullptr) return 0;
  plugin::CMemorySource src(data, kAtOnceBytes);
  CAtOnceWalk walk;
  uint64_t walked = 0;
  if (zipfmt::WalkRecords(src, walk, &walked) == zipfmt::kStopEnd) return static_cast<int64_t>(walked);
  return kAtOnceFallback;
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || info == nullptr) return 0;
  // Taken at the candidate's first byte, before anything moves the reader.
  plugin::CNotesHeld<CZipNotes> held(g_notes, reader);
  CZipNotes* notes = held.Get();
  plugin::CReaderSource src(reader);
  if (!src.Usable()) return 0;
  const char* mimeExt = nullptr;
  const char* firstType = TypeFromFirstEntry(src, &mimeExt);
  const uint64_t start = src.Start();
  // A local header of the archive walked last: the same records follow.
  if (notes != nullptr && std::binary_search(notes->walk.locals.begin(), notes->walk.locals.end(), start)) {
    const CWalkNotes& w = notes->walk;
    const char* ext = mimeExt ? mimeExt : w.type ? w.type : firstType;
    plugin::SetRawFormat(info, ext);
    if (w.measured && w.end > start) plugin::SetRawFound(info, w.end - start, ext);
    return 1;
  }
  CLengthWalk walk(start);
  uint64_t walked = 0;
  const zipfmt::WalkStop stop =
      zipfmt::WalkRecords(src, walk, &walked, notes ? &notes->descriptors : nullptr, start);
  const char* ext = mimeExt ? mimeExt : walk.m_type ? walk.m_type : firstType;
  plugin::SetRawFormat(info, ext);
  // The archive ends with its end record, or with the last whole record
  // before the device's end. Foreign bytes inside it, a read error or a
  // claimed size past 10 GiB leave it unmeasured.
  const bool measured = stop == zipfmt::kStopEnd || (stop == zipfmt::kStopSource && !src.Failed());
  if (measured && !walk.m_tooLong && walk.m_total > 0) {
    plugin::SetRawFound(info, walk.m_total, ext);
  }
  // The headers kept may be fewer than the walk passed: a candidate among
  // the others walks again, and keeps the headers from there on.
  if (notes != nullptr && !walk.m_tooLong && !src.Failed()) {
    CWalkNotes& w = notes->walk;
    w.locals.swap(walk.m_locals);
    w.stop = stop;
    w.measured = measured;
    w.end = start + walk.m_total;
    w.type = walk.m_type;
  }
  return 1;
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailText(CDiskMappingPointer* reader, int64_t size,
                                                         char* text, int capacity) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || text == nullptr || capacity <= 0 || size <= 0) return 0;
  CReaderCursor cur(reader);
  const uint64_t n = cur.ItemBytes(size);
  plugin::CReaderSource names(reader, static_cast<uint64_t>(size));
  return zipfmt::ArchiveText(n ? cur.Data() : nullptr, n, names, text, capacity);
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewText(const void* data, int64_t size, char* text,
                                                       int capacity) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (data == nullptr || size <= 0) return 0;
  plugin::CMemorySource names(data, static_cast<uint64_t>(size));
  return zipfmt::ArchiveText(static_cast<const unsigned char*>(data), static_cast<uint64_t>(size),
                             names, text, capacity);
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailBitmap(CDiskMappingPointer* reader,
                                                           int64_t size, HBITMAP* bitmap,
                                                           int* width, int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || bitmap == nullptr || size <= 0) return 0;
  if (static_cast<uint64_t>(size) > reader->m_Limit) return 0;
  CReaderCursor cur(reader);
  const uint64_t n = cur.ItemBytes(size);
  if (n == 0) return 0;
  return zipfmt::ArchiveThumbnail(cur.Data(), n, bitmap, width, height, false);
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewBitmap(const void* data, int64_t size,
                                                         HBITMAP* bitmap, int* width,
                                                         int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (data == nullptr || size <= 0) return 0;
  return zipfmt::ArchiveThumbnail(static_cast<const unsigned char*>(data),
                                  static_cast<uint64_t>(size), bitmap, width, height, true);
  DELVARO_PLUGIN_GUARD_END
}
