#include "plugins/common/ByteSource.h"

#include <cstring>

namespace plugin {

bool CByteSource::Read(uint64_t offset, void* out, size_t count) {
  unsigned char* dst = static_cast<unsigned char*>(out);
  while (count > 0) {
    const unsigned char* p = nullptr;
    const uint64_t n = ViewNeeded(offset, count, &p);
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
    : m_view(reader), m_failed(false), m_size(0) {
  if (m_view.IsUsable()) m_size = m_view.SourceLeft() < maxSize ? m_view.SourceLeft() : maxSize;
}

uint64_t CReaderSource::View(uint64_t offset, const unsigned char** data) {
  if (offset >= m_size) return 0;
  uint64_t got = 0;
  const unsigned char* p = m_view.Span(offset, m_size - offset, &got);
  if (p == nullptr || got == 0) {
    m_failed = true;  // the offset lies before the end: a read error
    return 0;
  }
  *data = p;
  return got;
}

uint64_t CReaderSource::ViewNeeded(uint64_t offset, uint64_t need, const unsigned char** data) {
  if (offset >= m_size) return 0;
  if (need > m_size - offset) need = m_size - offset;
  uint64_t got = 0;
  const unsigned char* p = m_view.Span(offset, need, &got);
  if (p == nullptr || got == 0) {
    m_failed = true;
    return 0;
  }
  *data = p;
  return got;
}

uint64_t CReaderSource::ViewInOrder(uint64_t offset, const unsigned char** data) {
  if (offset >= m_size) return 0;
  uint64_t got = 0;
  const unsigned char* p = m_view.Stream(offset, m_size - offset, &got);
  if (p == nullptr || got == 0) {
    m_failed = true;
    return 0;
  }
  *data = p;
  return got;
}

}  // namespace plugin
