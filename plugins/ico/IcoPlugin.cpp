// Icon files: sized by the furthest end of the images of the directory.
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
// Icon header and the first directory entry.
const uint64_t kHeaderBytes = 22;
// Longest icon accepted: an image ending past this is not an icon.
const uint64_t kMaxIconLength = 0x100000;

const uint64_t kIconHeader = 6;
const uint64_t kEntryBytes = 16;

bool IsBitCount(uint16_t n) { return n == 1 || n == 4 || n == 8 || n == 16 || n == 32; }

// Checks one directory entry and gives the end of its image (offset + size,
// summed in 64 bits: a 32-bit sum that wraps would pass the size test).
bool EntryEnd(const unsigned char* e, uint16_t count, uint64_t* end) {
  using plugin::Le16;
  using plugin::Le32;
  if (e[3] != 0 && e[3] != 0xFF) return false;  // reserved
  const uint16_t planes = Le16(e + 4);
  if (planes != 0 && planes != 1) return false;
  if (e[0] != e[1]) return false;  // width, height
  if (!IsBitCount(Le16(e + 6))) return false;
  const uint32_t bytes = Le32(e + 8);
  const uint32_t offset = Le32(e + 12);
  if (bytes == 0) return false;
  if (static_cast<uint64_t>(offset) < kEntryBytes * count + kIconHeader) return false;
  *end = static_cast<uint64_t>(offset) + bytes;
  return true;
}

}  // namespace

DELVARO_PLUGIN_SIGNATURE_ENTRIES(kFormatName, kSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  using plugin::Le16;
  if (reader == nullptr || info == nullptr) return 0;
  CReaderCursor cur(reader);
  if (!cur.IsUsable() || cur.Loaded() < kHeaderBytes) return 0;
  const unsigned char* p = cur.Data();
  if (Le16(p) != 0 || Le16(p + 2) != 1) return 0;
  const uint16_t count = Le16(p + 4);
  // The file ends where its furthest image ends: the directory lists the
  // images in any order, and a copy cut at the first one loses the others.
  // The first entry decides whether this is an icon at all; a later entry
  // that fails the same checks is damaged and adds nothing to the length.
  // Only entries inside the loaded bytes are read.
  const uint64_t loaded = cur.Loaded();
  uint64_t entries = count > 0 ? count : 1;
  const uint64_t held = (loaded - kIconHeader) / kEntryBytes;
  if (entries > held) entries = held;
  uint64_t length = 0;
  for (uint64_t i = 0; i < entries; ++i) {
    uint64_t end = 0;
    if (!EntryEnd(p + kIconHeader + i * kEntryBytes, count, &end)) {
      if (i == 0) return 0;
      continue;
    }
    if (end > length) length = end;
  }
  plugin::SetRawLength(info, length);
  if (length > kMaxIconLength) return 0;
  plugin::SetRawFormat(info, "ico");
  plugin::SetRawValid(info);
  return 1;
  DELVARO_PLUGIN_GUARD_END
}
