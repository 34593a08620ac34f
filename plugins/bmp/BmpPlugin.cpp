// Windows bitmap files: recognised by "BM", sized from the header's file size.
#include <cstring>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderCursor.h"
#include "plugins/common/ThumbnailHelpers.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 1);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 1);

namespace {

const char kFormatName[] = "FILE_TYPE_BMP";
const unsigned char kSignature[] = {0x42, 0x4D};
// Bytes of the file header and the DIB header size field.
const uint64_t kHeaderBytes = 18;
// Length the deep scan steps over when the header does not hold.
const int64_t kFallbackLength = 512;

bool IsDibHeaderSize(uint32_t n) {
  return n == 12 || n == 40 || n == 52 || n == 56 || n == 64 || n == 108 || n == 124;
}

// The header test; p holds at least kHeaderBytes bytes.
bool IsBmpHeader(const unsigned char* p) {
  using plugin::Le16;
  using plugin::Le32;
  if (p[0] != 'B' || p[1] != 'M') return false;
  if (Le16(p + 6) != 0 || Le16(p + 8) != 0) return false;
  if (!IsDibHeaderSize(Le32(p + 14))) return false;
  const uint32_t fileSize = Le32(p + 2);
  const uint32_t bitsOffset = Le32(p + 10);
  return bitsOffset < fileSize && fileSize > 64;
}

}  // namespace

DELVARO_PLUGIN_SIGNATURE_ENTRIES(kFormatName, kSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char* data) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (data == nullptr) return 0;
  if (!IsBmpHeader(data)) return kFallbackLength;
  return static_cast<int64_t>(plugin::Le32(data + 2));
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || info == nullptr) return 0;
  CReaderCursor cur(reader);
  if (!cur.IsUsable()) return 0;
  // The length comes from GetFileSizeAtOnce; here only the header is judged.
  if (cur.Loaded() >= kHeaderBytes && IsBmpHeader(cur.Data())) plugin::SetRawValid(info);
  plugin::SetRawFormat(info, "bmp");
  return 1;
  DELVARO_PLUGIN_GUARD_END
}
