// JPEG pictures: the header's marker segments are walked up to the start of
// scan, then the entropy-coded data is scanned for the end-of-image marker.
#include <cstring>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderCursor.h"
#include "plugins/common/ReaderView.h"
#include "plugins/common/ThumbnailHelpers.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 1);

namespace {

using plugin::Be16;

const char kFormatName[] = "FILE_TYPE_JPG";
const unsigned char kSignature[] = {0xFF, 0xD8, 0xFF};
// Motion-JPEG frames cut out of AVI files.
const unsigned char kAvi1Frame[12] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10,
                                      0x41, 0x56, 0x49, 0x31, 0x00, 0x00};
// JFIF 1.01 with zero density and no thumbnail: the pictures embedded in
// other files, not files of their own.
const unsigned char kJfifNoDensity[20] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A,
                                          0x46, 0x49, 0x46, 0x00, 0x01, 0x01, 0x01,
                                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const uint64_t kMaxScanLength = 0x1DFFFFF;
const uint64_t kZeroRunCheckFrom = 0x800001;
const uint64_t kMinJpegLength = 2048;
const uint64_t kSector = 512;

// The system's allocation granularity, asked once: it is fixed for the process.
uint64_t AllocationGranularity() {
  static const uint64_t granularity = [] {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwAllocationGranularity ? (uint64_t)si.dwAllocationGranularity : (uint64_t)0x10000;
  }();
  return granularity;
}

bool IsValidJpegMarker(unsigned m) {
  if (m >= 0x02 && m <= 0xBF) return true;
  switch (m) {
    case 0xC0: case 0xC2: case 0xC4: case 0xC8: case 0xCC: case 0xCF: return true;
    default: break;
  }
  if (m >= 0xD0 && m <= 0xD7) return true;
  if (m >= 0xDB && m <= 0xDE) return true;
  return m >= 0xE0;  // E0..EF application segments, F0..FF
}

// The DHT segment whose FF byte is at p: every table well-formed and the
// tables ending exactly at the segment's end. end bounds the bytes.
bool CheckJpegHuffmanTable(CReaderView& bytes, uint64_t p, uint64_t end) {
  if (p + 4 > end) return false;
  const unsigned char* h = bytes.At(p, 4);
  if (h == nullptr) return false;
  const uint64_t segLen = Be16(h + 2) + 2;
  if (segLen <= 17 || p + segLen > end) return false;
  const unsigned char* b = bytes.At(p, segLen);
  if (b == nullptr) return false;
  uint64_t q = 4;
  while (q < segLen) {
    if (q + 17 > segLen) return false;
    const unsigned cls = b[q];
    if (cls >= 0x20 || (cls & 0x0F) > 3) return false;
    unsigned sum = 0;
    for (int i = 1; i <= 16; ++i) sum += b[q + i];
    if (sum > 255) return false;
    q += sum + 17;
  }
  return q == segLen;
}

// Picture size from the first baseline frame header, searched within limit.
bool FindJpegFrameSize(CReaderView& bytes, uint64_t end, uint64_t limit, unsigned* width,
                       unsigned* height) {
  uint64_t off = 2;
  while (off + 8 < limit && off + 9 <= end) {
    const unsigned char* b = bytes.At(off, 9);
    if (b == nullptr || b[0] != 0xFF) break;
    if (b[1] == 0xFF) {
      ++off;
      continue;
    }
    if (b[1] == 0xC0) {
      *height = Be16(b + 5);
      *width = Be16(b + 7);
      return true;
    }
    off += Be16(b + 2) + 2;
  }
  return false;
}

// Segments that stand between the scans of one picture: Huffman and
// quantisation tables, restart interval, the next scan header.
bool IsBetweenScansMarker(unsigned m) { return m == 0xC4 || m == 0xDA || m == 0xDB || m == 0xDD; }

// Scans the entropy-coded data from file offset p (the start-of-scan marker
// byte) and returns the offset where the scan stopped: for a whole picture,
// the FF of the end-of-image marker that closes its last scan. The reader is
// moved chunk by chunk; every byte looked at lies in the bytes loaded at its
// cursor.
uint64_t ScanEntropyData(CReaderCursor& cur, uint64_t start, uint64_t p, uint64_t chunk) {
  const uint64_t sourceEnd = cur.Limit() > start ? cur.Limit() - start : 0;
  uint64_t viewBase = 0;
  const unsigned char* v = cur.Data();
  uint64_t viewLen = cur.Loaded();
  if (viewLen > chunk) viewLen = chunk;
  bool atEnd = viewBase + viewLen >= sourceEnd;
  // Positions of a chunk but its last sector are examined, so that every look
  // ahead (a few bytes) stays inside the loaded bytes.
  uint64_t examineEnd = atEnd ? viewLen : (viewLen > kSector ? viewLen - kSector : 0);

  for (;;) {
    if (p >= examineEnd) {
      if (atEnd) return p;
      if (!cur.SeekTo(start + p)) return p;
      if (cur.LastError() != 0) {
        cur.ClearError();
        return p;
      }
      viewBase = p;
      v = cur.Data();
      viewLen = cur.Loaded();
      if (viewLen > chunk) viewLen = chunk;
      if (viewLen == 0) return p;
      atEnd = viewBase + viewLen >= sourceEnd;
      examineEnd = atEnd ? viewBase + viewLen
                         : (viewLen > kSector ? viewBase + viewLen - kSector : viewBase);
      if (p >= examineEnd && !atEnd) return p;
      continue;
    }
    if (p > kMaxScanLength) return p;
    const uint64_t viewEnd = viewBase + viewLen;
    const unsigned char* at = v + (p - viewBase);
    if (p >= kZeroRunCheckFrom && p % 508 == 0 && p + 4 <= viewEnd && at[0] == 0 && at[1] == 0 &&
        at[2] == 0 && at[3] == 0)
      return p;
    if (at[0] == 0xFF) {
      if (p + 1 >= viewEnd) return p;  // the source ends inside the marker
      const unsigned next = at[1];
      if (next == 0xD9) {
        // End of image: the picture ends here, whatever follows it. No FF D9
        // can reach this point from inside the picture: entropy data stuffs
        // every FF as FF 00, the segments between scans are stepped over by
        // their lengths, and an embedded thumbnail's end marker lies in an
        // application segment passed by the header walk. What follows is
        // somebody else's bytes (slack of an older file, the next file), zero
        // or not.
        return p;
      } else if (next == 0xFF) {
        // Fill bytes before a marker.
        ++p;
        continue;
      } else if (IsBetweenScansMarker(next)) {
        // A picture of several scans (progressive) has tables and the next
        // scan header here: step over the segment and go on scanning.
        if (p + 3 >= viewEnd) return p;
        const uint64_t segment = Be16(at + 2);
        if (segment < 2) return p;
        p += 2 + segment;
        continue;
      } else if (next != 0x00 && !(next >= 0xD0 && next <= 0xD7)) {
        return p;
      }
    }
    ++p;
  }
}

// Walks the header from the candidate's first byte to its start of scan, as
// far as a default window reaches, whatever the window of the reader:
// segments beyond its bytes are read on. False when this is no picture to
// measure; else *sos is the offset of the start-of-scan marker. The reader is
// back at the candidate afterwards.
bool WalkJpegHeader(CDiskMappingPointer* reader, uint64_t headerBound, uint64_t* sos) {
  CReaderView bytes(reader);
  if (!bytes.IsUsable()) return false;
  uint64_t end = CReaderCursor::DefaultWindow();
  if (end > bytes.SourceLeft()) end = bytes.SourceLeft();
  const unsigned char* b = bytes.At(0, 4);
  if (b == nullptr) return false;
  if (end >= sizeof(kAvi1Frame) && (b = bytes.At(0, sizeof(kAvi1Frame))) != nullptr &&
      memcmp(b, kAvi1Frame, sizeof(kAvi1Frame)) == 0)
    return false;
  if (end >= sizeof(kJfifNoDensity) && (b = bytes.At(0, sizeof(kJfifNoDensity))) != nullptr &&
      memcmp(b, kJfifNoDensity, sizeof(kJfifNoDensity)) == 0)
    return false;

  unsigned width = 0, height = 0;
  if (FindJpegFrameSize(bytes, end, headerBound, &width, &height) && (b = bytes.At(3, 1)) != nullptr &&
      b[0] == 0xE0 && width >= 1 && width <= 47 && height >= 1 && height <= 47)
    return false;

  // Marker walk up to the start of scan.
  const uint64_t limit = headerBound < end ? headerBound : end;
  uint64_t off = 2;
  while (off + 4 < limit) {
    b = bytes.At(off, 4);
    if (b == nullptr || b[0] != 0xFF) break;
    const unsigned m = b[1];
    if (!IsValidJpegMarker(m)) break;
    if (m == 0xFF) {
      ++off;
      continue;
    }
    const uint64_t segment = Be16(b + 2) + 2;
    if (m == 0xC4 && !CheckJpegHuffmanTable(bytes, off, end)) return false;
    off += segment;
  }
  if (off + 1 >= end || (b = bytes.At(off, 2)) == nullptr || b[0] != 0xFF || b[1] != 0xDA) return false;
  *sos = off;
  return true;
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
  cur.SavePosition();
  const uint64_t g = AllocationGranularity();
  const uint64_t chunk = 256 * g;
  const uint64_t headerBound = 2560 * g;
  const uint64_t start = cur.Position();
  uint64_t sos = 0;
  if (!WalkJpegHeader(reader, headerBound, &sos)) return 0;
  if (cur.LastError() != 0) {  // the start's window could not be read back
    cur.ClearError();
    return 0;
  }
  const uint64_t stop = ScanEntropyData(cur, start, sos + 1, chunk);
  uint64_t length = stop + 2;
  // A picture cut off by the end of the source ends there, not beyond it.
  const uint64_t sourceLeft = cur.Limit() > start ? cur.Limit() - start : 0;
  if (length > sourceLeft) length = sourceLeft;
  plugin::SetRawLength(info, length);
  if (length <= kMinJpegLength) return 0;
  plugin::SetRawFormat(info, "jpg");
  plugin::SetRawValid(info);
  return 1;
  DELVARO_PLUGIN_GUARD_END
}
