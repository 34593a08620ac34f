// A reader of binary Excel workbooks (BIFF8 records in the "Workbook" stream
// of a compound file) for preview texts: the shared strings and the first
// worksheet's string and RK number cells. Every loop is bounded, so a damaged
// file costs a bounded amount of work; malformed records never raise errors.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "plugins/office/CompoundFile.h"

namespace Excel {

// Raised when the compound file cannot be opened; same shape as the
// compound-file reader's error.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::wstring& message);
  Exception(const Exception& other) = default;
  ~Exception() override {}
  const std::wstring& Message() const { return m_message; }

 private:
  std::wstring m_message;
};

// 2 or 4 bytes from ReadByte, each taken unsigned (-1 at the end gives 0xFF).
uint16_t ReadInt16(Stream& s);
uint32_t ReadInt32(Stream& s);

struct Cell {
  std::wstring text;
  double number = 0;
  std::wstring text2;  // never written by this reader; printed when text is empty
  bool empty = true;
};

struct BoundSheet {
  int32_t offset = 0;
  int32_t kind = 0;  // sheet type x 256; 0 = worksheet
  std::wstring name;
};

// A record's data held in memory (CONTINUE records joined).
class RecordSubstream : public Stream {
 public:
  explicit RecordSubstream(int32_t littleEndian) { m_bLittleEndian = littleEndian; }
  int8_t ReadByte() override;
  bool AtEnd() override { return m_atEnd; }
  void Seek(int32_t offset, int32_t origin) override;
  int32_t Position() override { return m_pos; }

  std::vector<unsigned char> m_data;

 private:
  int32_t m_pos = 0;
  bool m_atEnd = false;
};

class Record {
 public:
  explicit Record(Stream& stream);
  uint16_t m_code = 0;
  int32_t m_length = 0;
  RecordSubstream m_data;
  std::vector<int32_t> m_borders;  // data offsets where each CONTINUE's data begins
};

class Sheet {
 public:
  explicit Sheet(const std::vector<std::wstring>* sharedStrings) : m_pSharedStrings(sharedStrings) {}
  Cell& GetCell(uint32_t row, uint32_t column);
  std::wstring GetSharedString(uint32_t index) const;
  uint32_t RowCount() const { return static_cast<uint32_t>(m_rows.size()); }
  uint32_t ColumnCount() const { return m_columns; }
  // Grows the grid so that (row, column) exists; nothing for a column above
  // 1000 or a grid that would pass the cell cap.
  void EnsureCell(int32_t row, int32_t column);
  bool HasCell(int32_t row, int32_t column) const;

 private:
  std::vector<std::vector<Cell>> m_rows;
  Cell m_empty;
  const std::vector<std::wstring>* m_pSharedStrings;
  uint32_t m_columns = 0;
};

class Workbook {
 public:
  // Loads at once; raises Exception when the compound file cannot be opened.
  Workbook(const void* data, int32_t size);
  Workbook(const Workbook&) = delete;
  Workbook& operator=(const Workbook&) = delete;

  const std::vector<std::unique_ptr<Sheet>>& Sheets() const { return m_sheets; }
  const std::vector<std::wstring>& SharedStrings() const { return m_sharedStrings; }

 private:
  void Load(const void* data, int32_t size);
  void ParseGlobals(Stream& stream, std::vector<BoundSheet>* sheets);
  void ParseSheets(Stream& stream, const std::vector<BoundSheet>& sheets);
  void ParseSheet(Stream& stream, const BoundSheet& entry, Sheet* sheet);

  std::vector<std::unique_ptr<Sheet>> m_sheets;
  std::vector<std::wstring> m_sharedStrings;
};

// Helpers of the record parsers.
BoundSheet ParseBoundSheet(Record& record);
std::wstring ReadUnicodeString(int countWidth, const std::vector<int32_t>& borders, Stream& s);
std::vector<std::wstring> ReadSharedStrings(Record& record);
double DecodeRk(uint32_t rk);

}  // namespace Excel
