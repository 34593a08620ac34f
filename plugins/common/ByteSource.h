// One way for a plug-in's record walks to read a file, whether it lies on
// the program's reader (a carved candidate, a thumbnail) or whole in memory
// (a preview), so that one walk serves both. Offsets count from the file's first byte. Nothing is ever
// read past the source's size, past the end of the device, or outside the
// trusted bytes of the reader's window.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugins/common/ReaderView.h"

namespace plugin {

class CByteSource {
 public:
  virtual ~CByteSource() {}
  // The bytes that can be read from offset on, in one piece: a pointer
  // through *data and their count (0 when there are none, at or past the
  // end or after a read error). The pointer is good until the next call.
  virtual uint64_t View(uint64_t offset, const unsigned char** data) = 0;
  // The same for a walk that passes over a long stretch in order: a reader
  // then reads each byte of the stretch about once.
  virtual uint64_t ViewInOrder(uint64_t offset, const unsigned char** data) { return View(offset, data); }
  // At least need bytes at offset when they can be had in one piece, else
  // what View gives: a reader moves only when the bytes it holds at offset
  // are fewer than need.
  virtual uint64_t ViewNeeded(uint64_t offset, uint64_t need, const unsigned char** data) {
    (void)need;
    return View(offset, data);
  }
  // Bytes the file can have at most (the device's end for a reader).
  virtual uint64_t Size() const = 0;
  // Copies count bytes at offset; false when they are not all there.
  bool Read(uint64_t offset, void* out, size_t count);
};

// A file held in memory.
class CMemorySource : public CByteSource {
 public:
  CMemorySource(const void* data, uint64_t size)
      : m_data(static_cast<const unsigned char*>(data)), m_size(data ? size : 0) {}
  uint64_t View(uint64_t offset, const unsigned char** data) override;
  uint64_t Size() const override { return m_size; }

 private:
  const unsigned char* m_data;
  uint64_t m_size;
};

// The program's reader from its current position on, read through a
// CReaderView (the position is restored when the source goes). At most
// maxSize bytes.
class CReaderSource : public CByteSource {
 public:
  explicit CReaderSource(CDiskMappingPointer* reader, uint64_t maxSize = UINT64_MAX);
  bool Usable() const { return m_view.IsUsable(); }
  // Device offset of the source's first byte.
  uint64_t Start() const { return m_view.Start(); }
  // True once a read inside the source failed (a device error, not its end).
  bool Failed() const { return m_failed; }
  uint64_t View(uint64_t offset, const unsigned char** data) override;
  uint64_t ViewInOrder(uint64_t offset, const unsigned char** data) override;
  uint64_t ViewNeeded(uint64_t offset, uint64_t need, const unsigned char** data) override;
  uint64_t Size() const override { return m_size; }

 private:
  CReaderView m_view;
  bool m_failed;
  uint64_t m_size;
};

}  // namespace plugin
