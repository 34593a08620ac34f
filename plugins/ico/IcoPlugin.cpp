// Icon files: sized by the end of the first image of the directory.
#include "plugins/common/ByteOrder.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderCursor.h"
#include "plugins/common/ThumbnailHelpers.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 1);

namespace {

const char kFormatName[] = "FILE_TYPE_ICON";
const unsigned char kSignature[] = {0x00, 0x00, 0x01, 0x00};
// Icon header (6 bytes) and the first directory entry (16 bytes).
const uint64_t kHeaderBytes = 22;
// Longest icon accepted: an image ending past this is not an icon.
const uint64_t kMaxIconLength = 0x100000;

bool IsBitCount(uint16_t n) { return n == 1 || n == 4 || n == 8 || n == 16 || n == 32; }

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetSupportFormat(char* formatName) {
  plugin::CopyFormatName(formatName, kFormatName);
  return 1;
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetFileSign(void* out) {
  return plugin::FillSignature(out, kSignature, sizeof(kSignature));
}

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  using plugin::Le16;
  using plugin::Le32;
  if (reader == nullptr || info == nullptr) return 0;
  CReaderCursor cur(reader);
  if (!cur.IsUsable() || cur.Loaded() < kHeaderBytes) return 0;
  const unsigned char* p = cur.Data();
  if (Le16(p) != 0 || Le16(p + 2) != 1) return 0;
  const uint16_t count = Le16(p + 4);
  // First directory entry.
  if (p[9] != 0 && p[9] != 0xFF) return 0;
  const uint16_t planes = Le16(p + 10);
  if (planes != 0 && planes != 1) return 0;
  if (p[6] != p[7]) return 0;
  if (!IsBitCount(Le16(p + 12))) return 0;
  const uint32_t bytes = Le32(p + 14);
  const uint32_t offset = Le32(p + 18);
  if (bytes == 0) return 0;
  if (static_cast<uint64_t>(offset) < 16ull * count + 6) return 0;
  // Sum in 64 bits: a 32-bit sum that wraps would pass the size test.
  const uint64_t length = static_cast<uint64_t>(offset) + bytes;
  plugin::SetRawLength(info, length);
  if (length > kMaxIconLength) return 0;
  plugin::SetRawFormat(info, "ico");
  plugin::SetRawValid(info);
  return 1;
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailText(CDiskMappingPointer*, int64_t, char*,
                                                         int) {
  return 0;
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailBitmap(CDiskMappingPointer* reader,
                                                           int64_t size, HBITMAP* bitmap,
                                                           int* width, int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  return plugin::MakeThumbnailFromReader(reader, size, bitmap, width, height, false);
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewBitmap(const void* data, int64_t size,
                                                         HBITMAP* bitmap, int* width,
                                                         int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  // The preview is fitted into the thumbnail box like a thumbnail.
  return plugin::MakeThumbnail(data, size, bitmap, width, height, false);
  DELVARO_PLUGIN_GUARD_END
}
