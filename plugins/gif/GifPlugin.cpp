// GIF pictures: recognised by a check routine (two versions), sized by a walk
// over the extension and image blocks up to and including the trailer.
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderCursor.h"
#include "plugins/common/ReaderView.h"
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
// Returns the position behind the terminator, or end when the bytes run out;
// false when a byte cannot be read.
bool SkipGifSubBlocks(CReaderView& bytes, uint64_t pos, uint64_t end, uint64_t* out) {
  while (pos < end) {
    const unsigned char* n = bytes.At(pos, 1);
    if (n == nullptr) return false;
    ++pos;
    if (*n == 0) {
      *out = pos;
      return true;
    }
    pos += *n;
  }
  *out = end;
  return true;
}

// Walks the blocks from pos; gives the offset of the first byte that starts
// neither an extension nor an image (the trailer ";" of a whole file), or
// end when the bytes run out. False when a byte cannot be read.
bool WalkGifBlocks(CReaderView& bytes, uint64_t pos, uint64_t end, uint64_t descriptorEnd, uint64_t* out) {
  while (pos < end) {
    const unsigned char* c = bytes.At(pos, 1);
    if (c == nullptr) return false;
    if (*c == '!') {
      if (!SkipGifSubBlocks(bytes, pos + 2, end, &pos)) return false;
    } else if (*c == ',') {
      // Descriptors are followed only inside half a default window.
      if (pos + 20 >= descriptorEnd) break;
      const unsigned char* d = bytes.At(pos, 10);
      if (d == nullptr) return false;
      const unsigned char packed = d[9];
      uint64_t next = pos + 10 + 1;
      if (packed & 0x80) next += 3ull << ((packed & 0x07) + 1);
      if (!SkipGifSubBlocks(bytes, next, end, &pos)) return false;
    } else {
      break;
    }
  }
  *out = pos < end ? pos : end;
  return true;
}

}  // namespace

DELVARO_PLUGIN_CHECK_ENTRIES(kFormatName, CheckGifSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || info == nullptr) return 0;
  // The walk reaches as far as a default window does, whatever the window
  // of this reader: it reads on through the source.
  CReaderView bytes(reader);
  if (!bytes.IsUsable()) return 0;
  uint64_t end = CReaderCursor::DefaultWindow();
  if (end > bytes.SourceLeft()) end = bytes.SourceLeft();
  const unsigned char* b = bytes.At(0, kScreenDescriptorEnd);
  if (b == nullptr || !CheckGifSignature(b)) return 0;
  uint64_t first = kScreenDescriptorEnd;
  if (b[10] & 0x80) first += 3ull << ((b[10] & 0x07) + 1);
  // The first block must be there to look at: a header whose colour table
  // runs past the bytes (the end of the source) is no picture.
  if (first >= end) return 0;
  const unsigned char* f = bytes.At(first, 1);
  if (f == nullptr || (*f != '!' && *f != ',')) return 0;
  uint64_t half = CReaderCursor::DefaultWindow() / 2;
  if (half > end) half = end;
  uint64_t walked = 0;
  if (!WalkGifBlocks(bytes, first, end, half, &walked)) return 0;
  if (walked < kMinGifLength) return 0;
  // The trailer closes the file and belongs to it: a copy without it is a
  // byte short of the picture that was on the disk.
  const unsigned char* t = walked < end ? bytes.At(walked, 1) : nullptr;
  const uint64_t length = t != nullptr && *t == kTrailer ? walked + 1 : walked;
  plugin::SetRawLength(info, length);
  plugin::SetRawFormat(info, "gif");
  plugin::SetRawValid(info);
  return 1;
  DELVARO_PLUGIN_GUARD_END
}
