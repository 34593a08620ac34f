#include "plugins/common/ReaderView.h"

#include <cstring>

CReaderView::CReaderView(CDiskMappingPointer* reader) : m_cur(reader) {
  if (reader == nullptr || !m_cur.IsUsable()) return;
  m_cur.SavePosition();
  m_usable = true;
  m_start = m_cur.Position();
  m_sourceLeft = m_cur.Limit() > m_start ? m_cur.Limit() - m_start : 0;
  m_view = m_cur.Data();
  m_viewLen = m_cur.Trusted();
  // The program has just loaded the window at the candidate: Stream takes
  // these bytes as they are.
  m_viewWhole = true;
}

CReaderView::~CReaderView() {
  if (m_usable) m_cur.RestorePosition();
}

bool CReaderView::MoveTo(uint64_t offset) {
  m_viewWhole = false;
  m_view = nullptr;
  m_viewLen = 0;
  if (!m_cur.MoveFromSaved(offset)) return false;
  m_view = m_cur.Data();
  m_viewBase = offset;
  m_viewLen = m_cur.Trusted();
  return m_viewLen > 0;
}

const unsigned char* CReaderView::Span(uint64_t offset, uint64_t want, uint64_t* got) {
  *got = 0;
  if (!m_usable || offset >= m_sourceLeft || want == 0) return nullptr;
  if (want > m_sourceLeft - offset) want = m_sourceLeft - offset;
  const bool inside = m_view != nullptr && offset >= m_viewBase && offset - m_viewBase < m_viewLen;
  const uint64_t avail = inside ? m_viewLen - (offset - m_viewBase) : 0;
  // A view that ends inside the request is moved to start at the request, so
  // that the reader's whole trusted span serves it.
  if (avail < want && !(inside && offset == m_viewBase) && !MoveTo(offset)) return nullptr;
  uint64_t n = m_viewLen - (offset - m_viewBase);
  if (n > want) n = want;
  *got = n;
  return m_view + (offset - m_viewBase);
}

const unsigned char* CReaderView::Stream(uint64_t offset, uint64_t want, uint64_t* got) {
  *got = 0;
  if (!m_usable || offset >= m_sourceLeft || want == 0) return nullptr;
  if (want > m_sourceLeft - offset) want = m_sourceLeft - offset;
  const bool inside = m_view != nullptr && offset >= m_viewBase && offset - m_viewBase < m_viewLen;
  // A view this made at the very offset already holds all one read gives;
  // bytes already in the view are handed out as they are while enough of
  // them remain, rather than read again.
  const bool whole = inside && m_viewWhole && offset == m_viewBase;
  const uint64_t rest = inside ? m_viewLen - (offset - m_viewBase) : 0;
  if (!inside || (rest < want && !whole && rest < kStreamPiece)) {
    m_view = nullptr;
    m_viewLen = 0;
    m_viewWhole = false;
    if (!m_cur.LoadAt(m_start + offset)) return nullptr;
    // Every byte from the cursor to the end of the window (cut at the end of
    // the source) came from the read just made.
    m_view = m_cur.Data();
    m_viewBase = offset;
    m_viewLen = m_cur.Loaded();
    m_viewWhole = true;
    if (m_viewLen == 0) return nullptr;
  }
  uint64_t n = m_viewLen - (offset - m_viewBase);
  if (n > want) n = want;
  *got = n;
  return m_view + (offset - m_viewBase);
}

const unsigned char* CReaderView::At(uint64_t offset, uint64_t need) {
  if (!m_usable || need == 0 || offset >= m_sourceLeft || need > m_sourceLeft - offset)
    return nullptr;
  uint64_t got = 0;
  const unsigned char* p = Span(offset, need, &got);
  return p != nullptr && got >= need ? p : nullptr;
}

bool CReaderView::Copy(uint64_t offset, void* out, uint64_t count) {
  unsigned char* dst = static_cast<unsigned char*>(out);
  while (count > 0) {
    uint64_t got = 0;
    const unsigned char* p = Span(offset, count, &got);
    if (p == nullptr || got == 0) return false;
    memcpy(dst, p, static_cast<size_t>(got));
    dst += got;
    offset += got;
    count -= got;
  }
  return true;
}
