// RIFF containers: video (AVI, with its OpenDML extension chunks), animated
// cursors, audio (WAVE), MIDI, drawings and several application formats, named
// by the form type; sized from the RIFF header. Drawings get a thumbnail from
// the bitmap inside a ZIP-based drawing or from the "DISP" chunk of a RIFF one.
#include <cstring>
#include <vector>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/MemoryZip.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderView.h"
#include "plugins/common/ThumbnailHelpers.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 1);

namespace {

using plugin::Be32;
using plugin::Le16;
using plugin::Le32;

const char kFormatName[] = "FILE_TYPE_RIFF";
const unsigned char kSignature[] = {'R', 'I', 'F', 'F'};
const uint64_t kHeaderBytes = 12;
const uint64_t kChunkHeader = 8;
// An AVI of more than 1 GiB (OpenDML) goes on in "AVIX" RIFF chunks; a 10 GiB
// file, the longest a carve keeps, has about ten of them.
const uint64_t kMaxAvixChunks = 4096;
const char kCdrThumbnail[] = "metadata/thumbnails/thumbnail.bmp";
// A drawing's thumbnail bitmap is small; an entry that claims more is refused.
const uint64_t kMaxThumbnailEntry = 32ull << 20;
const uint64_t kMinThumbnailData = 23;
const uint64_t kDispWalkStart = 22;
const uint64_t kBmpFileHeader = 14;
const uint64_t kBmpInfoHeader = 40;

bool IsUpper(unsigned char c) { return c >= 'A' && c <= 'Z'; }

bool IsFormType(const unsigned char* f) {
  return IsUpper(f[0]) && IsUpper(f[1]) && IsUpper(f[2]) &&
         (IsUpper(f[3]) || f[3] == ' ' || (f[3] >= '0' && f[3] <= '9'));
}

bool Is(const unsigned char* p, const char* four) { return memcmp(p, four, 4) == 0; }

// End of an AVI: the first RIFF chunk, then the "AVIX" RIFF chunks that
// carry the rest of a file of more than 1 GiB. Chunks are padded to even.
uint64_t AviEnd(CReaderView& view, uint64_t end) {
  for (uint64_t n = 0; n < kMaxAvixChunks; ++n) {
    const unsigned char* h = view.At(end, kHeaderBytes);
    if (h == nullptr || !Is(h, "RIFF") || !Is(h + 8, "AVIX")) break;
    const uint64_t size = Le32(h + 4);
    end += kChunkHeader + size + (size & 1);
  }
  return end;
}

// Fills info from the header; the result of GetRawFileInfo.
int MeasureRiff(CReaderView& view, RawFileInfo* info) {
  const unsigned char* h = view.At(0, kHeaderBytes);
  if (h == nullptr || !Is(h, "RIFF")) return 0;
  const unsigned char* form = h + 8;
  if (!IsFormType(form)) return 0;
  const uint64_t size = Le32(h + 4);
  const char* ext = nullptr;
  uint64_t length = size + kChunkHeader;
  if (Is(form, "NUND")) {
    length = static_cast<uint64_t>(Be32(h + 4)) + 12;
    ext = "cpr";
  } else if (Is(form, "ACON")) {
    // An animated cursor is a RIFF file like any other: the size counts the
    // bytes behind the first eight.
    if (size < 12) return 0;
    ext = "ani";
  } else if (Is(form, "AVI ")) {
    length = AviEnd(view, length);
    ext = "avi";
  } else {
    if (length < 12) return 0;
    if (Is(form, "CDDA")) {
      ext = "cda";
    } else if (form[0] == 'C' && form[1] == 'D' && form[2] == 'R') {
      ext = "cdr";
    } else if (Is(form, "RMP3") || Is(form, "WAVE")) {
      ext = "wav";
    } else if (Is(form, "RMID")) {
      ext = "mid";
    } else if (Is(form, "IDF ")) {
      const unsigned char* list = view.At(12, 4);
      if (list != nullptr && Is(list, "LIST")) ext = "idf";
    } else if (Is(form, "AGNX")) {
      ext = "agn";
    } else if (Is(form, "MDLX")) {
      ext = "mdl";
    } else if (Is(form, "QLCM")) {
      ext = "qcp";
    }
  }
  plugin::SetRawLength(info, length);
  plugin::SetRawFormat(info, ext ? ext : "");
  if (ext != nullptr) plugin::SetRawValid(info);
  return 1;
}

// The device-independent bitmap of a RIFF drawing's "DISP" chunk, behind a
// bitmap file header of our own.
int ExtractCdrDispThumbnail(const unsigned char* data, uint64_t size, HBITMAP* bitmap, int* width,
                            int* height, bool bPreviewMode) {
  if (size <= 38) return 0;
  uint64_t p = kDispWalkStart;
  for (;;) {
    if (p + 16 >= size) return 0;
    if (Is(data + p, "DISP")) break;
    p += kChunkHeader + Le32(data + p + 4);
  }
  const uint64_t n = Le32(data + p + 4);
  if (p + n + 26 >= size) return 0;
  // The content's first four bytes precede the bitmap; the bitmap's own
  // header must be there whole.
  if (n < 4 + kBmpInfoHeader) return 0;
  std::vector<unsigned char> bmp(static_cast<size_t>(n + 10));
  memcpy(bmp.data() + 10, data + p + kChunkHeader, static_cast<size_t>(n));
  memset(bmp.data(), 0, 12);
  bmp[0] = 'B';
  bmp[1] = 'M';
  const uint32_t total = static_cast<uint32_t>(n + 10);
  memcpy(bmp.data() + 2, &total, 4);
  // The pixel-data offset is a 32-bit field: its upper half is cleared too
  // (it held content bytes, which would send the decoder far past the data).
  bmp[12] = 0;
  bmp[13] = 0;
  switch (Le16(bmp.data() + 28)) {
    case 8: bmp[10] = 0x36; bmp[11] = 0x04; break;  // 1078: 256 palette entries
    case 4: bmp[10] = 0x76; break;                  // 118: 16 entries
    case 1: bmp[10] = 0x3E; break;                  // 62: 2 entries
    case 24: bmp[10] = 0x36; break;                 // 54: no palette
    default: break;
  }
  return plugin::MakeThumbnail(bmp.data(), static_cast<int64_t>(bmp.size()), bitmap, width, height,
                               bPreviewMode);
}

// The bitmap a ZIP-based drawing keeps as its thumbnail.
int ExtractCdrZipThumbnail(const unsigned char* data, uint64_t size, HBITMAP* bitmap, int* width,
                           int* height, bool bPreviewMode) {
  std::vector<unsigned char> bmp;
  if (!plugin::ReadZipEntry(data, size, kCdrThumbnail, kMaxThumbnailEntry, &bmp)) return 0;
  return plugin::MakeThumbnail(bmp.data(), static_cast<int64_t>(bmp.size()), bitmap, width, height,
                               bPreviewMode);
}

int ExtractRiffThumbnail(const unsigned char* data, uint64_t size, HBITMAP* bitmap, int* width,
                         int* height, bool bPreviewMode) {
  if (data == nullptr || bitmap == nullptr || size < kMinThumbnailData) return 0;
  if (data[0] == 0x50 && data[1] == 0x4B)
    return ExtractCdrZipThumbnail(data, size, bitmap, width, height, bPreviewMode);
  return ExtractCdrDispThumbnail(data, size, bitmap, width, height, bPreviewMode);
}

}  // namespace

DELVARO_PLUGIN_SIGNATURE_ENTRIES(kFormatName, kSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || info == nullptr) return 0;
  CReaderView view(reader);
  if (!view.IsUsable()) return 0;
  return MeasureRiff(view, info);
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailBitmap(CDiskMappingPointer* reader,
                                                           int64_t size, HBITMAP* bitmap,
                                                           int* width, int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || size <= 0 || static_cast<uint64_t>(size) > reader->m_Limit) return 0;
  return plugin::ThumbnailFromReader(reader, size, ExtractRiffThumbnail, bitmap, width, height);
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewBitmap(const void* data, int64_t size,
                                                         HBITMAP* bitmap, int* width,
                                                         int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  return plugin::PreviewFromMemory(data, size, ExtractRiffThumbnail, bitmap, width, height);
  DELVARO_PLUGIN_GUARD_END
}
