#include "plugins/office/ExcelWorkbook.h"

#include <algorithm>
#include <cstring>

namespace Excel {

namespace {

const int kMaxRecords = 641;        // records read in the globals and after a sheet's BOF
const uint32_t kMaxSharedStrings = 100;
const uint32_t kMaxColumn = 1000;
// The grid is what the preview prints from (its top-left corner); a damaged
// record naming row 32,767 must not make it hold millions of cells.
const uint64_t kMaxCells = 1u << 17;
const int kMaxRichRuns = 596;
const int32_t kMaxExtension = 4095;

enum : uint16_t {
  kEof = 0x000A,
  kContinue = 0x003C,
  kRkOld = 0x007E,
  kBoundSheet = 0x0085,
  kSst = 0x00FC,
  kLabelSst = 0x00FD,
  kRk = 0x027E,
};

void Skip(Stream& s, int64_t count) {
  for (int64_t i = 0; i < count; ++i) s.ReadByte();
}

}  // namespace

Exception::Exception(const std::wstring& message)
    : std::runtime_error(CompoundFile::NarrowMessage(message)), m_message(message) {}

uint16_t ReadInt16(Stream& s) {
  const uint32_t a = static_cast<uint8_t>(s.ReadByte());
  const uint32_t b = static_cast<uint8_t>(s.ReadByte());
  return static_cast<uint16_t>(s.m_bLittleEndian == 1 ? (a | (b << 8)) : ((a << 8) | b));
}

uint32_t ReadInt32(Stream& s) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    const uint32_t b = static_cast<uint8_t>(s.ReadByte());
    v = s.m_bLittleEndian == 1 ? v | (b << (8 * i)) : (v << 8) | b;
  }
  return v;
}

// ---------------------------------------------------------------------------
// RecordSubstream: a memory stream that fails for good once a read runs past
// its end or a seek leaves it.
// ---------------------------------------------------------------------------
int8_t RecordSubstream::ReadByte() {
  if (m_pos < 0 || static_cast<size_t>(m_pos) >= m_data.size()) {
    m_atEnd = true;
    m_pos = -1;
    return -1;
  }
  return static_cast<int8_t>(m_data[static_cast<size_t>(m_pos++)]);
}

void RecordSubstream::Seek(int32_t offset, int32_t origin) {
  if (m_pos < 0) return;
  int64_t target = offset;
  if (origin == 1)
    target += m_pos;
  else if (origin != 0)
    target += static_cast<int64_t>(m_data.size());
  if (target < 0 || target > static_cast<int64_t>(m_data.size())) {
    m_pos = -1;
    return;
  }
  m_pos = static_cast<int32_t>(target);
}

// ---------------------------------------------------------------------------
// Record
// ---------------------------------------------------------------------------
Record::Record(Stream& stream) : m_data(stream.m_bLittleEndian) {
  m_code = ReadInt16(stream);
  uint32_t length = ReadInt16(stream);
  std::vector<unsigned char>& data = m_data.m_data;
  // Bytes past the stream's end are not stored: the substream reads them as
  // -1 just the same.
  for (uint32_t i = 0; i < length && !stream.AtEnd(); ++i)
    data.push_back(static_cast<uint8_t>(stream.ReadByte()));
  uint16_t next = ReadInt16(stream);
  while (next == kContinue) {
    m_borders.push_back(static_cast<int32_t>(data.size()));
    const uint32_t more = ReadInt16(stream);
    for (uint32_t i = 0; i < more && !stream.AtEnd(); ++i)
      data.push_back(static_cast<uint8_t>(stream.ReadByte()));
    next = ReadInt16(stream);
  }
  m_length = static_cast<int32_t>(data.size());
  stream.Seek(-2, 1);
}

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------
std::wstring ReadUnicodeString(int countWidth, const std::vector<int32_t>& borders, Stream& s) {
  const uint32_t count = countWidth == 1 ? static_cast<uint8_t>(s.ReadByte()) : ReadInt16(s);
  uint8_t flags = static_cast<uint8_t>(s.ReadByte());
  if (s.m_bLittleEndian != 1) flags = 0;
  uint32_t runs = 0, extension = 0;
  if (flags & 0x08) runs = ReadInt16(s);
  if (flags & 0x04) extension = ReadInt32(s);
  int width = (flags & 0x01) ? 2 : 1;
  std::wstring text;
  for (uint32_t i = 0; i < count; ++i) {
    const int32_t pos = s.Position();
    if (pos >= 0 && std::binary_search(borders.begin(), borders.end(), pos)) {
      // A CONTINUE record starts here with its own flags byte.
      const uint8_t f = static_cast<uint8_t>(s.ReadByte());
      width = ((f & 0x01) && s.m_bLittleEndian == 1) ? 2 : 1;
    }
    const uint32_t unit = width == 2 ? ReadInt16(s) : static_cast<uint8_t>(s.ReadByte());
    // A string cut off by the end of its record ends there: the count of a
    // damaged record does not make it read thousands of missing characters.
    if (s.Position() < 0) break;
    text.push_back(static_cast<wchar_t>(unit));
  }
  if (runs >= 1 && runs <= static_cast<uint32_t>(kMaxRichRuns)) Skip(s, 4 * static_cast<int64_t>(runs));
  if (extension >= 1 && extension <= static_cast<uint32_t>(kMaxExtension)) Skip(s, extension);
  return text;
}

std::vector<std::wstring> ReadSharedStrings(Record& record) {
  Stream& s = record.m_data;
  ReadInt32(s);  // total count
  uint32_t unique = ReadInt32(s);
  if (unique > kMaxSharedStrings) unique = kMaxSharedStrings;
  std::vector<std::wstring> strings(unique);
  for (uint32_t i = 0; i < unique; ++i) strings[i] = ReadUnicodeString(2, record.m_borders, s);
  return strings;
}

BoundSheet ParseBoundSheet(Record& record) {
  BoundSheet b;
  Stream& s = record.m_data;
  b.offset = static_cast<int32_t>(ReadInt32(s));
  b.kind = ReadInt16(s) & 0xFF00;
  b.name = ReadUnicodeString(1, record.m_borders, s);
  return b;
}

double DecodeRk(uint32_t rk) {
  double number;
  if (rk & 0x02) {
    number = static_cast<double>(static_cast<int32_t>(rk) >> 2);
  } else {
    const uint64_t bits = static_cast<uint64_t>(rk & 0xFFFFFFFCu) << 32;
    memcpy(&number, &bits, sizeof(number));
  }
  if (rk & 0x01) number /= 100;
  return number;
}

// ---------------------------------------------------------------------------
// Sheet
// ---------------------------------------------------------------------------
Cell& Sheet::GetCell(uint32_t row, uint32_t column) {
  if (row < m_rows.size() && !m_rows.empty() && column < m_rows[0].size()) return m_rows[row][column];
  m_empty = Cell();
  return m_empty;
}

std::wstring Sheet::GetSharedString(uint32_t index) const {
  if (m_pSharedStrings == nullptr || index >= m_pSharedStrings->size()) return std::wstring();
  return (*m_pSharedStrings)[index];
}

bool Sheet::HasCell(int32_t row, int32_t column) const {
  return row >= 0 && column >= 0 && static_cast<size_t>(row) < m_rows.size() &&
         static_cast<size_t>(column) < m_rows[static_cast<size_t>(row)].size();
}

void Sheet::EnsureCell(int32_t row, int32_t column) {
  if (static_cast<uint32_t>(column) > kMaxColumn || row < 0) return;
  const uint64_t rows = std::max<uint64_t>(m_rows.size(), static_cast<uint64_t>(row) + 1);
  const uint64_t columns = std::max<uint64_t>(m_columns, static_cast<uint64_t>(column) + 1);
  if (rows * columns > kMaxCells) return;
  if (m_rows.size() < rows) m_rows.resize(static_cast<size_t>(rows), std::vector<Cell>(m_columns));
  if (m_rows[static_cast<size_t>(row)].size() < static_cast<size_t>(column) + 1) {
    if (m_columns < static_cast<uint32_t>(column) + 1) m_columns = static_cast<uint32_t>(column) + 1;
    for (std::vector<Cell>& r : m_rows) r.resize(m_columns);
  }
}

// ---------------------------------------------------------------------------
// Workbook
// ---------------------------------------------------------------------------
Workbook::Workbook(const void* data, int32_t size) { Load(data, size); }

void Workbook::Load(const void* data, int32_t size) {
  m_sheets.clear();
  m_sharedStrings.clear();
  CompoundFile::File file;
  try {
    file.OpenFromMemory(data, size);
  } catch (const CompoundFile::Exception& e) {
    throw Exception(e.Message());
  }
  CompoundFile::MemorySource source(data, size);
  std::unique_ptr<Stream> stream(file.OpenStream(file.FindEntry(L"Workbook"), &source));
  std::vector<BoundSheet> sheets;
  ParseGlobals(*stream, &sheets);
  ParseSheets(*stream, sheets);
}

void Workbook::ParseGlobals(Stream& stream, std::vector<BoundSheet>* sheets) {
  stream.Seek(0, 0);
  for (int i = 0; i < kMaxRecords; ++i) {
    Record r(stream);
    if (r.m_code == kEof) break;
    if (r.m_code == kBoundSheet) {
      if (sheets->empty()) sheets->push_back(ParseBoundSheet(r));
    } else if (r.m_code == kSst) {
      m_sharedStrings = ReadSharedStrings(r);
    }
  }
}

void Workbook::ParseSheets(Stream& stream, const std::vector<BoundSheet>& sheets) {
  for (const BoundSheet& b : sheets) {
    if (b.kind != 0) continue;
    std::unique_ptr<Sheet> sheet(new Sheet(&m_sharedStrings));
    ParseSheet(stream, b, sheet.get());
    m_sheets.push_back(std::move(sheet));
    return;
  }
}

void Workbook::ParseSheet(Stream& stream, const BoundSheet& entry, Sheet* sheet) {
  stream.Seek(entry.offset, 0);
  Record bof(stream);  // version and type: nothing depends on them
  for (int i = 0; i < kMaxRecords; ++i) {
    Record r(stream);
    if (r.m_code == kEof) break;
    Stream& s = r.m_data;
    if (r.m_code == kLabelSst) {
      const int32_t row = static_cast<int16_t>(ReadInt16(s));
      const int32_t column = static_cast<int16_t>(ReadInt16(s));
      ReadInt16(s);  // format index
      const uint32_t index = ReadInt32(s);
      sheet->EnsureCell(row, column);
      if (index < m_sharedStrings.size() && sheet->HasCell(row, column)) {
        Cell& c = sheet->GetCell(static_cast<uint32_t>(row), static_cast<uint32_t>(column));
        c.text = m_sharedStrings[index];
        c.empty = false;
      }
    } else if (r.m_code == kRk || r.m_code == kRkOld) {
      const int32_t row = static_cast<int16_t>(ReadInt16(s));
      const int32_t column = static_cast<int16_t>(ReadInt16(s));
      ReadInt16(s);  // format index
      const uint32_t rk = ReadInt32(s);
      sheet->EnsureCell(row, column);
      if (sheet->HasCell(row, column)) {
        Cell& c = sheet->GetCell(static_cast<uint32_t>(row), static_cast<uint32_t>(column));
        c.number = DecodeRk(rk);
        c.empty = false;
      }
    }
  }
}

}  // namespace Excel
