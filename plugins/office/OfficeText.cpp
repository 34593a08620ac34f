#include "plugins/office/OfficeText.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/TextConvert.h"
#include "plugins/office/ExcelWorkbook.h"

namespace office {

namespace {

using plugin::Le16;
using plugin::Le32;

const uint32_t kWordReadBytes = 1024;
const uint32_t kRows = 20, kColumns = 20;
const size_t kCellPiece = 100;  // bytes of one cell's text, its NUL included
const uint32_t kFibBytes = 0x1AA;
const uint32_t kMaxClx = 1u << 20;

// Up to n bytes at offset of a stream; the count read.
uint32_t ReadAt(CompoundFile::Stream& s, uint32_t offset, void* out, uint32_t n) {
  if (offset > static_cast<uint32_t>(INT32_MAX)) return 0;
  s.Seek(static_cast<int32_t>(offset), 0);
  unsigned char* p = static_cast<unsigned char*>(out);
  uint32_t got = 0;
  while (got < n && !s.AtEnd()) p[got++] = static_cast<unsigned char>(s.ReadByte());
  return got;
}

// Characters of the main text, collected from the document's pieces: at most
// `want` of them.
class CWordText {
 public:
  CWordText(const CompoundFile::File& file, CompoundFile::MemorySource* source, CompoundFile::Stream& document)
      : m_file(file), m_source(source), m_doc(document) {}

  bool Read(uint32_t want, std::wstring* out) {
    unsigned char fib[kFibBytes];
    memset(fib, 0, sizeof(fib));
    const uint32_t got = ReadAt(m_doc, 0, fib, sizeof(fib));
    if (got < 0x20) return false;
    const uint16_t ident = Le16(fib), nFib = Le16(fib + 2);
    if (ident == 0xA5EC && nFib >= 0xC1 && got >= kFibBytes && FromPieces(fib, want, out)) return true;
    if (ident == 0xA5DC || (ident == 0xA5EC && nFib < 0xC1)) return OldText(fib, want, out);
    // No usable piece table: the text of a plain Word document begins at
    // byte 2048 of its stream, in UTF-16.
    std::vector<wchar_t> units(want);
    const uint32_t n = ReadAt(m_doc, 2048, units.data(), want * 2);
    if (n == 0) return false;
    out->assign(units.data(), n / 2);
    return true;
  }

 private:
  // Word 97 and later: the piece table in the table stream names where each
  // run of text lies and whether it is stored as 8-bit (code page 1252) or
  // UTF-16 characters.
  bool FromPieces(const unsigned char* fib, uint32_t want, std::wstring* out) {
    const wchar_t* tableName = (Le16(fib + 0x0A) & 0x0200) ? L"1Table" : L"0Table";
    const uint32_t fcClx = Le32(fib + 0x1A2), lcbClx = Le32(fib + 0x1A6);
    if (lcbClx == 0 || lcbClx > kMaxClx) return false;
    const CompoundFile::DirectoryEntry entry = m_file.FindEntry(tableName);
    if (entry.name.empty()) return false;
    std::unique_ptr<CompoundFile::Stream> table(m_file.OpenStream(entry, m_source));
    std::vector<unsigned char> clx(lcbClx);
    if (ReadAt(*table, fcClx, clx.data(), lcbClx) != lcbClx) return false;
    // Skip the property modifiers, then the piece descriptors.
    size_t p = 0;
    while (p < clx.size() && clx[p] == 0x01) {
      if (p + 3 > clx.size()) return false;
      p += 3 + Le16(clx.data() + p + 1);
    }
    if (p + 5 > clx.size() || clx[p] != 0x02) return false;
    const uint32_t lcb = Le32(clx.data() + p + 1);
    p += 5;
    if (lcb < 4 || lcb > clx.size() - p || (lcb - 4) % 12 != 0) return false;
    const unsigned char* plc = clx.data() + p;
    const uint32_t pieces = (lcb - 4) / 12;
    out->clear();
    for (uint32_t i = 0; i < pieces && out->size() < want; ++i) {
      const uint32_t cpStart = Le32(plc + 4 * i), cpEnd = Le32(plc + 4 * (i + 1));
      if (cpEnd <= cpStart) continue;
      const uint32_t fc = Le32(plc + 4 * (pieces + 1) + 8 * i + 2);
      uint32_t chars = cpEnd - cpStart;
      if (chars > want - out->size()) chars = want - static_cast<uint32_t>(out->size());
      if (fc & 0x40000000u) {
        std::vector<char> bytes(chars);
        const uint32_t n = ReadAt(m_doc, (fc & 0x3FFFFFFFu) / 2, bytes.data(), chars);
        AppendCodePage(1252, bytes.data(), n, out);
      } else {
        std::vector<wchar_t> units(chars);
        const uint32_t n = ReadAt(m_doc, fc, units.data(), chars * 2);
        out->append(units.data(), n / 2);
      }
    }
    return !out->empty();
  }

  // Word 6 and Word 95: 8-bit text in the system's code page from fcMin.
  bool OldText(const unsigned char* fib, uint32_t want, std::wstring* out) {
    const uint32_t fcMin = Le32(fib + 0x18), fcMac = Le32(fib + 0x1C);
    if (fcMac <= fcMin) return false;
    uint32_t chars = fcMac - fcMin;
    if (chars > want) chars = want;
    std::vector<char> bytes(chars);
    const uint32_t n = ReadAt(m_doc, fcMin, bytes.data(), chars);
    out->clear();
    AppendCodePage(CP_ACP, bytes.data(), n, out);
    return n > 0;
  }

  static void AppendCodePage(UINT codePage, const char* bytes, uint32_t n, std::wstring* out) {
    if (n == 0) return;
    const int units = MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(n), nullptr, 0);
    if (units <= 0) return;
    std::vector<wchar_t> wide(static_cast<size_t>(units));
    MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(n), wide.data(), units);
    out->append(wide.data(), static_cast<size_t>(units));
  }

  const CompoundFile::File& m_file;
  CompoundFile::MemorySource* m_source;
  CompoundFile::Stream& m_doc;
};

// The text into the caller's buffer with its NUL; a cut falls between whole
// UTF-8 characters.
void CopyOut(const std::string& s, char* text, int capacity) {
  const size_t n = plugin::Utf8Prefix(s.data(), s.size(), static_cast<size_t>(capacity) - 1);
  memcpy(text, s.data(), n);
  text[n] = '\0';
}

bool IsExtension(const char* text, size_t len, const char* ext) {
  const size_t n = strlen(ext);
  if (len != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != ext[i]) return false;
  }
  return true;
}

}  // namespace

TextKind TextKindOf(const char* text, int capacity) {
  if (text == nullptr || capacity <= 0) return TextKind::None;
  const void* nul = memchr(text, 0, static_cast<size_t>(capacity));
  if (nul == nullptr) return TextKind::None;
  const size_t len = static_cast<size_t>(static_cast<const char*>(nul) - text);
  if (IsExtension(text, len, "doc") || IsExtension(text, len, "wps")) return TextKind::Word;
  if (IsExtension(text, len, "xls") || IsExtension(text, len, "et")) return TextKind::Workbook;
  return TextKind::None;
}

void AppendUtf8(const wchar_t* s, size_t n, size_t budget, std::string* out) {
  for (size_t i = 0; i < n && s[i] != 0; ++i) {
    uint32_t c = static_cast<uint16_t>(s[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && static_cast<uint16_t>(s[i + 1]) >= 0xDC00 &&
        static_cast<uint16_t>(s[i + 1]) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(s[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    char b[4];
    size_t k;
    if (c < 0x80) {
      b[0] = static_cast<char>(c);
      k = 1;
    } else if (c < 0x800) {
      b[0] = static_cast<char>(0xC0 | (c >> 6));
      b[1] = static_cast<char>(0x80 | (c & 0x3F));
      k = 2;
    } else if (c < 0x10000) {
      b[0] = static_cast<char>(0xE0 | (c >> 12));
      b[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      b[2] = static_cast<char>(0x80 | (c & 0x3F));
      k = 3;
    } else {
      b[0] = static_cast<char>(0xF0 | (c >> 18));
      b[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      b[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      b[3] = static_cast<char>(0x80 | (c & 0x3F));
      k = 4;
    }
    // A character that does not fit whole is not started: the text stays
    // valid UTF-8.
    if (out->size() + k > budget) return;
    out->append(b, k);
  }
}

int WordText(const void* image, int64_t size, char* text, int capacity) {
  if (size <= 0 || size > INT32_MAX) return 0;
  // The document is read with the plug-in's own compound-file reader, whose
  // walks are all bounded: the system's storage service can loop for ever on
  // a directory whose tree links were damaged.
  CompoundFile::File file;
  try {
    file.OpenFromMemory(image, static_cast<int32_t>(size));
  } catch (const CompoundFile::Exception&) {
    return 0;
  }
  const CompoundFile::DirectoryEntry entry = file.FindEntry(L"WordDocument");
  if (entry.name.empty()) return 0;
  CompoundFile::MemorySource source(image, static_cast<int32_t>(size));
  std::unique_ptr<CompoundFile::Stream> document(file.OpenStream(entry, &source));
  const uint32_t readBytes = static_cast<uint32_t>(capacity) < kWordReadBytes
                                 ? static_cast<uint32_t>(capacity)
                                 : kWordReadBytes;
  std::wstring wide;
  // A capacity too small for a character still reads as an empty text.
  if (readBytes / 2 > 0 && !CWordText(file, &source, *document).Read(readBytes / 2, &wide)) return 0;
  // At most as many bytes as a UTF-16 read of that size, within the capacity.
  std::string utf8;
  const size_t budget = readBytes < static_cast<uint32_t>(capacity) - 1 ? readBytes : capacity - 1;
  AppendUtf8(wide.c_str(), wide.size(), budget, &utf8);
  CopyOut(utf8, text, capacity);
  return 1;
}

bool ConvertOleDate(double value, int* year, int* month, int* day, int* hour, int* minute,
                    int* second, int* millisecond) {
  if (!(value >= -657434.0 && value <= 2958466.0)) return false;
  const double whole = std::trunc(value);
  int64_t n = static_cast<int64_t>(whole) + 693593;  // days since 1 January of year 1
  const int64_t n400 = n / 146097;
  n %= 146097;
  int64_t n100 = n / 36524;
  if (n100 == 4) n100 = 3;
  n -= n100 * 36524;
  const int64_t n4 = n / 1461;
  n %= 1461;
  int64_t n1 = n / 365;
  if (n1 == 4) n1 = 3;
  n -= n1 * 365;
  const int y = static_cast<int>(n400 * 400 + n100 * 100 + n4 * 4 + n1 + 1);
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int m = 0;
  while (m < 11) {
    const int len = kDays[m] + (m == 1 && leap ? 1 : 0);
    if (n < len) break;
    n -= len;
    ++m;
  }
  *year = y;
  *month = m + 1;
  *day = static_cast<int>(n) + 1;
  const int64_t ms = static_cast<int64_t>((value - whole) * 86400000.0);
  *hour = static_cast<int>(ms / 3600000);
  *minute = static_cast<int>(ms / 60000 % 60);
  *second = static_cast<int>(ms / 1000 % 60);
  *millisecond = static_cast<int>(ms % 1000);
  if (y < 1901 || y > 2499) return false;
  if ((*month == 12 && *day == 31) || (*month == 1 && *day == 1)) return false;
  return true;
}

int WorkbookText(const void* image, int64_t size, char* text, int capacity, uint32_t maxStrings) {
  if (size <= 0 || size > INT32_MAX) return 0;
  std::unique_ptr<Excel::Workbook> book;
  try {
    book.reset(new Excel::Workbook(image, static_cast<int32_t>(size)));
  } catch (const Excel::Exception&) {
    return 0;
  }
  if (book->Sheets().empty()) return 0;
  Excel::Sheet& sheet = *book->Sheets()[0];
  const size_t cap = static_cast<size_t>(capacity);
  std::string out;
  size_t count = 0;
  // One piece of cell text: converted, cut at 99 bytes (a whole character),
  // counted; false when it would pass the capacity.
  auto addPiece = [&](const std::wstring& w) {
    std::string piece;
    AppendUtf8(w.c_str(), w.size(), kCellPiece - 1, &piece);
    count += piece.size();
    if (count > cap) return false;
    out += piece;
    return true;
  };
  auto addNumber = [&](double v) {
    char buf[64];
    int y, mo, d, h, mi, s, ms;
    if (ConvertOleDate(v, &y, &mo, &d, &h, &mi, &s, &ms))
      snprintf(buf, sizeof(buf), "%04d/%02d/%02d", y, mo, d);
    else
      snprintf(buf, sizeof(buf), "%.2lf", v);
    count += strlen(buf);
    if (count > cap) return false;
    out += buf;
    return true;
  };
  auto separate = [&](bool lineEnd) {
    count += 2;
    if (count > cap) return false;
    out += ' ';
    if (lineEnd) out += '\n';
    return true;
  };

  if (sheet.RowCount() > 0) {
    bool more = true;
    for (uint32_t r = 0; r < kRows && more; ++r) {
      for (uint32_t c = 0; c < kColumns && more; ++c) {
        const Excel::Cell& cell = sheet.GetCell(r, c);
        if (!cell.empty) {
          if (!cell.text.empty())
            more = addPiece(cell.text);
          else if (!cell.text2.empty())
            more = addPiece(cell.text2);
          else if (cell.number != 0)
            more = addNumber(cell.number);
        }
        if (more) more = separate(c == kColumns - 1);
      }
    }
  } else {
    for (uint32_t i = 0; maxStrings == 0 || i < maxStrings; ++i) {
      const std::wstring s = sheet.GetSharedString(i);
      if (!s.empty() && !addPiece(s)) break;
      if (!separate(i % 4 == 0)) break;
    }
  }
  CopyOut(out, text, capacity);
  return 1;
}

}  // namespace office
