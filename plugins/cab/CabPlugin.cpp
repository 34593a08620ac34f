// Cabinet archives (format version 1.3): sized from the cabinet header,
// shown by the names of their first files.
//
// A signed cabinet keeps its signature behind the bytes the header counts,
// at the place its reserved header area names: the cabinet ends with it.
#include <windows.h>

#include <cstring>
#include <string>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/ByteSource.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/TextConvert.h"
#include "plugins/common/TextEntries.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 1);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 0);

namespace {

using plugin::Le16;
using plugin::Le32;

const char kFormatName[] = "FILE_TYPE_CAB";
const unsigned char kSignature[] = {'M', 'S', 'C', 'F'};
const uint64_t kHeaderBytes = 36;
const uint16_t kVersion13 = 0x0103;
const uint32_t kMaxFilesAndFlags = 0x4FFFF;  // flags at most 4 (reserve present)
const uint16_t kReservePresent = 0x0004;
// The reserved header area of a signed cabinet: a marker, then where the
// signature lies and how long it is.
const uint32_t kSignatureMarker = 0x00100000;
const uint64_t kSignatureReserve = 20;
const uint16_t kNameIsUtf8 = 0x80;  // file attribute
const uint64_t kFileEntryFixed = 16;
const size_t kMaxName = 259;
const uint32_t kMaxListedFiles = 10;

struct Header {
  uint64_t cabinet;    // cbCabinet
  uint64_t firstFile;  // coffFiles
  uint32_t files;
  uint16_t flags;
};

bool ReadHeader(plugin::CByteSource& src, Header* h) {
  unsigned char b[kHeaderBytes];
  if (!src.Read(0, b, sizeof(b)) || memcmp(b, kSignature, 4) != 0) return false;
  if (Le16(b + 24) != kVersion13 || Le32(b + 28) > kMaxFilesAndFlags) return false;
  h->cabinet = Le32(b + 8);
  h->firstFile = Le32(b + 16);
  h->files = Le16(b + 28);
  h->flags = Le16(b + 30);
  return true;
}

// The cabinet's length: cbCabinet, or the end of the signature that a
// signed cabinet names in its reserved header area when that lies further.
uint64_t CabinetLength(plugin::CByteSource& src, const Header& h) {
  uint64_t length = h.cabinet;
  unsigned char r[4 + kSignatureReserve];
  if ((h.flags & kReservePresent) && src.Read(kHeaderBytes, r, sizeof(r)) &&
      Le16(r) >= kSignatureReserve && Le32(r + 4) == kSignatureMarker) {
    const uint64_t at = Le32(r + 8), size = Le32(r + 12);
    if (size > 0 && at >= h.cabinet && at + size > length) length = at + size;
  }
  return length;
}

// The names of the first files (at most 10 entries looked at), cut before
// their first "\", each line ended by CR LF, a name repeated in a row once.
int ListNames(plugin::CByteSource& src, char* text, int capacity) {
  if (text == nullptr || capacity <= 0) return 0;
  plugin::CTextOut out(text, capacity);
  memset(text, 0, static_cast<size_t>(capacity));
  Header h;
  if (!ReadHeader(src, &h)) return 0;
  uint64_t at = h.firstFile;
  std::string last;
  int listed = 0;
  const uint32_t count = h.files < kMaxListedFiles ? h.files : kMaxListedFiles;
  for (uint32_t i = 0; i < count; ++i) {
    unsigned char fixed[kFileEntryFixed];
    if (!src.Read(at, fixed, sizeof(fixed))) break;
    const uint16_t attribs = Le16(fixed + 14);
    // The name runs to its zero byte, at most 259 characters.
    char raw[kMaxName + 1];
    const uint64_t nameAt = at + kFileEntryFixed;
    const unsigned char* p = nullptr;
    uint64_t have = src.View(nameAt, &p);
    if (have == 0) break;
    if (have > sizeof(raw)) have = sizeof(raw);
    memcpy(raw, p, static_cast<size_t>(have));
    const void* zero = memchr(raw, 0, static_cast<size_t>(have));
    if (zero == nullptr) break;
    const size_t len = static_cast<const char*>(zero) - raw;
    if (len == 0) break;
    const std::string stored(raw, len);
    const std::string top = stored.substr(0, stored.find('\\'));
    if (top != last) {
      const std::string name = plugin::NameToUtf8(top.data(), top.size(), (attribs & kNameIsUtf8) != 0);
      if (!out.Append(name + "\r\n")) break;
      last = top;
      ++listed;
    }
    at = nameAt + len + 1;
  }
  return listed > 0 ? 1 : 0;
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
  plugin::CReaderSource src(reader);
  Header h;
  if (!src.Usable() || !ReadHeader(src, &h)) return 0;
  // A cabinet is at least its header, and its file entries lie inside it.
  if (h.cabinet < kHeaderBytes || h.firstFile < kHeaderBytes || h.firstFile >= h.cabinet) return 0;
  const uint64_t length = CabinetLength(src, h);
  if (src.Failed()) return 0;
  plugin::SetRawFound(info, length, "cab");
  return 1;
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_TEXT_ENTRIES(ListNames, 0)
