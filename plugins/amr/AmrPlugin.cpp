// AMR narrow-band speech files ("#!AMR\n"): sized by a walk over the frames of
// the storage format, each a header byte (frame type in bits 6 to 3) and the
// frame's speech bits.
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderView.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 0);

namespace {

const char kFormatName[] = "FILE_TYPE_AMR";
const unsigned char kSignature[] = {0x23, 0x21, 0x41, 0x4D, 0x52, 0x0A};
const uint64_t kHeaderBytes = 6;
// Two frames and a header are no recording.
const uint64_t kMinAmrLength = 39;
// Bit 7 is always clear and bits 1 and 0 are padding.
const unsigned kFrameHeaderReserved = 0x83;
// Longest walk: a day of frames at 50 a second, far beyond any recording;
// it also bounds a run of one-byte frames on a damaged disk.
const uint64_t kMaxFrames = 50ull * 60 * 60 * 24;

// Bytes of a frame, header byte included, by frame type; 0 ends the walk.
// Types 0 to 7 are the speech modes (4.75 to 12.2 kbit/s). An encoder with
// discontinuous transmission on (the default of the reference encoder and
// of sox) writes comfort-noise frames (type 8, 39 bits) and empty frames
// (type 15) through every pause; the file goes on after them. Types 9 to 14
// belong to other codecs or to none.
uint64_t FrameBytes(unsigned header) {
  static const uint8_t kBytes[16] = {13, 14, 16, 18, 20, 21, 27, 32, 6, 0, 0, 0, 0, 0, 0, 1};
  return kBytes[(header >> 3) & 0x0F];
}

bool IsZeroRun(const unsigned char* p) { return p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0; }

}  // namespace

DELVARO_PLUGIN_SIGNATURE_ENTRIES(kFormatName, kSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || info == nullptr) return 0;
  CReaderView view(reader);
  if (!view.IsUsable()) return 0;
  const unsigned char* head = view.At(0, kHeaderBytes + 4);
  if (head == nullptr) return 0;
  for (uint64_t i = 0; i < kHeaderBytes; ++i)
    if (head[i] != kSignature[i]) return 0;
  if ((head[6] & kFrameHeaderReserved) != 0 || IsZeroRun(head + 6)) return 0;

  const uint64_t sourceLeft = view.SourceLeft();
  uint64_t total = kHeaderBytes;
  for (uint64_t frames = 0; frames < kMaxFrames && total < sourceLeft; ++frames) {
    const unsigned char* p = view.At(total, 1);
    if (p == nullptr) break;
    const unsigned h = p[0];
    // Four zero bytes: the slack behind the recording, not frames of silence.
    if (sourceLeft - total >= 4) {
      const unsigned char* z = view.At(total, 4);
      if (z == nullptr || IsZeroRun(z)) break;
    }
    if ((h & kFrameHeaderReserved) != 0) break;
    const uint64_t bytes = FrameBytes(h);
    if (bytes == 0) break;
    total += bytes;
  }
  // A recording cut off by the end of the source ends there.
  if (total > sourceLeft) total = sourceLeft;
  if (total < kMinAmrLength) return 0;
  plugin::SetRawLength(info, total);
  plugin::SetRawFormat(info, "amr");
  plugin::SetRawValid(info);
  return 1;
  DELVARO_PLUGIN_GUARD_END
}
