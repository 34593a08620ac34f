#include "plugins/cad/DwgLength.h"

#include <cstring>

#include "plugins/common/ByteOrder.h"
#include "zlib.h"

namespace dwgfmt {

namespace {

using plugin::Le16;
using plugin::Le32;
using plugin::Le64;


const unsigned char kLocatorSentinel[16] = {0x95, 0xA0, 0x4E, 0x28, 0x99, 0x82, 0x1A, 0xE5,
                                            0x5E, 0x41, 0xE0, 0x5F, 0x9D, 0x3A, 0x4D, 0x00};
const unsigned char kImageStart[16] = {0x1F, 0x25, 0x6D, 0x07, 0xD4, 0x36, 0x28, 0x28,
                                       0x9D, 0x57, 0xCA, 0x3F, 0x9D, 0x44, 0x10, 0x2B};
const unsigned char kImageEnd[16] = {0xE0, 0xDA, 0x92, 0xF8, 0x2B, 0xC9, 0xD7, 0xD7,
                                     0x62, 0xA8, 0x35, 0xC0, 0x62, 0xBB, 0xEF, 0xD4};
const uint64_t kPreviewField = 0x0D;
const uint64_t kLocatorCount = 0x15, kLocators = 0x19, kLocatorSize = 9;
const uint32_t kMaxLocators = 16;
const uint64_t kHeader2004 = 0x80, kHeader2004Size = 0x6C;
const char kFileId2004[] = "AcFssFcAJMB";
const uint64_t kHeader2007 = 0x80, kHeader2007Coded = 0x3D8;
const size_t kRsBlocks = 3, kRsData = 239;
const size_t kHeader2007Fields = 0x110;
const uint64_t kFirstPage2007 = 0x480;

bool VersionIs(const char* version, const char* const* list) {
  for (; *list; ++list)
    if (memcmp(version, *list, 6) == 0) return true;
  return false;
}

// End of the preview image area (start sentinel, size, entries, data, end
// sentinel), or 0 when the header points to none or it does not check.
uint64_t PreviewAreaEnd(plugin::CByteSource& src, uint64_t at) {
  unsigned char h[20], tail[16];
  if (at == 0 || !src.Read(at, h, sizeof(h)) || memcmp(h, kImageStart, 16) != 0) return 0;
  const uint64_t end = at + 20 + Le32(h + 16);
  if (!src.Read(end, tail, sizeof(tail)) || memcmp(tail, kImageEnd, 16) != 0) return 0;
  return end + 16;
}

// Releases 13 to 2000: the furthest section of the locator table, or the
// preview area when that lies further.
uint64_t LocatorLength(plugin::CByteSource& src) {
  unsigned char h[kLocators];
  if (!src.Read(0, h, sizeof(h))) return 0;
  const uint32_t count = Le32(h + kLocatorCount);
  if (count == 0 || count > kMaxLocators) return 0;
  unsigned char table[kMaxLocators * kLocatorSize + 2 + 16];
  const size_t bytes = count * kLocatorSize;
  if (!src.Read(kLocators, table, bytes + 2 + 16) ||
      memcmp(table + bytes + 2, kLocatorSentinel, 16) != 0)
    return 0;
  uint64_t end = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned char* r = table + i * kLocatorSize;
    const uint64_t e = static_cast<uint64_t>(Le32(r + 1)) + Le32(r + 5);
    if (e > end) end = e;
  }
  const uint64_t preview = PreviewAreaEnd(src, Le32(h + kPreviewField));
  return preview > end ? preview : end;
}

// Releases 2004 and later (but 2007): the encrypted header names the
// address of its copy, the file's last bytes.
uint64_t Header2004Length(plugin::CByteSource& src) {
  unsigned char h[kHeader2004Size];
  if (!src.Read(kHeader2004, h, sizeof(h))) return 0;
  uint32_t seed = 1;
  for (size_t i = 0; i < sizeof(h); ++i) {
    seed = seed * 0x343FD + 0x269EC3;
    h[i] ^= static_cast<unsigned char>(seed >> 16);
  }
  if (memcmp(h, kFileId2004, sizeof(kFileId2004)) != 0) return 0;
  const uint32_t crc = Le32(h + 0x68);
  memset(h + 0x68, 0, 4);
  if (crc32(0L, h, sizeof(h)) != crc) return 0;
  const uint64_t copy = Le64(h + 0x34);
  if (copy < kHeader2004 + kHeader2004Size || copy > UINT64_MAX - kHeader2004Size) return 0;
  return copy + kHeader2004Size;
}

// Release 2007: the file size stated by the decoded header.
uint64_t Header2007Length(plugin::CByteSource& src) {
  unsigned char coded[kHeader2007Coded];
  if (!src.Read(kHeader2007, coded, sizeof(coded))) return 0;
  // The data bytes of the three interleaved code words, one block after
  // the other (the parity bytes are not needed to read an intact header).
  unsigned char data[kRsBlocks * kRsData];
  for (size_t i = 0; i < kRsData; ++i)
    for (size_t j = 0; j < kRsBlocks; ++j) data[j * kRsData + i] = coded[i * kRsBlocks + j];
  const int32_t packed = static_cast<int32_t>(Le32(data + 24));
  unsigned char fields[kHeader2007Fields];
  memset(fields, 0, sizeof(fields));
  if (packed > 0) {
    if (static_cast<size_t>(packed) > sizeof(data) - 32 ||
        !Decompress2007(data + 32, static_cast<size_t>(packed), fields, sizeof(fields)))
      return 0;
  } else {
    memcpy(fields, data + 32, sizeof(fields));
  }
  const uint64_t headerSize = Le64(fields), fileSize = Le64(fields + 8);
  if (headerSize != 0x70 || fileSize <= kFirstPage2007) return 0;
  return fileSize;
}

// Byte order of a literal run's last (length mod 32) bytes: byte k of the
// output is byte kTail[n - 1][k] of the input.
const unsigned char kTail[31][31] = {
    {0},
    {1, 0},
    {2, 1, 0},
    {0, 1, 2, 3},
    {4, 0, 1, 2, 3},
    {5, 1, 2, 3, 4, 0},
    {6, 5, 1, 2, 3, 4, 0},
    {0, 1, 2, 3, 4, 5, 6, 7},
    {8, 0, 1, 2, 3, 4, 5, 6, 7},
    {9, 1, 2, 3, 4, 5, 6, 7, 8, 0},
    {10, 9, 1, 2, 3, 4, 5, 6, 7, 8, 0},
    {8, 9, 10, 11, 0, 1, 2, 3, 4, 5, 6, 7},
    {12, 8, 9, 10, 11, 0, 1, 2, 3, 4, 5, 6, 7},
    {13, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6, 7, 8, 0},
    {14, 13, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6, 7, 8, 0},
    {8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {9, 10, 11, 12, 13, 14, 15, 16, 8, 0, 1, 2, 3, 4, 5, 6, 7},
    {17, 9, 10, 11, 12, 13, 14, 15, 16, 1, 2, 3, 4, 5, 6, 7, 8, 0},
    {18, 17, 16, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {16, 17, 18, 19, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {20, 16, 17, 18, 19, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {21, 20, 16, 17, 18, 19, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {22, 21, 20, 16, 17, 18, 19, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {16, 17, 18, 19, 20, 21, 22, 23, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {17, 18, 19, 20, 21, 22, 23, 24, 16, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {25, 17, 18, 19, 20, 21, 22, 23, 24, 16, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {26, 25, 17, 18, 19, 20, 21, 22, 23, 24, 16, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {24, 25, 26, 27, 16, 17, 18, 19, 20, 21, 22, 23, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {28, 24, 25, 26, 27, 16, 17, 18, 19, 20, 21, 22, 23, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {29, 28, 24, 25, 26, 27, 16, 17, 18, 19, 20, 21, 22, 23, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7},
    {30, 26, 27, 28, 29, 18, 19, 20, 21, 22, 23, 24, 25, 10, 11, 12, 13, 14, 15, 16, 17, 2, 3, 4, 5, 6, 7, 8, 9, 1, 0}
};
// Byte order inside each whole 32-byte piece of a literal run.
const unsigned char kPiece[32] = {24, 25, 26, 27, 28, 29, 30, 31, 16, 17, 18, 19, 20, 21, 22, 23,
                                  8,  9,  10, 11, 12, 13, 14, 15, 0,  1,  2,  3,  4,  5,  6,  7};

class CDecoder {
 public:
  CDecoder(const unsigned char* src, size_t srcSize, unsigned char* dst, size_t dstSize)
      : m_s(src), m_sn(srcSize), m_d(dst), m_dn(dstSize) {}

  bool Run() {
    unsigned op = Byte();
    size_t literal = 0;
    if ((op & 0xF0) == 0x20) {
      m_si += 3;
      if (m_si > m_sn) return false;
      literal = m_s[m_si - 1] & 7;
    }
    while (m_ok && m_si < m_sn) {
      if (literal == 0) literal = LiteralLength(op);
      Literal(literal);
      if (!m_ok || m_si >= m_sn) break;
      op = Byte();
      size_t length = 0, offset = 0;
      Instruction(&op, &length, &offset);
      for (;;) {
        Copy(offset, length);
        literal = op & 7;
        if (!m_ok || literal != 0 || m_si >= m_sn) break;
        op = Byte();
        if ((op >> 4) == 0) break;
        if ((op >> 4) == 15) op &= 15;
        Instruction(&op, &length, &offset);
      }
    }
    return m_ok;
  }

 private:
  unsigned Byte() {
    if (m_si >= m_sn) {
      m_ok = false;
      return 0;
    }
    return m_s[m_si++];
  }

  size_t LiteralLength(unsigned op) {
    size_t length = op + 8;
    if (length == 0x17) {
      unsigned n = Byte();
      length += n;
      if (n == 0xFF) {
        do {
          n = Byte();
          n |= Byte() << 8;
          length += n;
        } while (m_ok && n == 0xFFFF);
      }
    }
    return length;
  }

  void Literal(size_t n) {
    if (n > m_sn - m_si || n > m_dn - m_di) {
      m_ok = false;
      return;
    }
    const unsigned char* s = m_s + m_si;
    unsigned char* d = m_d + m_di;
    m_si += n;
    m_di += n;
    for (; n >= 32; n -= 32, s += 32, d += 32)
      for (size_t k = 0; k < 32; ++k) d[k] = s[kPiece[k]];
    for (size_t k = 0; k < n; ++k) d[k] = s[kTail[n - 1][k]];
  }

  void Instruction(unsigned* op, size_t* length, size_t* offset) {
    switch (*op >> 4) {
      case 0:
        *length = (*op & 0xF) + 0x13;
        *offset = Byte();
        *op = Byte();
        *length += (*op >> 3) & 0x10;
        *offset += ((*op & 0x78) << 5) + 1;
        break;
      case 1:
        *length = (*op & 0xF) + 3;
        *offset = Byte();
        *op = Byte();
        *offset += ((*op & 0xF8) << 5) + 1;
        break;
      case 2:
        *offset = Byte();
        *offset |= Byte() << 8;
        *length = *op & 7;
        if ((*op & 8) == 0) {
          *op = Byte();
          *length += *op & 0xF8;
        } else {
          ++*offset;
          *length += Byte() << 3;
          *op = Byte();
          *length += ((*op & 0xF8) << 8) + 0x100;
        }
        break;
      default:
        *length = *op >> 4;
        *offset = *op & 15;
        *op = Byte();
        *offset += ((*op & 0xF8) << 1) + 1;
        break;
    }
  }

  // A copy of earlier output, which may overlap what it writes.
  void Copy(size_t offset, size_t length) {
    if (!m_ok || offset == 0 || offset > m_di || length > m_dn - m_di) {
      m_ok = false;
      return;
    }
    for (size_t k = 0; k < length; ++k, ++m_di) m_d[m_di] = m_d[m_di - offset];
  }

  const unsigned char* m_s;
  size_t m_sn, m_si = 0;
  unsigned char* m_d;
  size_t m_dn, m_di = 0;
  bool m_ok = true;
};

}  // namespace

bool Decompress2007(const unsigned char* src, size_t srcSize, unsigned char* dst, size_t dstSize) {
  if (src == nullptr || dst == nullptr || srcSize == 0) return false;
  CDecoder decoder(src, srcSize, dst, dstSize);
  return decoder.Run();
}

uint64_t StructuredLength(plugin::CByteSource& src) {
  static const char* const kLocatorVersions[] = {"AC1012", "AC1013", "AC1014", "AC1015", nullptr};
  static const char* const k2004Versions[] = {"AC1018", "AC1024", "AC1027", "AC1032", nullptr};
  static const char* const k2007Versions[] = {"AC1021", nullptr};
  char version[6];
  if (!src.Read(0, version, sizeof(version))) return 0;
  if (VersionIs(version, kLocatorVersions)) return LocatorLength(src);
  if (VersionIs(version, k2004Versions)) return Header2004Length(src);
  if (VersionIs(version, k2007Versions)) return Header2007Length(src);
  return 0;
}

}  // namespace dwgfmt
