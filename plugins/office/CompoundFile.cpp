#include "plugins/office/CompoundFile.h"

#include <cstring>
#include <new>

namespace CompoundFile {

namespace {

const unsigned char kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
const size_t kMaxChain = 10001;     // sector numbers in one chain
const size_t kMaxEntries = 255;     // the sibling walk stops above this many
const int kHeaderMasterEntries = 109;

// Little-endian values from a source; bytes past the end read as 0xFF.
uint32_t Get32(MemorySource& src) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(src.Get() & 0xFF) << (8 * i);
  return v;
}
uint16_t Get16(MemorySource& src) {
  const uint32_t lo = src.Get() & 0xFF;
  const uint32_t hi = src.Get() & 0xFF;
  return static_cast<uint16_t>(lo | (hi << 8));
}

uint32_t StreamGet(Excel::Stream& s, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    const uint32_t b = static_cast<uint8_t>(s.ReadByte());
    v = s.m_bLittleEndian == 1 ? v | (b << (8 * i)) : (v << 8) | b;
  }
  return v;
}

}  // namespace

std::string NarrowMessage(const std::wstring& message) {
  std::string s;
  s.reserve(message.size());
  for (wchar_t c : message) s.push_back(static_cast<char>(c & 0xFF));
  return s;
}

Exception::Exception(const std::wstring& message)
    : std::runtime_error(NarrowMessage(message)), m_message(message) {}

// ---------------------------------------------------------------------------
// MemorySource
// ---------------------------------------------------------------------------
MemorySource::MemorySource(const void* data, int32_t size) {
  if (size < 0 || (data == nullptr && size > 0)) {
    m_failed = true;
    return;
  }
  const unsigned char* p = static_cast<const unsigned char*>(data);
  m_bytes.assign(p, p + size);
}

int MemorySource::Get() {
  if (m_pos < 0 || m_pos >= Size()) {
    m_pos = Size();
    return -1;
  }
  return m_bytes[static_cast<size_t>(m_pos++)];
}

void MemorySource::SeekTo(int64_t position) {
  m_pos = (position < 0 || position > Size()) ? Size() : position;
}

// ---------------------------------------------------------------------------
// File
// ---------------------------------------------------------------------------
void File::OpenFromMemory(const void* data, int32_t size) {
  MemorySource* src = nullptr;
  try {
    src = new MemorySource(data, size);
  } catch (const std::bad_alloc&) {
    src = nullptr;
  }
  if (src == nullptr || src->Failed()) {
    delete src;
    throw Exception(L"Unable to open memory");
  }
  m_imageSize = src->Size();
  try {
    m_header = Header();
    m_msat.clear();
    m_sat.clear();
    m_ssat.clear();
    m_entries.clear();
    m_miniStreamStart = kEndOfChain;
    const bool valid = ReadHeader(*src);
    ReadMsat(*src);
    if (valid) {
      ReadSat(*src);
      ReadSsat(*src);
    }
    ReadDirectory(*src);
  } catch (...) {
    delete src;
    throw;
  }
  delete src;
}

bool File::ReadHeader(MemorySource& src) {
  m_header = Header();
  src.SeekTo(0);
  unsigned char sig[8];
  for (unsigned char& b : sig) b = static_cast<unsigned char>(src.Get());
  if (memcmp(sig, kSignature, sizeof(sig)) != 0) return false;
  src.SeekTo(28);
  const int b0 = src.Get(), b1 = src.Get();
  m_header.bLittleEndian = (b0 == 0xFE && b1 == 0xFF) ? 1 : 0;
  const uint16_t shift = Get16(src);
  const uint16_t miniShift = Get16(src);
  src.SeekTo(44);
  m_header.satSectorCount = static_cast<int32_t>(Get32(src));
  m_header.directoryStart = static_cast<int32_t>(Get32(src));
  src.SeekTo(56);
  m_header.miniStreamCutoff = Get32(src);
  m_header.miniTableStart = static_cast<int32_t>(Get32(src));
  m_header.miniTableSectorCount = static_cast<int32_t>(Get32(src));
  m_header.masterTableStart = static_cast<int32_t>(Get32(src));
  m_header.masterTableSectorCount = static_cast<int32_t>(Get32(src));
  // Sector sizes the format knows (512 and 4096, and a few in between) and a
  // mini sector no larger than a sector; anything else leaves the file
  // without tables, as a foreign signature does.
  if (shift < 7 || shift > 12 || miniShift < 2 || miniShift > shift) return false;
  m_header.sectorSize = 1 << shift;
  m_header.miniSectorSize = 1 << miniShift;
  return true;
}

int64_t File::SectorOffset(int32_t sector) const {
  return (static_cast<int64_t>(sector) + 1) * m_header.sectorSize;
}

void File::ReadMsat(MemorySource& src) {
  src.SeekTo(76);
  for (int i = 0; i < kHeaderMasterEntries; ++i) {
    const int32_t v = static_cast<int32_t>(Get32(src));
    if (v != kFreeSector) m_msat.push_back(v);
  }
  const int32_t ss = m_header.sectorSize;
  if (ss < 8) return;
  // No allocation table needs more sectors than the image can describe: one
  // table sector covers ss / 4 sectors. The master chain can name no more
  // sectors than the image holds, which also ends a looping chain.
  const int64_t imageSectors = m_imageSize / ss + 1;
  const size_t maxMaster = static_cast<size_t>(imageSectors / (ss / 4) + kHeaderMasterEntries + 1);
  int32_t next = m_header.masterTableStart;
  int64_t count = m_header.masterTableSectorCount;
  if (count > imageSectors) count = imageSectors;
  for (int64_t i = 0; i < count && m_msat.size() < maxMaster; ++i) {
    if (next < 0 || SectorOffset(next) >= m_imageSize) break;
    src.SeekTo(SectorOffset(next));
    for (int32_t k = 0; k < (ss - 4) / 4; ++k) {
      const int32_t v = static_cast<int32_t>(Get32(src));
      if (v != kFreeSector) m_msat.push_back(v);
    }
    next = static_cast<int32_t>(Get32(src));
  }
  if (m_msat.size() > maxMaster) m_msat.resize(maxMaster);
}

void File::ReadTableSector(MemorySource& src, int32_t sector, std::vector<int32_t>* table) const {
  const int32_t ss = m_header.sectorSize;
  if (ss < 4) return;
  src.SeekTo(SectorOffset(sector));
  for (int32_t k = 0; k < ss / 4; ++k) table->push_back(static_cast<int32_t>(Get32(src)));
}

void File::ReadSat(MemorySource& src) {
  for (int32_t sector : m_msat) ReadTableSector(src, sector, &m_sat);
}

void File::ReadSsat(MemorySource& src) {
  if (m_header.miniTableStart == kEndOfChain) return;
  const std::vector<int32_t> chain = ReadSectorChain(m_header.miniTableStart, m_sat);
  const size_t maxSectors = static_cast<size_t>(m_imageSize / m_header.sectorSize + 1);
  for (size_t i = 0; i < chain.size() && i < maxSectors; ++i) ReadTableSector(src, chain[i], &m_ssat);
}

std::vector<int32_t> File::ReadSectorChain(int32_t start, const std::vector<int32_t>& table) const {
  std::vector<int32_t> chain;
  const int64_t n = static_cast<int64_t>(table.size());
  if (table.empty() || start >= n) return chain;
  chain.push_back(start);
  int32_t b = (start >= 0) ? table[static_cast<size_t>(start)] : kEndOfChain;
  while (chain.size() < kMaxChain && b != kEndOfChain) {
    chain.push_back(b);
    if (b < 0 || b >= n) break;
    b = table[static_cast<size_t>(b)];
  }
  return chain;
}

void File::ReadDirectory(MemorySource& src) {
  Stream dir(&m_header, &src);
  dir.m_bLittleEndian = m_header.bLittleEndian;
  dir.m_bigChain = ReadSectorChain(m_header.directoryStart, m_sat);
  dir.m_unitSize = m_header.sectorSize;
  const int64_t length = static_cast<int64_t>(dir.m_bigChain.size()) * m_header.sectorSize;
  dir.m_length = length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
  if (!dir.m_bigChain.empty()) dir.MoveToUnit(0, 0);

  const DirectoryEntry root = ReadDirectoryEntry(dir);
  m_miniStreamStart = root.startSector;
  if (root.child == -1) return;
  const int64_t at = static_cast<int64_t>(root.child) * 128;
  dir.Seek(at < 0 || at > INT32_MAX ? dir.m_length : static_cast<int32_t>(at), 0);
  m_entries.push_back(ReadDirectoryEntry(dir));
  ReadSiblings(dir, DirectoryEntry(m_entries.back()));
}

DirectoryEntry File::ReadDirectoryEntry(Stream& dir) const {
  DirectoryEntry e;
  int units = 0;
  while (units < 32) {
    const uint32_t u = StreamGet(dir, 2);
    ++units;
    if (u == 0) break;
    e.name.push_back(static_cast<wchar_t>(u));
  }
  if (units < 32) dir.Seek(64 - 2 * units, 1);
  dir.Seek(2, 1);
  e.type = static_cast<uint8_t>(dir.ReadByte());
  dir.Seek(1, 1);
  e.leftSibling = static_cast<int32_t>(StreamGet(dir, 4));
  e.rightSibling = static_cast<int32_t>(StreamGet(dir, 4));
  e.child = static_cast<int32_t>(StreamGet(dir, 4));
  dir.Seek(36, 1);
  e.startSector = static_cast<int32_t>(StreamGet(dir, 4));
  e.size = StreamGet(dir, 4);
  dir.Seek(4, 1);
  return e;
}

void File::ReadSiblings(Stream& dir, const DirectoryEntry& entry) {
  const int32_t siblings[2] = {entry.leftSibling, entry.rightSibling};
  for (int32_t number : siblings) {
    if (number == -1) continue;
    const int64_t at = static_cast<int64_t>(number) * 128;
    dir.Seek(at < 0 || at > INT32_MAX ? dir.m_length : static_cast<int32_t>(at), 0);
    m_entries.push_back(ReadDirectoryEntry(dir));
    if (m_entries.size() > kMaxEntries) return;
    const DirectoryEntry added = m_entries.back();
    ReadSiblings(dir, added);
  }
}

DirectoryEntry File::FindEntry(const std::wstring& name) const {
  for (const DirectoryEntry& e : m_entries)
    if (e.name == name) return e;
  return DirectoryEntry();
}

Stream* File::OpenStream(const DirectoryEntry& entry, MemorySource* source) const {
  Stream* s = new Stream(&m_header, source);
  s->m_bLittleEndian = m_header.bLittleEndian;
  // No stream holds more bytes than the image: a damaged size stops there
  // rather than reading the missing rest as -1 bytes, one by one.
  int64_t length = entry.size;
  if (length > m_imageSize) length = m_imageSize;
  s->m_length = length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
  s->m_bMini = entry.size < m_header.miniStreamCutoff;
  s->m_unitSize = s->m_bMini ? m_header.miniSectorSize : m_header.sectorSize;
  if (!s->m_bMini) {
    s->m_bigChain = ReadSectorChain(entry.startSector, m_sat);
    if (!s->m_bigChain.empty()) s->MoveToUnit(0, 0);
  } else {
    s->m_bigChain = ReadSectorChain(m_miniStreamStart, m_sat);
    s->m_miniChain = ReadSectorChain(entry.startSector, m_ssat);
    if (!s->m_bigChain.empty() && !s->m_miniChain.empty()) s->MoveToUnit(0, 0);
  }
  return s;
}

// ---------------------------------------------------------------------------
// Stream
// ---------------------------------------------------------------------------
Stream::Stream(const Header* header, MemorySource* source)
    : m_pHeader(header), m_pSource(source) {}

int64_t Stream::BigSectorOffset(int32_t sector) const {
  // A sector number outside the table (a sentinel ending a chain) names no
  // bytes: reading there gives -1.
  if (sector < 0) return -1;
  return (static_cast<int64_t>(sector) + 1) * m_pHeader->sectorSize;
}

void Stream::MoveToUnit(int32_t index, int32_t offsetInUnit) {
  int64_t place = -1;
  if (!m_bMini) {
    if (index >= 0 && static_cast<size_t>(index) < m_bigChain.size())
      place = BigSectorOffset(m_bigChain[static_cast<size_t>(index)]);
  } else if (index >= 0 && static_cast<size_t>(index) < m_miniChain.size() &&
             m_pHeader->sectorSize > 0) {
    const int32_t mini = m_miniChain[static_cast<size_t>(index)];
    if (mini >= 0) {
      const int64_t byte = static_cast<int64_t>(mini) * m_pHeader->miniSectorSize;
      const int64_t k = byte / m_pHeader->sectorSize;
      if (k < static_cast<int64_t>(m_bigChain.size())) {
        const int64_t big = BigSectorOffset(m_bigChain[static_cast<size_t>(k)]);
        if (big >= 0) place = big + byte % m_pHeader->sectorSize;
      }
    }
  }
  m_pSource->SeekTo(place < 0 ? m_pSource->Size() : place + offsetInUnit);
}

bool Stream::AtEnd() { return m_position >= m_length; }

int32_t Stream::Position() { return AtEnd() ? -1 : m_position; }

int8_t Stream::ReadByte() {
  if (AtEnd()) return -1;
  if (m_unitOffset >= m_unitSize) {
    m_unitOffset = 0;
    int32_t& index = m_bMini ? m_miniIndex : m_bigIndex;
    ++index;
    const size_t chainSize = m_bMini ? m_miniChain.size() : m_bigChain.size();
    // Past the chain's end the source is left where it is: reading goes on
    // with the image bytes that follow.
    if (static_cast<size_t>(index) < chainSize) MoveToUnit(index, 0);
  }
  const int b = m_pSource->Get();
  ++m_unitOffset;
  ++m_position;
  return static_cast<int8_t>(b);
}

void Stream::Seek(int32_t offset, int32_t origin) {
  int64_t target;
  if (origin == 1) {
    target = static_cast<int64_t>(m_position) + offset;
    if (target < 0) target += m_length;
  } else if (origin == 0) {
    target = offset < 0 ? static_cast<int64_t>(m_length) - offset : offset;
  } else {
    target = static_cast<int64_t>(m_length) + offset;
  }
  if (target >= m_length || target < 0) {
    m_position = m_length;
    return;
  }
  if (m_unitSize <= 0) return;
  m_position = static_cast<int32_t>(target);
  m_unitOffset = static_cast<int32_t>(target % m_unitSize);
  const int64_t index = target / m_unitSize;
  const size_t chainSize = m_bMini ? m_miniChain.size() : m_bigChain.size();
  if (index >= static_cast<int64_t>(chainSize)) return;
  (m_bMini ? m_miniIndex : m_bigIndex) = static_cast<int32_t>(index);
  MoveToUnit(static_cast<int32_t>(index), m_unitOffset);
}

}  // namespace CompoundFile
