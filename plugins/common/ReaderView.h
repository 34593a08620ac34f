// Random reads at offsets from a candidate's first byte, for plug-ins that
// walk a file's structure (frames, chunks, directories) far beyond the bytes
// loaded at the start.
//
// The view keeps the trusted bytes of the reader's last move; a request that
// they do not cover moves the reader from the saved entry position (the
// read-at-relative-offset idiom of the cursor helpers). Every byte handed out
// lies in the bytes the reader trusts at its cursor and before the end of the
// source. The entry position is saved on construction and restored on
// destruction.
#pragma once

#include <cstdint>

#include "plugins/common/ReaderCursor.h"

class CReaderView {
 public:
  explicit CReaderView(CDiskMappingPointer* reader);
  ~CReaderView();
  CReaderView(const CReaderView&) = delete;
  CReaderView& operator=(const CReaderView&) = delete;

  bool IsUsable() const { return m_usable; }
  // Source offset of the candidate's first byte.
  uint64_t Start() const { return m_start; }
  // Bytes from the candidate's first byte to the end of the source.
  uint64_t SourceLeft() const { return m_sourceLeft; }

  // need bytes at offset (from the candidate's first byte), or null when they
  // cannot be had: past the end of the source, a read error, or more than the
  // reader trusts at once.
  const unsigned char* At(uint64_t offset, uint64_t need);
  // Copies count bytes at offset into out, in as many moves as it takes;
  // false when any of them cannot be had.
  bool Copy(uint64_t offset, void* out, uint64_t count);
  // As many bytes as the reader trusts at offset (at most want), or null;
  // *got receives the count.
  const unsigned char* Span(uint64_t offset, uint64_t want, uint64_t* got);
  // For a walk that passes over a long stretch once: as Span, but a move
  // reloads the whole window at offset and hands out every byte that read
  // brought in, so that each byte of the stretch is read from the device
  // about once (Span trusts half a window per move). At least kStreamPiece
  // bytes of the view at offset (or all that are asked for) are handed out
  // without a move.
  const unsigned char* Stream(uint64_t offset, uint64_t want, uint64_t* got);

 private:
  enum : uint64_t { kStreamPiece = 64 * 1024 };
  bool MoveTo(uint64_t offset);
  CReaderCursor m_cur;
  bool m_usable = false;
  uint64_t m_start = 0;
  uint64_t m_sourceLeft = 0;
  // Bytes of the current view: candidate offsets [m_viewBase, m_viewBase + m_viewLen).
  const unsigned char* m_view = nullptr;
  uint64_t m_viewBase = 0;
  uint64_t m_viewLen = 0;
  bool m_viewWhole = false;  // Stream keeps the view when asked at its own start
};
