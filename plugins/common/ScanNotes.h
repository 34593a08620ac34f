// Notes a plug-in keeps from one candidate to the next of a deep scan, so
// that searches over the same stretch of the device are not read again by
// every candidate that overlaps them (a false header inside the data of a
// real file, thousands of false headers one behind the other).
//
// The notes belong to one reader: they are dropped when another reader (or
// the same one over another source) comes, and when a candidate lies before
// the last one, as it does when a new scan begins. The deep scan hands its
// candidates in order on one thread; a call that finds the notes in use by
// another thread goes without them. Notes only save reading: a call without
// them finds the same.
#pragma once

#include <windows.h>

#include <cstdint>

#include "storage/DiskMappingPointer.h"

namespace plugin {

template <typename Notes>
class CScanNotes {
 public:
  // The notes for the candidate at the reader's current position, or null.
  Notes* Take(const CDiskMappingPointer* reader) {
    if (reader == nullptr || !TryAcquireSRWLockExclusive(&m_lock)) return nullptr;
    const uint64_t at = reader->m_Base + reader->m_CurrentPos;
    if (reader != m_reader || reader->m_hFile != m_file || reader->m_Limit != m_limit ||
        reader->m_WindowSize != m_window || at < m_last) {
      m_notes.Clear();
      m_reader = reader;
      m_file = reader->m_hFile;
      m_limit = reader->m_Limit;
      m_window = reader->m_WindowSize;
    }
    m_last = at;
    return &m_notes;
  }
  void Give() { ReleaseSRWLockExclusive(&m_lock); }

 private:
  SRWLOCK m_lock = SRWLOCK_INIT;
  const CDiskMappingPointer* m_reader = nullptr;
  HANDLE m_file = nullptr;
  uint64_t m_limit = 0;
  uint64_t m_window = 0;
  uint64_t m_last = 0;
  Notes m_notes;
};

// Holds the notes for one call.
template <typename Notes>
class CNotesHeld {
 public:
  CNotesHeld(CScanNotes<Notes>& all, const CDiskMappingPointer* reader)
      : m_all(all), m_notes(all.Take(reader)) {}
  ~CNotesHeld() {
    if (m_notes != nullptr) m_all.Give();
  }
  CNotesHeld(const CNotesHeld&) = delete;
  CNotesHeld& operator=(const CNotesHeld&) = delete;
  Notes* Get() const { return m_notes; }

 private:
  CScanNotes<Notes>& m_all;
  Notes* m_notes;
};

}  // namespace plugin
