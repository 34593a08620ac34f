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

// A zero-filled moveable global block holding a copy of the bytes; freed
// with the object.
class CGlobalCopy {
 public:
  CGlobalCopy(const void* data, uint64_t n) {
    if (n == 0 || n > 0x7FFFFFFF) return;
    m_block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, static_cast<SIZE_T>(n));
    void* p = m_block ? GlobalLock(m_block) : nullptr;
    if (p == nullptr) return;
    memcpy(p, data, static_cast<size_t>(n));
    GlobalUnlock(m_block);
    m_size = n;
  }
  ~CGlobalCopy() {
    if (m_block) GlobalFree(m_block);
  }
  CGlobalCopy(const CGlobalCopy&) = delete;
  CGlobalCopy& operator=(const CGlobalCopy&) = delete;
  HGLOBAL Block() const { return m_size ? m_block : nullptr; }

  // The text of the document: the Word path over the block as storage, the
  // workbook path over its bytes.
  int Text(office::TextKind kind, char* text, int capacity, uint32_t maxStrings) const {
    if (Block() == nullptr) return 0;
    if (kind == office::TextKind::Word) return office::WordText(m_block, text, capacity);
    const void* p = GlobalLock(m_block);
    if (p == nullptr) return 0;
    const int result = office::WorkbookText(p, static_cast<int64_t>(m_size), text, capacity, maxStrings);
    GlobalUnlock(m_block);
    return result;
  }

 private:
  HGLOBAL m_block = nullptr;
  uint64_t m_size = 0;
};

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
  uint64_t n = cur.Loaded();
  if (n > static_cast<uint64_t>(size)) n = static_cast<uint64_t>(size);
  if (n < office::kMinTextDocument) return 0;
  const office::TextKind kind = office::TextKindOf(text, capacity);
  if (kind == office::TextKind::None) return 0;
  CGlobalCopy copy(cur.Data(), n);
  CTextOutput out(text, capacity);
  return out.Commit(copy.Text(kind, out.Data(), out.Capacity(), kThumbnailStrings));
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewText(const void* data, int64_t size, char* text,
                                                       int capacity) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (data == nullptr || text == nullptr || capacity <= 0 || size <= 0) return 0;
  if (office::TextKindOf(text, capacity) == office::TextKind::Word) {
    if (size < office::kMinTextDocument) return 0;
    CGlobalCopy copy(data, static_cast<uint64_t>(size));
    CTextOutput out(text, capacity);
    return out.Commit(copy.Text(office::TextKind::Word, out.Data(), out.Capacity(), 0));
  }
  // Every other document is tried as a workbook, straight from the memory
  // image.
  CTextOutput out(text, capacity);
  return out.Commit(office::WorkbookText(data, size, out.Data(), out.Capacity(), 0));
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
