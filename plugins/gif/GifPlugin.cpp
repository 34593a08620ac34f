// GIF pictures: recognised by a check routine (two versions), sized by a walk
// over the extension and image blocks up to and including the trailer.
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderCursor.h"
#include "plugins/common/ThumbnailHelpers.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 0);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 1);

namespace {

const char kFormatName[] = "FILE_TYPE_GIF";
const uint64_t kScreenDescriptorEnd = 13;
const uint64_t kMinGifLength = 43;
const unsigned char kTrailer = ';';

int DELVARO_CDECL CheckGifSignature(const unsigned char* p) {
  if (p == nullptr) return 0;
  return p[0] == 'G' && p[1] == 'I' && p[2] == 'F' && p[3] == '8' && (p[4] == '7' || p[4] == '9') &&
         p[5] == 'a';
}

// Steps over length-prefixed sub-blocks up to the zero-length terminator.
// Returns the position behind the terminator, or end when the bytes run out.
uint64_t SkipGifSubBlocks(const unsigned char* b, uint64_t pos, uint64_t end) {
  while (pos < end) {
    const unsigned n = b[pos];
    ++pos;
    if (n == 0) return pos;
    pos += n;
  }
  return end;
}

// Walks the blocks from pos; returns the offset of the first byte that starts
// neither an extension nor an image (the trailer ";" of a whole file).
uint64_t WalkGifBlocks(const unsigned char* b, uint64_t pos, uint64_t end, uint64_t descriptorEnd) {
  while (pos < end) {
    const unsigned char c = b[pos];
    if (c == '!') {
      pos = SkipGifSubBlocks(b, pos + 2, end);
    } else if (c == ',') {
      // Descriptors are followed only inside the trusted part of the window.
      if (pos + 20 >= descriptorEnd) return pos;
      const unsigned char packed = b[pos + 9];
      uint64_t next = pos + 10 + 1;
      if (packed & 0x80) next += 3ull << ((packed & 0x07) + 1);
      pos = SkipGifSubBlocks(b, next, end);
    } else {
      return pos;
    }
  }
  return end;
}

}  // namespace

DELVARO_PLUGIN_CHECK_ENTRIES(kFormatName, CheckGifSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || info == nullptr) return 0;
  CReaderCursor cur(reader);
  if (!cur.IsUsable()) return 0;
  const uint64_t end = cur.Loaded();
  if (end < kScreenDescriptorEnd) return 0;
  const unsigned char* b = cur.Data();
  if (!CheckGifSignature(b)) return 0;
  uint64_t first = kScreenDescriptorEnd;
  if (b[10] & 0x80) first += 3ull << ((b[10] & 0x07) + 1);
  // The first block must be there to look at: a header whose colour table
  // runs past the loaded bytes (the end of the source) is no picture.
  if (first >= end) return 0;
  if (b[first] != '!' && b[first] != ',') return 0;
  uint64_t half = reader->m_WindowSize / 2;
  if (half > end) half = end;
  const uint64_t walked = WalkGifBlocks(b, first, end, half);
  if (walked < kMinGifLength) return 0;
  // The trailer closes the file and belongs to it: a copy without it is a
  // byte short of the picture that was on the disk.
  const uint64_t length = walked < end && b[walked] == kTrailer ? walked + 1 : walked;
  plugin::SetRawLength(info, length);
  plugin::SetRawFormat(info, "gif");
  plugin::SetRawValid(info);
  return 1;
  DELVARO_PLUGIN_GUARD_END
}
