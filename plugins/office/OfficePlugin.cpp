// OLE2 compound files (older office documents and the many other programs
// that keep their files in structured storage): carved by their allocation
// table, typed by their directory, previewed as text.
#include <cstring>
#include <vector>

#include "plugins/common/PluginExports.h"
#include "plugins/office/OfficeCarve.h"
#include "plugins/office/OfficeText.h"
#include "plugins/common/ReaderCursor.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 1);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 0);

namespace {

const char kFormatName[] = "FILE_TYPE_OFFICE";
const unsigned char kSignature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
// Shared strings listed for a thumbnail of a sheet without cells.
const uint32_t kThumbnailStrings = 256;

// The text of a document image, by the kind its extension asks for.
int DocumentText(office::TextKind kind, const void* image, int64_t size, char* text, int capacity,
                 uint32_t maxStrings) {
  if (kind == office::TextKind::Word) return office::WordText(image, size, text, capacity);
  return office::WorkbookText(image, size, text, capacity, maxStrings);
}

// The caller's text buffer is written only when an entry succeeds: the work
// is done on a copy that starts empty once the path is chosen.
class CTextOutput {
 public:
  CTextOutput(char* text, int capacity) : m_text(text), m_local(text, text + capacity) {
    memset(m_local.data(), 0, capacity < 4 ? capacity : 4);
  }
  char* Data() { return m_local.data(); }
  int Capacity() const { return static_cast<int>(m_local.size()); }
  int Commit(int result) {
    if (result) memcpy(m_text, m_local.data(), m_local.size());
    return result;
  }

 private:
  char* m_text;
  std::vector<char> m_local;
};

}  // namespace

DELVARO_PLUGIN_SIGNATURE_ENTRIES(kFormatName, kSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || info == nullptr) return 0;
  return office::AnalyseCompoundFile(reader, info);
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailText(CDiskMappingPointer* reader, int64_t size,
                                                         char* text, int capacity) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || text == nullptr || capacity <= 0 || size <= 0) return 0;
  CReaderCursor cur(reader);
  // The document as far as the window holds it from the cursor.
  const uint64_t n = cur.ItemBytes(size);
  if (n < office::kMinTextDocument) return 0;
  const office::TextKind kind = office::TextKindOf(text, capacity);
  if (kind == office::TextKind::None) return 0;
  CTextOutput out(text, capacity);
  return out.Commit(DocumentText(kind, cur.Data(), static_cast<int64_t>(n), out.Data(), out.Capacity(),
                                 kThumbnailStrings));
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewText(const void* data, int64_t size, char* text,
                                                       int capacity) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (data == nullptr || text == nullptr || capacity <= 0 || size <= 0) return 0;
  // Word documents by their extension; every other document is tried as a
  // workbook.
  office::TextKind kind = office::TextKindOf(text, capacity);
  if (kind == office::TextKind::Word && size < office::kMinTextDocument) return 0;
  if (kind != office::TextKind::Word) kind = office::TextKind::Workbook;
  CTextOutput out(text, capacity);
  return out.Commit(DocumentText(kind, data, size, out.Data(), out.Capacity(), 0));
  DELVARO_PLUGIN_GUARD_END
}

// The office plug-in makes no pictures (HasThumbnailBitmap is 0); both bitmap
// entries report none.
DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailBitmap(CDiskMappingPointer*, int64_t, HBITMAP*,
                                                           int*, int*) {
  return 0;
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewBitmap(const void*, int64_t, HBITMAP*, int*, int*) {
  return 0;
}
