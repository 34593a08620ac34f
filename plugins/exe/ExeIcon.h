// The first icon of a PE program, found through its resource section and
// drawn as a bitmap.
#pragma once

#include <windows.h>

#include <cstdint>

class CReaderCursor;

namespace exe {

// The bytes of a program, read by offset from its first byte.
class CBytes {
 public:
  virtual ~CBytes() {}
  // Copies n bytes at offset; false when they are not all there.
  virtual bool Read(uint64_t offset, void* out, uint64_t n) = 0;
  virtual uint64_t Size() const = 0;
};

class CMemoryBytes : public CBytes {
 public:
  CMemoryBytes(const unsigned char* p, uint64_t n) : m_p(p), m_n(n) {}
  bool Read(uint64_t offset, void* out, uint64_t n) override;
  uint64_t Size() const override { return m_n; }

 private:
  const unsigned char* m_p;
  uint64_t m_n;
};

// Through the program's reader, from the file's first byte at start; never
// beyond n bytes of the file.
class CReaderBytes : public CBytes {
 public:
  CReaderBytes(CReaderCursor& cur, uint64_t start, uint64_t n) : m_cur(cur), m_start(start), m_n(n) {}
  bool Read(uint64_t offset, void* out, uint64_t n) override;
  uint64_t Size() const override { return m_n; }

 private:
  CReaderCursor& m_cur;
  uint64_t m_start, m_n;
};

// The first icon image of the program's resources as a bitmap: a PNG image
// decoded (fitted into the thumbnail box unless bPreviewMode), any other
// drawn at its own size cut to 150 x 110, on white for a thumbnail and with
// its transparency for a preview. 1 with *bitmap set, else 0.
int FirstIconBitmap(CBytes& bytes, HBITMAP* bitmap, int* width, int* height, bool bPreviewMode);

// True when the icon image (a bitmap information header, its colours, and
// the colour and mask pixels) lies whole within n bytes, so that the system
// never reads past them.
bool IsWholeIconImage(const unsigned char* p, uint64_t n);

// Draws the icon at width x height into a new 32-bit top-down bitmap: on
// white where it is transparent when whiteBackground, else with its alpha.
HBITMAP RenderIcon(HICON icon, int width, int height, bool whiteBackground);

}  // namespace exe
