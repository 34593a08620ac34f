// MPEG audio files that begin with an ID3 version 2.3 tag: sized by skipping
// the tag and walking the Layer III frames and the tags and trailers that
// follow them (ID3 version 1, APE tags, a 133-byte "QMCI" trailer, a Monkey's
// Audio stream). The thumbnail is the JPEG of the tag's attached picture.
#include <cstring>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderView.h"
#include "plugins/common/ThumbnailHelpers.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 1);

namespace {

using plugin::Be32;
using plugin::Le32;

const char kFormatName[] = "FILE_TYPE_MP3";
const unsigned char kSignature[] = {0x49, 0x44, 0x33};
const uint64_t kTagHeader = 10;
const uint64_t kFrameHeader = 10;
const uint64_t kId3v1Bytes = 128;
const uint64_t kQmciBytes = 133;
const uint64_t kApeHeader = 32;
const uint64_t kMacDescriptor = 52;
const uint64_t kMacHeader = 24;
// Longest walk: what a carve can keep (10 GiB) at the smallest frame
// (24 bytes: 8 kbit/s at 24 kHz) is far fewer steps than this.
const uint64_t kMaxWalkSteps = 1ull << 29;
const uint64_t kMaxLength = 10ull << 30;

// Size of the ID3v2 tag body: four 7-bit bytes, most significant first.
uint64_t SynchsafeSize(const unsigned char* p) {
  return (static_cast<uint64_t>(p[0] & 0x7F) << 21) | ((p[1] & 0x7F) << 14) | ((p[2] & 0x7F) << 7) |
         (p[3] & 0x7F);
}

// Whether the walk takes this MPEG audio frame header as Layer III audio.
// MPEG-1 is what 32 to 48 kHz audio is made of; at 16 to 24 kHz and at 8 to
// 12 kHz encoders (lame among them) write MPEG-2 and MPEG-2.5 Layer III
// frames, and such a file is all of them.
bool IsLayer3Header(const unsigned char* h) {
  if (h[0] != 0xFF) return false;
  if (h[1] == 0xFA || h[1] == 0xFB) return true;                     // MPEG-1
  return h[1] == 0xF2 || h[1] == 0xF3 || h[1] == 0xE2 || h[1] == 0xE3;  // MPEG-2, MPEG-2.5
}

// Length in bytes of the MPEG audio frame whose 4-byte header is given, or 0
// for an invalid header.
uint64_t GetMpegFrameLength(const unsigned char* h) {
  static const uint16_t kRates[3][3] = {
      {44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
  // kbit/s by [MPEG-1 ? 0 : 1][layer I, II, III][index 1..14]
  static const uint16_t kBitRates[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  const unsigned version = (h[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  const unsigned layerBits = (h[1] >> 1) & 3;  // 3 I, 2 II, 1 III
  const unsigned bitIndex = h[2] >> 4;
  const unsigned rateIndex = (h[2] >> 2) & 3;
  if (version == 1 || layerBits == 0 || bitIndex == 0 || bitIndex == 15 || rateIndex == 3) return 0;
  const unsigned v = version == 3 ? 0 : (version == 2 ? 1 : 2);
  const unsigned layer = 3 - layerBits;  // 0 I, 1 II, 2 III
  const uint64_t rate = kRates[v][rateIndex];
  const uint64_t bitRate = kBitRates[v == 0 ? 0 : 1][layer][bitIndex];
  const uint64_t padding = (h[2] >> 1) & 1;
  return padding + (v == 0 ? 144 : 72) * bitRate * 1000 / rate;
}

// a + b, held at UINT64_MAX instead of wrapping.
uint64_t AddSat(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// Walks from the end of the ID3v2 tag; returns the file's length.
uint64_t WalkAudio(CReaderView& view, uint64_t pos, bool* ape) {
  const uint64_t sourceLeft = view.SourceLeft();
  for (uint64_t step = 0; step < kMaxWalkSteps && pos < sourceLeft && pos <= kMaxLength; ++step) {
    const unsigned char* p = view.At(pos, 4);
    if (p == nullptr) break;
    if ((p[0] == 'T' && p[1] == 'A' && p[2] == 'G') || (p[0] == 't' && p[1] == 'a' && p[2] == 'g')) {
      pos = AddSat(pos, kId3v1Bytes);
      break;
    }
    if (memcmp(p, "QMCI", 4) == 0) {
      pos = AddSat(pos, kQmciBytes);
    } else if (memcmp(p, "APET", 4) == 0) {
      const unsigned char* t = view.At(pos, 16);
      if (t == nullptr) break;
      pos = AddSat(pos, static_cast<uint64_t>(Le32(t + 12)) + kApeHeader);
    } else if (memcmp(p, "MAC ", 4) == 0) {
      const unsigned char* m = view.At(pos, kMacDescriptor + kMacHeader);
      if (m == nullptr) break;
      // Seek table, header data, frame data (a 64-bit count in two halves)
      // and terminating data: every term fits in 64 bits, their sum may not.
      uint64_t body = 4ull * Le32(m + kMacDescriptor + 12) + Le32(m + 20) + Le32(m + 24) +
                      Le32(m + 32) + 15;
      body = AddSat(body, static_cast<uint64_t>(Le32(m + 28)) << 32);
      pos = AddSat(pos, AddSat(kMacDescriptor + kMacHeader, body));
      *ape = true;
    } else if (IsLayer3Header(p)) {
      const uint64_t n = GetMpegFrameLength(p);
      if (n < 5) break;
      pos += n;
    } else {
      break;
    }
  }
  return pos;
}

// The JPEG of the tag's attached-picture frame in data[0, size): its offset
// and byte count, or false. The frames are walked from the tag header to the
// end of the tag.
bool FindApicJpeg(const unsigned char* data, uint64_t size, uint64_t* at, uint64_t* count) {
  if (size < kTagHeader || memcmp(data, kSignature, 3) != 0) return false;
  const uint64_t tagEnd = kTagHeader + SynchsafeSize(data + 6);
  if (tagEnd < size) size = tagEnd;
  uint64_t f = kTagHeader;
  for (;;) {
    if (f + kFrameHeader > size) return false;
    const uint64_t frameSize = Be32(data + f + 4);
    const uint64_t end = f + kFrameHeader + frameSize;
    if (end > size) return false;
    if (memcmp(data + f, "APIC", 4) == 0) {
      const uint64_t mime = f + kFrameHeader + 1;
      if (mime + 6 > end || memcmp(data + mime, "image/", 6) != 0) return false;
      for (uint64_t j = mime + 6; j + 1 < end; ++j) {
        if (data[j] == 0xFF && data[j + 1] == 0xD8) {
          *at = j;
          *count = end - j;
          return true;
        }
      }
      return false;
    }
    // Padding (zero bytes) ends the frames.
    if (data[f] == 0) return false;
    f = end;
  }
}

int MakeApicThumbnail(const unsigned char* data, uint64_t size, HBITMAP* bitmap, int* width,
                      int* height, bool bPreviewMode) {
  if (data == nullptr || bitmap == nullptr || size < kTagHeader) return 0;
  uint64_t at = 0, count = 0;
  if (!FindApicJpeg(data, size, &at, &count)) return 0;
  return plugin::MakeThumbnail(data + at, static_cast<int64_t>(count), bitmap, width, height,
                               bPreviewMode);
}

}  // namespace

DELVARO_PLUGIN_SIGNATURE_ENTRIES(kFormatName, kSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || info == nullptr) return 0;
  info->flags = 0;
  info->valid = 0;
  CReaderView view(reader);
  if (!view.IsUsable()) return 0;
  const unsigned char* h = view.At(0, kTagHeader);
  if (h == nullptr || memcmp(h, kSignature, 3) != 0 || h[3] != 3) return 0;
  bool ape = false;
  uint64_t length = WalkAudio(view, kTagHeader + SynchsafeSize(h + 6), &ape);
  // A file cut off by the end of the source ends there.
  if (length > view.SourceLeft()) length = view.SourceLeft();
  plugin::SetRawLength(info, length);
  plugin::SetRawFormat(info, ape ? "ape" : "mp3");
  plugin::SetRawValid(info);
  return 1;
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_PICTURE_ENTRIES(MakeApicThumbnail)
