// A small reader of OLE2 compound files (structured storage) held in memory:
// the header, the sector allocation tables, the top level of the directory,
// and byte streams over one directory entry's sectors. Used by the workbook
// reader to reach the "Workbook" stream without the system's storage service.
//
// Reads past the end of the image give -1 bytes; malformed tables, chains and
// entries never raise errors. Every chain and every walk is bounded.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace Excel {

// A byte stream read one byte at a time. Multi-byte values are assembled by
// the caller, least significant byte first when the byte-order flag is 1.
class Stream {
 public:
  Stream() : m_bLittleEndian(1) {}
  virtual ~Stream() {}
  // The next byte as a signed value, -1 at the end.
  virtual int8_t ReadByte() { return -1; }
  virtual bool AtEnd() { return true; }
  // origin 0: from the start, 1: from the current position, 2: from the end.
  virtual void Seek(int32_t, int32_t) {}
  // The current offset, -1 at the end.
  virtual int32_t Position() { return -1; }

  int32_t m_bLittleEndian;
};

}  // namespace Excel

namespace CompoundFile {

enum : int32_t { kFreeSector = -1, kEndOfChain = -2 };

// Each UTF-16 unit of a message cut to its low byte: the narrow text of the
// readers' errors.
std::string NarrowMessage(const std::wstring& message);

// The error of the reader; the message is kept as wide text and, each unit cut
// to its low byte, as the narrow text what() returns.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::wstring& message);
  Exception(const Exception& other) = default;
  ~Exception() override {}
  const std::wstring& Message() const { return m_message; }

 private:
  std::wstring m_message;
};

// Bytes of the image, read through a position; reads past the end fail and
// give -1.
class MemorySource {
 public:
  MemorySource() {}
  MemorySource(const void* data, int32_t size);
  // -1 when the position lies past the end.
  int Get();
  void SeekTo(int64_t position);
  int64_t Tell() const { return m_pos; }
  int64_t Size() const { return static_cast<int64_t>(m_bytes.size()); }
  bool Failed() const { return m_failed; }

 private:
  std::vector<unsigned char> m_bytes;
  int64_t m_pos = 0;
  bool m_failed = false;
};

struct Header {
  int32_t bLittleEndian = 1;
  int32_t sectorSize = 0;
  int32_t miniSectorSize = 0;
  int32_t satSectorCount = 0;
  int32_t directoryStart = 0;
  uint32_t miniStreamCutoff = 0;
  int32_t miniTableStart = 0;
  int32_t miniTableSectorCount = 0;
  int32_t masterTableStart = 0;
  int32_t masterTableSectorCount = 0;
};

struct DirectoryEntry {
  std::wstring name;
  int32_t type = 0;
  int32_t startSector = kEndOfChain;
  uint32_t size = 0;
  int32_t rightSibling = -1;
  int32_t leftSibling = -1;
  int32_t child = -1;
};

class Stream;

class File {
 public:
  File() {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Parses the image (a private copy, dropped afterwards). Raises Exception
  // "Unable to open memory" when the copy cannot be made.
  void OpenFromMemory(const void* data, int32_t size);
  // The first top-level entry with exactly this name, else a default entry.
  DirectoryEntry FindEntry(const std::wstring& name) const;
  // A new stream over the entry's bytes, read from source (which must hold
  // the same image and outlive the stream). The caller deletes it.
  Stream* OpenStream(const DirectoryEntry& entry, MemorySource* source) const;
  // The chain from start in the given table: at most 10,001 sector numbers; a
  // negative or out-of-range number ends it as its last element.
  std::vector<int32_t> ReadSectorChain(int32_t start, const std::vector<int32_t>& table) const;

  const Header& GetHeader() const { return m_header; }
  const std::vector<DirectoryEntry>& Entries() const { return m_entries; }
  const std::vector<int32_t>& Sat() const { return m_sat; }
  const std::vector<int32_t>& MiniTable() const { return m_ssat; }

 private:
  bool ReadHeader(MemorySource& src);
  void ReadMsat(MemorySource& src);
  void ReadSat(MemorySource& src);
  void ReadSsat(MemorySource& src);
  void ReadTableSector(MemorySource& src, int32_t sector, std::vector<int32_t>* table) const;
  void ReadDirectory(MemorySource& src);
  DirectoryEntry ReadDirectoryEntry(Stream& dir) const;
  void ReadSiblings(Stream& dir, const DirectoryEntry& entry);
  int64_t SectorOffset(int32_t sector) const;

  Header m_header;
  std::vector<int32_t> m_msat;
  std::vector<int32_t> m_sat;
  std::vector<int32_t> m_ssat;
  int32_t m_miniStreamStart = kEndOfChain;
  std::vector<DirectoryEntry> m_entries;
  int64_t m_imageSize = 0;
};

// The bytes of one directory entry, through its chain of big sectors or of
// mini sectors inside the mini stream.
class Stream : public Excel::Stream {
 public:
  Stream(const Header* header, MemorySource* source);
  int8_t ReadByte() override;
  bool AtEnd() override;
  void Seek(int32_t offset, int32_t origin) override;
  int32_t Position() override;

 private:
  friend class File;
  // Moves the source to the start of unit `index` of the chain in use.
  void MoveToUnit(int32_t index, int32_t offsetInUnit);
  int64_t BigSectorOffset(int32_t sector) const;

  const Header* m_pHeader;
  std::vector<int32_t> m_bigChain;
  std::vector<int32_t> m_miniChain;
  MemorySource* m_pSource;
  bool m_bMini = false;
  int32_t m_position = 0;
  int32_t m_unitSize = 0;
  int32_t m_unitOffset = 0;
  int32_t m_miniIndex = 0;
  int32_t m_bigIndex = 0;
  int32_t m_length = 0;
};

}  // namespace CompoundFile
