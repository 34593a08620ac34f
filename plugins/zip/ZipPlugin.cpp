// ZIP archives and the formats built on them: office-open documents, jar
// archives, browser extensions, open-document files and others. Sized by
// the walk of their records, typed by their entry names, shown by the words
// or cells of a document, the names of an archive, or the thumbnail entry.
#include <cstring>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/ByteSource.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderCursor.h"
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

// Sums the records and notes the first central-directory name that types
// the archive.
class CLengthWalk : public zipfmt::CRecordVisitor {
 public:
  bool Visit(const zipfmt::Record& rec) override {
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
  uint64_t m_total = 0;
  bool m_tooLong = false;
  const char* m_type = nullptr;
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
  plugin::CReaderSource src(reader);
  if (!src.Usable()) return 0;
  const char* mimeExt = nullptr;
  const char* firstType = TypeFromFirstEntry(src, &mimeExt);
  CLengthWalk walk;
  uint64_t walked = 0;
  const zipfmt::WalkStop stop = zipfmt::WalkRecords(src, walk, &walked);
  const char* ext = mimeExt ? mimeExt : walk.m_type ? walk.m_type : firstType;
  plugin::SetRawFormat(info, ext);
  // The archive ends with its end record, or with the last whole record
  // before the device's end. Foreign bytes inside it, a streamed entry
  // without its descriptor, a read error or a claimed size past 10 GiB
  // leave it unmeasured.
  const bool measured = stop == zipfmt::kStopEnd || (stop == zipfmt::kStopSource && !src.Failed());
  if (measured && !walk.m_tooLong && walk.m_total > 0) {
    plugin::SetRawFound(info, walk.m_total, ext);
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
