// The plug-ins' own cursor operations over the program's CDiskMappingPointer.
//
// A plug-in works on the reader it is handed through the reader's fields; it
// carries its own copies of the cursor moves (no trace output, no link to the
// program's storage code). On top of them come the bounds every read of a
// plug-in goes through: the bytes loaded from the cursor to the end of the
// window, cut at the end of the source, and the trusted half window since the
// last seek. Bytes beyond those are never touched.
#pragma once

#include <cstdint>

#include "storage/DiskMappingPointer.h"

class CReaderCursor {
 public:
  explicit CReaderCursor(CDiskMappingPointer* reader) : m_r(reader) {}

  // True when the reader can be used at all (buffer present, sane window).
  bool IsUsable() const;

  // Moves to an absolute source offset; 1, or 0 when the offset lies past the
  // end of the source (the position moves, nothing is loaded).
  int SeekTo(uint64_t offset);
  // SeekTo(position + count).
  int Skip(uint64_t count);
  void SavePosition();
  // Brings back the saved window (reloading it at the saved base when the base
  // moved) and cursor.
  void RestorePosition();
  // Moves to saved position + n; 0 when the target is already loaded and
  // nothing moved (then Skip(n) moves the cursor).
  int SeekFromSaved(uint64_t n);
  // Trusted bytes at the cursor since the last seek: half - (pos - mark).
  uint64_t GetWindowRemaining() const;
  uint64_t GetSavedWindowRemaining() const;
  // 1 when the position lies past the end of the source.
  int IsEnd() const;

  // Read at saved position + n (SeekFromSaved, else Skip) and report whether
  // it went without a read error; the error is cleared and the saved position
  // restored when it did not.
  bool MoveFromSaved(uint64_t n);

  // Loads the window at the source offset (from the unit boundary at or
  // before it) whatever the window holds now, so that all Loaded() bytes at
  // the cursor come from this read. False, with the saved position restored,
  // when the offset lies past the end of the source or the read failed.
  bool LoadAt(uint64_t offset);

  uint64_t Position() const;
  uint64_t Limit() const;
  DWORD LastError() const;
  void ClearError();
  // Current byte (m_pBuffer + m_CurrentPos); valid only for Loaded() bytes.
  const unsigned char* Data() const;
  // Bytes loaded from the cursor to the end of the window, cut at the end of
  // the source: the most a one-off look at the cursor may read.
  uint64_t Loaded() const;
  // Trusted bytes at the cursor (GetWindowRemaining), cut at Loaded().
  uint64_t Trusted() const;
  // The bytes of an item of `size` bytes starting at the cursor that a
  // one-off look may take: at most size, never past Loaded().
  uint64_t ItemBytes(int64_t size) const;

  CDiskMappingPointer* Reader() const { return m_r; }

  // The program's default window: 500 units of the system's allocation
  // granularity, at most 50 MiB (32,768,000 bytes for 64 KiB units).
  static uint64_t DefaultWindow();

 private:
  uint64_t Half() const;
  uint64_t Unit() const;
  // Reads the window at base (unit-aligned) into m_pBuffer.
  void LoadWindowAt(uint64_t base);
  CDiskMappingPointer* m_r;
};
