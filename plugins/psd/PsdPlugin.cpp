// Layered image documents ("8BPS"): sized from the header, the three
// length-prefixed sections and the image data (raw, or run-length with its
// table of row byte counts); pictures decoded with stb_image.
#include <cstring>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderCursor.h"
#include "plugins/common/ThumbnailHelpers.h"

#define STBI_ONLY_PSD
#define STBI_NO_STDIO
#define STBI_NO_HDR
#define STBI_NO_LINEAR
// No thread-local state in a DLL that is loaded and freed at run time, and no
// shared failure text written by concurrent calls.
#define STBI_NO_THREAD_LOCALS
#define STBI_NO_FAILURE_STRINGS
#define STBI_MAX_DIMENSIONS 30000
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#include "stb_image.h"
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 1);

namespace {

const char kFormatName[] = "FILE_TYPE_PSD";
const unsigned char kSignature[] = {0x38, 0x42, 0x50, 0x53};
const uint64_t kHeaderBytes = 26;
const uint16_t kRunLength = 1;
// Most rows a run-length table can list: 24 channels of 30000 rows.
const uint64_t kMaxRows = 24ull * 30000;
// Decoded pictures are kept below this many bytes (RGBA).
const uint64_t kMaxDecodedBytes = 256ull << 20;

// Reads n bytes at saved position + offset into out; false when they are not
// there (past the source's end, a read error, or outside the trusted bytes).
bool ReadAt(CReaderCursor& cur, uint64_t offset, unsigned char* out, uint64_t n) {
  bool ok = cur.MoveFromSaved(offset) && cur.Trusted() >= n;
  if (ok) memcpy(out, cur.Data(), static_cast<size_t>(n));
  cur.RestorePosition();
  return ok;
}

// Sums the run-length table of rows big-endian u16 byte counts at saved
// position + at. The table is read in the pieces the reader trusts at a time;
// false when it cannot be read whole (source end, read error, or more rows
// than a document can have).
bool SumRowCounts(CReaderCursor& cur, uint64_t at, uint64_t rows, uint64_t* sum) {
  if (rows > kMaxRows) return false;
  uint64_t left = rows * 2;
  uint64_t total = 0;
  while (left > 0) {
    if (!cur.MoveFromSaved(at)) {
      cur.RestorePosition();
      return false;
    }
    uint64_t n = cur.Trusted();
    if (n > left) n = left;
    n &= ~static_cast<uint64_t>(1);
    const unsigned char* d = cur.Data();
    for (uint64_t i = 0; i < n; i += 2) total += plugin::Be16(d + i);
    cur.RestorePosition();
    if (n == 0) return false;
    at += n;
    left -= n;
  }
  *sum = total;
  return true;
}

// Sanity limits on what stb_image is asked to decode: the header's picture
// size against the bytes that can carry it (raw data, or run-length packets
// that expand at most 64-fold).
bool IsDecodable(const unsigned char* data, uint64_t size) {
  using plugin::Be16;
  using plugin::Be32;
  if (size < kHeaderBytes || memcmp(data, kSignature, 4) != 0) return false;
  const uint64_t channels = Be16(data + 12);
  const uint64_t height = Be32(data + 14);
  const uint64_t width = Be32(data + 18);
  if (channels == 0 || width == 0 || height == 0) return false;
  if (width > STBI_MAX_DIMENSIONS || height > STBI_MAX_DIMENSIONS) return false;
  const uint64_t pixels = width * height;
  if (pixels * 4 > kMaxDecodedBytes) return false;
  return pixels * channels <= size * 64 + 4096;
}

// The picture as a 32-bit top-down DIB section (premultiplied by alpha).
HBITMAP DecodePsdToBitmap(const unsigned char* data, uint64_t size) {
  if (data == nullptr || size == 0 || size > 0x7FFFFFFF || !IsDecodable(data, size))
    return nullptr;
  int w = 0, h = 0, comp = 0;
  unsigned char* px = stbi_load_from_memory(data, static_cast<int>(size), &w, &h, &comp, 4);
  if (px == nullptr) return nullptr;
  HBITMAP bmp = nullptr;
  if (w > 0 && h > 0) {
    BITMAPINFO bi;
    memset(&bi, 0, sizeof(bi));
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bmp = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bmp != nullptr && bits != nullptr) {
      unsigned char* dst = static_cast<unsigned char*>(bits);
      const unsigned char* src = px;
      const size_t count = static_cast<size_t>(w) * static_cast<size_t>(h);
      for (size_t i = 0; i < count; ++i, src += 4, dst += 4) {
        unsigned r = src[0], g = src[1], b = src[2];
        const unsigned a = src[3];
        if (a < 255) {
          r = r * a / 255;
          g = g * a / 255;
          b = b * a / 255;
        }
        dst[0] = static_cast<unsigned char>(b);
        dst[1] = static_cast<unsigned char>(g);
        dst[2] = static_cast<unsigned char>(r);
        dst[3] = static_cast<unsigned char>(a);
      }
    } else if (bmp != nullptr) {
      DeleteObject(bmp);
      bmp = nullptr;
    }
  }
  stbi_image_free(px);
  return bmp;
}

int MakePsdThumbnail(const unsigned char* data, uint64_t size, HBITMAP* bitmap, int* width,
                     int* height, bool bPreviewMode) {
  if (bitmap == nullptr) return 0;
  HBITMAP bmp = DecodePsdToBitmap(data, size);
  if (bmp == nullptr) return 0;
  return plugin::FitAndHandOut(bmp, bPreviewMode, bitmap, width, height);
}

}  // namespace

DELVARO_PLUGIN_SIGNATURE_ENTRIES(kFormatName, kSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  using plugin::Be16;
  using plugin::Be32;
  if (reader == nullptr || info == nullptr) return 0;
  info->flags = 0;
  info->valid = 0;
  CReaderCursor cur(reader);
  if (!cur.IsUsable() || cur.Loaded() < kHeaderBytes) return 0;
  cur.SavePosition();
  const unsigned char* h = cur.Data();
  if (memcmp(h, kSignature, 4) != 0) return 0;
  if (Be16(h + 4) != 1) return 0;
  for (int i = 6; i < 12; ++i)
    if (h[i] != 0) return 0;
  const uint16_t channels = Be16(h + 12);
  if (channels < 1 || channels > 24) return 0;
  const uint64_t height = Be32(h + 14);
  const uint64_t width = Be32(h + 18);
  const uint64_t depth = Be16(h + 22);

  // Colour mode data, image resources, layer and mask information.
  uint64_t offset = kHeaderBytes;
  for (int section = 0; section < 3; ++section) {
    unsigned char field[4];
    if (!ReadAt(cur, offset, field, 4)) return 0;
    const uint64_t len = Be32(field);
    // A section may be as long as a default window, whatever the window of
    // this reader: the reads below go on through the source.
    if (len > CReaderCursor::DefaultWindow()) return 0;
    offset += 4 + len;
  }
  unsigned char comp[2];
  if (!ReadAt(cur, offset, comp, 2)) return 0;
  const uint16_t compression = Be16(comp);
  if (compression != 0 && compression != 1) return 0;
  const uint64_t imageStart = offset + 2;
  // Raw image data: every channel's rows one after the other, a row packed to
  // whole bytes (a 1-bit row of w pixels takes (w + 7) / 8 bytes, not none).
  // In 64 bits: a 32-bit product wraps for large documents and would cut the
  // recovered file short.
  const uint64_t rowBytes = (width * depth + 7) / 8;
  const uint64_t rows = height * channels;
  if (rowBytes != 0 && rows > (UINT64_MAX - imageStart) / rowBytes) return 0;
  const uint64_t rawBytes = rows * rowBytes;
  uint64_t length = imageStart + rawBytes;
  if (compression == kRunLength) {
    // Run-length data: a table of one byte count per row, then the rows.
    uint64_t packed = 0;
    if (SumRowCounts(cur, imageStart, rows, &packed)) {
      length = imageStart + 2 * rows + packed;
    } else {
      // The table cannot be read: the raw size is the best guess, but never
      // past the end of the source.
      const uint64_t start = cur.Position();
      const uint64_t sourceLeft = cur.Limit() > start ? cur.Limit() - start : 0;
      if (length > sourceLeft) length = sourceLeft;
    }
  }
  plugin::SetRawLength(info, length);
  plugin::SetRawFormat(info, "psd");
  plugin::SetRawValid(info);
  return 1;
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_PICTURE_ENTRIES(MakePsdThumbnail)
