// DWG drawings ("AC10" and the release digits): sized from the structures
// their release keeps (DwgLength.h), else by the run of zero bytes that
// closes the drawing's last 512-byte block; shown by the preview picture
// the drawing stores (a device-independent bitmap or a PNG).
#include <windows.h>

#include <cstring>
#include <string>

#include "plugins/cad/DwgLength.h"
#include "plugins/common/ByteOrder.h"
#include "plugins/common/ByteSource.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderCursor.h"
#include "plugins/common/ReaderView.h"
#include "plugins/common/ThumbnailHelpers.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 1);

namespace {

using plugin::Le16;
using plugin::Le32;

const char kFormatName[] = "FILE_TYPE_CAD";
const unsigned char kSignature[] = {'A', 'C', '1', '0'};
const uint64_t kBlock = 512;
const uint64_t kMinDrawing = 512;  // a drawing must be longer than this
const uint64_t kPreviewField = 0x0D;
const unsigned char kImageStart[16] = {0x1F, 0x25, 0x6D, 0x07, 0xD4, 0x36, 0x28, 0x28,
                                       0x9D, 0x57, 0xCA, 0x3F, 0x9D, 0x44, 0x10, 0x2B};
const uint8_t kImageDib = 2, kImagePng = 6;
const uint32_t kMaxImages = 16;
const uint64_t kFileHeader = 14;

// The drawing's end by its zero run: the end of the data seen so far,
// stopping at the first 512-byte block whose last 16 bytes are zero, over
// the drawing's first `bound` bytes (the program's default window), read
// through the view in one pass. *closed tells whether such a block came
// before the bytes ran out.
uint64_t ZeroRunEnd(CReaderView& view, uint64_t bound, bool* closed) {
  *closed = false;
  uint64_t end = 0;
  uint64_t zeros = 0;  // zero words in a row before the current one
  uint64_t off = 0;
  if (bound > view.SourceLeft()) bound = view.SourceLeft();
  while (off + 4 <= bound) {
    uint64_t n = 0;
    const unsigned char* d = view.Stream(off, bound - off, &n);
    if (d == nullptr || n < 4) break;
    const uint64_t stop = off + (n & ~3ull);
    for (const unsigned char* w = d; off < stop; off += 4, w += 4) {
      if (Le32(w) != 0) {
        end = off + 4;
        zeros = 0;
        continue;
      }
      if (off % kBlock == kBlock - 4) {
        if (zeros >= 3) {
          *closed = true;
          return end;
        }
        end = off + 4;
      }
      ++zeros;
    }
  }
  return end;
}

// The stored preview as an encoded picture: a bitmap file made of a file
// header and the stored bitmap, or the stored PNG as it is.
bool PreviewPicture(const unsigned char* d, uint64_t n, std::string* picture) {
  if (n < kPreviewField + 4) return false;
  const uint64_t area = Le32(d + kPreviewField);
  if (area > n || n - area < 21 || memcmp(d + area, kImageStart, 16) != 0) return false;
  const uint32_t count = d[area + 20];
  for (uint32_t i = 0; i < count && i < kMaxImages; ++i) {
    const uint64_t e = area + 21 + 9ull * i;
    if (e + 9 > n) return false;
    const uint8_t code = d[e];
    const uint64_t start = Le32(d + e + 1), size = Le32(d + e + 5);
    if (code != kImageDib && code != kImagePng) continue;
    if (start == 0 || size == 0 || start > n || size > n - start) return false;
    const unsigned char* img = d + start;
    if (code == kImagePng) {
      picture->assign(reinterpret_cast<const char*>(img), static_cast<size_t>(size));
      return true;
    }
    // Pixel data follows the info header, the palette and, for a 40-byte
    // header with bit fields, the three masks.
    if (size < 40) return false;
    const uint64_t header = Le32(img), bits = Le16(img + 14), compression = Le32(img + 16);
    uint64_t colours = Le32(img + 32);
    if (header < 40 || header > size) return false;
    if (colours == 0 && bits <= 8) colours = 1ull << bits;
    uint64_t offset = kFileHeader + header + 4 * colours;
    if (header == 40 && compression == BI_BITFIELDS) offset += 12;
    const uint64_t fileSize = kFileHeader + size;
    if (colours > 256 || offset > fileSize) return false;
    picture->assign(static_cast<size_t>(fileSize), '\0');
    unsigned char* f = reinterpret_cast<unsigned char*>(&(*picture)[0]);
    f[0] = 'B';
    f[1] = 'M';
    for (int k = 0; k < 4; ++k) {
      f[2 + k] = static_cast<unsigned char>(fileSize >> (8 * k));
      f[10 + k] = static_cast<unsigned char>(offset >> (8 * k));
    }
    memcpy(f + kFileHeader, img, static_cast<size_t>(size));
    return true;
  }
  return false;
}

int MakePreview(const unsigned char* d, uint64_t n, HBITMAP* bitmap, int* width, int* height) {
  std::string picture;
  if (bitmap == nullptr || !PreviewPicture(d, n, &picture)) return 0;
  // The preview is fitted into the thumbnail box like a thumbnail.
  return plugin::MakeThumbnail(picture.data(), static_cast<int64_t>(picture.size()), bitmap, width,
                               height, false);
}

}  // namespace

DELVARO_PLUGIN_SIGNATURE_ENTRIES(kFormatName, kSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || info == nullptr) return 0;
  CReaderCursor cur(reader);
  if (!cur.IsUsable()) return 0;
  uint64_t length = 0;
  bool closed = false;
  {
    plugin::CReaderSource src(reader);
    length = dwgfmt::StructuredLength(src);
    closed = length > 0 && !src.Failed();
  }  // the reader is back at the candidate
  // No structure to go by: the zero run within the program's default window.
  if (!closed) {
    CReaderView view(reader);
    length = ZeroRunEnd(view, CReaderCursor::DefaultWindow(), &closed);
  }
  if (length <= kMinDrawing) return 0;
  plugin::SetRawFound(info, length, "dwg");
  return closed ? 1 : 0;
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
  if (reader == nullptr || size <= 0) return 0;
  CReaderCursor cur(reader);
  const uint64_t n = cur.ItemBytes(size);
  return n ? MakePreview(cur.Data(), n, bitmap, width, height) : 0;
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewBitmap(const void* data, int64_t size,
                                                         HBITMAP* bitmap, int* width,
                                                         int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (data == nullptr || size < 4 || memcmp(data, kSignature, 4) != 0) return 0;
  return MakePreview(static_cast<const unsigned char*>(data), static_cast<uint64_t>(size), bitmap,
                     width, height);
  DELVARO_PLUGIN_GUARD_END
}
