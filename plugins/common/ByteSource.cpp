#include "plugins/common/ByteSource.h"

#include <cstring>

namespace plugin {

bool CByteSource::Read(uint64_t offset, void* out, size_t count) {
  unsigned char* dst = static_cast<unsigned char*>(out);
  while (count > 0) {
    const unsigned char* p = nullptr;
    const uint64_t n = View(offset, &p);
    if (n == 0) return false;
    const size_t take = n < count ? static_cast<size_t>(n) : count;
    memcpy(dst, p, take);
    dst += take;
    offset += take;
    count -= take;
  }
  return true;
}

uint64_t CMemorySource::View(uint64_t offset, const unsigned char** data) {
  if (offset >= m_size) return 0;
  *data = m_data + offset;
  return m_size - offset;
}

CReaderSource::CReaderSource(CDiskMappingPointer* reader, uint64_t maxSize)
    : m_cur(reader), m_usable(reader != nullptr && m_cur.IsUsable()), m_failed(false), m_size(0) {
  if (!m_usable) return;
  m_cur.SavePosition();
  const uint64_t pos = m_cur.Position();
  const uint64_t left = pos < m_cur.Limit() ? m_cur.Limit() - pos : 0;
  m_size = left < maxSize ? left : maxSize;
}

uint64_t CReaderSource::View(uint64_t offset, const unsigned char** data) {
  if (!m_usable || offset >= m_size) return 0;
  // The offset lies before the device's end: a failed move is a read error.
  if (!m_cur.MoveFromSaved(offset)) {
    m_failed = true;
    return 0;
  }
  uint64_t n = m_cur.Trusted();
  if (n > m_size - offset) n = m_size - offset;
  *data = m_cur.Data();
  return n;
}

void CReaderSource::Restore() {
  if (m_usable) m_cur.RestorePosition();
}

}  // namespace plugin
