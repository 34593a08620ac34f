// RAR archives of the block format that opens with the 7-byte marker
// (RAR 1.5 to 4.x): sized by the walk of their blocks, shown by the names
// they store.
//
// Every block header carries a CRC of its own bytes, which the walk checks:
// it tells a block from the bytes that follow an archive. Archives written
// before RAR 2.9 have no end-of-archive block; they end where the bytes
// behind their last block are no block. Newer archives, and any archive
// whose block fails its check or is cut by the device's end, are sized only
// by their end block. The first volume of a set ends with an end block that
// carries volume flags and fields.
#include <windows.h>

#include <cstring>
#include <set>
#include <string>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/ByteSource.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/TextConvert.h"
#include "plugins/common/TextEntries.h"
#include "zlib.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 1);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 0);

namespace {

using plugin::Le16;
using plugin::Le32;

const char kFormatName[] = "FILE_TYPE_RAR";
const unsigned char kSignature[] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
const uint64_t kMarker = sizeof(kSignature);
const unsigned char kEndBlock[] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};

const uint8_t kMainHead = 0x73, kFileHead = 0x74, kFirstOther = 0x75, kLastOther = 0x7A,
              kEndHead = 0x7B;
const uint16_t kLongBlock = 0x8000;       // ADD_SIZE follows the base header
const uint16_t kLargeFile = 0x0100;       // high 32 bits of the sizes follow
const uint16_t kUnicodeName = 0x0200;     // the name carries a Unicode form
const uint16_t kOldComment = 0x0008;      // file comment inside the header (RAR 1.x, 2.x)
const uint16_t kMainComment = 0x0002;     // archive comment inside the main header
const uint64_t kBaseHeader = 7, kMainHeader = 13, kFileHeader = 32, kLargeFields = 8;
const uint64_t kMaxArchive = 0x280000000ull;  // 10 GiB
const size_t kMaxName = 259;
// The unpacker version a file header names (at offset 24), and the first
// version whose archives close with an end block.
const uint64_t kUnpackVersion = 24;
const uint8_t kEndBlockVersion = 29;
const int kMaxListedNames = 11;

struct Block {
  uint8_t type;
  uint16_t flags;
  uint64_t headSize;
  uint64_t span;      // header and the data it announces
  uint64_t nameSize;  // file headers
  uint64_t nameAt;    // offset of the name inside the block
};

// Whether the header CRC (the low 16 bits of the CRC-32 of the header from
// its type byte on) matches over `covered` bytes.
bool CrcMatches(plugin::CByteSource& src, uint64_t at, uint64_t covered, uint16_t crc) {
  if (covered < 3) return false;
  uLong c = crc32(0L, Z_NULL, 0);
  unsigned char buf[1024];
  for (uint64_t done = 2; done < covered;) {
    const size_t n = static_cast<size_t>(covered - done < sizeof(buf) ? covered - done : sizeof(buf));
    if (!src.Read(at + done, buf, n)) return false;
    c = crc32(c, buf, static_cast<uInt>(n));
    done += n;
  }
  return static_cast<uint16_t>(c & 0xFFFF) == crc;
}

// Reads and checks the block at `at`. False when the bytes there are no
// block: too short a header, a type outside the format, or a CRC that does
// not match (old archives cover only the fixed part and name of a file
// header with a comment, and the fixed part of a main header with one).
bool ReadBlock(plugin::CByteSource& src, uint64_t at, Block* b) {
  unsigned char h[kFileHeader + kLargeFields];
  if (!src.Read(at, h, kBaseHeader)) return false;
  b->type = h[2];
  b->flags = Le16(h + 3);
  b->headSize = Le16(h + 5);
  b->nameSize = 0;
  b->nameAt = 0;
  const uint16_t crc = Le16(h);
  uint64_t shortCover = 0;
  if (b->type == kFileHead) {
    const uint64_t fixed = kFileHeader + ((b->flags & kLargeFile) ? kLargeFields : 0);
    if (b->headSize < fixed || !src.Read(at, h, static_cast<size_t>(fixed))) return false;
    b->nameSize = Le16(h + 26);
    b->nameAt = fixed;
    if (fixed + b->nameSize > b->headSize) return false;
    b->span = b->headSize + Le32(h + 7);
    if (b->flags & kLargeFile) b->span += static_cast<uint64_t>(Le32(h + 32)) << 32;
    if (b->flags & kOldComment) shortCover = fixed + b->nameSize;
  } else if (b->type == kMainHead || (b->type >= kFirstOther && b->type <= kEndHead)) {
    const uint64_t fixed = (b->flags & kLongBlock) ? 11 : kBaseHeader;
    if (b->headSize < fixed || !src.Read(at, h, static_cast<size_t>(fixed))) return false;
    b->span = b->headSize + ((b->flags & kLongBlock) ? Le32(h + 7) : 0);
    if (b->type == kMainHead && (b->flags & kMainComment)) shortCover = kMainHeader;
  } else {
    return false;
  }
  return CrcMatches(src, at, b->headSize, crc) ||
         (shortCover && shortCover <= b->headSize && CrcMatches(src, at, shortCover, crc));
}

// The main header behind the marker; its size, or 0 when the archive is not
// one this plug-in takes (an archive whose main header has flag 0x8000 is
// not).
uint64_t MainHeader(plugin::CByteSource& src) {
  unsigned char m[kMarker];
  Block b;
  if (!src.Read(0, m, kMarker) || memcmp(m, kSignature, kMarker) != 0) return 0;
  if (!ReadBlock(src, kMarker, &b) || b.type != kMainHead || (b.flags & kLongBlock) ||
      b.headSize < kMainHeader)
    return 0;
  return b.headSize;
}

// The archive's length: from the marker through its end block. 0 when it
// cannot be told: a block that fails its check or runs past the device's end
// before the end block (the archive is damaged or cut), or no end block where
// the archive's format writes one.
//
// Only archives written before RAR 2.9 lack an end block: their files need
// an unpacker older than 2.9, and they hold none of the blocks RAR 2.9
// brought (0x7A). Such an archive ends after its last whole block, where
// the bytes behind it are no block that checks.
uint64_t MeasureArchive(plugin::CByteSource& src) {
  const uint64_t main = MainHeader(src);
  if (main == 0) return 0;
  uint64_t total = kMarker + main;
  bool files = false;
  bool endExpected = false;
  for (;;) {
    unsigned char end[sizeof(kEndBlock)];
    Block b;
    const bool have = src.Read(total, end, sizeof(end));
    if (have && memcmp(end, kEndBlock, sizeof(end)) == 0) return total + sizeof(kEndBlock);
    if (!have) return files && !endExpected ? total : 0;
    if (!ReadBlock(src, total, &b) || b.type == kMainHead) return files && !endExpected ? total : 0;
    if (b.type == kEndHead) return total + b.headSize;  // a volume's end: flags and fields
    if (b.span > src.Size() - total) return 0;  // cut by the device's end
    if (b.type == kFileHead) {
      files = true;
      unsigned char ver = 0;
      if (src.Read(total + kUnpackVersion, &ver, 1) && ver >= kEndBlockVersion) endExpected = true;
    } else if (b.type == kLastOther) {
      endExpected = true;
    }
    total += b.span;
    if (total > kMaxArchive) return 0;
  }
}

// Decodes the Unicode form of a RAR 3 name: `ascii` is the name's first
// form, `enc` the bytes after its zero byte.
std::wstring DecodeUnicodeName(const std::string& ascii, const unsigned char* enc, size_t size) {
  std::wstring out;
  if (size == 0) return out;
  size_t pos = 0;
  const wchar_t high = static_cast<wchar_t>(enc[pos++] << 8);
  unsigned flags = 0, bits = 0;
  auto at = [&](size_t i) -> unsigned { return i < ascii.size() ? static_cast<unsigned char>(ascii[i]) : 0; };
  while (pos < size && out.size() < kMaxName) {
    if (bits == 0) {
      flags = enc[pos++];
      bits = 8;
      if (pos >= size) break;
    }
    switch (flags >> 6) {
      case 0:
        out.push_back(static_cast<wchar_t>(enc[pos++]));
        break;
      case 1:
        out.push_back(static_cast<wchar_t>(high | enc[pos++]));
        break;
      case 2:
        if (pos + 1 >= size) return out;
        out.push_back(static_cast<wchar_t>(enc[pos] | (enc[pos + 1] << 8)));
        pos += 2;
        break;
      default: {
        const unsigned len = enc[pos++];
        if (len & 0x80) {
          if (pos >= size) return out;
          const unsigned correction = enc[pos++];
          for (unsigned k = 0; k < (len & 0x7F) + 2 && out.size() < kMaxName; ++k)
            out.push_back(static_cast<wchar_t>(high | ((at(out.size()) + correction) & 0xFF)));
        } else {
          for (unsigned k = 0; k < len + 2 && out.size() < kMaxName; ++k)
            out.push_back(static_cast<wchar_t>(at(out.size())));
        }
      }
    }
    flags = (flags << 2) & 0xFF;
    bits -= 2;
  }
  return out;
}

std::string WideToUtf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

// The stored name of a file header as UTF-8, cut before its first "\".
std::string TopName(const std::string& raw, uint16_t flags) {
  const size_t zero = raw.find('\0');
  std::string name;
  if ((flags & kUnicodeName) && zero != std::string::npos) {
    const std::string ascii = raw.substr(0, zero);
    name = WideToUtf8(DecodeUnicodeName(
        ascii, reinterpret_cast<const unsigned char*>(raw.data()) + zero + 1, raw.size() - zero - 1));
    if (name.empty()) name = plugin::NameToUtf8(ascii.data(), ascii.size(), false);
  } else {
    const std::string first = raw.substr(0, zero);
    name = plugin::NameToUtf8(first.data(), first.size(), (flags & kUnicodeName) != 0);
  }
  return name.substr(0, name.find('\\'));
}

// The top-level names the archive stores, each once, at most 11.
int ListNames(plugin::CByteSource& src, char* text, int capacity) {
  if (text == nullptr || capacity <= 0) return 0;
  plugin::CTextOut out(text, capacity);
  const uint64_t main = MainHeader(src);
  if (main == 0) return 0;
  std::set<std::string> seen;
  int listed = 0;
  uint64_t at = kMarker + main;
  Block b;
  while (listed < kMaxListedNames && ReadBlock(src, at, &b) && b.type != kEndHead &&
         b.type != kMainHead) {
    if (b.type == kFileHead && b.nameSize >= 1 && b.nameSize <= kMaxName) {
      std::string raw(static_cast<size_t>(b.nameSize), '\0');
      if (!src.Read(at + b.nameAt, &raw[0], raw.size())) break;
      const std::string name = TopName(raw, b.flags);
      if (!name.empty() && seen.insert(name).second) {
        if (!out.Append(name + "\n")) break;
        ++listed;
      }
    }
    if (b.span > src.Size() - at) break;
    at += b.span;
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
  if (!src.Usable()) return 0;
  // A read error anywhere leaves the archive unmeasured.
  const uint64_t length = MeasureArchive(src);
  if (length == 0 || src.Failed()) return 0;
  plugin::SetRawFound(info, length, "rar");
  return 1;
  DELVARO_PLUGIN_GUARD_END
}

// A file of 7 bytes or less holds no names.
DELVARO_PLUGIN_TEXT_ENTRIES(ListNames, static_cast<int64_t>(kMarker))
