#include "plugins/common/ReaderCursor.h"

#include <cstring>

namespace {
inline uint64_t Min64(uint64_t a, uint64_t b) { return a < b ? a : b; }
}  // namespace

bool CReaderCursor::IsUsable() const {
  return m_r != nullptr && m_r->m_pBuffer != nullptr && m_r->m_WindowSize != 0 &&
         m_r->m_WindowSize <= 0xFFFFFFFFull;
}

uint64_t CReaderCursor::Half() const { return m_r->m_WindowSize / 2; }

uint64_t CReaderCursor::Unit() const { return m_r->m_uUnitSize ? m_r->m_uUnitSize : 1; }

void CReaderCursor::LoadWindowAt(uint64_t base) {
  CDiskMappingPointer& r = *m_r;
  r.m_Base = base;
  if (r.m_pBuffer == nullptr || r.m_WindowSize == 0 || r.m_WindowSize > 0xFFFFFFFFull) {
    r.m_dwLastError = ERROR_INVALID_PARAMETER;
    return;
  }
  // The last window of a source is read only up to the source's end (in whole
  // units): a device refuses a read that runs past its end.
  uint64_t want = r.m_WindowSize;
  if (base >= r.m_Limit) {
    want = 0;
  } else if (r.m_Limit - base < want) {
    const uint64_t unit = Unit();
    want = (r.m_Limit - base + unit - 1) / unit * unit;
    if (want > r.m_WindowSize) want = r.m_WindowSize;
  }
  DWORD got = 0;
  BOOL ok = TRUE;
  if (want > 0) {
    LARGE_INTEGER li;
    li.QuadPart = static_cast<LONGLONG>(base);
    ok = r.m_hFile != nullptr && r.m_hFile != INVALID_HANDLE_VALUE &&
         SetFilePointerEx(r.m_hFile, li, nullptr, FILE_BEGIN) &&
         ReadFile(r.m_hFile, r.m_pBuffer, static_cast<DWORD>(want), &got, nullptr);
  }
  if (ok) {
    r.m_dwLastError = 0;
  } else {
    const DWORD e = GetLastError();
    r.m_dwLastError = e ? e : ERROR_READ_FAULT;
    got = 0;
  }
  // Whatever the read did not fill reads as zeros, never as an older window.
  if (got < r.m_WindowSize) memset(r.m_pBuffer + got, 0, static_cast<size_t>(r.m_WindowSize - got));
}

int CReaderCursor::SeekTo(uint64_t offset) {
  CDiskMappingPointer& r = *m_r;
  if (offset > r.m_Limit) {
    r.m_CurrentPos = offset - r.m_Base;
    return 0;
  }
  const uint64_t unit = Unit();
  const uint64_t aligned = offset - offset % unit;
  const uint64_t half = Half();
  const bool stays = aligned >= r.m_Base && half >= unit &&
                     aligned - r.m_Base <= half - unit && r.m_CurrentPos < half;
  if (stays) {
    r.m_CurrentPos = offset - r.m_Base;
  } else {
    r.m_CurrentPos = offset - aligned;
    LoadWindowAt(aligned);
  }
  r.m_Mark = r.m_CurrentPos;
  return 1;
}

int CReaderCursor::Skip(uint64_t count) { return SeekTo(Position() + count); }

void CReaderCursor::SavePosition() {
  m_r->m_SavedBase = m_r->m_Base;
  m_r->m_SavedPos = m_r->m_CurrentPos;
  m_r->m_SavedMark = m_r->m_Mark;
}

void CReaderCursor::RestorePosition() {
  CDiskMappingPointer& r = *m_r;
  // Reload at the saved base itself, so that the saved cursor indexes the
  // same bytes it did when it was saved.
  if (r.m_Base != r.m_SavedBase) LoadWindowAt(r.m_SavedBase);
  r.m_Base = r.m_SavedBase;
  r.m_CurrentPos = r.m_SavedPos;
  r.m_Mark = r.m_SavedMark;
}

int CReaderCursor::SeekFromSaved(uint64_t n) {
  CDiskMappingPointer& r = *m_r;
  if (r.m_SavedPos + n < Half() && r.m_Base == r.m_SavedBase) return 0;
  return SeekTo(r.m_SavedBase + r.m_SavedPos + n);
}

namespace {
// half - (pos - mark); a cursor moved back behind its mark has the whole half.
uint64_t Remaining(uint64_t half, uint64_t pos, uint64_t mark) {
  if (pos < mark) return half;
  const uint64_t used = pos - mark;
  return used >= half ? 0 : half - used;
}
}  // namespace

uint64_t CReaderCursor::GetWindowRemaining() const {
  return Remaining(Half(), m_r->m_CurrentPos, m_r->m_Mark);
}

uint64_t CReaderCursor::GetSavedWindowRemaining() const {
  return Remaining(Half(), m_r->m_SavedPos, m_r->m_SavedMark);
}

int CReaderCursor::IsEnd() const { return Position() > m_r->m_Limit ? 1 : 0; }

bool CReaderCursor::MoveFromSaved(uint64_t n) {
  CDiskMappingPointer& r = *m_r;
  const uint64_t saved = r.m_SavedBase + r.m_SavedPos;
  // A target past the end of the source (or one that would wrap) is refused
  // before anything moves.
  if (n > r.m_Limit || saved > r.m_Limit - n) return false;
  if (SeekFromSaved(n) == 0) {
    // Already loaded: move the cursor from the saved position (which is where
    // callers stand after RestorePosition; be exact even when they do not).
    if (Position() != saved) {
      r.m_CurrentPos = r.m_SavedPos;
      r.m_Mark = r.m_SavedMark;
    }
    Skip(n);
  }
  if (r.m_dwLastError != 0) {
    r.m_dwLastError = 0;
    RestorePosition();
    return false;
  }
  return IsEnd() == 0;
}

bool CReaderCursor::LoadAt(uint64_t offset) {
  CDiskMappingPointer& r = *m_r;
  if (offset >= r.m_Limit) return false;
  const uint64_t aligned = offset - offset % Unit();
  r.m_CurrentPos = offset - aligned;
  LoadWindowAt(aligned);
  r.m_Mark = r.m_CurrentPos;
  if (r.m_dwLastError != 0) {
    r.m_dwLastError = 0;
    RestorePosition();
    return false;
  }
  return true;
}

uint64_t CReaderCursor::Position() const { return m_r->m_Base + m_r->m_CurrentPos; }
uint64_t CReaderCursor::Limit() const { return m_r->m_Limit; }
DWORD CReaderCursor::LastError() const { return m_r->m_dwLastError; }
void CReaderCursor::ClearError() { m_r->m_dwLastError = 0; }

const unsigned char* CReaderCursor::Data() const { return m_r->m_pBuffer + m_r->m_CurrentPos; }

uint64_t CReaderCursor::Loaded() const {
  if (!IsUsable()) return 0;
  const CDiskMappingPointer& r = *m_r;
  if (r.m_CurrentPos >= r.m_WindowSize) return 0;
  const uint64_t pos = Position();
  if (pos >= r.m_Limit) return 0;
  return Min64(r.m_WindowSize - r.m_CurrentPos, r.m_Limit - pos);
}

uint64_t CReaderCursor::ItemBytes(int64_t size) const {
  return size <= 0 ? 0 : Min64(static_cast<uint64_t>(size), Loaded());
}

uint64_t CReaderCursor::Trusted() const { return Min64(GetWindowRemaining(), Loaded()); }

uint64_t CReaderCursor::DefaultWindow() {
  static const uint64_t window = [] {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    const uint64_t w = 500ull * (si.dwAllocationGranularity ? si.dwAllocationGranularity : 0x10000);
    return Min64(w, 52428800ull);
  }();
  return window;
}
