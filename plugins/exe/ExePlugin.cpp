// Windows PE executables: recognised by their DOS header and "PE" signature,
// measured to the end of the last data their headers describe, shown by
// their first icon. Libraries (DLLs) are recognised and left out.
#include <cstring>
#include <vector>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderCursor.h"
#include "plugins/common/ReaderView.h"
#include "plugins/exe/ExeIcon.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 1);

namespace {

using plugin::Le16;
using plugin::Le32;

const char kFormatName[] = "FILE_TYPE_PE";
const unsigned char kSignature[] = {0x4D, 0x5A};
const uint16_t kExecutable = 0x0002;
const uint16_t kDll = 0x2000;
const uint32_t kMaxSymbols = 0xFFFF;
// A string table larger than this behind the symbols is not believed.
const uint32_t kMaxStringTable = 64u << 20;

// The end of the attribute certificates (a signed program's signature), which
// the security directory places by file offset after everything else.
uint64_t CertificateEnd(const unsigned char* optional, uint32_t optionalSize) {
  if (optionalSize < 2) return 0;
  const uint16_t magic = Le16(optional);
  const uint32_t countAt = magic == 0x20B ? 108 : 92;
  const uint32_t dirs = magic == 0x20B ? 112 : 96;
  if (optionalSize < countAt + 4 || Le32(optional + countAt) <= 4 || optionalSize < dirs + 5 * 8) return 0;
  const uint32_t offset = Le32(optional + dirs + 4 * 8), size = Le32(optional + dirs + 4 * 8 + 4);
  return size ? static_cast<uint64_t>(offset) + size : 0;
}

}  // namespace

DELVARO_PLUGIN_SIGNATURE_ENTRIES(kFormatName, kSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || info == nullptr) return 0;
  CReaderCursor cur(reader);
  if (!cur.IsUsable() || cur.Loaded() < 64) return 0;
  const unsigned char* dos = cur.Data();
  const uint32_t ntOffset = Le32(dos + 60);
  // The header may lie as far as a default window reaches, whatever the
  // window of this reader: it is read through the view below.
  if (ntOffset == 0 || ntOffset >= CReaderCursor::DefaultWindow()) return 0;
  for (int i = 28; i < 60; ++i)
    if ((i < 36 || i >= 40) && dos[i] != 0) return 0;
  CReaderView view(reader);
  unsigned char nt[24];
  if (!view.Copy(ntOffset, nt, sizeof(nt)) || nt[0] != 'P' || nt[1] != 'E') return 0;
  const uint16_t sections = Le16(nt + 6);
  const uint32_t symbolTable = Le32(nt + 12), symbols = Le32(nt + 16);
  const uint16_t optionalSize = Le16(nt + 20), characteristics = Le16(nt + 22);
  if (characteristics & kDll) {
    // Recognised, but the program keeps no libraries.
    plugin::SetRawFormat(info, "dll");
    return 0;
  }
  if (!(characteristics & kExecutable)) return 0;
  plugin::SetRawFormat(info, "exe");

  // The optional header and the section table behind it.
  std::vector<unsigned char> headers(static_cast<size_t>(optionalSize) + 40u * sections);
  if (!headers.empty() && !view.Copy(ntOffset + 24, headers.data(), headers.size()))
    return 0;
  uint64_t length = 0;
  for (uint32_t i = 0; i < sections; ++i) {
    const unsigned char* s = headers.data() + optionalSize + 40u * i;
    const uint32_t rawSize = Le32(s + 16), rawPointer = Le32(s + 20);
    const uint32_t relocations = Le32(s + 24);
    const uint16_t relocationCount = Le16(s + 32);
    if (rawSize != 0 && rawSize % 32 == 0 && rawPointer + static_cast<uint64_t>(rawSize) > length)
      length = rawPointer + static_cast<uint64_t>(rawSize);
    if (relocationCount != 0 && relocations + 10ull * relocationCount > length)
      length = relocations + 10ull * relocationCount;
  }
  if (symbols >= 1 && symbols <= kMaxSymbols) {
    const uint64_t symbolsEnd = symbolTable + 18ull * symbols;
    if (symbolsEnd > length) length = symbolsEnd;
    // The symbols' string table follows them, led by its own size.
    unsigned char size[4];
    if (view.Copy(symbolsEnd, size, sizeof(size))) {
      const uint32_t strings = Le32(size);
      if (strings >= 4 && strings <= kMaxStringTable && symbolsEnd + strings > length)
        length = symbolsEnd + strings;
    }
  }
  const uint64_t certificates = CertificateEnd(headers.data(), optionalSize);
  if (length != 0 && certificates > length) length = certificates;
  if (length != 0) plugin::SetRawLength(info, length);
  plugin::SetRawValid(info);
  return 1;
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailText(CDiskMappingPointer*, int64_t, char*, int) {
  return 0;
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailBitmap(CDiskMappingPointer* reader, int64_t size,
                                                           HBITMAP* bitmap, int* width, int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || bitmap == nullptr || size <= 0) return 0;
  plugin::CReaderSource file(reader, static_cast<uint64_t>(size));
  if (!file.Usable()) return 0;
  return exe::FirstIconBitmap(file, bitmap, width, height, false);
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewBitmap(const void* data, int64_t size, HBITMAP* bitmap,
                                                         int* width, int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (data == nullptr || bitmap == nullptr || size <= 0) return 0;
  plugin::CMemorySource file(data, static_cast<uint64_t>(size));
  return exe::FirstIconBitmap(file, bitmap, width, height, true);
  DELVARO_PLUGIN_GUARD_END
}
